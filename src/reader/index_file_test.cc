#include "reader/reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "index/index_format.h"
#include "index/index_writer.h"
#include "test_support.h"
#include "trie/key_trie.h"

namespace vos {
namespace {


constexpr int64_t kCountOfPostings = INT64_MIN;

// A record with its links given as positions in a list, so that tests can rearrange and corrupt an index at the
// level of records and have the offsets worked out again.
struct TestRecord {
  std::string key;
  int32_t bitIndex = 0;
  int32_t left = 0;
  int32_t right = 0;
  std::vector<int32_t> postings;
  int64_t postingCount = kCountOfPostings;  // the count stored, when it is not the number of postings
};

struct TestIndex {
  int32_t maxKeyLength = 0;
  int32_t maxPostingCount = 1;
  std::vector<TestRecord> records;
};

std::string Fixed32(int32_t value) {
  uint8_t bytes[4];
  EncodeFixed32(bytes, value);
  return std::string(reinterpret_cast<const char*>(bytes), 4);
}

std::string Serialize(const TestIndex& index) {
  std::vector<int32_t> offsets;
  int64_t offset = 0;
  for (const TestRecord& r : index.records) {
    offsets.push_back(static_cast<int32_t>(offset));
    offset += RecordSize(static_cast<int64_t>(r.key.size()), static_cast<int64_t>(r.postings.size()));
  }
  std::string file = Fixed32(index.maxKeyLength) + Fixed32(index.maxPostingCount);
  for (const TestRecord& r : index.records) {
    file.push_back(static_cast<char>(r.key.size()));
    file += r.key;
    file += Fixed32(r.bitIndex);
    file += Fixed32(offsets[static_cast<size_t>(r.left)]);
    file += Fixed32(offsets[static_cast<size_t>(r.right)]);
    file += Fixed32(static_cast<int32_t>(r.postingCount == kCountOfPostings ? static_cast<int64_t>(r.postings.size())
                                                                           : r.postingCount));
    for (int32_t p : r.postings) file += Fixed32(p);
  }
  return file;
}

// The index file of 'a' filed under 2 and then 'ab' under 6: records head, 'ab', 'a'.
TestIndex WorkedExample() {
  return {2, 1, {{"", 800, 1, 0, {}}, {"ab", 22, 2, 1, {6}}, {"a", 14, 0, 2, {2}}}};
}

// An index file in a temporary directory, opened to be read in blocks; `error` says why it did not open.
struct OpenedIndex {
  test::TempDir dir;
  IndexFile index;
  bool open = false;
  std::string error;
  explicit OpenedIndex(const std::string& bytes) {
    dir.Write("index.dat", bytes);
    open = OpenIndex(dir.Path("index.dat"), false, index, error);
  }
};

// The check's report, or the reason the file did not open as its one problem.
CheckReport Check(const OpenedIndex& file, size_t limit = 20) {
  if (file.open) return CheckIndex(file.index, limit);
  return {{file.error}, 1, 0};
}

struct Lookup {
  ReadOutcome outcome;
  std::vector<int32_t> postings;
  std::string error;
};

Lookup Find(const OpenedIndex& file, const std::string& key) {
  Lookup result;
  if (!file.open) return {ReadOutcome::kError, {}, file.error};
  result.outcome = LookupKey(file.index, key, result.postings, result.error);
  return result;
}

std::string IndexOfKeys(const std::vector<std::pair<std::string, int32_t>>& inserts) {
  KeyTrie trie;
  NewTrie(trie);
  RunStatistics statistics;
  ResetStatistics(statistics, trie);
  for (const auto& [key, entryOffset] : inserts) InsertKey(MakeShortString(key), entryOffset, trie, statistics);
  test::TempDir dir;
  WriteIndexFile(dir.Path("index.dat"), trie, statistics);
  return dir.Read("index.dat");
}

// Keys whose trie has nodes with two down links, back links to ancestors, long keys and repeated postings.
std::string BushyIndex() {
  std::vector<std::pair<std::string, int32_t>> inserts;
  const std::vector<std::string> words = {"haus", "hof", "heim", "baum", "b\xE4r", "e-mail", "3-4", "x", "y",
                                          "z", "abc", "ab", "a", "zz", "%", " heim", "wort ", std::string(120, 'q'),
                                          std::string(101, 'b')};
  int32_t entryOffset = 0;
  for (int round = 0; round < 3; ++round) {
    for (size_t i = round; i < words.size(); ++i) inserts.emplace_back(words[i], entryOffset += 5);
  }
  return IndexOfKeys(inserts);
}

// Reads a well-formed file back into records.
TestIndex Parse(const std::string& bytes) {
  OpenedIndex file(bytes);
  EXPECT_TRUE(file.open) << file.error;
  TestIndex index;
  index.maxKeyLength = file.index.maxKeyLength;
  index.maxPostingCount = file.index.maxPostingCount;
  std::map<int64_t, int32_t> positions;
  std::vector<IndexRecord> read;
  RecordCursor cursor;
  IndexRecord record;
  std::string error;
  ReadOutcome outcome;
  while ((outcome = NextRecord(file.index, cursor, record, error)) == ReadOutcome::kOk) {
    positions[record.recordOffset] = static_cast<int32_t>(read.size());
    read.push_back(record);
  }
  EXPECT_EQ(outcome, ReadOutcome::kNotFound) << error;
  for (const IndexRecord& r : read) {
    index.records.push_back({r.key, r.bitIndex, positions.at(r.left), positions.at(r.right), r.postings});
  }
  return index;
}

bool Mentions(const CheckReport& report, const std::string& text) {
  for (const std::string& problem : report.problems) {
    if (problem.find(text) != std::string::npos) return true;
  }
  return false;
}

std::string Problems(const CheckReport& report) {
  std::string all;
  for (const std::string& problem : report.problems) all += "\n  " + problem;
  return all;
}

TEST(LookupTest, DescendsTheWorkedExample) {
  std::string bytes = Serialize(WorkedExample());
  ASSERT_EQ(bytes.size(), 70u);
  OpenedIndex file(bytes);
  struct Case {
    std::string key;
    ReadOutcome outcome;
    std::vector<int32_t> postings;
  };
  const Case cases[] = {
      {"a", ReadOutcome::kOk, {2}},    {"ab", ReadOutcome::kOk, {6}},     {"b", ReadOutcome::kNotFound, {}},
      {"abc", ReadOutcome::kNotFound, {}}, {"", ReadOutcome::kNotFound, {}},     {"A", ReadOutcome::kNotFound, {}},
      {"ba", ReadOutcome::kNotFound, {}},  {std::string(255, 'a'), ReadOutcome::kNotFound, {}},
  };
  for (const Case& c : cases) {
    Lookup result = Find(file, c.key);
    EXPECT_EQ(result.outcome, c.outcome) << "'" << c.key << "' " << result.error;
    EXPECT_EQ(result.postings, c.postings) << "'" << c.key << "'";
  }
}

TEST(LookupTest, FindsEveryKeyOfAWrittenIndexWithItsPostings) {
  std::vector<std::pair<std::string, int32_t>> inserts = {
      {"haus", 2}, {" heim", 2}, {"hof", 27}, {"haus", 40}, {"haus", 40}, {std::string(255, '\xFC'), 41},
      {std::string(100, 'a'), 50}, {std::string(100, 'a') + "b", 51}, {"haus", 60}};
  OpenedIndex file(IndexOfKeys(inserts));
  std::map<std::string, std::vector<int32_t>> expected = {
      {"haus", {2, 40, 60}}, {" heim", {2}}, {"hof", {27}}, {std::string(255, '\xFC'), {41}},
      {std::string(100, 'a'), {50}}, {std::string(100, 'a') + "b", {51}}};
  for (const auto& [key, postings] : expected) {
    Lookup result = Find(file, key);
    EXPECT_EQ(result.outcome, ReadOutcome::kOk) << key.substr(0, 20);
    EXPECT_EQ(result.postings, postings) << key.substr(0, 20);
  }
  const std::vector<std::string> absent = {"heim", "haus ", "Haus", "hau", std::string(99, 'a')};
  for (const std::string& key : absent) {
    EXPECT_EQ(Find(file, key).outcome, ReadOutcome::kNotFound) << key;
  }
  EXPECT_EQ(Check(file).problemCount, 0) << Problems(Check(file));
}

TEST(CheckIndexTest, AcceptsWrittenIndexes) {
  for (const std::string& bytes : {Serialize(WorkedExample()), IndexOfKeys({}), BushyIndex()}) {
    OpenedIndex file(bytes);
    CheckReport report = Check(file);
    EXPECT_EQ(report.problemCount, 0) << Problems(report);
    EXPECT_GE(report.recordCount, 1);
  }
}

// Mutations at the level of records, each with a fragment of the problem it must cause.
struct RecordFault {
  const char* name;
  std::function<void(TestIndex&)> mutate;
  const char* problem;
};

int32_t FirstWithTwoDownLinks(const TestIndex& index) {
  for (size_t i = 1; i < index.records.size(); ++i) {
    const TestRecord& r = index.records[i];
    if (index.records[static_cast<size_t>(r.left)].bitIndex < r.bitIndex &&
        index.records[static_cast<size_t>(r.right)].bitIndex < r.bitIndex) {
      return static_cast<int32_t>(i);
    }
  }
  return -1;
}

TEST(CheckIndexTest, ReportsWhatIsWrongWithCorruptedRecords) {
  const TestIndex bushy = Parse(BushyIndex());
  ASSERT_GT(bushy.records.size(), 10u);
  const RecordFault faults[] = {
      {"header's longest key too large", [](TestIndex& x) { x.maxKeyLength += 1; }, "longest key"},
      {"header's longest key too small", [](TestIndex& x) { x.maxKeyLength -= 1; }, "longest key"},
      {"header's most postings too large", [](TestIndex& x) { x.maxPostingCount += 1; }, "most postings"},
      {"header's most postings zero", [](TestIndex& x) { x.maxPostingCount = 0; }, "not a vos index"},
      {"a record with bit index 800", [](TestIndex& x) { x.records[3].bitIndex = 800; }, "outside 0..799"},
      {"a record with bit index -1", [](TestIndex& x) { x.records[3].bitIndex = -1; }, "outside 0..799"},
      {"a record with a huge bit index", [](TestIndex& x) { x.records[5].bitIndex = 0x7FFFFFFF; }, "outside 0..799"},
      {"the head below bit 800", [](TestIndex& x) { x.records[0].bitIndex = 799; }, "not 800"},
      {"a record without postings", [](TestIndex& x) { x.records[4].postings.clear(); }, "has no postings"},
      {"the head with a posting", [](TestIndex& x) { x.records[0].postings = {1}; }, "postings, not 0"},
      {"the head with a key", [](TestIndex& x) { x.records[0].key = "k"; }, "instead of the empty key"},
      {"a record with the empty key", [](TestIndex& x) { x.records[3].key.clear(); }, "holds the empty key"},
      {"postings descending",
       [](TestIndex& x) {
         for (TestRecord& r : x.records) {
           if (r.postings.size() > 1) std::swap(r.postings[0], r.postings[1]);
         }
       },
       "ascending"},
      {"a posting repeated",
       [](TestIndex& x) {
         for (TestRecord& r : x.records) {
           if (r.postings.size() > 1) r.postings[1] = r.postings[0];
         }
       },
       "ascending"},
      {"a negative entry offset", [](TestIndex& x) { x.records[2].postings[0] = -4; }, "negative entry offset"},
      {"the head's right link made a second down link to its left target",
       [](TestIndex& x) { x.records[0].right = x.records[0].left; }, "more than one down link"},
      {"a down link turned into a self link",
       [](TestIndex& x) {
         int32_t i = FirstWithTwoDownLinks(x);
         x.records[static_cast<size_t>(i)].left = i;
       },
       "not reachable"},
      {"records laid out in reverse",
       [](TestIndex& x) {
         // Reverse every record but the head and renumber the links; the structure stays, the order does not.
         size_t n = x.records.size();
         auto renumber = [n](int32_t i) { return i == 0 ? 0 : static_cast<int32_t>(n) - i; };
         std::vector<TestRecord> reversed = {x.records[0]};
         for (size_t i = n - 1; i >= 1; --i) reversed.push_back(x.records[i]);
         for (TestRecord& r : reversed) {
           r.left = renumber(r.left);
           r.right = renumber(r.right);
         }
         x.records = reversed;
       },
       "breadth-first order"},
      {"a back link to a record off the path",
       [](TestIndex& x) {
         int32_t i = FirstWithTwoDownLinks(x);
         TestRecord& r = x.records[static_cast<size_t>(i)];
         // Point the deepest record under the left child back across to the right child.
         int32_t leaf = r.left;
         for (;;) {
           const TestRecord& l = x.records[static_cast<size_t>(leaf)];
           int32_t down = x.records[static_cast<size_t>(l.left)].bitIndex < l.bitIndex ? l.left
                        : x.records[static_cast<size_t>(l.right)].bitIndex < l.bitIndex ? l.right : -1;
           if (down < 0) break;
           leaf = down;
         }
         TestRecord& l = x.records[static_cast<size_t>(leaf)];
         (x.records[static_cast<size_t>(l.left)].bitIndex >= l.bitIndex ? l.left : l.right) = r.right;
       },
       "not on its way"},
      {"a key changed in the bit its own record tests",
       [](TestIndex& x) {
         // The descent for the changed key agrees with the old one above the record and turns away at it.
         for (TestRecord& r : x.records) {
           int32_t byte = r.bitIndex / 8;
           if (byte >= 1 && byte <= static_cast<int32_t>(r.key.size()) && r.bitIndex < 800) {
             r.key[static_cast<size_t>(byte - 1)] ^= static_cast<char>(1 << (r.bitIndex % 8));
             return;
           }
         }
         FAIL() << "no record tests a bit inside its key";
       },
       "not found by its own descent"},
      {"two records with one key", [](TestIndex& x) { x.records[4].key = x.records[3].key; },
       "not found by its own descent"},
      {"a stored posting count larger than the postings",
       [](TestIndex& x) { x.records.back().postingCount = 3 + static_cast<int32_t>(x.records.back().postings.size()); },
       "cut short by the end of the file"},
      {"a negative posting count", [](TestIndex& x) { x.records[6].postingCount = -2; }, "negative posting count"},
      {"a huge posting count", [](TestIndex& x) { x.records[1].postingCount = 0x7FFFFFFF; },
       "cut short by the end of the file"},
  };
  for (const RecordFault& fault : faults) {
    SCOPED_TRACE(fault.name);
    TestIndex index = bushy;
    fault.mutate(index);
    OpenedIndex file(Serialize(index));
    CheckReport report = Check(file);
    EXPECT_GT(report.problemCount, 0);
    EXPECT_TRUE(Mentions(report, fault.problem)) << "problems:" << Problems(report);
  }
}

TEST(CheckIndexTest, ReportsBadLinksTruncationAndTrailingBytes) {
  const std::string good = Serialize(WorkedExample());
  struct Case {
    const char* name;
    std::string bytes;
    const char* problem;
  };
  auto withLink = [&good](size_t position, int32_t value) {
    std::string bytes = good;
    bytes.replace(position, 4, Fixed32(value));
    return bytes;
  };
  // Byte 32 holds the left link of 'ab', byte 58 the right link of 'a'.
  std::vector<Case> cases = {
      {"a link into the middle of a record", withLink(32, 41), "is not the start of a record"},
      {"a link past the end of the file", withLink(32, 1000), "is not the start of a record"},
      {"a negative link", withLink(58, -17), "is not the start of a record"},
      {"one trailing byte", good + "x", "cut short"},
      {"a trailing record head", good + std::string(17, '\0'), "has no postings"},
      {"the header alone", good.substr(0, 8), "not a vos index"},
      {"an empty file", "", "not a vos index"},
      {"a file shorter than the header", "\x02\x00\x00", "not a vos index"},
      {"a key longer than 255 bytes in the header", withLink(0, 256), "not a vos index"},
      {"more postings in the header than the file can hold", withLink(4, 100), "not a vos index"},
  };
  for (size_t length = 9; length < good.size(); ++length) {
    // A cut between two records leaves whole records whose links lead nowhere; any other cut splits a record.
    bool between = length == 25 || length == 48;
    cases.push_back({"truncated", good.substr(0, length),
                     length < 25 ? "not a vos index"
                     : between   ? "is not the start of a record"
                                 : "cut short by the end of the file"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(c.bytes.size()) + " bytes");
    OpenedIndex file(c.bytes);
    CheckReport report = Check(file);
    EXPECT_TRUE(Mentions(report, c.problem)) << "problems:" << Problems(report);
  }
}

TEST(CheckIndexTest, LimitsTheListButCountsEveryProblem) {
  TestIndex index = Parse(BushyIndex());
  for (size_t i = 1; i < index.records.size(); ++i) index.records[i].bitIndex = 900;
  OpenedIndex file(Serialize(index));
  CheckReport report = Check(file, 5);
  EXPECT_EQ(report.problems.size(), 5u);
  EXPECT_GE(report.problemCount, static_cast<int64_t>(index.records.size()) - 1);
}

// Cyclic link patterns: a reader that trusted links would loop. Bit indices rise and fall around the cycles.
TEST(CheckIndexTest, CyclicLinksEndWithProblemsAndLookupsEnd) {
  const std::vector<TestIndex> cyclic = {
      {1, 1, {{"", 800, 1, 0, {}}, {"a", 10, 2, 1, {1}}, {"b", 20, 1, 2, {2}}}},   // a -> b -> a
      {1, 1, {{"", 800, 1, 1, {}}, {"a", 10, 1, 1, {1}}}},                           // both head links down to a
      {1, 1, {{"", 800, 1, 0, {}}, {"a", 800, 1, 0, {1}}}},                          // a tests bit 800 too
      {1, 1, {{"", 800, 1, 0, {}}, {"a", 5, 2, 0, {1}}, {"b", 5, 1, 2, {2}}}},     // equal bit indices
      {0, 1, {{"", 800, 0, 0, {}}, {"", 3, 0, 1, {1}}}},                             // an unreachable empty key
  };
  for (size_t i = 0; i < cyclic.size(); ++i) {
    SCOPED_TRACE("pattern " + std::to_string(i));
    OpenedIndex file(Serialize(cyclic[i]));
    EXPECT_GT(Check(file).problemCount, 0);
    for (const char* key : {"a", "b", "", "zzz"}) Find(file, key);
  }
}

TEST(LookupTest, CorruptRecordsOnTheWayGiveAnErrorNotACrash) {
  struct Case {
    const char* name;
    TestIndex index;
    std::string key;
    const char* error;
  };
  const Case cases[] = {
      {"bit index above 800", {1, 1, {{"", 801, 1, 0, {}}, {"a", 14, 0, 1, {2}}}}, "a", "outside 0..800"},
      {"negative bit index", {1, 1, {{"", 800, 1, 0, {}}, {"a", -3, 0, 1, {2}}}}, "a", "outside 0..800"},
      {"a found key without postings", {1, 1, {{"", 800, 1, 0, {}}, {"a", 14, 0, 1, {}}}}, "a", "no postings"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenedIndex file(Serialize(c.index));
    Lookup result = Find(file, c.key);
    EXPECT_EQ(result.outcome, ReadOutcome::kError);
    EXPECT_NE(result.error.find(c.error), std::string::npos) << result.error;
  }
  const std::string good = Serialize(WorkedExample());
  for (size_t length = 0; length < good.size(); ++length) {
    OpenedIndex file(good.substr(0, length));
    // 'a' needs every record: any cut must show as an error, never as "not found".
    EXPECT_EQ(Find(file, "a").outcome, ReadOutcome::kError) << length << " bytes";
  }
}

// Random damage to a good index: the checker and the lookups must end on every input, and whenever the checker
// finds nothing wrong, every record's key must be found with its own postings.
TEST(CheckIndexTest, RandomDamageNeverCrashesAndACleanCheckMeansEveryKeyIsFound) {
  const std::string good = BushyIndex();
  std::mt19937 random(20011211);
  int clean = 0;
  for (int round = 0; round < 1500; ++round) {
    std::string bytes = good;
    int damage = 1 + static_cast<int>(random() % 3);
    for (int d = 0; d < damage; ++d) {
      switch (random() % 4) {
        case 0:
        case 1: bytes[random() % bytes.size()] = static_cast<char>(random()); break;
        case 2: bytes.resize(random() % (bytes.size() + 1)); break;
        default: bytes.insert(random() % (bytes.size() + 1), 1, static_cast<char>(random())); break;
      }
      if (bytes.empty()) break;
    }
    OpenedIndex file(bytes);
    CheckReport report = Check(file);
    for (const char* key : {"haus", " heim", "zz", "q", "abc", ""}) Find(file, key);
    if (report.problemCount != 0) continue;
    ++clean;
    TestIndex index = Parse(bytes);
    for (size_t i = 1; i < index.records.size(); ++i) {
      Lookup result = Find(file, index.records[i].key);
      EXPECT_EQ(result.outcome, ReadOutcome::kOk) << "round " << round;
      EXPECT_EQ(result.postings, index.records[i].postings) << "round " << round;
    }
  }
  EXPECT_GT(clean, 0) << "some damage (to posting values, say) leaves a valid index";
}

TEST(CheckIndexTest, RandomFilesAreRejected) {
  std::mt19937 random(42);
  for (int round = 0; round < 300; ++round) {
    std::string bytes(random() % 400, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    OpenedIndex file(bytes);
    EXPECT_GT(Check(file).problemCount, 0) << bytes.size() << " bytes";
    Find(file, "haus");
  }
}

}  // namespace
}  // namespace vos
