// End-to-end runs of the built vos: exact standard output bytes and exit status, for good runs and for every stop
// that can be provoked from outside the process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "runtime/output_file.h"
#include "test_support.h"

namespace vos::test {
namespace {

const std::string kLegend = ". = 1000 Zeilen\n";
// A small dictionary of two entries, traced by hand, and the run's output for it.
const std::string kTracedDictionary = "%\nHaus, Heim\nein Geb\xE4ude\n%\nHof\n";
const std::string kTracedSummary =
    "Geamtzahl: 3\nL\xE4ngstes Wort:  heim (5 Zeichen)\nH\xE4ufigster Eintrag: \"\" (1x)\n";
const std::string kTracedOutput = kLegend + "\n" + kTracedSummary;
const std::string kEmptySummary = "Geamtzahl: 0\nL\xE4ngstes Wort:  (0 Zeichen)\nH\xE4ufigster Eintrag: \"\" (1x)\n";
const std::string kVersionLine = "vos 1, 2001/12/11\n";
const std::string kKeep = "an index that must stay as it is";

std::string Lines(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "x\n";
  return text;
}

RunResult RunVos(const TempDir& dir, const std::vector<std::string>& args, RunOptions options = {}) {
  options.workDir = dir.path;
  return RunProgram(VosBinary(), args, options);
}

// Checks that `output` is `prefix` followed by exactly one run-time error report for `code`.
void ExpectOutputThenReport(const std::string& output, const std::string& prefix, int code) {
  ASSERT_EQ(output.substr(0, prefix.size()), prefix) << "whole output: " << output;
  EXPECT_EQ(ReportMismatch(std::string_view(output).substr(prefix.size()), code), "");
}

struct GoodRun {
  const char* name;
  std::vector<std::string> args;
  std::string dictionary;  // written to dict.txt
  std::string expectedOutput;
  bool indexWritten;
};

TEST(EndToEndTest, GoodRunsPrintExactlyTheirLinesAndExit0) {
  const GoodRun runs[] = {
      {"the traced example", {}, kTracedDictionary, kTracedOutput, true},
      {"an empty dictionary", {}, "", kLegend + "\n" + kEmptySummary, true},
      {"999 lines: no dot", {}, Lines(999), kLegend + "\n" + kEmptySummary, true},
      {"1000 lines: one dot", {}, Lines(1000), kLegend + ".\n" + kEmptySummary, true},
      {"2500 lines: two dots", {}, Lines(2500), kLegend + "..\n" + kEmptySummary, true},
      {"an exclusion file is not needed without -f", {"-e", "missing.txt"}, kTracedDictionary, kTracedOutput, true},
      {"the version alone", {"-v"}, kTracedDictionary, kVersionLine, false},
      {"the long version", {"--version"}, kTracedDictionary, kVersionLine, false},
      {"the version after other options", {"-d", "missing.txt", "-i", "other.dat", "-v"}, "", kVersionLine, false},
      {"the version before other options", {"-v", "-d", "missing.txt"}, "", kVersionLine, false},
      {"the version with a missing exclusion file", {"-f", "-e", "missing.txt", "-v"}, "", kVersionLine, false},
  };
  for (const GoodRun& run : runs) {
    SCOPED_TRACE(run.name);
    TempDir dir;
    dir.Write("dict.txt", run.dictionary);
    RunResult result = RunVos(dir, run.args);
    EXPECT_EQ(result.output, run.expectedOutput);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(dir.Exists("index.dat"), run.indexWritten);
    EXPECT_FALSE(dir.Exists("other.dat"));
  }
}

TEST(EndToEndTest, TracedExampleWritesItsIndexHeader) {
  TempDir dir;
  dir.Write("dict.txt", kTracedDictionary);
  ASSERT_EQ(RunVos(dir, {}).status, 0);
  // maxKeyLength 5 and maxPostingCount 1, little-endian, then the head's record with the empty key.
  EXPECT_EQ(dir.Read("index.dat").substr(0, 9), std::string("\x05\0\0\0\x01\0\0\0\0", 9));
}

// A bad option is reported and the run goes on to its normal end; the version stops the loop wherever it stands.
TEST(EndToEndTest, OptionDiagnosticsDoNotFailTheRun) {
  TempDir dir;
  dir.Write("dict.txt", kTracedDictionary);
  RunResult result = RunVos(dir, {"--bogus"});
  EXPECT_EQ(result.status, 0);
  ASSERT_GT(result.output.size(), kTracedOutput.size());
  EXPECT_EQ(result.output.substr(result.output.size() - kTracedOutput.size()), kTracedOutput);
  EXPECT_EQ(result.output.find('\n'), result.output.size() - kTracedOutput.size() - 1) << "one diagnostic line";

  RunResult version = RunVos(dir, {"--bogus", "-v"});
  EXPECT_EQ(version.status, 0);
  ASSERT_GT(version.output.size(), kVersionLine.size());
  EXPECT_EQ(version.output.substr(version.output.size() - kVersionLine.size()), kVersionLine);
  EXPECT_EQ(version.output.substr(0, version.output.size() - kVersionLine.size()),
            result.output.substr(0, result.output.size() - kTracedOutput.size()));
}

TEST(EndToEndTest, DictionaryFromStandardInput) {
  TempDir dir;
  RunOptions options;
  options.input = kTracedDictionary;
  RunResult result = RunVos(dir, {"-d", ""}, options);
  EXPECT_EQ(result.output, kTracedOutput);
  EXPECT_EQ(result.status, 0);
}

// With an empty index path the index bytes follow the summary on standard output, the same bytes a file gets.
TEST(EndToEndTest, IndexOnStandardOutputComesAfterTheSummary) {
  TempDir dir;
  dir.Write("dict.txt", kTracedDictionary);
  ASSERT_EQ(RunVos(dir, {"-i", "file.dat"}).status, 0);
  const std::string index = dir.Read("file.dat");
  ASSERT_FALSE(index.empty());
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--index="}, {"-i", ""}}) {
    SCOPED_TRACE(args[0]);
    RunResult result = RunVos(dir, args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, kTracedOutput + index);
    EXPECT_FALSE(dir.Exists("index.dat"));
  }
}

// What the index path of a failing run holds afterwards.
enum class IndexAfter {
  kAbsent,     // never created
  kUntouched,  // the file that was there keeps its bytes
  kDirectory,  // the directory that was there is still one
};

std::string Long(size_t length, const std::string& start) { return start + std::string(length - start.size(), 'n'); }
// A relative path of 255 bytes, "sub/nnn...".
const std::string kPath255 = Long(255, "sub/");

// Set-ups beyond dict.txt, which always starts with the traced dictionary.
void NoSetUp(const TempDir&) {}
void RemoveDictionary(const TempDir& dir) { std::filesystem::remove(dir.Path("dict.txt")); }
void MakeDirectory(const TempDir& dir) { std::filesystem::create_directory(dir.Path("sub")); }
void MakeIndexDirectory(const TempDir& dir) { std::filesystem::create_directory(dir.Path("index.dat")); }
void MakeFileAt255(const TempDir& dir) {
  MakeDirectory(dir);
  dir.Write(kPath255, kKeep);
}
void LinkDictionary(const TempDir& dir) {
  std::filesystem::create_symlink("dict.txt", dir.Path("link"));
  std::filesystem::create_hard_link(dir.Path("dict.txt"), dir.Path("hard"));
}
void WriteExclusionFile(const TempDir& dir) { dir.Write("words.txt", "ein\n"); }

struct FailingRun {
  const char* name;
  void (*setUp)(const TempDir&);
  std::vector<std::string> args;
  std::string expectedBeforeReport;
  int code;
  IndexAfter index;
};

TEST(EndToEndTest, FailingRunsStopWithTheirReportAndCode) {
  const std::string& summary = kTracedOutput;
  const std::string fullTextSummary =
      kLegend + "\nGeamtzahl: 4\nL\xE4ngstes Wort: geb\xE4ude (7 Zeichen)\nH\xE4ufigster Eintrag: \"\" (1x)\n";
  using enum IndexAfter;
  const FailingRun runs[] = {
      // Stops before the legend line: the input files cannot be opened or read.
      {"missing dictionary", RemoveDictionary, {}, "", 2, kUntouched},
      {"missing named dictionary", NoSetUp, {"-d", "nothing.txt"}, "", 2, kUntouched},
      {"missing exclusion file in full-text mode", NoSetUp, {"-f", "-e", "missing.txt"}, "", 2, kUntouched},
      {"dictionary path through a regular file", NoSetUp, {"-d", "dict.txt/x"}, "", 3, kUntouched},
      {"dictionary path of 256 bytes whose first 255 name a file", MakeFileAt255, {"-d", kPath255 + "x"}, "", 3,
       kUntouched},
      {"directory as exclusion file", MakeDirectory, {"-f", "-e", "sub"}, "", 101, kAbsent},
      // Stops at the first read of the dictionary, after the legend line.
      {"directory as dictionary", MakeDirectory, {"-d", "sub"}, kLegend, 101, kUntouched},
      {"directory as dictionary, no index yet", MakeDirectory, {"-d", "sub"}, kLegend, 101, kAbsent},
      // Stops at the index file, after the summary.
      {"directory as index: at the first block", MakeIndexDirectory, {}, summary, 101, kDirectory},
      {"index in a missing directory", NoSetUp, {"-i", "missing/index.dat"}, summary, 2, kAbsent},
      {"index path through a regular file", NoSetUp, {"-i", "dict.txt/index.dat"}, summary, 3, kAbsent},
      {"index path of 256 bytes whose first 255 name a file", MakeFileAt255, {"-i", kPath255 + "x"}, summary, 3,
       kAbsent},
      {"index path equal to the dictionary", NoSetUp, {"-i", "dict.txt"}, summary, 5, kAbsent},
      {"index path a symbolic link to the dictionary", LinkDictionary, {"-i", "link"}, summary, 5, kAbsent},
      {"index path a hard link to the dictionary", LinkDictionary, {"-i", "./hard"}, summary, 5, kAbsent},
      {"dictionary read through a link, index on the file", LinkDictionary, {"-d", "link", "-i", "dict.txt"},
       summary, 5, kAbsent},
      {"index path equal to the exclusion file", WriteExclusionFile, {"-f", "-e", "words.txt", "-i", "words.txt"},
       fullTextSummary, 5, kAbsent},
      {"index on a full device", NoSetUp, {"-i", "/dev/full"}, summary, 101, kAbsent},
  };
  for (const FailingRun& run : runs) {
    SCOPED_TRACE(run.name);
    TempDir dir;
    dir.Write("dict.txt", kTracedDictionary);
    if (run.index == kUntouched) dir.Write("index.dat", kKeep);
    run.setUp(dir);
    RunResult result = RunVos(dir, run.args);
    EXPECT_EQ(result.status, run.code);
    ExpectOutputThenReport(result.output, run.expectedBeforeReport, run.code);
    EXPECT_EQ(result.errors, "");
    switch (run.index) {
      case kAbsent: EXPECT_FALSE(dir.Exists("index.dat")); break;
      case kUntouched: EXPECT_EQ(dir.Read("index.dat"), kKeep); break;
      case kDirectory: EXPECT_TRUE(std::filesystem::is_directory(dir.Path("index.dat"))); break;
    }
    // A failing run changes no file it was given and creates none under a shortened or missing path.
    for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"dict.txt", kTracedDictionary},
                                      {"words.txt", "ein\n"},
                                      {kPath255, kKeep}}) {
      EXPECT_TRUE(!dir.Exists(name) || dir.Read(name) == bytes) << name << " was changed";
    }
    EXPECT_FALSE(dir.Exists(kPath255 + "x"));
    EXPECT_FALSE(dir.Exists("missing"));
  }
}

// Past the file size limit a block falls short: the run stops with 101 after the summary, and the index keeps the
// blocks written before, followed by the part of the short block that fit.
TEST(EndToEndTest, FileSizeLimitStopsTheIndexWith101) {
  TempDir dir;
  dir.Write("dict.txt", kTracedDictionary);
  ASSERT_EQ(RunVos(dir, {}).status, 0);
  const std::string index = dir.Read("index.dat");
  ASSERT_EQ(index.size(), 100u);
  // 1: inside the first header field; 8: the header whole; 50: header, head and 'haus'; 60: and part of ' heim'.
  for (uint64_t limit : {1u, 8u, 50u, 60u}) {
    SCOPED_TRACE(limit);
    RunOptions options;
    options.fileSizeLimit = limit;
    RunResult result = RunVos(dir, {}, options);
    EXPECT_EQ(result.status, 101);
    ExpectOutputThenReport(result.output, kTracedOutput, 101);
    EXPECT_EQ(dir.Read("index.dat"), index.substr(0, limit));
  }
}

// An index larger than the write buffer goes out in several writes; wherever the file size limit cuts it (in the
// first write, at the end of one, in a later one), the run stops with 101 after the summary and the file holds
// exactly the index's first bytes up to the limit.
TEST(EndToEndTest, FileSizeLimitAnywhereInALargeIndexLeavesItsPrefix) {
  TempDir dir;
  std::string dictionary;
  for (int i = 0; i < 40000; ++i) dictionary += "%\nwort" + std::to_string(100000 + i) + "\n";
  dir.Write("dict.txt", dictionary);
  RunResult good = RunVos(dir, {});
  ASSERT_EQ(good.status, 0);
  const std::string index = dir.Read("index.dat");
  constexpr uint64_t kBuffer = kOutputBufferSize;
  ASSERT_GT(index.size(), 2 * kBuffer + 4096) << "the index must outgrow the write buffer";
  for (uint64_t limit : {uint64_t{5}, kBuffer - 1, kBuffer, kBuffer + 4096, 2 * kBuffer + 1}) {
    SCOPED_TRACE(limit);
    RunOptions options;
    options.fileSizeLimit = limit;
    RunResult result = RunVos(dir, {}, options);
    EXPECT_EQ(result.status, 101);
    ExpectOutputThenReport(result.output, good.output, 101);
    EXPECT_TRUE(dir.Read("index.dat") == index.substr(0, limit)) << "not the index's first " << limit << " bytes";
  }
}

// The kernel refuses to write a program that is being run: the copy of vos that runs names itself as the index.
TEST(EndToEndTest, RunningProgramAsIndexGives162) {
  TempDir dir;
  dir.Write("dict.txt", kTracedDictionary);
  const std::string copy = dir.Path("vos-copy");
  std::filesystem::copy_file(VosBinary(), copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  const std::string before = ReadFile(copy);
  RunOptions options;
  options.workDir = dir.path;
  RunResult result = RunProgram(copy, {"-i", copy}, options);
  EXPECT_EQ(result.status, 162);
  ExpectOutputThenReport(result.output, kTracedOutput, 162);
  EXPECT_EQ(ReadFile(copy), before);
}

TEST(EndToEndTest, StandardOutputThatCannotBeWritten) {
  for (bool closed : {true, false}) {
    SCOPED_TRACE(closed ? "closed" : "a pipe whose reader is gone");
    TempDir dir;
    dir.Write("dict.txt", kTracedDictionary);
    dir.Write("index.dat", kKeep);
    RunOptions options;
    options.closeStandardOutput = closed;
    options.closeOutputEarly = !closed;
    RunResult result = RunVos(dir, {}, options);
    EXPECT_EQ(result.status, 101);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(dir.Read("index.dat"), kKeep) << "the run stops at the legend line";
  }
}

// A read that fails after the first dot: the report stands right after the dot, on the same line. Standard input
// is a non-blocking pipe that runs dry without ending, so the read after its 1500 lines fails with EAGAIN.
// In full-text mode the 12000 words of the 1500 lines are filed in batches beside the scan when the read fails:
// the stop is the same.
TEST(EndToEndTest, ReadErrorInTheRowOfDotsReportsAfterTheDots) {
  std::string words;
  for (int i = 0; i < 1500; ++i) words += "ein wort " + std::to_string(i) + " und noch vier mehr\n";
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string input;
  } cases[] = {
      {"headword mode", {"-d", ""}, Lines(1500)},
      {"full text", {"-f", "-d", ""}, words},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    RunOptions options;
    options.input = c.input;
    options.nonBlockingInput = true;
    RunResult result = RunVos(dir, c.args, options);
    EXPECT_EQ(result.status, 101);
    ExpectOutputThenReport(result.output, kLegend + ".", 101);
    EXPECT_FALSE(dir.Exists("index.dat"));
  }
}

TEST(EndToEndTest, RefusedMemoryGives203AndLeavesTheIndexAlone) {
#if defined(VOS_TEST_UNDER_ASAN)
  GTEST_SKIP() << "the address sanitizer needs far more address space than the limit leaves";
#else
  TempDir dir;
  // 50000 entries with keys of 200 bytes: some 25 MB of trie, more than the 16 MB limit leaves after start-up.
  std::string dictionary;
  for (int i = 0; i < 50000; ++i) {
    std::string key = std::to_string(i);
    key.resize(200, 'k');
    dictionary += "%\n" + key + "\n";
  }
  dir.Write("dict.txt", dictionary);
  dir.Write("index.dat", kKeep);
  RunOptions options;
  options.addressSpaceLimit = 16u << 20;
  RunResult result = RunVos(dir, {}, options);
  EXPECT_EQ(result.status, 203);
  // The stop comes during the scan: the legend, some dots, the report right after them.
  size_t report = result.output.find("Runtime error");
  ASSERT_NE(report, std::string::npos) << result.output;
  const std::string before = result.output.substr(0, report);
  ASSERT_EQ(before.substr(0, kLegend.size()), kLegend);
  EXPECT_GT(before.size(), kLegend.size());
  EXPECT_EQ(before.find_first_not_of('.', kLegend.size()), std::string::npos) << before;
  ExpectOutputThenReport(result.output, before, 203);
  EXPECT_EQ(dir.Read("index.dat"), kKeep);
#endif
}

// A sparse dictionary: 1000 short lines, then zeros up to `zerosEnd`, then the lines after them.
void WriteSparseDictionary(const TempDir& dir, int64_t zerosEnd, const std::string& tail) {
  const std::string head = Lines(1000);
  int handle = ::open(dir.Path("dict.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(handle, 0);
  ASSERT_EQ(::write(handle, head.data(), head.size()), static_cast<ssize_t>(head.size()));
  ASSERT_EQ(::ftruncate(handle, zerosEnd), 0);
  ASSERT_EQ(::pwrite(handle, tail.data(), tail.size(), zerosEnd), static_cast<ssize_t>(tail.size()));
  ::close(handle);
}

// Entry offsets are 32-bit: an entry that starts at 2^31 - 1 is filed, one beyond it stops the run with 215 at its
// "%" line, right after the dot of the first 1000 lines, before any index is written.
TEST(EndToEndTest, EntryOffsetBeyond32BitsGives215) {
  constexpr int64_t kLast = 2147483647;
  {
    SCOPED_TRACE("last storable offset");
    TempDir dir;
    // The zero line ends with its LF at kLast - 3, the "%" line takes two bytes: "x" starts at kLast.
    WriteSparseDictionary(dir, kLast - 3, "\n%\nx\n");
    RunResult result = RunVos(dir, {});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, kLegend +
                                 ".\nGeamtzahl: 1\nL\xE4ngstes Wort: x (1 Zeichen)\n"
                                 "H\xE4ufigster Eintrag: \"\" (1x)\n");
    EXPECT_NE(dir.Read("index.dat").find("\xFF\xFF\xFF\x7F"), std::string::npos) << "the offset 2^31 - 1 is filed";
  }
  {
    SCOPED_TRACE("one byte more");
    TempDir dir;
    dir.Write("index.dat", kKeep);
    WriteSparseDictionary(dir, kLast - 2, "\n%\nx\n");
    RunResult result = RunVos(dir, {});
    EXPECT_EQ(result.status, 215);
    ExpectOutputThenReport(result.output, kLegend + ".", 215);
    EXPECT_EQ(dir.Read("index.dat"), kKeep);
  }
}

}  // namespace
}  // namespace vos::test
