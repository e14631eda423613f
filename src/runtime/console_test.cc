#include "runtime/console.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "runtime/run_stop.h"
#include "runtime/sys_io.h"

namespace vos {
namespace {

// What the console handed to the system, one string per write call on standard output.
std::vector<std::string> writes;
int writeCalls = 0;
// Results the fake write gives, in order, before it writes everything it is given: kFull writes all, kShortByOne
// all but the last byte; any other value is returned as it stands (0 or a negative error number).
constexpr int64_t kFull = 1'000'000;
constexpr int64_t kShortByOne = 1'000'001;
std::vector<int64_t> scriptedResults;

int64_t FakeWrite(int handle, const void* buffer, size_t count) {
  ++writeCalls;
  if (handle != kStandardOutput) return -EBADF;
  int64_t result = kFull;
  if (!scriptedResults.empty()) {
    result = scriptedResults.front();
    scriptedResults.erase(scriptedResults.begin());
  }
  if (result == kShortByOne) {
    --count;
  } else if (result != kFull) {
    return result;
  }
  writes.emplace_back(static_cast<const char*>(buffer), count);
  return static_cast<int64_t>(count);
}

class ConsoleTest : public testing::Test {
 protected:
  void SetUp() override {
    writes.clear();
    writeCalls = 0;
    scriptedResults.clear();
    ioStatus = 0;
    sys.write = FakeWrite;
  }
  void TearDown() override {
    sys = RealSysCalls();
    ioStatus = 0;
  }
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

struct StatementCase {
  const char* name;
  std::function<void()> statement;
  std::vector<std::string> expectedWrites;
};

ConsoleItem Text(const std::string& text) { return std::string_view(text); }

// Every statement is out when it returns, in one write per 256 bytes of what it produced.
TEST_F(ConsoleTest, StatementIsWrittenWholeInOneWritePer256Bytes) {
  static const std::string k255(255, 'a'), k256(256, 'b'), k600(600, 'c'), k200(200, 'd'), k100(100, 'e');
  static const std::string k254(254, 'f');
  const std::vector<StatementCase> cases = {
      {"a dot", [] { ConsoleWrite({"."}); }, {"."}},
      {"a bare line end", [] { ConsoleWriteLine(); }, {"\n"}},
      {"text and a number", [] { ConsoleWriteLine({"Geamtzahl: ", int32_t{3}}); }, {"Geamtzahl: 3\n"}},
      {"255 bytes and the line end fill the buffer once", [] { ConsoleWriteLine({Text(k255)}); }, {k255 + "\n"}},
      {"256 bytes leave the line end for a second write", [] { ConsoleWriteLine({Text(k256)}); }, {k256, "\n"}},
      {"exactly 256 bytes without line end", [] { ConsoleWrite({Text(k256)}); }, {k256}},
      {"600 bytes", [] { ConsoleWrite({Text(k600)}); }, {Repeat('c', 256), Repeat('c', 256), Repeat('c', 88)}},
      {"items across the buffer boundary", [] { ConsoleWrite({Text(k200), Text(k100)}); },
       {k200 + Repeat('e', 56), Repeat('e', 44)}},
      {"a number across the buffer boundary", [] { ConsoleWrite({Text(k254), int32_t{12345}}); },
       {k254 + "12", "345"}},
      {"an empty statement writes nothing", [] { ConsoleWrite({}); }, {}},
      {"an empty text writes nothing", [] { ConsoleWrite({""}); }, {}},
  };
  for (const StatementCase& c : cases) {
    SCOPED_TRACE(c.name);
    writes.clear();
    c.statement();
    EXPECT_EQ(writes, c.expectedWrites);
    EXPECT_EQ(ioStatus, 0);
  }
}

TEST_F(ConsoleTest, EachDotIsItsOwnWrite) {
  for (int i = 0; i < 3; ++i) ConsoleWrite({"."});
  ConsoleWriteLine();
  EXPECT_EQ(writes, (std::vector<std::string>{".", ".", ".", "\n"}));
}

TEST_F(ConsoleTest, NumbersInPlainDecimal) {
  struct Case {
    int64_t value;
    const char* text;
  };
  const Case cases[] = {
      {0, "0"},
      {7, "7"},
      {-1, "-1"},
      {1000, "1000"},
      {-1000, "-1000"},
      {std::numeric_limits<int32_t>::max(), "2147483647"},
      {std::numeric_limits<int32_t>::min(), "-2147483648"},
      {std::numeric_limits<int64_t>::max(), "9223372036854775807"},
      {std::numeric_limits<int64_t>::min(), "-9223372036854775808"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    writes.clear();
    ConsoleWrite({c.value});
    EXPECT_EQ(writes, std::vector<std::string>{c.text});
    if (c.value >= std::numeric_limits<int32_t>::min() && c.value <= std::numeric_limits<int32_t>::max()) {
      writes.clear();
      ConsoleWrite({static_cast<int32_t>(c.value)});
      EXPECT_EQ(writes, std::vector<std::string>{c.text});
    }
  }
}

// Text and single bytes go out unchanged, high bytes, NUL and LF included, and in the order of the items.
TEST_F(ConsoleTest, TextAndBytesUnchangedInOrder) {
  struct Case {
    const char* name;
    std::function<void()> statement;
    std::string expected;
  };
  const Case cases[] = {
      {"byte 0xE4", [] { ConsoleWrite({ConsoleByte{0xE4}}); }, "\xE4"},
      {"byte 0", [] { ConsoleWrite({ConsoleByte{0}}); }, std::string(1, '\0')},
      {"byte 10", [] { ConsoleWrite({ConsoleByte{10}}); }, "\n"},
      {"byte 255", [] { ConsoleWrite({ConsoleByte{255}}); }, "\xFF"},
      {"ISO-8859-1 text with NUL", [] { ConsoleWrite({std::string_view("L\xE4\0\xDF", 4)}); },
       std::string("L\xE4\0\xDF", 4)},
      {"mixed items",
       [] {
         ConsoleWriteLine({"a", int32_t{-5}, ConsoleByte{0xE4}, "", "b"});
       },
       "a-5\xE4"
       "b\n"},
      {"the line end is the single byte 10",
       [] {
         ConsoleWriteLine({"H\xE4ufigster Eintrag: \"", "\" (", int32_t{1}, "x)"});
       },
       "H\xE4ufigster Eintrag: \"\" (1x)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writes.clear();
    c.statement();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], c.expected);
  }
}

// A write that transfers fewer bytes than asked, or fails, gives 101 whatever the system said, and the rest of the
// statement writes nothing.
TEST_F(ConsoleTest, ShortWriteGives101AndEndsTheStatement) {
  struct Case {
    const char* name;
    std::vector<int64_t> results;
    int expectedCalls;
  };
  const Case cases[] = {
      {"first write one byte short", {kShortByOne}, 1},
      {"first write transfers nothing", {0}, 1},
      {"broken pipe", {-EPIPE}, 1},
      {"closed descriptor", {-EBADF}, 1},
      {"no space", {-ENOSPC}, 1},
      {"error that maps to 5 elsewhere", {-EACCES}, 1},
      {"error outside the table", {-EISDIR}, 1},
      {"second write short", {kFull, kShortByOne}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writes.clear();
    writeCalls = 0;
    ioStatus = 0;
    scriptedResults = c.results;
    ConsoleWriteLine({Text(Repeat('x', 700))});
    EXPECT_EQ(ioStatus, 101);
    EXPECT_EQ(writeCalls, c.expectedCalls);
    // The statement after a failure writes nothing while the code is pending.
    ConsoleWriteLine({"more"});
    EXPECT_EQ(writeCalls, c.expectedCalls);
    EXPECT_EQ(ioStatus, 101);
  }
}

// Once the pending code has been taken, the next statement starts with an empty buffer: nothing of the failed
// statement comes out later.
TEST_F(ConsoleTest, NothingOfAFailedStatementLeaksIntoTheNext) {
  scriptedResults = {kShortByOne};
  ConsoleWriteLine({Text(Repeat('x', 300))});
  ASSERT_EQ(ioStatus, 101);
  ioStatus = 0;
  writes.clear();
  ConsoleWriteLine({"ok"});
  EXPECT_EQ(writes, std::vector<std::string>{"ok\n"});
  EXPECT_EQ(ioStatus, 0);
}

TEST_F(ConsoleTest, InterruptedWriteIsRepeated) {
  scriptedResults = {-EINTR, -EINTR};
  ConsoleWriteLine({"abc"});
  EXPECT_EQ(writes, std::vector<std::string>{"abc\n"});
  EXPECT_EQ(writeCalls, 3);
  EXPECT_EQ(ioStatus, 0);
}

TEST_F(ConsoleTest, WritesNothingWhileACodeIsPending) {
  SetIoStatus(ErrorCode::kAccessDenied);
  ConsoleWrite({"."});
  ConsoleWriteLine({"text", int32_t{1}});
  ConsoleWriteLine();
  EXPECT_EQ(writeCalls, 0);
  EXPECT_EQ(ioStatus, 5);
}

}  // namespace
}  // namespace vos
