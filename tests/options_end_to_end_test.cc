// The command line through the built vos: diagnostics on standard output with the program name as invoked, the
// settings that the options leave behind (seen in the summary and the index), and the exit status, which a bad
// option never changes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace vos::test {
namespace {

const std::string kDictionary = "%\nHaus, Heim\nein Geb\xE4ude\n%\nHof\n";
const std::string kLegend = ". = 1000 Zeilen\n\n";
const std::string kHeadwordSummary =
    kLegend + "Geamtzahl: 3\nL\xE4ngstes Wort:  heim (5 Zeichen)\nH\xE4ufigster Eintrag: \"\" (1x)\n";
const std::string kFullTextSummary =
    kLegend + "Geamtzahl: 5\nL\xE4ngstes Wort: geb\xE4ude (7 Zeichen)\nH\xE4ufigster Eintrag: \"\" (1x)\n";
const std::string kKeepCaseSummary =
    kLegend + "Geamtzahl: 3\nL\xE4ngstes Wort:  Heim (5 Zeichen)\nH\xE4ufigster Eintrag: \"\" (1x)\n";
const std::string kVersion = "vos 1, 2001/12/11\n";

struct OptionRun {
  std::vector<std::string> args;
  std::string expectedOutput;  // "P" stands for the program name as invoked
  std::string indexFile;       // where the index must have been written ("" for none)
};

// \x01 in an expected output stands for the program name.
std::string WithProgram(const std::string& text, const std::string& program) {
  std::string out;
  for (char c : text) out += c == '\x01' ? program : std::string(1, c);
  return out;
}

TEST(OptionsEndToEndTest, OptionsActInOrderAndDiagnosticsNeverFailTheRun) {
  const OptionRun runs[] = {
      {{}, kHeadwordSummary, "index.dat"},
      {{"-f"}, kFullTextSummary, "index.dat"},
      {{"--", "-f"}, kHeadwordSummary, "index.dat"},
      {{"file", "-f"}, kFullTextSummary, "index.dat"},
      {{"--fu"}, kFullTextSummary, "index.dat"},
      {{"-fc"}, kLegend + "Geamtzahl: 5\nL\xE4ngstes Wort: Geb\xE4ude (7 Zeichen)\nH\xE4ufigster Eintrag: \"\" (1x)\n",
       "index.dat"},
      {{"--case"}, kKeepCaseSummary, "index.dat"},
      {{"--foo", "-f"}, "\x01 unrecognized option \"--foo\"\n" + kFullTextSummary, "index.dat"},
      {{"--full=yes"}, "\x01: option \"--full\" doesn't allow an argument\n" + kHeadwordSummary, "index.dat"},
      {{"--ex", "x"}, "\x01: option \"ex\" is ambiguous\n" + kHeadwordSummary, "index.dat"},
      {{"-x", "-i", "a.dat"}, "\x01: illegal option -- x\n" + kHeadwordSummary, "a.dat"},
      {{"-i"}, "\x01: option requires an argument -- i\n" + kHeadwordSummary, "index.dat"},
      {{"--dict"}, "\x01: option dict requires an argument\n" + kHeadwordSummary, "index.dat"},
      {{"-i", "a.dat", "--index=b.dat"}, kHeadwordSummary, "b.dat"},
      {{"-ia.dat"}, kHeadwordSummary, "a.dat"},
      {{"--in", "a.dat"}, kHeadwordSummary, "a.dat"},
      {{"-f", "--sion", "-c"}, kVersion, ""},
      {{"--bogus", "-version"}, "\x01 unrecognized option \"--bogus\"\n" + kVersion, ""},
      {{"-D"}, kHeadwordSummary, "index.dat"},
  };
  for (const std::string& program : {std::string("vos"), VosBinary()}) {
    for (const OptionRun& run : runs) {
      std::string label = program;
      for (const std::string& a : run.args) label += " " + a;
      SCOPED_TRACE(label);
      TempDir dir;
      dir.Write("dict.txt", kDictionary);
      RunOptions options;
      options.workDir = dir.path;
      options.argv0 = program;
      RunResult result = RunProgram(VosBinary(), run.args, options);
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.output, WithProgram(run.expectedOutput, program));
      EXPECT_EQ(result.errors, "");
      for (const char* name : {"index.dat", "a.dat", "b.dat"}) EXPECT_EQ(dir.Exists(name), run.indexFile == name);
    }
  }
}

TEST(OptionsEndToEndTest, AValueMayLookLikeAnOption) {
  TempDir dir;
  dir.Write("--full", kDictionary);
  RunOptions options;
  options.workDir = dir.path;
  RunResult result = RunProgram(VosBinary(), {"--dict", "--full"}, options);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, kHeadwordSummary);  // read "--full" as the dictionary; full-text mode stays off
}

TEST(OptionsEndToEndTest, DosFormatCountsTwoBytesPerLineEnd) {
  TempDir dir;
  dir.Write("dict.txt", "%\r\nHof\r\n");
  RunOptions options;
  options.workDir = dir.path;
  ASSERT_EQ(RunProgram(VosBinary(), {"--dos-format"}, options).status, 0);
  std::string index = dir.Read("index.dat");
  // The one key's single posting is the last 4 bytes: the headword line starts at byte 3.
  ASSERT_GE(index.size(), 4u);
  EXPECT_EQ(index.substr(index.size() - 4), std::string("\x03\0\0\0", 4));
}

}  // namespace
}  // namespace vos::test
