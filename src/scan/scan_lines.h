// The dictionary scan's loop over the lines, shared by the scan on one thread and the reading thread of the
// pipelined scan (see ScanDictionary). The loop reads the lines, keeps the offsets and the line count, and cuts the
// keys into a batch; what the two differ in (filing a batch, writing the dots, stopping the run) goes to `Sink`:
//   bool ReadChecked()          after every read: false when a read failed, which ends the loop
//   KeyBatch* BatchFull(batch)  the batch may lack room for this line's keys: gives the batch to fill from now
//                               on, or nullptr, which ends the loop
//   void Stop(code)             the run must stop here; ends the loop
//   bool Dot()                  every 1000th line; false ends the loop
//   void End(batch)             the dictionary's end, with the last batch
// The calls come in the order in which the scan on one thread files, writes and stops.
#pragma once

#include <cstdint>
#include <limits>

#include "runtime/error_codes.h"
#include "scan/dictionary_scan.h"
#include "scan/word_extraction.h"

namespace vos {

// A line of 255 bytes holds at most 128 keys of one byte with a separator after each.
inline constexpr int kMaxKeysPerLine = 128;
static_assert(kKeyBatchSize > kMaxKeysPerLine, "a line's keys and the place for the call that ends them fit");

template <typename Sink>
void ScanLines(LineReader& dictionary, const ScanMode& mode, const KeySet* exclusionList, KeyBatch* batch,
               ScanState& state, int64_t& totalWords, Sink& sink) {
  bool excluding = mode.fullText && exclusionList != nullptr;
  while (!AtEnd(dictionary)) {
    if (!sink.ReadChecked()) return;
    LineView line = ReadLineView(dictionary);
    if (!sink.ReadChecked()) return;
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
  if (!sink.ReadChecked()) return;
  sink.End(*batch);
}

}  // namespace vos
