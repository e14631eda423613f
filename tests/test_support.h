// Helpers for tests that run the built executables: temporary directories, files of raw bytes, and a runner that
// captures standard output byte for byte together with the exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Defined when the tests run under AddressSanitizer, which needs far more address space than a small RLIMIT_AS
// leaves.
#if defined(__SANITIZE_ADDRESS__)
#define VOS_TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VOS_TEST_UNDER_ASAN 1
#endif
#endif

namespace vos::test {

// A fresh directory under the system's temporary directory, removed with everything in it at the end.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string Path(const std::string& name) const { return path + "/" + name; }
  void Write(const std::string& name, const std::string& bytes) const;
  std::string Read(const std::string& name) const;  // the whole file; empty when it does not exist
  bool Exists(const std::string& name) const;

  std::string path;
};

struct RunOptions {
  std::string workDir = ".";
  std::optional<std::string> input;        // bytes on standard input; otherwise /dev/null
  std::optional<std::string> argv0;        // program name as invoked; otherwise the program path
  bool closeStandardOutput = false;        // start with file descriptor 1 closed
  bool closeOutputEarly = false;           // standard output is a pipe whose reader goes away at once
  uint64_t addressSpaceLimit = 0;          // RLIMIT_AS in bytes; 0 leaves it alone
  uint64_t fileSizeLimit = 0;              // RLIMIT_FSIZE in bytes; 0 leaves it alone
  // Standard input is a non-blocking pipe that already holds `input` (at most 64 KiB) and whose writer stays
  // open until the program ends: reading past those bytes fails with EAGAIN instead of reaching the end.
  bool nonBlockingInput = false;
};

struct RunResult {
  std::string output;  // standard output, byte for byte
  std::string errors;  // standard error
  int status = -1;     // exit status, or 128 + signal number
};

// Runs `program` with `args` and waits for it.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// Paths of the built executables and of the source tree.
std::string VosBinary();
std::string LookupBinary();
std::string SourceDir();

// Empty when `text` is exactly one run-time error report for `code`: "Runtime error <code> at 0x" and 8 upper-case
// hex digits, "  0x" and the same 8 digits, at least one more "  0x" line of 8 digits, then an empty line, every
// line ended by byte 10. Otherwise a description of the first difference.
std::string ReportMismatch(std::string_view text, int code);

// Reads a whole file; empty when it does not exist.
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

}  // namespace vos::test
