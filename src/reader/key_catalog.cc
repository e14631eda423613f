#include "reader/key_catalog.h"

#include <algorithm>
#include <limits>

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

// Adds the entries whose match form starts with `form` (all of it when `whole` is false) or equals it, when the
// matcher accepts them.
void AddRange(const KeyCatalog& catalog, const Matcher& matcher, std::string_view form, bool whole,
              std::vector<std::string>& keys) {
  for (size_t i = LowerBound(catalog, form); i < catalog.entries.size(); ++i) {
    std::string_view candidate = MatchForm(catalog, catalog.entries[i]);
    if (whole ? candidate != form : !candidate.starts_with(form)) break;
    std::string_view key = StoredKey(catalog, catalog.entries[i]);
    if (MatchesKey(matcher, key)) keys.emplace_back(key);
  }
}

// Every word within one edit (deletion, insertion, substitution, neighbours swapped) of `word`, over the bytes
// that occur in the catalog, and the word itself; each looked up whole.
void AddNearWords(const KeyCatalog& catalog, const Matcher& matcher, std::vector<std::string>& keys) {
  const std::string& word = matcher.word;
  std::vector<std::string> candidates{word};
  for (size_t i = 0; i < word.size(); ++i) {
    candidates.push_back(word.substr(0, i) + word.substr(i + 1));
    if (i + 1 < word.size() && word[i] != word[i + 1]) {
      std::string swapped = word;
      std::swap(swapped[i], swapped[i + 1]);
      candidates.push_back(std::move(swapped));
    }
  }
  for (int b = 0; b < 256; ++b) {
    if (!catalog.alphabet[static_cast<size_t>(b)]) continue;
    char c = static_cast<char>(b);
    for (size_t i = 0; i <= word.size(); ++i) {
      std::string inserted = word;
      inserted.insert(i, 1, c);
      candidates.push_back(std::move(inserted));
      if (i < word.size() && word[i] != c) {
        std::string replaced = word;
        replaced[i] = c;
        candidates.push_back(std::move(replaced));
      }
    }
  }
  std::sort(candidates.begin(), candidates.end());
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  for (const std::string& candidate : candidates) AddRange(catalog, matcher, candidate, true, keys);
}

}  // namespace

ReadOutcome BuildKeyCatalog(const IndexFile& index, KeyCatalog& catalog, std::string& error) {
  catalog = KeyCatalog{};
  RecordCursor cursor;
  IndexRecord record;
  ReadOutcome outcome;
  Matcher form;
  constexpr size_t kLimit = std::numeric_limits<uint32_t>::max();
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
  }
  if (outcome == ReadOutcome::kError) return outcome;
  std::sort(catalog.entries.begin(), catalog.entries.end(), [&](const CatalogEntry& a, const CatalogEntry& b) {
    int order = CompareBytes(MatchForm(catalog, a), MatchForm(catalog, b));
    return order != 0 ? order < 0 : CompareBytes(StoredKey(catalog, a), StoredKey(catalog, b)) < 0;
  });
  catalog.entries.shrink_to_fit();
  return ReadOutcome::kOk;
}

void CatalogMatches(const KeyCatalog& catalog, const Matcher& matcher, std::vector<std::string>& keys) {
  keys.clear();
  switch (matcher.strategy) {
    case Strategy::kExact:
      AddRange(catalog, matcher, matcher.word, true, keys);
      break;
    case Strategy::kPrefix:
      AddRange(catalog, matcher, matcher.word, false, keys);
      break;
    case Strategy::kLev:
      AddNearWords(catalog, matcher, keys);
      break;
    default:
      for (const CatalogEntry& entry : catalog.entries) {
        std::string_view key = StoredKey(catalog, entry);
        if (MatchesKey(matcher, key)) keys.emplace_back(key);
      }
      break;
  }
  std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return CompareBytes(a, b) < 0;
  });
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
}

}  // namespace vos
