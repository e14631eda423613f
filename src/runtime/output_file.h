// OutputFile: the index file, written front to back through a buffer of the program's own. Blocks are gathered in
// the buffer and go out in one system write each time it fills, and when the file is flushed. Whatever happens, the
// file holds a prefix of the blocks written so far: a write that falls short stops the gathering for good (IoStatus
// 101), and a stop leaves the unflushed rest in memory, never bytes out of place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace vos {

inline constexpr size_t kOutputBufferSize = size_t{256} << 10;

struct OutputFile {
  int handle = -1;
  std::unique_ptr<uint8_t[]> buffer;  // none: every block goes out in a system write of its own
  size_t capacity = 0;
  size_t used = 0;
};

// Creates (or empties) the file at `path` for reading and writing, permissions 0666 less the umask; an empty path
// gives standard output. The blocks are gathered in a buffer of `bufferSize` bytes. A failure sets IoStatus. A path
// that names an input file of this run is refused with code 5 and left untouched; a path longer than 255 bytes
// fails with code 3.
OutputFile CreateOutputFile(std::string_view path, size_t bufferSize = kOutputBufferSize);

// Appends `count` bytes to the file; the buffer goes out whenever it cannot take the next block, and a block as
// large as the buffer goes out directly after it. A system write that transfers fewer bytes than it was given, for
// any reason, sets IoStatus to 101. A count of 0 writes nothing.
void WriteBlock(OutputFile& file, const uint8_t* bytes, int64_t count);

// Writes out what the buffer holds, in one system write; a shortfall sets IoStatus to 101.
void FlushOutputFile(OutputFile& file);

// Closes the file without flushing it; never sets IoStatus.
void CloseOutputFile(OutputFile& file);

}  // namespace vos
