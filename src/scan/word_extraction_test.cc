#include "scan/word_extraction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vos {
namespace {

std::vector<std::string> Words(const std::string& line, bool fullText, bool keepCase) {
  ShortString text = MakeShortString(line);
  LineRest rest = RestOf(text);
  ShortString word;
  std::vector<std::string> words;
  int guard = 0;
  while (NextWord(rest, word, fullText, keepCase) && ++guard < 300) words.emplace_back(View(word));
  return words;
}

struct WordCase {
  std::string line;
  std::vector<std::string> words;
};

TEST(NextWordTest, FullTextFolded) {
  const WordCase cases[] = {
      {"Haus und Hof.", {"haus", "und", "hof"}},
      {" Haus", {}},
      {"(siehe Haus)", {}},
      {"\"Haus\"", {}},
      {"%", {}},
      {"", {}},
      {"Haus -ung Hof", {"haus"}},
      {"Ab- und Zugang", {}},
      {"E-Mail", {"e-mail"}},
      {"3-4", {"3-4"}},
      {"-", {}},
      {"\xC4RGER \xFC" "ber Stra\xDF" "e", {"\xE4rger", "\xFC" "ber", "stra\xDF" "e"}},
      {"caf\xE9 au lait", {"caf", "au", "lait"}},
      {"x2y z", {"x2y", "z"}},
      {"a\tb,c;;d", {"a", "b", "c", "d"}},
      {"Stra\xDF" "e\xA0und", {"stra\xDF" "e", "und"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Words(c.line, true, false), c.words) << c.line;
}

TEST(NextWordTest, HeadwordsFolded) {
  const WordCase cases[] = {
      {"Haus, Heim", {"haus", " heim"}},
      {"a,,b", {"a"}},
      {",a", {}},
      {"a,", {"a"}},
      {"a,b,", {"a", "b"}},
      {"\xC9" "COLE", {"\xC9" "cole"}},
      {"\xD6lbaum", {"\xF6lbaum"}},
      {"%", {"%"}},
      {"Wort ", {"wort "}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(Words(c.line, false, false), c.words) << c.line;
}

TEST(NextWordTest, KeepCase) {
  EXPECT_EQ(Words("Haus, Heim", false, true), (std::vector<std::string>{"Haus", " Heim"}));
  EXPECT_EQ(Words("Haus und Hof.", true, true), (std::vector<std::string>{"Haus", "und", "Hof"}));
}

TEST(NextWordTest, EmptyLineLeavesWordUnchanged) {
  ShortString word = MakeShortString("kept");
  LineRest rest{nullptr, 0};
  EXPECT_FALSE(NextWord(rest, word, true, false));
  EXPECT_EQ(View(word), "kept");
}

TEST(WordCharSetTest, HoldsExactlyTheSeventyMembers) {
  std::string members;
  for (int b = 0; b < 256; ++b) {
    if (IsWordChar(static_cast<uint8_t>(b))) members += static_cast<char>(b);
  }
  EXPECT_EQ(members,
            "-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz\xC4\xD6\xDC\xDF\xE4\xF6\xFC");
}

TEST(FoldCaseTest, FoldsAsciiCapitalsAndThreeUmlautsOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xC4\xD6\xDC\xDF", "\xE4\xF6\xFC\xDF"},
      {"\xC0\xC9\xC7", "\xC0\xC9\xC7"},
      {"ABCxyz", "abcxyz"},
      {"", ""},
      {"@[`{", "@[`{"},  // the neighbours of the letter ranges stay
  };
  for (const auto& [input, folded] : cases) {
    ShortString text = MakeShortString(input);
    FoldCase(text);
    EXPECT_EQ(View(text), folded);
  }
}

}  // namespace
}  // namespace vos
