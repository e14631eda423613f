#include "runtime/console.h"

#include <array>
#include <cstring>

#include "runtime/run_stop.h"
#include "runtime/sys_io.h"

namespace vos {
namespace {

struct ConsoleBuffer {
  std::array<uint8_t, 256> bytes;
  size_t used = 0;
  bool failed = false;      // a write of this statement fell short: the rest of it writes nothing
};

ConsoleBuffer console;

void Flush() {
  if (console.used == 0) return;
  if (!console.failed) {
    int64_t written = WriteOnce(kStandardOutput, console.bytes.data(), console.used);
    if (written != static_cast<int64_t>(console.used)) {
      SetIoStatus(ErrorCode::kWriteError);
      console.failed = true;
    }
  }
  console.used = 0;
}

void Append(const uint8_t* bytes, size_t count) {
  while (count > 0) {
    if (console.used == console.bytes.size()) Flush();
    size_t n = std::min(count, console.bytes.size() - console.used);
    std::memcpy(console.bytes.data() + console.used, bytes, n);
    console.used += n;
    bytes += n;
    count -= n;
  }
}

void AppendNumber(int64_t number) {
  uint8_t digits[24];
  size_t n = 0;
  // Work in unsigned so that the most negative value has a magnitude.
  uint64_t magnitude = number < 0 ? 0 - static_cast<uint64_t>(number) : static_cast<uint64_t>(number);
  do {
    digits[sizeof digits - 1 - n++] = static_cast<uint8_t>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (number < 0) digits[sizeof digits - 1 - n++] = '-';
  Append(digits + sizeof digits - n, n);
}

void WriteStatement(std::initializer_list<ConsoleItem> items, bool endLine) {
  if (ioStatus != 0) return;
  console.failed = false;
  for (const ConsoleItem& item : items) {
    switch (item.kind) {
      case ConsoleItem::Kind::kText:
        Append(reinterpret_cast<const uint8_t*>(item.text.data()), item.text.size());
        break;
      case ConsoleItem::Kind::kNumber:
        AppendNumber(item.number);
        break;
      case ConsoleItem::Kind::kByte:
        Append(&item.byte, 1);
        break;
    }
  }
  if (endLine) {
    const uint8_t lineEnd = 10;
    Append(&lineEnd, 1);
  }
  Flush();
}

}  // namespace

void ConsoleWrite(std::initializer_list<ConsoleItem> items) { WriteStatement(items, false); }

void ConsoleWriteLine(std::initializer_list<ConsoleItem> items) { WriteStatement(items, true); }

}  // namespace vos
