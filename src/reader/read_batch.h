// Positioned reads of several pieces of one file at once. Internal to src/reader.
#pragma once

#include <cstdint>
#include <span>

namespace vos {

struct ReadPiece {
  int64_t position = 0;
  char* bytes = nullptr;
  int64_t want = 0;
  int64_t got = 0;  // set by ReadPieces: `want`, or less where the file ends
};

// Reads every piece: through io_uring in one system call for all where this thread has enabled batch reads and the
// kernel allows it, else one pread after another. False with errno set when a piece cannot be read.
bool ReadPieces(int handle, std::span<ReadPiece> pieces);

}  // namespace vos
