// The DICT protocol in memory: line framing, word splitting, command recognition, text blocks, and whole answers
// from a database built from the sample dictionary.
#include "serve/dict_protocol.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace vos {
namespace {

// Feeds `chunks` one after another and records every event: the line, "<too long>", in order.
std::vector<std::string> Frame(const std::vector<std::string>& chunks) {
  LineBuffer buffer;
  std::vector<std::string> events;
  std::string line;
  for (const std::string& chunk : chunks) {
    AppendReceived(buffer, chunk);
    for (;;) {
      LineOutcome outcome = NextLine(buffer, line);
      if (outcome == LineOutcome::kNeedMore) break;
      events.push_back(outcome == LineOutcome::kLine ? line : "<too long>");
    }
    EXPECT_LE(buffer.bytes.size() - buffer.start, kMaxCommandLine + chunk.size());
  }
  return events;
}

TEST(DictProtocolTest, CutsCommandLinesOutOfReceivedBytes) {
  const std::string longest(kMaxCommandLine - 2, 'x');  // with CRLF exactly the limit
  const std::string tooLong(kMaxCommandLine - 1, 'x');
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<std::string> events;
  } cases[] = {
      {"CRLF", {"STATUS\r\n"}, {"STATUS"}},
      {"a bare LF", {"STATUS\n"}, {"STATUS"}},
      {"pipelined in one block", {"HELP\r\nSTATUS\nQUIT\r\n"}, {"HELP", "STATUS", "QUIT"}},
      {"split across blocks, CR and LF apart", {"STA", "TUS\r", "\nQU", "IT\n"}, {"STATUS", "QUIT"}},
      {"an empty line", {"\r\n"}, {""}},
      {"no line end yet", {"STATUS"}, {}},
      {"the longest line", {longest + "\r\n"}, {longest}},
      {"one byte too long, then a good line", {tooLong + "\r\nSTATUS\r\n"}, {"<too long>", "STATUS"}},
      {"too long before its end arrives", {std::string(5000, 'y'), std::string(5000, 'y') + "\nQUIT\n"},
       {"<too long>", "QUIT"}},
      {"too long with its end in the next block", {std::string(kMaxCommandLine, 'z'), "\nHELP\n"},
       {"<too long>", "HELP"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Frame(c.chunks), c.events) << c.name;
}

TEST(DictProtocolTest, SplitsWordsWithQuotesAndEscapes) {
  struct Case {
    const char* line;
    bool ok;
    std::vector<std::string> words;
  } cases[] = {
      {"DEFINE * Haus", true, {"DEFINE", "*", "Haus"}},
      {"  define\t*   Haus  ", true, {"define", "*", "Haus"}},
      {"DEFINE * \"ice cream\"", true, {"DEFINE", "*", "ice cream"}},
      {"DEFINE * 'it\"s'", true, {"DEFINE", "*", "it\"s"}},
      {"DEFINE * \"a\\\"b\\\\c\"", true, {"DEFINE", "*", "a\"b\\c"}},
      {"DEFINE * a\\ b", true, {"DEFINE", "*", "a b"}},
      {"DEFINE * \"ab\"'cd'ef", true, {"DEFINE", "*", "abcdef"}},
      {"DEFINE * \"\"", true, {"DEFINE", "*", ""}},
      {"DEFINE * \"open", false, {}},
      {"DEFINE * trailing\\", false, {}},
      {"", true, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words;
    EXPECT_EQ(SplitWords(c.line, words), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(words, c.words) << c.line;
    }
  }
}

TEST(DictProtocolTest, RecognisesCommandsInAnyCaseWithTheirParameters) {
  struct Case {
    const char* line;
    CommandKind kind;
    std::vector<std::string> arguments;
  } cases[] = {
      {"define wn \"a b\"", CommandKind::kDefine, {"wn", "a b"}},
      {"DEFINE wn", CommandKind::kBadParameters, {}},
      {"DEFINE wn a b", CommandKind::kBadParameters, {}},
      {"Match * prefix hau", CommandKind::kMatch, {"*", "prefix", "hau"}},
      {"MATCH * prefix", CommandKind::kBadParameters, {}},
      {"show db", CommandKind::kShowDatabases, {}},
      {"SHOW DATABASES", CommandKind::kShowDatabases, {}},
      {"show Strat", CommandKind::kShowStrategies, {}},
      {"SHOW STRATEGIES", CommandKind::kShowStrategies, {}},
      {"SHOW INFO de", CommandKind::kShowInfo, {"de"}},
      {"SHOW INFO", CommandKind::kBadParameters, {}},
      {"SHOW SERVER", CommandKind::kShowServer, {}},
      {"SHOW", CommandKind::kBadParameters, {}},
      {"SHOW NOTHING", CommandKind::kUnknownParameter, {}},
      {"CLIENT dict 1.13.0/rf on Linux", CommandKind::kClient, {"dict 1.13.0/rf on Linux"}},
      {"CLIENT \"dict 1.13\"", CommandKind::kClient, {"dict 1.13"}},
      {"client Bob's client ", CommandKind::kClient, {"Bob's client"}},
      {"CLIENT", CommandKind::kClient, {""}},
      {"status", CommandKind::kStatus, {}},
      {"help", CommandKind::kHelp, {}},
      {"quit", CommandKind::kQuit, {}},
      {"option mime", CommandKind::kOptionMime, {}},
      {"OPTION PAGER", CommandKind::kUnknownParameter, {}},
      {"AUTH user secret", CommandKind::kAuth, {}},
      {"SASLAUTH PLAIN", CommandKind::kAuth, {}},
      {"DEFINEX * a", CommandKind::kUnknown, {}},
      {"", CommandKind::kUnknown, {}},
      {"DEFINE * \"open", CommandKind::kBadParameters, {}},
  };
  for (const Case& c : cases) {
    Command command = ParseCommand(c.line);
    EXPECT_EQ(command.kind, c.kind) << c.line;
    EXPECT_EQ(command.arguments, c.arguments) << c.line;
  }
}

TEST(DictProtocolTest, TextBlocksEndLinesInCrlfAndStuffDots) {
  struct Case {
    const char* name;
    std::string text;
    std::string block;
  } cases[] = {
      {"LF lines", "a\nb\n", "a\r\nb\r\n.\r\n"},
      {"CRLF and lone CR", "a\r\nb\rc", "a\r\nb\r\nc\r\n.\r\n"},
      {"a line of a single dot", "a\n.\nb\n", "a\r\n..\r\nb\r\n.\r\n"},
      {"a line that starts with a dot", ". wizard\n", ".. wizard\r\n.\r\n"},
      {"an empty line inside", "a\n\nb", "a\r\n\r\nb\r\n.\r\n"},
      {"no text", "", ".\r\n"},
      {"ISO-8859-1 letters, a dot line after a lone CR", "\xC4rger\r.\xFC\n", "\xC4rger\r\n..\xFC\r\n.\r\n"},
  };
  for (const Case& c : cases) {
    std::string out;
    AppendTextBlock(out, c.text, false);
    EXPECT_EQ(out, c.block) << c.name;
    // Converted as it is appended, the block is the one of the text's UTF-8 form, after what `out` held.
    for (bool mime : {false, true}) {
      std::string converted = "150\r\n", expected = "150\r\n";
      AppendLatin1TextBlock(converted, c.text, mime);
      AppendTextBlock(expected, Latin1ToUtf8(c.text), mime);
      EXPECT_EQ(converted, expected) << c.name;
    }
  }
  std::string out;
  AppendTextBlock(out, "x", true);
  EXPECT_EQ(out, "Content-type: text/plain; charset=utf-8\r\nContent-transfer-encoding: 8bit\r\n\r\nx\r\n.\r\n");
}

// The code of an answer's last status line.
int LastCode(const std::string& bytes) {
  size_t end = bytes.size() >= 2 ? bytes.size() - 2 : 0;
  size_t start = bytes.rfind("\r\n", end == 0 ? 0 : end - 1);
  start = start == std::string::npos ? 0 : start + 2;
  return std::stoi(bytes.substr(start, 3));
}

// A database from the sample dictionary, indexed by the built vos.
class DictAnswerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::RunResult run = test::RunProgram(
        test::VosBinary(), {"-d", test::SourceDir() + "/examples/dict.txt", "-i", dir_.Path("sample.idx")});
    ASSERT_EQ(run.status, 0) << run.output;
    DatabaseConfig config{"sample", dir_.Path("sample.idx"), test::SourceDir() + "/examples/dict.txt",
                          "Deutsch - Englisch", ""};
    std::shared_ptr<const Database> database;
    std::string error;
    ASSERT_TRUE(LoadDatabase(config, database, error)) << error;
    databases_.push_back(database);
  }

  Answer Ask(const std::string& line) { return AnswerLine(databases_, facts_, session_, line); }

  test::TempDir dir_;
  DatabaseSet databases_;
  ServerFacts facts_{"testhost", 5, 1, 1};
  Session session_;
};

TEST_F(DictAnswerTest, AnswersEachCommandWithItsCodesAndText) {
  struct Case {
    const char* line;
    std::string bytes;  // the whole answer, or its start when `prefixOnly`
    bool prefixOnly;
  } cases[] = {
      {"DEFINE sample Fluss",
       "150 1 definitions retrieved\r\n151 \"Fluss\" sample \"Deutsch - Englisch\"\r\nFluss\r\nriver\r\n.\r\n"
       "250 ok\r\n",
       false},
      // A word in UTF-8 finds its ISO-8859-1 key; the text goes back in UTF-8.
      {"DEFINE * \"K\xC3\xA4se\"",
       "150 1 definitions retrieved\r\n151 \"K\xC3\xA4se\" sample \"Deutsch - Englisch\"\r\nK\xC3\xA4se\r\n"
       "cheese\r\n.\r\n250 ok\r\n",
       false},
      // The headword after a comma is found with its leading blank.
      {"DEFINE ! Lenz", "150 1 definitions retrieved\r\n151 \"Lenz\" sample", true},
      // Two entries: one 151 block each.
      {"DEFINE sample haus", "150 2 definitions retrieved\r\n151", true},
      {"DEFINE sample Nichtda", "552 No match\r\n", false},
      {"DEFINE \"\xE2\x82\xAC\" x", "550 Invalid database, use \"SHOW DB\" for list of databases\r\n", false},
      {"DEFINE sample \"\xE2\x82\xAC\"", "552 No match\r\n", false},
      // Bytes that are not UTF-8 are read as ISO-8859-1, and the word goes back in UTF-8.
      {"DEFINE sample K\xE4se", "150 1 definitions retrieved\r\n151 \"K\xC3\xA4se\" sample", true},
      {"MATCH sample prefix haus", "152 3 matches found\r\nsample \"haus\"\r\nsample \"hausaufgabe\"\r\n"
                                    "sample \"hausaufgaben\"\r\n.\r\n250 ok\r\n", false},
      {"MATCH sample . Hous", "152 1 matches found\r\nsample \"haus\"\r\n.\r\n250 ok\r\n", false},
      {"MATCH sample nosuch x", "551 Invalid strategy, use \"SHOW STRAT\" for a list of strategies\r\n", false},
      {"MATCH sample re \"(\"", "501 ", true},
      {"MATCH nosuch exact x", "550 ", true},
      {"SHOW DB", "110 1 databases present\r\nsample \"Deutsch - Englisch\"\r\n.\r\n250 ok\r\n", false},
      {"SHOW STRAT", "111 ", true},
      {"SHOW INFO sample", "112 database information follows\r\nDeutsch - Englisch\r\n", true},
      {"SHOW INFO nosuch", "550 ", true},
      {"SHOW SERVER", "114 server information follows\r\nvos-serve", true},
      {"STATUS", "210 status", true},
      {"HELP", "113 help text follows\r\n", true},
      {"CLIENT dict 1.13", "250 ok\r\n", false},
      {"AUTH user secret", "502 Command not implemented\r\n", false},
      {"FROBNICATE", "500 Syntax error, command not recognized\r\n", false},
      {"DEFINE sample", "501 Syntax error, illegal parameters\r\n", false},
      {"OPTION FOO", "503 Command parameter not implemented\r\n", false},
      {"QUIT", "221 Closing Connection\r\n", false},
  };
  for (const Case& c : cases) {
    Answer answer = Ask(c.line);
    if (c.prefixOnly) {
      EXPECT_EQ(answer.bytes.substr(0, c.bytes.size()), c.bytes) << c.line;
      EXPECT_TRUE(answer.bytes.ends_with("\r\n")) << c.line;
    } else {
      EXPECT_EQ(answer.bytes, c.bytes) << c.line;
    }
    EXPECT_EQ(answer.close, std::string_view(c.line) == "QUIT") << c.line;
    EXPECT_EQ(answer.code, LastCode(answer.bytes)) << c.line;
  }
}

TEST_F(DictAnswerTest, MatchNamesAKeyWithAndWithoutItsBlankOnceWhetherCataloguedOrNot) {
  // "heim" and " heim" (after a comma) are one word to a person; "Heimat" sorts after both.
  dir_.Write("dup.txt", "%\nHeim\na\n%\nHaus, Heim\nb\n%\nHeimat\nc\n%\nAb, Zu\nd\n%\nSag \"ja\\\", S\xFC\xDF\ne\n");
  ASSERT_EQ(test::RunProgram(test::VosBinary(), {"-d", dir_.Path("dup.txt"), "-i", dir_.Path("dup.idx")}).status, 0);
  DatabaseConfig config{"dup", dir_.Path("dup.idx"), dir_.Path("dup.txt"), "", ""};
  std::shared_ptr<const Database> opened, loaded;
  std::string error;
  ASSERT_TRUE(OpenDatabase(config, opened, error)) << error;
  ASSERT_TRUE(LoadDatabase(config, loaded, error)) << error;
  ASSERT_FALSE(opened->complete);
  ASSERT_TRUE(loaded->complete);
  for (const auto& database : {opened, loaded}) {
    databases_ = {database};
    EXPECT_EQ(Ask("MATCH dup prefix HEI").bytes,
              "152 2 matches found\r\ndup \"heim\"\r\ndup \"heimat\"\r\n.\r\n250 ok\r\n");
    EXPECT_EQ(Ask("MATCH dup exact heim").bytes, "152 1 matches found\r\ndup \"heim\"\r\n.\r\n250 ok\r\n");
    // Quotes and backslashes escaped, Latin-1 letters in UTF-8.
    EXPECT_EQ(Ask("MATCH dup prefix s").bytes, "152 2 matches found\r\ndup \"sag \\\"ja\\\\\\\"\"\r\n"
                                               "dup \"s\xC3\xBC\xC3\x9F\"\r\n.\r\n250 ok\r\n");
    // By match form: " zu" comes after "haus" although its blank sorts first as bytes.
    EXPECT_EQ(Ask("MATCH dup regexp u").bytes,
              "152 2 matches found\r\ndup \"haus\"\r\ndup \"zu\"\r\n.\r\n250 ok\r\n");
  }
}

TEST_F(DictAnswerTest, OptionMimeHeadsEveryTextBlock) {
  EXPECT_EQ(Ask("OPTION MIME").bytes, "250 ok\r\n");
  EXPECT_EQ(Ask("DEFINE sample Fluss").bytes,
            "150 1 definitions retrieved\r\n151 \"Fluss\" sample \"Deutsch - Englisch\"\r\n"
            "Content-type: text/plain; charset=utf-8\r\nContent-transfer-encoding: 8bit\r\n\r\n"
            "Fluss\r\nriver\r\n.\r\n250 ok\r\n");
}

TEST_F(DictAnswerTest, AnEntryTheDictionaryNoLongerHoldsIsAnErrorLineNotItsBytes) {
  // The dictionary is replaced by one whose entries lie elsewhere; the loaded index still points at the old places.
  std::string changed = test::ReadFile(test::SourceDir() + "/examples/dict.txt");
  changed.insert(changed.find("%\nFluss"), "%\nEingeschoben\nsomething else entirely, and long enough\n");
  dir_.Write("changed.txt", changed);
  DatabaseConfig config = databases_[0]->config;
  config.dictionaryPath = dir_.Path("changed.txt");
  std::shared_ptr<const Database> database;
  std::string error;
  ASSERT_TRUE(LoadDatabase(config, database, error)) << error;
  databases_ = {database};
  Answer answer = Ask("DEFINE sample Fluss");
  EXPECT_TRUE(answer.bytes.starts_with(
      "150 1 definitions retrieved\r\n151 \"Fluss\" sample \"Deutsch - Englisch\"\r\nError: "))
      << answer.bytes;
  EXPECT_EQ(answer.bytes.find("something"), std::string::npos);
  EXPECT_EQ(answer.bytes.find("river"), std::string::npos);
  EXPECT_FALSE(answer.problem.empty());
}

TEST_F(DictAnswerTest, TheCheckAfterOpeningKeepsTheDictionaryThatWasOpened) {
  // A dictionary renamed over the path while the index is checked belongs to a later reload, not to this index.
  const std::string text = test::ReadFile(test::SourceDir() + "/examples/dict.txt");
  dir_.Write("d.txt", text);
  std::shared_ptr<const Database> opened, complete;
  std::string error;
  ASSERT_TRUE(OpenDatabase({"sample", dir_.Path("sample.idx"), dir_.Path("d.txt"), "", ""}, opened, error)) << error;
  std::string changed = text;
  changed.insert(changed.find("%\nFluss"), "%\nEingeschoben\nsomething else entirely, and long enough\n");
  dir_.Write("new.txt", changed);
  std::filesystem::rename(dir_.Path("new.txt"), dir_.Path("d.txt"));
  ASSERT_TRUE(CompleteDatabase(*opened, complete, error)) << error;
  databases_ = {complete};
  Answer answer = Ask("DEFINE sample Fluss");
  EXPECT_EQ(answer.code, 250) << answer.bytes;
  EXPECT_NE(answer.bytes.find("river"), std::string::npos) << answer.bytes;
  EXPECT_TRUE(answer.problem.empty()) << answer.problem;
}

TEST_F(DictAnswerTest, StatusLinesAndInfoStayWellFormedWhateverTheDatabaseSays) {
  // A description with a line break would end a 151 line early and forge the next; paths go out as given.
  std::string index = dir_.Path("w\xC3\xB6rter.idx");
  std::filesystem::copy_file(dir_.Path("sample.idx"), index);
  DatabaseConfig config{"w", index, test::SourceDir() + "/examples/dict.txt", "Deutsch\r\n250 ok", ""};
  std::shared_ptr<const Database> database;
  std::string error;
  ASSERT_TRUE(LoadDatabase(config, database, error)) << error;
  databases_ = {database};
  std::string define = Ask("DEFINE w Fluss").bytes;
  EXPECT_TRUE(define.starts_with("150 1 definitions retrieved\r\n151 \"Fluss\" w \"Deutsch  250 ok\"\r\nFluss\r\n"))
      << define;
  EXPECT_NE(Ask("SHOW INFO w").bytes.find("Index: " + index + " ("), std::string::npos);
  EXPECT_EQ(QuoteWord("a\"b\\c\td\x7f"), "\"a\\\"b\\\\c d \"");
}

TEST_F(DictAnswerTest, DefineFindsEveryWordThatMatchExactLists) {
  // Headwords with blanks around them or between them and a comma, and capitals outside A to Z and the umlauts.
  dir_.Write("odd.txt", "%\nLampe \nlight\n%\nTisch , Stuhl\nfurniture\n%\nHaus,  Heim\nhome\n%\n\xC9lan\nverve\n");
  test::RunResult run = test::RunProgram(test::VosBinary(), {"-d", dir_.Path("odd.txt"), "-i", dir_.Path("odd.idx")});
  ASSERT_EQ(run.status, 0) << run.output;
  std::shared_ptr<const Database> database;
  std::string error;
  ASSERT_TRUE(LoadDatabase({"t", dir_.Path("odd.idx"), dir_.Path("odd.txt"), "", ""}, database, error)) << error;
  databases_ = {database};
  for (const char* word : {"lampe", "Lampe", "tisch", "stuhl", "heim", "\"\xC3\xA9lan\"", "\"\xC3\x89LAN\""}) {
    std::string text = word;
    EXPECT_EQ(Ask("MATCH t exact " + text).code, 250) << word;
    Answer define = Ask("DEFINE t " + text);
    EXPECT_EQ(define.code, 250) << word << "\n" << define.bytes;
    EXPECT_TRUE(define.bytes.starts_with("150 1 definitions retrieved\r\n")) << define.bytes;
  }
  EXPECT_EQ(Ask("DEFINE t lamp").code, 552);
}

}  // namespace
}  // namespace vos
