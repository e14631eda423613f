// KeyTable: filing a whole scan's keys through a hash table, and the exact key sets of the exclusion list.
//
// InsertKey descends the trie twice for every new key and once for every repeated one, and on a large dictionary those descents are long (keys are told apart from their 100th character down, so
// keys of different lengths form long chains). But the trie is fully determined by its distinct keys and the
// order in which each first arrived: its bit indices and down links are the crit-bit tree of the keys (the head's
// empty key included), and each node holds the earliest key of whichever of its two sides received a key later.
// So a scan files its keys through a hash table (FileKey) and links the trie once at the end (LinkFiledKeys); the
// result is the trie that InsertKey would have built from the same calls, node for node, statistics included.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "trie/key_trie.h"
#include "trie/short_string.h"

namespace vos {

// A hash table from key to node. Two keys that agree on bits 800 down to 0 (the only bits the index can tell
// apart) share one place, which the first of them keeps, just as in the trie.
struct KeyTable {
  LargeBlock memory;            // the slots, zero-filled when taken
  uint64_t* slots = nullptr;    // hash tag << 32 | node handle (see NodeHandle); 0 marks a free slot
  size_t size = 0;              // number of slots, a power of two
  int64_t count = 0;            // slots in use; kept at most three quarters of them
};

// Does what InsertKey does, statistics and results included, but leaves the new node unlinked (bit index and
// links unset) until LinkFiledKeys. Every key of `trie` but the head's must have been filed through `table`.
TrieNode* FileKey(const ShortString& key, int32_t entryOffset, KeyTable& table, KeyTrie& trie,
                  RunStatistics& statistics);

// The hash of a key that the key tables use; a caller that tests a key against two tables hashes it once.
uint32_t KeyTag(const ShortString& key);

// Keys waiting to be filed, each with its entry offset and tag. Filing them together lets the cache misses of
// one key's table slot and node overlap with those of the keys before it.
inline constexpr int kKeyBatchSize = 1024;
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

// A set of keys for exact membership tests, the exclusion list of full-text mode. Unlike the trie it keeps every
// key whole: it is never written to the index, so keys that agree on the index's bits stay apart here.
// Full-text mode tests every word, and about half of them are in the list, so a test that branches on the answer
// mispredicts every other time. The keys of up to eight bytes (nearly all of any stop-word list) are therefore
// also kept in buckets of four, a cache line each, which a test compares all at once, without branching.
inline constexpr int kBucketKeyLength = 8;
struct KeyBucket {
  std::array<uint64_t, 4> text{};    // the key's bytes in memory order, zero past its end
  std::array<uint64_t, 4> length{};  // 0 where the place is free
};
struct KeySet {
  KeyTrie keys;  // holds the nodes; never linked
  KeyTable table;
  std::vector<KeyBucket> buckets;    // by tag; a power of two of them
  std::vector<bool> overflowed;      // a bucket that had no place left: its keys are tested in the table
  int64_t bucketed = 0;              // keys in the buckets or overflowed
};

// Adds `key` to the set; the empty key is ignored.
void AddToSet(const ShortString& key, KeySet& set);

// True when the set holds `key` (same length, same bytes); `tag` is KeyTag(key).
bool SetHolds(const KeySet& set, const ShortString& key, uint32_t tag);

}  // namespace vos
