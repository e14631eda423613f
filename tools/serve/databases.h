// The databases a server offers: each a vos index read whole into memory (so that rewriting or truncating the
// file never reaches a running server), its dictionary read by positioned reads, and a catalog of its keys for
// MATCH. A loaded database is immutable; a reload builds new ones and swaps the set.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "reader/key_catalog.h"
#include "reader/reader.h"

namespace vos {

// How a database is named and where its files are, as the command line or the configuration gives it.
struct DatabaseConfig {
  std::string name;
  std::string indexPath;
  std::string dictionaryPath;
  std::string description;  // for SHOW DB and the 151 lines; the name when not given
  std::string info;         // for SHOW INFO; a summary of the files when not given
};

struct Database {
  DatabaseConfig config;
  IndexFile index;
  DictionaryFile dictionary;
  bool keepsCase = false;
  bool complete = false;  // checked and catalogued; until then MATCH passes over the index
  KeyCatalog catalog;
  bool failedCheck = false;  // the index failed the check: answered from as it is for good, MATCH by passes over it

  Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database() { CloseDictionary(dictionary); }
};

using DatabaseSet = std::vector<std::shared_ptr<const Database>>;

// Opens the index whole, detects whether it keeps case and opens the dictionary: enough to answer, at once. False
// with a reason naming the file when any step fails.
bool OpenDatabase(const DatabaseConfig& config, std::shared_ptr<const Database>& database, std::string& error);

// Verifies the index of an opened database and catalogs its keys: a complete database on the same index bytes
// and the same open dictionary file. False with a reason naming the file when the index fails the check; `complete`
// is then the opened database marked as failing it, unless even that could not be made.
bool CompleteDatabase(const Database& opened, std::shared_ptr<const Database>& complete, std::string& error);

// OpenDatabase and CompleteDatabase in one.
bool LoadDatabase(const DatabaseConfig& config, std::shared_ptr<const Database>& database, std::string& error);

// The database called `name` (exactly, as the protocol compares names); null when there is none.
const Database* FindDatabase(const DatabaseSet& databases, std::string_view name);

// One entry of a DEFINE answer: the entry's text (ISO-8859-1, its own line ends), or when the dictionary does not
// hold the entry the index files there, the reason.
struct Definition {
  std::string text;
  bool mismatch = false;
  std::string problem;
};

// The entries of the word a person means by `word` (ISO-8859-1), in the order of their offsets. kNotFound when
// the word is not a key; kError with a reason when the dictionary cannot be read.
ReadOutcome DefineWord(const Database& database, std::string_view word, std::vector<Definition>& definitions,
                       std::string& error);

// The keys that match, each as a word a person would type it: without the blanks at either end, each once, in
// the order of their match forms (letters folded), then in byte order. The words are views into the database or
// into `keys`, which holds what a pass over the index read while the database is not yet complete.
void MatchWords(const Database& database, const Matcher& matcher, std::vector<std::string>& keys,
                std::vector<std::string_view>& words);

}  // namespace vos
