// The dictionary's rules written out plainly, independently of the code under test: the line rule, case folding
// and the bytes of a full-text word. The round-trip tests and the fuzz targets build their models from these.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vos::model {

struct ModelLine {
  std::string text;  // the line's first 255 bytes
  int64_t bytes;     // its length in the file, line end excluded
  bool operator==(const ModelLine&) const = default;
};

// LF, CR LF or a lone CR ends a line; a line end at the very end starts no further line.
inline std::vector<ModelLine> SplitLines(std::string_view input) {
  std::vector<ModelLine> lines;
  size_t i = 0;
  while (i < input.size()) {
    size_t start = i;
    while (i < input.size() && input[i] != '\n' && input[i] != '\r') ++i;
    lines.push_back({std::string(input.substr(start, std::min<size_t>(i - start, 255))),
                     static_cast<int64_t>(i - start)});
    if (i < input.size()) {
      if (input[i] == '\r' && i + 1 < input.size() && input[i + 1] == '\n') ++i;
      ++i;
    }
  }
  return lines;
}

// Folds A-Z and the three umlauts Ä Ö Ü to lower case; every other byte stays.
inline std::string Fold(std::string text) {
  for (char& c : text) {
    auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || b == 0xC4 || b == 0xD6 || b == 0xDC) c = static_cast<char>(b + 32);
  }
  return text;
}

// A byte of a full-text word: "-", digits, ASCII letters, Ä Ö Ü ß ä ö ü.
inline bool IsWordByte(unsigned char b) {
  return b == '-' || (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == 0xC4 ||
         b == 0xD6 || b == 0xDC || b == 0xDF || b == 0xE4 || b == 0xF6 || b == 0xFC;
}

}  // namespace vos::model
