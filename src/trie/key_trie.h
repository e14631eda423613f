// KeyTrie: a PATRICIA trie that maps keys to the ascending list of entry offsets under which they were filed.
//
// Bits of a key are numbered over its whole short string, length byte included: bit b is bit (b mod 8) of byte
// (b div 8), byte 0 being the length, and bytes past the last character read as 0. The head holds the empty key,
// tests bit 800 (kTopBitIndex) and starts with both links to itself. Every other node tests a bit from 799 down
// to 0; a link to a node with a lower bit index is a down link, any other link leads back up the path.
// Invariants: every node but the head is the target of exactly one down link; bit indices strictly decrease along
// down links; no two nodes hold equal keys. Nodes, keys and postings live until the process ends.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "trie/short_string.h"

namespace vos {

inline constexpr int32_t kTopBitIndex = 800;

// Distinct entry offsets in the order they were first added (ascending during a scan). Most keys stand in one or
// two entries, so the newest offset sits in the list itself (filing a repeated key compares with it) and the
// earlier ones in an array from the trie's posting arena whose capacity doubles as it fills; an outgrown array is
// kept for the next list that needs one of its size.
struct PostingList {
  int32_t count = 0;
  int32_t last = 0;              // the newest offset, when count >= 1
  int32_t* earlier = nullptr;    // the count - 1 offsets before it, in order
};

// Offset i (from 0) of a list.
inline int32_t PostingAt(const PostingList& list, int32_t i) {
  return i == list.count - 1 ? list.last : list.earlier[i];
}

struct TrieNode {
  const uint8_t* key;  // length byte followed by the characters, stored at its own length right behind the node
  TrieNode* left;      // followed when the tested bit is 0
  TrieNode* right;     // followed when the tested bit is 1
  int32_t bitIndex;
  int32_t fileOffset;  // record offset in the index file, set by the index writer
  PostingList postings;  // last, next to the key: filing a repeated key touches both
};

// Bump allocator: memory is taken from the system in blocks and nothing is returned before the process ends.
struct ArenaBlock {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size = 0;
  size_t used = 0;
};

struct Arena {
  std::vector<ArenaBlock> blocks;  // the last one is being filled
};

struct KeyTrie {
  TrieNode* head = nullptr;
  Arena nodeArena;     // the nodes, each with its key right behind it, in the order they were made
  Arena postingArena;  // posting arrays
  std::array<int32_t*, 32> spareArrays{};  // outgrown posting arrays of capacity 2^k, chained through their start
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

// Filing a whole scan at once. InsertKey descends the trie twice for every new key and once for every repeated
// one, and on a large dictionary those descents are long (keys are told apart from their 100th character down, so
// keys of different lengths form long chains). But the trie is fully determined by its distinct keys and the
// order in which each first arrived: its bit indices and down links are the crit-bit tree of the keys (the head's
// empty key included), and each node holds the earliest key of whichever of its two sides received a key later.
// So a scan files its keys through a hash table (FileKey) and links the trie once at the end (LinkFiledKeys); the
// result is the trie that InsertKey would have built from the same calls, node for node, statistics included.

// A hash table from key to node. Two keys that agree on bits 800 down to 0 (the only bits the index can tell
// apart) share one place, which the first of them keeps, just as in the trie.
struct KeyTable {
  std::vector<uint64_t> slots;  // hash tag << 32 | node handle (see NodeHandle); 0 marks a free slot
  int64_t count = 0;            // slots in use; kept at most half of them
};

// Does what InsertKey does, statistics and results included, but leaves the new node unlinked (bit index and
// links unset) until LinkFiledKeys. Every key of `trie` but the head's must have been filed through `table`.
TrieNode* FileKey(const ShortString& key, int32_t entryOffset, KeyTable& table, KeyTrie& trie,
                  RunStatistics& statistics);

// The hash of a key that the key tables use; a caller that tests a key against two tables hashes it once.
uint32_t KeyTag(const ShortString& key);

// Keys waiting to be filed, each with its entry offset and tag. Filing them together lets the cache misses of
// one key's table slot and node overlap with those of the keys before it.
inline constexpr int kKeyBatchSize = 512;
struct KeyBatch {
  std::array<ShortString, kKeyBatchSize> keys;
  std::array<int32_t, kKeyBatchSize> entryOffsets;
  std::array<uint32_t, kKeyBatchSize> tags;  // KeyTag of each key
  int count = 0;
};

// Files the batch's keys in order, exactly as FileKey one after the other would, and empties the batch.
void FileBatch(KeyBatch& batch, KeyTable& table, KeyTrie& trie, RunStatistics& statistics);

// Gives every node filed through `table` the bit index and links InsertKey would have given it, and the head its
// links. Empties the table.
void LinkFiledKeys(KeyTable& table, KeyTrie& trie);

// The keys of a trie again, filed in a table of their own for fast membership tests.
struct KeySet {
  KeyTrie keys;
  KeyTable table;
};

// Fills the empty `set` with the keys that the linked `trie` holds.
void MakeKeySet(const KeyTrie& trie, KeySet& set);

// True when the set holds `key` (same length, same bytes); `tag` is KeyTag(key).
bool SetHolds(const KeySet& set, const ShortString& key, uint32_t tag);

}  // namespace vos
