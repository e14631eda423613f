// Opening index files, the block cache, and the two ways through the records: the descent and the pass.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "index/index_format.h"
#include "reader/index_storage.h"
#include "reader/read_batch.h"
#include "trie/key_trie.h"

namespace vos {
namespace {

constexpr int64_t kLongestRecordHead = RecordSize(255, 0);
constexpr int64_t kSmallestIndex = kHeaderSize + kRecordFixedSize;

// Reads `count` bytes at `position`, all of them or fails: a short read means the file shrank under us.
bool ReadFully(int handle, int64_t position, uint8_t* buffer, int64_t count, std::string& error) {
  int64_t done = ReadAt(handle, position, buffer, count);
  if (done < 0) {
    error = std::strerror(errno);
    return false;
  }
  if (done < count) {
    error = "truncated index: the file shrank while being read";
    return false;
  }
  return true;
}

// The header's maxima are impossible for an index of this size: no key is longer than 255 bytes, every index
// has a posting count maximum of at least 1, and the record that holds the most postings must fit in the file.
bool PlausibleHeader(const uint8_t* header, int64_t size) {
  int32_t maxKeyLength = DecodeFixed32(header);
  int32_t maxPostingCount = DecodeFixed32(header + 4);
  if (maxKeyLength < 0 || maxKeyLength > 255 || maxPostingCount < 1) return false;
  return maxPostingCount == 1 || RecordSize(0, maxPostingCount) <= size - kSmallestIndex;
}

bool Adopt(std::shared_ptr<IndexStorage> storage, const uint8_t* header, IndexFile& index, std::string& error) {
  if (storage->size < kSmallestIndex || !PlausibleHeader(header, storage->size)) {
    error = "not a vos index";
    return false;
  }
  index.size = storage->size;
  index.maxKeyLength = DecodeFixed32(header);
  index.maxPostingCount = DecodeFixed32(header + 4);
  index.storage = std::move(storage);
  return true;
}

// Loads block `first` and, for a pass, the blocks after it up to the next loaded one, with one pread.
const uint8_t* LoadBlock(IndexStorage& storage, int64_t first, Access access, std::string& error) {
  std::lock_guard<std::mutex> lock(storage.loading);
  if (const uint8_t* loaded = storage.blocks[first].load(std::memory_order_acquire)) return loaded;
  int64_t blockCount = (storage.size + kBlockSize - 1) / kBlockSize;
  int64_t last = first + 1;
  if (access == Access::kSequential) {
    int64_t limit = std::min(blockCount, first + kReadAheadBlocks);
    while (last < limit && storage.blocks[last].load(std::memory_order_relaxed) == nullptr) ++last;
  }
  int64_t start = first * kBlockSize;
  int64_t count = std::min(storage.size, last * kBlockSize) - start;
  // Not value-initialised: pread fills every byte, and zeroing first would touch each page twice.
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[static_cast<size_t>(count)]);
  if (!ReadFully(storage.handle, start, buffer.get(), count, error)) return nullptr;
  for (int64_t b = first; b < last; ++b) {
    storage.blocks[b].store(buffer.get() + (b - first) * kBlockSize, std::memory_order_release);
  }
  const uint8_t* result = buffer.get();
  storage.buffers.push_back(std::move(buffer));
  return result;
}

const uint8_t* Block(IndexStorage& storage, int64_t block, Access access, std::string& error) {
  if (const uint8_t* loaded = storage.blocks[block].load(std::memory_order_acquire)) return loaded;
  return LoadBlock(storage, block, access, error);
}

// Follows left down links from the head for as long as the records read soundly; see IndexStorage::spine.
void BuildSpine(const IndexFile& index, std::vector<std::pair<int32_t, int64_t>>& spine) {
  std::string scratch, error;
  RecordView current;
  if (ViewRecord(index, 0, Access::kRandom, false, current, scratch, error) != RecordFault::kNone) return;
  if (current.bitIndex < 0 || current.bitIndex > kTopBitIndex) return;
  spine.emplace_back(current.bitIndex, 0);
  for (;;) {
    RecordView next;
    if (ViewRecord(index, current.left, Access::kRandom, false, next, scratch, error) != RecordFault::kNone) return;
    if (next.bitIndex < 0 || next.bitIndex >= current.bitIndex) return;
    spine.emplace_back(next.bitIndex, next.recordOffset);
    current = next;
  }
}

// Where the descent for a key of `length` bytes may start: the first spine record whose bit lies inside the key
// (bit b reads byte b / 8 of the length-prefixed key, and bytes past its end are 0), or the last spine record.
int64_t DescentStart(const IndexFile& index, size_t length) {
  IndexStorage& storage = *index.storage;
  if (storage.lookups.fetch_add(1, std::memory_order_relaxed) == 0) return 0;
  std::call_once(storage.spineBuilt, [&index, &storage] { BuildSpine(index, storage.spine); });
  if (storage.spine.empty()) return 0;
  auto threshold = static_cast<int32_t>(8 * (length + 1));
  for (const auto& [bitIndex, recordOffset] : storage.spine) {
    if (bitIndex < threshold) return recordOffset;
  }
  return storage.spine.back().second;
}

}  // namespace

IndexStorage::~IndexStorage() {
  if (handle >= 0) ::close(handle);
}

std::string Decimal(int64_t value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  return std::string(digits, end);
}

std::string RecordName(int64_t recordOffset) { return "record " + Decimal(recordOffset); }

std::string FaultText(RecordFault fault, const std::string& detail) {
  switch (fault) {
    case RecordFault::kTruncated: return "truncated index: " + detail;
    case RecordFault::kCorrupt: return "corrupt index: " + detail;
    default: return detail;
  }
}

int OpenRegularFile(const std::string& path, int64_t& size, std::string& error) {
  int handle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (handle < 0) {
    error = std::strerror(errno);
    return -1;
  }
  struct stat st;
  int flags = -1;
  if (::fstat(handle, &st) != 0) {
    error = std::strerror(errno);
  } else if (S_ISDIR(st.st_mode)) {
    error = std::strerror(EISDIR);
  } else if (!S_ISREG(st.st_mode)) {
    error = "not a regular file";
  } else if ((flags = ::fcntl(handle, F_GETFL)) < 0 || ::fcntl(handle, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    // io_uring would answer reads that must wait for the disk with EAGAIN while the flag is set.
    error = std::strerror(errno);
  } else {
    size = st.st_size;
    return handle;
  }
  ::close(handle);
  return -1;
}

bool OpenIndex(std::string_view path, bool whole, IndexFile& index, std::string& error) {
  std::string name(path);
  auto storage = std::make_shared<IndexStorage>();
  storage->handle = OpenRegularFile(name, storage->size, error);
  if (storage->handle < 0) return false;
  uint8_t header[kHeaderSize] = {};
  if (storage->size >= kSmallestIndex && !ReadFully(storage->handle, 0, header, kHeaderSize, error)) return false;
  index.path = name;
  if (whole) {
    if (!Adopt(storage, header, index, error)) return false;
    // Fresh pages are zero already, and pread fills every byte.
    storage->read = TryNewLargeBlock(static_cast<size_t>(storage->size));
    if (storage->read == nullptr) error = std::strerror(errno);
    if (storage->read == nullptr || !ReadFully(storage->handle, 0, storage->read.get(), storage->size, error)) {
      index.storage.reset();
      return false;
    }
    storage->whole = storage->read.get();
    ::close(storage->handle);
    storage->handle = -1;
    return true;
  }
  int64_t blockCount = (storage->size + kBlockSize - 1) / kBlockSize;
  storage->blocks = std::make_unique<std::atomic<const uint8_t*>[]>(static_cast<size_t>(blockCount));
  return Adopt(storage, header, index, error);
}

bool OpenIndexBytes(std::string bytes, IndexFile& index, std::string& error) {
  auto storage = std::make_shared<IndexStorage>();
  storage->size = static_cast<int64_t>(bytes.size());
  storage->given = std::move(bytes);
  storage->whole = reinterpret_cast<const uint8_t*>(storage->given.data());
  uint8_t header[kHeaderSize] = {};
  if (storage->size >= kHeaderSize) std::memcpy(header, storage->whole, kHeaderSize);
  index.path.clear();
  return Adopt(storage, header, index, error);
}

const uint8_t* IndexBytes(const IndexFile& index, int64_t position, int64_t count, Access access,
                          std::string& scratch, std::string& error) {
  IndexStorage& storage = *index.storage;
  if (storage.handle < 0) return storage.whole + position;
  int64_t first = position / kBlockSize;
  int64_t last = count == 0 ? first : (position + count - 1) / kBlockSize;
  if (first == last) {
    const uint8_t* block = Block(storage, first, access, error);
    return block == nullptr ? nullptr : block + position % kBlockSize;
  }
  scratch.resize(static_cast<size_t>(count));
  for (int64_t done = 0; done < count;) {
    int64_t at = position + done;
    const uint8_t* block = Block(storage, at / kBlockSize, access, error);
    if (block == nullptr) return nullptr;
    int64_t take = std::min(count - done, kBlockSize - at % kBlockSize);
    std::memcpy(scratch.data() + done, block + at % kBlockSize, static_cast<size_t>(take));
    done += take;
  }
  return reinterpret_cast<const uint8_t*>(scratch.data());
}

namespace {

// The reasons for a record that does not fit, kept out of the way of the loops that read records.
[[gnu::cold, gnu::noinline]] RecordFault HeadCutShort(int64_t recordOffset, int64_t available, int64_t n,
                                                      std::string& error) {
  error = RecordName(recordOffset) + " is cut short by the end of the file: " + Decimal(available) +
          " bytes are left for a key of " + Decimal(n) + " bytes";
  return RecordFault::kTruncated;
}

[[gnu::cold, gnu::noinline]] RecordFault PostingsCutShort(const RecordView& record, int64_t available,
                                                          std::string& error) {
  int64_t c = record.postingCount;
  if (c < 0) {
    error = RecordName(record.recordOffset) + " has a negative posting count " + Decimal(c);
    return RecordFault::kCorrupt;
  }
  error = RecordName(record.recordOffset) + " is cut short by the end of the file: with " + Decimal(c) +
          " postings it needs " + Decimal(record.size) + " bytes, " + Decimal(available) + " are left";
  return RecordFault::kTruncated;
}

// Decodes the record at `bytes`, of which at least min(available, kLongestRecordHead) bytes are at hand and
// `available` are left in the file from its start; checks as ViewRecord does. Leaves the postings unset.
inline RecordFault DecodeRecord(const uint8_t* bytes, int64_t available, int64_t recordOffset, RecordView& record,
                                std::string& error) {
  int64_t n = bytes[0];
  if (RecordSize(n, 0) > available) return HeadCutShort(recordOffset, available, n, error);
  record.recordOffset = recordOffset;
  record.key = std::string_view(reinterpret_cast<const char*>(bytes + 1), static_cast<size_t>(n));
  record.bitIndex = DecodeFixed32(bytes + BitIndexPosition(n));
  record.left = DecodeFixed32(bytes + LeftPosition(n));
  record.right = DecodeFixed32(bytes + RightPosition(n));
  record.postingCount = DecodeFixed32(bytes + PostingCountPosition(n));
  record.postings = nullptr;
  record.size = RecordSize(n, record.postingCount);
  if (record.postingCount < 0 || record.size > available) return PostingsCutShort(record, available, error);
  return RecordFault::kNone;
}

void PointInto(const uint8_t* bytes, RecordView& record) {
  record.key = std::string_view(reinterpret_cast<const char*>(bytes + 1), record.key.size());
  record.postings = bytes + PostingPosition(static_cast<int64_t>(record.key.size()), 0);
}

[[gnu::cold, gnu::noinline]] const uint8_t* RefillWindow(const IndexFile& index, RecordCursor& cursor,
                                                          int64_t position, int64_t count, std::string& error) {
  int64_t length = std::min(index.size - position, std::max(count, kPassWindowSize));
  cursor.window.resize(static_cast<size_t>(length));
  cursor.windowStart = position;
  if (!ReadFully(index.storage->handle, position, cursor.window.data(), length, error)) {
    cursor.window.clear();
    return nullptr;
  }
  return cursor.window.data();
}

// The `count` bytes at `position` from the cursor's window, refilled from `position` on when they are not in it.
inline const uint8_t* WindowBytes(const IndexFile& index, RecordCursor& cursor, int64_t position, int64_t count,
                                  std::string& error) {
  const IndexStorage& storage = *index.storage;
  if (storage.handle < 0) return storage.whole + position;
  auto held = static_cast<int64_t>(cursor.window.size());
  if (position >= cursor.windowStart && position + count <= cursor.windowStart + held) {
    return cursor.window.data() + (position - cursor.windowStart);
  }
  return RefillWindow(index, cursor, position, count, error);
}

[[gnu::cold, gnu::noinline]] ReadOutcome BadPassRecord(const RecordView& record, int64_t size,
                                                       std::string& error) {
  int32_t topBit = record.recordOffset == 0 ? kTopBitIndex : kTopBitIndex - 1;
  if (record.bitIndex < 0 || record.bitIndex > topBit) {
    error = "corrupt index: " + RecordName(record.recordOffset) + " has bit index " + Decimal(record.bitIndex);
    return ReadOutcome::kError;
  }
  int32_t link = record.left < 0 || kHeaderSize + int64_t{record.left} >= size ? record.left : record.right;
  error = "truncated index: " + RecordName(record.recordOffset) + " links to record " + Decimal(link) +
          ", past the end of the file";
  return ReadOutcome::kError;
}

}  // namespace

RecordFault ViewRecord(const IndexFile& index, int64_t recordOffset, Access access, bool withPostings,
                       RecordView& record, std::string& scratch, std::string& error) {
  int64_t position = kHeaderSize + recordOffset;
  if (recordOffset < 0 || position >= index.size) {
    error = "link to record " + Decimal(recordOffset) + " leads outside the file";
    return RecordFault::kTruncated;
  }
  int64_t available = index.size - position;
  int64_t fetched = std::min(available, kLongestRecordHead);
  const uint8_t* bytes = IndexBytes(index, position, fetched, access, scratch, error);
  if (bytes == nullptr) return RecordFault::kUnreadable;
  if (RecordFault fault = DecodeRecord(bytes, available, recordOffset, record, error); fault != RecordFault::kNone) {
    return fault;
  }
  if (!withPostings) return RecordFault::kNone;
  if (record.size > fetched) {
    // The head and postings together, in one piece; the key view must point into the same bytes.
    bytes = IndexBytes(index, position, record.size, access, scratch, error);
    if (bytes == nullptr) return RecordFault::kUnreadable;
  }
  PointInto(bytes, record);
  return RecordFault::kNone;
}

void DecodePostings(const RecordView& record, std::vector<int32_t>& postings) {
  postings.resize(static_cast<size_t>(record.postingCount));
  for (size_t i = 0; i < postings.size(); ++i) postings[i] = DecodeFixed32(record.postings + 4 * i);
}

ReadOutcome NextRecordView(const IndexFile& index, RecordCursor& cursor, RecordView& record, std::string& error) {
  if (cursor.position < kHeaderSize) cursor.position = kHeaderSize;
  int64_t position = cursor.position;
  if (position >= index.size) return ReadOutcome::kNotFound;
  int64_t available = index.size - position;
  int64_t fetched = std::min(available, kLongestRecordHead);
  const uint8_t* bytes = WindowBytes(index, cursor, position, fetched, error);
  if (bytes == nullptr) return ReadOutcome::kError;
  RecordFault fault = DecodeRecord(bytes, available, position - kHeaderSize, record, error);
  if (fault != RecordFault::kNone) {
    error = FaultText(fault, error);
    return ReadOutcome::kError;
  }
  if (record.size > fetched && (bytes = WindowBytes(index, cursor, position, record.size, error)) == nullptr) {
    return ReadOutcome::kError;
  }
  PointInto(bytes, record);
  // The head alone tests bit 800. A link past the end means records are missing: a file cut at a record boundary
  // reads back cleanly otherwise.
  int32_t topBit = position == kHeaderSize ? kTopBitIndex : kTopBitIndex - 1;
  bool sound = record.bitIndex >= 0 && record.bitIndex <= topBit && record.left >= 0 && record.right >= 0 &&
               kHeaderSize + int64_t{record.left} < index.size && kHeaderSize + int64_t{record.right} < index.size;
  if (!sound) return BadPassRecord(record, index.size, error);
  cursor.position += record.size;
  return ReadOutcome::kOk;
}

ReadOutcome LookupKey(const IndexFile& index, std::string_view key, std::vector<int32_t>& postings,
                      std::string& error) {
  postings.clear();
  if (key.empty() || key.size() > 255) return ReadOutcome::kNotFound;
  ShortString search = MakeShortString(key);
  std::string scratch;
  RecordView current;
  RecordFault fault = ViewRecord(index, DescentStart(index, key.size()), Access::kRandom, false, current, scratch, error);
  // Bit indices are checked to lie in 0..800 and must fall on every step down, so this ends within 801 steps.
  while (fault == RecordFault::kNone) {
    int32_t b = current.bitIndex;
    if (b < 0 || b > kTopBitIndex) {
      error = "corrupt index: " + RecordName(current.recordOffset) + " has bit index " + Decimal(b) +
              " outside 0..800";
      return ReadOutcome::kError;
    }
    int64_t target = KeyBit(search, b) ? current.right : current.left;
    RecordView next;
    fault = ViewRecord(index, target, Access::kRandom, false, next, scratch, error);
    if (fault != RecordFault::kNone) break;
    if (next.bitIndex < b) {
      current = next;
      continue;
    }
    // The descent ends here: this record is the only one that can hold the key.
    if (next.key != key) return ReadOutcome::kNotFound;
    if (next.postingCount < 1) {
      error = "corrupt index: " + RecordName(next.recordOffset) + " holds a key but no postings";
      return ReadOutcome::kError;
    }
    fault = ViewRecord(index, target, Access::kRandom, true, next, scratch, error);
    if (fault != RecordFault::kNone) break;
    DecodePostings(next, postings);
    return ReadOutcome::kOk;
  }
  error = FaultText(fault, error);
  return ReadOutcome::kError;
}

ReadOutcome NextRecord(const IndexFile& index, RecordCursor& cursor, IndexRecord& record, std::string& error) {
  RecordView view;
  ReadOutcome outcome = NextRecordView(index, cursor, view, error);
  if (outcome != ReadOutcome::kOk) return outcome;
  record.recordOffset = view.recordOffset;
  record.key.assign(view.key);
  record.bitIndex = view.bitIndex;
  record.left = view.left;
  record.right = view.right;
  DecodePostings(view, record.postings);
  return ReadOutcome::kOk;
}

ReadOutcome KeepsCase(const IndexFile& index, bool& keepsCase, std::string& error) {
  int known = index.storage->keepsCase.load(std::memory_order_relaxed);
  if (known >= 0) {
    keepsCase = known == 1;
    return ReadOutcome::kOk;
  }
  RecordCursor cursor;
  RecordView record;
  ReadOutcome outcome;
  bool found = false;
  while (!found && (outcome = NextRecordView(index, cursor, record, error)) == ReadOutcome::kOk) {
    for (char c : record.key) {
      auto byte = static_cast<uint8_t>(c);
      if ((byte >= 'A' && byte <= 'Z') || byte == 0xC4 || byte == 0xD6 || byte == 0xDC) found = true;
    }
  }
  if (!found && outcome == ReadOutcome::kError) return outcome;
  keepsCase = found;
  index.storage->keepsCase.store(found ? 1 : 0, std::memory_order_relaxed);
  return ReadOutcome::kOk;
}

}  // namespace vos
