// KeyTrie: a PATRICIA trie that maps keys to the ascending list of entry offsets under which they were filed.
//
// Bits of a key are numbered over its whole short string, length byte included: bit b is bit (b mod 8) of byte
// (b div 8), byte 0 being the length, and bytes past the last character read as 0. The head holds the empty key,
// tests bit 800 (kTopBitIndex) and starts with both links to itself. Every other node tests a bit from 799 down
// to 0; a link to a node with a lower bit index is a down link, any other link leads back up the path.
// Invariants: every node but the head is the target of exactly one down link; bit indices strictly decrease along
// down links; no two nodes hold equal keys. Nodes, keys and postings live until the process ends.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "trie/short_string.h"

namespace vos {

inline constexpr int32_t kTopBitIndex = 800;

struct PostingCell {
  int32_t entryOffset;
  PostingCell* next;
};

// Distinct entry offsets in the order they were first added (ascending during a scan).
struct PostingList {
  PostingCell* first = nullptr;
  PostingCell* last = nullptr;  // offsets arrive in non-decreasing order, so only the last can repeat
  int32_t count = 0;
};

struct TrieNode {
  const uint8_t* key;  // length byte followed by the characters, stored at its own length
  PostingList postings;
  int32_t bitIndex;
  TrieNode* left;      // followed when the tested bit is 0
  TrieNode* right;     // followed when the tested bit is 1
  int32_t fileOffset;  // record offset in the index file, set by the index writer
};

// Bump allocator for nodes, key bytes and posting cells: nothing is freed before the process ends.
struct Arena {
  std::vector<std::unique_ptr<uint8_t[]>> blocks;
  uint8_t* next = nullptr;
  size_t left = 0;
};

struct KeyTrie {
  TrieNode* head = nullptr;
  Arena arena;
  int64_t nodeCount = 0;  // nodes other than the head
};

// The statistics a run keeps while inserting into the main trie, and the number of keys the scan filed.
struct RunStatistics {
  int64_t totalWords = 0;
  int32_t maxKeyLength = 0;             // greatest length of a key inserted as a new node
  const TrieNode* longestKeyNode = nullptr;  // first node to reach maxKeyLength
  int32_t maxPostingCount = 1;          // greatest posting count reached, at least 1
  const TrieNode* mostFrequentNode = nullptr;  // first node to reach maxPostingCount
};

// Makes the head of an empty trie.
void NewTrie(KeyTrie& trie);

// Gives the statistics their start values, both node references on `trie`'s head.
void ResetStatistics(RunStatistics& statistics, const KeyTrie& trie);

// Bit b of a stored key or of a short string.
inline int KeyBit(const uint8_t* key, int32_t b) {
  int32_t i = b >> 3;
  return i <= key[0] ? (key[i] >> (b & 7)) & 1 : 0;
}
inline int KeyBit(const ShortString& key, int32_t b) {
  int32_t i = b >> 3;
  if (i == 0) return (key.length >> (b & 7)) & 1;
  return i <= key.length ? (key.bytes[i - 1] >> (b & 7)) & 1 : 0;
}

// The stored key of a node as a view of its characters.
inline std::string_view KeyText(const TrieNode& node) {
  return {reinterpret_cast<const char*>(node.key + 1), node.key[0]};
}

// The node where the descent for `key` ends; the key is in the trie exactly when that node's key equals it.
const TrieNode* FindNode(const ShortString& key, const KeyTrie& trie);

// True when `trie` holds `key`.
bool ContainsKey(const ShortString& key, const KeyTrie& trie);

// Files `entryOffset` under `key` and gives the node that holds the key. The empty key is ignored, and so is a key
// of 100 or more characters that agrees with a stored key on bits 799 to 0 (the index cannot tell them apart);
// both give nullptr. Updates maxKeyLength/longestKeyNode and, through AddPosting, the posting statistics.
TrieNode* InsertKey(const ShortString& key, int32_t entryOffset, KeyTrie& trie, RunStatistics& statistics);

// Appends `entryOffset` to the node's postings unless it is already the last one; keeps the statistics.
void AddPosting(TrieNode& node, int32_t entryOffset, KeyTrie& trie, RunStatistics& statistics);

}  // namespace vos
