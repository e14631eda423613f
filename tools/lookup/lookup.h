// vos-lookup's reading side: an index file opened by descriptor and read record by record with positioned reads,
// never loaded whole. Every length and link read from the file is checked against the file's size before it is
// used, and every bit index against 0..800 before a key bit is taken, so that no input can make a reader crash,
// read out of bounds or loop. Also reads an entry's text back from the dictionary, the same way.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "index/index_format.h"
#include "trie/short_string.h"

namespace vos {

// An open file and its size at the time it was opened.
struct IndexReader {
  int handle = -1;
  int64_t fileSize = 0;
};

// Opens `path` read-only. On failure gives false with the system's reason in `error`.
bool OpenReadOnly(std::string_view path, IndexReader& reader, std::string& error);

// Closes the file.
void CloseReader(IndexReader& reader);

struct IndexHeader {
  int32_t maxKeyLength = 0;
  int32_t maxPostingCount = 0;
};

// Reads the 8-byte header; false with a reason when the file is too short or cannot be read.
bool ReadHeader(const IndexReader& reader, IndexHeader& header, std::string& error);

// A record as read from the file: its fixed part and, when asked for, its postings.
struct IndexRecord {
  int64_t recordOffset = 0;
  RecordHead head;
  std::vector<int32_t> postings;
  int64_t size = 0;  // n + 17 + 4c, known to lie inside the file
};

// Reads the record at `recordOffset` (its file position minus 8). Checks that the offset is inside the file and
// that the whole record, postings included, fits before the end of the file; the postings are read only when
// `withPostings`. False with a reason otherwise.
bool ReadRecord(const IndexReader& reader, int64_t recordOffset, bool withPostings, IndexRecord& record,
                std::string& error);

// The key a word is looked up under: its first 255 bytes, folded as the scan folds keys unless `keepCase`.
ShortString SearchKey(std::string_view word, bool keepCase);

struct LookupResult {
  enum class Outcome { kFound, kNotFound, kError };
  Outcome outcome = Outcome::kNotFound;
  std::vector<int32_t> postings;  // the key's entry offsets when found
  std::string error;              // what is wrong with the file, for kError
};

// Descends from the head as the index format prescribes and gives the postings of `key`. The empty key, which
// only the head holds, is never found. A malformed record on the way gives kError.
LookupResult LookupKey(const IndexReader& reader, const ShortString& key);

// The text of the entry whose headword line starts at `entryOffset` in `dictionary`: that line and every
// following line up to, not including, the next line that is exactly "%", in the file's own bytes and line ends.
// False with a reason when the offset lies outside the file or a read fails.
bool ReadEntryText(const IndexReader& dictionary, int64_t entryOffset, std::string& text, std::string& error);

// `value` in decimal, never touched by a locale.
std::string Decimal(int64_t value);

// How messages name the record at `recordOffset`.
std::string RecordName(int64_t recordOffset);

// The line printed for a key: its bytes, a tab, and its entry offsets in decimal separated by single spaces.
std::string FormatKeyLine(std::string_view key, const std::vector<int32_t>& postings);

struct CheckReport {
  std::vector<std::string> problems;  // at most the limit given, in the order found
  int64_t problemCount = 0;           // all problems found, also those beyond the limit
  int64_t recordCount = 0;            // records laid out back to back from the start
};

// Verifies the whole index: the header and its two maxima, records back to back filling the file exactly, bit
// indices (800 for the head, 0..799 below it), links to record starts, every record reached by exactly one down
// link from the head, breadth-first order, posting counts and ascending postings, and every key found by its own
// descent. Work and memory are bounded by the file's size.
CheckReport CheckIndex(const IndexReader& reader, size_t problemLimit = 20);

}  // namespace vos
