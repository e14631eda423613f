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
#include "trie/key_trie.h"

namespace vos {
namespace {

constexpr int64_t kLongestRecordHead = RecordSize(255, 0);
constexpr int64_t kSmallestIndex = kHeaderSize + kRecordFixedSize;

// Reads `count` bytes at `position`, all of them or fails: a short read means the file shrank under us.
bool ReadFully(int handle, int64_t position, uint8_t* buffer, int64_t count, std::string& error) {
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::pread(handle, buffer + done, static_cast<size_t>(count - done), position + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::strerror(errno);
      return false;
    }
    if (n == 0) {
      error = "truncated index: the file shrank while being read";
      return false;
    }
    done += n;
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
  auto buffer = std::make_unique<uint8_t[]>(static_cast<size_t>(count));
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

bool OpenIndex(std::string_view path, bool whole, IndexFile& index, std::string& error) {
  std::string name(path);
  auto storage = std::make_shared<IndexStorage>();
  storage->handle = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (storage->handle < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::fstat(storage->handle, &st) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error = std::strerror(EISDIR);
    return false;
  }
  storage->size = st.st_size;
  uint8_t header[kHeaderSize] = {};
  if (storage->size >= kSmallestIndex && !ReadFully(storage->handle, 0, header, kHeaderSize, error)) return false;
  index.path = name;
  if (whole) {
    if (!Adopt(storage, header, index, error)) return false;
    storage->whole.resize(static_cast<size_t>(storage->size));
    if (!ReadFully(storage->handle, 0, reinterpret_cast<uint8_t*>(storage->whole.data()), storage->size, error)) {
      index.storage.reset();
      return false;
    }
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
  storage->whole = std::move(bytes);
  uint8_t header[kHeaderSize] = {};
  if (storage->size >= kHeaderSize) std::memcpy(header, storage->whole.data(), kHeaderSize);
  index.path.clear();
  return Adopt(storage, header, index, error);
}

const uint8_t* IndexBytes(const IndexFile& index, int64_t position, int64_t count, Access access,
                          std::string& scratch, std::string& error) {
  IndexStorage& storage = *index.storage;
  if (storage.handle < 0) return reinterpret_cast<const uint8_t*>(storage.whole.data()) + position;
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

RecordFault ViewRecord(const IndexFile& index, int64_t recordOffset, Access access, bool withPostings,
                       RecordView& record, std::string& scratch, std::string& error) {
  int64_t position = kHeaderSize + recordOffset;
  if (recordOffset < 0 || position >= index.size) {
    error = "link to record " + Decimal(recordOffset) + " leads outside the file";
    return RecordFault::kTruncated;
  }
  int64_t available = index.size - position;
  const uint8_t* bytes =
      IndexBytes(index, position, std::min(available, kLongestRecordHead), access, scratch, error);
  if (bytes == nullptr) return RecordFault::kUnreadable;
  int64_t n = bytes[0];
  if (RecordSize(n, 0) > available) {
    error = RecordName(recordOffset) + " is cut short by the end of the file: " + Decimal(available) +
            " bytes are left for a key of " + Decimal(n) + " bytes";
    return RecordFault::kTruncated;
  }
  record.recordOffset = recordOffset;
  record.key = std::string_view(reinterpret_cast<const char*>(bytes + 1), static_cast<size_t>(n));
  record.bitIndex = DecodeFixed32(bytes + BitIndexPosition(n));
  record.left = DecodeFixed32(bytes + LeftPosition(n));
  record.right = DecodeFixed32(bytes + RightPosition(n));
  record.postingCount = DecodeFixed32(bytes + PostingCountPosition(n));
  int64_t c = record.postingCount;
  if (c < 0) {
    error = RecordName(recordOffset) + " has a negative posting count " + Decimal(c);
    return RecordFault::kCorrupt;
  }
  record.size = RecordSize(n, c);
  if (record.size > available) {
    error = RecordName(recordOffset) + " is cut short by the end of the file: with " + Decimal(c) +
            " postings it needs " + Decimal(record.size) + " bytes, " + Decimal(available) + " are left";
    return RecordFault::kTruncated;
  }
  record.postings = nullptr;
  if (withPostings) {
    // The head and postings together, in one piece; the key view must point into the same bytes.
    bytes = IndexBytes(index, position, record.size, access, scratch, error);
    if (bytes == nullptr) return RecordFault::kUnreadable;
    record.key = std::string_view(reinterpret_cast<const char*>(bytes + 1), static_cast<size_t>(n));
    record.postings = bytes + PostingPosition(n, 0);
  }
  return RecordFault::kNone;
}

ReadOutcome LookupKey(const IndexFile& index, std::string_view key, std::vector<int32_t>& postings,
                      std::string& error) {
  postings.clear();
  if (key.empty() || key.size() > 255) return ReadOutcome::kNotFound;
  ShortString search = MakeShortString(key);
  std::string scratch;
  RecordView current;
  RecordFault fault = ViewRecord(index, 0, Access::kRandom, false, current, scratch, error);
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
    postings.resize(static_cast<size_t>(next.postingCount));
    for (size_t i = 0; i < postings.size(); ++i) postings[i] = DecodeFixed32(next.postings + 4 * i);
    return ReadOutcome::kOk;
  }
  error = FaultText(fault, error);
  return ReadOutcome::kError;
}

ReadOutcome NextRecord(const IndexFile& index, RecordCursor& cursor, IndexRecord& record, std::string& error) {
  if (cursor.position < kHeaderSize) cursor.position = kHeaderSize;
  if (cursor.position >= index.size) return ReadOutcome::kNotFound;
  std::string scratch;
  RecordView view;
  RecordFault fault =
      ViewRecord(index, cursor.position - kHeaderSize, Access::kSequential, true, view, scratch, error);
  if (fault != RecordFault::kNone) {
    error = FaultText(fault, error);
    return ReadOutcome::kError;
  }
  bool isHead = cursor.position == kHeaderSize;
  if (view.bitIndex < 0 || view.bitIndex > kTopBitIndex || (!isHead && view.bitIndex == kTopBitIndex)) {
    error = "corrupt index: " + RecordName(view.recordOffset) + " has bit index " + Decimal(view.bitIndex);
    return ReadOutcome::kError;
  }
  // A link past the end means records are missing: a file cut at a record boundary reads back cleanly otherwise.
  for (int32_t link : {view.left, view.right}) {
    if (link < 0 || kHeaderSize + int64_t{link} >= index.size) {
      error = "truncated index: " + RecordName(view.recordOffset) + " links to record " + Decimal(link) +
              ", past the end of the file";
      return ReadOutcome::kError;
    }
  }
  record.recordOffset = view.recordOffset;
  record.key.assign(view.key);
  record.bitIndex = view.bitIndex;
  record.left = view.left;
  record.right = view.right;
  record.postings.resize(static_cast<size_t>(view.postingCount));
  for (size_t i = 0; i < record.postings.size(); ++i) record.postings[i] = DecodeFixed32(view.postings + 4 * i);
  cursor.position += view.size;
  return ReadOutcome::kOk;
}

ReadOutcome KeepsCase(const IndexFile& index, bool& keepsCase, std::string& error) {
  int known = index.storage->keepsCase.load(std::memory_order_relaxed);
  if (known >= 0) {
    keepsCase = known == 1;
    return ReadOutcome::kOk;
  }
  RecordCursor cursor;
  IndexRecord record;
  ReadOutcome outcome;
  bool found = false;
  while (!found && (outcome = NextRecord(index, cursor, record, error)) == ReadOutcome::kOk) {
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
