#include "scan/dictionary_scan.h"

#include <memory>

#include "runtime/console.h"
#include "runtime/run_stop.h"
#include "scan/scan_lines.h"
#include "scan/scan_pipeline.h"

namespace vos {
namespace {

// The scan's loop on one thread: batches are filed when full, dots written and stops made on the spot.
struct FilingSink {
  KeyTable& filed;
  KeyTrie& mainTrie;
  RunStatistics& statistics;

  bool ReadChecked() {
    CheckIo();
    return true;
  }
  KeyBatch* BatchFull(KeyBatch& batch) {
    FileBatch(batch, filed, mainTrie, statistics);
    return &batch;
  }
  [[noreturn]] void Stop(ErrorCode code) { StopRun(code); }
  bool Dot() {
    ConsoleWrite({"."});
    CheckIo();
    return true;
  }
  void End(KeyBatch& batch) { FileBatch(batch, filed, mainTrie, statistics); }
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

void ScanDictionarySerial(LineReader& dictionary, const ScanMode& mode, KeyTrie& mainTrie,
                          const KeySet* exclusionList, ScanState& state, RunStatistics& statistics) {
  // Keys go through a hash table and the trie is linked once at the end, which gives the same trie as inserting
  // them one by one (see FileKey).
  KeyTable filed;
  auto batch = std::make_unique<KeyBatch>();
  FilingSink sink{filed, mainTrie, statistics};
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
