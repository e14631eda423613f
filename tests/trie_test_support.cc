#include "trie_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace vos::test {

std::vector<const TrieNode*> BreadthFirst(const KeyTrie& trie) {
  std::vector<const TrieNode*> order{trie.head};
  for (size_t i = 0; i < order.size(); ++i) {
    for (const TrieNode* next : {order[i]->left, order[i]->right}) {
      if (next->bitIndex < order[i]->bitIndex) order.push_back(next);
    }
  }
  return order;
}

std::vector<int32_t> Postings(const TrieNode& node) {
  std::vector<int32_t> offsets(static_cast<size_t>(node.postings.count));
  ForEachPostingRun(node.postings, [&](uint32_t first, const int32_t* run, uint32_t size) {
    std::copy(run, run + size, offsets.begin() + first);
  });
  return offsets;
}

void ExpectSameTrie(const KeyTrie& expected, const RunStatistics& expectedStatistics, const KeyTrie& actual,
                    const RunStatistics& actualStatistics) {
  std::vector<const TrieNode*> a = BreadthFirst(expected);
  std::vector<const TrieNode*> b = BreadthFirst(actual);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_EQ(expected.nodeCount, actual.nodeCount);
  ASSERT_EQ(static_cast<int64_t>(a.size()) - 1, actual.nodeCount);
  std::map<const TrieNode*, size_t> placeA;
  std::map<const TrieNode*, size_t> placeB;
  for (size_t i = 0; i < a.size(); ++i) {
    placeA[a[i]] = i;
    placeB[b[i]] = i;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(KeyText(*a[i]), KeyText(*b[i])) << "node " << i;
    ASSERT_EQ(a[i]->bitIndex, b[i]->bitIndex) << "node " << i;
    ASSERT_EQ(placeA.at(a[i]->left), placeB.at(b[i]->left)) << "left link of node " << i;
    ASSERT_EQ(placeA.at(a[i]->right), placeB.at(b[i]->right)) << "right link of node " << i;
    ASSERT_EQ(Postings(*a[i]), Postings(*b[i])) << "node " << i;
  }
  EXPECT_EQ(expectedStatistics.totalWords, actualStatistics.totalWords);
  EXPECT_EQ(expectedStatistics.maxKeyLength, actualStatistics.maxKeyLength);
  EXPECT_EQ(expectedStatistics.maxPostingCount, actualStatistics.maxPostingCount);
  EXPECT_EQ(placeA.at(expectedStatistics.longestKeyNode), placeB.at(actualStatistics.longestKeyNode));
  EXPECT_EQ(placeA.at(expectedStatistics.mostFrequentNode), placeB.at(actualStatistics.mostFrequentNode));
}

}  // namespace vos::test
