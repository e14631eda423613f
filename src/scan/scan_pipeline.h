// The dictionary scan on two threads: a reading thread reads the lines and cuts their keys into a small ring of
// batches, and the calling thread files the batches, writes the dots and stops the run, all in the order and at
// the places at which the scan on one thread would. The reading thread never writes and never stops the run: a
// read error or an entry beyond 2^31 - 1 bytes is handed over with the batch being filled, and it ends.
#pragma once

#include <cstdint>

#include "scan/dictionary_scan.h"

namespace vos {

// Batches in the ring: enough for the threads' pace to even out, few enough to stay in the cache.
inline constexpr int kBatchRingSize = 4;

// Scans as ScanDictionarySerial does, the reading on a second thread. Gives false, having read nothing, when the
// system refuses the thread.
bool ScanDictionaryPipelined(LineReader& dictionary, const ScanMode& mode, KeyTrie& mainTrie,
                             const KeySet* exclusionList, ScanState& state, RunStatistics& statistics);

}  // namespace vos
