// The only file of vos that talks to the operating system directly.
#include "runtime/sys_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "runtime/run_stop.h"

namespace vos {
namespace {

int RealOpen(const char* path, int flags, unsigned mode) {
  int handle = ::open(path, flags, static_cast<mode_t>(mode));
  return handle < 0 ? -errno : handle;
}

int64_t RealRead(int handle, void* buffer, size_t count) {
  ssize_t n = ::read(handle, buffer, count);
  return n < 0 ? -errno : n;
}

int64_t RealWrite(int handle, const void* buffer, size_t count) {
  ssize_t n = ::write(handle, buffer, count);
  return n < 0 ? -errno : n;
}

int RealClose(int handle) { return ::close(handle) < 0 ? -errno : 0; }

void FillIdentity(const struct stat& st, FileIdentity* identity) {
  identity->device = st.st_dev;
  identity->inode = st.st_ino;
  identity->regular = S_ISREG(st.st_mode);
}

int RealIdentifyHandle(int handle, FileIdentity* identity) {
  struct stat st;
  if (::fstat(handle, &st) < 0) return -errno;
  FillIdentity(st, identity);
  return 0;
}

int RealIdentifyPath(const char* path, FileIdentity* identity) {
  struct stat st;
  if (::stat(path, &st) < 0) return -errno;
  FillIdentity(st, identity);
  return 0;
}

void RealExit(int status) { ::_exit(status); }

constexpr size_t kSmallPageSize = 4096;

// A block's length in whole pages: huge pages from one huge page up, small pages below.
size_t LargeBlockSpan(size_t size) {
  size_t page = size >= kHugePageSize ? kHugePageSize : kSmallPageSize;
  return (size + page - 1) & ~(page - 1);
}

// The path as the system wants it, ended by a NUL byte.
struct PathText {
  char bytes[kMaxPathLength + 1];
};

PathText ToPathText(std::string_view path) {
  PathText text;
  std::memcpy(text.bytes, path.data(), path.size());
  text.bytes[path.size()] = '\0';
  return text;
}

// Regular files opened for reading in this run; the index must never overwrite one of them.
std::vector<FileIdentity>& InputFilesOfRun() {
  static std::vector<FileIdentity> files;
  return files;
}

}  // namespace

const int kOpenReadOnly = O_RDONLY;
const int kOpenCreateReadWrite = O_RDWR | O_CREAT | O_TRUNC;

SysCalls RealSysCalls() {
  return {RealOpen, RealRead, RealWrite, RealClose, RealIdentifyHandle, RealIdentifyPath, RealExit};
}

SysCalls sys = RealSysCalls();

ErrorCode ErrnoMapping(int err) {
  switch (err) {
    case ENOENT: return ErrorCode::kFileNotFound;
    case EINTR: case EIO: case EAGAIN: case ENOSPC: case EPIPE: return ErrorCode::kWriteError;
    case EBADF: return ErrorCode::kInvalidHandle;
    case ENOMEM: case EFAULT: return ErrorCode::kSystemFault;
    case EACCES: case EEXIST: case EROFS: return ErrorCode::kAccessDenied;
    case ENOTDIR: case ENAMETOOLONG: case ELOOP: return ErrorCode::kPathNotFound;
    case EINVAL: return ErrorCode::kInvalidArgument;
    case ENFILE: case EMFILE: return ErrorCode::kTooManyOpenFiles;
    case ETXTBSY: return ErrorCode::kFileBusy;
    default: return ErrorCode::kNone;
  }
}

int64_t WriteOnce(int handle, const void* buffer, size_t count) {
  int64_t n;
  do {
    n = sys.write(handle, buffer, count);
  } while (n == -EINTR);
  return n;
}

int OpenPath(std::string_view path, int flags, unsigned mode) {
  return sys.open(ToPathText(path).bytes, flags, mode);
}

int OpenInputFile(std::string_view path) {
  if (ioStatus != 0) return -1;
  if (path.empty()) return kStandardInput;
  if (path.size() > kMaxPathLength) {
    SetIoStatus(ErrorCode::kPathNotFound);
    return -1;
  }
  int handle = OpenPath(path, kOpenReadOnly, 0);
  if (handle < 0) {
    SetIoStatus(ErrnoMapping(-handle));
    return -1;
  }
  FileIdentity identity;
  if (sys.identifyHandle(handle, &identity) == 0 && identity.regular) InputFilesOfRun().push_back(identity);
  return handle;
}

int64_t ReadInput(int handle, uint8_t* buffer, size_t size) {
  if (ioStatus != 0) return 0;
  int64_t n;
  do {
    n = sys.read(handle, buffer, size);
  } while (n == -EINTR);
  if (n >= 0) return n;
  // A read error outside the table (a directory, say) must not pass for the end of the file: that would report
  // success and write an index of nothing.
  ErrorCode code = ErrnoMapping(static_cast<int>(-n));
  SetIoStatus(code == ErrorCode::kNone ? ErrorCode::kWriteError : code);
  return 0;
}

void CloseInputFile(int handle) {
  if (ioStatus != 0 || handle == kStandardInput || handle < 0) return;
  int result = sys.close(handle);
  if (result < 0 && result != -EINTR) SetIoStatus(ErrnoMapping(-result));
}

bool IsInputFileOfRun(std::string_view path) {
  if (path.empty() || path.size() > kMaxPathLength) return false;
  FileIdentity target;
  if (sys.identifyPath(ToPathText(path).bytes, &target) != 0 || !target.regular) return false;
  for (const FileIdentity& input : InputFilesOfRun()) {
    if (input.device == target.device && input.inode == target.inode) return true;
  }
  return false;
}

uint8_t* TryMapLargeBlock(size_t size) {
  if (size == 0) return nullptr;
  size_t span = LargeBlockSpan(size);
  if (size < kHugePageSize) {
    void* mapped = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return mapped == MAP_FAILED ? nullptr : static_cast<uint8_t*>(mapped);
  }
  // Mapped with a huge page's worth to spare, so that an aligned span lies inside; the slack goes back at once.
  void* mapped = ::mmap(nullptr, span + kHugePageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  auto start = reinterpret_cast<uintptr_t>(mapped);
  uintptr_t aligned = (start + kHugePageSize - 1) & ~uintptr_t{kHugePageSize - 1};
  if (aligned > start) ::munmap(mapped, aligned - start);
  if (size_t tail = start + kHugePageSize - aligned; tail > 0) ::munmap(reinterpret_cast<void*>(aligned + span), tail);
  ::madvise(reinterpret_cast<void*>(aligned), span, MADV_HUGEPAGE);  // advice only; its failure changes nothing
  return reinterpret_cast<uint8_t*>(aligned);
}

uint8_t* MapLargeBlock(size_t size) {
  uint8_t* block = TryMapLargeBlock(size);
  if (block == nullptr && size != 0) StopRun(ErrorCode::kOutOfMemory);
  return block;
}

void UnmapLargeBlock(uint8_t* block, size_t size) {
  if (block != nullptr) ::munmap(block, LargeBlockSpan(size));
}

}  // namespace vos
