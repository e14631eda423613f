// Property: for any dictionary (and exclusion list), the index vos writes gives every key exactly the entry
// offsets that a plain model of the line and word rules computes, holds nothing else, and passes the index check.
//
// Input: byte 0 chooses the mode (bit 0 full text, bit 1 keep case, bit 2 two-byte line ends, bit 3 use the
// exclusion list); the rest is the dictionary, and after a line "~~" the exclusion list.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "index/index_writer.h"
#include "index_file.h"
#include "reader/reader.h"
#include "memory_io.h"
#include "plain_model.h"
#include "runtime/run_stop.h"
#include "scan/dictionary_scan.h"

namespace {

using Model = std::map<std::string, std::vector<int32_t>>;

using vos::model::Fold;
using vos::model::IsWordByte;

std::vector<std::string> Words(const std::string& line, bool fullText) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    size_t start = i;
    std::string word;
    if (fullText) {
      while (i < line.size() && IsWordByte(static_cast<unsigned char>(line[i]))) ++i;
      word = line.substr(start, i - start);
      if (!word.empty() && (word.front() == '-' || word.back() == '-')) word.clear();
      while (i < line.size() && !IsWordByte(static_cast<unsigned char>(line[i]))) ++i;
    } else {
      while (i < line.size() && line[i] != ',') ++i;
      word = line.substr(start, i - start);
      if (i < line.size()) ++i;
    }
    if (word.empty()) break;
    words.push_back(word);
  }
  return words;
}

// A key of 100 or more characters is not filed when a filed key has the same length, the same first 99
// characters and the same lowest bit of the 100th: the index's bits 0 to 800 cannot tell them apart.
bool Indistinguishable(const std::string& key, const std::set<std::string>& filed) {
  if (key.size() < 100) return false;
  for (const std::string& other : filed) {
    if (other.size() == key.size() && other.compare(0, 99, key, 0, 99) == 0 && ((other[99] ^ key[99]) & 1) == 0) {
      return true;
    }
  }
  return false;
}

struct ModelSet {
  std::set<std::string> keys;
  void Add(const std::string& key) {
    if (!key.empty() && !keys.count(key) && !Indistinguishable(key, keys)) keys.insert(key);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool fullText = data[0] & 1, keepCase = data[0] & 2, useExclusions = data[0] & 8;
  const int32_t lineEndSize = data[0] & 4 ? 2 : 1;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string_view dictionary = rest, exclusions;
  size_t marker = rest.find("\n~~\n");
  if (marker != std::string_view::npos) {
    dictionary = rest.substr(0, marker + 1);
    exclusions = rest.substr(marker + 4);
  }
  const bool excluding = fullText && useExclusions;

  // The model.
  std::set<std::string> excluded;  // every word whole: the list never reaches the index
  if (excluding) {
    for (const vos::model::ModelLine& line : vos::model::SplitLines(exclusions)) excluded.insert(Fold(line.text));
  }
  Model model;
  ModelSet filed;
  int64_t offset = 0, entry = 0;
  bool afterPercent = false;
  for (const vos::model::ModelLine& line : vos::model::SplitLines(dictionary)) {
    offset += line.bytes + lineEndSize;
    if (fullText || afterPercent) {
      for (std::string word : Words(line.text, fullText)) {
        if (!keepCase) word = Fold(word);
        if (fullText && excluded.count(word)) continue;
        filed.Add(word);
        if (!filed.keys.count(word)) continue;
        auto& list = model[word];
        if (list.empty() || list.back() != entry) list.push_back(static_cast<int32_t>(entry));
      }
    }
    afterPercent = line.text == "%";
    if (afterPercent) entry = offset;
  }

  // vos, through the same calls as a run.
  vos::KeySet exclusionList;
  if (excluding) {
    vos::fuzz::UseMemoryIo(exclusions);
    vos::LoadExclusionList("exclusions", exclusionList);
  }
  vos::fuzz::UseMemoryIo(dictionary);
  vos::KeyTrie trie;
  vos::NewTrie(trie);
  vos::RunStatistics statistics;
  vos::ResetStatistics(statistics, trie);
  vos::LineReader reader = vos::OpenLineReader("dictionary", vos::kDictionaryBufferSize);
  vos::ScanState state;
  vos::ScanDictionary(reader, {fullText, keepCase, lineEndSize}, trie, excluding ? &exclusionList : nullptr, state,
                      statistics);
  vos::CloseLineReader(reader);
  vos::WriteIndexFile("index", trie, statistics);
  std::string index = vos::fuzz::WrittenBytes();
  vos::fuzz::UseRealIo();
  if (vos::ioStatus != 0) std::abort();

  // The index against the model.
  vos::IndexFile indexFile;
  std::string error;
  if (!vos::fuzz::MemoryIndex(index, indexFile, error)) std::abort();
  vos::CheckReport report = vos::CheckIndex(indexFile);
  if (report.problemCount != 0) std::abort();
  if (report.recordCount != static_cast<int64_t>(model.size()) + 1) std::abort();
  int32_t maxKeyLength = 0, maxPostingCount = 1;
  std::vector<int32_t> postings;
  for (const auto& [key, offsets] : model) {
    if (vos::LookupKey(indexFile, key, postings, error) != vos::ReadOutcome::kOk || postings != offsets) std::abort();
    maxKeyLength = std::max(maxKeyLength, static_cast<int32_t>(key.size()));
    maxPostingCount = std::max(maxPostingCount, static_cast<int32_t>(offsets.size()));
    // A neighbour of a key is found only when the model holds it too.
    if (key.size() < 255) {
      std::string neighbour = key + "x";
      vos::ReadOutcome other = vos::LookupKey(indexFile, neighbour, postings, error);
      if ((other == vos::ReadOutcome::kOk) != (model.count(neighbour) == 1)) std::abort();
    }
  }
  if (indexFile.maxKeyLength != maxKeyLength || indexFile.maxPostingCount != maxPostingCount) std::abort();
  return 0;
}
