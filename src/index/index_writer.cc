#include "index/index_writer.h"

#include <cstring>
#include <limits>
#include <memory>

#include "index/index_format.h"
#include "runtime/output_file.h"
#include "runtime/run_stop.h"

namespace vos {

std::vector<TrieNode*> LayOutOffsets(KeyTrie& trie) {
  std::vector<TrieNode*> order;
  order.reserve(static_cast<size_t>(trie.nodeCount) + 1);
  order.push_back(trie.head);
  int64_t counter = 0;
  // The vector is the queue: nodes are appended at its end and taken from the front in turn.
  for (size_t front = 0; front < order.size(); ++front) {
    TrieNode* node = order[front];
    if (counter > std::numeric_limits<int32_t>::max()) StopRun(ErrorCode::kArithmeticOverflow);
    node->fileOffset = static_cast<int32_t>(counter);
    counter += RecordSize(StoredKey(*node)[0], node->postings.count);
    if (node->left->bitIndex < node->bitIndex) order.push_back(node->left);
    if (node->right->bitIndex < node->bitIndex) order.push_back(node->right);
  }
  return order;
}

int64_t EncodeNodeRecord(const TrieNode& node, uint8_t* recordBuffer) {
  int64_t n = StoredKey(node)[0];
  int32_t c = node.postings.count;
  std::memcpy(recordBuffer, StoredKey(node), static_cast<size_t>(n) + 1);
  EncodeFixed32(recordBuffer + BitIndexPosition(n), node.bitIndex);
  EncodeFixed32(recordBuffer + LeftPosition(n), node.left->fileOffset);
  EncodeFixed32(recordBuffer + RightPosition(n), node.right->fileOffset);
  EncodeFixed32(recordBuffer + PostingCountPosition(n), c);
  ForEachPostingRun(node.postings, [&](uint32_t first, const int32_t* run, uint32_t size) {
    uint8_t* destination = recordBuffer + PostingPosition(n, first);
    for (uint32_t i = 0; i < size; ++i) EncodeFixed32(destination + 4 * i, run[i]);
  });
  return RecordSize(n, c);
}

void WriteIndexFile(std::string_view indexPath, KeyTrie& trie, const RunStatistics& statistics) {
  // No record is larger than one with the longest key and the most postings.
  int64_t recordBufferSize = RecordSize(statistics.maxKeyLength, statistics.maxPostingCount);
  auto recordBuffer = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(recordBufferSize));
  std::vector<TrieNode*> order = LayOutOffsets(trie);

  OutputFile file = CreateOutputFile(indexPath);
  CheckIo();
  uint8_t field[4];
  EncodeFixed32(field, statistics.maxKeyLength);
  WriteBlock(file, field, 4);
  CheckIo();
  EncodeFixed32(field, statistics.maxPostingCount);
  WriteBlock(file, field, 4);
  CheckIo();
  for (size_t i = 0; i < order.size(); ++i) {
    // The nodes lie all over memory; fetch the ones a few records ahead, with what their records need.
    if (i + 8 < order.size()) __builtin_prefetch(order[i + 8]);
    if (i + 4 < order.size()) {
      const TrieNode* ahead = order[i + 4];
      __builtin_prefetch(ahead->left);
      __builtin_prefetch(ahead->right);
      __builtin_prefetch(StoredKey(*ahead));
      if (ahead->postings.count > 1) __builtin_prefetch(ahead->postings.earlier);  // the newest run, read first
    }
    const TrieNode* node = order[i];
    int64_t size = EncodeNodeRecord(*node, recordBuffer.get());
    WriteBlock(file, recordBuffer.get(), size);
    CheckIo();
  }
  FlushOutputFile(file);
  CheckIo();
  CloseOutputFile(file);
  CheckIo();
}

}  // namespace vos
