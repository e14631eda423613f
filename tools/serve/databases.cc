#include "serve/databases.h"

#include <algorithm>

namespace vos {
namespace {

std::string_view TrimBlanks(std::string_view word) {
  while (!word.empty() && (word.front() == ' ' || word.front() == '\t')) word.remove_prefix(1);
  while (!word.empty() && (word.back() == ' ' || word.back() == '\t')) word.remove_suffix(1);
  return word;
}

}  // namespace

bool LoadDatabase(const DatabaseConfig& config, std::shared_ptr<const Database>& database, std::string& error) {
  auto loaded = std::make_shared<Database>();
  loaded->config = config;
  if (loaded->config.description.empty()) loaded->config.description = config.name;
  std::string reason;
  if (!OpenIndex(config.indexPath, true, loaded->index, reason)) {
    error = config.indexPath + ": " + reason;
    return false;
  }
  CheckReport report = CheckIndex(loaded->index, 1);
  if (report.problemCount > 0) {
    error = config.indexPath + ": " + (report.problems.empty() ? "damaged index" : report.problems.front());
    return false;
  }
  if (KeepsCase(loaded->index, loaded->keepsCase, reason) != ReadOutcome::kOk ||
      BuildKeyCatalog(loaded->index, loaded->catalog, reason) != ReadOutcome::kOk) {
    error = config.indexPath + ": " + reason;
    return false;
  }
  if (!OpenDictionary(config.dictionaryPath, loaded->dictionary, reason)) {
    error = config.dictionaryPath + ": " + reason;
    return false;
  }
  database = std::move(loaded);
  return true;
}

const Database* FindDatabase(const DatabaseSet& databases, std::string_view name) {
  for (const auto& database : databases) {
    if (database->config.name == name) return database.get();
  }
  return nullptr;
}

ReadOutcome DefineWord(const Database& database, std::string_view word, std::vector<Definition>& definitions,
                       std::string& error) {
  definitions.clear();
  WordHit hit;
  ReadOutcome outcome = FindWord(database.index, word, hit, error);
  if (outcome != ReadOutcome::kOk) return outcome;
  std::vector<int32_t> offsets = hit.postings;
  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  for (int32_t offset : offsets) {
    Entry entry;
    std::string reason;
    Definition definition;
    switch (ReadEntry(database.dictionary, offset, hit.key, database.keepsCase, entry, reason)) {
      case ReadOutcome::kOk:
        definition.text = std::move(entry.text);
        break;
      case ReadOutcome::kNotFound:
        definition.mismatch = true;
        definition.problem = std::move(reason);
        break;
      case ReadOutcome::kError:
        error = database.config.dictionaryPath + ": " + reason;
        return ReadOutcome::kError;
    }
    definitions.push_back(std::move(definition));
  }
  return ReadOutcome::kOk;
}

void MatchWords(const Database& database, const Matcher& matcher, std::vector<std::string>& words) {
  std::vector<std::string> keys;
  CatalogMatches(database.catalog, matcher, keys);
  words.clear();
  for (const std::string& key : keys) {
    std::string_view word = TrimBlanks(key);
    if (!word.empty()) words.emplace_back(word);
  }
  std::sort(words.begin(), words.end(), [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
  });
  words.erase(std::unique(words.begin(), words.end()), words.end());
}

}  // namespace vos
