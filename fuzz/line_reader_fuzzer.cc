// Property: the same bytes read through buffers of any size, lines copied out or shown in place, give the same
// lines and the same line lengths, and those agree with the line rule written out plainly.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "memory_io.h"
#include "plain_model.h"
#include "runtime/run_stop.h"
#include "scan/line_reader.h"

namespace {

using vos::model::ModelLine;

std::vector<ModelLine> ReadThrough(std::string_view input, size_t bufferSize, bool inPlace) {
  vos::fuzz::UseMemoryIo(input);
  vos::LineReader reader = vos::OpenLineReader("input", bufferSize);
  std::vector<ModelLine> lines;
  vos::ShortString line;
  while (!vos::AtEnd(reader)) {
    if (inPlace) {
      vos::LineView view = vos::ReadLineView(reader);
      lines.push_back({std::string(reinterpret_cast<const char*>(view.bytes), static_cast<size_t>(view.length)),
                       reader.lineBytes});
    } else {
      vos::ReadLine(reader, line);
      lines.push_back({std::string(vos::View(line)), reader.lineBytes});
    }
  }
  vos::CloseLineReader(reader);
  vos::fuzz::UseRealIo();
  if (vos::ioStatus != 0) std::abort();
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<ModelLine> expected = vos::model::SplitLines(input);
  for (size_t bufferSize : {1, 2, 3, 7, 256, 10240}) {
    for (bool inPlace : {false, true}) {
      if (ReadThrough(input, bufferSize, inPlace) != expected) std::abort();
    }
  }
  return 0;
}
