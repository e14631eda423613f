#include "lookup/lookup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "scan/word_extraction.h"
#include "trie/key_trie.h"

namespace vos {
namespace {

constexpr int64_t kLongestRecordHead = RecordSize(255, 0);
constexpr uint8_t kLineFeed = 10;
constexpr uint8_t kCarriageReturn = 13;

std::string SystemReason(int err) { return std::strerror(err); }

// Reads up to `count` bytes at `position`; gives the number read, or -1 with errno set. Fewer bytes than asked
// means the end of the file.
int64_t ReadAt(int handle, int64_t position, uint8_t* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::pread(handle, buffer + done, static_cast<size_t>(count - done), position + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

// Reads exactly `count` bytes that the file's size promises; a short read means the file changed under us.
bool ReadExactly(int handle, int64_t position, uint8_t* buffer, int64_t count, std::string& error) {
  int64_t n = ReadAt(handle, position, buffer, count);
  if (n < 0) {
    error = SystemReason(errno);
    return false;
  }
  if (n < count) {
    error = "file shrank while being read";
    return false;
  }
  return true;
}

}  // namespace

std::string Decimal(int64_t value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  return std::string(digits, end);
}

std::string RecordName(int64_t recordOffset) { return "record " + Decimal(recordOffset); }

bool OpenReadOnly(std::string_view path, IndexReader& reader, std::string& error) {
  std::string name(path);
  int handle = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (handle < 0) {
    error = SystemReason(errno);
    return false;
  }
  struct stat st;
  if (::fstat(handle, &st) != 0) {
    error = SystemReason(errno);
    ::close(handle);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    error = SystemReason(EISDIR);
    ::close(handle);
    return false;
  }
  reader.handle = handle;
  reader.fileSize = st.st_size;
  return true;
}

void CloseReader(IndexReader& reader) {
  if (reader.handle >= 0) ::close(reader.handle);
  reader.handle = -1;
}

bool ReadHeader(const IndexReader& reader, IndexHeader& header, std::string& error) {
  if (reader.fileSize == 0) {
    error = "empty file, not an index";
    return false;
  }
  if (reader.fileSize < kHeaderSize) {
    error = "file of " + Decimal(reader.fileSize) + " bytes is too short for the 8-byte header";
    return false;
  }
  uint8_t bytes[kHeaderSize];
  if (!ReadExactly(reader.handle, 0, bytes, kHeaderSize, error)) return false;
  header.maxKeyLength = DecodeFixed32(bytes);
  header.maxPostingCount = DecodeFixed32(bytes + 4);
  return true;
}

bool ReadRecord(const IndexReader& reader, int64_t recordOffset, bool withPostings, IndexRecord& record,
                std::string& error) {
  int64_t position = kHeaderSize + recordOffset;
  if (recordOffset < 0 || position >= reader.fileSize) {
    error = "link to record " + Decimal(recordOffset) + " leads outside the file";
    return false;
  }
  int64_t available = reader.fileSize - position;
  uint8_t bytes[kLongestRecordHead];
  int64_t wanted = std::min(available, kLongestRecordHead);
  if (!ReadExactly(reader.handle, position, bytes, wanted, error)) return false;
  int64_t n = bytes[0];
  if (RecordSize(n, 0) > available) {
    error = RecordName(recordOffset) + " is cut short by the end of the file: " + Decimal(available) +
            " bytes are left for a key of " + Decimal(n) + " bytes";
    return false;
  }
  record.recordOffset = recordOffset;
  record.head = DecodeRecordHead(bytes);
  int64_t c = record.head.postingCount;
  if (c < 0) {
    error = RecordName(recordOffset) + " has a negative posting count " + Decimal(c);
    return false;
  }
  record.size = RecordSize(n, c);
  if (record.size > available) {
    error = RecordName(recordOffset) + " is cut short by the end of the file: with " + Decimal(c) +
            " postings it needs " + Decimal(record.size) + " bytes, " + Decimal(available) + " are left";
    return false;
  }
  record.postings.clear();
  if (!withPostings) return true;
  record.postings.reserve(static_cast<size_t>(c));
  // In slices, so that a long posting list needs no second buffer of its size.
  uint8_t slice[4096];
  int64_t next = position + PostingPosition(n, 0);
  for (int64_t left = c; left > 0;) {
    int64_t take = std::min<int64_t>(left, sizeof slice / 4);
    if (!ReadExactly(reader.handle, next, slice, 4 * take, error)) return false;
    for (int64_t i = 0; i < take; ++i) record.postings.push_back(DecodeFixed32(slice + 4 * i));
    next += 4 * take;
    left -= take;
  }
  return true;
}

ShortString SearchKey(std::string_view word, bool keepCase) {
  ShortString key = MakeShortString(word);
  if (!keepCase) FoldCase(key);
  return key;
}

LookupResult LookupKey(const IndexReader& reader, const ShortString& key) {
  LookupResult result;
  auto fail = [&result](std::string error) {
    result.outcome = LookupResult::Outcome::kError;
    result.error = std::move(error);
    return result;
  };
  std::string error;
  IndexHeader header;
  if (!ReadHeader(reader, header, error)) return fail(error);
  if (reader.fileSize == kHeaderSize) return fail("no head record after the header");

  IndexRecord current;
  if (!ReadRecord(reader, 0, false, current, error)) return fail(error);
  // Bit indices strictly fall on every step down and are checked to lie in 0..800, so this ends within 801 steps.
  for (;;) {
    int32_t b = current.head.bitIndex;
    if (b < 0 || b > kTopBitIndex) {
      return fail(RecordName(current.recordOffset) + " has bit index " + Decimal(b) + " outside 0..800");
    }
    int64_t target = KeyBit(key, b) ? current.head.right : current.head.left;
    IndexRecord next;
    if (!ReadRecord(reader, target, false, next, error)) return fail(error);
    if (next.head.bitIndex < b) {
      current = std::move(next);
      continue;
    }
    // The descent ends here: this record is the only one that can hold the key.
    if (!(next.head.key == key) || key.length == 0) return result;
    if (next.head.postingCount < 1) return fail(RecordName(next.recordOffset) + " holds a key but no postings");
    if (!ReadRecord(reader, target, true, next, error)) return fail(error);
    result.outcome = LookupResult::Outcome::kFound;
    result.postings = std::move(next.postings);
    return result;
  }
}

bool ReadEntryText(const IndexReader& dictionary, int64_t entryOffset, std::string& text, std::string& error) {
  text.clear();
  if (entryOffset < 0 || entryOffset > dictionary.fileSize) {
    error = "entry offset " + Decimal(entryOffset) + " lies outside the file of " + Decimal(dictionary.fileSize) +
            " bytes";
    return false;
  }
  // Lines end at LF, CR LF or a lone CR, as the scan reads them; the first line is the headword line whatever it
  // holds, and the entry ends before the next line that is exactly "%".
  size_t lineStart = 0;
  bool firstLine = true;
  bool afterCarriageReturn = false;
  auto endsEntry = [&]() { return !firstLine && text.size() - lineStart == 1 && text[lineStart] == '%'; };
  uint8_t chunk[8192];
  for (int64_t position = entryOffset; position < dictionary.fileSize;) {
    int64_t want = std::min<int64_t>(sizeof chunk, dictionary.fileSize - position);
    int64_t got = ReadAt(dictionary.handle, position, chunk, want);
    if (got < 0) {
      error = SystemReason(errno);
      return false;
    }
    if (got == 0) break;  // the file shrank; what was read is the entry
    position += got;
    for (int64_t i = 0; i < got; ++i) {
      uint8_t byte = chunk[i];
      if (afterCarriageReturn) {
        afterCarriageReturn = false;
        if (byte == kLineFeed) {
          text.push_back(static_cast<char>(byte));
          lineStart = text.size();
          continue;
        }
      }
      if (byte == kLineFeed || byte == kCarriageReturn) {
        if (endsEntry()) {
          text.resize(lineStart);
          return true;
        }
        text.push_back(static_cast<char>(byte));
        lineStart = text.size();
        firstLine = false;
        afterCarriageReturn = byte == kCarriageReturn;
        continue;
      }
      text.push_back(static_cast<char>(byte));
    }
  }
  if (endsEntry()) text.resize(lineStart);
  return true;
}

std::string FormatKeyLine(std::string_view key, const std::vector<int32_t>& postings) {
  std::string line(key);
  line.push_back('\t');
  for (size_t i = 0; i < postings.size(); ++i) {
    if (i > 0) line.push_back(' ');
    line += Decimal(postings[i]);
  }
  line.push_back('\n');
  return line;
}

}  // namespace vos
