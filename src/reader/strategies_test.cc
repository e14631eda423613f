#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "index/index_writer.h"
#include "reader/match_form.h"
#include "reader/reader.h"
#include "test_support.h"
#include "trie/key_trie.h"

namespace vos {
namespace {

// The index of `keys` (each filed under its position), as vos writes it.
IndexFile IndexOf(const std::vector<std::string>& keys) {
  KeyTrie trie;
  NewTrie(trie);
  RunStatistics statistics;
  ResetStatistics(statistics, trie);
  for (size_t i = 0; i < keys.size(); ++i) {
    InsertKey(MakeShortString(keys[i]), static_cast<int32_t>(10 * i), trie, statistics);
  }
  test::TempDir dir;
  WriteIndexFile(dir.Path("index.dat"), trie, statistics);
  IndexFile index;
  std::string error;
  EXPECT_TRUE(OpenIndexBytes(dir.Read("index.dat"), index, error)) << error;
  return index;
}

// Folded keys as vos files them from headwords: umlauts, ß, a blank after a comma, several words.
const std::vector<std::string> kKeys = {
    "haus", " heim", "h\xE4user", "stra\xDF" "e", "\xF6l", "\xF6lbaum", "apfel", "\xE4pfel", "bau",
    "guten morgen", "guten tag", "tag", "e-mail", "br\xFC" "cke", "robert", "rupert", "rubin"};

using Keys = std::vector<std::string>;

struct StrategyCase {
  Strategy strategy;
  std::string word;
  Keys keys;  // in byte order
};

TEST(StrategiesTest, EachStrategyFindsTheKeysItMeans) {
  IndexFile index = IndexOf(kKeys);
  const StrategyCase cases[] = {
      {Strategy::kExact, "HAUS", {"haus"}},
      {Strategy::kExact, "Heim", {" heim"}},  // blanks at either end do not count
      {Strategy::kExact, "Stra\xDF" "e", {"stra\xDF" "e"}},
      {Strategy::kExact, "STRASSE", {}},
      {Strategy::kPrefix, "H\xC4", {"h\xE4user"}},  // Ä folds to ä
      {Strategy::kPrefix, "\xD6l", {"\xF6l", "\xF6lbaum"}},
      {Strategy::kPrefix, "guten ", {"guten morgen", "guten tag"}},
      {Strategy::kSubstring, "au", {"bau", "haus", "\xF6lbaum"}},
      {Strategy::kSubstring, "\xDF", {"stra\xDF" "e"}},
      {Strategy::kSuffix, "TAG", {"guten tag", "tag"}},
      {Strategy::kSuffix, "baum", {"\xF6lbaum"}},
      {Strategy::kRe, "^h.us", {"haus", "h\xE4user"}},  // an umlaut is one character
      {Strategy::kRe, "^(\xF6l|tag)$", {"tag", "\xF6l"}},
      {Strategy::kRe, "[\xE4\xF6\xFC]", {"br\xFC" "cke", "h\xE4user", "\xE4pfel", "\xF6l", "\xF6lbaum"}},
      {Strategy::kRe, "^R.*T$", {"robert", "rupert"}},  // any case
      {Strategy::kRegexp, "^gu\\(ten\\) t", {"guten tag"}},
      {Strategy::kRegexp, "^r.b+", {}},  // "+" is an ordinary character in a basic expression
      {Strategy::kRe, "[\\1]", {}},  // inside brackets no back-reference: a backslash or a 1
      {Strategy::kRe, "[[:digit:]\\]$", {}},
      {Strategy::kRe, "^(r+u+|ro+)(b+|p+)e+r+t+$", {"robert", "rupert"}},  // many repetitions side by side
      {Strategy::kRe, "^g(u){1}t{1,2}en (m|t)", {"guten morgen", "guten tag"}},
      {Strategy::kRe, "^(r|b)(o|u|a)(b|p|u)(e|i)?", {"bau", "robert", "rubin", "rupert"}},
      {Strategy::kRe, "^(ru|ro)b", {"robert", "rubin"}},
      {Strategy::kRe, "^[a-z\xE4-]{1,60}l$", {"apfel", "e-mail", "\xE4pfel"}},
      {Strategy::kRe, "^[[:alpha:]]{3}$", {"bau", "tag"}},  // ö counts as a letter: "öl" has two
      {Strategy::kRe, "^[^a]{2}$", {"\xF6l"}},             // an ASCII pattern: still one character per umlaut
      {Strategy::kRe, "^.p", {"apfel", "\xE4pfel"}},
      {Strategy::kRe, "\\<tag", {"guten tag", "tag"}},
      {Strategy::kSoundex, "Robert", {"robert", "rupert"}},
      {Strategy::kSoundex, "Tack", {"tag"}},
      {Strategy::kLev, "Hause", {"haus"}},
      {Strategy::kLev, "apfel", {"apfel", "\xE4pfel"}},
      {Strategy::kLev, "tga", {"tag"}},  // two neighbours swapped count as one edit
      {Strategy::kLev, "bu", {"bau"}},
      {Strategy::kLev, "robret", {"robert"}},
      {Strategy::kLev, "rubi", {"rubin"}},
      {Strategy::kLev, "gutentag", {"guten tag"}},
      {Strategy::kLev, "rbuin", {"rubin"}},
      {Strategy::kLev, "rbuni", {}},  // two swaps are two edits
      {Strategy::kWord, "MAIL", {"e-mail"}},
      {Strategy::kWord, "guten", {"guten morgen", "guten tag"}},
      {Strategy::kFirst, "tag", {"tag"}},
      {Strategy::kFirst, "guten", {"guten morgen", "guten tag"}},
      {Strategy::kLast, "tag", {"guten tag", "tag"}},
      {Strategy::kLast, "Morgen", {"guten morgen"}},
  };
  for (const StrategyCase& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.strategy)) + " '" + c.word + "'");
    Matcher matcher;
    std::string error;
    ASSERT_TRUE(CompileMatcher(c.strategy, c.word, matcher, error)) << error;
    Keys keys;
    ASSERT_EQ(MatchKeys(index, matcher, keys, error), ReadOutcome::kOk) << error;
    EXPECT_EQ(keys, c.keys);
  }
}

// Every byte value at every place of the word-at-a-time loop and of its byte-wise tail, beside bytes that carry.
TEST(StrategiesTest, MatchFormFoldsEveryByteAsTheRuleSays) {
  for (int byte = 0; byte < 256; ++byte) {
    for (size_t place = 0; place < 19; ++place) {
      std::string text(19, '\xFF');
      text[(place + 7) % 19] = '\x00';
      text[place] = static_cast<char>(byte);
      text = "#" + text + "#";
      char out[kMatchFormCapacity];
      std::string_view form = MatchForm(text, out);
      ASSERT_EQ(form.size(), text.size());
      for (size_t i = 0; i < text.size(); ++i) {
        auto in = static_cast<uint8_t>(text[i]);
        bool capital = (in >= 'A' && in <= 'Z') || (in >= 0xC0 && in <= 0xDE && in != 0xD7);
        ASSERT_EQ(static_cast<uint8_t>(form[i]), capital ? in + 0x20 : in) << "byte " << byte << " at " << place;
      }
    }
  }
  char out[kMatchFormCapacity];
  EXPECT_EQ(MatchForm(" \t Stra\xDF" "e \t", out), "stra\xDF" "e");
  EXPECT_EQ(MatchForm("  ", out), "");
}

TEST(StrategiesTest, NamesAndBadPatterns) {
  ASSERT_EQ(Strategies().size(), 11u);
  for (const StrategyInfo& info : Strategies()) {
    Strategy parsed;
    EXPECT_TRUE(ParseStrategy(info.name, parsed) && parsed == info.strategy) << info.name;
  }
  Strategy parsed;
  EXPECT_TRUE(ParseStrategy("PREFIX", parsed) && parsed == Strategy::kPrefix);
  EXPECT_FALSE(ParseStrategy("pre", parsed));
  for (auto [strategy, pattern] : {std::pair{Strategy::kRe, "("}, std::pair{Strategy::kRe, "a{2"},
                                   std::pair{Strategy::kRegexp, "\\("}, std::pair{Strategy::kRe, "[b-a]"},
                                   std::pair{Strategy::kRegexp, "\\(a*\\)*\\1"}, std::pair{Strategy::kRe, "(a)\\1"},
                                   // Nested repetitions that regcomp would copy into millions of nodes.
                                   std::pair{Strategy::kRe, "x+++++++++++++++++++++++++++++++"},
                                   std::pair{Strategy::kRe, "((((a+)+)+)+){99}{99}"},
                                   std::pair{Strategy::kRegexp, "a\\{99\\}\\{99\\}\\{99\\}"},
                                   // Copies of starred parts, whose closures regcomp would take seconds over.
                                   std::pair{Strategy::kRe, "^a*++++++$"},
                                   std::pair{Strategy::kRe, "^(a*b*)*{1,32}$"},
                                   std::pair{Strategy::kRegexp, "^\\(a*\\)*$"},
                                   std::pair{Strategy::kRe, "[a-z]{1,255}"},
                                   // More repeated parts than the matcher can follow quickly over every key.
                                   std::pair{Strategy::kRe, "a.*b.*c.*d.*e.*f.*g.*h.*i.*j.*k.*l.*m.*n.*o.*p.*"
                                                            "q.*r.*s.*t.*u.*v.*w.*x.*y.*z.*a.*b.*c.*d.*e.*f.*g.*"}}) {
    Matcher matcher;
    std::string error;
    EXPECT_FALSE(CompileMatcher(strategy, pattern, matcher, error)) << pattern;
    EXPECT_FALSE(error.empty()) << pattern;
  }
}

struct WordCase {
  std::string word;
  ReadOutcome outcome;
  std::string key;
};

TEST(WordsTest, FindsTheKeyAPersonMeans) {
  IndexFile folded = IndexOf(kKeys);
  IndexFile keptCase = IndexOf({"Haus", "haus", " Heim", "Stra\xDF" "e"});
  const WordCase foldedCases[] = {
      {"Haus", ReadOutcome::kOk, "haus"},         {"Heim", ReadOutcome::kOk, " heim"},
      {"HEIM", ReadOutcome::kOk, " heim"},        {" heim", ReadOutcome::kOk, " heim"},
      {"\xC4pfel", ReadOutcome::kOk, "\xE4pfel"}, {"Guten Tag", ReadOutcome::kOk, "guten tag"},
      {"nichts", ReadOutcome::kNotFound, ""},     {"", ReadOutcome::kNotFound, ""},
  };
  const WordCase keptCases[] = {
      {"Haus", ReadOutcome::kOk, "Haus"},   {"haus", ReadOutcome::kOk, "haus"},
      {"Heim", ReadOutcome::kOk, " Heim"},  {"HEIM", ReadOutcome::kNotFound, ""},
      {"STRA\xDF" "E", ReadOutcome::kNotFound, ""},
  };
  auto run = [](const IndexFile& index, const WordCase& c) {
    SCOPED_TRACE("'" + c.word + "'");
    WordHit hit;
    std::string error;
    EXPECT_EQ(FindWord(index, c.word, hit, error), c.outcome) << error;
    if (c.outcome == ReadOutcome::kOk) {
      EXPECT_EQ(hit.key, c.key);
    }
  };
  for (const WordCase& c : foldedCases) run(folded, c);
  for (const WordCase& c : keptCases) run(keptCase, c);

  bool keepsCase = true;
  std::string error;
  ASSERT_EQ(KeepsCase(folded, keepsCase, error), ReadOutcome::kOk);
  EXPECT_FALSE(keepsCase);
  ASSERT_EQ(KeepsCase(keptCase, keepsCase, error), ReadOutcome::kOk);
  EXPECT_TRUE(keepsCase);
}

TEST(WordsTest, NearKeysComeNearestFirstWithTheSameFirstLetterPreferred) {
  IndexFile index = IndexOf(kKeys);
  struct Case {
    std::string word;
    size_t limit;
    Keys keys;
  };
  const Case cases[] = {
      {"Rubert", 5, {"robert", "rupert"}},
      {"baus", 5, {"bau", "haus"}},
      {"hau", 5, {"haus", "bau", "tag"}},  // haus and bau at 1, the same first letter first; tag at 2
      {"baus", 1, {"bau"}},
      {"Heimm", 5, {" heim"}},                // compared without the blank
      {"Stra\xDF", 5, {"stra\xDF" "e"}},
      {"xyzxyz", 5, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    Keys keys;
    std::string error;
    ASSERT_EQ(NearKeys(index, c.word, c.limit, keys, error), ReadOutcome::kOk) << error;
    EXPECT_EQ(keys, c.keys);
  }
}

}  // namespace
}  // namespace vos
