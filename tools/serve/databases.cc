#include "serve/databases.h"

#include <algorithm>
#include <set>

namespace vos {
namespace {

std::string_view TrimBlanks(std::string_view word) {
  while (!word.empty() && (word.front() == ' ' || word.front() == '\t')) word.remove_prefix(1);
  while (!word.empty() && (word.back() == ' ' || word.back() == '\t')) word.remove_suffix(1);
  return word;
}

}  // namespace

bool OpenDatabase(const DatabaseConfig& config, std::shared_ptr<const Database>& database, std::string& error) {
  auto opened = std::make_shared<Database>();
  opened->config = config;
  if (opened->config.description.empty()) opened->config.description = config.name;
  std::string reason;
  if (!OpenIndex(config.indexPath, true, opened->index, reason) ||
      KeepsCase(opened->index, opened->keepsCase, reason) != ReadOutcome::kOk) {
    error = config.indexPath + ": " + reason;
    return false;
  }
  if (!OpenDictionary(config.dictionaryPath, opened->dictionary, reason)) {
    error = config.dictionaryPath + ": " + reason;
    return false;
  }
  database = std::move(opened);
  return true;
}

bool CompleteDatabase(const Database& opened, std::shared_ptr<const Database>& complete, std::string& error) {
  auto checked = std::make_shared<Database>();
  checked->config = opened.config;
  checked->index = opened.index;  // the bytes in memory are shared, never changed
  checked->keepsCase = opened.keepsCase;
  std::string reason;
  CheckReport report = CheckIndex(checked->index, 1);
  bool passed = report.problemCount == 0;
  if (!passed) {
    error = opened.config.indexPath + ": " + (report.problems.empty() ? "damaged index" : report.problems.front());
  } else if (BuildKeyCatalog(checked->index, checked->catalog, reason) != ReadOutcome::kOk) {
    error = opened.config.indexPath + ": " + reason;
    checked->catalog = KeyCatalog{};
    passed = false;
  }
  // The file the opened database reads, not whatever the path names by now: a dictionary renamed over it during
  // the check must not be paired with the index read before.
  if (!ShareDictionary(opened.dictionary, checked->dictionary, reason)) {
    if (passed) error = opened.config.dictionaryPath + ": " + reason;
    return false;
  }
  checked->complete = passed;
  checked->failedCheck = !passed;
  complete = std::move(checked);
  return passed;
}

bool LoadDatabase(const DatabaseConfig& config, std::shared_ptr<const Database>& database, std::string& error) {
  std::shared_ptr<const Database> opened;
  return OpenDatabase(config, opened, error) && CompleteDatabase(*opened, database, error);
}

const Database* FindDatabase(const DatabaseSet& databases, std::string_view name) {
  for (const auto& database : databases) {
    if (database->config.name == name) return database.get();
  }
  return nullptr;
}

namespace {

// Reads the entries of `key` at `offsets` (in order, each once) onto `definitions`.
ReadOutcome AppendDefinitions(const Database& database, std::string_view key, const std::vector<int32_t>& offsets,
                              std::vector<Definition>& definitions, std::string& error) {
  std::vector<EntryRead> reads;
  ReadEntries(database.dictionary, offsets, key, database.keepsCase, reads);
  for (EntryRead& read : reads) {
    Definition& definition = definitions.emplace_back();
    switch (read.outcome) {
      case ReadOutcome::kOk:
        definition.text = std::move(read.entry.text);
        break;
      case ReadOutcome::kNotFound:
        definition.mismatch = true;
        definition.problem = std::move(read.problem);
        break;
      case ReadOutcome::kError:
        definitions.clear();
        error = database.config.dictionaryPath + ": " + read.problem;
        return ReadOutcome::kError;
    }
  }
  return ReadOutcome::kOk;
}

}  // namespace

ReadOutcome DefineWord(const Database& database, std::string_view word, std::vector<Definition>& definitions,
                       std::string& error) {
  definitions.clear();
  WordHit hit;
  ReadOutcome outcome =
      FindWord(database.index, word, hit, error, database.complete ? &database.catalog : nullptr);
  if (outcome == ReadOutcome::kOk) {
    std::vector<int32_t>& offsets = hit.postings;
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    return AppendDefinitions(database, hit.key, offsets, definitions, error);
  }
  if (outcome != ReadOutcome::kNotFound || !database.complete) return outcome;
  // MATCH exact lists a key by its match form (blanks around it dropped, every letter folded): a word it lists is
  // defined through each key of that form, so that DEFINE finds what MATCH offers ("Lampe " for "lampe", "Élan" for
  // "élan").
  Matcher matcher;
  std::string unused;
  if (!CompileMatcher(Strategy::kExact, word, matcher, unused)) return ReadOutcome::kNotFound;
  std::vector<uint32_t> places;
  CatalogMatchPlaces(database.catalog, matcher, places);
  std::set<int32_t> seen;  // an entry filed under several of these keys is answered once
  for (uint32_t place : places) {
    std::string_view key = CatalogKey(database.catalog, place);
    std::vector<int32_t> postings;
    outcome = CatalogLookup(database.catalog, database.index, key, postings, error);
    if (outcome == ReadOutcome::kNotFound) continue;
    if (outcome == ReadOutcome::kOk) {
      std::sort(postings.begin(), postings.end());
      std::erase_if(postings, [&](int32_t offset) { return !seen.insert(offset).second; });
      outcome = AppendDefinitions(database, key, postings, definitions, error);
    }
    if (outcome == ReadOutcome::kError) return outcome;
  }
  return definitions.empty() ? ReadOutcome::kNotFound : ReadOutcome::kOk;
}

void MatchWords(const Database& database, const Matcher& matcher, std::vector<std::string>& keys,
                std::vector<std::string_view>& words) {
  words.clear();
  if (database.complete) {
    std::vector<uint32_t> places;
    CatalogMatchPlaces(database.catalog, matcher, places);
    words.reserve(places.size());
    // A strategy accepts all keys of one match form or none, so they come as neighbours; only among them can a
    // key without its blanks repeat another or sort before it.
    for (size_t start = 0; start < places.size();) {
      size_t end = start + 1;
      while (end < places.size() && places[end] == places[end - 1] + 1 &&
             CatalogSameForm(database.catalog, places[end])) {
        ++end;
      }
      size_t first = words.size();
      for (size_t i = start; i < end; ++i) {
        std::string_view word = TrimBlanks(CatalogKey(database.catalog, places[i]));
        if (!word.empty()) words.push_back(word);
      }
      if (end - start > 1) {
        auto run = words.begin() + static_cast<ptrdiff_t>(first);
        std::sort(run, words.end());
        words.erase(std::unique(run, words.end()), words.end());
      }
      start = end;
    }
    return;
  }
  // Not yet catalogued: a pass over the index, then the same order by match form.
  std::string error;
  if (MatchKeys(database.index, matcher, keys, error) != ReadOutcome::kOk) keys.clear();
  std::vector<std::pair<std::string, std::string_view>> found;
  Matcher form;
  for (const std::string& key : keys) {
    if (CompileMatcher(Strategy::kExact, key, form, error)) found.emplace_back(form.word, TrimBlanks(key));
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  for (const auto& [matchForm, word] : found) {
    if (!word.empty()) words.push_back(word);
  }
}

}  // namespace vos
