// The yardstick for bench/compare.sh: the indexer a user could write in an afternoon around
// std::unordered_map<std::string, std::vector<int32_t>>. It cuts the dictionary into keys by the same rules as vos
// (line ends, the 255-byte line limit, "%" entries, headwords or full-text words, folding, the exclusion list,
// the entry offsets) and writes every key with its entry offsets, buffered, in the map's order. It builds no
// trie and makes no lookup structure; it is what vos has to beat.
//
// usage: vos_yardstick [-f] [-c] [-D] [-e exclusions] dictionary output

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

constexpr size_t kMaxLine = 255;

bool IsWordChar(unsigned char c) {
  return c == '-' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == 0xC4 ||
         c == 0xD6 || c == 0xDC || c == 0xDF || c == 0xE4 || c == 0xF6 || c == 0xFC;
}

unsigned char Fold(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
  if (c == 0xC4 || c == 0xD6 || c == 0xDC) return static_cast<unsigned char>(c + 32);
  return c;
}

// Calls `onLine(line)` for every line of `path` by the line rule: LF, CR LF or a lone CR ends a line; a line keeps
// its first 255 bytes. Gives false when the file cannot be opened.
template <typename OnLine>
bool ForEachLine(const char* path, OnLine onLine) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  std::vector<char> buffer(1 << 20);
  std::string line;
  size_t kept = 0;
  bool pendingLine = false;  // bytes of an unfinished line have been seen
  bool afterCr = false;      // the last byte was a CR: a following LF belongs to it
  for (;;) {
    size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
    if (got == 0) break;
    for (size_t i = 0; i < got; ++i) {
      char c = buffer[i];
      if (afterCr) {
        afterCr = false;
        if (c == '\n') continue;
      }
      if (c == '\n' || c == '\r') {
        onLine(std::string_view(line.data(), kept));
        kept = 0;
        pendingLine = false;
        afterCr = c == '\r';
        continue;
      }
      pendingLine = true;
      if (kept < kMaxLine) {
        if (line.size() <= kept) line.resize(kMaxLine);
        line[kept++] = c;
      }
    }
  }
  if (pendingLine) onLine(std::string_view(line.data(), kept));
  std::fclose(file);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool fullText = false;
  bool keepCase = false;
  int lineEndSize = 1;
  const char* exclusionPath = nullptr;
  std::vector<const char*> paths;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-f") {
      fullText = true;
    } else if (arg == "-c") {
      keepCase = true;
    } else if (arg == "-D") {
      lineEndSize = 2;
    } else if (arg == "-e" && i + 1 < argc) {
      exclusionPath = argv[++i];
    } else {
      paths.push_back(argv[i]);
    }
  }
  if (paths.size() != 2) {
    std::fputs("usage: vos_yardstick [-f] [-c] [-D] [-e exclusions] dictionary output\n", stderr);
    return 2;
  }

  std::unordered_set<std::string> excluded;
  if (fullText && exclusionPath != nullptr) {
    bool opened = ForEachLine(exclusionPath, [&](std::string_view line) {
      std::string word(line);
      for (char& c : word) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
      excluded.insert(word);
    });
    if (!opened) {
      std::perror(exclusionPath);
      return 1;
    }
  }

  std::unordered_map<std::string, std::vector<int32_t>> index;
  int64_t byteOffset = 0;
  int32_t currentEntry = 0;
  bool afterPercent = false;
  int64_t totalWords = 0;
  std::string word;
  auto file = [&](const std::string& key) {
    std::vector<int32_t>& offsets = index[key];
    if (offsets.empty() || offsets.back() != currentEntry) offsets.push_back(currentEntry);
    ++totalWords;
  };
  bool opened = ForEachLine(paths[0], [&](std::string_view line) {
    byteOffset += static_cast<int64_t>(line.size()) + lineEndSize;
    if (fullText) {
      size_t i = 0;
      while (i < line.size()) {
        size_t start = i;
        while (i < line.size() && IsWordChar(static_cast<unsigned char>(line[i]))) ++i;
        if (i == start || line[start] == '-' || line[i - 1] == '-') break;  // an empty word ends the line
        word.assign(line.data() + start, i - start);
        if (!keepCase) {
          for (char& c : word) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
        }
        if (!excluded.contains(word)) file(word);
        while (i < line.size() && !IsWordChar(static_cast<unsigned char>(line[i]))) ++i;
      }
    } else if (afterPercent) {
      size_t i = 0;
      while (i < line.size()) {
        size_t comma = line.find(',', i);
        if (comma == std::string_view::npos) comma = line.size();
        if (comma == i) break;  // an empty headword ends the line
        word.assign(line.data() + i, comma - i);
        if (!keepCase) {
          for (char& c : word) c = static_cast<char>(Fold(static_cast<unsigned char>(c)));
        }
        file(word);
        i = comma + 1;
      }
    }
    afterPercent = line == "%";
    if (afterPercent) currentEntry = static_cast<int32_t>(byteOffset);
  });
  if (!opened) {
    std::perror(paths[0]);
    return 1;
  }

  FILE* out = std::fopen(paths[1], "wb");
  if (out == nullptr) {
    std::perror(paths[1]);
    return 1;
  }
  for (const auto& [key, offsets] : index) {
    auto length = static_cast<unsigned char>(key.size());
    auto count = static_cast<int32_t>(offsets.size());
    std::fwrite(&length, 1, 1, out);
    std::fwrite(key.data(), 1, key.size(), out);
    std::fwrite(&count, sizeof count, 1, out);
    std::fwrite(offsets.data(), sizeof(int32_t), offsets.size(), out);
  }
  if (std::fclose(out) != 0) {
    std::perror(paths[1]);
    return 1;
  }
  std::printf("%lld keys filed, %zu distinct\n", static_cast<long long>(totalWords), index.size());
  return 0;
}
