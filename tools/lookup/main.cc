// vos-lookup: finds words in an index file written by vos, prints their entry offsets or entries, lists the keys
// that match a strategy, lists the whole index or verifies it. This file parses the command line and prints; the
// reading is the reading library's. Words come in and keys and entries go out in the user's character set.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "reader/reader.h"

namespace vos {
namespace {

constexpr std::string_view kProgram = "vos-lookup";
constexpr int kAllFound = 0;
constexpr int kSomeNotFound = 1;
constexpr int kTrouble = 2;
constexpr size_t kNearKeyCount = 5;
// Each suggestion reads the whole index once; a long list of words that are not keys gets them for its first few.
constexpr int kSuggestedMisses = 5;

constexpr std::string_view kUsage =
    "Usage: vos-lookup [OPTION]... WORD...\n"
    "       vos-lookup [-i INDEX] --dump [--sorted]\n"
    "       vos-lookup [-i INDEX] --check\n";

constexpr std::string_view kHelp =
    "Looks words up in an index file written by vos.\n"
    "\n"
    "  -i, --index=INDEX     the index file to read (default index.dat)\n"
    "  -d, --dict=DICT       print the dictionary entries of the words instead of their offsets\n"
    "  -s, --strategy=NAME   find the keys that match each word by the strategy NAME (see below)\n"
    "  -m, --match           list the matching keys instead of their offsets or entries\n"
    "                        (with no -s, the strategy is lev)\n"
    "  -c, --case            look each word up only as typed, not also folded to lower case\n"
    "      --charset=NAME    read words and write keys and entries in the character set NAME\n"
    "                        (default: the locale's; latin1 gives the index's own bytes)\n"
    "      --dump            print every key of the index with its entry offsets, in file order\n"
    "      --sorted          with --dump, in byte order of the keys\n"
    "      --check           verify the index and report what is wrong with it\n"
    "  -h, --help            print this help and exit\n"
    "      --version         print the version and exit\n"
    "\n"
    "A word is taken whole, spaces included. It is looked up as typed and folded to lower case\n"
    "(an index built with vos -c keeps upper case, and is read either way), and each of these\n"
    "again with one leading blank, as headwords after a comma are filed (' heim' for 'Haus, Heim').\n"
    "Each word found prints one line: the key that matched, a tab, and its entry offsets separated\n"
    "by spaces. A word not found is reported on standard error, the first five of them with up to\n"
    "five near keys each.\n"
    "\n"
    "Strategies compare the word with every key, both folded to lower case, without blanks at\n"
    "either end:\n";

constexpr std::string_view kHelpEnd =
    "\n"
    "The index holds ISO-8859-1; words, keys and entries are converted from and to the character\n"
    "set of the locale (LC_ALL, LC_CTYPE, LANG) or of --charset.\n"
    "\n"
    "Exit status: 0 when every word was found, 1 when a word was not found, 2 on a bad command\n"
    "line, a word that is not valid in the character set, or an unreadable, corrupt or foreign file.\n";

void WriteAll(int handle, std::string_view bytes, bool& failed, int& failure) {
  while (!bytes.empty() && !failed) {
    ssize_t n = ::write(handle, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed = true;
      failure = n < 0 ? errno : EIO;
      return;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

// Standard output, gathered in a block and written when it fills; a failed write is remembered and reported at
// the end. Keys and entries come as the index's ISO-8859-1: UTF-8 is written as they are put, ISO-8859-1 as they
// are, and any other set is converted a block at a time (the rest of what goes out with them, tabs, digits, line
// ends and "%", is ASCII, which every set keeps as it is).
struct Output {
  enum class Mode { kAsIs, kUtf8, kConvert } mode = Mode::kAsIs;
  const Charset* charset = nullptr;  // for kConvert
  std::string block = std::string(65536, '\0');
  size_t used = 0;
  std::string converted;
  bool failed = false;
  int failure = 0;

  // Room for `count` bytes at the end of the block; Commit says where the bytes written there end.
  char* Reserve(size_t count) {
    if (used + count > block.size()) Flush();
    if (count > block.size()) block.resize(count);
    return block.data() + used;
  }
  void Commit(const char* end) { used = static_cast<size_t>(end - block.data()); }

  // Writes ISO-8859-1 text at `at`, which has room for twice its size; gives the end.
  char* Encode(std::string_view latin1, char* at) const {
    return mode == Mode::kUtf8 ? Latin1ToUtf8(latin1, at) : std::copy(latin1.begin(), latin1.end(), at);
  }
  void Put(std::string_view latin1) { Commit(Encode(latin1, Reserve(2 * latin1.size()))); }
  // Bytes that are already in the user's set, such as a file name from the command line.
  void PutAsIs(std::string_view bytes) {
    Flush();
    WriteAll(1, bytes, failed, failure);
  }
  void Flush() {
    std::string_view bytes(block.data(), used);
    if (mode == Mode::kConvert) {
      converted.clear();
      AppendToUser(*charset, bytes, converted);
      bytes = converted;
    }
    WriteAll(1, bytes, failed, failure);
    used = 0;
  }
};

void Complain(std::string_view message) {
  std::string line(kProgram);
  line += ": ";
  line += message;
  line += "\n";
  bool failed = false;
  int failure = 0;
  WriteAll(2, line, failed, failure);
}

// A word that is not valid in the user's character set, shown with every byte outside printable ASCII as \xHH, so
// that the message itself stays readable on the terminal that could not read the word.
std::string Escaped(std::string_view word) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  for (char c : word) {
    auto byte = static_cast<uint8_t>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += c;
    } else {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 15];
    }
  }
  return shown;
}

void ComplainAbout(std::string_view file, std::string_view message) {
  std::string text(file);
  text += ": ";
  text += message;
  Complain(text);
}

int UsageError(std::string_view message) {
  Complain(message);
  bool failed = false;
  int failure = 0;
  WriteAll(2, kUsage, failed, failure);
  WriteAll(2, "Try 'vos-lookup --help' for more information.\n", failed, failure);
  return kTrouble;
}

// Flushes standard output and turns a failed write into the error status.
int Finish(Output& out, int status) {
  out.Flush();
  if (out.failed) {
    Complain(std::string("write error: ") + std::strerror(out.failure));
    return kTrouble;
  }
  return status;
}

std::string Decimal(int64_t value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  return std::string(digits, end);
}

struct Settings {
  std::string indexPath = "index.dat";
  std::string dictionaryPath;
  std::string charsetName;
  bool haveDictionary = false;
  bool asTyped = false;
  bool haveStrategy = false;
  Strategy strategy = Strategy::kLev;
  bool match = false;
  bool dump = false;
  bool sorted = false;
  bool check = false;
  bool help = false;
  bool version = false;
  std::vector<std::string_view> words;
};

enum LongOnly { kCharsetOption = 256, kDumpOption, kSortedOption, kCheckOption, kVersionOption };

const option kLongOptions[] = {
    {"index", required_argument, nullptr, 'i'},      {"dict", required_argument, nullptr, 'd'},
    {"strategy", required_argument, nullptr, 's'},   {"match", no_argument, nullptr, 'm'},
    {"case", no_argument, nullptr, 'c'},             {"charset", required_argument, nullptr, kCharsetOption},
    {"dump", no_argument, nullptr, kDumpOption},     {"sorted", no_argument, nullptr, kSortedOption},
    {"check", no_argument, nullptr, kCheckOption},   {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersionOption}, {nullptr, 0, nullptr, 0},
};

std::string LongOptionName(int code) {
  for (const option& o : kLongOptions) {
    if (o.name != nullptr && o.val == code) return std::string("--") + o.name;
  }
  return "?";
}

// How a diagnostic names the option whose value is `code`: its short form, or its long one.
std::string OptionName(int code) {
  if (code < 256) return std::string("-") + static_cast<char>(code);
  return LongOptionName(code);
}

// GNU conventions through getopt_long: options anywhere among the words, clusters ("-ci FILE"), attached values
// ("-iFILE", "--index=FILE"), unambiguous abbreviations of long names, and "--" ending the options.
bool ParseArguments(int argc, char** argv, Settings& settings, std::string& error) {
  opterr = 0;
  optind = 1;
  int code;
  while ((code = getopt_long(argc, argv, ":i:d:s:mch", kLongOptions, nullptr)) != -1) {
    switch (code) {
      case 'i': settings.indexPath = optarg; break;
      case 'd':
        settings.dictionaryPath = optarg;
        settings.haveDictionary = true;
        break;
      case 's':
        if (!ParseStrategy(optarg, settings.strategy)) {
          error = "unknown strategy '" + std::string(optarg) + "' (see --help)";
          return false;
        }
        settings.haveStrategy = true;
        break;
      case 'm': settings.match = true; break;
      case 'c': settings.asTyped = true; break;
      case 'h': settings.help = true; break;
      case kCharsetOption: settings.charsetName = optarg; break;
      case kDumpOption: settings.dump = true; break;
      case kSortedOption: settings.sorted = true; break;
      case kCheckOption: settings.check = true; break;
      case kVersionOption: settings.version = true; break;
      case ':': {
        std::string_view given = argv[optind - 1];
        error = "option '" + (given.starts_with("--") ? std::string(given) : OptionName(optopt)) + "' needs a value";
        return false;
      }
      default: {
        std::string_view given = argv[optind - 1];
        // getopt_long sets optopt to a short option's letter when the letter is unknown, and to a long option's
        // value when that option was given a value it does not take.
        bool shortOption = optopt > 0 && optopt < 256;
        if (shortOption && std::string_view("imcdsh").find(static_cast<char>(optopt)) == std::string_view::npos) {
          error = "unknown option '-" + std::string(1, static_cast<char>(optopt)) + "'";
        } else if (optopt != 0) {
          error = "option '" + LongOptionName(optopt) + "' takes no value";
        } else {
          error = "unknown or ambiguous option '" + std::string(given.substr(0, given.find('='))) + "'";
        }
        return false;
      }
    }
  }
  for (int i = optind; i < argc; ++i) settings.words.push_back(argv[i]);
  if (settings.help || settings.version) return true;
  if (settings.dump && settings.check) {
    error = "--dump and --check cannot be combined";
    return false;
  }
  bool listing = settings.dump || settings.check;
  if (listing && !settings.words.empty()) {
    error = std::string(settings.dump ? "--dump" : "--check") + " takes no words";
    return false;
  }
  if (listing && (settings.haveDictionary || settings.haveStrategy || settings.match)) {
    error = "-d, -s and -m apply only to looking words up";
    return false;
  }
  if (settings.sorted && !settings.dump) {
    error = "--sorted applies only to --dump";
    return false;
  }
  if (settings.match && settings.haveDictionary) {
    error = "-m lists keys; it cannot be combined with -d";
    return false;
  }
  if (!listing && settings.words.empty()) {
    error = "no word to look up";
    return false;
  }
  return true;
}

// The line printed for a key: the key, a tab, and its entry offsets in decimal separated by single spaces.
void PutKeyLine(Output& out, std::string_view key, const std::vector<int32_t>& postings) {
  // Written straight into the output block: a listing writes hundreds of thousands of these.
  char* at = out.Reserve(2 * key.size() + 12 * postings.size() + 2);
  at = out.Encode(key, at);
  *at++ = '\t';
  for (size_t i = 0; i < postings.size(); ++i) {
    if (i > 0) *at++ = ' ';
    at = std::to_chars(at, at + 11, postings[i]).ptr;
  }
  *at++ = '\n';
  out.Commit(at);
}

struct Run {
  const Settings& settings;
  const IndexFile& index;
  const Charset& charset;
  Output& out;
  DictionaryFile dictionary;
  std::set<int32_t> printedEntries;  // with -s and -d, an entry that several keys share is printed once

  bool stop = false;  // the index is damaged or the dictionary foreign: no later word can be answered

  int IndexTrouble(const std::string& error) {
    stop = true;
    out.Flush();
    ComplainAbout(settings.indexPath, error);
    return kTrouble;
  }

  // Prints the entries filed under `key`; kTrouble after a diagnostic when the dictionary does not belong. The
  // entries are read a batch at a time, the first bytes of a batch's entries in one system call: in a full-text
  // index a common word is filed under thousands of entries all over the dictionary.
  int PutEntries(const std::string& key, const std::vector<int32_t>& postings) {
    constexpr size_t kBatch = 64;
    // A ring pays for its set-up only over a few hundred entries; until then each entry is one pread.
    if (postings.size() >= 256) EnableBatchReads();
    // A key with upper case shows the index keeps case; otherwise the entry may hold the key in either case.
    bool keepsCase = FoldKey(key) != key;
    std::vector<int32_t> batch;
    std::vector<EntryRead> reads;
    for (size_t next = 0; next < postings.size();) {
      batch.clear();
      while (next < postings.size() && batch.size() < kBatch) {
        int32_t offset = postings[next++];
        if (!settings.haveStrategy || printedEntries.insert(offset).second) batch.push_back(offset);
      }
      ReadEntries(dictionary, batch, key, keepsCase, reads);
      for (const EntryRead& read : reads) {
        if (read.outcome != ReadOutcome::kOk) {
          stop = true;
          out.Flush();
          ComplainAbout(settings.dictionaryPath, read.outcome == ReadOutcome::kError
                                                     ? read.problem
                                                     : "the dictionary does not belong to the index: " + read.problem);
          return kTrouble;
        }
        // Each entry goes out as in the dictionary itself: its "%" line, then its own lines. The text before the
        // first "%" line has none.
        const Entry& entry = read.entry;
        if (!entry.preamble) out.Put("%\n");
        out.Put(entry.text);
        if (!entry.text.empty() && entry.text.back() != '\n' && entry.text.back() != '\r') out.Put("\n");
      }
    }
    return kAllFound;
  }

  int PutFound(const std::string& key, const std::vector<int32_t>& postings) {
    if (settings.haveDictionary) return PutEntries(key, postings);
    PutKeyLine(out, key, postings);
    return kAllFound;
  }

  // The typed word in ISO-8859-1; kSomeNotFound or kTrouble after a diagnostic when it cannot be.
  int WordInIndexSet(std::string_view word, std::string& latin1) {
    std::string problem;
    switch (FromUser(charset, word, latin1, problem)) {
      case ConvertOutcome::kOk: return kAllFound;
      case ConvertOutcome::kNotLatin1:
        out.Flush();
        Complain("not found: " + std::string(word) + " (the index's ISO-8859-1 has no " + problem + ")");
        return kSomeNotFound;
      case ConvertOutcome::kInvalid: break;
    }
    out.Flush();
    Complain("cannot read the word '" + Escaped(word) + "': " + problem);
    return kTrouble;
  }

  int misses = 0;

  // kTrouble after a diagnostic when looking for near keys finds the index damaged.
  int SuggestNearKeys(const std::string& word) {
    if (++misses > kSuggestedMisses) return kSomeNotFound;
    std::vector<std::string> keys;
    std::string error;
    if (NearKeys(index, word, kNearKeyCount, keys, error) == ReadOutcome::kError) return IndexTrouble(error);
    if (keys.empty()) return kSomeNotFound;
    std::string line = "did you mean: ";
    for (size_t i = 0; i < keys.size(); ++i) {
      if (i > 0) line += ", ";
      line += ToUser(charset, keys[i]);
    }
    Complain(line);
    return kSomeNotFound;
  }

  int LookUp(std::string_view typed) {
    std::string word;
    if (int status = WordInIndexSet(typed, word); status != kAllFound) return status;
    std::string error;
    WordHit hit;
    ReadOutcome outcome;
    if (settings.asTyped) {
      outcome = LookupKey(index, word.substr(0, 255), hit.postings, error);
      hit.key = word.substr(0, 255);
      if (outcome == ReadOutcome::kNotFound) {
        hit.key = (" " + word).substr(0, 255);
        outcome = LookupKey(index, hit.key, hit.postings, error);
      }
    } else {
      outcome = FindWord(index, word, hit, error);
    }
    if (outcome == ReadOutcome::kError) return IndexTrouble(error);
    if (outcome == ReadOutcome::kOk) return PutFound(hit.key, hit.postings);
    out.Flush();
    Complain("not found: " + std::string(typed));
    return SuggestNearKeys(word);
  }

  int Match(std::string_view typed) {
    std::string word;
    if (int status = WordInIndexSet(typed, word); status != kAllFound) return status;
    Matcher matcher;
    std::string error;
    if (!CompileMatcher(settings.strategy, word, matcher, error)) {
      out.Flush();
      Complain("bad pattern '" + std::string(typed) + "': " + error);
      return kTrouble;
    }
    std::vector<std::string> keys;
    if (MatchKeys(index, matcher, keys, error) != ReadOutcome::kOk) return IndexTrouble(error);
    if (keys.empty()) {
      out.Flush();
      Complain("no match: " + std::string(typed));
      return kSomeNotFound;
    }
    for (const std::string& key : keys) {
      if (settings.match) {
        out.Put(key);
        out.Put("\n");
        continue;
      }
      std::vector<int32_t> postings;
      ReadOutcome found = LookupKey(index, key, postings, error);
      if (found == ReadOutcome::kNotFound) {
        error = "damaged index: the key '" + ToUser(charset, key) + "' is not found by its own descent";
      }
      if (found != ReadOutcome::kOk) return IndexTrouble(error);
      if (int status = PutFound(key, postings); status != kAllFound) return status;
    }
    return kAllFound;
  }

  int Words() {
    std::string error;
    if (settings.haveDictionary && !OpenDictionary(settings.dictionaryPath, dictionary, error)) {
      ComplainAbout(settings.dictionaryPath, error);
      return kTrouble;
    }
    int status = kAllFound;
    for (std::string_view word : settings.words) {
      status = std::max(status, settings.haveStrategy || settings.match ? Match(word) : LookUp(word));
      if (stop) break;
    }
    CloseDictionary(dictionary);
    return status;
  }
};

int Dump(const IndexFile& index, const Settings& settings, Output& out) {
  RecordCursor cursor;
  IndexRecord record;
  std::string error;
  ReadOutcome outcome;
  std::vector<IndexRecord> records;
  while ((outcome = NextRecord(index, cursor, record, error)) == ReadOutcome::kOk) {
    if (record.recordOffset == 0) continue;
    if (settings.sorted) {
      records.push_back(record);
    } else {
      PutKeyLine(out, record.key, record.postings);
    }
  }
  if (outcome == ReadOutcome::kError) {
    out.Flush();
    ComplainAbout(settings.indexPath, error);
    return kTrouble;
  }
  std::sort(records.begin(), records.end(),
            [](const IndexRecord& a, const IndexRecord& b) { return a.key < b.key; });
  for (const IndexRecord& r : records) PutKeyLine(out, r.key, r.postings);
  return kAllFound;
}

int Check(const IndexFile& index, const Settings& settings, Output& out) {
  CheckReport report = CheckIndex(index);
  if (report.problemCount == 0) {
    out.PutAsIs(settings.indexPath + ": ok, " + Decimal(report.recordCount - 1) + " keys\n");
    return kAllFound;
  }
  for (const std::string& problem : report.problems) ComplainAbout(settings.indexPath, problem);
  auto listed = static_cast<int64_t>(report.problems.size());
  if (report.problemCount > listed) {
    ComplainAbout(settings.indexPath, "and " + Decimal(report.problemCount - listed) + " more problems");
  }
  return kTrouble;
}

int RealMain(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  Settings settings;
  std::string error;
  if (!ParseArguments(argc, argv, settings, error)) return UsageError(error);
  Output out;
  if (settings.help) {
    out.Put(kUsage);
    out.Put("\n");
    out.Put(kHelp);
    for (const StrategyInfo& info : Strategies()) {
      std::string line = "  " + std::string(info.name);
      line.resize(14, ' ');
      out.Put(line + std::string(info.description) + "\n");
    }
    out.Put(kHelpEnd);
    return Finish(out, kAllFound);
  }
  if (settings.version) {
    out.Put("vos-lookup 1\n");
    return Finish(out, kAllFound);
  }
  Charset charset;
  if (!OpenCharset(settings.charsetName, charset, error)) return UsageError(error);
  out.charset = &charset;
  out.mode = charset.name == "UTF-8" ? Output::Mode::kUtf8
             : charset.name == "ISO-8859-1" ? Output::Mode::kAsIs
                                            : Output::Mode::kConvert;
  IndexFile index;
  if (!OpenIndex(settings.indexPath, false, index, error)) {
    ComplainAbout(settings.indexPath, error);
    return kTrouble;
  }
  int status;
  if (settings.dump) {
    status = Dump(index, settings, out);
  } else if (settings.check) {
    status = Check(index, settings, out);
  } else {
    Run run{settings, index, charset, out, {}, {}};
    status = run.Words();
  }
  return Finish(out, status);
}

}  // namespace
}  // namespace vos

int main(int argc, char** argv) { return vos::RealMain(argc, argv); }
