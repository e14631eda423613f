// Console: the text channel on standard output. A write statement takes a list of items (text, a decimal number,
// a single byte), assembles them in a 256-byte buffer and has written everything out when it returns, so each
// statement reaches standard output whole and at once. A write that falls short sets IoStatus to 101; callers run
// CheckIo after every statement.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace vos {

// A single byte item, written unchanged.
struct ConsoleByte {
  uint8_t value;
};

// One item of a write statement. Text is written byte for byte (ISO-8859-1, no conversion); numbers in decimal
// with a leading "-" when negative and no padding.
struct ConsoleItem {
  enum class Kind : uint8_t { kText, kNumber, kByte };
  ConsoleItem(std::string_view text) : kind(Kind::kText), text(text) {}
  ConsoleItem(const char* text) : kind(Kind::kText), text(text) {}
  ConsoleItem(int32_t number) : kind(Kind::kNumber), number(number) {}
  ConsoleItem(int64_t number) : kind(Kind::kNumber), number(number) {}
  ConsoleItem(ConsoleByte byte) : kind(Kind::kByte), byte(byte.value) {}
  ConsoleItem(char) = delete;  // a char would read as a number; say ConsoleByte

  Kind kind;
  std::string_view text;
  int64_t number = 0;
  uint8_t byte = 0;
};

// Writes the items, in order, to standard output.
void ConsoleWrite(std::initializer_list<ConsoleItem> items);

// Writes the items and the line end, the single byte 10.
void ConsoleWriteLine(std::initializer_list<ConsoleItem> items = {});

}  // namespace vos
