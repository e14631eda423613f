#include "runtime/run_stop.h"

#include <execinfo.h>

#include <csignal>
#include <cstdlib>
#include <new>

#include "runtime/console.h"
#include "runtime/sys_io.h"

namespace vos {
namespace {

// Locations are shown as the low 32 bits of code addresses, 8 upper-case hex digits.
std::string_view Hex8(const void* address, char (&text)[8]) {
  auto value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
  for (int i = 7; i >= 0; --i) {
    text[i] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  }
  return {text, 8};
}

[[noreturn]] __attribute__((noinline)) void ReportAndExit(ErrorCode code, const void* place) {
  ioStatus = 0;
  void* frames[64];
  int count = backtrace(frames, 64);
  char hex[8];
  ConsoleWriteLine({"Runtime error ", static_cast<int32_t>(code), " at 0x", Hex8(place, hex)});
  ConsoleWriteLine({"  0x", Hex8(place, hex)});
  // The enclosing call levels: the return addresses above the failing place, innermost first.
  int first = 0;
  while (first < count && frames[first] != place) ++first;
  for (int i = first + 1; i < count; ++i) ConsoleWriteLine({"  0x", Hex8(frames[i], hex)});
  ConsoleWriteLine();
  sys.exit(static_cast<int>(code));
  std::_Exit(static_cast<int>(code));  // only reached when a test's exit hook returns
}

void OutOfMemory() { ReportAndExit(ErrorCode::kOutOfMemory, __builtin_return_address(0)); }

}  // namespace

thread_local constinit uint16_t ioStatus = 0;

void SetIoStatus(ErrorCode code) {
  if (ioStatus == 0) ioStatus = static_cast<uint16_t>(code);
}

__attribute__((noinline)) void CheckIo() {
  if (ioStatus == 0) return;
  auto code = static_cast<ErrorCode>(ioStatus);
  ioStatus = 0;
  ReportAndExit(code, __builtin_return_address(0));
}

__attribute__((noinline)) void StopRun(ErrorCode code) { ReportAndExit(code, __builtin_return_address(0)); }

void EndRun(int status) {
  sys.exit(status);
  std::_Exit(status);
}

void InitRuntime() {
  std::signal(SIGPIPE, SIG_IGN);
  // Past the file size limit the kernel would kill the process with SIGXFSZ; ignored, the write falls short (EFBIG)
  // and the run stops with 101 like any other failed block.
  std::signal(SIGXFSZ, SIG_IGN);
  std::set_new_handler(OutOfMemory);
  // The first backtrace loads the unwinder; do it now, while memory can still be had.
  void* frames[4];
  backtrace(frames, 4);
}

}  // namespace vos
