// The hash of a key that the key tables use, in steps, so that the scan can hash a word while it cuts it.
// It covers the bits the index can tell apart: the length, characters 1 to 99 and the lowest bit of character 100.
// The characters go in eight at a time in memory order, the last word zero past the key (or past character 99),
// and the length comes last.
#pragma once

#include <algorithm>
#include <cstdint>

#include "trie/short_string.h"

namespace vos {

// Keys of up to this many characters are hashed whole; a longer one only up to it (see KeyHashFinish).
inline constexpr int32_t kHashedCharacters = 99;

inline constexpr uint64_t kKeyHashStart = 0x9E3779B97F4A7C15u;

inline uint64_t KeyHashMix(uint64_t h, uint64_t word) {
  h = (h ^ word) * 0xBF58476D1CE4E5B9u;
  return h ^ (h >> 31);
}

// `hundredth` is the lowest bit of character 100 of a longer key, 0 for a shorter one.
inline uint32_t KeyHashFinish(uint64_t h, uint8_t length, unsigned hundredth) {
  h ^= (uint64_t{length} + 1) * 0xD6E8FEB86659FD93u ^ hundredth;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDu;
  h ^= h >> 33;
  return static_cast<uint32_t>(h >> 32);
}

// The whole hash of a key. Reads its characters 8 at a time; the 255-byte buffer always has room for the last word.
inline uint32_t KeyHash(const ShortString& key) {
  static_assert(sizeof(ShortString::bytes) >= kHashedCharacters + 8, "the last word read stays inside the buffer");
  int32_t counted = std::min<int32_t>(key.length, kHashedCharacters);
  uint64_t h = kKeyHashStart;
  for (int32_t i = 0; i < counted; i += 8) {
    h = KeyHashMix(h, FirstBytes(key.bytes.data() + i, counted - i));
  }
  return KeyHashFinish(h, key.length, key.length > kHashedCharacters ? key.bytes[kHashedCharacters] & 1u : 0);
}

}  // namespace vos
