#include "trie/key_trie.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "trie_test_support.h"

namespace vos {
namespace {

ShortString S(const std::string& text) { return MakeShortString(text); }

std::string Key(const TrieNode* node) { return std::string(KeyText(*node)); }


struct Fixture {
  KeyTrie trie;
  RunStatistics statistics;
  Fixture() {
    NewTrie(trie);
    ResetStatistics(statistics, trie);
  }
  TrieNode* Insert(const std::string& key, int32_t offset) { return InsertKey(S(key), offset, trie, statistics); }
};

// Walks the down links from the head; checks that bit indices fall strictly and every node is met once.
void CheckInvariants(const KeyTrie& trie, int64_t expectedNodes) {
  std::set<const TrieNode*> seen{trie.head};
  std::set<std::string> keys;
  std::vector<const TrieNode*> pending{trie.head};
  while (!pending.empty()) {
    const TrieNode* node = pending.back();
    pending.pop_back();
    if (node != trie.head) {
      ASSERT_GE(node->bitIndex, 0);
      ASSERT_LE(node->bitIndex, 799);
      ASSERT_TRUE(keys.insert(Key(node)).second) << "duplicate key " << Key(node);
      ASSERT_GE(node->postings.count, 1);
    }
    for (const TrieNode* next : {node->left, node->right}) {
      if (next->bitIndex < node->bitIndex) {
        ASSERT_TRUE(seen.insert(next).second) << "node reached by two down links";
        pending.push_back(next);
      }
    }
  }
  EXPECT_EQ(static_cast<int64_t>(seen.size()) - 1, expectedNodes);
}

TEST(KeyBitTest, NumbersBitsOverTheLengthByteAndCharacters) {
  // 'ab' is 02 61 62: bits 1, 8, 13, 14, 17, 21, 22; 'a' is 01 61: bits 0, 8, 13, 14.
  const std::pair<std::string, std::set<int32_t>> cases[] = {
      {"ab", {1, 8, 13, 14, 17, 21, 22}},
      {"a", {0, 8, 13, 14}},
      {"", {}},
  };
  for (const auto& [text, ones] : cases) {
    ShortString key = S(text);
    for (int32_t b = 0; b <= 800; ++b) EXPECT_EQ(KeyBit(key, b), ones.count(b) ? 1 : 0) << text << " bit " << b;
  }
}

TEST(KeyTrieTest, EmptyTrieFindsTheHeadForAnyKey) {
  Fixture f;
  for (const char* key : {"", "a", "haus", "\xFF\xFF"}) EXPECT_EQ(FindNode(S(key), f.trie), f.trie.head);
  EXPECT_EQ(f.trie.head->bitIndex, kTopBitIndex);
  EXPECT_EQ(f.trie.head->left, f.trie.head);
  EXPECT_EQ(f.trie.head->right, f.trie.head);
}

TEST(KeyTrieTest, WorkedExampleOfTwoKeys) {
  Fixture f;
  TrieNode* a = f.Insert("a", 2);
  EXPECT_EQ(a->bitIndex, 14);
  EXPECT_EQ(a->left, f.trie.head);
  EXPECT_EQ(a->right, a);
  EXPECT_EQ(f.trie.head->left, a);
  TrieNode* b = f.Insert("ab", 6);
  EXPECT_EQ(b->bitIndex, 22);
  EXPECT_EQ(b->left, a);
  EXPECT_EQ(b->right, b);
  EXPECT_EQ(f.trie.head->left, b);
  EXPECT_EQ(f.trie.head->right, f.trie.head);
  EXPECT_EQ(FindNode(S("a"), f.trie), a);
  EXPECT_EQ(FindNode(S("ab"), f.trie), b);
  EXPECT_EQ(FindNode(S("b"), f.trie), a);  // ends at 'a' and is not found there
  EXPECT_FALSE(ContainsKey(S("b"), f.trie));
  EXPECT_EQ(f.statistics.maxKeyLength, 2);
  EXPECT_EQ(f.statistics.longestKeyNode, b);
  EXPECT_EQ(f.statistics.maxPostingCount, 1);
  EXPECT_EQ(f.statistics.mostFrequentNode, f.trie.head);
}

TEST(KeyTrieTest, DifferenceBitOfRelatedKeys) {
  const struct {
    const char* first;
    const char* second;
    int32_t bitOfSecond;
  } cases[] = {
      {"ab", "abc", 30},  // the extra character's top set bit, not the length byte
      {"ab", "cb", 9},    // 'a' 0x61 and 'c' 0x63 differ in bit 1 of byte 1
      {"Haus", "haus", 13},
      {"x", "y", 8},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.Insert(c.first, 2);
    EXPECT_EQ(f.Insert(c.second, 4)->bitIndex, c.bitOfSecond) << c.first << " / " << c.second;
  }
}

TEST(KeyTrieTest, PostingsStayDistinctAndStatisticsKeepTheFirstRecord) {
  Fixture f;
  TrieNode* haus = f.Insert("haus", 2);
  f.Insert("haus", 2);  // same entry again: no new cell
  f.Insert("hof", 2);
  f.Insert("haus", 10);
  TrieNode* hof = f.Insert("hof", 10);
  EXPECT_EQ(f.statistics.maxPostingCount, 2);
  EXPECT_EQ(f.statistics.mostFrequentNode, haus);  // first to reach 2
  f.Insert("haus", 20);
  f.Insert("haus", 20);
  f.Insert("hof", 20);  // reaches 3 second: does not take over
  EXPECT_EQ(test::Postings(*haus), (std::vector<int32_t>{2, 10, 20}));
  EXPECT_EQ(test::Postings(*hof), (std::vector<int32_t>{2, 10, 20}));
  EXPECT_EQ(f.statistics.maxPostingCount, 3);
  EXPECT_EQ(f.statistics.mostFrequentNode, haus);
  TrieNode* long1 = f.Insert("abcdef", 30);
  f.Insert("fedcba", 30);  // same length later: does not take over
  EXPECT_EQ(f.statistics.maxKeyLength, 6);
  EXPECT_EQ(f.statistics.longestKeyNode, long1);
}

// Lists that grow through every array size and into chunks, ending on either side of an array's or a chunk's
// last place, filed interleaved so that outgrown arrays change hands and chunks of different lists alternate in
// the arena: each keeps its offsets in order.
TEST(KeyTrieTest, LongPostingListsKeepEveryOffsetInOrder) {
  Fixture f;
  constexpr auto kLong = static_cast<int32_t>(kLongList);
  constexpr auto kChunk = static_cast<int32_t>(kChunkOffsets);
  // A list of n offsets keeps n - 1 of them in its array and chunks.
  const std::map<std::string, int32_t> lengths = {
      {"selten", 300},         {"voll", kLong + 1},          {"grenze", kLong + 2},
      {"mittel", kLong + 3},   {"kette", kLong + kChunk + 1}, {"danach", kLong + kChunk + 2},
      {"oft", kLong + 5 * kChunk + 7}};
  std::map<std::string, std::vector<int32_t>> expected;
  for (int32_t offset = 0; offset < kLong + 5 * kChunk + 7; ++offset) {
    for (const auto& [key, length] : lengths) {
      if (offset >= length) continue;
      f.Insert(key, offset * 7);
      expected[key].push_back(offset * 7);
    }
  }
  for (const auto& [key, offsets] : expected) {
    EXPECT_TRUE(test::Postings(*FindNode(S(key), f.trie)) == offsets) << key;
  }
  EXPECT_EQ(f.statistics.maxPostingCount, kLong + 5 * kChunk + 7);
}

TEST(KeyTrieTest, EmptyKeyIsIgnored) {
  Fixture f;
  EXPECT_EQ(f.Insert("", 0), nullptr);
  EXPECT_EQ(f.Insert("", 0), nullptr);
  EXPECT_EQ(f.trie.head->postings.count, 0);
  EXPECT_EQ(f.trie.nodeCount, 0);
}

TEST(KeyTrieTest, LongKeysStayBelowTheHead) {
  // The 100th character decides bit 800; odd and even ones must both end up reachable by down links.
  const std::string base(99, 'k');
  Fixture f;
  std::vector<std::string> keys = {base + "a", base + "b", base + "ab", std::string(255, 'z'), base,
                                   base + "jk", base + "c" + std::string(155, 'q')};
  int32_t offset = 0;
  for (const std::string& key : keys) ASSERT_NE(f.Insert(key, offset += 4), nullptr) << key.size();
  CheckInvariants(f.trie, static_cast<int64_t>(keys.size()));
  for (const std::string& key : keys) EXPECT_TRUE(ContainsKey(S(key), f.trie)) << key.size();
  EXPECT_EQ(f.statistics.maxKeyLength, 255);
}

TEST(KeyTrieTest, KeysTheIndexCannotTellApartAreNotFiled) {
  // Equal length, equal first 99 characters, 100th characters differing only above their lowest bit.
  const std::string base(99, 'k');
  Fixture f;
  ASSERT_NE(f.Insert(base + "a", 2), nullptr);  // 'a' = 0x61
  EXPECT_EQ(f.Insert(base + "c", 4), nullptr);  // 'c' = 0x63: same lowest bit
  EXPECT_NE(f.Insert(base + "b", 4), nullptr);  // 'b' = 0x62: the head's bit 800 tells it apart
  EXPECT_LT(f.Insert(base + "ax", 4)->bitIndex, 800);  // longer: the length byte tells them apart
  CheckInvariants(f.trie, 3);
}

// Random key streams: every key is found with exactly the postings that a map model gives.
TEST(KeyTrieTest, RandomStreamsAgreeWithAMapModel) {
  std::mt19937 random(12345);
  for (int round = 0; round < 300; ++round) {
    Fixture f;
    std::map<std::string, std::vector<int32_t>> model;
    int alphabet = 1 + static_cast<int>(random() % 6);
    int maxLength = round % 10 == 0 ? 120 : 8;
    int32_t offset = 0;
    int count = static_cast<int>(random() % 200);
    for (int i = 0; i < count; ++i) {
      if (random() % 3 == 0) offset += 1 + static_cast<int32_t>(random() % 50);
      std::string key(1 + random() % maxLength, 'a');
      for (char& c : key) c = static_cast<char>("ab\xE4\xFF-z"[random() % alphabet]);
      f.Insert(key, offset);
      auto& list = model[key];
      if (list.empty() || list.back() != offset) list.push_back(offset);
    }
    int64_t filed = 0;
    for (const auto& [key, offsets] : model) {
      const TrieNode* node = FindNode(S(key), f.trie);
      if (Key(node) != key) continue;  // only long keys the index cannot tell apart may be missing
      ++filed;
      EXPECT_EQ(test::Postings(*node), offsets) << key;
    }
    for (const auto& [key, offsets] : model) {
      if (key.size() < 100) {
        EXPECT_TRUE(ContainsKey(S(key), f.trie)) << key;
      }
    }
    EXPECT_EQ(f.trie.nodeCount, filed);
    CheckInvariants(f.trie, filed);
  }
}

}  // namespace
}  // namespace vos
