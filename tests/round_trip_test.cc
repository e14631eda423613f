// Round trip: random dictionaries go through the same scan and writer that vos runs, and what the index file
// answers is compared with a plain model of the dictionary's keys, written here from the rules alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "index/index_writer.h"
#include "reader/reader.h"
#include "runtime/run_stop.h"
#include "scan/dictionary_scan.h"
#include "scan/line_reader.h"
#include "plain_model.h"
#include "test_support.h"
#include "trie/key_trie.h"

namespace vos {
namespace {

struct Settings {
  bool fullText = false;
  bool keepCase = false;
  bool useExclusion = false;  // an exclusion file is given; it only counts in full-text mode
  int32_t lineEndSize = 1;
};

// ---- The model ----------------------------------------------------------------------------------------------

using model::IsWordByte;
using model::ModelLine;
using model::SplitLines;

// Headwords: the text between commas, untrimmed; the first empty one ends the line.
std::vector<std::string> Headwords(const std::string& line) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < line.size()) {
    size_t comma = line.find(',', start);
    size_t end = comma == std::string::npos ? line.size() : comma;
    if (end == start) break;
    words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

// Text words: runs of word bytes; an empty run or one that begins or ends with "-" ends the line.
std::vector<std::string> TextWords(const std::string& line) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < line.size()) {
    size_t end = start;
    while (end < line.size() && IsWordByte(static_cast<unsigned char>(line[end]))) ++end;
    std::string word = line.substr(start, end - start);
    if (word.empty() || word.front() == '-' || word.back() == '-') break;
    words.push_back(word);
    start = end;
    while (start < line.size() && !IsWordByte(static_cast<unsigned char>(line[start]))) ++start;
  }
  return words;
}

// The index tells keys apart by bits 800 down to 0 only: the length, characters 1 to 99 and the lowest bit of
// character 100.
std::string Distinction(const std::string& key) {
  std::string bits(1, static_cast<char>(key.size()));
  for (size_t i = 0; i < 100; ++i) bits.push_back(i < key.size() ? key[i] : '\0');
  bits.back() = static_cast<char>(bits.back() & 1);
  return bits;
}

struct Model {
  std::map<std::string, std::vector<int32_t>> keys;
  std::set<std::string> shadowed;                  // keys not filed: an earlier key has the same distinction
  std::map<std::string, std::string> distinctions;  // distinction -> the key filed under it
  int32_t maxKeyLength = 0;
  int32_t maxPostingCount = 1;
  std::vector<std::pair<std::string, int32_t>> filings;  // every key handed over, in order, shadowed ones included

  void File(const std::string& key, int32_t entryOffset) {
    filings.emplace_back(key, entryOffset);
    auto found = keys.find(key);
    if (found == keys.end()) {
      auto [it, fresh] = distinctions.emplace(Distinction(key), key);
      if (!fresh) {
        shadowed.insert(key);
        return;
      }
      found = keys.emplace(key, std::vector<int32_t>{}).first;
      maxKeyLength = std::max(maxKeyLength, static_cast<int32_t>(key.size()));
    }
    std::vector<int32_t>& postings = found->second;
    if (postings.empty() || postings.back() != entryOffset) postings.push_back(entryOffset);
    maxPostingCount = std::max(maxPostingCount, static_cast<int32_t>(postings.size()));
  }
};

Model ModelOf(const std::string& dictionary, const std::string& exclusion, const Settings& settings) {
  std::set<std::string> excluded;
  if (settings.fullText && settings.useExclusion) {
    for (const ModelLine& line : SplitLines(exclusion)) excluded.insert(model::Fold(line.text));
  }
  Model model;
  int64_t offset = 0;
  int32_t entry = 0;
  bool afterPercent = false;
  for (const ModelLine& line : SplitLines(dictionary)) {
    offset += line.bytes + settings.lineEndSize;
    if (settings.fullText) {
      for (const std::string& word : TextWords(line.text)) {
        std::string key = settings.keepCase ? word : model::Fold(word);
        if (!excluded.contains(key)) model.File(key, entry);
      }
    } else if (afterPercent) {
      for (const std::string& word : Headwords(line.text)) model.File(settings.keepCase ? word : model::Fold(word), entry);
    }
    afterPercent = line.text == "%";
    if (afterPercent) entry = static_cast<int32_t>(offset);
  }
  return model;
}

// ---- Random dictionaries --------------------------------------------------------------------------------------

struct Generator {
  std::mt19937 random;
  std::string longStem;  // 99 characters shared by long words, so that their 100th character decides

  explicit Generator(uint32_t seed) : random(seed) {
    for (int i = 0; i < 99; ++i) longStem.push_back("LangWrt\xFC\xDF"[i % 9]);
  }

  size_t Below(size_t n) { return random() % n; }
  bool OneIn(size_t n) { return Below(n) == 0; }

  std::string Word() {
    static const std::vector<std::string> kWords = {
        "Haus", "haus", "HAUS", "Heim", "Hof", "Stra\xDF" "e", "STRASSE", "\xC4rger", "\xFC" "ber", "\xDC" "BER",
        "\xD6l", "Geb\xE4ude", "E-Mail", "e-mail", "3-4", "x2y", "caf\xE9", "\xC9" "COLE", "und", "der", "Der",
        "a", "ab", "abc", "A", "-ung", "Ab-", "-", "Wort", "z", "Zz", "\xC0" "la", "Baum", "B\xE4ume", "100"};
    switch (Below(12)) {
      case 0: return LongWord();
      case 1: {  // a fresh word of word bytes and hyphens
        std::string w;
        size_t n = 1 + Below(8);
        for (size_t i = 0; i < n; ++i) w.push_back("aBcD-\xE4\xC4\xDF" "9z"[Below(10)]);
        return w;
      }
      default: return kWords[Below(kWords.size())];
    }
  }

  // 100 characters or more: the 100th is one of several that agree or differ in its lowest bit.
  std::string LongWord() {
    std::string w = longStem;
    w.push_back("aqcbAQ"[Below(6)]);
    size_t extra = Below(4) == 0 ? Below(160) : Below(3);
    for (size_t i = 0; i < extra; ++i) w.push_back("xyZ"[Below(3)]);
    if (OneIn(4)) w[Below(99)] = 'k';  // sometimes they differ early on
    return w;
  }

  std::string Junk() {
    static const std::vector<std::string> kJunk = {" ", "  ", ". ", ", ", "; ", "(", ")", "\"", "\t", "%", "\xA0",
                                                   "\xE9", "\xFF", "\x80", "?", " - ", "/"};
    return kJunk[Below(kJunk.size())];
  }

  std::string HeadwordLine() {
    if (OneIn(12)) return "";
    std::string line;
    size_t n = 1 + Below(4);
    for (size_t i = 0; i < n; ++i) {
      if (i > 0) line += OneIn(4) ? "," : (OneIn(8) ? ",," : ", ");
      if (OneIn(8)) line += " ";
      line += Word();
      if (OneIn(10)) line += Junk();
    }
    if (OneIn(15)) line = "," + line;
    if (OneIn(15)) line += ",";
    if (OneIn(10)) line += ", " + longStem + longStem + longStem;  // past 255 bytes: the tail is cut off
    return line;
  }

  std::string BodyLine() {
    std::string line = OneIn(8) ? Junk() : "";
    size_t n = Below(7);
    for (size_t i = 0; i < n; ++i) {
      if (i > 0) line += OneIn(3) ? Junk() : " ";
      line += Word();
    }
    if (OneIn(12)) line += " " + longStem + longStem + longStem + " Nachwort";
    if (OneIn(4)) line += ".";
    return line;
  }

  std::string LineEnd(int style) {
    static const char* const kEnds[] = {"\n", "\r\n", "\r"};
    return style < 3 ? kEnds[style] : kEnds[Below(3)];
  }

  // Lines with ends of one style (or mixed); the last line loses its line end now and then.
  std::string Text(const std::vector<std::string>& lines, int style) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
      text += lines[i];
      if (i + 1 < lines.size() || !OneIn(3)) text += LineEnd(style);
    }
    return text;
  }

  std::string Dictionary(int style) {
    std::vector<std::string> lines;
    size_t before = OneIn(4) ? Below(3) : 0;
    for (size_t i = 0; i < before; ++i) lines.push_back(BodyLine());
    size_t entries = Below(25);
    for (size_t e = 0; e < entries; ++e) {
      lines.push_back("%");
      if (OneIn(15)) lines.push_back("%");  // a "%" headword line
      lines.push_back(HeadwordLine());
      size_t body = Below(4);
      for (size_t i = 0; i < body; ++i) lines.push_back(OneIn(20) ? "%x" : BodyLine());
    }
    if (OneIn(10)) lines.push_back("%");
    return Text(lines, style);
  }

  std::string Exclusion(int style) {
    std::vector<std::string> lines;
    size_t n = Below(9);
    for (size_t i = 0; i < n; ++i) {
      switch (Below(8)) {
        case 0: lines.push_back(""); break;
        case 1: lines.push_back("der "); break;
        // Long words that the index could not tell apart must all be excluded all the same.
        case 2: lines.push_back(LongWord()); break;
        default: lines.push_back(Word()); break;
      }
    }
    return Text(lines, style);
  }

  Settings RandomSettings(int style) {
    Settings s;
    s.fullText = OneIn(2);
    s.keepCase = OneIn(3);
    s.useExclusion = OneIn(2);
    bool crlf = style == 1;
    s.lineEndSize = OneIn(5) ? (crlf ? 1 : 2) : (crlf ? 2 : 1);
    return s;
  }
};

// ---- The system under test, run in-process in the order of a vos run --------------------------------------------

// The files of one round. Every round writes files of new names and removes them afterwards: rewriting a file in
// place makes some file systems flush it at once, which would slow thousands of rounds down tenfold.
struct RoundFiles {
  std::string dictionary;
  std::string exclusion;
  std::string index;
  std::string reference;

  RoundFiles(const test::TempDir& dir, const std::string& name)
      : dictionary(dir.Path(name + ".txt")),
        exclusion(dir.Path(name + ".exclude")),
        index(dir.Path(name + ".dat")),
        reference(dir.Path(name + ".reference")) {}
  ~RoundFiles() {
    for (const std::string* path : {&dictionary, &exclusion, &index, &reference}) std::filesystem::remove(*path);
  }
};

void BuildIndex(const RoundFiles& files, const Settings& settings) {
  bool excluding = settings.fullText && settings.useExclusion;
  KeySet exclusionList;
  if (excluding) {
    LoadExclusionList(files.exclusion, exclusionList);
  }
  KeyTrie mainTrie;
  NewTrie(mainTrie);
  RunStatistics statistics;
  ResetStatistics(statistics, mainTrie);
  LineReader dictionary = OpenLineReader(files.dictionary, kDictionaryBufferSize);
  CheckIo();
  ScanState state;
  ScanDictionary(dictionary, ScanMode{settings.fullText, settings.keepCase, settings.lineEndSize}, mainTrie,
                 excluding ? &exclusionList : nullptr, state, statistics);
  CloseLineReader(dictionary);
  CheckIo();
  WriteIndexFile(files.index, mainTrie, statistics);
}

// The index of the model's keys filed one by one with InsertKey, in the order the scan meets them: the trie that
// the scan must build, whatever way it takes there.
void BuildReferenceIndex(const RoundFiles& files, const Model& model) {
  KeyTrie trie;
  NewTrie(trie);
  RunStatistics statistics;
  ResetStatistics(statistics, trie);
  for (const auto& [key, entryOffset] : model.filings) InsertKey(MakeShortString(key), entryOffset, trie, statistics);
  WriteIndexFile(files.reference, trie, statistics);
}

testing::AssertionResult SameFiles(const std::string& expectedPath, const std::string& actualPath) {
  std::string expected = test::ReadFile(expectedPath);
  std::string actual = test::ReadFile(actualPath);
  if (expected == actual) return testing::AssertionSuccess();
  size_t i = 0;
  while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) ++i;
  return testing::AssertionFailure() << "the index differs from the one InsertKey builds, first at byte " << i
                                     << " (sizes " << expected.size() << " and " << actual.size() << ")";
}

std::string Shown(const std::string& bytes) {
  std::string shown;
  for (unsigned char b : bytes) {
    if (b == '\n') {
      shown += "\\n";
    } else if (b < 0x20 || b >= 0x7F) {
      static const char kHex[] = "0123456789ABCDEF";
      shown += "\\x";
      shown.push_back(kHex[b >> 4]);
      shown.push_back(kHex[b & 15]);
    } else {
      shown.push_back(static_cast<char>(b));
    }
  }
  return shown;
}

std::string PostingsText(const std::vector<int32_t>& postings) {
  std::string text;
  for (int32_t p : postings) text.append(" ").append(std::to_string(p));
  return text;
}

// Everything the index file answers must agree with the model.
testing::AssertionResult IndexAgrees(const std::string& path, const Model& model, Generator& generator) {
  IndexFile index;
  std::string error;
  if (!OpenIndex(path, false, index, error)) return testing::AssertionFailure() << error;
  if (index.maxKeyLength != model.maxKeyLength || index.maxPostingCount != model.maxPostingCount) {
    return testing::AssertionFailure() << "header " << index.maxKeyLength << "/" << index.maxPostingCount
                                       << ", model " << model.maxKeyLength << "/" << model.maxPostingCount;
  }
  CheckReport report = CheckIndex(index);
  if (report.problemCount != 0) return testing::AssertionFailure() << "check: " << report.problems.front();

  std::map<std::string, std::vector<int32_t>> stored;
  RecordCursor cursor;
  IndexRecord record;
  ReadOutcome outcome;
  while ((outcome = NextRecord(index, cursor, record, error)) == ReadOutcome::kOk) {
    if (record.recordOffset != 0) stored[record.key] = record.postings;
  }
  if (outcome == ReadOutcome::kError) return testing::AssertionFailure() << error;
  for (const auto& [key, postings] : model.keys) {
    auto it = stored.find(key);
    if (it == stored.end()) return testing::AssertionFailure() << "no record holds '" << Shown(key) << "'";
    if (it->second != postings) {
      return testing::AssertionFailure() << "'" << Shown(key) << "' stored with" << PostingsText(it->second)
                                         << ", model" << PostingsText(postings);
    }
    std::vector<int32_t> found;
    if (LookupKey(index, key, found, error) != ReadOutcome::kOk || found != postings) {
      return testing::AssertionFailure() << "lookup of '" << Shown(key) << "' gives" << PostingsText(found)
                                         << ", model" << PostingsText(postings);
    }
  }
  if (stored.size() != model.keys.size()) {
    for (const auto& [key, postings] : stored) {
      if (!model.keys.contains(key)) return testing::AssertionFailure() << "unexpected key '" << Shown(key) << "'";
    }
  }

  // Words that are not keys: the shadowed ones, near misses of the keys, and a few others.
  std::vector<std::string> others(model.shadowed.begin(), model.shadowed.end());
  for (const auto& [key, postings] : model.keys) {
    others.push_back(key + "e");
    others.push_back(key.substr(0, key.size() - 1));
    others.push_back(" " + key);
    std::string flipped = key;
    flipped[generator.Below(flipped.size())] ^= static_cast<char>(1 << generator.Below(8));
    others.push_back(flipped);
  }
  others.push_back(generator.LongWord());
  others.push_back("Haus");
  others.push_back("nichts");
  for (const std::string& other : others) {
    if (other.empty() || other.size() > 255 || model.keys.contains(other)) continue;
    std::vector<int32_t> found;
    ReadOutcome looked = LookupKey(index, other, found, error);
    if (looked != ReadOutcome::kNotFound) {
      return testing::AssertionFailure() << "'" << Shown(other) << "' is not a key, but the lookup gives "
                                         << static_cast<int>(looked) << PostingsText(found);
    }
  }
  return testing::AssertionSuccess();
}

constexpr int kRoundTrips = 3000;

TEST(RoundTripTest, RandomDictionariesAnswerAsTheModelSays) {
  test::TempDir dir;
  Generator generator(20011211);
  int withKeys = 0, withShadowed = 0, withExclusion = 0, fullText = 0;
  for (int round = 0; round < kRoundTrips; ++round) {
    int style = static_cast<int>(generator.Below(4));  // LF, CR LF, CR, mixed
    Settings settings = generator.RandomSettings(style);
    std::string dictionary = generator.Dictionary(style);
    std::string exclusion = generator.Exclusion(style);
    RoundFiles files(dir, "round" + std::to_string(round));
    test::WriteFile(files.dictionary, dictionary);
    test::WriteFile(files.exclusion, exclusion);
    BuildIndex(files, settings);
    Model model = ModelOf(dictionary, exclusion, settings);

    testing::AssertionResult agrees = IndexAgrees(files.index, model, generator);
    if (agrees) {
      BuildReferenceIndex(files, model);
      agrees = SameFiles(files.reference, files.index);
    }
    if (!agrees) {
      ADD_FAILURE() << "round " << round << ": " << agrees.message() << "\nfull text " << settings.fullText
                    << ", keep case " << settings.keepCase << ", exclusion " << settings.useExclusion
                    << ", line end size " << settings.lineEndSize << "\ndictionary: " << Shown(dictionary)
                    << "\nexclusion: " << Shown(exclusion);
      return;
    }
    withKeys += !model.keys.empty();
    withShadowed += !model.shadowed.empty();
    withExclusion += settings.fullText && settings.useExclusion && !exclusion.empty();
    fullText += settings.fullText;
  }
  // The generator must reach the cases that matter, or the round trip proves little.
  EXPECT_GT(withKeys, kRoundTrips / 2);
  EXPECT_GT(withShadowed, kRoundTrips / 50);
  EXPECT_GT(withExclusion, kRoundTrips / 10);
  EXPECT_GT(fullText, kRoundTrips / 3);
}

TEST(RoundTripTest, TheModelFollowsTheRulesOfTheScan) {
  // The model is the yardstick of the round trip; pin it on cases worked out by hand.
  struct Case {
    const char* name;
    std::string dictionary;
    Settings settings;
    std::map<std::string, std::vector<int32_t>> keys;
  };
  const std::string overview = "%\nHaus, Heim\nein Geb\xE4ude\n%\nHof\n";
  const std::string longLine = "%\n" + std::string(300, 'x') + "\n%\nHof\n";
  const Case cases[] = {
      {"headwords", overview, {}, {{"haus", {2}}, {" heim", {2}}, {"hof", {27}}}},
      {"full text", overview, {.fullText = true},
       {{"haus", {2}}, {"heim", {2}}, {"ein", {2}}, {"geb\xE4ude", {2}}, {"hof", {27}}}},
      {"CR LF counted two bytes", "%\r\nHaus\r\nx\r\n%\r\nHof\r\n", {.lineEndSize = 2}, {{"haus", {3}}, {"hof", {15}}}},
      {"CR LF counted one byte", "%\r\nHaus\r\nx\r\n%\r\nHof\r\n", {}, {{"haus", {2}}, {"hof", {11}}}},
      {"a long line advances by its whole length", longLine, {}, {{std::string(255, 'x'), {2}}, {"hof", {305}}}},
      {"'%' as headword", "%\n%\nHof\n", {}, {{"%", {2}}, {"hof", {4}}}},
      {"keep case", "%\nHaus,,Heim\nHaus\n%\nHaus\n", {.keepCase = true}, {{"Haus", {2, 20}}}},
      {"hyphens end a text line", "Haus -ung Hof\nE-Mail 3-4\n", {.fullText = true},
       {{"haus", {0}}, {"e-mail", {0}}, {"3-4", {0}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ModelOf(c.dictionary, "", c.settings).keys, c.keys);
  }
  Model shadow = ModelOf("%\n" + std::string(99, 'w') + "a," + std::string(99, 'w') + "q," + std::string(99, 'w') +
                             "b\n",
                         "", {});
  EXPECT_EQ(shadow.keys.size(), 2u) << "'a' and 'q' agree in their lowest bit";
  EXPECT_EQ(shadow.shadowed, std::set<std::string>{std::string(99, 'w') + "q"});
}

// ---- The real programs ----------------------------------------------------------------------------------------

struct ProgramRun {
  test::TempDir dir;
  test::RunOptions Options() const {
    test::RunOptions options;
    options.workDir = dir.path;
    return options;
  }
  test::RunResult Vos(const std::vector<std::string>& args) {
    return test::RunProgram(test::VosBinary(), args, Options());
  }
  // Keys and words as the index's own bytes, whatever the locale the tests run in.
  test::RunResult Lookup(std::vector<std::string> args) {
    args.insert(args.begin(), "--charset=latin1");
    return test::RunProgram(test::LookupBinary(), args, Options());
  }
};

TEST(RoundTripTest, TheProgramsWriteWhatTheInProcessRunWritesAndAnswerAsTheModel) {
  Generator generator(4711);
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ProgramRun run;
    int style = round % 2;  // LF or CR LF
    Settings settings = generator.RandomSettings(style);
    settings.fullText = round % 3 == 0;
    settings.useExclusion = round % 4 < 2;
    std::string dictionary = generator.Dictionary(style);
    std::string exclusion = generator.Exclusion(style);
    RoundFiles files(run.dir, "dict");
    test::WriteFile(files.dictionary, dictionary);
    test::WriteFile(files.exclusion, exclusion);
    std::vector<std::string> args = {"-d", files.dictionary, "-i", "vos.dat"};
    if (settings.fullText) args.push_back("-f");
    if (settings.keepCase) args.push_back("--case");
    if (settings.useExclusion) args.insert(args.end(), {"-e", files.exclusion});
    if (settings.lineEndSize == 2) args.push_back("-D");
    test::RunResult vos = run.Vos(args);
    ASSERT_EQ(vos.status, 0) << vos.output;
    BuildIndex(files, settings);
    ASSERT_EQ(run.dir.Read("vos.dat"), test::ReadFile(files.index)) << "vos and the in-process run differ";

    Model model = ModelOf(dictionary, exclusion, settings);
    test::RunResult check = run.Lookup({"-i", "vos.dat", "--check"});
    EXPECT_EQ(check.status, 0) << check.errors;
    std::string expectedDump;
    std::multiset<std::string> dumped, modelled;
    for (const auto& [key, postings] : model.keys) {
      std::string line = key + "\t" + PostingsText(postings).substr(1) + "\n";
      modelled.insert(line);
    }
    test::RunResult dump = run.Lookup({"-i", "vos.dat", "--dump"});
    ASSERT_EQ(dump.status, 0) << dump.errors;
    for (size_t start = 0; start < dump.output.size();) {
      size_t end = dump.output.find('\n', start);
      dumped.insert(dump.output.substr(start, end + 1 - start));
      start = end + 1;
    }
    EXPECT_EQ(dumped, modelled);

    // Looked up as typed: the keys of the model (already folded unless case is kept) and one word that is not.
    std::vector<std::string> words = {"-i", "vos.dat"};
    if (settings.keepCase) words.push_back("-c");
    words.push_back("--");
    std::string expected;
    for (const auto& [key, postings] : model.keys) {
      if (words.size() > 30) break;
      words.push_back(key);
      expected += key + "\t" + PostingsText(postings).substr(1) + "\n";
    }
    if (!model.keys.empty()) {
      test::RunResult found = run.Lookup(words);
      EXPECT_EQ(found.status, 0) << found.errors;
      EXPECT_EQ(found.output, expected);
    }
    words.push_back("kein Schl\xFCssel");
    EXPECT_EQ(run.Lookup(words).status, 1);
  }
}

TEST(RoundTripTest, SampleDictionaryAnswersThroughThePrograms) {
  std::string sample = test::SourceDir() + "/examples/dict.txt";
  if (!std::filesystem::exists(sample)) GTEST_SKIP() << "no sample dictionary in examples/";
  ProgramRun run;
  test::RunResult vos = run.Vos({"-d", sample, "-i", "sample.dat"});
  ASSERT_EQ(vos.status, 0) << vos.output;
  test::RunResult check = run.Lookup({"-i", "sample.dat", "--check"});
  EXPECT_EQ(check.status, 0) << check.errors;
  test::RunResult dump = run.Lookup({"-i", "sample.dat", "--dump"});
  ASSERT_EQ(dump.status, 0) << dump.errors;
  ASSERT_FALSE(dump.output.empty()) << "the sample dictionary gives no key";

  // Every dumped key is found by its own lookup, and its entries can be printed.
  std::vector<std::string> args = {"-i", "sample.dat", "-c", "--"};
  std::string expected;
  for (size_t start = 0; start < dump.output.size() && args.size() < 60;) {
    size_t end = dump.output.find('\n', start);
    std::string line = dump.output.substr(start, end + 1 - start);
    args.push_back(line.substr(0, line.rfind('\t')));
    expected += line;
    start = end + 1;
  }
  test::RunResult found = run.Lookup(args);
  EXPECT_EQ(found.status, 0) << found.errors;
  EXPECT_EQ(found.output, expected);

  std::string firstKey = args[4];
  test::RunResult entry = run.Lookup({"-i", "sample.dat", "-c", "-d", sample, "--", firstKey});
  EXPECT_EQ(entry.status, 0) << entry.errors;
  EXPECT_EQ(entry.output.rfind("%\n", 0), 0u) << entry.output;
}

}  // namespace
}  // namespace vos
