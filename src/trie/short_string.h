// ShortString: a length byte and up to 255 bytes of ISO-8859-1 text. Lines, keys and option values are all of
// this type; storing a longer text keeps its first 255 bytes. Keys compare byte for byte, length included.
#pragma once

#include <array>
#include <cstdint>
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

}  // namespace vos
