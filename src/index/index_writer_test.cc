#include "index/index_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "index/index_format.h"
#include "runtime/sys_io.h"
#include "test_support.h"
#include "trie/key_trie.h"

namespace vos {
namespace {

// What WriteIndexFile handed to the system: the path it opened, with which flags, and what it wrote.
struct Captured {
  std::string path;
  int flags = 0;
  unsigned mode = 0;
  int opens = 0;
  int closes = 0;
  std::vector<std::string> blocks;
};
Captured* captured = nullptr;
constexpr int kFakeHandle = 77;

// Replaces the system-call table so that the index file's bytes land in memory; restores it when done.
struct CaptureWrites {
  Captured result;
  CaptureWrites() {
    captured = &result;
    sys.open = [](const char* path, int flags, unsigned mode) {
      captured->path = path;
      captured->flags = flags;
      captured->mode = mode;
      ++captured->opens;
      return kFakeHandle;
    };
    sys.write = [](int handle, const void* buffer, size_t count) -> int64_t {
      if (handle != kFakeHandle) return -EBADF;
      captured->blocks.emplace_back(static_cast<const char*>(buffer), count);
      return static_cast<int64_t>(count);
    };
    sys.close = [](int) {
      ++captured->closes;
      return 0;
    };
    sys.identifyPath = [](const char*, FileIdentity*) { return -ENOENT; };
  }
  ~CaptureWrites() {
    sys = RealSysCalls();
    captured = nullptr;
  }
  std::string Bytes() const {
    std::string all;
    for (const std::string& block : result.blocks) all += block;
    return all;
  }
};

struct TrieRun {
  KeyTrie trie;
  RunStatistics statistics;
  TrieRun() {
    NewTrie(trie);
    ResetStatistics(statistics, trie);
  }
  void Insert(const std::string& key, int32_t entryOffset) {
    InsertKey(MakeShortString(key), entryOffset, trie, statistics);
  }
};

std::string WriteToMemory(TrieRun& run) {
  CaptureWrites capture;
  WriteIndexFile("index.dat", run.trie, run.statistics);
  return capture.Bytes();
}

// Compares two files and names the first byte in which they differ.
testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual) {
  size_t common = std::min(expected.size(), actual.size());
  for (size_t i = 0; i < common; ++i) {
    if (expected[i] != actual[i]) {
      return testing::AssertionFailure() << "first difference at byte " << i << ": expected 0x" << std::hex
                                         << (expected[i] & 0xFF) << ", got 0x" << (actual[i] & 0xFF) << std::dec
                                         << " (sizes " << expected.size() << " and " << actual.size() << ")";
    }
  }
  if (expected.size() != actual.size()) {
    return testing::AssertionFailure() << "sizes differ: expected " << expected.size() << ", got " << actual.size()
                                       << "; equal up to byte " << common;
  }
  return testing::AssertionSuccess();
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

struct GoldenCase {
  const char* name;
  std::vector<std::pair<std::string, int32_t>> inserts;
  std::string expected;
};

std::vector<GoldenCase> GoldenCases() {
  std::string hundredA(100, 'a');
  return {
      {"empty run: header and the head alone, both links to itself",
       {},
       Bytes({0, 0, 0, 0, 1, 0, 0, 0,                      // maxKeyLength 0, maxPostingCount 1
              0, 0x20, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},  // head: bit 800, links 0, no postings
      {"'a' under 2, then 'ab' under 6: records head, 'ab', 'a' at 0, 17, 40",
       {{"a", 2}, {"ab", 6}},
       Bytes({2, 0, 0, 0, 1, 0, 0, 0,
              0, 0x20, 3, 0, 0, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
              2, 'a', 'b', 0x16, 0, 0, 0, 0x28, 0, 0, 0, 0x11, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0,
              1, 'a', 0x0E, 0, 0, 0, 0, 0, 0, 0, 0x28, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0})},
      {"'haus' and ' heim' under 2, 'hof' under 27: one chain down the head's left link",
       {{"haus", 2}, {" heim", 2}, {"hof", 27}},
       Bytes({5, 0, 0, 0, 1, 0, 0, 0,
              0, 0x20, 3, 0, 0, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
              5, ' ', 'h', 'e', 'i', 'm', 46, 0, 0, 0, 43, 0, 0, 0, 17, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0,
              4, 'h', 'a', 'u', 's', 38, 0, 0, 0, 68, 0, 0, 0, 43, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0,
              3, 'h', 'o', 'f', 30, 0, 0, 0, 0, 0, 0, 0, 68, 0, 0, 0, 1, 0, 0, 0, 27, 0, 0, 0})},
      {"a key whose 100th character is odd sits below the head's right link, not left out",
       {{hundredA, 9}},
       Bytes({100, 0, 0, 0, 1, 0, 0, 0,
              0, 0x20, 3, 0, 0, 0, 0, 0, 0, 17, 0, 0, 0, 0, 0, 0, 0,
              100}) +
           hundredA +
           Bytes({0x1E, 3, 0, 0, 0, 0, 0, 0, 17, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0})},  // bit 798, left to the head
  };
}

TEST(IndexWriterTest, WritesGoldenFilesByteForByte) {
  for (const GoldenCase& golden : GoldenCases()) {
    SCOPED_TRACE(golden.name);
    TrieRun run;
    for (const auto& [key, entryOffset] : golden.inserts) run.Insert(key, entryOffset);
    EXPECT_TRUE(SameBytes(golden.expected, WriteToMemory(run)));
  }
}

TEST(IndexWriterTest, CreatesTheFileReadWriteTruncatedWithMode666AndClosesIt) {
  TrieRun run;
  run.Insert("a", 2);
  CaptureWrites capture;
  WriteIndexFile("out/index.dat", run.trie, run.statistics);
  EXPECT_EQ(capture.result.path, "out/index.dat");
  EXPECT_EQ(capture.result.flags, kOpenCreateReadWrite);
  EXPECT_EQ(capture.result.mode, 0666u);
  EXPECT_EQ(capture.result.opens, 1);
  EXPECT_EQ(capture.result.closes, 1);
}

// Lists held in one array, and long ones whose offsets lie in an array and chunks: every offset lands in its place
// and the largest record fills its buffer exactly.
TEST(IndexWriterTest, LongestKeyWithMostPostingsFillsTheRecordBufferExactly) {
  constexpr auto kLong = static_cast<int32_t>(kLongList);
  constexpr auto kChunk = static_cast<int32_t>(kChunkOffsets);
  for (int32_t postings : {9, kLong, kLong + 1, kLong + 2, kLong + kChunk + 1, kLong + 3 * kChunk + 2}) {
    SCOPED_TRACE(postings);
    TrieRun run;
    std::string longest(255, '\xE4');
    longest[254] = 'z';
    for (int32_t i = 0; i < postings; ++i) run.Insert(longest, 10 * i);
    run.Insert("kurz", 3);
    run.Insert("kurz", 4);
    ASSERT_EQ(run.statistics.maxKeyLength, 255);
    ASSERT_EQ(run.statistics.maxPostingCount, postings);

    int64_t bufferSize = RecordSize(run.statistics.maxKeyLength, run.statistics.maxPostingCount);
    ASSERT_EQ(bufferSize, 272 + 4 * postings);
    // Guard bytes after the buffer show any write past its end; under ASan the exact-size copy below traps it too.
    constexpr int kGuard = 32;
    std::vector<uint8_t> buffer(static_cast<size_t>(bufferSize) + kGuard, 0xA5);
    const TrieNode* node = FindNode(MakeShortString(longest), run.trie);
    ASSERT_EQ(KeyText(*node), longest);
    EXPECT_EQ(EncodeNodeRecord(*node, buffer.data()), bufferSize);
    for (int i = 0; i < kGuard; ++i) EXPECT_EQ(buffer[static_cast<size_t>(bufferSize) + i], 0xA5) << "guard " << i;
    auto exact = std::make_unique<uint8_t[]>(static_cast<size_t>(bufferSize));
    EncodeNodeRecord(*node, exact.get());
    EXPECT_EQ(std::memcmp(exact.get(), buffer.data(), static_cast<size_t>(bufferSize)), 0);

    RecordHead head = DecodeRecordHead(exact.get());
    EXPECT_EQ(View(head.key), longest);
    EXPECT_EQ(head.postingCount, postings);
    for (int32_t i = 0; i < postings; ++i) {
      ASSERT_EQ(DecodeFixed32(exact.get() + PostingPosition(255, i)), 10 * i) << "posting " << i;
    }
  }
}

// Keys that make a bushy trie: both links of many nodes lead down. Gives the offsets filed under every key.
std::map<std::string, std::vector<int32_t>> FillBushy(TrieRun& run) {
  const std::vector<std::string> words = {"haus", "hof", "heim", "baum", "b\xE4r", ("stra\xDF" "e"), "e-mail", "3-4",
                                          "x", "y", "z", "abc", "ab", "a", "zz", "%", " heim", "wort "};
  std::map<std::string, std::vector<int32_t>> filed;
  int32_t entryOffset = 0;
  for (size_t round = 0; round < 3; ++round) {
    for (size_t i = round; i < words.size(); i += round + 1) {
      run.Insert(words[i], entryOffset);
      filed[words[i]].push_back(entryOffset);
      entryOffset += 7;
    }
  }
  return filed;
}

TEST(IndexWriterTest, LayoutIsBreadthFirstOverDownLinksWithOffsetsFromRecordSizes) {
  TrieRun run;
  FillBushy(run);
  std::vector<TrieNode*> order = LayOutOffsets(run.trie);
  ASSERT_EQ(static_cast<int64_t>(order.size()), run.trie.nodeCount + 1);
  ASSERT_EQ(order.front(), run.trie.head);

  // An independent breadth-first walk, left target before right, following only links that lead down.
  std::vector<const TrieNode*> expected = {run.trie.head};
  for (size_t i = 0; i < expected.size(); ++i) {
    const TrieNode* node = expected[i];
    for (const TrieNode* next : {node->left, node->right}) {
      if (next->bitIndex < node->bitIndex) expected.push_back(next);
    }
  }
  ASSERT_EQ(order.size(), expected.size());
  int64_t offset = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(order[i], expected[i]) << "position " << i;
    EXPECT_EQ(order[i]->fileOffset, offset) << "position " << i;
    offset += RecordSize(StoredKey(*order[i])[0], order[i]->postings.count);
  }

  std::vector<std::pair<const TrieNode*, int32_t>> first;
  for (const TrieNode* node : order) first.emplace_back(node, node->fileOffset);
  std::vector<TrieNode*> again = LayOutOffsets(run.trie);
  ASSERT_EQ(again.size(), first.size());
  for (size_t i = 0; i < again.size(); ++i) {
    EXPECT_EQ(again[i], first[i].first);
    EXPECT_EQ(again[i]->fileOffset, first[i].second);
  }
}

TEST(IndexWriterTest, RecordsStartAtTheirOffsetsAndLinksStoreTheTargetsOffsets) {
  TrieRun run;
  std::map<std::string, std::vector<int32_t>> filed = FillBushy(run);
  std::string file = WriteToMemory(run);
  std::vector<TrieNode*> order = LayOutOffsets(run.trie);
  int64_t end = 0;
  for (const TrieNode* node : order) {
    auto* record = reinterpret_cast<const uint8_t*>(file.data()) + kHeaderSize + node->fileOffset;
    RecordHead head = DecodeRecordHead(record);
    EXPECT_EQ(View(head.key), KeyText(*node));
    EXPECT_EQ(head.bitIndex, node->bitIndex);
    EXPECT_EQ(head.left, node->left->fileOffset);
    EXPECT_EQ(head.right, node->right->fileOffset);
    std::vector<int32_t> postings;
    for (int64_t i = 0; i < head.postingCount; ++i) {
      postings.push_back(DecodeFixed32(record + PostingPosition(head.key.length, i)));
    }
    EXPECT_EQ(postings, node == run.trie.head ? std::vector<int32_t>{} : filed[std::string(View(head.key))]);
    end = node->fileOffset + RecordSize(head.key.length, head.postingCount);
  }
  EXPECT_EQ(static_cast<int64_t>(file.size()), kHeaderSize + end) << "records back to back fill the file exactly";
  EXPECT_EQ(static_cast<int64_t>(order.size()), static_cast<int64_t>(filed.size()) + 1);
  EXPECT_EQ(DecodeFixed32(reinterpret_cast<const uint8_t*>(file.data())), run.statistics.maxKeyLength);
  EXPECT_EQ(DecodeFixed32(reinterpret_cast<const uint8_t*>(file.data()) + 4), run.statistics.maxPostingCount);
}

TEST(IndexWriterTest, SameKeysInTheSameOrderWriteIdenticalFiles) {
  TrieRun first;
  TrieRun second;
  FillBushy(first);
  FillBushy(second);
  std::string a = WriteToMemory(first);
  std::string b = WriteToMemory(second);
  EXPECT_TRUE(SameBytes(a, b));
  EXPECT_TRUE(SameBytes(a, WriteToMemory(first))) << "writing the same trie twice";
}

TEST(IndexWriterTest, WritesTheFileOnDiskWithTheSameBytes) {
  test::TempDir dir;
  TrieRun run;
  run.Insert("a", 2);
  run.Insert("ab", 6);
  WriteIndexFile(dir.Path("index.dat"), run.trie, run.statistics);
  EXPECT_TRUE(SameBytes(GoldenCases()[1].expected, dir.Read("index.dat")));
}

}  // namespace
}  // namespace vos

namespace vos {
namespace {

// Record offsets are 32-bit: a trie whose records would reach past 2^31 - 1 bytes stops the run with 215 during
// the layout, before the index file is created, instead of writing wrapped links.
TEST(IndexWriterDeathTest, RecordOffsetsBeyond32BitsStopBeforeTheFileIsCreated) {
  KeyTrie trie;
  NewTrie(trie);
  RunStatistics statistics;
  ResetStatistics(statistics, trie);
  for (const char* key : {"a", "b", "c"}) {
    // The layout reads only a node's key length and posting count: pretend each holds 300 million offsets.
    InsertKey(MakeShortString(key), 0, trie, statistics)->postings.count = 300'000'000;
  }
  test::TempDir dir;
  EXPECT_EXIT(WriteIndexFile(dir.Path("index.dat"), trie, statistics), ::testing::ExitedWithCode(215), "");
  EXPECT_FALSE(dir.Exists("index.dat"));
}

}  // namespace
}  // namespace vos
