#include "trie/key_trie.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "runtime/run_stop.h"

namespace vos {
namespace {

// Memory that stays until the process ends; a refused allocation ends the run through the new-handler.
void* Allocate(Arena& arena, size_t size) {
  size = (size + alignof(TrieNode) - 1) & ~(alignof(TrieNode) - 1);
  if (arena.blocks.empty() || size > arena.blocks.back().size - arena.blocks.back().used) {
    // Blocks double from 64 KiB to kArenaBlockSize, so that a small trie stays small.
    size_t blockSize = kArenaBlockSize;
    if (size_t grown = kFirstArenaBlockSize; arena.blocks.size() < 16) {
      grown <<= arena.blocks.size();
      blockSize = std::min(blockSize, grown);
    }
    blockSize = std::max(size, blockSize);
    arena.blocks.push_back({NewLargeBlock(blockSize), blockSize, 0});
  }
  ArenaBlock& block = arena.blocks.back();
  void* result = block.bytes.get() + block.used;
  block.used += size;
  return result;
}

// A posting array with room for 2^sizeClass offsets (sizeClass >= 1), an outgrown one if there is one.
int32_t* TakePostingArray(KeyTrie& trie, int sizeClass) {
  int32_t* array = trie.spareArrays[sizeClass];
  if (array == nullptr) return static_cast<int32_t*>(Allocate(trie.postingArena, sizeof(int32_t) << sizeClass));
  std::memcpy(&trie.spareArrays[sizeClass], array, sizeof(int32_t*));  // the next spare is chained through its start
  return array;
}

void KeepPostingArray(KeyTrie& trie, int sizeClass, int32_t* array) {
  std::memcpy(array, &trie.spareArrays[sizeClass], sizeof(int32_t*));
  trie.spareArrays[sizeClass] = array;
}

// A chunk that follows `previous` (the full array or chunk of a long list).
int32_t* NewPostingChunk(KeyTrie& trie, int32_t* previous) {
  auto* chunk = static_cast<int32_t*>(Allocate(trie.postingArena, kChunkSize));
  std::memcpy(chunk + kChunkOffsets, &previous, sizeof previous);
  return chunk;
}

// Byte i of a key, the length byte being byte 0; bytes past the key read as 0.
inline uint8_t KeyByte(const ShortString& key, int32_t i) {
  if (i == 0) return key.length;
  return i <= key.length ? key.bytes[i - 1] : 0;
}

inline uint8_t KeyByte(const uint8_t* stored, int32_t i) { return StoredKeyByte(stored, i); }

// The highest bit from 799 down to 0 in which the two keys differ, or -1 when they agree on all of them.
// Bit 800 is the head's own bit and is never a difference bit, so that every node stays below the head.
template <typename Key>
int32_t DifferenceBit(const Key& key, const uint8_t* stored) {
  int32_t top = std::min<int32_t>(std::max<int32_t>(KeyByte(key, 0), stored[0]), kTopByte);
  for (int32_t i = top; i >= 0; --i) {
    auto diff = static_cast<uint8_t>(KeyByte(key, i) ^ KeyByte(stored, i));
    if (diff != 0) return i * 8 + std::bit_width(diff) - 1;
  }
  return -1;
}

}  // namespace

// KeysEqual reads a stored key in whole words up to the end of its node record.
static_assert(sizeof(TrieNode) % 8 == 0 && alignof(TrieNode) == 8);

size_t NodeRecordSize(uint8_t keyLength) {
  return (sizeof(TrieNode) + keyLength + 1 + alignof(TrieNode) - 1) & ~(alignof(TrieNode) - 1);
}

TrieNode* NewNode(const ShortString& key, int32_t entryOffset, KeyTrie& trie) {
  auto* memory = static_cast<uint8_t*>(Allocate(trie.nodeArena, NodeRecordSize(key.length)));
  uint8_t* keyBytes = memory + sizeof(TrieNode);
  keyBytes[0] = key.length;
  std::memcpy(keyBytes + 1, key.bytes.data(), key.length);
  auto* node = new (memory) TrieNode{nullptr, nullptr, kTopBitIndex, 0, {1, entryOffset, nullptr}};
  ++trie.nodeCount;
  return node;
}

int32_t StoredDifferenceBit(const uint8_t* a, const uint8_t* b) { return DifferenceBit(a, b); }

void NewTrie(KeyTrie& trie) {
  TrieNode* head = NewNode(ShortString{}, 0, trie);
  head->left = head;
  head->right = head;
  head->postings = {};
  trie.head = head;
  trie.nodeCount = 0;
}

void ResetStatistics(RunStatistics& statistics, const KeyTrie& trie) {
  statistics.totalWords = 0;
  statistics.maxKeyLength = 0;
  statistics.longestKeyNode = trie.head;
  statistics.maxPostingCount = 1;
  statistics.mostFrequentNode = trie.head;
}

const TrieNode* FindNode(const ShortString& key, const KeyTrie& trie) {
  const TrieNode* parent;
  const TrieNode* p = trie.head;
  do {
    parent = p;
    p = KeyBit(key, parent->bitIndex) ? parent->right : parent->left;
  } while (p->bitIndex < parent->bitIndex);
  return p;
}

bool ContainsKey(const ShortString& key, const KeyTrie& trie) { return KeysEqual(key, StoredKey(*FindNode(key, trie))); }

void AddPosting(TrieNode& node, int32_t entryOffset, KeyTrie& trie, RunStatistics& statistics) {
  PostingList& list = node.postings;
  if (list.count > 0) {
    if (list.last == entryOffset) return;
    // An array has room for 2, 4, ... kLongList offsets and is full when the place to fill is a power of two from 2
    // up; past kLongList, a chunk is full when the slot comes round to 0.
    auto place = static_cast<uint32_t>(list.count - 1);
    uint32_t slot = EarlierSlot(place);
    if (place == 0) {
      list.earlier = TakePostingArray(trie, 1);
    } else if (place >= kLongList) {
      if (slot == 0) list.earlier = NewPostingChunk(trie, list.earlier);
    } else if (place >= 2 && (place & (place - 1)) == 0) {
      int sizeClass = std::countr_zero(place);
      int32_t* larger = TakePostingArray(trie, sizeClass + 1);
      std::memcpy(larger, list.earlier, place * sizeof(int32_t));
      KeepPostingArray(trie, sizeClass, list.earlier);
      list.earlier = larger;
    }
    list.earlier[slot] = list.last;
  }
  list.last = entryOffset;
  ++list.count;
  if (list.count > statistics.maxPostingCount) {
    statistics.maxPostingCount = list.count;
    statistics.mostFrequentNode = &node;
  }
}

TrieNode* InsertKey(const ShortString& key, int32_t entryOffset, KeyTrie& trie, RunStatistics& statistics) {
  if (key.length == 0) return nullptr;  // the head's key; an empty exclusion line files nothing
  auto* found = const_cast<TrieNode*>(FindNode(key, trie));
  if (KeysEqual(key, StoredKey(*found))) {
    AddPosting(*found, entryOffset, trie, statistics);
    return found;
  }
  int32_t d = DifferenceBit(key, StoredKey(*found));
  if (d < 0) return nullptr;  // no bit of the index format tells this key from `found`

  TrieNode* parent;
  TrieNode* p = trie.head;
  do {
    parent = p;
    p = KeyBit(key, parent->bitIndex) ? parent->right : parent->left;
  } while (p->bitIndex > d && p->bitIndex < parent->bitIndex);

  TrieNode* x = NewNode(key, entryOffset, trie);
  x->bitIndex = d;
  if (KeyBit(key, d)) {
    x->left = p;
    x->right = x;
  } else {
    x->left = x;
    x->right = p;
  }
  if (KeyBit(key, parent->bitIndex)) {
    parent->right = x;
  } else {
    parent->left = x;
  }
  if (key.length > statistics.maxKeyLength) {
    statistics.maxKeyLength = key.length;
    statistics.longestKeyNode = x;
  }
  return x;
}

}  // namespace vos
