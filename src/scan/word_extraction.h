// Word extraction and case folding. NextWord takes the next key off the front of a line: in headword mode the
// text up to the next comma (untrimmed), in full-text mode a run of WordCharSet bytes whose first and last byte
// are not "-". FoldCase lowers "A".."Z" and the three umlauts "ÄÖÜ" and leaves every other byte alone.
#pragma once

#include <array>
#include <cstdint>

#include "trie/key_hash.h"
#include "trie/short_string.h"

namespace vos {

// The 70 byte values of a word in full-text mode, as a 256-bit membership table.
struct WordCharTable {
  std::array<uint8_t, 32> bits;
};
extern const WordCharTable kWordCharSet;

inline bool IsWordChar(uint8_t byte) { return (kWordCharSet.bits[byte >> 3] >> (byte & 7)) & 1; }

// The unread rest of a line; NextWord consumes it from the front. The line's bytes already consumed stay
// readable, so that the line's last eight bytes can be read at once however few are left.
struct LineRest {
  const uint8_t* bytes;
  int32_t length;
  int32_t consumed;  // bytes of the line before `bytes`
};

inline LineRest RestOf(const uint8_t* bytes, int32_t length) { return {bytes, length, 0}; }
inline LineRest RestOf(const ShortString& line) { return RestOf(line.bytes.data(), line.length); }

// Takes the next key off the front of `line` into `word` (folded unless keepCase). Gives true when the key is
// non-empty; a false result ends the line's keys even when text is left. An empty line leaves `word` unchanged;
// otherwise its bytes past the key may be overwritten.
bool NextWord(LineRest& line, ShortString& word, bool fullText, bool keepCase);
// The same, giving the key's KeyHash in `tag` when it gives true: a full-text word is hashed as it is cut.
bool NextWord(LineRest& line, ShortString& word, bool fullText, bool keepCase, uint32_t& tag);

// The folded form of one byte.
uint8_t FoldByte(uint8_t byte);

// Folds `text` in place; its length never changes.
void FoldCase(ShortString& text);

}  // namespace vos
