#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader/reader.h"
#include "test_support.h"

namespace vos {
namespace {

struct EntryCase {
  const char* name;
  std::string dictionary;
  int64_t offset;
  std::string key;
  ReadOutcome outcome;
  std::string text;
  bool preamble = false;
};

TEST(EntriesTest, ReadsTheEntryAtAnOffsetAndChecksThatItBelongsToTheIndex) {
  const std::string lf = "%\nHaus, Heim\nein Geb\xE4ude\n%\nHof\n";
  const std::string crlf = "%\r\nHaus, Heim\r\nein Geb\xE4ude\r\n%\r\nHof\r\n";
  const EntryCase cases[] = {
      {"first entry, LF", lf, 2, " heim", ReadOutcome::kOk, "Haus, Heim\nein Geb\xE4ude\n"},
      {"last entry, LF", lf, 27, "hof", ReadOutcome::kOk, "Hof\n"},
      {"CR LF line ends are kept", crlf, 3, "haus", ReadOutcome::kOk, "Haus, Heim\r\nein Geb\xE4ude\r\n"},
      {"last entry, CR LF", crlf, 31, "hof", ReadOutcome::kOk, "Hof\r\n"},
      {"lone CR ends a line", "%\rA\rb\r%\rC", 2, "a", ReadOutcome::kOk, "A\rb\r"},
      {"a headword line of '%' belongs to the entry", "%\n%\nHof\n", 2, "hof", ReadOutcome::kOk, "%\nHof\n"},
      {"last line without line end", "%\nHof\nBody", 2, "body", ReadOutcome::kOk, "Hof\nBody"},
      {"'%' not alone on its line is body text", "%\nA\n%x\n %\n%\nB\n", 2, "a", ReadOutcome::kOk, "A\n%x\n %\n"},
      {"'%' as the last line without line end", "%\nA\n%", 2, "a", ReadOutcome::kOk, "A\n"},
      {"an umlaut folded as the index folds it", lf, 2, "ein geb\xE4ude", ReadOutcome::kOk,
       "Haus, Heim\nein Geb\xE4ude\n"},
      {"text before the first '%' line", "Vorwort\n%\nHof\n", 0, "vorwort", ReadOutcome::kOk, "Vorwort\n", true},
      // A dictionary that is not the one the index was made of.
      {"an offset inside a line", lf, 5, "haus", ReadOutcome::kNotFound, ""},
      {"an offset after a line that is not '%'", lf, 13, "ein", ReadOutcome::kNotFound, ""},
      {"an offset between CR and LF", crlf, 2, "haus", ReadOutcome::kNotFound, ""},
      {"an offset after '%x'", "%x\nHof\n", 3, "hof", ReadOutcome::kNotFound, ""},
      {"an entry without the key", lf, 27, "haus", ReadOutcome::kNotFound, ""},
      {"offset 0 of a file that starts with '%'", lf, 0, "haus", ReadOutcome::kNotFound, ""},
      {"an offset at the end of the file", "%\n", 2, "a", ReadOutcome::kNotFound, ""},
      {"an offset past the end of the file", "%\n", 3, "a", ReadOutcome::kNotFound, ""},
      {"a negative offset", "%\n", -1, "a", ReadOutcome::kNotFound, ""},
  };
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    dir.Write("dict.txt", c.dictionary);
    DictionaryFile dictionary;
    std::string error;
    ASSERT_TRUE(OpenDictionary(dir.Path("dict.txt"), dictionary, error)) << error;
    Entry entry;
    EXPECT_EQ(ReadEntry(dictionary, c.offset, c.key, false, entry, error), c.outcome) << error;
    if (c.outcome == ReadOutcome::kOk) {
      EXPECT_EQ(entry.text, c.text);
      EXPECT_EQ(entry.preamble, c.preamble);
    }
    CloseDictionary(dictionary);
  }
}

TEST(EntriesTest, AKeptCaseKeyMustStandAsWritten) {
  test::TempDir dir;
  dir.Write("dict.txt", "%\nHaus\n");
  DictionaryFile dictionary;
  std::string error;
  ASSERT_TRUE(OpenDictionary(dir.Path("dict.txt"), dictionary, error)) << error;
  Entry entry;
  EXPECT_EQ(ReadEntry(dictionary, 2, "Haus", true, entry, error), ReadOutcome::kOk) << error;
  EXPECT_EQ(ReadEntry(dictionary, 2, "haus", true, entry, error), ReadOutcome::kNotFound);
  EXPECT_EQ(ReadEntry(dictionary, 2, "haus", false, entry, error), ReadOutcome::kOk) << error;
  CloseDictionary(dictionary);
}

TEST(EntriesTest, ReadsALongEntryAcrossManyReads) {
  std::string body;
  for (int i = 0; i < 5000; ++i) body += "line " + std::to_string(i) + "\r\n";
  test::TempDir dir;
  dir.Write("dict.txt", "%\r\nHead\r\n" + body + "%\r\nNext\r\n");
  DictionaryFile dictionary;
  std::string error;
  ASSERT_TRUE(OpenDictionary(dir.Path("dict.txt"), dictionary, error)) << error;
  Entry entry;
  ASSERT_EQ(ReadEntry(dictionary, 3, "line 4999", false, entry, error), ReadOutcome::kOk) << error;
  EXPECT_EQ(entry.text, "Head\r\n" + body);
  CloseDictionary(dictionary);
}

TEST(EntriesTest, FindsLineEndsAndTheEndingLineWhereverAReadStops) {
  // Entries of every length around the sizes of the first reads put a CR LF, a lone CR or the "%" line across
  // their ends.
  for (const std::string lineEnd : {"\r\n", "\r", "\n"}) {
    for (size_t length = 490; length < 1060; length += length == 530 ? 480 : 1) {
      std::string text = "Head" + lineEnd + std::string(length, 'x') + lineEnd;
      test::TempDir dir;
      dir.Write("dict.txt", "%" + lineEnd + text + "%" + lineEnd + "Next" + lineEnd);
      DictionaryFile dictionary;
      std::string error;
      ASSERT_TRUE(OpenDictionary(dir.Path("dict.txt"), dictionary, error)) << error;
      Entry entry;
      auto offset = static_cast<int64_t>(1 + lineEnd.size());
      EXPECT_EQ(ReadEntry(dictionary, offset, "head", false, entry, error), ReadOutcome::kOk) << length << error;
      EXPECT_EQ(entry.text, text) << length;
      CloseDictionary(dictionary);
    }
  }
}

TEST(EntriesTest, ReadingManyEntriesAtOnceGivesWhatReadingEachGives) {
  // Entries shorter and longer than a first read, with every kind of line end, and every offset of the file
  // (most of them not an entry's), asked for in batches longer than the kernel ring and as single offsets, read
  // with one pread each and through the ring.
  std::string file = "Vorwort head\n";
  const char* lineEnds[] = {"\n", "\r\n", "\r"};
  for (int i = 0; i < 24; ++i) {
    const char* end = lineEnds[i % 3];
    file += std::string("%") + end + "Head " + std::to_string(i) + end + std::string((i * 97) % 1300, 'x') + end;
  }
  test::TempDir dir;
  dir.Write("dict.txt", file);
  DictionaryFile dictionary;
  std::string error;
  ASSERT_TRUE(OpenDictionary(dir.Path("dict.txt"), dictionary, error)) << error;
  std::vector<int32_t> offsets;
  for (int32_t offset = -1; offset <= static_cast<int32_t>(file.size()) + 1; ++offset) offsets.push_back(offset);
  int entries = 0;
  for (bool ring : {false, true}) {
    if (ring) EnableBatchReads();
    for (size_t batch : {size_t{1}, size_t{45}}) {
      for (size_t start = 0; start < offsets.size(); start += batch) {
        std::span<const int32_t> part(offsets.data() + start, std::min(batch, offsets.size() - start));
        std::vector<EntryRead> reads;
        ReadEntries(dictionary, part, "head", false, reads);
        ASSERT_EQ(reads.size(), part.size());
        for (size_t i = 0; i < part.size(); ++i) {
          SCOPED_TRACE("offset " + std::to_string(part[i]) + " in a batch of " + std::to_string(batch) +
                       (ring ? " through the ring" : ""));
          Entry entry;
          std::string problem;
          ReadOutcome outcome = ReadEntry(dictionary, part[i], "head", false, entry, problem);
          EXPECT_EQ(reads[i].outcome, outcome);
          EXPECT_EQ(reads[i].entry.text, entry.text);
          EXPECT_EQ(reads[i].entry.preamble, entry.preamble);
          EXPECT_EQ(reads[i].problem, outcome == ReadOutcome::kOk ? "" : problem);
          entries += outcome == ReadOutcome::kOk ? 1 : 0;
        }
      }
    }
  }
  EXPECT_EQ(entries, 4 * 25);  // the text before the first entry, and each entry, in all four passes
  CloseDictionary(dictionary);
}

}  // namespace
}  // namespace vos
