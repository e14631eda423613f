#include "reader/key_catalog.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>

#include "reader/index_storage.h"

namespace vos {
namespace {

std::string_view MatchForm(const KeyCatalog& catalog, const CatalogEntry& entry) {
  return std::string_view(catalog.bytes).substr(entry.matchOffset, entry.matchLength);
}

std::string_view StoredKey(const KeyCatalog& catalog, const CatalogEntry& entry) {
  return std::string_view(catalog.bytes).substr(entry.keyOffset, entry.keyLength);
}

// Bytes compared as unsigned, as the index orders keys.
int CompareBytes(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// The first entry whose match form is not below `form`.
size_t LowerBound(const KeyCatalog& catalog, std::string_view form) {
  auto it = std::partition_point(catalog.entries.begin(), catalog.entries.end(), [&](const CatalogEntry& e) {
    return CompareBytes(MatchForm(catalog, e), form) < 0;
  });
  return static_cast<size_t>(it - catalog.entries.begin());
}

// A run of entries, [begin, end), whose match forms share their first bytes.
struct Range {
  size_t begin = 0;
  size_t end = 0;
};

// The entries whose match form starts with `form` (or equals it, when `whole`): neighbours, as the entries are
// sorted by match form, found by two binary searches instead of a comparison per entry.
Range FormRange(const KeyCatalog& catalog, std::string_view form, bool whole) {
  size_t begin = LowerBound(catalog, form);
  auto after = std::partition_point(catalog.entries.begin() + static_cast<ptrdiff_t>(begin), catalog.entries.end(),
                                    [&](const CatalogEntry& e) {
                                      std::string_view candidate = MatchForm(catalog, e);
                                      if (!whole) candidate = candidate.substr(0, form.size());
                                      return CompareBytes(candidate, form) <= 0;
                                    });
  return Range{begin, static_cast<size_t>(after - catalog.entries.begin())};
}

// Adds the stored keys of the entries whose match form starts with `form` (or equals it, when `whole`): exactly
// the keys an exact or prefix matcher for `form` accepts.
void AddRange(const KeyCatalog& catalog, std::string_view form, bool whole, std::vector<uint32_t>& places) {
  Range range = FormRange(catalog, form, whole);
  for (size_t i = range.begin; i < range.end; ++i) places.push_back(static_cast<uint32_t>(i));
}

// Where an entry falls among the entries of a range that share `position` bytes: a form that ends there comes
// first (0), then the forms by their byte at `position` (1 + byte).
int NextByte(const KeyCatalog& catalog, size_t entry, size_t position) {
  std::string_view form = MatchForm(catalog, catalog.entries[entry]);
  return form.size() > position ? 1 + static_cast<unsigned char>(form[position]) : 0;
}

// The entries of `range` (all sharing `position` bytes) whose byte at `position` is `next` (a NextByte value).
Range Narrow(const KeyCatalog& catalog, Range range, size_t position, int next) {
  size_t low = range.begin, high = range.end;
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    if (NextByte(catalog, middle, position) < next) low = middle + 1; else high = middle;
  }
  Range narrowed{low, low};
  high = range.end;
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    if (NextByte(catalog, middle, position) <= next) low = middle + 1; else high = middle;
  }
  narrowed.end = low;
  return narrowed;
}

// Adds the entries of `range` whose match form is `form`, when the matcher accepts them.
void AddWhole(const KeyCatalog& catalog, const Matcher& matcher, Range range, std::string_view form,
              std::vector<uint32_t>& places) {
  auto below = [&](const CatalogEntry& e) { return CompareBytes(MatchForm(catalog, e), form) < 0; };
  auto first = std::partition_point(catalog.entries.begin() + static_cast<ptrdiff_t>(range.begin),
                                    catalog.entries.begin() + static_cast<ptrdiff_t>(range.end), below);
  for (size_t i = static_cast<size_t>(first - catalog.entries.begin()); i < range.end; ++i) {
    if (MatchForm(catalog, catalog.entries[i]) != form) break;
    if (MatchesKey(matcher, StoredKey(catalog, catalog.entries[i]))) places.push_back(static_cast<uint32_t>(i));
  }
}

// Every key within one edit (deletion, insertion, substitution, neighbours swapped) of the matcher's word. The
// keys that share the word's first `shared` bytes form a small range, which is tested key by key; a key that
// differs earlier holds an edit at some position j < shared, and each such candidate is looked up whole among the
// keys sharing the first j bytes, trying only the bytes that occur at position j there. The matcher confirms each.
void AddNearWords(const KeyCatalog& catalog, const Matcher& matcher, std::vector<uint32_t>& places) {
  constexpr size_t kScanLimit = 1024;
  const std::string& word = matcher.word;
  std::vector<Range> ranges{Range{0, catalog.entries.size()}};
  while (ranges.size() <= word.size() && ranges.back().end - ranges.back().begin > kScanLimit) {
    size_t position = ranges.size() - 1;
    ranges.push_back(Narrow(catalog, ranges.back(), position, 1 + static_cast<unsigned char>(word[position])));
  }
  size_t shared = ranges.size() - 1;
  std::string candidate;
  if (ranges[shared].end - ranges[shared].begin <= kScanLimit) {
    for (size_t i = ranges[shared].begin; i < ranges[shared].end; ++i) {
      if (MatchesKey(matcher, StoredKey(catalog, catalog.entries[i]))) places.push_back(static_cast<uint32_t>(i));
    }
  } else {
    // Many keys start with the whole word: of those only the word and the word with one byte added can match.
    Range rest = ranges[shared];
    while (rest.begin < rest.end) {
      int next = NextByte(catalog, rest.begin, shared);
      Range run = Narrow(catalog, rest, shared, next);
      rest.begin = run.end;
      candidate = word;
      if (next != 0) candidate += static_cast<char>(next - 1);
      AddWhole(catalog, matcher, run, candidate, places);
    }
  }
  for (size_t j = 0; j < shared; ++j) {
    candidate = word;
    candidate.erase(j, 1);
    AddWhole(catalog, matcher, ranges[j], candidate, places);
    if (j + 1 < word.size() && word[j] != word[j + 1]) {
      candidate = word;
      std::swap(candidate[j], candidate[j + 1]);
      AddWhole(catalog, matcher, ranges[j], candidate, places);
    }
    // Each byte that follows the first j bytes somewhere, in turn.
    Range rest = ranges[j];
    while (rest.begin < rest.end) {
      int next = NextByte(catalog, rest.begin, j);
      Range run = Narrow(catalog, rest, j, next);
      rest.begin = run.end;
      if (next == 0) continue;
      char c = static_cast<char>(next - 1);
      candidate = word;
      candidate.insert(j, 1, c);
      AddWhole(catalog, matcher, run, candidate, places);
      if (c != word[j]) {
        candidate = word;
        candidate[j] = c;
        AddWhole(catalog, matcher, run, candidate, places);
      }
    }
  }
}

uint64_t KeyHashOf(std::string_view key) { return std::hash<std::string_view>{}(key); }

// Files every key's record offset in `catalog.records`.
void HashRecords(const std::vector<std::pair<uint64_t, int32_t>>& records, KeyCatalog& catalog) {
  size_t slots = std::bit_ceil(std::max<size_t>(16, records.size() + records.size() / 3 + 1));
  catalog.records.assign(slots, 0);
  size_t mask = slots - 1;
  for (const auto& [hash, recordOffset] : records) {
    size_t i = hash & mask;
    while (catalog.records[i] != 0) i = (i + 1) & mask;
    catalog.records[i] = (hash & 0xFFFFFFFF00000000u) | static_cast<uint32_t>(recordOffset);
  }
}

}  // namespace

ReadOutcome CatalogLookup(const KeyCatalog& catalog, const IndexFile& index, std::string_view key,
                          std::vector<int32_t>& postings, std::string& error) {
  postings.clear();
  if (catalog.records.empty()) return LookupKey(index, key, postings, error);
  if (key.empty() || key.size() > 255) return ReadOutcome::kNotFound;
  uint64_t hash = KeyHashOf(key);
  size_t mask = catalog.records.size() - 1;
  std::string scratch;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    uint64_t slot = catalog.records[i];
    if (slot == 0) return ReadOutcome::kNotFound;
    if ((slot ^ hash) >> 32 != 0) continue;
    RecordView record;
    RecordFault fault = ViewRecord(index, static_cast<uint32_t>(slot), Access::kRandom, true, record, scratch, error);
    if (fault != RecordFault::kNone) {
      error = FaultText(fault, error);
      return ReadOutcome::kError;
    }
    if (record.key != key) continue;
    DecodePostings(record, postings);
    return ReadOutcome::kOk;
  }
}

ReadOutcome BuildKeyCatalog(const IndexFile& index, KeyCatalog& catalog, std::string& error) {
  catalog = KeyCatalog{};
  RecordCursor cursor;
  IndexRecord record;
  ReadOutcome outcome;
  Matcher form;
  constexpr size_t kLimit = std::numeric_limits<uint32_t>::max();
  std::vector<std::pair<uint64_t, int32_t>> records;
  while ((outcome = NextRecord(index, cursor, record, error)) == ReadOutcome::kOk) {
    // The head's empty key is never a key of the dictionary; a key no entry is filed under is none either.
    if (record.key.empty() || record.postings.empty()) continue;
    if (!CompileMatcher(Strategy::kExact, record.key, form, error)) return ReadOutcome::kError;
    if (catalog.bytes.size() + record.key.size() + form.word.size() > kLimit) {
      error = "too many keys to hold in memory";
      return ReadOutcome::kError;
    }
    CatalogEntry entry;
    entry.keyOffset = static_cast<uint32_t>(catalog.bytes.size());
    entry.keyLength = static_cast<uint8_t>(record.key.size());
    catalog.bytes += record.key;
    if (form.word == record.key) {
      entry.matchOffset = entry.keyOffset;
    } else {
      entry.matchOffset = static_cast<uint32_t>(catalog.bytes.size());
      catalog.bytes += form.word;
    }
    entry.matchLength = static_cast<uint8_t>(form.word.size());
    for (char c : form.word) catalog.alphabet[static_cast<unsigned char>(c)] = true;
    catalog.entries.push_back(entry);
    records.emplace_back(KeyHashOf(record.key), static_cast<int32_t>(record.recordOffset));
  }
  if (outcome == ReadOutcome::kError) return outcome;
  HashRecords(records, catalog);
  std::sort(catalog.entries.begin(), catalog.entries.end(), [&](const CatalogEntry& a, const CatalogEntry& b) {
    int order = CompareBytes(MatchForm(catalog, a), MatchForm(catalog, b));
    return order != 0 ? order < 0 : CompareBytes(StoredKey(catalog, a), StoredKey(catalog, b)) < 0;
  });
  for (size_t i = 1; i < catalog.entries.size(); ++i) {
    catalog.entries[i].sameForm = MatchForm(catalog, catalog.entries[i]) == MatchForm(catalog, catalog.entries[i - 1]);
  }
  catalog.entries.shrink_to_fit();
  // The bytes again, in the entries' order: a prefix's matches then lie side by side in memory instead of one
  // cache miss each, wherever their records lay in the index.
  std::string ordered;
  ordered.reserve(catalog.bytes.size());
  for (CatalogEntry& entry : catalog.entries) {
    std::string_view key = StoredKey(catalog, entry), form = MatchForm(catalog, entry);
    bool shared = entry.matchOffset == entry.keyOffset;
    entry.keyOffset = entry.matchOffset = static_cast<uint32_t>(ordered.size());
    ordered += key;
    if (!shared) {
      entry.matchOffset = static_cast<uint32_t>(ordered.size());
      ordered += form;
    }
  }
  catalog.bytes = std::move(ordered);
  return ReadOutcome::kOk;
}

void CatalogMatchPlaces(const KeyCatalog& catalog, const Matcher& matcher, std::vector<uint32_t>& places) {
  places.clear();
  switch (matcher.strategy) {
    case Strategy::kExact:
      AddRange(catalog, matcher.word, true, places);
      return;
    case Strategy::kPrefix:
      AddRange(catalog, matcher.word, false, places);
      return;
    case Strategy::kLev:
      AddNearWords(catalog, matcher, places);
      std::sort(places.begin(), places.end());
      places.erase(std::unique(places.begin(), places.end()), places.end());
      return;
    default:
      for (size_t i = 0; i < catalog.entries.size(); ++i) {
        if (MatchesKey(matcher, StoredKey(catalog, catalog.entries[i]))) places.push_back(static_cast<uint32_t>(i));
      }
      return;
  }
}

void CatalogMatches(const KeyCatalog& catalog, const Matcher& matcher, std::vector<std::string>& keys) {
  std::vector<uint32_t> places;
  CatalogMatchPlaces(catalog, matcher, places);
  std::vector<std::string_view> views;
  for (uint32_t place : places) views.push_back(CatalogKey(catalog, place));
  // string_view orders bytes as unsigned, as the index does; each stored key is in the catalog once.
  std::sort(views.begin(), views.end());
  keys.assign(views.begin(), views.end());
}

}  // namespace vos
