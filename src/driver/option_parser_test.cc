#include "driver/option_parser.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "runtime/run_stop.h"
#include "runtime/sys_io.h"

namespace vos {
namespace {

std::string capturedOutput;

int64_t CaptureWrite(int handle, const void* buffer, size_t count) {
  if (handle == kStandardOutput) capturedOutput.append(static_cast<const char*>(buffer), count);
  return static_cast<int64_t>(count);
}

// An argument vector of exactly argc elements with no terminating null pointer, so that the sanitizer catches
// any read of argv[argc].
struct ArgVector {
  std::vector<std::string> texts;
  std::unique_ptr<char*[]> pointers;

  explicit ArgVector(std::vector<std::string> args) : texts(std::move(args)), pointers(new char*[texts.size()]) {
    for (size_t i = 0; i < texts.size(); ++i) pointers[i] = texts[i].data();
  }
  int argc() const { return static_cast<int>(texts.size()); }
  char** argv() { return pointers.get(); }
};

class OptionParserTest : public testing::Test {
 protected:
  void SetUp() override {
    capturedOutput.clear();
    ioStatus = 0;
    sys.write = CaptureWrite;
  }
  void TearDown() override { sys = RealSysCalls(); }
};

// One result of NextOption. `argument` is given only where optionArgument differs from optionValue.
struct Step {
  int result;
  std::string value = "";
  int16_t longIndex = 0;  // 0: the call must leave longIndex alone
  std::optional<std::string> argument = std::nullopt;
};

std::string Render(int result, std::string_view value, std::string_view argument, int16_t longIndex) {
  std::string text;
  if (result == kNoMoreOptions) {
    text = "END";
  } else {
    text = std::string(1, static_cast<char>(result));
  }
  if (!value.empty() || !argument.empty()) text += "[" + std::string(value) + "]";
  if (argument != value) text += "(whole: " + std::string(argument) + ")";
  if (longIndex != 0) text += "#" + std::to_string(longIndex);
  return text;
}

std::string Render(const Step& step) {
  return Render(step.result, step.value, step.argument.value_or(step.value), step.longIndex);
}

// Runs the parser over `args` (program name first) with the program's own options and renders every result up to
// and including NoMoreOptions. The parser must keep giving NoMoreOptions once it has given it.
std::vector<std::string> RunParser(std::vector<std::string> args) {
  ArgVector vector(std::move(args));
  OptionParser parser = StartOptions(vector.argc(), vector.argv());
  std::vector<std::string> results;
  for (int calls = 0; calls < 1000; ++calls) {
    int16_t longIndex = 0;
    uint8_t result = NextOption(parser, kShortOptions, kLongOptionTable, longIndex);
    results.push_back(Render(result, View(parser.optionValue), parser.optionArgument, longIndex));
    if (result == kNoMoreOptions) {
      int16_t unused = 0;
      if (NextOption(parser, kShortOptions, kLongOptionTable, unused) != kNoMoreOptions) {
        results.push_back("another option after the end");
      }
      break;
    }
  }
  return results;
}

struct ParseCase {
  const char* label;
  std::vector<std::string> args;  // after the program name
  std::vector<Step> steps;        // every result before NoMoreOptions
  std::string output;             // everything written to standard output
  std::string program = "vos";
};

const std::string k300(300, 'x');
const std::string kLongProgram = std::string(1, '/').append(299, 'p');

std::vector<Step> Repeat(int result, int count) { return std::vector<Step>(static_cast<size_t>(count), {result}); }

std::vector<Step> Concat(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<ParseCase> ParseCases() {
  return {
      {"no arguments", {}, {}, ""},
      {"cluster fc", {"-fc"}, {{'f'}, {'c'}}, ""},
      {"cluster cf", {"-cf"}, {{'c'}, {'f'}}, ""},
      {"attached short value", {"-ifile"}, {{'i', "file"}}, ""},
      {"separate short value", {"-i", "file"}, {{'i', "file"}}, ""},
      {"long value after =", {"--index=file"}, {{'i', "file", 1}}, ""},
      {"long value separate", {"--index", "file"}, {{'i', "file", 1}}, ""},
      {"empty value after =", {"--index="}, {{'i', "", 1}}, ""},
      {"value holding =", {"--dict=a=b"}, {{'d', "a=b", 2}}, ""},
      {"empty separate value", {"-e", ""}, {{'e', ""}}, ""},
      {"value after a flag in a cluster", {"-fifile"}, {{'f'}, {'i', "file"}}, ""},
      {"short value that looks like an option", {"-i", "-f"}, {{'i', "-f"}}, ""},
      {"short value -- does not end the options", {"-i", "--", "-c"}, {{'i', "--"}, {'c'}}, ""},
      {"long value --", {"--index", "--", "-c"}, {{'i', "--", 1}, {'c'}}, ""},
      {"long value that looks like an option", {"--dict", "--full"}, {{'d', "--full", 2}}, ""},
      {"lone - as a value", {"-d", "-"}, {{'d', "-"}}, ""},
      {"single dash is never long: index", {"-index"}, {{'i', "ndex"}}, ""},
      {"single dash is never long: dos-format", {"-dos-format"}, {{'d', "os-format"}}, ""},
      {"single dash is never long: version", {"-version"}, {{'v'}, {'e', "rsion"}}, ""},
      {"short value missing", {"-i"}, {{'?'}}, "vos: option requires an argument -- i\n"},
      {"short value missing after a cluster", {"-fe"}, {{'f'}, {'?'}}, "vos: option requires an argument -- e\n"},
      {"long value missing", {"--dict"}, {{'?'}}, "vos: option dict requires an argument\n"},
      {"long value missing names the whole name", {"-f", "--ict"}, {{'f'}, {'?'}},
       "vos: option dict requires an argument\n"},
      {"value to a flag", {"--full=yes"}, {{'?'}}, "vos: option \"--full\" doesn't allow an argument\n"},
      {"empty value to a flag", {"--case="}, {{'?'}}, "vos: option \"--case\" doesn't allow an argument\n"},
      {"value to a flag named in part", {"--sion=1"}, {{'?'}}, "vos: option \"--version\" doesn't allow an argument\n"},
      {"part fu", {"--fu"}, {{'f', "", 3}}, ""},
      {"part ull", {"--ull"}, {{'f', "", 3}}, ""},
      {"part ll", {"--ll"}, {{'f', "", 3}}, ""},
      {"part ver", {"--ver"}, {{'v', "", 7}}, ""},
      {"part sion", {"--sion"}, {{'v', "", 7}}, ""},
      {"part rsi", {"--rsi"}, {{'v', "", 7}}, ""},
      {"part mat", {"--mat"}, {{'D', "", 6}}, ""},
      {"part - (three dashes)", {"---"}, {{'D', "", 6}}, ""},
      {"part in", {"--in", "x"}, {{'i', "x", 1}}, ""},
      {"part clu", {"--clu=y"}, {{'e', "y", 4}}, ""},
      {"whole names", {"--full", "--case", "--dos-format", "--version", "--exclude", "e"},
       {{'f', "", 3}, {'c', "", 5}, {'D', "", 6}, {'v', "", 7}, {'e', "e", 4}}, ""},
      {"ambiguous d", {"--d"}, {{'?'}}, "vos: option \"d\" is ambiguous\n"},
      {"ambiguous e", {"--e"}, {{'?'}}, "vos: option \"e\" is ambiguous\n"},
      {"ambiguous x", {"--x"}, {{'?'}}, "vos: option \"x\" is ambiguous\n"},
      {"ambiguous ex", {"--ex"}, {{'?'}}, "vos: option \"ex\" is ambiguous\n"},
      {"ambiguous de", {"--de"}, {{'?'}}, "vos: option \"de\" is ambiguous\n"},
      {"ambiguous c", {"--c"}, {{'?'}}, "vos: option \"c\" is ambiguous\n"},
      {"ambiguous f", {"--f"}, {{'?'}}, "vos: option \"f\" is ambiguous\n"},
      {"ambiguous s", {"--s"}, {{'?'}}, "vos: option \"s\" is ambiguous\n"},
      {"ambiguous shows no = part", {"--d=x"}, {{'?'}}, "vos: option \"d\" is ambiguous\n"},
      {"ambiguous consumes only itself", {"--d", "x", "-f"}, {{'?'}, {'f'}}, "vos: option \"d\" is ambiguous\n"},
      {"unknown long", {"--foo"}, {{'?'}}, "vos unrecognized option \"--foo\"\n"},
      {"unknown long with value", {"--foo=bar"}, {{'?'}}, "vos unrecognized option \"--foo\"\n"},
      {"empty long name", {"--=x"}, {{'?'}}, "vos unrecognized option \"--\"\n"},
      {"empty long name, no value", {"--="}, {{'?'}}, "vos unrecognized option \"--\"\n"},
      {"long names are case-sensitive", {"--FULL"}, {{'?'}}, "vos unrecognized option \"--FULL\"\n"},
      {"longer than every name", {"--fulll"}, {{'?'}}, "vos unrecognized option \"--fulll\"\n"},
      {"error does not hide later options", {"--foo", "-f"}, {{'?'}, {'f'}}, "vos unrecognized option \"--foo\"\n"},
      {"unknown short", {"-x"}, {{'?'}}, "vos: illegal option -- x\n"},
      {"colon is no option", {"-:"}, {{'?'}}, "vos: illegal option -- :\n"},
      {"dash inside a cluster", {"-f-"}, {{'f'}, {'?'}}, "vos: illegal option -- -\n"},
      {"rest of a cluster after an error", {"-xf"}, {{'?'}, {'f'}}, "vos: illegal option -- x\n"},
      {"short options are case-sensitive", {"-F"}, {{'?'}}, "vos: illegal option -- F\n"},
      {"non-ASCII byte reported as it is", {"-\xE4"}, {{'?'}}, "vos: illegal option -- \xE4\n"},
      {"-- ends the options", {"--", "-f"}, {}, ""},
      {"-- after an option", {"-c", "--", "-f", "--full"}, {{'c'}}, ""},
      {"non-option passed over", {"file", "-f"}, {{'f'}}, ""},
      {"lone - passed over", {"-", "-f"}, {{'f'}}, ""},
      {"empty argument passed over", {"", "-f", ""}, {{'f'}}, ""},
      {"options between non-options, in order", {"a", "-d", "x", "b", "--index=y", "c"},
       {{'d', "x"}, {'i', "y", 1}}, ""},
      {"separate value of 300 bytes", {"-i", k300}, {{'i', k300.substr(0, 255), 0, k300}}, ""},
      {"long separate value of 300 bytes", {"--index", k300}, {{'i', k300.substr(0, 255), 1, k300}}, ""},
      // Of a long argument only its first 255 bytes count; the value as it stands in argv is kept whole.
      {"attached value in a long argument", {"-i" + k300}, {{'i', k300.substr(0, 253), 0, k300}}, ""},
      {"value after = in a long argument", {"--index=" + k300}, {{'i', k300.substr(0, 247), 1, k300}}, ""},
      {"value letter as the last counted byte", {"-" + std::string(253, 'f') + "iabc", "next"},
       Concat(Repeat('f', 253), {{'i', "", 0, "abc"}}), ""},
      {"bytes after the first 255 are not options", {"-" + std::string(254, 'c') + "ifile"}, Repeat('c', 254), ""},
      {"long name cut at 255 bytes", {"--" + std::string(300, 'n') + "=v"}, {{'?'}},
       "vos unrecognized option \"--" + std::string(253, 'n') + "\"\n"},
      {"program name of 300 bytes appears whole", {"-x", "--foo"}, {{'?'}, {'?'}},
       kLongProgram + ": illegal option -- x\n" + kLongProgram + " unrecognized option \"--foo\"\n", kLongProgram},
  };
}

TEST_F(OptionParserTest, ResultsValuesAndDiagnostics) {
  for (const ParseCase& c : ParseCases()) {
    SCOPED_TRACE(c.label);
    capturedOutput.clear();
    std::vector<std::string> args = {c.program};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::vector<std::string> expected;
    for (const Step& step : c.steps) expected.push_back(Render(step));
    expected.push_back("END");
    EXPECT_EQ(RunParser(args), expected);
    EXPECT_EQ(capturedOutput, c.output);
  }
}

TEST_F(OptionParserTest, EmptyOrMissingVectorGivesNoMoreOptions) {
  int16_t longIndex = 0;
  OptionParser none = StartOptions(0, nullptr);
  EXPECT_EQ(NextOption(none, kShortOptions, kLongOptionTable, longIndex), kNoMoreOptions);
  ArgVector empty({});
  OptionParser zero = StartOptions(0, empty.argv());
  EXPECT_EQ(NextOption(zero, kShortOptions, kLongOptionTable, longIndex), kNoMoreOptions);
  EXPECT_EQ(capturedOutput, "");
}

TEST_F(OptionParserTest, ExactNameWinsOverEarlierPartialMatch) {
  const LongOptionEntry table[] = {
      {"xfull", ArgumentKind::kNone, nullptr, 'x'},
      {"fullness", ArgumentKind::kNone, nullptr, 'n'},
      {"full", ArgumentKind::kNone, nullptr, 'f'},
      {"", ArgumentKind::kNone, nullptr, 0},
  };
  ArgVector args({"vos", "--full", "--ful"});
  OptionParser parser = StartOptions(args.argc(), args.argv());
  int16_t longIndex = 0;
  EXPECT_EQ(NextOption(parser, "xfn", table, longIndex), 'f');
  EXPECT_EQ(longIndex, 3);
  EXPECT_EQ(NextOption(parser, "xfn", table, longIndex), kBadOption);
  EXPECT_EQ(capturedOutput, "vos: option \"ful\" is ambiguous\n");
}

TEST_F(OptionParserTest, FlagTargetAndOptionalValue) {
  uint8_t flag = 0;
  const LongOptionEntry table[] = {
      {"quiet", ArgumentKind::kNone, &flag, 'q'},
      {"color", ArgumentKind::kOptional, nullptr, 'k'},
      {"", ArgumentKind::kNone, nullptr, 0},
  };
  ArgVector args({"vos", "--quiet", "--color", "next", "--color=always"});
  OptionParser parser = StartOptions(args.argc(), args.argv());
  int16_t longIndex = 0;
  EXPECT_EQ(NextOption(parser, "", table, longIndex), 0);
  EXPECT_EQ(flag, 'q');
  EXPECT_EQ(longIndex, 1);
  // An optional value is taken only after "=", never from the next argument.
  EXPECT_EQ(NextOption(parser, "", table, longIndex), 'k');
  EXPECT_EQ(View(parser.optionValue), "");
  EXPECT_EQ(NextOption(parser, "", table, longIndex), 'k');
  EXPECT_EQ(View(parser.optionValue), "always");
  EXPECT_EQ(NextOption(parser, "", table, longIndex), kNoMoreOptions);
}

int64_t FailingWrite(int, const void*, size_t count) { return static_cast<int64_t>(count) - 1; }

// A diagnostic that cannot be written ends the run with the write error, before NextOption returns.
TEST(OptionParserDeathTest, FailedDiagnosticStopsTheRun) {
  auto parseBadOption = [] {
    sys.write = FailingWrite;
    ArgVector args({"vos", "-x"});
    OptionParser parser = StartOptions(args.argc(), args.argv());
    int16_t longIndex = 0;
    NextOption(parser, kShortOptions, kLongOptionTable, longIndex);
    sys.exit(0);
  };
  EXPECT_EXIT(parseBadOption(), testing::ExitedWithCode(101), "");
}

// Random argument vectors, salted with the pieces that the parser gives meaning to.
std::string RandomArgument(std::mt19937& random) {
  static const char* const kPieces[] = {"-",      "--",   "---",  "--=", "-:",    "=",      "-i",     "-fc",
                                        "--ind", "--d",  "--ex", "--full", "--dict", "-D",    "--sion=", "x"};
  std::string text;
  int pieces = static_cast<int>(random() % 4);
  for (int i = 0; i < pieces; ++i) text += kPieces[random() % std::size(kPieces)];
  size_t length = random() % 8 == 0 ? random() % 400 : random() % 6;
  for (size_t i = 0; i < length; ++i) text += static_cast<char>(1 + random() % 255);
  return text;
}

bool LiesWithin(std::string_view part, const std::string& text) {
  std::less_equal<const char*> notAfter;
  return notAfter(text.data(), part.data()) && notAfter(part.data() + part.size(), text.data() + text.size());
}

TEST_F(OptionParserTest, RandomVectorsEndWithKnownResults) {
  const std::string_view kResults = "idfecDv?";
  std::mt19937 random(20011211);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::string> texts = {"vos"};
    int count = static_cast<int>(random() % 40);
    size_t budget = 1;
    for (int i = 0; i < count; ++i) {
      texts.push_back(RandomArgument(random));
      budget += texts.back().size() + 1;
    }
    SCOPED_TRACE("round " + std::to_string(round));
    ArgVector args(texts);
    OptionParser parser = StartOptions(args.argc(), args.argv());
    capturedOutput.clear();
    size_t calls = 0;
    uint8_t result = 0;
    do {
      ASSERT_LE(++calls, budget);
      size_t before = capturedOutput.size();
      int16_t longIndex = 0;
      result = NextOption(parser, kShortOptions, kLongOptionTable, longIndex);
      ASSERT_TRUE(result == kNoMoreOptions || kResults.find(static_cast<char>(result)) != std::string_view::npos)
          << int{result};
      std::string_view written = std::string_view(capturedOutput).substr(before);
      if (result == kBadOption) {
        ASSERT_TRUE(written.starts_with("vos") && written.ends_with("\n")) << written;
      } else {
        ASSERT_EQ(written, "");
      }
      std::string_view value = View(parser.optionValue);
      if (result == 'i' || result == 'd' || result == 'e') {
        ASSERT_TRUE(parser.optionArgument.starts_with(value));
        bool inArgv = false;
        for (const std::string& text : args.texts) inArgv = inArgv || LiesWithin(parser.optionArgument, text);
        ASSERT_TRUE(inArgv || parser.optionArgument.empty());
      } else {
        ASSERT_EQ(value, "");
        ASSERT_EQ(parser.optionArgument, "");
      }
    } while (result != kNoMoreOptions);
  }
}

}  // namespace
}  // namespace vos
