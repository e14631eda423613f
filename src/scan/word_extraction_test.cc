#include "scan/word_extraction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <string_view>
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
  LineRest rest = RestOf(nullptr, 0);
  EXPECT_FALSE(NextWord(rest, word, true, false));
  EXPECT_EQ(View(word), "kept");
}

// A plain model of one NextWord call: the key it files (empty when none) and how many bytes it consumes.
struct ModelStep {
  std::string key;
  size_t consumed;
};

bool ModelIsWordByte(uint8_t b) {
  return b == '-' || (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
         std::string_view("\xC4\xD6\xDC\xDF\xE4\xF6\xFC").find(static_cast<char>(b)) != std::string_view::npos;
}

char ModelFiled(uint8_t b, bool keepCase) {
  bool capital = (b >= 'A' && b <= 'Z') || b == 0xC4 || b == 0xD6 || b == 0xDC;
  return static_cast<char>(capital && !keepCase ? b + 0x20 : b);
}

ModelStep ModelNextWord(std::string_view rest, bool fullText, bool keepCase) {
  ModelStep step{"", 0};
  auto at = [&rest](size_t i) { return static_cast<uint8_t>(rest[i]); };
  if (!fullText) {
    size_t comma = std::min(rest.find(','), rest.size());
    for (size_t i = 0; i < comma; ++i) step.key += ModelFiled(at(i), keepCase);
    step.consumed = comma < rest.size() ? comma + 1 : comma;
    return step;
  }
  size_t n = 0;
  while (n < rest.size() && ModelIsWordByte(at(n))) step.key += ModelFiled(at(n++), keepCase);
  if (!step.key.empty() && (rest[0] == '-' || rest[n - 1] == '-')) step.key.clear();
  step.consumed = n;
  while (step.consumed < rest.size() && !ModelIsWordByte(at(step.consumed))) ++step.consumed;
  return step;
}

// Lines of every length, each with its own mix of arbitrary bytes, word bytes, hyphens and spaces, so that words
// of every length start and end at every place. Every call on the line is checked (key, tag and bytes consumed), also those after the first
// one that files nothing. The line sits in a buffer of its exact size, so that the sanitizer sees a read past it
// or ahead of it.
TEST(NextWordTest, AgreesWithPlainModelOnRandomLines) {
  const std::string wordBytes =
      "-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz\xC4\xD6\xDC\xDF\xE4\xF6\xFC";
  std::mt19937 random(1961);
  for (bool fullText : {true, false}) {
    for (bool keepCase : {false, true}) {
      for (int length = 0; length <= 255; ++length) {
        for (double wordShare : {0.2, 0.6, 0.9, 0.98, 0.995, 1.0, 0.2, 0.6, 0.9, 0.98, 0.995, 1.0}) {
          // Word bytes, or else an arbitrary byte, a hyphen, a space or a comma alike.
          std::bernoulli_distribution isWordByte(wordShare);
          auto line = std::make_unique<uint8_t[]>(static_cast<size_t>(length));
          for (int i = 0; i < length; ++i) {
            const uint8_t others[] = {static_cast<uint8_t>(random()), '-', ' ', ','};
            line[i] = isWordByte(random) ? static_cast<uint8_t>(wordBytes[random() % wordBytes.size()])
                                         : others[random() % 4];
          }
          std::string_view text(reinterpret_cast<const char*>(line.get()), static_cast<size_t>(length));
          LineRest rest = RestOf(line.get(), length);
          auto word = std::make_unique<ShortString>();
          while (rest.length > 0) {
            std::string_view before = text.substr(static_cast<size_t>(rest.bytes - line.get()));
            ModelStep expected = ModelNextWord(before, fullText, keepCase);
            uint32_t tag = 0;
            bool filed = NextWord(rest, *word, fullText, keepCase, tag);
            ASSERT_EQ(filed, !expected.key.empty()) << before;
            ASSERT_EQ(View(*word), expected.key) << before;
            // A word is hashed as it is cut: the tag is the hash of the key alone.
            if (filed) {
              ASSERT_EQ(tag, KeyHash(MakeShortString(expected.key))) << before;
            }
            ASSERT_EQ(before.size() - static_cast<size_t>(rest.length), expected.consumed) << before;
            ASSERT_EQ(rest.bytes - line.get(), rest.consumed);
          }
        }
      }
    }
  }
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
