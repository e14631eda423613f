// vos-lookup run as a user would: vos writes the index of a small dictionary, vos-lookup reads it, under a
// locale given in the environment.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace vos {
namespace {

class LookupProgramTest : public testing::Test {
 protected:
  void SetUp() override {
    dir.Write("dict.txt", "%\nHaus, Heim\nein Geb\xE4ude\n%\nHof\n");
    ASSERT_EQ(Run(test::VosBinary(), {}).status, 0);
    dir.Write("empty.dat", "");
    dir.Write("short.dat", dir.Read("index.dat").substr(0, 40));
    // The sample dictionary's index, cut short, and with a key its own descent no longer leads to.
    ASSERT_EQ(Run(test::VosBinary(), {"-d", test::SourceDir() + "/examples/dict.txt", "-i", "sample.dat"}).status, 0);
    std::string sample = dir.Read("sample.dat");
    dir.Write("sample-short.dat", sample.substr(0, 1600));
    sample.replace(sample.find("\x03hof"), 4, "\x03hoa");
    dir.Write("altered.dat", sample);
    ASSERT_EQ(::mkfifo(dir.Path("pipe.dat").c_str(), 0600), 0);
  }
  test::RunResult Run(const std::string& program, const std::vector<std::string>& args) {
    test::RunOptions options;
    options.workDir = dir.path;
    return test::RunProgram(program, args, options);
  }
  // vos-lookup under the locale `locale` (LC_ALL).
  test::RunResult Lookup(const std::vector<std::string>& args, const std::string& locale = "C") {
    std::vector<std::string> all = {"LC_ALL=" + locale, test::LookupBinary()};
    all.insert(all.end(), args.begin(), args.end());
    return Run("/usr/bin/env", all);
  }
  test::TempDir dir;
};

struct ProgramCase {
  std::vector<std::string> args;
  int status;
  std::string output;
  std::string errors;  // a fragment of standard error; empty means none at all
  std::string locale = "C";
};

void Expect(const ProgramCase& c, const test::RunResult& result) {
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.output, c.output);
  if (c.errors.empty()) {
    EXPECT_EQ(result.errors, "");
  } else {
    EXPECT_NE(result.errors.find(c.errors), std::string::npos) << result.errors;
  }
}

std::string Shown(const std::vector<std::string>& args) {
  std::string shown = "vos-lookup";
  for (const std::string& a : args) shown += " '" + a + "'";
  return shown;
}

TEST_F(LookupProgramTest, AnswersLooksUpListsAndChecks) {
  const ProgramCase cases[] = {
      {{"Haus"}, 0, "haus\t2\n", ""},
      {{"HAUS", " Heim", "hof"}, 0, "haus\t2\n heim\t2\nhof\t27\n", ""},
      {{"Heim"}, 0, " heim\t2\n", ""},  // the answer names the key that matched
      {{"-i", "index.dat", "--index=index.dat", "hof"}, 0, "hof\t27\n", ""},
      {{"-c", "Haus"}, 1, "", "vos-lookup: not found: Haus\nvos-lookup: did you mean: haus\n"},
      {{"--case", "hof"}, 0, "hof\t27\n", ""},
      {{"haus", "hoff", "hof"}, 1, "haus\t2\nhof\t27\n", "not found: hoff\nvos-lookup: did you mean: hof\n"},
      {{"zzzzzz"}, 1, "", "vos-lookup: not found: zzzzzz\n"},
      {{"--", "-c"}, 1, "", "not found: -c"},
      {{"hof", "-i", "index.dat"}, 0, "hof\t27\n", ""},  // options after words
      {{"-d", "dict.txt", "haus", "hof"}, 0, "%\nHaus, Heim\nein Geb\xE4ude\n%\nHof\n", ""},
      {{"--dict=dict.txt", "Hof"}, 0, "%\nHof\n", ""},
      {{"--dump"}, 0, " heim\t2\nhaus\t2\nhof\t27\n", ""},
      {{"--dump", "--sorted"}, 0, " heim\t2\nhaus\t2\nhof\t27\n", ""},
      {{"--check"}, 0, "index.dat: ok, 3 keys\n", ""},
      {{"--version"}, 0, "vos-lookup 1\n", ""},
      {{"-m", "-s", "prefix", "h"}, 0, " heim\nhaus\nhof\n", ""},
      {{"--strategy=SUFFIX", "--match", "OF"}, 0, "hof\n", ""},
      {{"-ms", "lev", "Hau"}, 0, "haus\n", ""},
      {{"-m", "Hox"}, 0, "hof\n", ""},
      {{"-s", "substring", "au"}, 0, "haus\t2\n", ""},
      {{"-s", "exact", "-d", "dict.txt", "heim"}, 0, "%\nHaus, Heim\nein Geb\xE4ude\n", ""},
      {{"-m", "-s", "prefix", "x"}, 1, "", "no match: x"},
      {{"-m", "-s", "re", "("}, 2, "", "bad pattern '(': "},
      {{"-s", "nonsense", "x"}, 2, "", "unknown strategy 'nonsense'"},
      {{"-i", "missing.dat", "haus"}, 2, "", "vos-lookup: missing.dat: No such file or directory\n"},
      {{"-i", ".", "haus"}, 2, "", "vos-lookup: .: Is a directory\n"},
      {{"-i", "empty.dat", "haus"}, 2, "", "vos-lookup: empty.dat: not a vos index\n"},
      {{"-i", "dict.txt", "haus"}, 2, "", "vos-lookup: dict.txt: not a vos index\n"},
      {{"-i", "short.dat", "hof"}, 2, "", "vos-lookup: short.dat: truncated index: "},
      {{"-i", "short.dat", "--check"}, 2, "", "vos-lookup: short.dat: record 17 "},
      {{"-i", "short.dat", "--dump"}, 2, "", "vos-lookup: short.dat: truncated index: "},
      {{"-d", "missing.txt", "haus"}, 2, "", "vos-lookup: missing.txt: No such file or directory\n"},
      // Neither waits for a writer.
      {{"-i", "pipe.dat", "haus"}, 2, "", "vos-lookup: pipe.dat: not a regular file\n"},
      {{"-d", "pipe.dat", "haus"}, 2, "", "vos-lookup: pipe.dat: not a regular file\n"},
      {{"-i", "sample-short.dat", "Hausx"}, 2, "", "not found: Hausx\nvos-lookup: sample-short.dat: truncated index: "},
      {{"-i", "altered.dat", "-s", "prefix", "hoa"}, 2, "",
       "vos-lookup: altered.dat: damaged index: the key 'hoa' is not found by its own descent\n"},
      {{"-x"}, 2, "", "vos-lookup: unknown option '-x'\nUsage: vos-lookup"},
      {{"--index=index.dat", "-xm", "haus"}, 2, "", "vos-lookup: unknown option '-x'\n"},
      {{"--help=x"}, 2, "", "option '--help' takes no value"},
      {{"--bogus"}, 2, "", "option '--bogus'"},
      {{"--dump=yes"}, 2, "", "option '--dump' takes no value"},
      {{"-i"}, 2, "", "option '-i' needs a value"},
      {{"--dict"}, 2, "", "option '--dict' needs a value"},
      {{}, 2, "", "no word to look up"},
      {{"--dump", "haus"}, 2, "", "--dump takes no words"},
      {{"--dump", "--check"}, 2, "", "cannot be combined"},
      {{"--sorted"}, 2, "", "--sorted applies only to --dump"},
      {{"-d", "dict.txt", "--check"}, 2, "", "apply only to looking words up"},
      {{"--charset=klingon", "haus"}, 2, "", "unknown character set 'klingon'"},
  };
  for (const ProgramCase& c : cases) {
    SCOPED_TRACE(Shown(c.args));
    Expect(c, Lookup(c.args, c.locale));
  }
}

// Words come in and keys and entries go out in the locale's character set; the C locale passes the index's bytes.
TEST_F(LookupProgramTest, ConvertsWordsKeysAndEntriesToTheLocalesCharacterSet) {
  dir.Write("dict.txt", "%\nGeb\xE4ude, Stra\xDF" "e\nein \xD6lbaum\n%\n\xC4pfel\n");
  ASSERT_EQ(Run(test::VosBinary(), {}).status, 0);
  const std::string utf8 = "C.UTF-8";
  const ProgramCase cases[] = {
      {{"Geb\xC3\xA4ude"}, 0, "geb\xC3\xA4ude\t2\n", "", utf8},
      {{"\xC3\x84pfel"}, 0, "\xC3\xA4pfel\t31\n", "", utf8},  // Ä typed, ä filed
      {{"Stra\xC3\x9F" "e"}, 0, " stra\xC3\x9F" "e\t2\n", "", utf8},
      {{"-d", "dict.txt", "Geb\xC3\xA4ude"}, 0, "%\nGeb\xC3\xA4ude, Stra\xC3\x9F" "e\nein \xC3\x96lbaum\n", "", utf8},
      {{"--dump", "--sorted"}, 0, " stra\xC3\x9F" "e\t2\ngeb\xC3\xA4ude\t2\n\xC3\xA4pfel\t31\n", "", utf8},
      {{"-m", "-s", "re", "^.pfel$"}, 0, "\xC3\xA4pfel\n", "", utf8},  // one character, not two bytes
      {{"Geb\xE4ude"}, 2, "", "cannot read the word 'Geb\\xe4ude': invalid UTF-8 at byte 4", utf8},
      {{"5\xE2\x82\xAC"}, 1, "", "not found: 5\xE2\x82\xAC (the index's ISO-8859-1 has no U+20AC)", utf8},
      {{"Geb\xE4ude"}, 0, "geb\xE4ude\t2\n", ""},  // the C locale: the index's own bytes
      {{"-m", "-s", "re", "^.pfel$"}, 0, "\xE4pfel\n", ""},
      {{"--charset=utf-8", "Geb\xC3\xA4ude"}, 0, "geb\xC3\xA4ude\t2\n", ""},
      {{"--charset=latin1", "Geb\xE4ude"}, 0, "geb\xE4ude\t2\n", "", utf8},
      {{"--charset=ISO-8859-15", "\xA4pfel"}, 1, "", "has no U+20AC", utf8},
      {{"--charset=ISO-8859-15", "-m", "-s", "prefix", "\xE4"}, 0, "\xE4pfel\n", "", utf8},
  };
  for (const ProgramCase& c : cases) {
    SCOPED_TRACE(Shown(c.args) + " under " + c.locale);
    Expect(c, Lookup(c.args, c.locale));
  }
}

// Entries are printed only from the dictionary the index was made of.
TEST_F(LookupProgramTest, RefusesADictionaryThatDoesNotBelongToTheIndex) {
  dir.Write("other.txt", "%\nHaus\n%\nein ganz anderes W\xF6rterbuch\n");
  dir.Write("shifted.txt", "%\nHof\n%\nHaus, Heim\n");
  const ProgramCase cases[] = {
      {{"-d", "other.txt", "hof"}, 2, "", "vos-lookup: other.txt: the dictionary does not belong to the index: "},
      {{"-d", "shifted.txt", "haus"}, 2, "", "does not belong to the index: the entry at offset 2 does not hold the key"},
      {{"-d", "other.txt", "haus", "hof"}, 2, "%\nHaus\n", "does not belong"},
      {{"-d", "other.txt", "-s", "prefix", "h"}, 2, "", "the entry at offset 2 does not hold the key"},
  };
  for (const ProgramCase& c : cases) {
    SCOPED_TRACE(Shown(c.args));
    Expect(c, Lookup(c.args));
  }
}

// In full-text mode the words before the first "%" line are filed under offset 0; they print without a "%" line.
TEST_F(LookupProgramTest, PrintsTheTextBeforeTheFirstEntryAsItIs) {
  dir.Write("dict.txt", "Vorwort zum Buch\n%\nHaus\nein Buch\n");
  ASSERT_EQ(Run(test::VosBinary(), {"-f"}).status, 0);
  Expect({{"-d", "dict.txt", "buch"}, 0, "Vorwort zum Buch\n%\nHaus\nein Buch\n", ""}, Lookup({"-d", "dict.txt", "buch"}));
}

TEST_F(LookupProgramTest, OnlyTheFirstFiveMissesGetNearKeys) {
  test::RunResult result = Lookup({"hofa", "hofb", "hofc", "hofd", "hofe", "hoff", "hofg", "hof"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.output, "hof\t27\n");
  size_t suggestions = 0;
  for (size_t at = 0; (at = result.errors.find("did you mean: hof\n", at)) != std::string::npos; ++at) ++suggestions;
  EXPECT_EQ(suggestions, 5u) << result.errors;
  EXPECT_NE(result.errors.find("not found: hofg\n"), std::string::npos) << result.errors;
}

TEST_F(LookupProgramTest, HelpListsEveryOptionAndStrategy) {
  test::RunResult result = Lookup({"--help"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output.rfind("Usage: vos-lookup", 0), 0u) << result.output;
  for (const char* text : {"--index", "--dict", "--strategy", "--match", "--case", "--charset", "--dump", "--sorted",
                           "--check", "--help", "--version", "exact", "prefix", "substring", "suffix", " re ",
                           "regexp", "soundex", "lev", "word", "first", "last", "vos -c"}) {
    EXPECT_NE(result.output.find(text), std::string::npos) << text;
  }
  EXPECT_EQ(result.errors, "");
}

TEST_F(LookupProgramTest, AFailedWriteToStandardOutputFailsTheRun) {
  test::RunResult result =
      Run("/bin/sh", {"-c", "exec \"$0\" --dump > /dev/full", test::LookupBinary()});
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.errors.find("vos-lookup: write error: No space left on device"), std::string::npos)
      << result.errors;
}

TEST_F(LookupProgramTest, CheckNamesEveryProblemOnStandardError) {
  std::string bytes = dir.Read("index.dat");
  bytes[0] = 9;  // header's longest key
  dir.Write("bad.dat", bytes);
  test::RunResult result = Lookup({"--check", "-i", "bad.dat"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors, "vos-lookup: bad.dat: the header gives the longest key as 9, the records 5\n");
}

}  // namespace
}  // namespace vos
