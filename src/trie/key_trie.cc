#include "trie/key_trie.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vos {
namespace {

constexpr size_t kArenaBlockSize = 1 << 20;

// Memory that stays until the process ends; a refused allocation ends the run through the new-handler.
void* Allocate(Arena& arena, size_t size) {
  size = (size + alignof(TrieNode) - 1) & ~(alignof(TrieNode) - 1);
  if (size > arena.left) {
    size_t blockSize = std::max(size, kArenaBlockSize);
    arena.blocks.push_back(std::make_unique<uint8_t[]>(blockSize));
    arena.next = arena.blocks.back().get();
    arena.left = blockSize;
  }
  void* result = arena.next;
  arena.next += size;
  arena.left -= size;
  return result;
}

PostingCell* NewCell(int32_t entryOffset, Arena& arena) {
  auto* cell = static_cast<PostingCell*>(Allocate(arena, sizeof(PostingCell)));
  cell->entryOffset = entryOffset;
  cell->next = nullptr;
  return cell;
}

const uint8_t kEmptyKey[1] = {0};

// Byte i of a key, the length byte being byte 0; bytes past the key read as 0.
inline uint8_t KeyByte(const ShortString& key, int32_t i) {
  if (i == 0) return key.length;
  return i <= key.length ? key.bytes[i - 1] : 0;
}

inline bool KeysEqual(const ShortString& key, const uint8_t* stored) {
  return key.length == stored[0] && std::memcmp(key.bytes.data(), stored + 1, key.length) == 0;
}

// The highest bit from 799 down to 0 in which the two keys differ, or -1 when they agree on all of them.
// Bit 800 is the head's own bit and is never a difference bit, so that every node stays below the head.
int32_t DifferenceBit(const ShortString& key, const uint8_t* stored) {
  int32_t top = std::min<int32_t>(std::max<int32_t>(key.length, stored[0]), (kTopBitIndex - 1) / 8);
  for (int32_t i = top; i >= 0; --i) {
    uint8_t other = i <= stored[0] ? stored[i] : 0;
    auto diff = static_cast<uint8_t>(KeyByte(key, i) ^ other);
    if (diff != 0) return i * 8 + std::bit_width(diff) - 1;
  }
  return -1;
}

}  // namespace

void NewTrie(KeyTrie& trie) {
  auto* head = static_cast<TrieNode*>(Allocate(trie.arena, sizeof(TrieNode)));
  *head = TrieNode{kEmptyKey, {}, kTopBitIndex, head, head, 0};
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

bool ContainsKey(const ShortString& key, const KeyTrie& trie) { return KeysEqual(key, FindNode(key, trie)->key); }

void AddPosting(TrieNode& node, int32_t entryOffset, KeyTrie& trie, RunStatistics& statistics) {
  PostingList& list = node.postings;
  if (list.last != nullptr && list.last->entryOffset == entryOffset) return;
  PostingCell* cell = NewCell(entryOffset, trie.arena);
  if (list.last == nullptr) {
    list.first = cell;
  } else {
    list.last->next = cell;
  }
  list.last = cell;
  ++list.count;
  if (list.count > statistics.maxPostingCount) {
    statistics.maxPostingCount = list.count;
    statistics.mostFrequentNode = &node;
  }
}

TrieNode* InsertKey(const ShortString& key, int32_t entryOffset, KeyTrie& trie, RunStatistics& statistics) {
  if (key.length == 0) return nullptr;  // the head's key; an empty exclusion line files nothing
  auto* found = const_cast<TrieNode*>(FindNode(key, trie));
  if (KeysEqual(key, found->key)) {
    AddPosting(*found, entryOffset, trie, statistics);
    return found;
  }
  int32_t d = DifferenceBit(key, found->key);
  if (d < 0) return nullptr;  // no bit of the index format tells this key from `found`

  TrieNode* parent;
  TrieNode* p = trie.head;
  do {
    parent = p;
    p = KeyBit(key, parent->bitIndex) ? parent->right : parent->left;
  } while (p->bitIndex > d && p->bitIndex < parent->bitIndex);

  auto* x = static_cast<TrieNode*>(Allocate(trie.arena, sizeof(TrieNode)));
  auto* keyBytes = static_cast<uint8_t*>(Allocate(trie.arena, key.length + 1u));
  keyBytes[0] = key.length;
  std::memcpy(keyBytes + 1, key.bytes.data(), key.length);
  PostingCell* cell = NewCell(entryOffset, trie.arena);
  *x = TrieNode{keyBytes, {cell, cell, 1}, d, nullptr, nullptr, 0};
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
  ++trie.nodeCount;
  if (key.length > statistics.maxKeyLength) {
    statistics.maxKeyLength = key.length;
    statistics.longestKeyNode = x;
  }
  return x;
}

}  // namespace vos

