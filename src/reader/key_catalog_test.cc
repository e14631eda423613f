// The key catalog answers every strategy exactly as a pass over the index does.
#include "reader/key_catalog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace vos {
namespace {

// Words to ask for: every key, each with one byte dropped, changed, doubled and swapped, its first three bytes,
// and a few patterns.
std::vector<std::string> Queries(const KeyCatalog& catalog) {
  std::vector<std::string> words{"", "a", "e", "^h", "n$", "[", "s.*e", "\xC4", "HAUS", " heim"};
  for (const CatalogEntry& entry : catalog.entries) {
    std::string key = catalog.bytes.substr(entry.keyOffset, entry.keyLength);
    words.push_back(key);
    words.push_back(key.substr(0, 3));
    for (size_t i = 0; i < key.size(); i += 2) {
      std::string dropped = key, changed = key, doubled = key, swapped = key;
      dropped.erase(i, 1);
      changed[i] = changed[i] == 'e' ? 'a' : 'e';
      doubled.insert(i, 1, key[i]);
      if (i + 1 < key.size()) std::swap(swapped[i], swapped[i + 1]);
      words.insert(words.end(), {dropped, changed, doubled, swapped});
    }
  }
  return words;
}

// Finding a key through the catalog's hash gives what a descent through the index gives, found or not.
void ExpectSameLookups(const KeyCatalog& catalog, const IndexFile& index, const std::vector<std::string>& words) {
  std::string error;
  for (const std::string& word : words) {
    std::vector<int32_t> expected, found;
    ReadOutcome outcome = LookupKey(index, word, expected, error);
    ASSERT_EQ(CatalogLookup(catalog, index, word, found, error), outcome) << "\"" << word << "\" " << error;
    ASSERT_EQ(found, expected) << "\"" << word << "\"";
  }
}

TEST(KeyCatalogTest, AnswersEveryStrategyAsAPassOverTheIndexDoes) {
  test::TempDir dir;
  // The sample dictionary, plus keys with capitals, blanks and Latin-1 letters, folded and with case kept.
  std::string dictionary = test::ReadFile(test::SourceDir() + "/examples/dict.txt") +
                           "%\n\xC9t\xE9, \xC9TAGE , Zoo Keeper\nx\n%\n  Leerzeichen,Komma\ny\n%\n\xD7mal\nz\n";
  dir.Write("dict.txt", dictionary);
  for (const std::vector<std::string>& flags : {std::vector<std::string>{}, std::vector<std::string>{"-c"}}) {
    std::vector<std::string> args = flags;
    args.insert(args.end(), {"-d", dir.Path("dict.txt"), "-i", dir.Path("index.dat")});
    ASSERT_EQ(test::RunProgram(test::VosBinary(), args).status, 0);
    IndexFile index;
    std::string error;
    ASSERT_TRUE(OpenIndex(dir.Path("index.dat"), true, index, error)) << error;
    KeyCatalog catalog;
    ASSERT_EQ(BuildKeyCatalog(index, catalog, error), ReadOutcome::kOk) << error;
    ASSERT_GT(CatalogSize(catalog), 60u);
    ExpectSameLookups(catalog, index, Queries(catalog));
    for (const StrategyInfo& strategy : Strategies()) {
      for (const std::string& word : Queries(catalog)) {
        Matcher matcher;
        if (!CompileMatcher(strategy.strategy, word, matcher, error)) continue;
        std::vector<std::string> expected, found;
        ASSERT_EQ(MatchKeys(index, matcher, expected, error), ReadOutcome::kOk) << error;
        CatalogMatches(catalog, matcher, found);
        ASSERT_EQ(found, expected) << strategy.name << " \"" << word << "\" " << ::testing::PrintToString(flags);
      }
    }
  }
}

TEST(KeyCatalogTest, FindsTheSameNearWordsInALargeCatalog) {
  // Enough keys that the look-up narrows ranges by their first bytes instead of testing every key: syllables
  // combined, so that many keys are one edit from each other.
  const char* syllables[] = {"a", "b", "ab", "ba", "an", "na", "e", "be", "\xE4", "n", "ss", "s", "ta", "at"};
  std::string dictionary;
  std::vector<std::string> words;
  for (const char* first : syllables) {
    for (const char* second : syllables) {
      for (const char* third : syllables) {
        std::string word = std::string(first) + second + third;
        dictionary += "%\n" + word + "\nx\n";
        if (words.size() < 400 && (word.size() + words.size()) % 7 == 0) words.push_back(word);
      }
    }
  }
  words.insert(words.end(), {"a", "ab", "abab", "xbab", "", "ssss", "\xE4\xE4"});
  test::TempDir dir;
  dir.Write("dict.txt", dictionary);
  ASSERT_EQ(test::RunProgram(test::VosBinary(), {"-d", dir.Path("dict.txt"), "-i", dir.Path("index.dat")}).status, 0);
  IndexFile index;
  std::string error;
  ASSERT_TRUE(OpenIndex(dir.Path("index.dat"), true, index, error)) << error;
  KeyCatalog catalog;
  ASSERT_EQ(BuildKeyCatalog(index, catalog, error), ReadOutcome::kOk) << error;
  ASSERT_GT(CatalogSize(catalog), 2000u);
  ExpectSameLookups(catalog, index, Queries(catalog));
  for (Strategy strategy : {Strategy::kLev, Strategy::kPrefix, Strategy::kExact}) {
    for (const std::string& word : words) {
      for (const std::string& query : {word, word + "a", word.empty() ? word : word.substr(1)}) {
        Matcher matcher;
        ASSERT_TRUE(CompileMatcher(strategy, query, matcher, error));
        std::vector<std::string> expected, found;
        ASSERT_EQ(MatchKeys(index, matcher, expected, error), ReadOutcome::kOk) << error;
        CatalogMatches(catalog, matcher, found);
        ASSERT_EQ(found, expected) << static_cast<int>(strategy) << " \"" << query << "\"";
      }
    }
  }
}

TEST(KeyCatalogTest, ADamagedIndexIsAnErrorNotACatalog) {
  test::TempDir dir;
  ASSERT_EQ(test::RunProgram(test::VosBinary(), {"-d", test::SourceDir() + "/examples/dict.txt", "-i",
                                                  dir.Path("index.dat")})
                .status,
            0);
  std::string bytes = test::ReadFile(dir.Path("index.dat"));
  IndexFile index;
  std::string error;
  ASSERT_TRUE(OpenIndexBytes(bytes.substr(0, bytes.size() - 3), index, error)) << error;
  KeyCatalog catalog;
  EXPECT_EQ(BuildKeyCatalog(index, catalog, error), ReadOutcome::kError);
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace vos
