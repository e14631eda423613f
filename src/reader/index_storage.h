// The reading library's access to index bytes: a file read in blocks on first use, or bytes held whole, and the
// records laid on top of them. Internal to src/reader.
//
// Blocks are 4 KiB, so that a descent, which visits records scattered across the file, reads little; a pass over
// all records asks for read-ahead and fills 1 MiB of blocks with one pread. A loaded block stays loaded and never
// moves, so its address is published through an atomic pointer and read without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "reader/reader.h"
#include "runtime/sys_io.h"

namespace vos {

// Opens `path` for reading when it names a regular file, the only kind that reads by position; -1 with the reason
// otherwise. A named pipe is refused at once instead of waiting for a writer. Its size is left in `size`.
int OpenRegularFile(const std::string& path, int64_t& size, std::string& error);

inline constexpr int64_t kBlockSize = 4096;
inline constexpr int64_t kReadAheadBlocks = 256;
inline constexpr int64_t kPassWindowSize = 1 << 20;

struct IndexStorage {
  int handle = -1;  // -1 once the bytes are held whole
  int64_t size = 0;
  const uint8_t* whole = nullptr;  // the bytes held whole: in `given`, or in `read`
  std::string given;
  // Read from the file: a large block, so that a server's descents and catalog pass, which touch records all over
  // the index, find them in huge pages, and the first touches of 30 MB cost 15 page faults instead of 7,000.
  LargeBlock read;
  std::unique_ptr<std::atomic<const uint8_t*>[]> blocks;  // one per block, null until loaded
  std::mutex loading;                                      // serialises loads; readers of loaded blocks skip it
  std::vector<std::unique_ptr<uint8_t[]>> buffers;         // owns the loaded blocks
  std::atomic<int> keepsCase{-1};                          // -1 unknown, else 0 or 1
  // The left spine: the head and the records its left down links lead to, one after another, with their bit
  // indices, falling. Every key sends a descent left at each of them whose bit lies past the key's end, so a
  // descent may start at the first one whose bit lies inside the key. Built once, at the second look-up: a single
  // look-up gains nothing from it, and the first one has read most of the spine's records on its way down.
  std::atomic<int64_t> lookups{0};
  std::once_flag spineBuilt;
  std::vector<std::pair<int32_t, int64_t>> spine;  // bit index, record offset
  ~IndexStorage();
};

enum class Access { kRandom, kSequential };

// The `count` bytes at file position `position`, which the caller has checked lie inside the file. Points into a
// block, or into `scratch` when the bytes span blocks. Null with a reason when the file cannot be read.
const uint8_t* IndexBytes(const IndexFile& index, int64_t position, int64_t count, Access access,
                          std::string& scratch, std::string& error);

// A record as it lies in the file; `key` and `postings` point into the storage or into the scratch buffer given.
struct RecordView {
  int64_t recordOffset = 0;
  std::string_view key;
  int32_t bitIndex = 0;
  int32_t left = 0;
  int32_t right = 0;
  int32_t postingCount = 0;
  int64_t size = 0;                   // n + 17 + 4c, known to lie inside the file
  const uint8_t* postings = nullptr;  // 4c bytes, when asked for
};

enum class RecordFault { kNone, kTruncated, kCorrupt, kUnreadable };

// Reads the record at `recordOffset`: the offset must lie inside the file, and the whole record, postings
// included, must fit before its end (kTruncated); a negative posting count is kCorrupt. The reason names the
// record, without the kind of fault in front.
RecordFault ViewRecord(const IndexFile& index, int64_t recordOffset, Access access, bool withPostings,
                       RecordView& record, std::string& scratch, std::string& error);

// The next record of a pass, as NextRecord checks it, viewed in the cursor's window (or in the whole bytes):
// valid until the next call with the same cursor.
ReadOutcome NextRecordView(const IndexFile& index, RecordCursor& cursor, RecordView& record, std::string& error);

// The postings of a record viewed with them.
void DecodePostings(const RecordView& record, std::vector<int32_t>& postings);

// "truncated index: ..." or "corrupt index: ..." for a fault of ViewRecord.
std::string FaultText(RecordFault fault, const std::string& detail);

// `value` in decimal, never touched by a locale.
std::string Decimal(int64_t value);

// How messages name the record at `recordOffset`.
std::string RecordName(int64_t recordOffset);

}  // namespace vos
