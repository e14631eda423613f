// vos-lookup: finds words in an index file written by vos, prints their entry offsets or entries, lists the index
// or verifies it. This file parses the command line and prints; the reading is in lookup.cc and index_check.cc.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "lookup/lookup.h"

namespace vos {
namespace {

constexpr std::string_view kProgram = "vos-lookup";
constexpr int kAllFound = 0;
constexpr int kSomeNotFound = 1;
constexpr int kTrouble = 2;

constexpr std::string_view kUsage =
    "Usage: vos-lookup [-c] [-i INDEX] [-d DICT] WORD...\n"
    "       vos-lookup [-i INDEX] --dump\n"
    "       vos-lookup [-i INDEX] --check\n";

constexpr std::string_view kHelp =
    "Looks words up in an index file written by vos.\n"
    "\n"
    "  -i, --index=INDEX  the index file to read (default index.dat)\n"
    "  -c, --case         look each word up as typed instead of folded to lower case\n"
    "  -d, --dict=DICT    print the dictionary entries of the words instead of their offsets\n"
    "      --dump         print every key of the index with its entry offsets, in file order\n"
    "      --check        verify the index and report what is wrong with it\n"
    "  -h, --help         print this help and exit\n"
    "      --version      print the version and exit\n"
    "\n"
    "A word is taken whole, spaces included. Each word found prints one line: the key, a tab,\n"
    "and its entry offsets separated by spaces. Exit status: 0 when every word was found,\n"
    "1 when a word was not found, 2 on a bad command line or an unreadable or corrupt file.\n";

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

// Standard output, gathered and written in large blocks; a failed write is remembered and reported at the end.
struct Output {
  std::string pending;
  bool failed = false;
  int failure = 0;

  void Put(std::string_view bytes) {
    pending += bytes;
    if (pending.size() >= 65536) Flush();
  }
  void Flush() {
    WriteAll(1, pending, failed, failure);
    pending.clear();
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

struct Settings {
  std::string indexPath = "index.dat";
  std::string dictionaryPath;
  bool haveDictionary = false;
  bool keepCase = false;
  bool dump = false;
  bool check = false;
  bool help = false;
  bool version = false;
  std::vector<std::string_view> words;
};

// Options may stand anywhere among the words; "--" makes every later argument a word. Gives false after a
// diagnostic.
bool ParseArguments(int argc, char** argv, Settings& settings, std::string& error) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      settings.words.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg.starts_with("--")) {
      std::string_view name = arg.substr(2);
      std::string_view value;
      size_t equals = name.find('=');
      bool hasValue = equals != std::string_view::npos;
      if (hasValue) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
      }
      bool takesValue = name == "index" || name == "dict";
      bool isFlag = name == "case" || name == "dump" || name == "check" || name == "help" || name == "version";
      if (!takesValue && !isFlag) {
        error = "unknown option '--" + std::string(name) + "'";
        return false;
      }
      if (isFlag && hasValue) {
        error = "option '--" + std::string(name) + "' takes no value";
        return false;
      }
      if (takesValue && !hasValue) {
        if (i + 1 == argc) {
          error = "option '--" + std::string(name) + "' needs a value";
          return false;
        }
        value = argv[++i];
      }
      if (name == "index") settings.indexPath = value;
      if (name == "dict") {
        settings.dictionaryPath = value;
        settings.haveDictionary = true;
      }
      settings.keepCase |= name == "case";
      settings.dump |= name == "dump";
      settings.check |= name == "check";
      settings.help |= name == "help";
      settings.version |= name == "version";
      continue;
    }
    // A cluster of short options: "-ci FILE" or "-cFILE"-style values are both accepted for -i and -d.
    for (size_t k = 1; k < arg.size(); ++k) {
      char letter = arg[k];
      if (letter == 'c') {
        settings.keepCase = true;
      } else if (letter == 'h') {
        settings.help = true;
      } else if (letter == 'i' || letter == 'd') {
        std::string_view value = arg.substr(k + 1);
        if (value.empty()) {
          if (i + 1 == argc) {
            error = std::string("option '-") + letter + "' needs a value";
            return false;
          }
          value = argv[++i];
        }
        if (letter == 'i') {
          settings.indexPath = value;
        } else {
          settings.dictionaryPath = value;
          settings.haveDictionary = true;
        }
        break;
      } else {
        error = std::string("unknown option '-") + letter + "'";
        return false;
      }
    }
  }
  if (settings.help || settings.version) return true;
  if (settings.dump && settings.check) {
    error = "--dump and --check cannot be combined";
    return false;
  }
  if ((settings.dump || settings.check) && !settings.words.empty()) {
    error = std::string(settings.dump ? "--dump" : "--check") + " takes no words";
    return false;
  }
  if ((settings.dump || settings.check) && settings.haveDictionary) {
    error = "-d applies only to looking words up";
    return false;
  }
  if (!settings.dump && !settings.check && settings.words.empty()) {
    error = "no word to look up";
    return false;
  }
  return true;
}

int Dump(const IndexReader& index, const Settings& settings, Output& out) {
  std::string error;
  IndexHeader header;
  if (!ReadHeader(index, header, error)) {
    ComplainAbout(settings.indexPath, error);
    return kTrouble;
  }
  IndexRecord record;
  for (int64_t offset = 0; kHeaderSize + offset < index.fileSize; offset += record.size) {
    if (!ReadRecord(index, offset, true, record, error)) {
      out.Flush();
      ComplainAbout(settings.indexPath, "corrupt index: " + error);
      return kTrouble;
    }
    if (offset != 0) out.Put(FormatKeyLine(View(record.head.key), record.postings));
  }
  return kAllFound;
}

int Check(const IndexReader& index, const Settings& settings, Output& out) {
  CheckReport report = CheckIndex(index);
  if (report.problemCount == 0) {
    out.Put(settings.indexPath + ": ok, " + Decimal(report.recordCount - 1) + " keys\n");
    return kAllFound;
  }
  for (const std::string& problem : report.problems) ComplainAbout(settings.indexPath, problem);
  auto listed = static_cast<int64_t>(report.problems.size());
  if (report.problemCount > listed) {
    ComplainAbout(settings.indexPath, "and " + Decimal(report.problemCount - listed) + " more problems");
  }
  return kTrouble;
}

int Look(const IndexReader& index, const Settings& settings, Output& out) {
  IndexReader dictionary;
  std::string error;
  if (settings.haveDictionary && !OpenReadOnly(settings.dictionaryPath, dictionary, error)) {
    ComplainAbout(settings.dictionaryPath, error);
    return kTrouble;
  }
  int status = kAllFound;
  std::string text;
  for (std::string_view word : settings.words) {
    ShortString key = SearchKey(word, settings.keepCase);
    LookupResult result = LookupKey(index, key);
    if (result.outcome == LookupResult::Outcome::kError) {
      out.Flush();
      ComplainAbout(settings.indexPath, "corrupt index: " + result.error);
      status = kTrouble;
      break;
    }
    if (result.outcome == LookupResult::Outcome::kNotFound) {
      out.Flush();
      Complain("not found: " + std::string(word));
      status = kSomeNotFound;
      continue;
    }
    if (!settings.haveDictionary) {
      out.Put(FormatKeyLine(View(key), result.postings));
      continue;
    }
    for (int32_t entryOffset : result.postings) {
      if (!ReadEntryText(dictionary, entryOffset, text, error)) {
        out.Flush();
        ComplainAbout(settings.dictionaryPath, error);
        CloseReader(dictionary);
        return kTrouble;
      }
      // Each entry goes out as in the dictionary itself: a "%" line, then the entry's own lines.
      out.Put("%\n");
      out.Put(text);
      if (!text.empty() && text.back() != '\n' && text.back() != '\r') out.Put("\n");
    }
  }
  CloseReader(dictionary);
  return status;
}

int RealMain(int argc, char** argv) {
  Settings settings;
  std::string error;
  if (!ParseArguments(argc, argv, settings, error)) return UsageError(error);
  Output out;
  if (settings.help) {
    out.Put(kUsage);
    out.Put("\n");
    out.Put(kHelp);
    return Finish(out, kAllFound);
  }
  if (settings.version) {
    out.Put("vos-lookup 1\n");
    return Finish(out, kAllFound);
  }
  IndexReader index;
  if (!OpenReadOnly(settings.indexPath, index, error)) {
    ComplainAbout(settings.indexPath, error);
    return kTrouble;
  }
  int status = settings.dump ? Dump(index, settings, out) : settings.check ? Check(index, settings, out)
                                                                          : Look(index, settings, out);
  CloseReader(index);
  return Finish(out, status);
}

}  // namespace
}  // namespace vos

int main(int argc, char** argv) { return vos::RealMain(argc, argv); }
