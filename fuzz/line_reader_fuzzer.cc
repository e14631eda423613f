// Property: the same bytes read through buffers of any size give the same lines and the same line lengths, and
// those agree with the line rule written out plainly.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "memory_io.h"
#include "runtime/run_stop.h"
#include "scan/line_reader.h"

namespace {

struct Line {
  std::string text;
  int64_t bytes;
  bool operator==(const Line&) const = default;
};

std::vector<Line> ReadThrough(std::string_view input, size_t bufferSize) {
  vos::fuzz::UseMemoryIo(input);
  vos::LineReader reader = vos::OpenLineReader("input", bufferSize);
  std::vector<Line> lines;
  vos::ShortString line;
  while (!vos::AtEnd(reader)) {
    vos::ReadLine(reader, line);
    lines.push_back({std::string(vos::View(line)), reader.lineBytes});
  }
  vos::CloseLineReader(reader);
  vos::fuzz::UseRealIo();
  if (vos::ioStatus != 0) std::abort();
  return lines;
}

// The line rule: LF, CR LF or a lone CR ends a line; a line keeps its first 255 bytes.
std::vector<Line> Model(std::string_view input) {
  std::vector<Line> lines;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<Line> expected = Model(input);
  for (size_t bufferSize : {1, 2, 3, 7, 256, 10240}) {
    if (ReadThrough(input, bufferSize) != expected) std::abort();
  }
  return 0;
}
