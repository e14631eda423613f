// The index file: the key trie written breadth-first, read back by a lookup program with seeks.
//
// All integers are 32-bit two's complement, little-endian.
//
//   offset 0   4 bytes  maxKeyLength      greatest key length among the records (0 when there is no key)
//   offset 4   4 bytes  maxPostingCount   greatest posting count among the records, at least 1
//   offset 8   the node records, back to back, head first, in breadth-first order over down links
//
// A record's record offset is its file position minus 8; the head's is 0. With n the key length and c the
// posting count, a record is n + 17 + 4c bytes:
//
//   0        1 byte   n, the key length (0..255)
//   1        n bytes  the key (ISO-8859-1, as filed: folded unless keep-case was asked for)
//   n + 1    4 bytes  bit index: 800 for the head, 0..799 for every other record
//   n + 5    4 bytes  left:  record offset of the record reached when the tested bit is 0
//   n + 9    4 bytes  right: record offset of the record reached when the tested bit is 1
//   n + 13   4 bytes  c, the posting count (0 for the head, at least 1 otherwise)
//   n + 17   4c bytes the entry offsets, ascending
//
// A link to a record with a lower bit index is a down link; any other link leads back to the record itself or to
// one on the path from the head. A lookup descends from the head, taking bit B of the search key (bit b is bit
// b mod 8 of byte b div 8 of the key's length-prefixed bytes, bytes past the key being 0) at a record of bit index
// B, until a link does not lead down; the record reached is the only one that can hold the key.
#pragma once

#include <cstddef>
#include <cstdint>

#include "trie/short_string.h"

namespace vos {

inline constexpr int64_t kHeaderSize = 8;
inline constexpr int64_t kRecordFixedSize = 17;  // key length byte + bit index + two links + posting count

inline constexpr int64_t BitIndexPosition(int64_t n) { return n + 1; }
inline constexpr int64_t LeftPosition(int64_t n) { return n + 5; }
inline constexpr int64_t RightPosition(int64_t n) { return n + 9; }
inline constexpr int64_t PostingCountPosition(int64_t n) { return n + 13; }
inline constexpr int64_t PostingPosition(int64_t n, int64_t i) { return n + kRecordFixedSize + 4 * i; }
inline constexpr int64_t RecordSize(int64_t n, int64_t c) { return n + kRecordFixedSize + 4 * c; }

static_assert(RecordSize(0, 0) == 17 && RecordSize(255, 0) == 272, "fixed part: 1 + n + 4 + 4 + 4 + 4");
static_assert(PostingPosition(0, 0) == PostingCountPosition(0) + 4, "postings follow their count");

// Stores `value` as 4 bytes, least significant first.
inline void EncodeFixed32(uint8_t* destination, int32_t value) {
  auto bits = static_cast<uint32_t>(value);
  destination[0] = static_cast<uint8_t>(bits);
  destination[1] = static_cast<uint8_t>(bits >> 8);
  destination[2] = static_cast<uint8_t>(bits >> 16);
  destination[3] = static_cast<uint8_t>(bits >> 24);
}

// Reads 4 bytes, least significant first.
inline int32_t DecodeFixed32(const uint8_t* source) {
  uint32_t bits = uint32_t{source[0]} | uint32_t{source[1]} << 8 | uint32_t{source[2]} << 16 |
                  uint32_t{source[3]} << 24;
  return static_cast<int32_t>(bits);
}

// The fixed part of a record: its key, bit index, links and posting count.
struct RecordHead {
  ShortString key;
  int32_t bitIndex = 0;
  int32_t left = 0;
  int32_t right = 0;
  int32_t postingCount = 0;
};

// Decodes the fixed part of the record in `bytes` (at least 17 bytes, and n + 17 where n is bytes[0]).
RecordHead DecodeRecordHead(const uint8_t* bytes);

}  // namespace vos
