#include "scan/line_reader.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

#include <string>
#include <utility>
#include <vector>

#include "runtime/run_stop.h"
#include "test_support.h"

namespace vos {
namespace {

struct Line {
  std::string text;
  int64_t bytes;  // bytes the line took before its line end, skipped ones included
  bool operator==(const Line&) const = default;
};

// Reads every line, copied out or, with `inPlace`, shown in the buffer.
std::vector<Line> ReadAll(const std::string& path, size_t bufferSize, bool inPlace = false) {
  LineReader reader = OpenLineReader(path, bufferSize);
  std::vector<Line> lines;
  ShortString line;
  while (!AtEnd(reader)) {
    if (inPlace) {
      LineView view = ReadLineView(reader);
      lines.push_back({std::string(reinterpret_cast<const char*>(view.bytes), static_cast<size_t>(view.length)),
                       reader.lineBytes});
      continue;
    }
    ReadLine(reader, line);
    lines.push_back({std::string(View(line)), reader.lineBytes});
  }
  CloseLineReader(reader);
  EXPECT_EQ(ioStatus, 0);
  return lines;
}

TEST(LineReaderTest, LineRuleThroughEveryBufferSize) {
  const std::string longLine(300, 'x');
  const struct {
    std::string input;
    std::vector<Line> lines;
  } cases[] = {
      {"", {}},
      {"\n", {{"", 0}}},
      {"a\n", {{"a", 1}}},
      {"a", {{"a", 1}}},
      {"a\rb\n", {{"a", 1}, {"b", 1}}},
      {"a\n\rb", {{"a", 1}, {"", 0}, {"b", 1}}},
      {"a\r\nb\r\n", {{"a", 1}, {"b", 1}}},
      {"a\r\r\n", {{"a", 1}, {"", 0}}},
      {"a\r", {{"a", 1}}},
      {"\r\n\r\n", {{"", 0}, {"", 0}}},
      {"x\x1A\0y\xE4\n"s, {{"x\x1A\0y\xE4"s, 5}}},
      {longLine + "\nb\n", {{std::string(255, 'x'), 300}, {"b", 1}}},
      {std::string(255, 'y') + "\r\n", {{std::string(255, 'y'), 255}}},
      {std::string(256, 'y'), {{std::string(255, 'y'), 256}}},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    dir.Write("input", c.input);
    for (size_t size : {1, 2, 3, 7, 256, 10240}) {
      for (bool inPlace : {false, true}) {
        EXPECT_EQ(ReadAll(dir.Path("input"), size, inPlace), c.lines)
            << "buffer " << size << " input size " << c.input.size() << (inPlace ? " in place" : " copied");
      }
    }
  }
}

TEST(LineReaderTest, CrLfSplitAcrossRefills) {
  // With a 4-byte buffer the CR is the last byte of the first fill and the LF the first of the second.
  test::TempDir dir;
  dir.Write("input", "abc\r\ndef\r\n");
  for (bool inPlace : {false, true}) {
    EXPECT_EQ(ReadAll(dir.Path("input"), 4, inPlace), (std::vector<Line>{{"abc", 3}, {"def", 3}}));
  }
}

}  // namespace
}  // namespace vos
