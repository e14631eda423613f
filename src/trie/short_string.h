// ShortString: a length byte and up to 255 bytes of ISO-8859-1 text. Lines, keys and option values are all of
// this type; storing a longer text keeps its first 255 bytes. Keys compare byte for byte, length included.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vos {

struct ShortString {
  uint8_t length = 0;
  std::array<uint8_t, 255> bytes{};
};

// Builds a ShortString from `text`, keeping its first 255 bytes.
ShortString MakeShortString(std::string_view text);

// The stored bytes as a view (valid as long as `s` lives).
inline std::string_view View(const ShortString& s) {
  return {reinterpret_cast<const char*>(s.bytes.data()), s.length};
}

inline bool operator==(const ShortString& a, const ShortString& b) { return View(a) == View(b); }

// The 8 bytes at `bytes` as a word in memory order, with all but the first `count` (1 to 8) cleared: keys are read
// 8 bytes at a time, and the bytes past a key's end must not count.
inline uint64_t FirstBytes(const uint8_t* bytes, int32_t count) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  if (count >= 8) return word;
  int shift = 8 * (8 - count);  // keep the bytes at the lowest addresses
  return word & (std::endian::native == std::endian::little ? ~uint64_t{0} >> shift : ~uint64_t{0} << shift);
}

}  // namespace vos
