// The index writer: lays the main trie out breadth-first over down links, giving every node its record offset,
// then creates the index file and writes the header and one record per node, front to back, without seeking,
// through the output file's buffer.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "trie/key_trie.h"

namespace vos {

// The nodes in file order, with every node's fileOffset set. Stops the run with code 215 when the records would
// not fit the 32-bit record offsets.
std::vector<TrieNode*> LayOutOffsets(KeyTrie& trie);

// Assembles `node`'s record in `recordBuffer` and gives its size.
int64_t EncodeNodeRecord(const TrieNode& node, uint8_t* recordBuffer);

// Writes the index file for `trie` at `indexPath` (an empty path writes standard output). The file is created
// only after the layout; every write is checked and a failure stops the run.
void WriteIndexFile(std::string_view indexPath, KeyTrie& trie, const RunStatistics& statistics);

}  // namespace vos
