#include "scan/word_extraction.h"

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

}  // namespace

const WordCharTable kWordCharSet = MakeWordCharSet();

uint8_t FoldByte(uint8_t byte) { return kFoldTable[byte]; }

void FoldCase(ShortString& text) {
  for (int i = 0; i < text.length; ++i) text.bytes[i] = kFoldTable[text.bytes[i]];
}

bool NextWord(LineRest& line, ShortString& word, bool fullText, bool keepCase) {
  if (line.length == 0) return false;
  // The key is folded as it is copied, one pass over its bytes.
  const std::array<uint8_t, 256>& fold = keepCase ? kKeepTable : kFoldTable;
  const uint8_t* bytes = line.bytes;
  int32_t n = 0;
  int32_t consumed;
  if (fullText) {
    const std::array<uint8_t, 256>& wordByte = keepCase ? kKeptWordByte : kFoldedWordByte;
    for (; n < line.length; ++n) {
      uint8_t filed = wordByte[bytes[n]];
      if (filed == 0) break;
      word.bytes[n] = filed;
    }
    word.length = static_cast<uint8_t>(n);
    if (n > 0 && (bytes[0] == kHyphen || bytes[n - 1] == kHyphen)) word.length = 0;
    consumed = n;
    while (consumed < line.length && wordByte[bytes[consumed]] == 0) ++consumed;
  } else {
    for (; n < line.length && bytes[n] != kComma; ++n) word.bytes[n] = fold[bytes[n]];
    word.length = static_cast<uint8_t>(n);
    consumed = n < line.length ? n + 1 : n;
  }
  line.bytes += consumed;
  line.length -= consumed;
  return word.length != 0;
}

}  // namespace vos
