// The form in which the match strategies and the near-key search compare words with keys, and the edit distance
// they use. Internal to src/reader.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vos {

// The longest match form: a key holds at most 255 bytes.
inline constexpr size_t kMatchFormCapacity = 256;

// The match form of every byte: A-Z and the Latin-1 capitals À-Þ but × lowered.
inline constexpr std::array<char, 256> kMatchFold = [] {
  std::array<char, 256> table{};
  for (int byte = 0; byte < 256; ++byte) {
    bool capital = (byte >= 'A' && byte <= 'Z') || (byte >= 0xC0 && byte <= 0xDE && byte != 0xD7);
    table[static_cast<size_t>(byte)] = static_cast<char>(capital ? byte + 0x20 : byte);
  }
  return table;
}();

inline char MatchFold(char c) { return kMatchFold[static_cast<uint8_t>(c)]; }

// `text` in match form written to `out` (room for kMatchFormCapacity bytes): A-Z and the Latin-1 capitals À-Þ but
// × lowered, blanks (space, tab) at either end dropped, and cut after 255 bytes. Gives the view of `out`.
std::string_view MatchForm(std::string_view text, char* out);

// The edit distance of `a` and `b` (insertions, deletions, substitutions and swaps of two neighbours, one each),
// or `limit` + 1 when it exceeds `limit`. Both at most 255 bytes long.
int EditDistance(std::string_view a, std::string_view b, int limit);

}  // namespace vos
