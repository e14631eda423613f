// OutputFile: the index file, written as raw blocks with no buffer of the program's own.
#pragma once

#include <cstdint>
#include <string_view>

namespace vos {

struct OutputFile {
  int handle = -1;
};

// Creates (or empties) the file at `path` for reading and writing, permissions 0666 less the umask; an empty path
// gives standard output. A failure sets IoStatus. A path that names an input file of this run is refused with
// code 5 and left untouched; a path longer than 255 bytes fails with code 3.
OutputFile CreateOutputFile(std::string_view path);

// Writes `count` bytes with one system write; fewer bytes written, for any reason, sets IoStatus to 101.
// A count of 0 writes nothing.
void WriteBlock(OutputFile& file, const uint8_t* bytes, int64_t count);

// Closes the file; never sets IoStatus.
void CloseOutputFile(OutputFile& file);

}  // namespace vos
