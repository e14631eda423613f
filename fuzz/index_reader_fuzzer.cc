// Property: on arbitrary bytes the index check, lookups, the words people type, near keys and every match strategy end
// without a crash, a hang or a read outside the file; a bad regular expression is an error with a reason; the
// block reader and the reader over whole bytes answer alike; a file the check passes answers every lookup
// without an error, finds every key by exact match and by its own descent; and the catalog of its keys answers
// every lookup and match as the passes over the file do.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "index_file.h"
#include "reader/key_catalog.h"
#include "reader/reader.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  vos::IndexFile blocks, whole;
  std::string error, wholeError;
  bool open = vos::fuzz::MemoryIndex(bytes, blocks, error);
  Require(open == vos::OpenIndexBytes(bytes, whole, wholeError));
  if (!open) {
    Require(error == "not a vos index" && wholeError == error);
    return 0;
  }
  vos::CheckReport report = vos::CheckIndex(blocks);
  bool clean = report.problemCount == 0;
  bool keepsCase = false;
  Require(!clean || vos::KeepsCase(blocks, keepsCase, error) == vos::ReadOutcome::kOk);
  Require(clean == (vos::CheckIndex(whole).problemCount == 0));

  vos::KeyCatalog catalog;
  bool catalogued = clean && vos::BuildKeyCatalog(blocks, catalog, error) == vos::ReadOutcome::kOk;

  // Words taken from the input itself, so that the fuzzer can steer descents and patterns into stored keys.
  std::vector<std::string> words;
  for (size_t start = 0; start < size && start < 64; start += 16) words.push_back(bytes.substr(start, data[start] % 32));
  std::vector<int32_t> postings, wholePostings;
  for (const std::string& word : words) {
    vos::ReadOutcome outcome = vos::LookupKey(blocks, word, postings, error);
    Require(outcome == vos::LookupKey(whole, word, wholePostings, wholeError) && postings == wholePostings);
    Require(!clean || outcome != vos::ReadOutcome::kError);
    std::vector<int32_t> catalogPostings;
    Require(!catalogued || (vos::CatalogLookup(catalog, blocks, word, catalogPostings, error) == outcome &&
                            catalogPostings == postings));
    vos::WordHit hit;
    Require(!clean || vos::FindWord(blocks, word, hit, error) != vos::ReadOutcome::kError);
    std::vector<std::string> near;
    vos::ReadOutcome nearOutcome = vos::NearKeys(blocks, word, 5, near, error);
    Require(near.size() <= 5 && (!clean || nearOutcome == vos::ReadOutcome::kOk));
    for (const vos::StrategyInfo& info : vos::Strategies()) {
      vos::Matcher matcher;
      if (!vos::CompileMatcher(info.strategy, word, matcher, error)) {
        Require(!error.empty());
        continue;
      }
      std::vector<std::string> keys, catalogKeys;
      Require(!clean || vos::MatchKeys(blocks, matcher, keys, error) == vos::ReadOutcome::kOk);
      if (catalogued) {
        vos::CatalogMatches(catalog, matcher, catalogKeys);
        Require(catalogKeys == keys);
      }
    }
  }

  // Every key of a clean file: found by its descent, by the exact strategy, and by the words people type.
  if (clean) {
    vos::RecordCursor cursor;
    vos::IndexRecord record;
    int checked = 0;
    while (vos::NextRecord(blocks, cursor, record, error) == vos::ReadOutcome::kOk && checked < 8) {
      if (record.recordOffset == 0) continue;
      ++checked;
      Require(vos::LookupKey(blocks, record.key, postings, error) == vos::ReadOutcome::kOk);
      Require(postings == record.postings);
      vos::Matcher exact;
      Require(vos::CompileMatcher(vos::Strategy::kExact, record.key, exact, error));
      Require(vos::MatchesKey(exact, record.key));
      vos::WordHit hit;
      Require(vos::FindWord(blocks, record.key, hit, error) == vos::ReadOutcome::kOk && hit.key == record.key);
    }
  }
  return 0;
}
