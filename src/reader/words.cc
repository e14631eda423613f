// The words people type: folding, the variants a word is looked up under, and the near keys of a miss.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <tuple>

#include "reader/index_storage.h"
#include "reader/key_catalog.h"
#include "reader/match_form.h"
#include "scan/word_extraction.h"

namespace vos {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string_view MatchForm(std::string_view text, char* out) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  text = text.substr(0, 255);
  size_t i = 0;
  // Eight bytes at a time (A-Z and À-Þ but × lowered): each byte's low seven bits tell by carries into bit 7 whether they lie in a range, and
  // bit 5 (clear in every capital) is set where a byte is A-Z or À-Þ but ×.
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHigh = 0x80 * kOnes;
  constexpr uint64_t kLow = 0x7F * kOnes;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    uint64_t low = word & kLow;
    uint64_t atLeast40 = low + (0x80 - 0x40) * kOnes;       // low bits >= 0x40 ('@', or 0xC0 with bit 7)
    uint64_t atLeast41 = low + (0x80 - 0x41) * kOnes;       // >= 'A'
    uint64_t above5A = low + (0x80 - 0x5B) * kOnes;         // > 'Z'
    uint64_t above5E = low + (0x80 - 0x5F) * kOnes;         // > 0x5E (0xDE with bit 7)
    uint64_t times = word ^ (0xD7 * kOnes);                 // zero where the byte is ×
    uint64_t notTimes = ((times & kLow) + kLow) | times;    // bit 7 set where the byte is not ×
    uint64_t ascii = ~word & atLeast41 & ~above5A;
    uint64_t latin1 = word & atLeast40 & ~above5E & notTimes;
    word |= ((ascii | latin1) & kHigh) >> 2;
    std::memcpy(out + i, &word, 8);
  }
  for (; i < text.size(); ++i) out[i] = kMatchFold[static_cast<uint8_t>(text[i])];
  return {out, text.size()};
}

int EditDistance(std::string_view a, std::string_view b, int limit) {
  const int tooFar = limit + 1;
  auto la = static_cast<int>(a.size());
  auto lb = static_cast<int>(b.size());
  if (std::abs(la - lb) > limit) return tooFar;
  // Three rows of the table, only the band of width 2 * limit + 1 around the diagonal filled; cells just outside
  // the band hold tooFar so that the band's edges read them safely.
  std::array<std::array<int, kMatchFormCapacity + 1>, 3> rows;
  int* before = rows[0].data();
  int* previous = rows[1].data();
  int* current = rows[2].data();
  for (int j = 0; j <= lb; ++j) previous[j] = j <= limit ? j : tooFar;
  for (int i = 1; i <= la; ++i) {
    int low = std::max(1, i - limit);
    int high = std::min(lb, i + limit);
    current[0] = i <= limit ? i : tooFar;
    current[low - 1] = low == 1 ? current[0] : tooFar;
    int rowMinimum = low == 1 ? current[0] : tooFar;
    for (int j = low; j <= high; ++j) {
      int cost = a[i - 1] == b[j - 1] ? 0 : 1;
      int value = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) value = std::min(value, before[j - 2] + 1);
      current[j] = std::min(value, tooFar);
      rowMinimum = std::min(rowMinimum, current[j]);
    }
    if (high < lb) current[high + 1] = tooFar;
    if (rowMinimum > limit) return tooFar;
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return std::min(previous[lb], tooFar);
}

std::string FoldKey(std::string_view word) {
  std::string folded(word);
  for (char& c : folded) c = static_cast<char>(FoldByte(static_cast<uint8_t>(c)));
  return folded;
}

ReadOutcome FindWord(const IndexFile& index, std::string_view word, WordHit& hit, std::string& error,
                     const KeyCatalog* catalog) {
  // vos keeps a key's first 255 bytes; a longer word means the key it was cut to.
  std::string given(word.substr(0, 255));
  std::string folded = FoldKey(given);
  std::string tries[] = {given, folded, (" " + given).substr(0, 255), (" " + folded).substr(0, 255)};
  // An index known to fold keys holds no key that folding would change: a try that differs from its folded form
  // (the one after it) cannot be found, and its descent is saved.
  bool folds = index.storage->keepsCase.load(std::memory_order_relaxed) == 0;
  for (size_t i = 0; i < std::size(tries); ++i) {
    if (std::find(tries, tries + i, tries[i]) != tries + i) continue;
    if (folds && (i == 0 || i == 2) && tries[i] != tries[i + 1]) continue;
    ReadOutcome outcome = catalog != nullptr ? CatalogLookup(*catalog, index, tries[i], hit.postings, error)
                                             : LookupKey(index, tries[i], hit.postings, error);
    if (outcome == ReadOutcome::kNotFound) continue;
    if (outcome == ReadOutcome::kOk) hit.key = tries[i];
    return outcome;
  }
  return ReadOutcome::kNotFound;
}

ReadOutcome NearKeys(const IndexFile& index, std::string_view word, size_t limit, std::vector<std::string>& keys,
                     std::string& error) {
  keys.clear();
  char wordBuffer[kMatchFormCapacity], keyBuffer[kMatchFormCapacity];
  std::string_view target = MatchForm(word, wordBuffer);
  struct Near {
    int distance;
    bool otherFirstLetter;
    std::string key;
    bool operator<(const Near& other) const {
      return std::tie(distance, otherFirstLetter, key) < std::tie(other.distance, other.otherFirstLetter, other.key);
    }
  };
  std::vector<Near> found;
  RecordCursor cursor;
  RecordView record;
  ReadOutcome outcome;
  while ((outcome = NextRecordView(index, cursor, record, error)) == ReadOutcome::kOk) {
    if (record.recordOffset == 0) continue;
    // A key more than two bytes longer or shorter is too far: ruled out before it is folded.
    std::string_view key = record.key;
    while (!key.empty() && IsBlank(key.front())) key.remove_prefix(1);
    while (!key.empty() && IsBlank(key.back())) key.remove_suffix(1);
    if (key.size() + 2 < target.size() || key.size() > target.size() + 2) continue;
    std::string_view form = MatchForm(key, keyBuffer);
    int distance = EditDistance(target, form, 2);
    if (distance > 2) continue;
    bool otherFirstLetter = form.empty() || target.empty() || form[0] != target[0];
    found.push_back({distance, otherFirstLetter, std::string(record.key)});
  }
  if (outcome == ReadOutcome::kError) return outcome;
  size_t kept = std::min(limit, found.size());
  std::partial_sort(found.begin(), found.begin() + static_cast<ptrdiff_t>(kept), found.end());
  for (size_t i = 0; i < kept; ++i) keys.push_back(std::move(found[i].key));
  return ReadOutcome::kOk;
}

}  // namespace vos
