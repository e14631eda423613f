// Helpers for tests that compare whole tries: the breadth-first node order over down links, a trie's postings,
// and a node-for-node comparison of two tries and their statistics.
#pragma once

#include <cstdint>
#include <vector>

#include "trie/key_trie.h"

namespace vos::test {

// The nodes reached from the head by down links, breadth-first, the head first.
std::vector<const TrieNode*> BreadthFirst(const KeyTrie& trie);

// A node's entry offsets in order.
std::vector<int32_t> Postings(const TrieNode& node);

// Expects the same nodes in the same breadth-first places: keys, bit indices, links, postings, node counts, and
// the statistics (the key statistics' nodes compared by place).
void ExpectSameTrie(const KeyTrie& expected, const RunStatistics& expectedStatistics, const KeyTrie& actual,
                    const RunStatistics& actualStatistics);

}  // namespace vos::test
