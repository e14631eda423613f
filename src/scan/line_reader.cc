#include "scan/line_reader.h"

#include <algorithm>
#include <cstring>

#include "runtime/run_stop.h"
#include "runtime/sys_io.h"

namespace vos {
namespace {

constexpr uint8_t kLineFeed = 10;
constexpr uint8_t kCarriageReturn = 13;

// The position of the first `byte` in the buffer from `from` on, or `valid` if there is none.
size_t Find(const LineReader& reader, size_t from, uint8_t byte) {
  const void* found = std::memchr(reader.buffer.data() + from, byte, reader.valid - from);
  if (found == nullptr) return reader.valid;
  return static_cast<size_t>(static_cast<const uint8_t*>(found) - reader.buffer.data());
}

void Refill(LineReader& reader) {
  reader.position = 0;
  reader.valid = static_cast<size_t>(ReadInput(reader.handle, reader.buffer.data(), reader.buffer.size()));
  reader.nextCarriageReturn = Find(reader, 0, kCarriageReturn);
}

// The position of the next line end byte (LF or CR) in the buffer, or `valid` if there is none. A file with LF
// line ends has no CR, so the CR search runs once per fill and only the LF search once per line.
size_t NextLineEnd(LineReader& reader) {
  if (reader.nextCarriageReturn < reader.position) {
    reader.nextCarriageReturn = Find(reader, reader.position, kCarriageReturn);
  }
  const void* lineFeed = std::memchr(reader.buffer.data() + reader.position, kLineFeed,
                                     reader.nextCarriageReturn - reader.position);
  if (lineFeed == nullptr) return reader.nextCarriageReturn;
  return static_cast<size_t>(static_cast<const uint8_t*>(lineFeed) - reader.buffer.data());
}

}  // namespace

LineReader OpenLineReader(std::string_view path, size_t bufferSize) {
  LineReader reader;
  reader.buffer.resize(bufferSize);
  reader.handle = OpenInputFile(path);
  return reader;
}

bool AtEnd(LineReader& reader) {
  if (ioStatus != 0) return true;
  if (reader.position == reader.valid) Refill(reader);
  return reader.position == reader.valid;
}

void ReadLine(LineReader& reader, ShortString& line) {
  line.length = 0;
  reader.lineBytes = 0;
  if (ioStatus != 0) return;
  for (;;) {
    if (reader.position == reader.valid) {
      Refill(reader);
      if (reader.valid == 0) return;  // the last line had no line end
    }
    const uint8_t* start = reader.buffer.data() + reader.position;
    const uint8_t* end = reader.buffer.data() + reader.valid;
    const uint8_t* stop = reader.buffer.data() + NextLineEnd(reader);

    auto count = static_cast<size_t>(stop - start);
    size_t kept = std::min(count, line.bytes.size() - line.length);
    std::memcpy(line.bytes.data() + line.length, start, kept);
    line.length = static_cast<uint8_t>(line.length + kept);
    reader.lineBytes += static_cast<int64_t>(count);
    reader.position += count;
    if (stop == end) continue;

    ++reader.position;  // past the line end byte
    if (*stop == kCarriageReturn) {
      if (reader.position == reader.valid) Refill(reader);
      if (reader.position < reader.valid && reader.buffer[reader.position] == kLineFeed) ++reader.position;
    }
    return;
  }
}

LineView ReadLineView(LineReader& reader) {
  if (ioStatus == 0 && reader.position < reader.valid) {
    size_t end = NextLineEnd(reader);
    // A CR as the buffer's last byte needs the next fill to tell whether an LF follows: the slow way below.
    if (end < reader.valid && (reader.buffer[end] == kLineFeed || end + 1 < reader.valid)) {
      const uint8_t* start = reader.buffer.data() + reader.position;
      size_t count = end - reader.position;
      reader.lineBytes = static_cast<int64_t>(count);
      reader.position = end + 1;
      if (reader.buffer[end] == kCarriageReturn && reader.buffer[end + 1] == kLineFeed) ++reader.position;
      return {start, static_cast<int32_t>(std::min(count, reader.carried.bytes.size()))};
    }
  }
  ReadLine(reader, reader.carried);
  return {reader.carried.bytes.data(), reader.carried.length};
}

void CloseLineReader(LineReader& reader) {
  CloseInputFile(reader.handle);
  reader.handle = -1;
}

}  // namespace vos
