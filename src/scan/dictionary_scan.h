// The dictionary scan: reads the dictionary line by line, keeps the running byte offset, recognises the "%" lines
// that separate entries, cuts the lines of its mode into keys and files each key under the offset of its entry's
// headword line. Also loads the exclusion list of full-text mode. Writes one "." for every 1000th line.
#pragma once

#include <cstdint>
#include <string_view>

#include "scan/line_reader.h"
#include "trie/key_table.h"
#include "trie/key_trie.h"
#include "trie/short_string.h"

namespace vos {

struct ScanMode {
  bool fullText = false;      // every word of every line is a key; otherwise the headwords after each "%" line
  bool keepCase = false;      // file keys as they stand instead of folded
  int32_t lineEndSize = 1;    // bytes one line end counts for in the offsets (2 for CR LF files)
};

struct ScanState {
  int64_t byteOffset = 0;      // position just after the last line and its line end
  int32_t currentEntry = 0;    // the entry offset filed with every key
  bool afterPercent = false;   // the last line read was "%"
  int64_t lineCount = 0;
};

// Reads the exclusion file at `path` into `exclusionList`: every line, folded, is one key.
void LoadExclusionList(std::string_view path, KeySet& exclusionList);

// Reads the open dictionary to its end and files its keys in `mainTrie`, which must be empty (just made by
// NewTrie). A word that `exclusionList` holds is left out in full-text mode; pass nullptr when there is no list.
// Stops the run on a read error, and with code 215 when an entry would start beyond 2^31 - 1 bytes.
// The reading and cutting run on a second thread (see ScanDictionaryPipelined), or on the calling thread alone when
// the system refuses one; output, stops and results are the same either way.
void ScanDictionary(LineReader& dictionary, const ScanMode& mode, KeyTrie& mainTrie, const KeySet* exclusionList,
                    ScanState& state, RunStatistics& statistics);

// The same scan on the calling thread alone.
void ScanDictionarySerial(LineReader& dictionary, const ScanMode& mode, KeyTrie& mainTrie,
                          const KeySet* exclusionList, ScanState& state, RunStatistics& statistics);

}  // namespace vos
