// An index's keys held in memory for a server that answers many match queries: every key in match form (see
// reader.h), sorted, beside the key as stored. Exact and prefix queries are binary searches, lev looks up the
// words one edit away, every other strategy is a pass over memory instead of over the index. The answers are
// the ones MatchKeys gives for the same index and matcher. Immutable once built: any number of threads may query
// it at once.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "reader/reader.h"

namespace vos {

// One key: where its match form and its stored bytes lie in the catalog's `bytes` (shared when they are equal).
struct CatalogEntry {
  uint32_t matchOffset = 0;
  uint32_t keyOffset = 0;
  uint8_t matchLength = 0;
  uint8_t keyLength = 0;
  bool sameForm = false;  // the match form is the previous entry's
};

struct KeyCatalog {
  std::string bytes;
  std::vector<CatalogEntry> entries;  // by match form, then by stored key, both in byte order
  std::array<bool, 256> alphabet{};   // the bytes that occur in some match form
  // Every key's record by a hash of its stored bytes, for look-ups without a descent through the index: open
  // addressing with linear probing, a power of two of slots at most 3/4 full. A slot holds the record offset in
  // its low 32 bits (0 when empty: the head record at offset 0 holds no key) and the hash's upper half above.
  std::vector<uint64_t> records;
};

// Reads every key of `index` into `catalog`. kError with a reason for a damaged index, or for one too large to
// catalog (keys of more than 4 GiB).
ReadOutcome BuildKeyCatalog(const IndexFile& index, KeyCatalog& catalog, std::string& error);

// Every key that matches, as stored, each once, in byte order: what MatchKeys gives on the catalog's index.
void CatalogMatches(const KeyCatalog& catalog, const Matcher& matcher, std::vector<std::string>& keys);

// The same as places in `catalog.entries`, in the catalog's order (by match form), without copying a key.
void CatalogMatchPlaces(const KeyCatalog& catalog, const Matcher& matcher, std::vector<uint32_t>& places);

// Whether the entry at `place` has the same match form as the one before it, and its stored key.
inline bool CatalogSameForm(const KeyCatalog& catalog, uint32_t place) { return catalog.entries[place].sameForm; }
inline std::string_view CatalogKey(const KeyCatalog& catalog, uint32_t place) {
  const CatalogEntry& entry = catalog.entries[place];
  return std::string_view(catalog.bytes).substr(entry.keyOffset, entry.keyLength);
}

// What LookupKey gives for `key` on the catalog's index, found by one hash probe instead of a descent through
// about twenty records scattered over the index: a cache miss each.
ReadOutcome CatalogLookup(const KeyCatalog& catalog, const IndexFile& index, std::string_view key,
                          std::vector<int32_t>& postings, std::string& error);

// The number of keys catalogued.
inline size_t CatalogSize(const KeyCatalog& catalog) { return catalog.entries.size(); }

}  // namespace vos
