// Filing keys through the key table and linking the trie afterwards must build the very trie that InsertKey builds
// from the same calls: same nodes in the same places, same keys, bit indices, links, postings and statistics.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "trie/key_table.h"
#include "trie/key_trie.h"
#include "trie_test_support.h"

namespace vos {
namespace {

using test::BreadthFirst;
using test::Postings;

struct Filed {
  std::string key;
  int32_t entryOffset;
};

struct Built {
  KeyTrie trie;
  RunStatistics statistics;
  std::vector<std::string> results;  // the key of the node each call gave, or "<none>"
};

std::string ResultOf(const TrieNode* node) { return node == nullptr ? "<none>" : std::string(KeyText(*node)); }

void BuildByInsertion(const std::vector<Filed>& stream, Built& built) {
  NewTrie(built.trie);
  ResetStatistics(built.statistics, built.trie);
  for (const Filed& f : stream) {
    built.results.push_back(ResultOf(InsertKey(MakeShortString(f.key), f.entryOffset, built.trie, built.statistics)));
  }
}

// Files the stream through the table, in batches of random sizes through FileBatch and single keys through
// FileKey, then links the trie.
void BuildByFiling(const std::vector<Filed>& stream, std::mt19937& random, Built& built) {
  NewTrie(built.trie);
  ResetStatistics(built.statistics, built.trie);
  KeyTable table;
  auto batch = std::make_unique<KeyBatch>();
  for (size_t i = 0; i < stream.size();) {
    if (random() % 4 == 0) {
      ShortString key = MakeShortString(stream[i].key);
      built.results.push_back(ResultOf(FileKey(key, stream[i].entryOffset, table, built.trie, built.statistics)));
      ++i;
      continue;
    }
    size_t end = std::min(stream.size(), i + 1 + random() % kKeyBatchSize);
    for (; i < end; ++i) {
      batch->keys[batch->count] = MakeShortString(stream[i].key);
      batch->entryOffsets[batch->count] = stream[i].entryOffset;
      batch->tags[batch->count] = KeyTag(batch->keys[batch->count]);
      ++batch->count;
      built.results.push_back("<batch>");  // FileBatch gives no results; what it did shows in the linked trie
    }
    FileBatch(*batch, table, built.trie, built.statistics);
    EXPECT_EQ(batch->count, 0);
  }
  LinkFiledKeys(table, built.trie);
}

// Compares two tries node for node, their statistics and the calls' results included.
void ExpectSameTrie(const Built& expected, const Built& actual) {
  test::ExpectSameTrie(expected.trie, expected.statistics, actual.trie, actual.statistics);
  for (size_t i = 0; i < expected.results.size(); ++i) {
    if (actual.results[i] != "<batch>") {
      EXPECT_EQ(expected.results[i], actual.results[i]) << "call " << i;
    }
  }
}

// A key from one of several families that stress different parts of the trie.
std::string RandomKey(std::mt19937& random, int family, const std::string& longBase) {
  auto pick = [&random](const char* alphabet, size_t size) { return alphabet[random() % size]; };
  switch (family) {
    case 0: {  // short keys over a tiny alphabet: many repeats, shared prefixes and suffixes, NUL bytes
      std::string key(1 + random() % 6, 'a');
      for (char& c : key) c = pick("ab\xE4\xFF-\0", 6);
      return key;
    }
    case 1: {  // words of mixed lengths, like a dictionary's
      std::string key(1 + random() % 20, 'a');
      for (char& c : key) c = static_cast<char>('a' + random() % 26);
      return key;
    }
    case 2: {  // 100 characters or more on a shared base: bit 800 (the 100th character) decides the head's side,
               // and keys that agree on bits 800 to 0 cannot both be filed
      std::string key = longBase.substr(0, 99 - random() % 3);
      key += pick("abcd", 4);
      size_t tail = random() % 4 == 0 ? random() % 156 : random() % 3;
      for (size_t i = 0; i < tail && key.size() < 255; ++i) key += pick("xy", 2);
      return key;
    }
    default: {  // any bytes, any length up to 255
      std::string key(1 + random() % 255, 'a');
      for (char& c : key) c = static_cast<char>(random() % 4 == 0 ? 0 : random() % 256);
      return key;
    }
  }
}

std::vector<Filed> RandomStream(std::mt19937& random, int round) {
  std::string longBase(99, 'k');
  for (char& c : longBase) c = "kl"[random() % 2];
  int families = 1 + round % 4;
  std::vector<Filed> stream;
  int32_t entryOffset = 0;
  int count = static_cast<int>(random() % (round % 10 == 0 ? 3000 : 300));
  std::vector<std::string> earlier;
  for (int i = 0; i < count; ++i) {
    if (random() % 3 == 0) entryOffset += 1 + static_cast<int32_t>(random() % 40);
    std::string key;
    if (!earlier.empty() && random() % 3 == 0) {
      key = earlier[random() % earlier.size()];
    } else {
      key = RandomKey(random, static_cast<int>(random() % families), longBase);
    }
    if (random() % 50 == 0) key.clear();  // the empty key is ignored by both
    earlier.push_back(key);
    stream.push_back({key, entryOffset});
  }
  return stream;
}

TEST(KeyTableTest, FilingAndLinkingBuildsTheTrieOfInsertion) {
  std::mt19937 random(20011211);
  for (int round = 0; round < 400; ++round) {
    std::vector<Filed> stream = RandomStream(random, round);
    Built inserted;
    Built filed;
    BuildByInsertion(stream, inserted);
    BuildByFiling(stream, random, filed);
    ExpectSameTrie(inserted, filed);
    if (HasFatalFailure()) {
      ADD_FAILURE() << "round " << round << ", " << stream.size() << " keys";
      return;
    }
  }
}

TEST(KeyTableTest, SmallCasesBuildTheTrieOfInsertion) {
  const std::string base(99, 'k');
  const std::vector<std::vector<std::string>> cases = {
      {},                                     // only the head
      {"a"},                                  // one key
      {"a", "ab"},                            // the worked example: 'ab' above 'a'
      {"ab", "a"},                            // same keys, other order: other nodes hold them
      {"b", "a", "c", "ab", "abc", "a"},      // repeats
      {"a", std::string("a\0", 2), std::string("a\0\0", 3)},  // told apart by the length byte alone
      {base + "b"},                           // alone on the head's right side
      {base + "a", base + "b", base + "c", base + "d"},  // 'c' and 'd' are indistinguishable from 'a' and 'b'
      {base + "c", base + "a", base + "ax", base},
      {std::string(255, 'z'), "z", std::string(254, 'z'), std::string(100, 'z')},
  };
  for (const auto& keys : cases) {
    std::vector<Filed> stream;
    for (size_t i = 0; i < keys.size(); ++i) stream.push_back({keys[i], static_cast<int32_t>(2 * i)});
    std::mt19937 random(7);
    Built inserted;
    Built filed;
    BuildByInsertion(stream, inserted);
    BuildByFiling(stream, random, filed);
    SCOPED_TRACE(testing::Message() << keys.size() << " keys, first of length "
                                    << (keys.empty() ? 0 : keys[0].size()));
    ExpectSameTrie(inserted, filed);
  }
}

TEST(KeyTableTest, KeysTheIndexCannotTellApartAreNotFiled) {
  // Equal length, equal first 99 characters, 100th characters differing only above their lowest bit.
  const std::string base(99, 'k');
  KeyTrie trie;
  NewTrie(trie);
  RunStatistics statistics;
  ResetStatistics(statistics, trie);
  KeyTable table;
  ASSERT_NE(FileKey(MakeShortString(base + "a"), 2, table, trie, statistics), nullptr);
  EXPECT_EQ(FileKey(MakeShortString(base + "c"), 4, table, trie, statistics), nullptr);  // 'c' = 'a' + 2
  EXPECT_NE(FileKey(MakeShortString(base + "b"), 4, table, trie, statistics), nullptr);  // the head's bit tells
  EXPECT_NE(FileKey(MakeShortString(base + "a"), 4, table, trie, statistics), nullptr);  // the first keeps its place
  EXPECT_EQ(FileKey(MakeShortString(""), 4, table, trie, statistics), nullptr);
  EXPECT_EQ(trie.nodeCount, 2);
  EXPECT_EQ(statistics.maxPostingCount, 2);
  EXPECT_EQ(statistics.maxKeyLength, 100);
}

TEST(KeyTableTest, PostingsGrowAndKeepTheirOrder) {
  // Many keys with many entries make posting arrays outgrow their room and be taken up again by other keys.
  KeyTrie trie;
  NewTrie(trie);
  RunStatistics statistics;
  ResetStatistics(statistics, trie);
  KeyTable table;
  std::map<std::string, std::vector<int32_t>> model;
  std::mt19937 random(99);
  for (int32_t entry = 0; entry < 3000; ++entry) {
    for (int k = 0; k < 5; ++k) {
      std::string key = std::to_string(random() % (entry < 1500 ? 40 : 400));
      FileKey(MakeShortString(key), entry, table, trie, statistics);
      auto& list = model[key];
      if (list.empty() || list.back() != entry) list.push_back(entry);
    }
  }
  LinkFiledKeys(table, trie);
  size_t longest = 0;
  for (const auto& [key, offsets] : model) {
    const TrieNode* node = FindNode(MakeShortString(key), trie);
    ASSERT_EQ(KeyText(*node), key);
    EXPECT_EQ(Postings(*node), offsets) << key;
    longest = std::max(longest, offsets.size());
  }
  EXPECT_EQ(statistics.maxPostingCount, static_cast<int32_t>(longest));
}

// Regression: a set that merged keys agreeing on the index's bits dropped long exclusion words, and the dropped
// words were indexed. The set must hold every key whole, short ones in full buckets as well.
TEST(KeyTableTest, KeySetHoldsExactlyItsKeysEvenWhereTheIndexCannotTellThemApart) {
  std::mt19937 random(5);
  const std::string longBase(99, 'k');
  for (int round = 0; round < 50; ++round) {
    std::vector<Filed> stream = RandomStream(random, round);
    KeySet set;
    std::set<std::string> added;
    for (const Filed& f : stream) {
      if (random() % 2 == 0) continue;
      AddToSet(MakeShortString(f.key), set);
      if (!f.key.empty()) added.insert(f.key);
    }
    // Pairs that agree on bits 800 to 0: equal length, equal first 99 characters, 'a' and 'c' both odd.
    for (const char* tail : {"a", "c", "ax", "cx"}) {
      AddToSet(MakeShortString(longBase + tail), set);
      added.insert(longBase + tail);
    }
    std::set<std::string> probes = added;
    for (const Filed& f : stream) probes.insert(f.key);
    for (int i = 0; i < 50; ++i) probes.insert(RandomKey(random, i % 4, longBase));
    for (const char* tail : {"e", "g", "b", "ex"}) probes.insert(longBase + tail);
    for (const std::string& key : probes) {
      ShortString probe = MakeShortString(key);
      bool held = added.count(key) == 1;
      EXPECT_EQ(SetHolds(set, probe, KeyTag(probe)), held) << key.size();
      // The scan cuts words into reused places, so the bytes past a word are left over from earlier ones.
      std::fill(probe.bytes.begin() + probe.length, probe.bytes.end(), uint8_t{0xE4});
      EXPECT_EQ(SetHolds(set, probe, KeyTag(probe)), held) << key.size();
    }
  }
}

}  // namespace
}  // namespace vos
