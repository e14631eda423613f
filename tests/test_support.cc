#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>

namespace vos::test {
namespace {

void Drain(int fd, std::string& into) {
  char buffer[65536];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n > 0) into.append(buffer, static_cast<size_t>(n));
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vos-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
  std::filesystem::remove_all(path, ignored);
}

void TempDir::Write(const std::string& name, const std::string& bytes) const { WriteFile(Path(name), bytes); }
std::string TempDir::Read(const std::string& name) const { return ReadFile(Path(name)); }
bool TempDir::Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options) {
  int outPipe[2], errPipe[2], inPipe[2];
  if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0 || ::pipe(inPipe) != 0) throw std::runtime_error("pipe failed");
  std::vector<std::string> argvStrings;
  argvStrings.push_back(options.argv0.value_or(program));
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  if (options.nonBlockingInput) {
    // Everything is in the pipe before the program starts; the parent keeps the writer open until it ends.
    const std::string& bytes = options.input.value();
    if (bytes.size() > 65536) throw std::runtime_error("non-blocking input larger than a pipe");
    if (!bytes.empty() && ::write(inPipe[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("cannot fill the input pipe");
    }
    ::fcntl(inPipe[0], F_SETFL, O_NONBLOCK);
  }

  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (options.input) {
      ::dup2(inPipe[0], 0);
    } else {
      int devNull = ::open("/dev/null", O_RDONLY);
      ::dup2(devNull, 0);
    }
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], inPipe[0], inPipe[1]}) ::close(fd);
    if (options.closeStandardOutput) ::close(1);
    const auto setLimit = [](decltype(RLIMIT_AS) resource, uint64_t value) {
      if (value == 0) return;
      struct rlimit limit = {value, value};
      ::setrlimit(resource, &limit);
    };
    setLimit(RLIMIT_AS, options.addressSpaceLimit);
    setLimit(RLIMIT_FSIZE, options.fileSizeLimit);
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGXFSZ, SIG_DFL);
    if (::chdir(options.workDir.c_str()) != 0) ::_exit(126);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  ::close(inPipe[0]);
  if (options.closeOutputEarly) ::close(outPipe[0]);
  if (options.input) {
    // Feed standard input in the background of the poll loop below, so large inputs cannot dead-lock.
    ::fcntl(inPipe[1], F_SETFL, O_NONBLOCK);
  }
  ::signal(SIGPIPE, SIG_IGN);

  RunResult result;
  size_t fed = 0;
  bool outOpen = !options.closeOutputEarly, errOpen = true;
  bool inOpen = options.input.has_value() && !options.nonBlockingInput;
  const bool holdInput = options.nonBlockingInput;
  if (!inOpen && !holdInput) ::close(inPipe[1]);
  while (outOpen || errOpen) {
    struct pollfd fds[3];
    int n = 0;
    if (outOpen) fds[n++] = {outPipe[0], POLLIN, 0};
    if (errOpen) fds[n++] = {errPipe[0], POLLIN, 0};
    if (inOpen) fds[n++] = {inPipe[1], POLLOUT, 0};
    if (::poll(fds, static_cast<nfds_t>(n), -1) < 0) continue;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == inPipe[1]) {
        ssize_t w = ::write(inPipe[1], options.input->data() + fed, options.input->size() - fed);
        if (w > 0) fed += static_cast<size_t>(w);
        if (w < 0 || fed == options.input->size()) {
          ::close(inPipe[1]);
          inOpen = false;
        }
        continue;
      }
      std::string& into = fds[i].fd == outPipe[0] ? result.output : result.errors;
      size_t before = into.size();
      Drain(fds[i].fd, into);
      if (into.size() == before) {
        ::close(fds[i].fd);
        (fds[i].fd == outPipe[0] ? outOpen : errOpen) = false;
      }
    }
  }
  if (inOpen) ::close(inPipe[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (holdInput) ::close(inPipe[1]);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string ReportMismatch(std::string_view text, int code) {
  const auto isHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
  // Takes `prefix` followed by 8 hex digits and a line end; gives the digits, or nothing on a mismatch.
  const auto takeLine = [&](std::string_view prefix) -> std::optional<std::string_view> {
    if (text.substr(0, prefix.size()) != prefix || text.size() < prefix.size() + 9) return std::nullopt;
    std::string_view digits = text.substr(prefix.size(), 8);
    for (char c : digits) {
      if (!isHex(c)) return std::nullopt;
    }
    if (text[prefix.size() + 8] != '\n') return std::nullopt;
    text.remove_prefix(prefix.size() + 9);
    return digits;
  };
  const std::string whole(text);
  const std::string first = "Runtime error " + std::to_string(code) + " at 0x";
  std::optional<std::string_view> place = takeLine(first);
  if (!place) return "no line \"" + first + "XXXXXXXX\" at the start of: " + whole;
  std::optional<std::string_view> again = takeLine("  0x");
  if (!again) return "no location line after the first line in: " + whole;
  if (*again != *place) return "the location line differs from the first line in: " + whole;
  int levels = 0;
  while (takeLine("  0x")) ++levels;
  if (levels == 0) return "no call-level line in: " + whole;
  if (text != "\n") return "the report does not end with exactly one empty line: " + whole;
  return "";
}

std::string VosBinary() { return VOS_BINARY; }
std::string LookupBinary() { return VOS_LOOKUP_BINARY; }
std::string SourceDir() { return VOS_SOURCE_DIR; }

}  // namespace vos::test
