#include "scan/dictionary_scan.h"

#include <limits>

#include "runtime/console.h"
#include "runtime/run_stop.h"
#include "scan/word_extraction.h"

namespace vos {

void LoadExclusionList(std::string_view path, KeyTrie& exclusionList) {
  RunStatistics unused;  // the run's statistics describe the main trie alone
  LineReader reader = OpenLineReader(path, kExclusionBufferSize);
  CheckIo();
  ShortString line;
  while (!AtEnd(reader)) {
    CheckIo();
    ReadLine(reader, line);
    CheckIo();
    FoldCase(line);
    InsertKey(line, 0, exclusionList, unused);
  }
  CheckIo();
  CloseLineReader(reader);
  CheckIo();
}

void ScanDictionary(LineReader& dictionary, const ScanMode& mode, KeyTrie& mainTrie, const KeyTrie* exclusionList,
                    ScanState& state, RunStatistics& statistics) {
  while (!AtEnd(dictionary)) {
    CheckIo();
    ReadLine(dictionary, state.lineText);
    CheckIo();
    state.byteOffset += dictionary.lineBytes + mode.lineEndSize;

    if (mode.fullText || state.afterPercent) {
      LineRest rest = RestOf(state.lineText);
      while (NextWord(rest, state.word, mode.fullText, mode.keepCase)) {
        if (mode.fullText && exclusionList != nullptr && ContainsKey(state.word, *exclusionList)) continue;
        InsertKey(state.word, state.currentEntry, mainTrie, statistics);
        ++statistics.totalWords;
      }
    }

    state.afterPercent = state.lineText.length == 1 && state.lineText.bytes[0] == '%';
    if (state.afterPercent) {
      // Entry offsets are 32-bit in the index; an entry beyond that cannot be filed truthfully.
      if (state.byteOffset > std::numeric_limits<int32_t>::max()) StopRun(ErrorCode::kArithmeticOverflow);
      state.currentEntry = static_cast<int32_t>(state.byteOffset);
    }

    ++state.lineCount;
    if (state.lineCount % 1000 == 0) {
      ConsoleWrite({"."});
      CheckIo();
    }
  }
  CheckIo();
}

}  // namespace vos
