#include "scan/dictionary_scan.h"

#include <limits>
#include <memory>

#include "runtime/console.h"
#include "runtime/run_stop.h"
#include "scan/scan_lines.h"
#include "scan/scan_pipeline.h"
#include "scan/word_extraction.h"

namespace vos {
namespace {

// The scan's loop on one thread: batches are filed when full, dots written and stops made on the spot.
struct FilingSink final : ScanSink {
  FilingSink(KeyTable& filed, KeyTrie& mainTrie, RunStatistics& statistics)
      : filed(filed), mainTrie(mainTrie), statistics(statistics) {}

  bool ReadFailed() override {
    CheckIo();
    return true;
  }
  KeyBatch* BatchFull(KeyBatch& batch) override {
    FileBatch(batch, filed, mainTrie, statistics);
    return &batch;
  }
  void Stop(ErrorCode code) override { StopRun(code); }
  bool Dot() override {
    ConsoleWrite({"."});
    CheckIo();
    return true;
  }
  void End(KeyBatch& batch) override { FileBatch(batch, filed, mainTrie, statistics); }

  KeyTable& filed;
  KeyTrie& mainTrie;
  RunStatistics& statistics;
};
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

void ScanLines(LineReader& dictionary, const ScanMode& mode, const KeySet* exclusionList, KeyBatch* batch,
               ScanState& state, int64_t& totalWords, ScanSink& sink) {
  bool excluding = mode.fullText && exclusionList != nullptr;
  while (!AtEnd(dictionary)) {
    if (ioStatus != 0 && !sink.ReadFailed()) return;
    LineView line = ReadLineView(dictionary);
    if (ioStatus != 0 && !sink.ReadFailed()) return;
    state.byteOffset += dictionary.lineBytes + mode.lineEndSize;

    if (mode.fullText || state.afterPercent) {
      if (batch->count + kMaxKeysPerLine >= kKeyBatchSize) {
        batch = sink.BatchFull(*batch);
        if (batch == nullptr) return;
      }
      LineRest rest = RestOf(line.bytes, line.length);
      // Each key is cut straight into the batch's next place, which stays free when the key is not filed there.
      uint32_t tag;
      while (NextWord(rest, batch->keys[batch->count], mode.fullText, mode.keepCase, tag)) {
        const ShortString& key = batch->keys[batch->count];
        // Whether a word is excluded is a coin toss to the processor: the count is moved on without a branch.
        bool filed = !(excluding && SetHolds(*exclusionList, key, tag));
        batch->entryOffsets[batch->count] = state.currentEntry;
        batch->tags[batch->count] = tag;
        totalWords += filed;
        batch->count += filed;
      }
    }

    state.afterPercent = line.length == 1 && line.bytes[0] == '%';
    if (state.afterPercent) {
      // Entry offsets are 32-bit in the index; an entry beyond that cannot be filed truthfully.
      if (state.byteOffset > std::numeric_limits<int32_t>::max()) {
        sink.Stop(ErrorCode::kArithmeticOverflow);
        return;
      }
      state.currentEntry = static_cast<int32_t>(state.byteOffset);
    }

    ++state.lineCount;
    if (state.lineCount % 1000 == 0 && !sink.Dot()) return;
  }
  if (ioStatus != 0 && !sink.ReadFailed()) return;
  sink.End(*batch);
}

void ScanDictionarySerial(LineReader& dictionary, const ScanMode& mode, KeyTrie& mainTrie,
                          const KeySet* exclusionList, ScanState& state, RunStatistics& statistics) {
  // Keys go through a hash table and the trie is linked once at the end, which gives the same trie as inserting
  // them one by one (see FileKey).
  KeyTable filed;
  auto batch = std::make_unique<KeyBatch>();
  FilingSink sink(filed, mainTrie, statistics);
  ScanLines(dictionary, mode, exclusionList, batch.get(), state, statistics.totalWords, sink);
  LinkFiledKeys(filed, mainTrie);
}

void ScanDictionary(LineReader& dictionary, const ScanMode& mode, KeyTrie& mainTrie, const KeySet* exclusionList,
                    ScanState& state, RunStatistics& statistics) {
  if (!ScanDictionaryPipelined(dictionary, mode, mainTrie, exclusionList, state, statistics)) {
    ScanDictionarySerial(dictionary, mode, mainTrie, exclusionList, state, statistics);
  }
}

}  // namespace vos
