// The dictionary scan's loop over the lines, shared by the scan on one thread and the reading thread of the
// pipelined scan (see ScanDictionary). The loop reads the lines, keeps the offsets and the line count, and cuts the
// keys into a batch; what the two differ in (filing a batch, writing the dots, stopping the run) goes to a
// ScanSink, in the order in which the scan on one thread files, writes and stops. The loop is compiled once, for
// both: with a single caller, word cutting and the exclusion test are inlined into it.
#pragma once

#include <cstdint>

#include "runtime/error_codes.h"
#include "scan/dictionary_scan.h"

namespace vos {

// A line of 255 bytes holds at most 128 keys of one byte with a separator after each.
inline constexpr int kMaxKeysPerLine = 128;
static_assert(kKeyBatchSize > kMaxKeysPerLine, "a line's keys and the place for the call that ends them fit");

// Each call but Dot comes at most once a batch; a false result ends the loop.
struct ScanSink {
  virtual bool ReadFailed() = 0;                     // IoStatus is set after a read
  virtual KeyBatch* BatchFull(KeyBatch& batch) = 0;  // gives the batch to fill from now on, or nullptr
  virtual void Stop(ErrorCode code) = 0;             // the run must stop here; ends the loop
  virtual bool Dot() = 0;                            // every 1000th line
  virtual void End(KeyBatch& batch) = 0;             // the dictionary's end, with the last batch

 protected:
  ~ScanSink() = default;
};

// Scans the dictionary from where `state` stands, cutting keys into `batch` first.
void ScanLines(LineReader& dictionary, const ScanMode& mode, const KeySet* exclusionList, KeyBatch* batch,
               ScanState& state, int64_t& totalWords, ScanSink& sink);

}  // namespace vos
