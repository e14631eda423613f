#include "scan/word_extraction.h"

#include <cstring>

namespace vos {
namespace {

constexpr uint8_t kHyphen = '-';
constexpr uint8_t kComma = ',';

constexpr WordCharTable MakeWordCharSet() {
  WordCharTable table{};
  auto add = [&table](int byte) { table.bits[byte >> 3] = static_cast<uint8_t>(table.bits[byte >> 3] | 1 << (byte & 7)); };
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

}  // namespace

const WordCharTable kWordCharSet = MakeWordCharSet();

uint8_t FoldByte(uint8_t byte) { return kFoldTable[byte]; }

void FoldCase(ShortString& text) {
  for (int i = 0; i < text.length; ++i) text.bytes[i] = kFoldTable[text.bytes[i]];
}

bool NextWord(LineRest& line, ShortString& word, bool fullText, bool keepCase) {
  if (line.length == 0) return false;
  int32_t consumed;
  if (fullText) {
    int32_t n = 0;
    while (n < line.length && IsWordChar(line.bytes[n])) ++n;
    word.length = static_cast<uint8_t>(n);
    std::memcpy(word.bytes.data(), line.bytes, static_cast<size_t>(n));
    if (n > 0 && (line.bytes[0] == kHyphen || line.bytes[n - 1] == kHyphen)) word.length = 0;
    consumed = n;
    while (consumed < line.length && !IsWordChar(line.bytes[consumed])) ++consumed;
  } else {
    int32_t p = 0;
    while (p < line.length && line.bytes[p] != kComma) ++p;
    word.length = static_cast<uint8_t>(p);
    std::memcpy(word.bytes.data(), line.bytes, static_cast<size_t>(p));
    consumed = p < line.length ? p + 1 : p;
  }
  line.bytes += consumed;
  line.length -= consumed;
  if (!keepCase) FoldCase(word);
  return word.length != 0;
}

}  // namespace vos
