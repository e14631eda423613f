// The scan on two threads must be the scan on one thread: the same trie, statistics, offsets and line count, the
// same dots with the same batches filed before each of them, and the same output and status when a read fails.

#include "scan/scan_pipeline.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <regex>
#include <string>

#include "runtime/run_stop.h"
#include "runtime/sys_io.h"
#include "test_support.h"
#include "trie_test_support.h"

namespace vos {
namespace {

// Standard output, each dot followed by the trie's node count at that moment: the keys filed before the dot.
const KeyTrie* observedTrie = nullptr;
std::string consoleOutput;
int64_t ObservingWrite(int handle, const void* buffer, size_t count) {
  if (handle != kStandardOutput) return RealSysCalls().write(handle, buffer, count);
  consoleOutput.append(static_cast<const char*>(buffer), count);
  if (count == 1 && *static_cast<const char*>(buffer) == '.') {
    consoleOutput += "[" + std::to_string(observedTrie->nodeCount) + "]";
  }
  return static_cast<int64_t>(count);
}

// Reads of the dictionary in pieces of `readPiece` bytes; the read after `readsBeforeFailure` of them fails.
int readPiece = 0;
int readsBeforeFailure = -1;
int readCalls = 0;
int64_t PiecewiseRead(int handle, void* buffer, size_t count) {
  if (readCalls++ == readsBeforeFailure) return -EIO;
  return RealSysCalls().read(handle, buffer, std::min(count, static_cast<size_t>(readPiece)));
}

struct ExitCalled {
  int status;
};
[[noreturn]] void ThrowingExit(int status) { throw ExitCalled{status}; }

using ScanFunction = std::function<void(LineReader&, const ScanMode&, KeyTrie&, const KeySet*, ScanState&,
                                        RunStatistics&)>;

void Pipelined(LineReader& dictionary, const ScanMode& mode, KeyTrie& trie, const KeySet* exclusionList,
               ScanState& state, RunStatistics& statistics) {
  ASSERT_TRUE(ScanDictionaryPipelined(dictionary, mode, trie, exclusionList, state, statistics));
}

struct Outcome {
  KeyTrie trie;
  RunStatistics statistics;
  ScanState state;
  std::string console;
  int status = -1;  // the exit status of a stop, -1 when the scan returned
};

class ScanPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys = RealSysCalls();
    sys.write = ObservingWrite;
    sys.read = PiecewiseRead;
    sys.exit = ThrowingExit;
    readPiece = 1 << 20;
    readsBeforeFailure = -1;
  }
  void TearDown() override {
    sys = RealSysCalls();
    ioStatus = 0;
  }

  void Scan(const ScanFunction& scan, const std::string& path, const ScanMode& mode, const KeySet* exclusionList,
            Outcome& outcome) {
    NewTrie(outcome.trie);
    ResetStatistics(outcome.statistics, outcome.trie);
    observedTrie = &outcome.trie;
    consoleOutput.clear();
    readCalls = 0;
    LineReader reader = OpenLineReader(path, kDictionaryBufferSize);
    try {
      scan(reader, mode, outcome.trie, exclusionList, outcome.state, outcome.statistics);
    } catch (const ExitCalled& exit) {
      outcome.status = exit.status;
    }
    CloseLineReader(reader);
    // The report names code addresses and call levels, which differ between the two scans.
    outcome.console = std::regex_replace(consoleOutput, std::regex("0x[0-9A-F]{8}(\n  0x[0-9A-F]{8})+"), "0x...");
  }

  test::TempDir dir;
};

// `lines` lines of `wordsPerLine` words each, an entry every `entryLines` lines; the words repeat now and then and
// begin with `stem` "x"s.
std::string Dictionary(int lines, int wordsPerLine, int entryLines, int stem = 0) {
  std::string text;
  for (int i = 0; i < lines; ++i) {
    if (i % entryLines == 0) {
      text += "%\n";
      ++i;
    }
    for (int w = 0; w < wordsPerLine; ++w) {
      text += (w > 0 ? (i % 2 == 0 ? " " : ",") : "") + std::string(stem, 'x') + "Wort" +
              std::to_string((i * 7 + w) % 5000);
    }
    text += "\n";
  }
  return text;
}

// A batch is handed over once it holds 896 keys or more (a line may add up to 128): sizes on either side of one
// batch, of the ring's 4, and many rounds of the ring, with dots among them.
TEST_F(ScanPipelineTest, SameKeysStatisticsAndDotsAsTheScanOnOneThread) {
  dir.Write("exclude.txt", "wort1\nwort2\nwort3\n");
  KeySet exclusions;
  LoadExclusionList(dir.Path("exclude.txt"), exclusions);
  const struct {
    int lines;
    int wordsPerLine;
    int entryLines;
    ScanMode mode;
    bool excluding;
    int stem = 0;
  } cases[] = {
      {0, 1, 2, {.fullText = true}, false},
      {1, 1, 2, {.fullText = true}, false},
      {895, 1, 1000000, {.fullText = true}, false},
      {897, 1, 1000000, {.fullText = true}, false},
      {1000, 1, 1000000, {.fullText = true}, false},
      {3 * 896 + 1, 1, 1000000, {.fullText = true}, false},
      {4 * 896 + 1, 1, 1000000, {.fullText = true}, false},
      {5 * 896, 1, 1000000, {.fullText = true}, false},
      {30000, 3, 7, {.fullText = true}, true},
      {20000, 120, 50, {.fullText = true, .keepCase = true}, false},
      {30000, 4, 3, {}, false},          // headword mode: a few keys every third line
      {50000, 2, 1000000, {}, false},    // headword mode: dots only
      {9000, 128, 2, {.lineEndSize = 2}, false},
      {6000, 3, 4, {.fullText = true}, false, 40},   // keys longer than the short copy
      {6000, 1, 2, {}, false, 300},                  // keys cut at 255 bytes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.lines << " lines of " << c.wordsPerLine << " words, full text "
                                    << c.mode.fullText);
    dir.Write("dict.txt", Dictionary(c.lines, c.wordsPerLine, c.entryLines, c.stem));
    const KeySet* exclusionList = c.excluding ? &exclusions : nullptr;
    Outcome serial;
    Outcome pipelined;
    Scan(ScanDictionarySerial, dir.Path("dict.txt"), c.mode, exclusionList, serial);
    Scan(Pipelined, dir.Path("dict.txt"), c.mode, exclusionList, pipelined);
    test::ExpectSameTrie(serial.trie, serial.statistics, pipelined.trie, pipelined.statistics);
    EXPECT_EQ(pipelined.statistics.totalWords, serial.statistics.totalWords);
    EXPECT_EQ(pipelined.state.lineCount, serial.state.lineCount);
    EXPECT_EQ(pipelined.state.byteOffset, serial.state.byteOffset);
    EXPECT_EQ(pipelined.state.currentEntry, serial.state.currentEntry);
    EXPECT_EQ(pipelined.console, serial.console);
    EXPECT_EQ(pipelined.status, -1);
  }
}

// A read that fails mid-file stops the run after the same dots, with the same report and code, before or after a
// batch was handed over, at the first read and after the last.
TEST_F(ScanPipelineTest, ReadErrorStopsAfterTheSameDots) {
  const std::string text = Dictionary(40000, 3, 5);
  dir.Write("dict.txt", text);
  // The read after the one that brings the last bytes, where the end of the file would be seen.
  const int endRead = static_cast<int>(text.size() / kDictionaryBufferSize) + 1;
  const struct {
    int piece;
    int readsBeforeFailure;
  } cases[] = {{4096, 0}, {4096, 1}, {4096, 7}, {4096, 40}, {100000, 3}, {1 << 20, 1}, {1 << 20, endRead}};
  for (ScanMode mode : {ScanMode{.fullText = true}, ScanMode{}}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << "pieces of " << c.piece << ", failing read " << c.readsBeforeFailure
                                      << ", full text " << mode.fullText);
      readPiece = c.piece;
      readsBeforeFailure = c.readsBeforeFailure;
      Outcome serial;
      Outcome pipelined;
      Scan(ScanDictionarySerial, dir.Path("dict.txt"), mode, nullptr, serial);
      Scan(Pipelined, dir.Path("dict.txt"), mode, nullptr, pipelined);
      EXPECT_EQ(pipelined.console, serial.console);
      EXPECT_GT(serial.status, 0);
      EXPECT_EQ(pipelined.status, serial.status);
      EXPECT_EQ(ioStatus, 0);
    }
  }
}

}  // namespace
}  // namespace vos
