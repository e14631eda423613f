// Microbenchmarks of the hot paths of a run: line reading, word cutting, filing keys in the trie and writing the
// index. They read the dictionary named by the environment variable VOS_BENCH_CORPUS (a corpus made by the shared
// corpus generator, say ../corpora/corpus-10M.txt); without it they make a synthetic one in a temporary file.
//
//   build/perf/bench/vos_bench                                   # synthetic dictionary
//   VOS_BENCH_CORPUS=../corpora/corpus-10M.txt build/perf/bench/vos_bench --benchmark_filter=Insert

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "index/index_writer.h"
#include "scan/dictionary_scan.h"
#include "scan/line_reader.h"
#include "scan/word_extraction.h"
#include "trie/key_table.h"
#include "trie/key_trie.h"

namespace vos {
namespace {

// A dictionary of about 4 MB: entries of one to three headwords and a few body lines of words, some repeated.
std::string MakeSyntheticDictionary() {
  std::mt19937 random(2001);
  std::vector<std::string> vocabulary;
  for (int i = 0; i < 60000; ++i) {
    std::string word(3 + random() % 10, 'a');
    for (char& c : word) c = static_cast<char>("abcdefghijklmnopqrstuvwxyzaeiounrst\xE4\xF6\xFC"[random() % 38]);
    if (random() % 3 == 0) word[0] = static_cast<char>(word[0] - 32);
    vocabulary.push_back(word);
  }
  auto pick = [&] { return vocabulary[std::min(random() % vocabulary.size(), random() % vocabulary.size())]; };
  std::string text;
  while (text.size() < 4'000'000) {
    text += "%\n";
    for (int h = 1 + static_cast<int>(random() % 3); h > 0; --h) text += pick() + (h > 1 ? ", " : "\n");
    for (int l = 1 + static_cast<int>(random() % 4); l > 0; --l) {
      for (int w = 4 + static_cast<int>(random() % 10); w > 0; --w) text += pick() + (w > 1 ? " " : ".\n");
    }
  }
  return text;
}

// The dictionary the benchmarks read: VOS_BENCH_CORPUS, or the synthetic one written to a temporary file once.
const std::string& CorpusPath() {
  static const std::string path = [] {
    if (const char* given = std::getenv("VOS_BENCH_CORPUS")) return std::string(given);
    std::string name = "/tmp/vos-bench-dictionary.txt";
    std::string text = MakeSyntheticDictionary();
    FILE* file = std::fopen(name.c_str(), "wb");
    if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size()) std::abort();
    std::fclose(file);
    return name;
  }();
  return path;
}

// Every line of the corpus, read by the line reader.
const std::vector<ShortString>& CorpusLines() {
  static const std::vector<ShortString> lines = [] {
    std::vector<ShortString> result;
    LineReader reader = OpenLineReader(CorpusPath(), kDictionaryBufferSize);
    ShortString line;
    while (!AtEnd(reader)) {
      ReadLine(reader, line);
      result.push_back(line);
    }
    CloseLineReader(reader);
    return result;
  }();
  return lines;
}

struct KeyStream {
  std::vector<ShortString> keys;
  std::vector<int32_t> entries;  // the entry offset filed with each key
  int64_t bytes = 0;
};

// The keys a scan would file, in order, with their entry offsets (no exclusion list).
KeyStream MakeKeyStream(bool fullText) {
  KeyStream stream;
  int64_t offset = 0;
  int32_t entry = 0;
  bool afterPercent = false;
  ShortString word;
  for (const ShortString& line : CorpusLines()) {
    offset += line.length + 1;
    if (fullText || afterPercent) {
      LineRest rest = RestOf(line);
      while (NextWord(rest, word, fullText, false)) {
        stream.keys.push_back(word);
        stream.entries.push_back(entry);
        stream.bytes += word.length;
      }
    }
    afterPercent = line.length == 1 && line.bytes[0] == '%';
    if (afterPercent) entry = static_cast<int32_t>(offset);
  }
  return stream;
}

const KeyStream& Stream(bool fullText) {
  static const KeyStream headwords = MakeKeyStream(false);
  static const KeyStream words = MakeKeyStream(true);
  return fullText ? words : headwords;
}

void BM_ReadLines(benchmark::State& state) {
  int64_t bytes = 0;
  for (auto _ : state) {
    LineReader reader = OpenLineReader(CorpusPath(), kDictionaryBufferSize);
    ShortString line;
    while (!AtEnd(reader)) {
      ReadLine(reader, line);
      bytes += reader.lineBytes + 1;
    }
    CloseLineReader(reader);
  }
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_ReadLines)->Unit(benchmark::kMillisecond);

void BM_NextWord(benchmark::State& state) {
  bool fullText = state.range(0) != 0;
  const std::vector<ShortString>& lines = CorpusLines();
  int64_t bytes = 0;
  int64_t words = 0;
  ShortString word;
  for (auto _ : state) {
    for (const ShortString& line : lines) {
      LineRest rest = RestOf(line);
      while (NextWord(rest, word, fullText, false)) ++words;
      bytes += line.length;
    }
  }
  benchmark::DoNotOptimize(words);
  state.SetBytesProcessed(bytes);
  state.SetLabel(fullText ? "full text" : "headword (every line)");
}
BENCHMARK(BM_NextWord)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Filing a whole key stream in a fresh trie with the plain PATRICIA insertion.
void BM_InsertKey(benchmark::State& state) {
  const KeyStream& stream = Stream(state.range(0) != 0);
  for (auto _ : state) {
    KeyTrie trie;
    NewTrie(trie);
    RunStatistics statistics;
    ResetStatistics(statistics, trie);
    for (size_t i = 0; i < stream.keys.size(); ++i) InsertKey(stream.keys[i], stream.entries[i], trie, statistics);
    benchmark::DoNotOptimize(trie.nodeCount);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(stream.keys.size()));
  state.SetLabel(state.range(0) != 0 ? "full-text keys" : "headwords");
}
BENCHMARK(BM_InsertKey)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Filing the same key stream the way the scan does: through the key table in batches, linking the trie at the end.
void BM_FileAndLink(benchmark::State& state) {
  const KeyStream& stream = Stream(state.range(0) != 0);
  for (auto _ : state) {
    KeyTrie trie;
    NewTrie(trie);
    RunStatistics statistics;
    ResetStatistics(statistics, trie);
    KeyTable table;
    auto batch = std::make_unique<KeyBatch>();
    for (size_t i = 0; i < stream.keys.size(); ++i) {
      batch->keys[batch->count] = stream.keys[i];
      batch->entryOffsets[batch->count] = stream.entries[i];
      batch->tags[batch->count] = KeyTag(stream.keys[i]);
      if (++batch->count == kKeyBatchSize) FileBatch(*batch, table, trie, statistics);
    }
    FileBatch(*batch, table, trie, statistics);
    LinkFiledKeys(table, trie);
    benchmark::DoNotOptimize(trie.nodeCount);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(stream.keys.size()));
  state.SetLabel(state.range(0) != 0 ? "full-text keys" : "headwords");
}
BENCHMARK(BM_FileAndLink)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Writing the index of the corpus's headwords to /dev/null: one system write per record.
void BM_WriteIndex(benchmark::State& state) {
  const KeyStream& stream = Stream(false);
  KeyTrie trie;
  NewTrie(trie);
  RunStatistics statistics;
  ResetStatistics(statistics, trie);
  for (size_t i = 0; i < stream.keys.size(); ++i) InsertKey(stream.keys[i], stream.entries[i], trie, statistics);
  for (auto _ : state) WriteIndexFile("/dev/null", trie, statistics);
  state.SetItemsProcessed(state.iterations() * (trie.nodeCount + 1));
}
BENCHMARK(BM_WriteIndex)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vos

BENCHMARK_MAIN();
