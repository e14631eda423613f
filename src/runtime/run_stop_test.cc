// Fault injection through the system-call table: every failure the runtime can meet is provoked in-process and
// checked for the code it records, the report it writes and the exit status it ends with.
#include "runtime/run_stop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "runtime/console.h"
#include "runtime/error_codes.h"
#include "runtime/output_file.h"
#include "runtime/sys_io.h"
#include "test_support.h"

namespace vos {
namespace {

using test::ReportMismatch;

// sys.exit in the tests: the status travels up as an exception, so a stop can be observed in-process.
struct ExitCalled {
  int status;
};
[[noreturn]] void ThrowingExit(int status) { throw ExitCalled{status}; }

// Standard output as the runtime wrote it; other handles go to the real system.
std::string consoleOutput;
bool consoleFails = false;
int64_t CapturingWrite(int handle, const void* buffer, size_t count) {
  if (handle != kStandardOutput) return RealSysCalls().write(handle, buffer, count);
  if (consoleFails) return -EBADF;
  consoleOutput.append(static_cast<const char*>(buffer), count);
  return static_cast<int64_t>(count);
}

// A scripted open: records its arguments and fails with `openError`, or gives handle 42 when it is 0.
int openCalls = 0;
int openError = 0;
std::string openPath;
int openFlags = -1;
unsigned openMode = 0;
int ScriptedOpen(const char* path, int flags, unsigned mode) {
  ++openCalls;
  openPath = path;
  openFlags = flags;
  openMode = mode;
  return openError != 0 ? -openError : 42;
}

// A scripted read: gives the results of `readScript` in turn, then "hello".
int readCalls = 0;
std::vector<int64_t> readScript;
int64_t ScriptedRead(int, void* buffer, size_t count) {
  ++readCalls;
  if (!readScript.empty()) {
    int64_t result = readScript.front();
    readScript.erase(readScript.begin());
    return result;
  }
  size_t n = std::min<size_t>(count, 5);
  std::memcpy(buffer, "hello", n);
  return static_cast<int64_t>(n);
}

// A scripted write for handles other than standard output: gives the results of `blockScript` in turn (kFull
// stands for the whole count), then writes everything into `blockBytes`.
constexpr int64_t kFull = 1'000'000;
int blockCalls = 0;
std::vector<int64_t> blockScript;
std::string blockBytes;
int64_t ScriptedWrite(int handle, const void* buffer, size_t count) {
  if (handle == kStandardOutput) return CapturingWrite(handle, buffer, count);
  ++blockCalls;
  int64_t result = kFull;
  if (!blockScript.empty()) {
    result = blockScript.front();
    blockScript.erase(blockScript.begin());
  }
  if (result != kFull && result < 0) return result;
  size_t n = result == kFull ? count : static_cast<size_t>(result);
  blockBytes.append(static_cast<const char*>(buffer), n);
  return static_cast<int64_t>(n);
}

int closeCalls = 0;
int closeResult = 0;
int ScriptedClose(int) {
  ++closeCalls;
  return closeResult;
}

// An output file on `handle` with no buffer: each block is its own system write.
OutputFile UnbufferedFile(int handle) {
  OutputFile file;
  file.handle = handle;
  return file;
}

int NoIdentityOfHandle(int, FileIdentity*) { return -EBADF; }
int NoIdentityOfPath(const char*, FileIdentity*) { return -ENOENT; }

class RunStopTest : public testing::Test {
 protected:
  void SetUp() override {
    sys = RealSysCalls();
    sys.exit = ThrowingExit;
    sys.write = CapturingWrite;
    sys.identifyHandle = NoIdentityOfHandle;
    sys.identifyPath = NoIdentityOfPath;
    ioStatus = 0;
    consoleOutput.clear();
    consoleFails = false;
    openCalls = readCalls = blockCalls = closeCalls = 0;
    openError = closeResult = 0;
    openPath.clear();
    readScript.clear();
    blockScript.clear();
    blockBytes.clear();
  }
  void TearDown() override {
    sys = RealSysCalls();
    ioStatus = 0;
  }
};

// The exit status `action` ended with, or -1 when it returned.
int StatusOfStop(const std::function<void()>& action) {
  try {
    action();
  } catch (const ExitCalled& exit) {
    return exit.status;
  }
  return -1;
}

struct MappingRow {
  int err;
  const char* name;
  int code;
};

// The whole mapping from system errors to codes.
const MappingRow kMapping[] = {
    {ENOENT, "ENOENT", 2},     {EINTR, "EINTR", 101},
    {EIO, "EIO", 101},         {EAGAIN, "EAGAIN", 101},
    {ENOSPC, "ENOSPC", 101},   {EPIPE, "EPIPE", 101},
    {EBADF, "EBADF", 6},       {ENOMEM, "ENOMEM", 217},
    {EFAULT, "EFAULT", 217},   {EACCES, "EACCES", 5},
    {EEXIST, "EEXIST", 5},     {EROFS, "EROFS", 5},
    {ENOTDIR, "ENOTDIR", 3},   {ENAMETOOLONG, "ENAMETOOLONG", 3},
    {ELOOP, "ELOOP", 3},       {EINVAL, "EINVAL", 218},
    {ENFILE, "ENFILE", 4},     {EMFILE, "EMFILE", 4},
    {ETXTBSY, "ETXTBSY", 162},
};

// Errors the mapping leaves out. ENXIO is 6 and EPERM 1: a mapping that passed numbers through would show.
const MappingRow kOutsideMapping[] = {
    {EPERM, "EPERM", 0},         {ENXIO, "ENXIO", 0},           {EISDIR, "EISDIR", 0},
    {EXDEV, "EXDEV", 0},         {ENODEV, "ENODEV", 0},         {EFBIG, "EFBIG", 0},
    {EOVERFLOW, "EOVERFLOW", 0}, {EOPNOTSUPP, "EOPNOTSUPP", 0}, {EDQUOT, "EDQUOT", 0},
};

// Checks that the pending code is `code` and that CheckIo then ends the run with the report and that status.
void ExpectStopWith(int code) {
  EXPECT_EQ(ioStatus, code);
  consoleOutput.clear();
  EXPECT_EQ(StatusOfStop([] { CheckIo(); }), code);
  EXPECT_EQ(ReportMismatch(consoleOutput, code), "");
  EXPECT_EQ(ioStatus, 0) << "the stop takes the pending code";
}

TEST_F(RunStopTest, FailedInputOpenStopsWithTheMappedCode) {
  sys.open = ScriptedOpen;
  for (const MappingRow& row : kMapping) {
    SCOPED_TRACE(row.name);
    openError = row.err;
    EXPECT_EQ(OpenInputFile("dict.txt"), -1);
    EXPECT_EQ(openFlags, O_RDONLY);
    ExpectStopWith(row.code);
  }
}

TEST_F(RunStopTest, FailedReadStopsWithTheMappedCode) {
  sys.read = ScriptedRead;
  for (const MappingRow& row : kMapping) {
    if (row.err == EINTR) continue;  // repeated, never reaches the table (see below)
    SCOPED_TRACE(row.name);
    readScript = {-row.err};
    uint8_t buffer[16];
    EXPECT_EQ(ReadInput(42, buffer, sizeof buffer), 0);
    ExpectStopWith(row.code);
  }
}

TEST_F(RunStopTest, FailedCreateStopsWithTheMappedCode) {
  sys.open = ScriptedOpen;
  for (const MappingRow& row : kMapping) {
    SCOPED_TRACE(row.name);
    openError = row.err;
    EXPECT_EQ(CreateOutputFile("index.dat").handle, -1);
    EXPECT_EQ(openFlags, O_RDWR | O_CREAT | O_TRUNC);
    EXPECT_EQ(openMode, 0666u);  // the kernel takes the umask off
    ExpectStopWith(row.code);
  }
}

// An open that fails outside the table records nothing; the first read of the failed handle gives 6.
TEST_F(RunStopTest, OpenErrorOutsideTheTableGives6AtTheFirstRead) {
  sys.open = ScriptedOpen;
  for (const MappingRow& row : kOutsideMapping) {
    SCOPED_TRACE(row.name);
    openError = row.err;
    int handle = OpenInputFile("dict.txt");
    EXPECT_EQ(ioStatus, 0);
    EXPECT_EQ(StatusOfStop([] { CheckIo(); }), -1);
    uint8_t buffer[16];
    EXPECT_EQ(ReadInput(handle, buffer, sizeof buffer), 0);
    ExpectStopWith(6);
  }
}

// A read that fails outside the table must not pass for the end of the file.
TEST_F(RunStopTest, ReadErrorOutsideTheTableGives101) {
  sys.read = ScriptedRead;
  for (const MappingRow& row : kOutsideMapping) {
    SCOPED_TRACE(row.name);
    readScript = {-row.err};
    uint8_t buffer[16];
    EXPECT_EQ(ReadInput(42, buffer, sizeof buffer), 0);
    ExpectStopWith(101);
  }
}

TEST_F(RunStopTest, DirectoryReadAsInputGives101) {
  test::TempDir dir;
  int handle = OpenInputFile(dir.path);
  ASSERT_GE(handle, 0);
  EXPECT_EQ(ioStatus, 0);
  uint8_t buffer[16];
  EXPECT_EQ(ReadInput(handle, buffer, sizeof buffer), 0);
  EXPECT_EQ(ioStatus, 101);
  ioStatus = 0;
  CloseInputFile(handle);
}

TEST_F(RunStopTest, InterruptedReadIsRepeated) {
  sys.read = ScriptedRead;
  for (int interruptions : {1, 2, 5}) {
    SCOPED_TRACE(interruptions);
    readCalls = 0;
    readScript.assign(static_cast<size_t>(interruptions), -EINTR);
    uint8_t buffer[16];
    ASSERT_EQ(ReadInput(42, buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "hello");
    EXPECT_EQ(readCalls, interruptions + 1);
    EXPECT_EQ(ioStatus, 0);
  }
}

TEST_F(RunStopTest, InterruptedBlockWriteIsRepeated) {
  sys.write = ScriptedWrite;
  blockScript = {-EINTR, -EINTR};
  OutputFile file = UnbufferedFile(42);
  WriteBlock(file, reinterpret_cast<const uint8_t*>("abcd"), 4);
  EXPECT_EQ(blockBytes, "abcd");
  EXPECT_EQ(blockCalls, 3);
  EXPECT_EQ(ioStatus, 0);
}

// A block write that falls short gives 101, whatever error the system gave; it is never completed or repeated.
TEST_F(RunStopTest, ShortOrFailedBlockWriteGives101) {
  sys.write = ScriptedWrite;
  struct Case {
    const char* name;
    int64_t result;
  };
  const Case cases[] = {
      {"one byte short", 7},  {"nothing written", 0},    {"no space", -ENOSPC},   {"file too large", -EFBIG},
      {"bad handle", -EBADF}, {"access error", -EACCES}, {"busy file", -ETXTBSY}, {"I/O error", -EIO},
  };
  const std::string block(8, 'x');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    blockCalls = 0;
    blockScript = {c.result};
    OutputFile file = UnbufferedFile(42);
    WriteBlock(file, reinterpret_cast<const uint8_t*>(block.data()), 8);
    EXPECT_EQ(blockCalls, 1);
    ExpectStopWith(101);
  }
}

TEST_F(RunStopTest, EmptyBlockWritesNothing) {
  sys.write = ScriptedWrite;
  OutputFile file = UnbufferedFile(-1);
  WriteBlock(file, reinterpret_cast<const uint8_t*>(""), 0);
  EXPECT_EQ(blockCalls, 0);
  EXPECT_EQ(ioStatus, 0);
}

// A create that fails outside the table records nothing; the first block on the failed handle gives 101.
TEST_F(RunStopTest, CreateErrorOutsideTheTableGives101AtTheFirstBlock) {
  sys.open = ScriptedOpen;
  for (const MappingRow& row : kOutsideMapping) {
    SCOPED_TRACE(row.name);
    openError = row.err;
    OutputFile file = CreateOutputFile("index.dat");
    EXPECT_EQ(ioStatus, 0);
    WriteBlock(file, reinterpret_cast<const uint8_t*>("abcd"), 4);  // the real write on the failed handle
    ExpectStopWith(101);
  }
}

TEST_F(RunStopTest, DirectoryAsOutputFileGives101AtTheFirstWrite) {
  test::TempDir dir;
  OutputFile file = CreateOutputFile(dir.path);
  EXPECT_EQ(ioStatus, 0);
  WriteBlock(file, reinterpret_cast<const uint8_t*>("abcd"), 4);
  FlushOutputFile(file);
  EXPECT_EQ(ioStatus, 101);
}

// Blocks of every size around the buffer's, written through a 16-byte buffer: at every moment the file holds a
// prefix of what was written, and after the flush all of it, in order.
const std::vector<size_t> kBlockSizes = {1, 5, 0, 15, 16, 17, 3, 40, 2, 14};
constexpr size_t kSmallBuffer = 16;

std::string BlockOf(size_t index, size_t size) {
  std::string block;
  for (size_t i = 0; i < size; ++i) block.push_back(static_cast<char>('a' + (index * 7 + i) % 26));
  return block;
}

TEST_F(RunStopTest, BufferedBlocksReachTheFileWholeAndInOrder) {
  sys.open = ScriptedOpen;
  sys.write = ScriptedWrite;
  OutputFile file = CreateOutputFile("index.dat", kSmallBuffer);
  std::string written;
  for (size_t i = 0; i < kBlockSizes.size(); ++i) {
    const std::string block = BlockOf(i, kBlockSizes[i]);
    WriteBlock(file, reinterpret_cast<const uint8_t*>(block.data()), static_cast<int64_t>(block.size()));
    written += block;
    ASSERT_EQ(ioStatus, 0);
    ASSERT_EQ(written.substr(0, blockBytes.size()), blockBytes) << "after block " << i;
  }
  FlushOutputFile(file);
  EXPECT_EQ(ioStatus, 0);
  EXPECT_EQ(blockBytes, written);
}

// Whichever system write fails, and however: the run stops with 101, that write was the last, and the file holds
// a prefix of the blocks (the writes before it whole, then at most the part that fit), never other bytes.
TEST_F(RunStopTest, FailedBufferedWriteLeavesAPrefixAndStopsWith101) {
  sys.open = ScriptedOpen;
  sys.write = ScriptedWrite;
  struct Failure {
    const char* name;
    int64_t result;
  };
  const Failure failures[] = {{"two bytes written", 2}, {"nothing written", 0},  {"disk full", -ENOSPC},
                              {"file size limit", -EFBIG}, {"I/O error", -EIO}, {"closed pipe", -EPIPE}};
  for (const Failure& failure : failures) {
    for (int failing : {1, 2, 3, 5}) {
      SCOPED_TRACE(std::string(failure.name) + ", system write " + std::to_string(failing));
      blockBytes.clear();
      blockCalls = 0;
      blockScript.assign(static_cast<size_t>(failing - 1), kFull);
      blockScript.push_back(failure.result);
      OutputFile file = CreateOutputFile("index.dat", kSmallBuffer);
      std::string written;
      for (size_t i = 0; i < kBlockSizes.size() && ioStatus == 0; ++i) {
        const std::string block = BlockOf(i, kBlockSizes[i]);
        WriteBlock(file, reinterpret_cast<const uint8_t*>(block.data()), static_cast<int64_t>(block.size()));
        written += block;
      }
      FlushOutputFile(file);
      EXPECT_EQ(blockCalls, failing);
      EXPECT_EQ(written.substr(0, blockBytes.size()), blockBytes);
      ExpectStopWith(101);
    }
  }
}

// Paths are never cut short: a path over 255 bytes fails with 3 and nothing is opened.
TEST_F(RunStopTest, OverlongPathGives3WithoutOpening) {
  sys.open = ScriptedOpen;
  openError = ENOENT;
  struct Case {
    const char* name;
    std::function<void(const std::string&)> operation;
  };
  const Case operations[] = {
      {"input file", [](const std::string& path) { OpenInputFile(path); }},
      {"output file", [](const std::string& path) { CreateOutputFile(path); }},
  };
  for (const Case& op : operations) {
    for (size_t length : {255u, 256u, 300u}) {
      SCOPED_TRACE(std::string(op.name) + " " + std::to_string(length));
      const std::string path = "d/" + std::string(length - 2, 'n');
      openCalls = 0;
      openPath.clear();
      ioStatus = 0;
      op.operation(path);
      if (length <= 255) {
        EXPECT_EQ(openCalls, 1);
        EXPECT_EQ(openPath, path);
        EXPECT_EQ(ioStatus, 2);
      } else {
        EXPECT_EQ(openCalls, 0);
        ExpectStopWith(3);
      }
    }
  }
}

TEST_F(RunStopTest, EmptyPathsAreTheStandardStreams) {
  sys.open = ScriptedOpen;
  sys.close = ScriptedClose;
  EXPECT_EQ(OpenInputFile(""), kStandardInput);
  CloseInputFile(kStandardInput);
  OutputFile file = CreateOutputFile("");
  EXPECT_EQ(file.handle, kStandardOutput);
  EXPECT_EQ(openCalls, 0);
  EXPECT_EQ(closeCalls, 0) << "standard input stays open";
  const uint8_t header[4] = {5, 0, 0, 0};
  WriteBlock(file, header, 4);
  FlushOutputFile(file);
  EXPECT_EQ(consoleOutput, std::string("\x05\0\0\0", 4));
  EXPECT_EQ(ioStatus, 0);
}

TEST_F(RunStopTest, CloseOfTheOutputFileNeverFails) {
  sys.close = ScriptedClose;
  for (int err : {EIO, EBADF, ENOSPC, EINTR}) {
    SCOPED_TRACE(err);
    closeCalls = 0;
    closeResult = -err;
    OutputFile file = UnbufferedFile(42);
    CloseOutputFile(file);
    EXPECT_EQ(closeCalls, 1);
    EXPECT_EQ(ioStatus, 0);
  }
}

// Every operation does nothing at all while a code is pending, and the first code stays.
TEST_F(RunStopTest, NothingRunsWhileACodeIsPending) {
  sys.open = ScriptedOpen;
  sys.read = ScriptedRead;
  sys.write = ScriptedWrite;
  sys.close = ScriptedClose;
  SetIoStatus(ErrorCode::kFileNotFound);
  EXPECT_EQ(OpenInputFile("dict.txt"), -1);
  uint8_t buffer[16];
  EXPECT_EQ(ReadInput(42, buffer, sizeof buffer), 0);
  CloseInputFile(42);
  OutputFile file = CreateOutputFile("index.dat");
  OutputFile other = UnbufferedFile(43);
  WriteBlock(other, buffer, 4);
  ConsoleWriteLine({"text"});
  SetIoStatus(ErrorCode::kWriteError);
  EXPECT_EQ(openCalls + readCalls + blockCalls + closeCalls, 0);
  EXPECT_EQ(file.handle, -1);
  EXPECT_EQ(consoleOutput, "");
  ExpectStopWith(2);
}

TEST_F(RunStopTest, CheckWithoutPendingCodeGoesOn) {
  EXPECT_EQ(StatusOfStop([] { CheckIo(); }), -1);
  EXPECT_EQ(consoleOutput, "");
}

TEST_F(RunStopTest, StopRunReportsEveryCodeAndExitsWithIt) {
  const ErrorCode codes[] = {
      ErrorCode::kFileNotFound,       ErrorCode::kPathNotFound, ErrorCode::kTooManyOpenFiles, ErrorCode::kAccessDenied,
      ErrorCode::kInvalidHandle,      ErrorCode::kWriteError,   ErrorCode::kFileBusy,         ErrorCode::kOutOfMemory,
      ErrorCode::kArithmeticOverflow, ErrorCode::kSystemFault,  ErrorCode::kInvalidArgument,
  };
  for (ErrorCode code : codes) {
    const int number = static_cast<int>(code);
    SCOPED_TRACE(number);
    consoleOutput.clear();
    EXPECT_EQ(StatusOfStop([code] { StopRun(code); }), number);
    EXPECT_EQ(ReportMismatch(consoleOutput, number), "");
  }
}

// A stop that does not come from CheckIo (refused memory, an offset overflow) still reports, whatever is pending.
TEST_F(RunStopTest, DirectStopReportsWhileACodeIsPending) {
  SetIoStatus(ErrorCode::kFileNotFound);
  EXPECT_EQ(StatusOfStop([] { StopRun(ErrorCode::kArithmeticOverflow); }), 215);
  EXPECT_EQ(ReportMismatch(consoleOutput, 215), "");
}

// The first location names the place of the stop: the same place gives the same digits, another place others.
TEST_F(RunStopTest, ReportNamesThePlaceOfTheStop) {
  const auto firstLocation = [](const std::function<void()>& stop) {
    consoleOutput.clear();
    StatusOfStop(stop);
    size_t at = consoleOutput.find(" at 0x");
    return at == std::string::npos ? std::string() : consoleOutput.substr(at + 6, 8);
  };
  const auto placeA = [] { StopRun(ErrorCode::kFileNotFound); };
  const auto placeB = [] { StopRun(ErrorCode::kFileNotFound); };
  const std::string a1 = firstLocation(placeA), a2 = firstLocation(placeA), b = firstLocation(placeB);
  ASSERT_EQ(a1.size(), 8u);
  EXPECT_EQ(a1, a2);
  EXPECT_NE(a1, b);
}

// A stop in the middle of the row of dots puts the report right after them.
TEST_F(RunStopTest, ReportFollowsTheDotsOnTheirLine) {
  ConsoleWriteLine({". = 1000 Zeilen"});
  ConsoleWrite({"."});
  ConsoleWrite({"."});
  SetIoStatus(ErrorCode::kWriteError);
  EXPECT_EQ(StatusOfStop([] { CheckIo(); }), 101);
  const std::string prefix = ". = 1000 Zeilen\n..";
  ASSERT_EQ(consoleOutput.substr(0, prefix.size()), prefix);
  EXPECT_EQ(ReportMismatch(consoleOutput.substr(prefix.size()), 101), "");
}

// When standard output cannot be written the report is lost, and the status is still the code.
TEST_F(RunStopTest, LostReportStillEndsWithTheCode) {
  consoleFails = true;
  EXPECT_EQ(StatusOfStop([] { StopRun(ErrorCode::kFileNotFound); }), 2);
  // A failing console statement ends the run with 101 through the same lost report.
  ConsoleWriteLine({". = 1000 Zeilen"});
  EXPECT_EQ(ioStatus, 101);
  EXPECT_EQ(StatusOfStop([] { CheckIo(); }), 101);
  EXPECT_EQ(consoleOutput, "");
}

// Identities of a made-up device, so that nothing recorded here can match a real file of another test.
constexpr uint64_t kFakeDevice = 0xFEED'0000'0000'0000u;
std::map<int, FileIdentity> handleIdentities;
std::map<std::string, FileIdentity> pathIdentities;
int FakeIdentityOfHandle(int handle, FileIdentity* identity) {
  auto it = handleIdentities.find(handle);
  if (it == handleIdentities.end()) return -EBADF;
  *identity = it->second;
  return 0;
}
int FakeIdentityOfPath(const char* path, FileIdentity* identity) {
  auto it = pathIdentities.find(path);
  if (it == pathIdentities.end()) return -ENOENT;
  *identity = it->second;
  return 0;
}
int HandleByName(const char* path, int, unsigned) {
  ++openCalls;
  if (std::strcmp(path, "dict.txt") == 0) return 50;
  if (std::strcmp(path, "words.txt") == 0) return 51;
  if (std::strcmp(path, "/dev/tty0") == 0) return 52;
  return 60;
}

// The index must never be created over a regular file read in this run (dictionary or exclusion list), however
// the path names it; devices never count.
TEST_F(RunStopTest, IndexOverAnInputFileIsRefusedWith5) {
  sys.open = HandleByName;
  sys.close = ScriptedClose;
  sys.identifyHandle = FakeIdentityOfHandle;
  sys.identifyPath = FakeIdentityOfPath;
  const FileIdentity dictionary{kFakeDevice, 1, true}, words{kFakeDevice, 2, true}, tty{kFakeDevice, 3, false};
  handleIdentities = {{50, dictionary}, {51, words}, {52, tty}};
  pathIdentities = {
      {"dict.txt", dictionary}, {"link-to-dict", dictionary},          {"words.txt", words},
      {"/dev/tty0", tty},       {"other.dat", {kFakeDevice, 4, true}}, {"other-device", {kFakeDevice + 1, 1, true}},
  };
  for (const char* input : {"words.txt", "dict.txt", "/dev/tty0"}) {
    int handle = OpenInputFile(input);
    ASSERT_GE(handle, 0);
    CloseInputFile(handle);
  }
  ASSERT_EQ(ioStatus, 0);

  struct Case {
    const char* indexPath;
    int code;
  };
  const Case cases[] = {
      {"dict.txt", 5},  {"link-to-dict", 5}, {"words.txt", 5},    {"/dev/tty0", 0},
      {"other.dat", 0}, {"other-device", 0}, {"new-file.dat", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.indexPath);
    openCalls = 0;
    OutputFile file = CreateOutputFile(c.indexPath);
    if (c.code == 0) {
      EXPECT_EQ(ioStatus, 0);
      EXPECT_EQ(openCalls, 1);
      EXPECT_GE(file.handle, 0);
    } else {
      EXPECT_EQ(openCalls, 0) << "the file must not even be opened, which would empty it";
      EXPECT_EQ(file.handle, -1);
      ExpectStopWith(c.code);
    }
  }
}

// Large blocks come zero-filled and writable to their last byte; from one huge page up they start on a huge page.
TEST(LargeBlockTest, BlocksAreZeroWritableAndAligned) {
  EXPECT_EQ(MapLargeBlock(0), nullptr);
  for (size_t size : {size_t{1}, size_t{4095}, size_t{4097}, kHugePageSize - 1, kHugePageSize, 5 * kHugePageSize + 3}) {
    SCOPED_TRACE(size);
    LargeBlock block = NewLargeBlock(size);
    ASSERT_NE(block.get(), nullptr);
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[size - 1], 0);
    block[0] = 1;
    block[size - 1] = 2;
    EXPECT_EQ(block[0] + block[size - 1], size == 1 ? 4 : 3);
    if (size >= kHugePageSize) {
      EXPECT_EQ(reinterpret_cast<uintptr_t>(block.get()) % kHugePageSize, 0u);
    }
  }
}

struct ChildResult {
  std::string output;
  int status = -1;
};

// Runs `body` in a child process with the real system calls and standard output on a pipe; the child ends with
// status 0 when `body` returns and 99 when it throws.
ChildResult RunInChild(const std::function<void()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::close(fds[0]);
    ::close(fds[1]);
    sys = RealSysCalls();
    ioStatus = 0;
    try {
      body();
    } catch (...) {
      ::_exit(99);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  ChildResult result;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) result.output.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

#if !defined(VOS_TEST_UNDER_ASAN)
void* volatile keep;  // the blocks must not be optimised away
#endif

TEST(RunStopChildTest, RefusedAllocationEndsTheRunWith203) {
#if defined(VOS_TEST_UNDER_ASAN)
  GTEST_SKIP() << "the address sanitizer's allocator reports refused memory itself";
#else
  struct Case {
    const char* name;
    std::function<void()> allocate;
  };
  const Case cases[] = {
      {"one block beyond the limit",
       [] {
         volatile size_t size = size_t{1} << 32;
         keep = ::operator new(size);
       }},
      {"small blocks until none is left",
       [] {
         for (;;) keep = new uint8_t[1 << 16];
       }},
      {"a large block beyond the limit", [] { keep = MapLargeBlock(size_t{1} << 32); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildResult result = RunInChild([&c] {
      InitRuntime();
      const rlim_t limit = rlim_t{1} << 30;
      struct rlimit r = {limit, limit};
      ::setrlimit(RLIMIT_AS, &r);
      c.allocate();
    });
    EXPECT_EQ(result.status, 203);
    EXPECT_EQ(ReportMismatch(result.output, 203), "");
  }
#endif
}

TEST(RunStopChildTest, BrokenPipeIsAnErrorNotASignal) {
  ChildResult result = RunInChild([] {
    ::signal(SIGPIPE, SIG_DFL);
    InitRuntime();
    int fds[2];
    if (::pipe(fds) != 0) ::_exit(98);
    ::close(fds[0]);
    OutputFile file = UnbufferedFile(fds[1]);
    WriteBlock(file, reinterpret_cast<const uint8_t*>("abcd"), 4);
    CheckIo();
  });
  EXPECT_EQ(result.status, 101);
  EXPECT_EQ(ReportMismatch(result.output, 101), "");
}

}  // namespace
}  // namespace vos
