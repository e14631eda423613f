// Every system call of vos goes through this file. The calls sit in one replaceable table so that tests can
// provoke each failure deterministically; each entry returns a negative Linux error number on failure.
// On top of the table: opening, reading and closing the input files, with interrupted reads retried and the
// errors recorded in IoStatus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace vos {

// Identity of an open or named file, for telling whether two paths are the same regular file.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool regular = false;
};

struct SysCalls {
  int (*open)(const char* path, int flags, unsigned mode);        // handle, or -errno
  int64_t (*read)(int handle, void* buffer, size_t count);        // bytes, or -errno
  int64_t (*write)(int handle, const void* buffer, size_t count);  // bytes, or -errno
  int (*close)(int handle);                                        // 0, or -errno
  int (*identifyHandle)(int handle, FileIdentity* identity);       // 0, or -errno
  int (*identifyPath)(const char* path, FileIdentity* identity);   // 0, or -errno (symbolic links followed)
  void (*exit)(int status);                                        // never returns in the real table
};

// The table in force; tests may replace entries and restore them with RealSysCalls().
extern SysCalls sys;
SysCalls RealSysCalls();

// Flags for sys.open, spelled here so that callers need no system header.
extern const int kOpenReadOnly;
extern const int kOpenCreateReadWrite;  // read-write, create, truncate

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;
inline constexpr size_t kMaxPathLength = 255;

// Writes `count` bytes with one system write (repeated only when interrupted by a signal). Gives the number of
// bytes written, or a negative error number.
int64_t WriteOnce(int handle, const void* buffer, size_t count);

// Opens `path` (at most 255 bytes, not empty) through sys.open; gives the handle or a negative error number.
int OpenPath(std::string_view path, int flags, unsigned mode);

// Opens `path` read-only (an empty path gives standard input). On failure sets IoStatus from the error and gives
// -1; an error outside the mapping sets nothing, and the first read of -1 then fails with code 6.
// A path longer than 255 bytes fails with code 3, never opening a shortened name.
int OpenInputFile(std::string_view path);

// Reads up to `size` bytes; gives the count, 0 at the end of the file. A failed read sets IoStatus (an error
// outside the mapping gives 101) and gives 0. Does nothing while IoStatus is set.
int64_t ReadInput(int handle, uint8_t* buffer, size_t size);

// Closes an input file; standard input stays open.
void CloseInputFile(int handle);

// True when `path` names an existing regular file that was opened as an input file in this run.
bool IsInputFileOfRun(std::string_view path);

// Large blocks of memory (the trie's arenas, the key table, the sort items) straight from the system: zero-filled
// already, so nothing needs clearing, and from 2 MiB up aligned to a huge page and marked for transparent huge pages,
// which spare the first touch of every 4 KiB page and most TLB misses of the random accesses that follow (100 MB
// headword run: 0.43 s against 0.56 s; 1 GB: 7.0 s against 8.5 s). The mark is advice only: where huge pages are
// off or short, a block works with small pages all the same. Blocks under 2 MiB get small pages. A size of 0 gives
// nullptr. A refusal ends the run with code 203; TryMapLargeBlock gives nullptr for it instead, with errno set, for
// the readers, which report it.
inline constexpr size_t kHugePageSize = size_t{2} << 20;
uint8_t* MapLargeBlock(size_t size);
uint8_t* TryMapLargeBlock(size_t size);
void UnmapLargeBlock(uint8_t* block, size_t size);

struct LargeBlockRelease {
  size_t size = 0;
  void operator()(uint8_t* block) const { UnmapLargeBlock(block, size); }
};
using LargeBlock = std::unique_ptr<uint8_t[], LargeBlockRelease>;

// A LargeBlock of `size` bytes.
inline LargeBlock NewLargeBlock(size_t size) { return LargeBlock(MapLargeBlock(size), LargeBlockRelease{size}); }
inline LargeBlock TryNewLargeBlock(size_t size) {
  return LargeBlock(TryMapLargeBlock(size), LargeBlockRelease{size});
}

}  // namespace vos
