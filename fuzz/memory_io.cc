#include "memory_io.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "runtime/sys_io.h"

namespace vos::fuzz {
namespace {

constexpr int kMemoryHandle = 100;

std::string_view memoryInput;
size_t readPosition = 0;
std::string written;

int MemoryOpen(const char*, int, unsigned) {
  readPosition = 0;
  return kMemoryHandle;
}

int64_t MemoryRead(int handle, void* buffer, size_t count) {
  if (handle != kMemoryHandle) return -EBADF;
  size_t n = std::min(count, memoryInput.size() - readPosition);
  if (n > 0) std::memcpy(buffer, memoryInput.data() + readPosition, n);
  readPosition += n;
  return static_cast<int64_t>(n);
}

int64_t MemoryWrite(int handle, const void* buffer, size_t count) {
  if (handle != kStandardOutput) written.append(static_cast<const char*>(buffer), count);
  return static_cast<int64_t>(count);
}

int MemoryClose(int) { return 0; }
int NoIdentity(int, FileIdentity*) { return -EBADF; }
int NoPathIdentity(const char*, FileIdentity*) { return -ENOENT; }
void NoExit(int status) { throw std::runtime_error("run stopped with status " + std::to_string(status)); }

}  // namespace

void UseMemoryIo(std::string_view input) {
  memoryInput = input;
  readPosition = 0;
  written.clear();
  sys = {MemoryOpen, MemoryRead, MemoryWrite, MemoryClose, NoIdentity, NoPathIdentity, NoExit};
}

std::string& WrittenBytes() { return written; }

void UseRealIo() { sys = RealSysCalls(); }

}  // namespace vos::fuzz
