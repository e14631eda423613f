// Reading an entry back from the dictionary, and the checks that the dictionary is the one the index was made of.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "reader/index_storage.h"

namespace vos {
namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';

// Reads up to `count` bytes at `position`; the number read, or -1 with errno set.
int64_t ReadAt(int handle, int64_t position, char* buffer, int64_t count) {
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::pread(handle, buffer + done, static_cast<size_t>(count - done), position + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
  }
  return done;
}

// Whether `offset` starts an entry: it follows a line that is exactly "%" and its line end (LF, CR LF or a lone
// CR, as the scan reads lines). Offset 0 is checked by the caller.
bool FollowsPercentLine(const DictionaryFile& dictionary, int64_t offset, bool& starts, std::string& error) {
  char bytes[5] = {};
  int64_t from = std::max<int64_t>(0, offset - 4);
  int64_t want = offset - from + (offset < dictionary.size ? 1 : 0);
  int64_t got = ReadAt(dictionary.handle, from, bytes, want);
  if (got < 0) {
    error = std::strerror(errno);
    return false;
  }
  // Index i of `bytes` holds file position from + i; `end` is where the line end before `offset` starts.
  auto at = [&](int64_t position) { return position >= from && position < from + got ? bytes[position - from] : 0; };
  starts = false;
  char last = at(offset - 1);
  if (last == kCarriageReturn && at(offset) == kLineFeed) return true;  // inside a CR LF
  int64_t end = offset - 1;
  if (last == kLineFeed && at(offset - 2) == kCarriageReturn) end = offset - 2;
  if (last != kLineFeed && last != kCarriageReturn) return true;
  if (end < 1 || at(end - 1) != '%') return true;
  char beforePercent = at(end - 2);
  starts = end - 1 == 0 || beforePercent == kLineFeed || beforePercent == kCarriageReturn;
  return true;
}

}  // namespace

bool OpenDictionary(std::string_view path, DictionaryFile& dictionary, std::string& error) {
  std::string name(path);
  int handle = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (handle < 0) {
    error = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (::fstat(handle, &st) != 0 || S_ISDIR(st.st_mode)) {
    error = std::strerror(S_ISDIR(st.st_mode) ? EISDIR : errno);
    ::close(handle);
    return false;
  }
  dictionary.path = name;
  dictionary.handle = handle;
  dictionary.size = st.st_size;
  return true;
}

void CloseDictionary(DictionaryFile& dictionary) {
  if (dictionary.handle >= 0) ::close(dictionary.handle);
  dictionary.handle = -1;
}

ReadOutcome ReadEntry(const DictionaryFile& dictionary, int64_t offset, std::string_view key, bool keepsCase,
                      Entry& entry, std::string& error) {
  entry.offset = offset;
  entry.text.clear();
  entry.preamble = false;
  if (offset < 0 || offset >= dictionary.size) {
    error = "offset " + Decimal(offset) + " lies outside the dictionary of " + Decimal(dictionary.size) + " bytes";
    return ReadOutcome::kNotFound;
  }
  if (offset > 0) {
    bool starts = false;
    if (!FollowsPercentLine(dictionary, offset, starts, error)) return ReadOutcome::kError;
    if (!starts) {
      error = "offset " + Decimal(offset) + " does not start an entry";
      return ReadOutcome::kNotFound;
    }
  }
  // The entry ends before the next line that is exactly "%". After a "%" line the first line is the headword line
  // whatever it holds; at offset 0 there is no "%" line before, so a first line "%" ends the text at once.
  std::string& text = entry.text;
  size_t lineStart = 0;
  bool headwordLine = offset > 0;
  bool afterCarriageReturn = false;
  bool ended = false;
  auto endsEntry = [&]() { return !headwordLine && text.size() - lineStart == 1 && text[lineStart] == '%'; };
  char chunk[16384];
  for (int64_t position = offset; position < dictionary.size && !ended;) {
    int64_t want = std::min<int64_t>(sizeof chunk, dictionary.size - position);
    int64_t got = ReadAt(dictionary.handle, position, chunk, want);
    if (got < 0) {
      error = std::strerror(errno);
      return ReadOutcome::kError;
    }
    if (got == 0) break;  // the file shrank; what was read is the entry
    position += got;
    for (int64_t i = 0; i < got && !ended; ++i) {
      char byte = chunk[i];
      if (afterCarriageReturn) {
        afterCarriageReturn = false;
        if (byte == kLineFeed) {
          text.push_back(byte);
          lineStart = text.size();
          continue;
        }
      }
      if (byte == kLineFeed || byte == kCarriageReturn) {
        if (endsEntry()) {
          ended = true;
          break;
        }
        text.push_back(byte);
        lineStart = text.size();
        headwordLine = false;
        afterCarriageReturn = byte == kCarriageReturn;
        continue;
      }
      text.push_back(byte);
    }
  }
  if (endsEntry()) text.resize(lineStart);
  entry.preamble = offset == 0 && !(text.empty() && ended);
  // A key stands in its entry's text as it was written, or folded when the index folds keys.
  bool holdsKey = !key.empty() && (text.find(key) != std::string::npos ||
                                   (!keepsCase && FoldKey(text).find(key) != std::string::npos));
  if (!holdsKey) {
    error = "the entry at offset " + Decimal(offset) + " does not hold the key";
    return ReadOutcome::kNotFound;
  }
  return ReadOutcome::kOk;
}

}  // namespace vos
