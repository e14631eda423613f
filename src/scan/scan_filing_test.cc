// The scan files its keys in batches through the key table and links the trie at its end. Whatever the batches
// look like (many keys per line, batches filed while an entry is still open, excluded words), the trie, its
// statistics and the word count must be those of the plain scan: every key cut by NextWord, tested against the
// exclusion trie and inserted on its own.

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "runtime/run_stop.h"
#include "runtime/sys_io.h"
#include "scan/dictionary_scan.h"
#include "scan/word_extraction.h"
#include "test_support.h"
#include "trie_test_support.h"

namespace vos {
namespace {

int64_t DiscardConsole(int handle, const void* buffer, size_t count) {
  if (handle != kStandardOutput) return RealSysCalls().write(handle, buffer, count);
  return static_cast<int64_t>(count);  // the dots
}

struct Result {
  KeyTrie trie;
  RunStatistics statistics;
};

// The scan as plain insertion does it, key by key.
void PlainScan(const std::string& path, const ScanMode& mode, const KeySet* exclusionList, Result& result) {
  NewTrie(result.trie);
  ResetStatistics(result.statistics, result.trie);
  LineReader reader = OpenLineReader(path, kDictionaryBufferSize);
  ShortString line;
  ShortString word;
  int64_t byteOffset = 0;
  int32_t entry = 0;
  bool afterPercent = false;
  while (!AtEnd(reader)) {
    ReadLine(reader, line);
    byteOffset += reader.lineBytes + mode.lineEndSize;
    if (mode.fullText || afterPercent) {
      LineRest rest = RestOf(line);
      while (NextWord(rest, word, mode.fullText, mode.keepCase)) {
        if (mode.fullText && exclusionList != nullptr && SetHolds(*exclusionList, word, KeyTag(word))) continue;
        InsertKey(word, entry, result.trie, result.statistics);
        ++result.statistics.totalWords;
      }
    }
    afterPercent = line.length == 1 && line.bytes[0] == '%';
    if (afterPercent) entry = static_cast<int32_t>(byteOffset);
  }
  CloseLineReader(reader);
}

void Scan(const std::string& path, const ScanMode& mode, const KeySet* exclusionList, Result& result) {
  NewTrie(result.trie);
  ResetStatistics(result.statistics, result.trie);
  LineReader reader = OpenLineReader(path, kDictionaryBufferSize);
  ScanState state;
  ScanDictionary(reader, mode, result.trie, exclusionList, state, result.statistics);
  CloseLineReader(reader);
}

void ExpectSameResult(const Result& expected, const Result& actual) {
  test::ExpectSameTrie(expected.trie, expected.statistics, actual.trie, actual.statistics);
}

// A dictionary of entries whose lines are full of short words (up to 128 keys on a line, so batches fill up in
// the middle of entries), with capitals, umlauts, hyphens, commas, long lines, CR LF and lone CR line ends.
std::string RandomDictionary(std::mt19937& random, const std::vector<std::string>& vocabulary) {
  std::string text;
  int lines = 50 + static_cast<int>(random() % 3000);
  for (int i = 0; i < lines; ++i) {
    if (random() % 5 == 0) {
      text += "%";
    } else {
      size_t length = random() % 10 == 0 ? 200 + random() % 120 : random() % 60;
      std::string line;
      while (line.size() < length) {
        line += vocabulary[random() % vocabulary.size()];
        line += " ,.,-"[random() % 5];
      }
      text += line;
    }
    text += random() % 20 == 0 ? (random() % 2 ? "\r\n" : "\r") : "\n";
  }
  return text;
}

class ScanFilingTest : public ::testing::Test {
 protected:
  void SetUp() override { sys.write = DiscardConsole; }
  void TearDown() override { sys = RealSysCalls(); }
};

TEST_F(ScanFilingTest, BatchedScanBuildsTheTrieOfThePlainScan) {
  std::mt19937 random(4711);
  std::vector<std::string> vocabulary = {"a", "b", "Ab", "der", "Der", "und", "\xC4rger", "\xFC" "ber", "E-Mail",
                                         "x", "y", "z", "-", "Haus", "haus", "HAUS", "3-4"};
  for (int i = 0; i < 300; ++i) {
    std::string word(1 + random() % 8, 'a');
    for (char& c : word) c = static_cast<char>('a' + random() % 6);
    vocabulary.push_back(word);
  }
  test::TempDir dir;
  for (int round = 0; round < 40; ++round) {
    dir.Write("dict.txt", RandomDictionary(random, vocabulary));
    std::string exclusions;
    for (int i = 0; i < 8; ++i) exclusions += vocabulary[random() % vocabulary.size()] + "\n";
    dir.Write("exclude.txt", exclusions);
    KeySet exclusionList;
    LoadExclusionList(dir.Path("exclude.txt"), exclusionList);
    for (ScanMode mode : {ScanMode{false, false, 1}, ScanMode{true, false, 1}, ScanMode{true, true, 2}}) {
      const KeySet* lists[] = {nullptr, &exclusionList};
      for (const KeySet* excluding : lists) {
        Result plain;
        Result batched;
        PlainScan(dir.Path("dict.txt"), mode, excluding, plain);
        Scan(dir.Path("dict.txt"), mode, excluding, batched);
        ASSERT_EQ(ioStatus, 0);
        SCOPED_TRACE(testing::Message() << "round " << round << ", full text " << mode.fullText << ", keep case "
                                        << mode.keepCase << ", excluding " << (excluding != nullptr));
        ExpectSameResult(plain, batched);
        if (HasFatalFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace vos
