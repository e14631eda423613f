#include "scan/dictionary_scan.h"

#include <limits>
#include <memory>

#include "runtime/console.h"
#include "runtime/run_stop.h"
#include "scan/word_extraction.h"

namespace vos {
namespace {

// A line of 255 bytes holds at most 128 keys of one byte with a separator after each.
constexpr int kMaxKeysPerLine = 128;
static_assert(kKeyBatchSize > kMaxKeysPerLine, "a line's keys and the place for the call that ends them fit");

}  // namespace

void LoadExclusionList(std::string_view path, KeySet& exclusionList) {
  LineReader reader = OpenLineReader(path, kExclusionBufferSize);
  CheckIo();
  ShortString line;
  while (!AtEnd(reader)) {
    CheckIo();
    ReadLine(reader, line);
    CheckIo();
    FoldCase(line);
    AddToSet(line, exclusionList);
  }
  CheckIo();
  CloseLineReader(reader);
  CheckIo();
}

void ScanDictionary(LineReader& dictionary, const ScanMode& mode, KeyTrie& mainTrie, const KeySet* exclusionList,
                    ScanState& state, RunStatistics& statistics) {
  // Keys go through a hash table and the trie is linked once at the end, which gives the same trie as inserting
  // them one by one (see FileKey).
  bool excluding = mode.fullText && exclusionList != nullptr;
  KeyTable filed;
  auto batch = std::make_unique<KeyBatch>();

  while (!AtEnd(dictionary)) {
    CheckIo();
    LineView line = ReadLineView(dictionary);
    CheckIo();
    state.byteOffset += dictionary.lineBytes + mode.lineEndSize;

    if (mode.fullText || state.afterPercent) {
      if (batch->count + kMaxKeysPerLine >= kKeyBatchSize) FileBatch(*batch, filed, mainTrie, statistics);
      LineRest rest = RestOf(line.bytes, line.length);
      // Each key is cut straight into the batch's next place, which stays free when the key is not filed there.
      uint32_t tag;
      while (NextWord(rest, batch->keys[batch->count], mode.fullText, mode.keepCase, tag)) {
        const ShortString& key = batch->keys[batch->count];
        // Whether a word is excluded is a coin toss to the processor: the count is moved on without a branch.
        bool filed = !(excluding && SetHolds(*exclusionList, key, tag));
        batch->entryOffsets[batch->count] = state.currentEntry;
        batch->tags[batch->count] = tag;
        statistics.totalWords += filed;
        batch->count += filed;
      }
    }

    state.afterPercent = line.length == 1 && line.bytes[0] == '%';
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
  FileBatch(*batch, filed, mainTrie, statistics);
  LinkFiledKeys(filed, mainTrie);
}

}  // namespace vos
