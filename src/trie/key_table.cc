#include "trie/key_table.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#include "runtime/run_stop.h"
#include "trie/key_hash.h"

namespace vos {
namespace {

constexpr size_t kFirstTableSize = 1024;

// A node handle names a node by its arena block (counted from 1) and its 8-byte unit within the block, in 32 bits,
// so that a table slot holds a hash tag and a node in 8 bytes. Handles grow in the order the nodes were made.
constexpr int kUnitBits = 19;  // 2^19 units of 8 bytes: one block of kArenaBlockSize
static_assert(kArenaBlockSize == size_t{8} << kUnitBits);
constexpr size_t kMaxBlocks = (size_t{1} << (32 - kUnitBits)) - 1;

uint32_t NodeHandle(const Arena& arena, const TrieNode* node) {
  // Nodes are made in the newest block, so the search rarely goes further than one step.
  auto* address = reinterpret_cast<const uint8_t*>(node);
  for (size_t block = arena.blocks.size(); block-- > 0;) {
    const uint8_t* start = arena.blocks[block].bytes.get();
    if (address >= start && address < start + arena.blocks[block].size) {
      if (block + 1 > kMaxBlocks) StopRun(ErrorCode::kOutOfMemory);
      return static_cast<uint32_t>((block + 1) << kUnitBits | static_cast<size_t>(address - start) / 8);
    }
  }
  std::abort();  // not a node of this arena
}

TrieNode* NodeAt(const Arena& arena, uint32_t handle) {
  return reinterpret_cast<TrieNode*>(arena.blocks[(handle >> kUnitBits) - 1].bytes.get() +
                                     size_t{handle & ((1u << kUnitBits) - 1)} * 8);
}

inline uint32_t SlotHandle(uint64_t slot) { return static_cast<uint32_t>(slot); }
inline uint32_t SlotTag(uint64_t slot) { return static_cast<uint32_t>(slot >> 32); }

static_assert(kHashedCharacters == kTopByte, "the hash covers the characters the index tells apart");

// True when the stored key agrees with `key` on every bit the index can tell apart.
bool SameIndexBits(const ShortString& key, const uint8_t* stored) {
  if (key.length <= kTopByte) return KeysEqual(key, stored);
  if (key.length != stored[0]) return false;
  int32_t counted = std::min<int32_t>(key.length, kTopByte);
  if (std::memcmp(key.bytes.data(), stored + 1, static_cast<size_t>(counted)) != 0) return false;
  return key.length <= kTopByte || ((key.bytes[kTopByte] ^ stored[kTopByte + 1]) & 1) == 0;
}

// The slot of the node that agrees with `key` on the index's bits (on all its bytes when `exact`), or the free
// slot where it would go.
template <bool exact>
size_t FindSlot(const KeyTable& table, const Arena& arena, const ShortString& key, uint32_t tag) {
  size_t mask = table.size - 1;
  for (size_t i = tag & mask;; i = (i + 1) & mask) {
    uint64_t slot = table.slots[i];
    if (slot == 0) return i;
    if (SlotTag(slot) != tag) continue;
    const uint8_t* stored = StoredKey(*NodeAt(arena, SlotHandle(slot)));
    if (exact ? KeysEqual(key, stored) : SameIndexBits(key, stored)) return i;
  }
}

// Keeps the table at most three quarters full with `more` keys added. A probe compares tags, eight slots to a cache
// line, and touches a node only when the tag matches, so a fuller table costs little time and much less memory. The tags
// place the nodes anew without touching them.
void MakeRoom(KeyTable& table, int64_t more) {
  if ((table.count + more) * 4 <= static_cast<int64_t>(table.size) * 3) return;
  KeyTable old = std::move(table);
  size_t size = std::max(kFirstTableSize, old.size);
  while (static_cast<int64_t>(size) * 3 < (old.count + more) * 4) size *= 2;
  // Fresh memory from the system is zero already: no slot needs clearing.
  table.memory = NewLargeBlock(size * sizeof(uint64_t));
  table.slots = reinterpret_cast<uint64_t*>(table.memory.get());
  table.size = size;
  table.count = old.count;
  size_t mask = size - 1;
  for (size_t k = 0; k < old.size; ++k) {
    uint64_t slot = old.slots[k];
    if (slot == 0) continue;
    size_t i = SlotTag(slot) & mask;
    while (table.slots[i] != 0) i = (i + 1) & mask;
    table.slots[i] = slot;
  }
}

// FileKey with the key's tag at hand and room in the table.
TrieNode* FileTaggedKey(const ShortString& key, uint32_t tag, int32_t entryOffset, KeyTable& table, KeyTrie& trie,
                        RunStatistics& statistics) {
  size_t i = FindSlot<false>(table, trie.nodeArena, key, tag);
  if (table.slots[i] != 0) {
    TrieNode* node = NodeAt(trie.nodeArena, SlotHandle(table.slots[i]));
    // A key of up to 99 characters agrees with the node's on all its bytes; a longer one may differ beyond the
    // index's bits, and then the earlier key keeps the place.
    if (key.length > kTopByte && !KeysEqual(key, StoredKey(*node))) return nullptr;
    AddPosting(*node, entryOffset, trie, statistics);
    return node;
  }
  TrieNode* node = NewNode(key, entryOffset, trie);
  table.slots[i] = uint64_t{tag} << 32 | NodeHandle(trie.nodeArena, node);
  ++table.count;
  if (key.length > statistics.maxKeyLength) {
    statistics.maxKeyLength = key.length;
    statistics.longestKeyNode = node;
  }
  return node;
}

}  // namespace

uint32_t KeyTag(const ShortString& key) { return KeyHash(key); }

TrieNode* FileKey(const ShortString& key, int32_t entryOffset, KeyTable& table, KeyTrie& trie,
                  RunStatistics& statistics) {
  if (key.length == 0) return nullptr;
  MakeRoom(table, 1);
  return FileTaggedKey(key, KeyTag(key), entryOffset, table, trie, statistics);
}

void FileBatch(KeyBatch& batch, KeyTable& table, KeyTrie& trie, RunStatistics& statistics) {
  // A pipeline: the slot of the key kSlotLead places ahead is fetched, then the node of the key kNodeLead places
  // ahead, whose slot has arrived by then, then the place in that node's posting array that a new offset would
  // take, so that the key at hand finds all three in the cache.
  constexpr int kSlotLead = 16;
  constexpr int kNodeLead = 8;
  constexpr int kPostingLead = 4;
  MakeRoom(table, batch.count);
  size_t mask = table.size - 1;
  // The node of the key at `k` when its slot holds the key's tag (most likely the key itself), else nullptr.
  auto taggedNode = [&](int k) -> const TrieNode* {
    uint64_t slot = table.slots[batch.tags[k] & mask];
    return slot != 0 && SlotTag(slot) == batch.tags[k] ? NodeAt(trie.nodeArena, SlotHandle(slot)) : nullptr;
  };
  for (int i = -kSlotLead; i < batch.count; ++i) {
    if (i + kSlotLead < batch.count) __builtin_prefetch(&table.slots[batch.tags[i + kSlotLead] & mask]);
    if (int ahead = i + kNodeLead; ahead >= 0 && ahead < batch.count) {
      if (const TrieNode* node = taggedNode(ahead)) {
        __builtin_prefetch(node);
        __builtin_prefetch(node + 1);  // the key, right behind the node
      }
    }
    if (int ahead = i + kPostingLead; ahead >= 0 && ahead < batch.count) {
      if (const TrieNode* node = taggedNode(ahead); node != nullptr && node->postings.count > 1) {
        __builtin_prefetch(node->postings.earlier + EarlierSlot(static_cast<uint32_t>(node->postings.count - 1)), 1);
      }
    }
    if (i >= 0 && batch.keys[i].length != 0) {
      FileTaggedKey(batch.keys[i], batch.tags[i], batch.entryOffsets[i], table, trie, statistics);
    }
  }
  batch.count = 0;
}

namespace {

void PlaceInBucket(KeySet& set, uint32_t tag, uint64_t text, uint64_t length) {
  size_t b = tag & (set.buckets.size() - 1);
  for (size_t k = 0; k < 4; ++k) {
    if (set.buckets[b].length[k] != 0) continue;
    set.buckets[b].text[k] = text;
    set.buckets[b].length[k] = length;
    return;
  }
  set.overflowed[b] = true;
}

}  // namespace

void AddToSet(const ShortString& key, KeySet& set) {
  if (key.length == 0) return;
  MakeRoom(set.table, 1);
  uint32_t tag = KeyTag(key);
  size_t i = FindSlot<true>(set.table, set.keys.nodeArena, key, tag);
  if (set.table.slots[i] != 0) return;
  set.table.slots[i] = uint64_t{tag} << 32 | NodeHandle(set.keys.nodeArena, NewNode(key, 0, set.keys));
  ++set.table.count;
  if (key.length > kBucketKeyLength) return;
  // About one key a bucket: most buckets then hold every key that falls into them.
  if (++set.bucketed > static_cast<int64_t>(set.buckets.size())) {
    set.buckets.assign(std::max<size_t>(64, 2 * set.buckets.size()), KeyBucket{});
    set.overflowed.assign(set.buckets.size(), false);
    for (size_t k = 0; k < set.table.size; ++k) {
      uint64_t slot = set.table.slots[k];
      if (slot == 0) continue;
      const uint8_t* stored = StoredKey(*NodeAt(set.keys.nodeArena, SlotHandle(slot)));
      if (stored[0] <= kBucketKeyLength) PlaceInBucket(set, SlotTag(slot), FirstBytes(stored + 1, stored[0]), stored[0]);
    }
    return;
  }
  PlaceInBucket(set, tag, FirstBytes(key.bytes.data(), key.length), key.length);
}

bool SetHolds(const KeySet& set, const ShortString& key, uint32_t tag) {
  if (key.length == 0 || set.table.count == 0) return false;
  if (key.length <= kBucketKeyLength && !set.buckets.empty()) {
    size_t b = tag & (set.buckets.size() - 1);
    if (!set.overflowed[b]) {
      const KeyBucket& bucket = set.buckets[b];
      uint64_t text = FirstBytes(key.bytes.data(), key.length);
      uint64_t length = key.length;
      unsigned held = 0;
      for (size_t k = 0; k < 4; ++k) {
        held |= static_cast<unsigned>(bucket.text[k] == text) & static_cast<unsigned>(bucket.length[k] == length);
      }
      return held != 0;
    }
  }
  return set.table.slots[FindSlot<true>(set.table, set.keys.nodeArena, key, tag)] != 0;
}

namespace {

// Keys in the order of their bits from 799 down to 0: bytes 99 down to 1, then the length byte.
int CompareBelowTop(const uint8_t* a, const uint8_t* b) {
  for (int32_t i = std::min<int32_t>(std::max(a[0], b[0]), kTopByte); i >= 0; --i) {
    uint8_t x = StoredKeyByte(a, i);
    uint8_t y = StoredKeyByte(b, i);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

struct SortItem {
  uint64_t prefix;  // orders keys as CompareBelowTop does, as far as it goes (see MakeSortItem)
  uint32_t handle;  // the node; handles grow in the order the keys first arrived
  uint32_t more;    // the next four bytes below the prefix's
};

// The sort item of a key: the position of its highest non-zero character among 1 to 99, then that character and
// the ten bytes below it, down to the length byte. Items that agree on all of these need the full compare.
SortItem MakeSortItem(const uint8_t* key, uint32_t handle) {
  int32_t top = std::min<int32_t>(key[0], kTopByte);
  while (top > 0 && key[top] == 0) --top;
  SortItem item{static_cast<uint64_t>(top) << 56, handle, 0};
  for (int32_t j = 0; j < 7 && top - j >= 0; ++j) item.prefix |= uint64_t{key[top - j]} << (48 - 8 * j);
  for (int32_t j = 7; j < 11 && top - j >= 0; ++j) item.more |= uint32_t{key[top - j]} << (24 - 8 * (j - 7));
  return item;
}

// Buckets of sort items: the side of the head, then the top `bits` bits (at most 16) of the prefix, that is of the
// position of the highest non-zero character and that character. Bucket order is sort order.
size_t BucketOf(const uint8_t* key, int bits) {
  int side = key[0] > kTopByte ? key[kTopByte + 1] & 1 : 0;
  int32_t top = std::min<int32_t>(key[0], kTopByte);
  while (top > 0 && key[top] == 0) --top;
  size_t topBits = (static_cast<size_t>(top) << 8 | key[top]) >> (16 - bits);
  return static_cast<size_t>(side) << bits | topBits;
}

// Calls `visit` (key, handle) for every node of the trie but the head, in the order the nodes were made.
template <typename Visit>
void ForEachFiledNode(const KeyTrie& trie, Visit visit) {
  const Arena& arena = trie.nodeArena;
  for (size_t block = 0; block < arena.blocks.size(); ++block) {
    const uint8_t* bytes = arena.blocks[block].bytes.get();
    for (size_t offset = 0; offset < arena.blocks[block].used;) {
      auto* node = reinterpret_cast<const TrieNode*>(bytes + offset);
      if (node != trie.head) visit(StoredKey(*node), static_cast<uint32_t>((block + 1) << kUnitBits | offset / 8));
      offset += NodeRecordSize(StoredKey(*node)[0]);
    }
  }
}

// A finished subtree of the crit-bit tree: where a link to it leads, and its earliest key.
struct Subtree {
  TrieNode* target;    // the node holding the subtree's root (for a single key: the node holding that key)
  TrieNode* earliest;  // the node of the earliest key in the subtree
  int64_t arrival;     // when that key arrived; the head's empty key was there from the start
};

// A crit-bit node whose left side is finished and whose right side is still growing.
struct OpenNode {
  int32_t bitIndex;
  Subtree left;
};

// The node of the crit-bit tree with the two finished sides: it is the node of the earliest key of the side that
// received a key later, since that key's insertion is what created the split.
Subtree Close(const OpenNode& open, const Subtree& right) {
  const Subtree& earlier = open.left.arrival < right.arrival ? open.left : right;
  const Subtree& later = open.left.arrival < right.arrival ? right : open.left;
  TrieNode* node = later.earliest;
  node->bitIndex = open.bitIndex;
  node->left = open.left.target;
  node->right = right.target;
  return {node, earlier.earliest, earlier.arrival};
}

// The linking of one side of the head, fed its keys in sorted order one run at a time: the head's empty key comes
// first, then the keys, and FinishSide gives the target of the head's link to that side.
struct SideLink {
  std::vector<OpenNode> open;  // the right spine; bit indices fall from bottom to top
  Subtree carry;
  const uint8_t* previous;
};

SideLink StartSide(TrieNode* head) { return {{}, {head, head, -1}, StoredKey(*head)}; }

void LinkSorted(SideLink& link, const SortItem* first, const SortItem* last, const Arena& arena) {
  for (const SortItem* at = first; at != last; ++at) {
    const SortItem& item = *at;
    if (last - at > 8) __builtin_prefetch(NodeAt(arena, at[8].handle) + 1);  // the key
    TrieNode* node = NodeAt(arena, item.handle);
    int32_t bitIndex = StoredDifferenceBit(StoredKey(*node), link.previous);
    while (!link.open.empty() && link.open.back().bitIndex < bitIndex) {
      link.carry = Close(link.open.back(), link.carry);
      link.open.pop_back();
    }
    link.open.push_back({bitIndex, link.carry});
    link.carry = {node, node, item.handle};
    link.previous = StoredKey(*node);
  }
}

TrieNode* FinishSide(SideLink& link) {
  while (!link.open.empty()) {
    link.carry = Close(link.open.back(), link.carry);
    link.open.pop_back();
  }
  return link.carry.target;
}

// The end of the run of buckets that starts at `first`: as many as hold at most `limit` items together, and at
// least one.
size_t RunEnd(const std::vector<uint32_t>& bucketStart, size_t first, size_t end, size_t limit) {
  size_t last = first + 1;
  while (last < end && bucketStart[last + 1] - bucketStart[first] <= limit) ++last;
  return last;
}

}  // namespace

void LinkFiledKeys(KeyTable& table, KeyTrie& trie) {
  // The sort items take at most the memory of the table, which goes first, so that linking never needs more memory
  // than filing did: a large trie is sorted and linked in runs of buckets, each with a pass over the nodes.
  size_t runLimit = std::max<size_t>(table.size * sizeof(uint64_t) / sizeof(SortItem), 1);
  table = KeyTable{};
  // Bit 800 sends a key to the head's left or right side; each side is the crit-bit tree of its keys on bits 799
  // to 0, the head's empty key included. The node arena holds the nodes back to back, so they are read in order.
  // The items are placed straight into buckets by side and by the top bits of their prefix, counted in a first
  // pass, so that the sort only orders each bucket's few items, and no second array is needed.
  const Arena& arena = trie.nodeArena;
  // About as many buckets as keys, up to 2^16 a side: a small trie does not pay for a large count table.
  int bits = std::clamp(static_cast<int>(std::bit_width(static_cast<uint64_t>(trie.nodeCount))), 1, 16);
  size_t bucketsPerSide = size_t{1} << bits;
  std::vector<uint32_t> bucketStart(2 * bucketsPerSide + 1, 0);
  ForEachFiledNode(trie, [&bucketStart, bits](const uint8_t* key, uint32_t) {
    ++bucketStart[BucketOf(key, bits) + 1];
  });
  for (size_t b = 1; b < bucketStart.size(); ++b) bucketStart[b] += bucketStart[b - 1];

  size_t largestRun = 0;
  for (size_t side = 0; side < 2; ++side) {
    size_t end = (side + 1) * bucketsPerSide;
    for (size_t b = side * bucketsPerSide, e; b < end; b = e) {
      e = RunEnd(bucketStart, b, end, runLimit);
      largestRun = std::max<size_t>(largestRun, bucketStart[e] - bucketStart[b]);
    }
  }
  LargeBlock itemMemory = NewLargeBlock(largestRun * sizeof(SortItem));
  auto* items = reinterpret_cast<SortItem*>(itemMemory.get());
  std::vector<uint32_t> next(bucketStart.size());
  auto before = [&arena](const SortItem& a, const SortItem& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if (a.more != b.more) return a.more < b.more;
    return CompareBelowTop(StoredKey(*NodeAt(arena, a.handle)), StoredKey(*NodeAt(arena, b.handle))) < 0;
  };
  for (size_t side = 0; side < 2; ++side) {
    SideLink link = StartSide(trie.head);
    size_t end = (side + 1) * bucketsPerSide;
    for (size_t b = side * bucketsPerSide, e; b < end; b = e) {
      e = RunEnd(bucketStart, b, end, runLimit);
      uint32_t base = bucketStart[b];
      if (bucketStart[e] == base) continue;
      for (size_t k = b; k < e; ++k) next[k] = bucketStart[k] - base;
      ForEachFiledNode(trie, [items, &next, bits, b, e](const uint8_t* key, uint32_t handle) {
        size_t bucket = BucketOf(key, bits);
        if (bucket >= b && bucket < e) items[next[bucket]++] = MakeSortItem(key, handle);
      });
      for (size_t k = b; k < e; ++k) {
        if (bucketStart[k + 1] - bucketStart[k] > 1) {
          std::sort(items + (bucketStart[k] - base), items + (bucketStart[k + 1] - base), before);
        }
      }
      LinkSorted(link, items, items + (bucketStart[e] - base), arena);
    }
    (side == 0 ? trie.head->left : trie.head->right) = FinishSide(link);
  }
}

}  // namespace vos
