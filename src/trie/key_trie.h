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
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "runtime/sys_io.h"
#include "trie/short_string.h"

namespace vos {

inline constexpr int32_t kTopBitIndex = 800;

// Distinct entry offsets in the order they were first added (ascending during a scan). Most keys stand in one or two
// entries, so the newest offset sits in the list itself (filing a repeated key compares with it) and the earlier
// ones in an array from the trie's posting arena whose capacity doubles as it fills; an outgrown array is kept for
// the next list that needs one of its size. Once the earlier offsets outgrow an array of kLongList (the lists of
// about 0.4 % of the distinct words of a large full text), they are never copied again: the full array stays as the
// first chunk, and further offsets go to chunks of kChunkOffsets from the same arena, each linked back to the one
// before it. The arena's huge pages then hold the most frequently filed lists too, and such a list wastes at most
// its last chunk's unused tail instead of half a doubled array. (On 1 GB of full text 25 k of 5.8 M lists grow
// chunks; chunks of 128 leave about 8 MB unused, of 256 twice that.)
inline constexpr uint32_t kLongList = 256;
inline constexpr uint32_t kChunkOffsets = 128;
static_assert(std::has_single_bit(kLongList) && std::has_single_bit(kChunkOffsets));

struct PostingList {
  int32_t count = 0;
  int32_t last = 0;              // the newest offset, when count >= 1
  int32_t* earlier = nullptr;    // the array, or the newest chunk, that holds the latest of the count - 1 before it
};

// A chunk is kChunkOffsets offsets followed by the address of the chunk (or array) before it.
inline constexpr size_t kChunkSize = kChunkOffsets * sizeof(int32_t) + sizeof(int32_t*);

inline const int32_t* PreviousChunk(const int32_t* chunk) {
  const int32_t* previous;
  std::memcpy(&previous, chunk + kChunkOffsets, sizeof previous);
  return previous;
}

// Where the list's next earlier offset goes: its index in `earlier` (the array's, or the newest chunk's; 0 when
// a new chunk is due).
inline uint32_t EarlierSlot(uint32_t place) {
  return place < kLongList ? place : (place - kLongList) % kChunkOffsets;
}

// Calls visit(i, run, n) for runs of the list's offsets that together cover all of them once: offsets i to
// i + n - 1 lie at run[0] to run[n - 1]. The runs come newest first, the way the chunks are linked.
template <typename Visit>
void ForEachPostingRun(const PostingList& list, Visit&& visit) {
  if (list.count <= 0) return;
  auto earlierCount = static_cast<uint32_t>(list.count - 1);
  visit(earlierCount, &list.last, uint32_t{1});
  const int32_t* run = list.earlier;
  while (earlierCount > kLongList) {
    uint32_t inChunk = (earlierCount - kLongList - 1) % kChunkOffsets + 1;
    earlierCount -= inChunk;
    visit(earlierCount, run, inChunk);
    run = PreviousChunk(run);
  }
  if (earlierCount > 0) visit(uint32_t{0}, run, earlierCount);
}

// A node of the trie. Its key, a length byte followed by the characters, is stored at its own length right behind
// the node (see StoredKey), so that comparing it costs no further cache miss and no pointer.
struct TrieNode {
  TrieNode* left;      // followed when the tested bit is 0
  TrieNode* right;     // followed when the tested bit is 1
  int32_t bitIndex;
  int32_t fileOffset;  // record offset in the index file, set by the index writer
  PostingList postings;  // last, next to the key: filing a repeated key touches both
};

// Bump allocator: memory is taken from the system in blocks and nothing is returned before the process ends.
struct ArenaBlock {
  LargeBlock bytes;
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

// The stored key of a node: its length byte, followed by its characters.
inline const uint8_t* StoredKey(const TrieNode& node) { return reinterpret_cast<const uint8_t*>(&node + 1); }

// The stored key of a node as a view of its characters.
inline std::string_view KeyText(const TrieNode& node) {
  return {reinterpret_cast<const char*>(StoredKey(node) + 1), StoredKey(node)[0]};
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

// Building blocks that the key table (key_table.h) shares with insertion.

// Nodes are allocated from blocks that grow to this size.
inline constexpr size_t kArenaBlockSize = 4 << 20;
inline constexpr size_t kFirstArenaBlockSize = 64 << 10;
// Bits 799 down to 0 lie in bytes 99 down to 0; bit 800 is the lowest bit of byte 100.
inline constexpr int32_t kTopByte = (kTopBitIndex - 1) / 8;

// Byte i of a stored key, the length byte being byte 0; bytes past the key read as 0.
inline uint8_t StoredKeyByte(const uint8_t* stored, int32_t i) { return i <= stored[0] ? stored[i] : 0; }

// A node's share of the node arena: the node, its key right behind it, and the padding to the next node.
size_t NodeRecordSize(uint8_t keyLength);

// A new unlinked node holding `key` with the one posting `entryOffset`; the key is stored right behind the node so
// that comparing it costs no further cache miss.
TrieNode* NewNode(const ShortString& key, int32_t entryOffset, KeyTrie& trie);

// True when the stored key equals `key` (same length, same bytes). A short string is laid out as a stored key is,
// and a stored key's node record is padded to 8 bytes, so both are compared 8 bytes at a time, length byte
// included, with the bytes past the key masked off in the last word.
inline bool KeysEqual(const ShortString& key, const uint8_t* stored) {
  static_assert(offsetof(ShortString, bytes) == 1 && sizeof(ShortString) % 8 == 0);
  if (key.length != stored[0]) return false;
  const auto* text = reinterpret_cast<const uint8_t*>(&key);
  size_t n = size_t{key.length} + 1;
  size_t i = 0;
  uint64_t a;
  uint64_t b;
  for (; i + 8 <= n; i += 8) {
    std::memcpy(&a, text + i, 8);
    std::memcpy(&b, stored + i, 8);
    if (a != b) return false;
  }
  if (i == n) return true;
  auto rest = static_cast<int32_t>(n - i);
  return FirstBytes(text + i, rest) == FirstBytes(stored + i, rest);
}

// The highest bit from 799 down to 0 in which two stored keys differ, or -1 when they agree on all of them.
int32_t StoredDifferenceBit(const uint8_t* a, const uint8_t* b);

}  // namespace vos
