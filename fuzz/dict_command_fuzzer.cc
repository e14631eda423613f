// Property: the command reader gives the same lines and "too long" events however the bytes are cut into blocks,
// never a line longer than the limit or holding a line end, never buffers more than one command; every line
// parses to a command with its number of parameters; words quoted back split to themselves; and a text block
// holds no line that ends it early.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "serve/dict_protocol.h"

namespace {

std::vector<std::string> Events(std::string_view bytes, size_t blockSize) {
  vos::LineBuffer buffer;
  std::vector<std::string> events;
  std::string line;
  for (size_t at = 0; at < bytes.size(); at += blockSize) {
    std::string_view block = bytes.substr(at, blockSize);
    vos::AppendReceived(buffer, block);
    for (;;) {
      vos::LineOutcome outcome = vos::NextLine(buffer, line);
      if (outcome == vos::LineOutcome::kNeedMore) break;
      if (outcome == vos::LineOutcome::kTooLong) {
        events.push_back("\n too long");
        continue;
      }
      if (line.size() >= vos::kMaxCommandLine || line.find('\n') != std::string::npos) std::abort();
      events.push_back(line);
    }
    if (buffer.bytes.size() - buffer.start > vos::kMaxCommandLine + block.size()) std::abort();
  }
  return events;
}

void CheckCommand(const std::string& line) {
  vos::Command command = vos::ParseCommand(line);
  size_t expected = 0;
  switch (command.kind) {
    case vos::CommandKind::kDefine: expected = 2; break;
    case vos::CommandKind::kMatch: expected = 3; break;
    case vos::CommandKind::kShowInfo: expected = 1; break;
    case vos::CommandKind::kClient: expected = 1; break;
    default: expected = 0; break;
  }
  if (command.arguments.size() != expected) std::abort();

  std::vector<std::string> words;
  if (!vos::SplitWords(line, words)) return;
  // A quoted word splits back into itself, with a blank for each control character: it goes into a status line,
  // which none may end or break.
  auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; };
  std::string quoted;
  for (std::string& word : words) {
    std::string piece = vos::QuoteWord(word);
    if (std::any_of(piece.begin(), piece.end(), control)) std::abort();
    quoted += piece + " ";
    std::replace_if(word.begin(), word.end(), control, ' ');
  }
  std::vector<std::string> again;
  if (!vos::SplitWords(quoted, again) || again != words) std::abort();
}

void CheckTextBlock(std::string_view text) {
  std::string block;
  vos::AppendTextBlock(block, text, false);
  if (!block.ends_with(".\r\n")) std::abort();
  // Every line but the last is CRLF-ended text that is not a lone "." and has no stray CR or LF.
  std::string_view body = std::string_view(block).substr(0, block.size() - 3);
  size_t at = 0;
  while (at < body.size()) {
    size_t end = body.find("\r\n", at);
    if (end == std::string_view::npos) std::abort();
    std::string_view line = body.substr(at, end - at);
    if (line == "." || line.find_first_of("\r\n") != std::string_view::npos) std::abort();
    at = end + 2;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the block size; the rest is what a client sends.
  size_t blockSize = 1 + data[0] % 64;
  std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> whole = Events(bytes, bytes.size() + 1);
  if (Events(bytes, blockSize) != whole) std::abort();
  for (const std::string& event : whole) {
    if (event != "\n too long") CheckCommand(event);
  }
  CheckTextBlock(bytes);
  return 0;
}
