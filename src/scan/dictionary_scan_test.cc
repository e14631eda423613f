#include "scan/dictionary_scan.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "runtime/run_stop.h"
#include "runtime/sys_io.h"
#include "test_support.h"
#include "trie_test_support.h"

namespace vos {
namespace {

using KeyMap = std::map<std::string, std::vector<int32_t>>;

std::string consoleOutput;

int64_t CaptureWrite(int handle, const void* buffer, size_t count) {
  if (handle != kStandardOutput) return RealSysCalls().write(handle, buffer, count);
  consoleOutput.append(static_cast<const char*>(buffer), count);
  return static_cast<int64_t>(count);
}

// Every key of the trie with its postings, gathered over the down links.
KeyMap Contents(const KeyTrie& trie) {
  KeyMap keys;
  std::vector<const TrieNode*> pending{trie.head};
  while (!pending.empty()) {
    const TrieNode* node = pending.back();
    pending.pop_back();
    if (node != trie.head) {
      keys[std::string(KeyText(*node))] = test::Postings(*node);
    }
    for (const TrieNode* next : {node->left, node->right}) {
      if (next->bitIndex < node->bitIndex) pending.push_back(next);
    }
  }
  return keys;
}

struct ScanResult {
  KeyMap keys;
  int64_t totalWords;
  int64_t lineCount;
  std::string console;
};

class DictionaryScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    consoleOutput.clear();
    sys.write = CaptureWrite;
  }
  void TearDown() override { sys = RealSysCalls(); }

  ScanResult Scan(const std::string& dictionary, ScanMode mode, const std::string* exclusions = nullptr) {
    dir.Write("dict.txt", dictionary);
    KeySet exclusionList;
    if (exclusions != nullptr) {
      dir.Write("exclude.txt", *exclusions);
      LoadExclusionList(dir.Path("exclude.txt"), exclusionList);
    }
    KeyTrie trie;
    NewTrie(trie);
    RunStatistics statistics;
    ResetStatistics(statistics, trie);
    LineReader reader = OpenLineReader(dir.Path("dict.txt"), kDictionaryBufferSize);
    ScanState state;
    ScanDictionary(reader, mode, trie, exclusions != nullptr ? &exclusionList : nullptr, state, statistics);
    CloseLineReader(reader);
    EXPECT_EQ(ioStatus, 0);
    return {Contents(trie), statistics.totalWords, state.lineCount, consoleOutput};
  }

  test::TempDir dir;
};

const std::string kTraced = "%\nHaus, Heim\nein Geb\xE4ude\n%\nHof\n";

TEST_F(DictionaryScanTest, HeadwordModeFilesHeadwordsUnderTheirEntry) {
  ScanResult r = Scan(kTraced, {});
  EXPECT_EQ(r.keys, (KeyMap{{"haus", {2}}, {" heim", {2}}, {"hof", {27}}}));
  EXPECT_EQ(r.totalWords, 3);
  EXPECT_EQ(r.lineCount, 5);
}

TEST_F(DictionaryScanTest, FullTextModeFilesEveryWord) {
  ScanResult r = Scan(kTraced, {.fullText = true});
  EXPECT_EQ(r.keys, (KeyMap{{"haus", {2}}, {"heim", {2}}, {"ein", {2}}, {"geb\xE4ude", {2}}, {"hof", {27}}}));
  EXPECT_EQ(r.totalWords, 5);
}

TEST_F(DictionaryScanTest, LineEndSizeDecidesOffsets) {
  const std::string crlf = "%\r\nHaus, Heim\r\nein Geb\xE4ude\r\n%\r\nHof\r\n";
  const struct {
    std::string text;
    int32_t lineEndSize;
    int32_t first;
    int32_t second;
  } cases[] = {{crlf, 2, 3, 31}, {crlf, 1, 2, 27}, {kTraced, 1, 2, 27}, {kTraced, 2, 3, 31}};
  for (const auto& c : cases) {
    ScanResult r = Scan(c.text, {.lineEndSize = c.lineEndSize});
    EXPECT_EQ(r.keys, (KeyMap{{"haus", {c.first}}, {" heim", {c.first}}, {"hof", {c.second}}}));
  }
}

TEST_F(DictionaryScanTest, LongLinesKeepTrueOffsets) {
  // A 300-byte body line: the entry after it still starts where the file says.
  std::string text = "%\nA\n" + std::string(300, 'x') + "\n%\nB\n";
  ScanResult r = Scan(text, {});
  EXPECT_EQ(r.keys, (KeyMap{{"a", {2}}, {"b", {static_cast<int32_t>(text.size() - 2)}}}));
}

TEST_F(DictionaryScanTest, HeadwordModeEdgeCases) {
  const std::pair<std::string, KeyMap> cases[] = {
      {"Vorwort\n%\nA\n", {{"a", {10}}}},              // lines before the first "%" give nothing
      {"%\n%\nHof\n", {{"%", {2}}, {"hof", {4}}}},      // "%" after "%" is a headword line
      {"%\n\nHof\n", {}},                               // empty headword line
      {"%\nA,A\n%\nA\n%\nB\n", {{"a", {2, 8}}, {"b", {12}}}},
      {"kein Prozent\n", {}},
  };
  for (const auto& [text, keys] : cases) EXPECT_EQ(Scan(text, {}).keys, keys) << text;
}

TEST_F(DictionaryScanTest, FullTextFilesWordsBeforeTheFirstEntryUnderZero) {
  EXPECT_EQ(Scan("Vorwort\n%\nA\n", {.fullText = true}).keys, (KeyMap{{"vorwort", {0}}, {"a", {10}}}));
}

TEST_F(DictionaryScanTest, ExclusionList) {
  const std::string text = "%\nder Der und Hund\n";
  const std::string exclusions = "Der\nund\n";
  ScanResult folded = Scan(text, {.fullText = true}, &exclusions);
  EXPECT_EQ(folded.keys, (KeyMap{{"hund", {2}}}));
  EXPECT_EQ(folded.totalWords, 1);
  ScanResult kept = Scan(text, {.fullText = true, .keepCase = true}, &exclusions);
  EXPECT_EQ(kept.keys, (KeyMap{{"Der", {2}}, {"Hund", {2}}}));
  const std::string trailing = "der \n\n";  // a trailing space matches no word; an empty line is harmless
  EXPECT_EQ(Scan(text, {.fullText = true}, &trailing).keys.count("der"), 1u);
  const std::string crlf = "Der\r\nund\r\n";
  EXPECT_EQ(Scan(text, {.fullText = true}, &crlf).keys, folded.keys);
}

// Regression: long exclusion words that agree on the index's bits 800 to 0 (same length, same first 99
// characters, same lowest bit of the 100th) were merged, and all but the first of them were indexed.
TEST_F(DictionaryScanTest, LongExclusionWordsAreAllExcluded) {
  const std::string stem(99, 'l');
  const std::string exclusions = stem + "a\n" + stem + "q\n";  // 'a' and 'q' are both odd
  ScanResult r = Scan("%\n" + stem + "q\n" + stem + "a\n" + stem + "b\n", {.fullText = true}, &exclusions);
  EXPECT_EQ(r.keys, (KeyMap{{stem + "b", {2}}}));
  EXPECT_EQ(r.totalWords, 1);
}

TEST_F(DictionaryScanTest, OneDotPerThousandLines) {
  const std::pair<int, std::string> cases[] = {{999, ""}, {1000, "."}, {2500, ".."}, {0, ""}};
  for (const auto& [lines, dots] : cases) {
    std::string text;
    for (int i = 0; i < lines; ++i) text += "x\n";
    consoleOutput.clear();
    EXPECT_EQ(Scan(text, {}).console, dots) << lines;
  }
}

}  // namespace
}  // namespace vos
