// LineReader: line input from one open text file. A line ends at LF, at CR LF (one line end, also when the pair
// is split across two buffer fills) or at a lone CR; the last line may lack a line end. A line keeps at most its
// first 255 bytes; the rest up to the line end is skipped, but still counted in lineBytes so that offsets stay
// true. Lines are read either copied out (ReadLine) or in place (ReadLineView), the same lines either way.
// Failures are recorded in IoStatus; callers run CheckIo after every call.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "trie/short_string.h"

namespace vos {

// Large reads of the dictionary: fewer system calls, and fewer lines that straddle two fills.
inline constexpr size_t kDictionaryBufferSize = size_t{256} << 10;
inline constexpr size_t kExclusionBufferSize = 256;

struct LineReader {
  int handle = -1;
  std::vector<uint8_t> buffer;  // one read of up to its size per refill
  size_t position = 0;          // next unread byte
  size_t valid = 0;             // bytes the last refill brought
  int64_t lineBytes = 0;        // bytes of the last line before its line end, skipped ones included
  size_t nextCarriageReturn = 0;  // when not behind `position`: the next CR in the buffer, or `valid` if none
  ShortString carried;          // a line that ReadLineView could not show in the buffer
};

// The kept bytes of a line (at most 255), valid until the next call on the reader.
struct LineView {
  const uint8_t* bytes;
  int32_t length;
};

// Opens `path` read-only (an empty path reads standard input) with a buffer of `bufferSize` bytes.
LineReader OpenLineReader(std::string_view path, size_t bufferSize);

// True when no byte is left (refilling the buffer first when it is used up), or while IoStatus is set.
bool AtEnd(LineReader& reader);

// Reads the next line into `line` and leaves the reader just after its line end.
void ReadLine(LineReader& reader, ShortString& line);

// Reads the next line as ReadLine does, but shows it where it lies in the buffer instead of copying it; only a line
// that runs past the end of the buffer is copied (into `carried`).
LineView ReadLineView(LineReader& reader);

// Closes the file; standard input is left open.
void CloseLineReader(LineReader& reader);

}  // namespace vos
