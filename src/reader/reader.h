// Reading vos index files: the one public header of the reading library that vos-lookup, vos-serve and the fuzz
// targets share.
//
// An index (see index/index_format.h) is read, never loaded whole unless asked: a descent takes record bytes from
// 4 KiB blocks read with pread on first use and kept (a descent visits one record per level of the breadth-first
// layout, so one small block each), and a pass over all records reads the file once, front to back, 1 MiB at a
// time into the cursor's own buffer. An index opened from bytes in memory (or read whole at
// open) is immutable afterwards: every const operation on it may run from many threads at once.
//
// Every length, link and bit index read from a file is checked before use, so no file, however damaged or
// truncated (also while it is being read), makes a reader crash, read out of bounds or loop; damage is reported
// as an error text. Keys and dictionary text are ISO-8859-1 bytes throughout; the conversion to and from the
// user's character set is done by the programs at their edges with the Charset functions below.
//
// The reading library never uses vos's runtime: errors are returned, never turned into a stop of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vos {

// ---------------------------------------------------------------------------------------------------------------
// Index files

struct IndexStorage;  // the reader's own: descriptor, block cache or whole bytes
struct KeyCatalog;    // see key_catalog.h

struct IndexFile {
  std::string path;               // as opened, for messages ("" for bytes in memory)
  int64_t size = 0;               // bytes, at the time of opening
  int32_t maxKeyLength = 0;       // the header's two maxima
  int32_t maxPostingCount = 0;
  std::shared_ptr<IndexStorage> storage;
};

enum class ReadOutcome { kOk, kNotFound, kError };

// Opens the index at `path` and reads its header. With `whole`, reads the whole file into memory and closes it,
// so that later changes to the file cannot reach the reader. False with a reason in `error` ("not a vos index"
// for a file that cannot be one: shorter than a header and a head record, or impossible header maxima).
bool OpenIndex(std::string_view path, bool whole, IndexFile& index, std::string& error);

// An index over `bytes` held in memory (fuzz targets, tests). Same checks as OpenIndex.
bool OpenIndexBytes(std::string bytes, IndexFile& index, std::string& error);

// One record as read: its record offset (file position minus 8), key, bit index, links and postings.
struct IndexRecord {
  int64_t recordOffset = 0;
  std::string key;
  int32_t bitIndex = 0;
  int32_t left = 0;
  int32_t right = 0;
  std::vector<int32_t> postings;
};

// The exact key `key` by one descent from the head: kOk with its postings, kNotFound, or kError with a reason
// ("truncated index" when a link or record reaches past the end of the file). The empty key is never found.
ReadOutcome LookupKey(const IndexFile& index, std::string_view key, std::vector<int32_t>& postings,
                      std::string& error);

// Reads the records back to back from the start, in file order. Use as
//   RecordCursor cursor; IndexRecord record;
//   while ((outcome = NextRecord(index, cursor, record, error)) == ReadOutcome::kOk) ...
// kNotFound after the last record; kError with a reason for a record cut off or malformed (a file that ends
// inside a record or whose links point past its end is "truncated index").
struct RecordCursor {
  int64_t position = 0;  // file position of the next record
  // A pass's own read-ahead over a file: its bytes from windowStart on, read 1 MiB at a time into one reused
  // buffer, so that a pass neither fills the block cache nor asks for fresh memory per block.
  int64_t windowStart = 0;
  std::vector<uint8_t> window;
};
ReadOutcome NextRecord(const IndexFile& index, RecordCursor& cursor, IndexRecord& record, std::string& error);

struct CheckReport {
  std::vector<std::string> problems;  // at most the limit given, in the order found
  int64_t problemCount = 0;           // all problems found, also those beyond the limit
  int64_t recordCount = 0;            // records laid out back to back from the start
};

// Verifies the whole index: header maxima, records back to back filling the file, bit indices, links to record
// starts, one down link per record, breadth-first order, ascending postings, every key found by its own descent.
CheckReport CheckIndex(const IndexFile& index, size_t problemLimit = 20);

// Whether the index was built keeping letter case: some key holds A-Z, Ä, Ö or Ü, which a folded index never
// does. One pass over the records the first time, remembered afterwards. kError when the file is damaged.
ReadOutcome KeepsCase(const IndexFile& index, bool& keepsCase, std::string& error);

// ---------------------------------------------------------------------------------------------------------------
// The words people type

// `word` (ISO-8859-1) folded as vos folds keys: A-Z and Ä, Ö, Ü to lower case, every other byte as it is.
std::string FoldKey(std::string_view word);

// The key a person means by `word`: tried as given, folded, and each of these again with one leading blank
// (headwords after a comma keep their blank: "Haus, Heim" files " heim"); the first key found wins.
struct WordHit {
  std::string key;  // the key that matched, as stored
  std::vector<int32_t> postings;
};
// With `catalog`, the keys of `index` held in memory, each key is found without a descent.
ReadOutcome FindWord(const IndexFile& index, std::string_view word, WordHit& hit, std::string& error,
                     const KeyCatalog* catalog = nullptr);

// Up to `limit` keys within edit distance 2 of `word` (compared in match form, see below), nearest first, keys with
// the same first letter before others, then in byte order. One pass over the records.
ReadOutcome NearKeys(const IndexFile& index, std::string_view word, size_t limit, std::vector<std::string>& keys,
                     std::string& error);

// ---------------------------------------------------------------------------------------------------------------
// Match strategies, as the DICT protocol's servers give them. Each compares the word with every key in match
// form: letters folded (A-Z and the Latin-1 capitals À-Þ but ×), blanks at either end dropped.

enum class Strategy { kExact, kPrefix, kSubstring, kSuffix, kRe, kRegexp, kSoundex, kLev, kWord, kFirst, kLast };

struct StrategyInfo {
  Strategy strategy;
  std::string_view name;         // "exact", "prefix", ..., as the protocol names it
  std::string_view description;  // one line, for SHOW STRAT and --help
};

// Every strategy, in the order they are listed to users.
const std::vector<StrategyInfo>& Strategies();

// The strategy called `name` (ASCII, any case); false when there is none.
bool ParseStrategy(std::string_view name, Strategy& strategy);

// A strategy prepared for one word: its match form, and a compiled pattern for re and regexp.
struct CompiledPattern;  // the reader's own
struct Matcher {
  Strategy strategy = Strategy::kExact;
  std::string word;  // match form
  std::shared_ptr<const CompiledPattern> pattern;
};

// Prepares `strategy` for `word` (ISO-8859-1). False with the pattern's error for a bad regular expression, and
// for one that glibc could not compile or match in bounded time: back-references, repetitions of repeated parts
// ("(a*b)+", "a{2}{3}"), or repetitions that would make more than 64 copies of the pattern's parts ("a{1,99}").
bool CompileMatcher(Strategy strategy, std::string_view word, Matcher& matcher, std::string& error);

// Whether `key` (as stored) matches.
bool MatchesKey(const Matcher& matcher, std::string_view key);

// Every key of the index that matches, as stored, each once, in byte order. One sequential pass over the records.
ReadOutcome MatchKeys(const IndexFile& index, const Matcher& matcher, std::vector<std::string>& keys,
                      std::string& error);

// ---------------------------------------------------------------------------------------------------------------
// Dictionary entries

struct DictionaryFile {
  std::string path;
  int handle = -1;
  int64_t size = 0;
};

// Opens the dictionary read-only; closed by CloseDictionary. False with the system's reason.
bool OpenDictionary(std::string_view path, DictionaryFile& dictionary, std::string& error);
// A second handle on the file `from` has open, whatever its path names by now; closed by CloseDictionary.
bool ShareDictionary(const DictionaryFile& from, DictionaryFile& to, std::string& error);
void CloseDictionary(DictionaryFile& dictionary);

// An entry read back: its text from the offset up to, not including, the next line that is exactly "%".
struct Entry {
  int64_t offset = 0;
  std::string text;       // the file's own bytes and line ends
  bool preamble = false;  // offset 0 of a file that does not start with "%": text before the first entry
};

// Reads the entry at `offset` that the index files under `key`. kNotFound (with a reason) when the dictionary does
// not belong to the index: the offset does not start an entry (0, or right after a "%" line) or the entry's text
// does not hold the key (folded unless `keepsCase`). kError when the file cannot be read.
ReadOutcome ReadEntry(const DictionaryFile& dictionary, int64_t offset, std::string_view key, bool keepsCase,
                      Entry& entry, std::string& error);

// One entry of ReadEntries: what ReadEntry gives for its offset, the reason in `problem`.
struct EntryRead {
  Entry entry;
  ReadOutcome outcome = ReadOutcome::kOk;
  std::string problem;
};

// ReadEntry for each offset, in the order given. The entries of one word lie all over the dictionary; once the
// thread has called EnableBatchReads, the first bytes of all of them are read in one system call (io_uring) where
// the kernel allows it, else with one pread each.
void ReadEntries(const DictionaryFile& dictionary, std::span<const int32_t> offsets, std::string_view key,
                 bool keepsCase, std::vector<EntryRead>& reads);

// Lets the calling thread's ReadEntries go through io_uring. Setting a ring up costs about 0.3 ms, and it then
// saves about 1 µs an entry: worth it for a server's threads, and for a one-shot program only when it has a few
// hundred entries or more to read.
void EnableBatchReads();

// ---------------------------------------------------------------------------------------------------------------
// Character sets: the index's ISO-8859-1 and the user's set

struct CharsetConverter;  // the reader's own (iconv descriptors where needed)
struct Charset {
  std::string name;  // as resolved, e.g. "UTF-8", "ISO-8859-1"
  std::shared_ptr<CharsetConverter> converter;
};

// The set called `name` ("utf-8", "latin1", "ISO-8859-15", any name iconv knows); "" for the locale's
// (nl_langinfo(CODESET), after the program's setlocale). False with a reason for an unknown set.
bool OpenCharset(std::string_view name, Charset& charset, std::string& error);

// ISO-8859-1 text in the user's set; a character the set cannot hold becomes "?".
std::string ToUser(const Charset& charset, std::string_view latin1);

// ToUser appended to `out`: for long listings, without a string per key for UTF-8 and ISO-8859-1.
void AppendToUser(const Charset& charset, std::string_view latin1, std::string& out);

enum class ConvertOutcome { kOk, kNotLatin1, kInvalid };
// The user's text in ISO-8859-1. kNotLatin1 names the first character ISO-8859-1 cannot hold in `problem`
// (e.g. "U+20AC"); kInvalid says where the input is not valid in the user's set.
ConvertOutcome FromUser(const Charset& charset, std::string_view text, std::string& latin1, std::string& problem);

// The two conversions of the DICT protocol's UTF-8, without a Charset.
std::string Latin1ToUtf8(std::string_view latin1);
// Writes `latin1` as UTF-8 at `out`, which has room for its UTF-8 form (at most twice its size); gives the end.
char* Latin1ToUtf8(std::string_view latin1, char* out);
ConvertOutcome Utf8ToLatin1(std::string_view utf8, std::string& latin1, std::string& problem);

}  // namespace vos
