// Reading an entry back from the dictionary, and the checks that the dictionary is the one the index was made of.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "reader/index_storage.h"
#include "reader/read_batch.h"
#include "scan/word_extraction.h"

namespace vos {
namespace {

constexpr char kLineFeed = '\n';
constexpr char kCarriageReturn = '\r';

// Whether `offset` starts an entry: it follows a line that is exactly "%" and its line end (LF, CR LF or a lone
// CR, as the scan reads lines). `at` gives the byte at a file position, 0 outside the bytes read, which must
// cover the four bytes before `offset` and the byte at it. Offset 0 is checked by the caller.
template <typename At>
bool FollowsPercentLine(int64_t offset, At at) {
  char last = at(offset - 1);
  if (last == kCarriageReturn && at(offset) == kLineFeed) return false;  // inside a CR LF
  int64_t end = offset - 1;
  if (last == kLineFeed && at(offset - 2) == kCarriageReturn) end = offset - 2;
  if (last != kLineFeed && last != kCarriageReturn) return false;
  if (end < 1 || at(end - 1) != '%') return false;
  char beforePercent = at(end - 2);
  return end - 1 == 0 || beforePercent == kLineFeed || beforePercent == kCarriageReturn;
}

// The first read of an entry: most entries (and the bytes before them) are shorter, and a longer one doubles it.
// Each byte read is copied by the kernel, so a first read of a few entries' length costs less than a page.
constexpr int64_t kFirstRead = 512;
constexpr int64_t kBytesBefore = 4;  // enough to see the "%" line end before an offset

// File bytes from `start` on, read in growing pieces; `bytes` points at a stack buffer until an entry outgrows it.
struct ReadWindow {
  int64_t start = 0;
  int64_t size = 0;    // bytes read so far
  bool atEnd = false;  // the file ends after them (or shrank while being read)
  char* bytes = nullptr;
  int64_t capacity = 0;
  std::unique_ptr<char[]> grown;
};

// The window of an entry's first read, into `bytes` (kFirstRead of them): from kBytesBefore before `offset`, for
// the check that a "%" line ends there, and usually over the whole entry.
ReadWindow FirstWindow(int64_t offset, char* bytes) {
  ReadWindow window;
  window.start = std::max<int64_t>(0, offset - kBytesBefore);
  window.bytes = bytes;
  window.capacity = kFirstRead;
  return window;
}

// How many bytes the window's next read asks for: its free room, up to the end of the file.
int64_t Wanted(const DictionaryFile& dictionary, const ReadWindow& window) {
  return std::min(window.capacity - window.size, dictionary.size - (window.start + window.size));
}

// Counts `got` bytes of the `want` asked for as read onto the window; a short read, or one that reaches the end
// of the file, marks the window's end.
void Received(const DictionaryFile& dictionary, ReadWindow& window, int64_t want, int64_t got) {
  window.size += got;
  if (got < want || window.start + window.size >= dictionary.size) window.atEnd = true;
}

// Reads more bytes into the window, at least doubling it. False with errno set when the file cannot be read.
bool ReadMore(const DictionaryFile& dictionary, ReadWindow& window) {
  if (window.size == window.capacity) {
    int64_t capacity = window.capacity * 2;
    auto grown = std::make_unique<char[]>(static_cast<size_t>(capacity));
    std::memcpy(grown.get(), window.bytes, static_cast<size_t>(window.size));
    window.grown = std::move(grown);
    window.bytes = window.grown.get();
    window.capacity = capacity;
  }
  int64_t want = Wanted(dictionary, window);
  int64_t got = want > 0 ? ReadAt(dictionary.handle, window.start + window.size, window.bytes + window.size, want) : 0;
  if (got < 0) return false;
  Received(dictionary, window, want, got);
  return true;
}

// Whether `text` holds `key` with every byte of the text folded as keys are folded, without a folded copy.
bool HoldsFolded(std::string_view text, std::string_view key) {
  if (key.size() > text.size()) return false;
  for (size_t i = 0; i + key.size() <= text.size(); ++i) {
    size_t j = 0;
    while (j < key.size() && FoldByte(static_cast<uint8_t>(text[i + j])) == static_cast<uint8_t>(key[j])) ++j;
    if (j == key.size()) return true;
  }
  return false;
}

// Starts `entry` at `offset`; false with the reason when the offset lies outside the dictionary.
bool OffsetInside(const DictionaryFile& dictionary, int64_t offset, Entry& entry, std::string& error) {
  entry.offset = offset;
  entry.text.clear();
  entry.preamble = false;
  if (offset >= 0 && offset < dictionary.size) return true;
  error = "offset " + Decimal(offset) + " lies outside the dictionary of " + Decimal(dictionary.size) + " bytes";
  return false;
}

// The rest of reading the entry at `offset` once the window holds its first bytes: the check that an entry starts
// there, the lines up to the next "%" line (reading on as needed) and the check that the text holds the key.
ReadOutcome FinishEntry(const DictionaryFile& dictionary, int64_t offset, std::string_view key, bool keepsCase,
                        ReadWindow& window, Entry& entry, std::string& error) {
  if (offset > 0) {
    auto at = [&](int64_t position) {
      return position >= window.start && position < window.start + window.size ? window.bytes[position - window.start]
                                                                                 : '\0';
    };
    if (!FollowsPercentLine(offset, at)) {
      error = "offset " + Decimal(offset) + " does not start an entry";
      return ReadOutcome::kNotFound;
    }
  }
  // The entry ends before the next line that is exactly "%". After a "%" line the first line is the headword line
  // whatever it holds; at offset 0 there is no "%" line before, so a first line "%" ends the text at once. Lines
  // end in LF, CR LF or a lone CR; positions below are indices into the window.
  int64_t lineStart = offset - window.start;
  bool headwordLine = offset > 0;
  bool ended = false;
  int64_t end = -1;
  for (;;) {
    const char* from = window.bytes + lineStart;
    const char* lineEnd = from;
    const char* limit = window.bytes + window.size;
    while (lineEnd < limit && *lineEnd != kLineFeed && *lineEnd != kCarriageReturn) ++lineEnd;
    // A line is only known whole at its line end, and a CR only known to be one with the LF after it.
    bool whole = lineEnd < limit && (*lineEnd == kLineFeed || lineEnd + 1 < limit || window.atEnd);
    if (!whole && !window.atEnd) {
      if (!ReadMore(dictionary, window)) {
        error = std::strerror(errno);
        return ReadOutcome::kError;
      }
      continue;
    }
    bool percentLine = !headwordLine && lineEnd - from == 1 && *from == '%';
    if (percentLine) {
      ended = lineEnd < limit;
      end = lineStart;
      break;
    }
    if (lineEnd == limit) {
      end = window.size;
      break;
    }
    headwordLine = false;
    lineStart = lineEnd - window.bytes + 1;
    if (*lineEnd == kCarriageReturn && lineEnd + 1 < limit && lineEnd[1] == kLineFeed) ++lineStart;
  }
  std::string& text = entry.text;
  int64_t textStart = offset - window.start;
  text.assign(window.bytes + textStart, static_cast<size_t>(std::max<int64_t>(0, end - textStart)));
  entry.preamble = offset == 0 && !(text.empty() && ended);
  // A key stands in its entry's text as it was written, or folded when the index folds keys.
  bool holdsKey = !key.empty() && (text.find(key) != std::string::npos || (!keepsCase && HoldsFolded(text, key)));
  if (!holdsKey) {
    error = "the entry at offset " + Decimal(offset) + " does not hold the key";
    return ReadOutcome::kNotFound;
  }
  return ReadOutcome::kOk;
}

}  // namespace

bool OpenDictionary(std::string_view path, DictionaryFile& dictionary, std::string& error) {
  std::string name(path);
  int64_t size = 0;
  int handle = OpenRegularFile(name, size, error);
  if (handle < 0) return false;
  dictionary.path = name;
  dictionary.handle = handle;
  dictionary.size = size;
  return true;
}

bool ShareDictionary(const DictionaryFile& from, DictionaryFile& to, std::string& error) {
  int handle = ::fcntl(from.handle, F_DUPFD_CLOEXEC, 0);
  if (handle < 0) {
    error = std::strerror(errno);
    return false;
  }
  to = from;
  to.handle = handle;
  return true;
}

void CloseDictionary(DictionaryFile& dictionary) {
  if (dictionary.handle >= 0) ::close(dictionary.handle);
  dictionary.handle = -1;
}

ReadOutcome ReadEntry(const DictionaryFile& dictionary, int64_t offset, std::string_view key, bool keepsCase,
                      Entry& entry, std::string& error) {
  if (!OffsetInside(dictionary, offset, entry, error)) return ReadOutcome::kNotFound;
  char first[kFirstRead];
  ReadWindow window = FirstWindow(offset, first);
  if (!ReadMore(dictionary, window)) {
    error = std::strerror(errno);
    return ReadOutcome::kError;
  }
  return FinishEntry(dictionary, offset, key, keepsCase, window, entry, error);
}

void ReadEntries(const DictionaryFile& dictionary, std::span<const int32_t> offsets, std::string_view key,
                 bool keepsCase, std::vector<EntryRead>& reads) {
  reads.resize(offsets.size());
  // The first read of every entry inside the file, all in one go; each entry then goes on as ReadEntry does.
  auto firsts = std::make_unique_for_overwrite<char[]>(offsets.size() * kFirstRead);
  std::vector<ReadWindow> windows(offsets.size());
  std::vector<ReadPiece> pieces;
  std::vector<size_t> pieceOf(offsets.size(), SIZE_MAX);
  for (size_t i = 0; i < offsets.size(); ++i) {
    EntryRead& read = reads[i];
    read.problem.clear();
    read.outcome = ReadOutcome::kNotFound;
    if (!OffsetInside(dictionary, offsets[i], read.entry, read.problem)) continue;
    ReadWindow& window = windows[i] = FirstWindow(offsets[i], firsts.get() + i * kFirstRead);
    pieceOf[i] = pieces.size();
    pieces.push_back({window.start, window.bytes, Wanted(dictionary, window), 0});
  }
  if (!ReadPieces(dictionary.handle, pieces)) {
    std::string reason = std::strerror(errno);
    for (size_t i = 0; i < offsets.size(); ++i) {
      if (pieceOf[i] == SIZE_MAX) continue;
      reads[i].outcome = ReadOutcome::kError;
      reads[i].problem = reason;
    }
    return;
  }
  for (size_t i = 0; i < offsets.size(); ++i) {
    if (pieceOf[i] == SIZE_MAX) continue;
    const ReadPiece& piece = pieces[pieceOf[i]];
    Received(dictionary, windows[i], piece.want, piece.got);
    reads[i].outcome =
        FinishEntry(dictionary, offsets[i], key, keepsCase, windows[i], reads[i].entry, reads[i].problem);
  }
}

}  // namespace vos
