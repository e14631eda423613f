#include "scan/word_extraction.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vos {
namespace {

constexpr uint8_t kHyphen = '-';
constexpr uint8_t kComma = ',';

constexpr WordCharTable MakeWordCharSet() {
  WordCharTable table{};
  auto add = [&table](int byte) {
    table.bits[byte >> 3] = static_cast<uint8_t>(table.bits[byte >> 3] | 1 << (byte & 7));
  };
  add(kHyphen);
  for (int c = '0'; c <= '9'; ++c) add(c);
  for (int c = 'A'; c <= 'Z'; ++c) add(c);
  for (int c = 'a'; c <= 'z'; ++c) add(c);
  for (int c : {0xC4, 0xD6, 0xDC, 0xDF, 0xE4, 0xF6, 0xFC}) add(c);  // Ä Ö Ü ß ä ö ü
  return table;
}

constexpr std::array<uint8_t, 256> MakeFoldTable() {
  std::array<uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = static_cast<uint8_t>(c);
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = static_cast<uint8_t>(c + 32);
  table[0xDC] = 0xFC;  // Ü -> ü
  table[0xD6] = 0xF6;  // Ö -> ö
  table[0xC4] = 0xE4;  // Ä -> ä
  return table;
}

constexpr std::array<uint8_t, 256> kFoldTable = MakeFoldTable();

constexpr std::array<uint8_t, 256> MakeKeepTable() {
  std::array<uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = static_cast<uint8_t>(c);
  return table;
}

constexpr std::array<uint8_t, 256> kKeepTable = MakeKeepTable();

// The word loop's one look-up per byte: the byte as filed (folded or kept) when it is a WordCharSet byte, 0 when it
// is not. No word byte is 0 or folds to 0.
constexpr std::array<uint8_t, 256> MakeWordByteTable(const std::array<uint8_t, 256>& filed) {
  constexpr WordCharTable set = MakeWordCharSet();
  std::array<uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) table[c] = (set.bits[c >> 3] >> (c & 7)) & 1 ? filed[c] : 0;
  return table;
}

constexpr std::array<uint8_t, 256> kFoldedWordByte = MakeWordByteTable(kFoldTable);
constexpr std::array<uint8_t, 256> kKeptWordByte = MakeWordByteTable(kKeepTable);
static_assert(kFoldedWordByte[0] == 0 && kKeptWordByte[0] == 0);

// Full-text words are cut eight bytes at a time on little-endian machines, where byte i of a chunk loaded from
// memory sits in bits 8i..8i+7, so that the first separator is the chunk's lowest marked byte.
constexpr bool kChunked = std::endian::native == std::endian::little;

constexpr uint64_t Repeated(uint8_t byte) { return 0x0101010101010101u * byte; }
constexpr uint64_t kHighBits = Repeated(0x80);

// The sums below stay inside their bytes because every byte of `low` is below 0x80.
// The high bit of each byte of `low` that lies in lo..hi.
constexpr uint64_t InRange(uint64_t low, uint8_t lo, uint8_t hi) {
  return (low + Repeated(static_cast<uint8_t>(0x80 - lo))) & ~(low + Repeated(static_cast<uint8_t>(0x7F - hi))) &
         kHighBits;
}

// The high bit of each byte of `low` that equals `byte`.
constexpr uint64_t Equal(uint64_t low, uint8_t byte) { return ~((low ^ Repeated(byte)) + Repeated(0x7F)) & kHighBits; }

// The word bytes of a chunk, and those of them that fold by setting bit 0x20, each marked by its high bit.
struct ChunkClasses {
  uint64_t words;
  uint64_t folding;
};

constexpr ChunkClasses Classify(uint64_t chunk) {
  uint64_t high = chunk & kHighBits;
  uint64_t low = chunk ^ high;
  // With bit 0x20 set, "A".."Z" become "a".."z", and the umlauts below the high bit become those of "äöü".
  uint64_t lower = low | Repeated(0x20);
  uint64_t letters = InRange(lower, 'a', 'z') & ~high;
  uint64_t umlauts = (Equal(lower, 0xE4 & 0x7F) | Equal(lower, 0xF6 & 0x7F) | Equal(lower, 0xFC & 0x7F)) & high;
  uint64_t sharpS = Equal(low, 0xDF & 0x7F) & high;  // has no bit 0x20 and does not fold
  uint64_t digitsAndHyphen = (InRange(low, '0', '9') | Equal(low, kHyphen)) & ~high;
  return {letters | umlauts | digitsAndHyphen | sharpS, letters | umlauts};
}

// Every byte value, in every place of a chunk, is classified as the tables file it.
constexpr bool ClassifyAgreesWithTables() {
  for (int byte = 0; byte < 256; ++byte) {
    uint64_t chunk = Repeated(static_cast<uint8_t>(byte));
    ChunkClasses classes = Classify(chunk);
    uint64_t filed = chunk | classes.folding >> 2;
    if (classes.words != (kFoldedWordByte[byte] != 0 ? kHighBits : 0)) return false;
    if (classes.words != 0 && filed != Repeated(kFoldedWordByte[byte])) return false;
  }
  return true;
}
static_assert(ClassifyAgreesWithTables());

// The word at the front of a line: its length, and where the separators after it may still go on (the bytes
// between are separators).
struct WordCut {
  int32_t length;
  int32_t separatorsUntil;
  bool hashed = false;  // `hash` holds the word's chunks mixed as KeyHash mixes them
  uint64_t hash = 0;
};

// Copies the word at the front of the `length` bytes into `out` as filed; the `before` bytes of the line ahead of
// `bytes` may be read as well. Bytes of `out` past the word may be written. Where the line has eight bytes, the
// word is cut a chunk at a time; a chunk that would run past the line's end is taken from the line's last eight
// bytes instead and moved down into place, so that 0s, which are separators, stand for the bytes past the end.
// The chunk that ends the word also shows where the next word starts, when it starts within that chunk.
template <bool keepCase>
WordCut CutWord(const uint8_t* bytes, int32_t length, int32_t before, decltype(ShortString::bytes)& out) {
  constexpr auto kRoom = static_cast<int32_t>(sizeof out);
  if (kChunked && before + length >= 8) {
    uint64_t hash = kKeyHashStart;
    for (int32_t n = 0;; n += 8) {
      uint64_t chunk;
      if (int32_t left = length - n; left >= 8) {
        std::memcpy(&chunk, bytes + n, sizeof chunk);
      } else {
        std::memcpy(&chunk, bytes + length - 8, sizeof chunk);
        chunk >>= 8 * (8 - left);
      }
      ChunkClasses classes = Classify(chunk);
      uint64_t filed = keepCase ? chunk : chunk | classes.folding >> 2;
      if (n + 8 <= kRoom) [[likely]] {
        std::memcpy(out.data() + n, &filed, sizeof filed);
      } else {  // the last chunk of a word of more than 248 bytes: only its first bytes have room
        for (int32_t i = n; i < kRoom; ++i) out[i] = static_cast<uint8_t>(filed >> 8 * (i - n));
      }
      if (uint64_t separators = ~classes.words & kHighBits; separators != 0) {
        int32_t end = std::countr_zero(separators) / 8;
        // The word's last chunk goes into the hash with the bytes past the word cleared, as KeyHash reads it.
        if (end > 0) hash = KeyHashMix(hash, filed & ~uint64_t{0} >> (64 - 8 * end));
        uint64_t wordsAfter = classes.words & ~uint64_t{1} << (8 * end + 7);
        if (wordsAfter != 0) return {n + end, n + std::countr_zero(wordsAfter) / 8, true, hash};
        return {n + end, std::min(n + 8, length), true, hash};
      }
      if (n + 8 >= length) {
        // The word runs to the line's end and fills this chunk.
        return {length, length, true, KeyHashMix(hash, filed)};
      }
      hash = KeyHashMix(hash, filed);
    }
  }
  const std::array<uint8_t, 256>& wordByte = keepCase ? kKeptWordByte : kFoldedWordByte;
  int32_t n = 0;
  for (; n < length; ++n) {
    uint8_t filed = wordByte[bytes[n]];
    if (filed == 0) break;
    out[n] = filed;
  }
  return {n, n};
}

}  // namespace

const WordCharTable kWordCharSet = MakeWordCharSet();

uint8_t FoldByte(uint8_t byte) { return kFoldTable[byte]; }

void FoldCase(ShortString& text) {
  for (int i = 0; i < text.length; ++i) text.bytes[i] = kFoldTable[text.bytes[i]];
}

bool NextWord(LineRest& line, ShortString& word, bool fullText, bool keepCase) {
  uint32_t tag;
  return NextWord(line, word, fullText, keepCase, tag);
}

bool NextWord(LineRest& line, ShortString& word, bool fullText, bool keepCase, uint32_t& tag) {
  if (line.length == 0) return false;
  bool hashed = false;
  uint64_t hash = 0;
  // The key is folded as it is copied, one pass over its bytes.
  const std::array<uint8_t, 256>& fold = keepCase ? kKeepTable : kFoldTable;
  const uint8_t* bytes = line.bytes;
  int32_t n = 0;
  int32_t consumed;
  if (fullText) {
    const std::array<uint8_t, 256>& wordByte = keepCase ? kKeptWordByte : kFoldedWordByte;
    WordCut cut = keepCase ? CutWord<true>(bytes, line.length, line.consumed, word.bytes)
                           : CutWord<false>(bytes, line.length, line.consumed, word.bytes);
    n = cut.length;
    word.length = static_cast<uint8_t>(n);
    hashed = cut.hashed && n <= kHashedCharacters;
    hash = cut.hash;
    if (n > 0 && (bytes[0] == kHyphen || bytes[n - 1] == kHyphen)) word.length = 0;
    consumed = cut.separatorsUntil;
    while (consumed < line.length && wordByte[bytes[consumed]] == 0) ++consumed;
  } else {
    for (; n < line.length && bytes[n] != kComma; ++n) word.bytes[n] = fold[bytes[n]];
    word.length = static_cast<uint8_t>(n);
    consumed = n < line.length ? n + 1 : n;
  }
  line.bytes += consumed;
  line.length -= consumed;
  line.consumed += consumed;
  if (word.length == 0) return false;
  tag = hashed ? KeyHashFinish(hash, word.length, 0) : KeyHash(word);
  return true;
}

}  // namespace vos
