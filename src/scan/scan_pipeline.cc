#include "scan/scan_pipeline.h"

#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "runtime/console.h"
#include "runtime/run_stop.h"
#include "scan/scan_lines.h"

namespace vos {
namespace {

// A batch and what the calling thread has to do before filing it.
struct RingSlot {
  KeyBatch batch;
  bool handedOver = false;         // filled by the reading thread and not yet filed
  int64_t dotsBefore = 0;          // dots of the lines read before it was handed over
  ErrorCode stop = ErrorCode::kNone;  // the run stops instead of filing it
  bool last = false;               // nothing follows it
};

// What the two threads share; every field but the batches is guarded by `mutex`. A slot's batch belongs to the
// reading thread while it is not handed over, and to the calling thread while it is.
struct Ring {
  std::mutex mutex;
  std::condition_variable progressed;  // a batch handed over, or a dot
  std::condition_variable freed;       // a batch filed, or the reading is to end
  std::array<RingSlot, kBatchRingSize> slots;
  int64_t dots = 0;         // dots of the lines read so far
  bool cancelled = false;   // the calling thread is leaving the scan
};

// The reading thread's side of the loop.
struct HandingSink {
  Ring& ring;
  int filling = 0;  // the slot being filled

  bool ReadChecked() {
    if (ioStatus == 0) return true;
    auto code = static_cast<ErrorCode>(ioStatus);
    ioStatus = 0;  // this thread's code, now handed to the calling thread
    HandOver(code, true);
    return false;
  }

  KeyBatch* BatchFull(KeyBatch&) { return HandOver(ErrorCode::kNone, false) ? &ring.slots[filling].batch : nullptr; }

  void Stop(ErrorCode code) { HandOver(code, true); }

  bool Dot() {
    std::lock_guard lock(ring.mutex);
    ++ring.dots;
    ring.progressed.notify_one();
    return !ring.cancelled;
  }

  void End(KeyBatch&) { HandOver(ErrorCode::kNone, true); }

  // Hands the slot being filled over with the dots so far and, unless it is the last, waits for the next slot to
  // be filed. False when there is nothing more to fill.
  bool HandOver(ErrorCode stop, bool last) {
    std::unique_lock lock(ring.mutex);
    RingSlot& slot = ring.slots[filling];
    slot.handedOver = true;
    slot.dotsBefore = ring.dots;
    slot.stop = stop;
    slot.last = last;
    ring.progressed.notify_one();
    if (last) return false;
    filling = (filling + 1) % kBatchRingSize;
    ring.freed.wait(lock, [this] { return ring.cancelled || !ring.slots[filling].handedOver; });
    return !ring.cancelled;
  }
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
    FileBatch(slot.batch, filed, mainTrie, statistics);
    if (last) return;
    lock.lock();
    slot.handedOver = false;
    ring.freed.notify_one();
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
      HandingSink sink{*ring};
      ScanLines(dictionary, mode, exclusionList, &ring->slots[0].batch, state, totalWords, sink);
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
