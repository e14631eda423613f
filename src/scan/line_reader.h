// LineReader: line input from one open text file. A line ends at LF, at CR LF (one line end, also when the pair
// is split across two buffer fills) or at a lone CR; the last line may lack a line end. A line keeps at most its
// first 255 bytes; the rest up to the line end is skipped, but still counted in lineBytes so that offsets stay
// true. Failures are recorded in IoStatus; callers run CheckIo after every call.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "trie/short_string.h"

namespace vos {

inline constexpr size_t kDictionaryBufferSize = 10240;
inline constexpr size_t kExclusionBufferSize = 256;

struct LineReader {
  int handle = -1;
  std::vector<uint8_t> buffer;  // one read of up to its size per refill
  size_t position = 0;          // next unread byte
  size_t valid = 0;             // bytes the last refill brought
  int64_t lineBytes = 0;        // bytes of the last line before its line end, skipped ones included
  size_t nextCarriageReturn = 0;  // when not behind `position`: the next CR in the buffer, or `valid` if none
};

// Opens `path` read-only (an empty path reads standard input) with a buffer of `bufferSize` bytes.
LineReader OpenLineReader(std::string_view path, size_t bufferSize);

// True when no byte is left (refilling the buffer first when it is used up), or while IoStatus is set.
bool AtEnd(LineReader& reader);

// Reads the next line into `line` and leaves the reader just after its line end.
void ReadLine(LineReader& reader, ShortString& line);

// Closes the file; standard input is left open.
void CloseLineReader(LineReader& reader);

}  // namespace vos
