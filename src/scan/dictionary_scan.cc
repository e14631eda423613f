#include "scan/dictionary_scan.h"

#include <functional>
#include <limits>
#include <memory>
#include <semaphore>
#include <system_error>
#include <thread>

#include "runtime/console.h"
#include "runtime/run_stop.h"
#include "scan/word_extraction.h"

namespace vos {
namespace {

// A line of 255 bytes holds at most 128 keys of one byte with a separator after each.
constexpr int kMaxKeysPerLine = 128;
static_assert(kKeyBatchSize > kMaxKeysPerLine, "a line's keys and the place for the call that ends them fit");

struct FilingThread;
void EndFiling(FilingThread& filing);

// The thread that files batches beside the scan. The handover is strict: the scan hands over a batch only once
// the thread has filed the one before, so the table, the trie and the statistics it keeps are never touched by both
// threads at once (the scan itself only counts totalWords). Without a thread, batches are filed in place.
struct FilingThread {
  std::binary_semaphore handed{0};  // a batch (or the end) is waiting for the thread
  std::binary_semaphore idle{1};    // the thread has filed what it was given
  KeyBatch* batch = nullptr;        // the batch handed over; nullptr ends the thread
  KeyTable* table = nullptr;
  KeyTrie* trie = nullptr;
  RunStatistics* statistics = nullptr;
  std::thread thread;

  FilingThread() = default;
  FilingThread(const FilingThread&) = delete;
  FilingThread& operator=(const FilingThread&) = delete;
  // A stop that unwinds (only tests' exit hooks throw) must not leave the thread running.
  ~FilingThread() { EndFiling(*this); }
};

void FileHandedBatches(FilingThread& filing) {
  for (;;) {
    filing.handed.acquire();
    if (filing.batch == nullptr) return;
    FileBatch(*filing.batch, *filing.table, *filing.trie, *filing.statistics);
    filing.idle.release();
  }
}

void StartFiling(FilingThread& filing, KeyTable& table, KeyTrie& trie, RunStatistics& statistics) {
  filing.table = &table;
  filing.trie = &trie;
  filing.statistics = &statistics;
  try {
    filing.thread = std::thread(FileHandedBatches, std::ref(filing));
  } catch (const std::system_error&) {
    // No thread to be had (a process limit, say): the scan files its batches itself.
  }
}

// Files `batch`, on the thread when there is one; either way the batch is empty and free to fill on return (the
// thread's batch is the other one).
void HandOver(FilingThread& filing, KeyBatch& batch) {
  if (!filing.thread.joinable()) {
    FileBatch(batch, *filing.table, *filing.trie, *filing.statistics);
    return;
  }
  filing.idle.acquire();
  filing.batch = &batch;
  filing.handed.release();
}

// Waits until every handed batch is filed and ends the thread.
void EndFiling(FilingThread& filing) {
  if (!filing.thread.joinable()) return;
  filing.idle.acquire();
  filing.batch = nullptr;
  filing.handed.release();
  filing.thread.join();
}

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
  // them one by one (see FileKey). The scan cuts one batch of keys while a second thread files the one before.
  bool excluding = mode.fullText && exclusionList != nullptr;
  KeyTable filed;
  auto batches = std::make_unique<KeyBatch[]>(2);
  KeyBatch* batch = &batches[0];
  FilingThread filing;
  StartFiling(filing, filed, mainTrie, statistics);

  while (!AtEnd(dictionary)) {
    CheckIo();
    LineView line = ReadLineView(dictionary);
    CheckIo();
    state.byteOffset += dictionary.lineBytes + mode.lineEndSize;

    if (mode.fullText || state.afterPercent) {
      if (batch->count + kMaxKeysPerLine >= kKeyBatchSize) {
        HandOver(filing, *batch);
        batch = batch == &batches[0] ? &batches[1] : &batches[0];
      }
      LineRest rest{line.bytes, line.length};
      // Each key is cut straight into the batch's next place, which stays free when the key is not filed there.
      while (NextWord(rest, batch->keys[batch->count], mode.fullText, mode.keepCase)) {
        const ShortString& key = batch->keys[batch->count];
        uint32_t tag = KeyTag(key);
        if (excluding && SetHolds(*exclusionList, key, tag)) continue;
        ++statistics.totalWords;
        batch->entryOffsets[batch->count] = state.currentEntry;
        batch->tags[batch->count] = tag;
        ++batch->count;
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
  EndFiling(filing);
  FileBatch(*batch, filed, mainTrie, statistics);
  LinkFiledKeys(filed, mainTrie);
}

}  // namespace vos
