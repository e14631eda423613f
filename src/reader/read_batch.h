// Positioned reads: one piece, or several pieces of one file at once. Internal to src/reader.
#pragma once

#include <cstdint>
#include <span>

namespace vos {

// Reads up to `count` bytes at `position`, fewer only where the file ends; the number read, or -1 with errno set.
int64_t ReadAt(int handle, int64_t position, void* buffer, int64_t count);

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
