#include "trie/short_string.h"

#include <algorithm>

namespace vos {

ShortString MakeShortString(std::string_view text) {
  ShortString s;
  s.length = static_cast<uint8_t>(std::min<size_t>(text.size(), s.bytes.size()));
  std::copy_n(reinterpret_cast<const uint8_t*>(text.data()), s.length, s.bytes.begin());
  return s;
}

}  // namespace vos
