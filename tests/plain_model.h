// The line rule written out plainly, as the fuzz targets' model of what the line reader must give.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vos::fuzz {

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

}  // namespace vos::fuzz
