#include "scan/scan_pipeline.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "runtime/console.h"
#include "runtime/run_stop.h"
#include "scan/scan_lines.h"

namespace vos {
namespace {

// Keys shorter than kShortKey (nearly all) are copied kShortKey bytes at a time, a fixed move instead of a call; the
// bytes past a key are the next key's, or slack at the end of the packed keys.
constexpr int32_t kShortKey = 32;
constexpr size_t kPackedBatchSize = size_t{kKeyBatchSize} * sizeof(ShortString) + kShortKey;

// Copies the `length` bytes at `from` to `to`, where kShortKey bytes may be read and written.
inline void CopyKeyBytes(uint8_t* to, const uint8_t* from, int32_t length) {
  if (length < kShortKey) [[likely]] {
    std::memcpy(to, from, kShortKey);
  } else {
    std::memcpy(to, from, static_cast<size_t>(length));
  }
}

// A batch on its way between the threads, and what the calling thread has to do before filing it. The keys travel
// packed, each its length byte and its bytes: a key cut into a KeyBatch takes a cache line of its own, and every
// line that one thread writes and the other reads is a transfer between the processors, four times as many as the
// packed bytes take.
struct RingSlot {
  std::unique_ptr<uint8_t[]> packedKeys{new uint8_t[kPackedBatchSize]};  // only as much touched as used
  std::array<int32_t, kKeyBatchSize> entryOffsets;
  std::array<uint32_t, kKeyBatchSize> tags;
  int count = 0;
  bool handedOver = false;         // filled by the reading thread and not yet unpacked
  int64_t dotsBefore = 0;          // dots of the lines read before it was handed over
  ErrorCode stop = ErrorCode::kNone;  // the run stops instead of filing it
  bool last = false;               // nothing follows it
};

// Empties `batch` into `slot`.
void Pack(KeyBatch& batch, RingSlot& slot) {
  uint8_t* out = slot.packedKeys.get();
  for (int i = 0; i < batch.count; ++i) {
    const ShortString& key = batch.keys[i];
    *out++ = key.length;
    CopyKeyBytes(out, key.bytes.data(), key.length);
    out += key.length;
  }
  std::copy_n(batch.entryOffsets.begin(), batch.count, slot.entryOffsets.begin());
  std::copy_n(batch.tags.begin(), batch.count, slot.tags.begin());
  slot.count = batch.count;
  batch.count = 0;
}

// Fills the empty `batch` from `slot`.
void Unpack(const RingSlot& slot, KeyBatch& batch) {
  const uint8_t* in = slot.packedKeys.get();
  for (int i = 0; i < slot.count; ++i) {
    ShortString& key = batch.keys[i];
    key.length = *in++;
    CopyKeyBytes(key.bytes.data(), in, key.length);
    in += key.length;
  }
  std::copy_n(slot.entryOffsets.begin(), slot.count, batch.entryOffsets.begin());
  std::copy_n(slot.tags.begin(), slot.count, batch.tags.begin());
  batch.count = slot.count;
}

// What the two threads share; the slots' flags, `dots`, `waiting`, `readerAsleep` and `cancelled` are guarded by
// `mutex`. A slot's keys, offsets and tags belong to the reading thread while it is not handed over, and to the
// calling thread while it is.
struct Ring {
  KeyBatch cutting;  // the reading thread's
  KeyBatch filing;   // the calling thread's
  std::mutex mutex;
  std::condition_variable progressed;  // a batch handed over, or a dot
  std::condition_variable freed;       // a batch filed, or the reading is to end
  std::array<RingSlot, kBatchRingSize> slots;
  int64_t dots = 0;         // dots of the lines read so far
  int waiting = 0;          // batches handed over and not yet filed
  bool readerAsleep = false;  // the reading thread waits for `waiting` to fall to kResumeReading
  bool cancelled = false;   // the calling thread is leaving the scan
};

// A reading thread that found the ring full sleeps until half of it is filed, not merely the next batch: one
// wake-up for every two batches instead of one for each, which is what it costs when filing is the slower side.
constexpr int kResumeReading = kBatchRingSize / 2;

// The reading thread's side of the loop.
struct HandingSink final : ScanSink {
  explicit HandingSink(Ring& ring) : ring(ring) {}

  bool ReadFailed() override {
    auto code = static_cast<ErrorCode>(ioStatus);
    ioStatus = 0;  // this thread's code, now handed to the calling thread
    HandOver(code, true);
    return false;
  }

  KeyBatch* BatchFull(KeyBatch& batch) override {
    Pack(batch, ring.slots[filling]);
    return HandOver(ErrorCode::kNone, false) ? &batch : nullptr;
  }

  void Stop(ErrorCode code) override { HandOver(code, true); }

  bool Dot() override {
    std::lock_guard lock(ring.mutex);
    ++ring.dots;
    ring.progressed.notify_one();
    return !ring.cancelled;
  }

  void End(KeyBatch& batch) override {
    Pack(batch, ring.slots[filling]);
    HandOver(ErrorCode::kNone, true);
  }

  // Hands the slot being filled over with the dots so far and, unless it is the last, waits for the next slot to
  // be free. False when there is nothing more to fill.
  bool HandOver(ErrorCode stop, bool last) {
    std::unique_lock lock(ring.mutex);
    RingSlot& slot = ring.slots[filling];
    slot.handedOver = true;
    slot.dotsBefore = ring.dots;
    slot.stop = stop;
    slot.last = last;
    ++ring.waiting;
    ring.progressed.notify_one();
    if (last) return false;
    filling = (filling + 1) % kBatchRingSize;
    // The batches handed over are the ones before `filling`, so the next is free while some slot is.
    if (ring.waiting == kBatchRingSize) {
      ring.readerAsleep = true;
      ring.freed.wait(lock, [this] { return ring.cancelled || ring.waiting <= kResumeReading; });
      ring.readerAsleep = false;
    }
    return !ring.cancelled;
  }

  Ring& ring;
  int filling = 0;  // the slot being filled
};

// The calling thread's side: for each slot in turn, the dots that the scan on one thread writes before filing it
// (written as they come, not held back for the batch), then its stop or its filing.
void FileHandedBatches(Ring& ring, KeyTable& filed, KeyTrie& mainTrie, RunStatistics& statistics) {
  int64_t dotsWritten = 0;
  for (int next = 0;; next = (next + 1) % kBatchRingSize) {
    RingSlot& slot = ring.slots[next];
    std::unique_lock lock(ring.mutex);
    for (;;) {
      // Until the slot is handed over, every dot belongs to a line read before its handing over.
      int64_t due = slot.handedOver ? slot.dotsBefore : ring.dots;
      if (dotsWritten < due) {
        lock.unlock();
        for (; dotsWritten < due; ++dotsWritten) {
          ConsoleWrite({"."});
          CheckIo();
        }
        lock.lock();
      } else if (slot.handedOver) {
        break;
      } else {
        ring.progressed.wait(lock);
      }
    }
    ErrorCode stop = slot.stop;
    bool last = slot.last;
    lock.unlock();

    if (stop != ErrorCode::kNone) StopRun(stop);
    Unpack(slot, ring.filing);
    if (!last) {
      lock.lock();
      slot.handedOver = false;
      --ring.waiting;
      if (ring.readerAsleep && ring.waiting <= kResumeReading) ring.freed.notify_one();
      lock.unlock();
    }
    FileBatch(ring.filing, filed, mainTrie, statistics);
    if (last) return;
  }
}

// Ends the reading thread on every way out of the scan, a stop whose exit returns or throws included.
struct ReadingThread {
  Ring& ring;
  std::thread thread;

  ~ReadingThread() {
    {
      std::lock_guard lock(ring.mutex);
      ring.cancelled = true;
    }
    ring.freed.notify_one();
    thread.join();
  }
};

}  // namespace

bool ScanDictionaryPipelined(LineReader& dictionary, const ScanMode& mode, KeyTrie& mainTrie,
                             const KeySet* exclusionList, ScanState& state, RunStatistics& statistics) {
  auto ring = std::make_unique<Ring>();
  int64_t totalWords = 0;  // counted by the reading thread, added once it has ended
  std::thread thread;
  try {
    thread = std::thread([&] {
      HandingSink sink(*ring);
      ScanLines(dictionary, mode, exclusionList, &ring->cutting, state, totalWords, sink);
    });
  } catch (const std::system_error&) {
    return false;
  }
  KeyTable filed;
  {
    ReadingThread reading{*ring, std::move(thread)};
    FileHandedBatches(*ring, filed, mainTrie, statistics);
  }
  statistics.totalWords += totalWords;
  LinkFiledKeys(filed, mainTrie);
  return true;
}

}  // namespace vos
