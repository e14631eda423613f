// The match strategies of the DICT protocol's servers, over keys in match form.
#include <locale.h>
#include <regex.h>

#include <algorithm>
#include <array>

#include "reader/index_storage.h"
#include "reader/match_form.h"

namespace vos {

// A compiled regular expression. glibc's regex reads characters as LC_CTYPE says, so it runs under a locale object
// of its own, whatever the user's locale. A pattern of ASCII alone that asks nothing of the locale (no character
// class, equivalence class or word operator) means the same to the keys' ISO-8859-1 bytes under the C locale,
// where every byte is one character ("." and "[^a]" take one umlaut, ranges follow the byte order, which is the
// code point order); glibc matches bytes many times faster than UTF-8, so such a pattern and the keys go in as
// bytes. Any other pattern and the keys go in as UTF-8 under C.UTF-8, where an umlaut is one character, a letter
// of [[:alpha:]] and of either case. Without a C.UTF-8 locale the bytes are matched as they are.
struct CompiledPattern {
  regex_t regex{};
  locale_t locale = nullptr;
  bool utf8 = false;  // the pattern was compiled as UTF-8: keys go in as UTF-8 too
  bool compiled = false;
  ~CompiledPattern() {
    if (compiled) regfree(&regex);
    if (locale != nullptr) freelocale(locale);
  }
};

namespace {

const std::vector<StrategyInfo> kStrategies = {
    {Strategy::kExact, "exact", "Match headwords exactly"},
    {Strategy::kPrefix, "prefix", "Match prefixes"},
    {Strategy::kSubstring, "substring", "Match substring occurring anywhere in a headword"},
    {Strategy::kSuffix, "suffix", "Match suffixes"},
    {Strategy::kRe, "re", "POSIX 1003.2 (modern) regular expressions"},
    {Strategy::kRegexp, "regexp", "Old (basic) regular expressions"},
    {Strategy::kSoundex, "soundex", "Match using SOUNDEX algorithm"},
    {Strategy::kLev, "lev", "Match headwords within Levenshtein distance one"},
    {Strategy::kWord, "word", "Match separate words within headwords"},
    {Strategy::kFirst, "first", "Match the first word within headwords"},
    {Strategy::kLast, "last", "Match the last word within headwords"},
};

// Letters and digits of ISO-8859-1 make words; everything else (blanks, punctuation, hyphens) parts them.
bool IsWordByte(uint8_t byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= 0xC0 && byte != 0xD7 && byte != 0xF7);
}

// Calls `visit` with each word of `text` in order until it gives true.
template <typename Visit>
bool AnyWord(std::string_view text, Visit visit) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && !IsWordByte(static_cast<uint8_t>(text[i]))) ++i;
    size_t start = i;
    while (i < text.size() && IsWordByte(static_cast<uint8_t>(text[i]))) ++i;
    if (i > start && visit(text.substr(start, i - start))) return true;
  }
  return false;
}

std::string_view FirstWord(std::string_view text) {
  std::string_view first;
  AnyWord(text, [&first](std::string_view word) {
    first = word;
    return true;
  });
  return first;
}

std::string_view LastWord(std::string_view text) {
  std::string_view last;
  AnyWord(text, [&last](std::string_view word) {
    last = word;
    return false;
  });
  return last;
}

// The Latin-1 letter's base letter in lower case for soundex ('ß' sounds as 's'), 0 for anything else.
char BaseLetter(uint8_t byte) {
  static constexpr char kFrom0xC0[] = "aaaaaaaceeeeiiiidnooooo\0ouuuuyts";  // À..ß; à..þ alike
  if (byte >= 'a' && byte <= 'z') return static_cast<char>(byte);
  if (byte >= 'A' && byte <= 'Z') return static_cast<char>(byte + 0x20);
  if (byte == 0xFF) return 'y';
  if (byte >= 0xC0) return kFrom0xC0[(byte - 0xC0) & 0x1F];
  return 0;
}

// The American soundex code: the first letter, then up to three digits of the consonant groups, with repeats
// (also across h and w) counted once; empty when the text holds no letter.
std::string Soundex(std::string_view text) {
  static constexpr std::string_view kDigits = "01230120022455012623010202";  // a..z
  std::string code;
  char lastDigit = 0;
  for (char c : text) {
    char letter = BaseLetter(static_cast<uint8_t>(c));
    if (letter == 0) continue;
    char digit = kDigits[static_cast<size_t>(letter - 'a')];
    if (code.empty()) {
      code.push_back(static_cast<char>(letter - 0x20));
      lastDigit = digit;
      continue;
    }
    if (letter == 'h' || letter == 'w') continue;
    if (digit != '0' && digit != lastDigit) code.push_back(digit);
    lastDigit = digit;
    if (code.size() == 4) break;
  }
  if (!code.empty()) code.resize(4, '0');
  return code;
}

bool RegexMatches(const CompiledPattern& pattern, std::string_view form) {
  char text[2 * kMatchFormCapacity + 1];
  char* end = pattern.utf8 ? Latin1ToUtf8(form, text) : std::copy(form.begin(), form.end(), text);
  *end = '\0';
  if (pattern.locale == nullptr) return regexec(&pattern.regex, text, 0, nullptr, 0) == 0;
  locale_t previous = uselocale(pattern.locale);
  bool matches = regexec(&pattern.regex, text, 0, nullptr, 0) == 0;
  uselocale(previous);
  return matches;
}

// Whether the pattern means the same to ISO-8859-1 bytes under the C locale as to UTF-8 under C.UTF-8: ASCII only,
// and nothing that asks the locale which characters are letters ("[:alpha:]", "[=a=]", "[.a.]", "\w", "\b", ...).
bool MeansTheSameAsBytes(std::string_view pattern) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    auto byte = static_cast<uint8_t>(pattern[i]);
    if (byte >= 0x80) return false;
    char next = i + 1 < pattern.size() ? pattern[i + 1] : 0;
    if (byte == '[' && (next == ':' || next == '=' || next == '.')) return false;
    if (byte == '\\' && next != 0 && std::string_view("wWbBsS<>`'").find(next) != std::string_view::npos) return false;
  }
  return true;
}

// The four plain strategies compare the stored key with the word in match form byte by byte, folding the key's
// bytes as they are read: no copy of the key is made, which is most of the cost of a pass over all keys. Blanks
// at the key's ends need no trimming for substring and suffix and prefix beyond their own end, since a word in
// match form neither starts nor ends with one.
bool FoldedEqual(const char* key, std::string_view word) {
  for (size_t i = 0; i < word.size(); ++i) {
    if (MatchFold(key[i]) != word[i]) return false;
  }
  return true;
}

std::string_view TrimmedFront(std::string_view key) {
  while (!key.empty() && (key.front() == ' ' || key.front() == '\t')) key.remove_prefix(1);
  return key;
}

std::string_view TrimmedBack(std::string_view key) {
  while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
  return key;
}

bool HoldsWord(std::string_view key, std::string_view word) {
  if (word.empty()) return true;
  if (word.size() > key.size()) return false;
  char first = word[0];
  for (size_t i = 0, last = key.size() - word.size(); i <= last; ++i) {
    if (MatchFold(key[i]) == first && FoldedEqual(key.data() + i + 1, word.substr(1))) return true;
  }
  return false;
}

bool StartsWithWord(std::string_view key, std::string_view word) {
  key = TrimmedFront(key);
  return key.size() >= word.size() && FoldedEqual(key.data(), word);
}

bool EndsWithWord(std::string_view key, std::string_view word) {
  key = TrimmedBack(key);
  return key.size() >= word.size() && FoldedEqual(key.data() + key.size() - word.size(), word);
}

bool EqualsWord(std::string_view key, std::string_view word) {
  key = TrimmedBack(TrimmedFront(key));
  return key.size() == word.size() && FoldedEqual(key.data(), word);
}

// Edit distance at most 1, swaps of neighbours included, in one comparison from each end.
bool WithinOneEdit(std::string_view a, std::string_view b) {
  if (a.size() > b.size()) std::swap(a, b);
  if (b.size() - a.size() > 1) return false;
  size_t i = 0;
  while (i < a.size() && a[i] == b[i]) ++i;
  if (i == a.size()) return true;
  if (a.size() < b.size()) return a.substr(i) == b.substr(i + 1);
  if (a.substr(i + 1) == b.substr(i + 1)) return true;
  return i + 1 < a.size() && a[i] == b[i + 1] && a[i + 1] == b[i] && a.substr(i + 2) == b.substr(i + 2);
}

// What compiling and matching a pattern would cost glibc, which backtracks over back-references and over
// repetitions of repeated parts: "^a*++++++$" or "^(a*b*)*{1,32}$" take it seconds or hours for one key of 255
// characters, and nested "+" and "{m,n}", which regcomp copies ("((a+)+)+", "a{99}{99}"), grow the compiled pattern
// exponentially. Both are refused before regcomp sees them, as is a pattern whose repetitions would make more than
// 64 copies of its parts: glibc matches each copy as a state of its own, and "^[a-z]{1,255}$" takes it seconds
// over the keys of a large index. The weight counts the atoms the compiled pattern would hold, `atoms` those
// written.
struct PatternCost {
  bool backReference = false;
  bool nestedRepetition = false;
  int64_t weight = 0;
  int64_t atoms = 0;
  int64_t repetitions = 0;  // operators that repeat a part: "*", "+", "?", "{m,n}"
};

constexpr int64_t kWeightCap = int64_t{1} << 40;
constexpr int64_t kLongestPattern = 1024;
constexpr int64_t kMostCopies = 64;
// Each repeated part is a loop glibc follows for every character of a key: "^ä.*.*.* ... q$" with 500 of them
// takes it 16 s over the 777,000 keys of a 100 MB dictionary, against 0.4 s with 32.
constexpr int64_t kMostRepetitions = 32;

int64_t CappedProduct(int64_t a, int64_t b) { return a > kWeightCap / std::max<int64_t>(b, 1) ? kWeightCap : a * b; }

// The end of the bracket expression that opens at `i` ("]" right after "[" or "[^" is a member; "[:", "[." and
// "[=" open an inner term); the pattern's size when it does not end.
size_t BracketEnd(std::string_view pattern, size_t i) {
  size_t j = i + 1;
  if (j < pattern.size() && pattern[j] == '^') ++j;
  if (j < pattern.size() && pattern[j] == ']') ++j;
  while (j < pattern.size() && pattern[j] != ']') {
    char c = j + 1 < pattern.size() ? pattern[j + 1] : 0;
    if (pattern[j] == '[' && (c == ':' || c == '.' || c == '=')) {
      size_t close = pattern.find(std::string{c, ']'}, j + 2);
      j = close == std::string_view::npos ? pattern.size() : close + 2;
      continue;
    }
    ++j;
  }
  return std::min(j, pattern.size());
}

// The copies an interval "{m}", "{m,}" or "{m,n}" starting at `i` (after its "{" or "\{") makes; moves `i` past it.
int64_t IntervalCopies(std::string_view pattern, size_t& i) {
  int64_t numbers[2] = {0, -1};
  int which = 0;
  for (; i < pattern.size() && pattern[i] != '}'; ++i) {
    char c = pattern[i];
    if (c == ',' && which == 0) {
      which = 1;
      numbers[1] = 0;
    } else if (c >= '0' && c <= '9') {
      numbers[which] = std::min<int64_t>(numbers[which] * 10 + (c - '0'), kWeightCap);
    }
  }
  return std::max(numbers[0], numbers[1]) + 1;
}

PatternCost CostOf(std::string_view pattern, bool extended) {
  PatternCost cost;
  struct Group {
    int64_t sum = 0;            // weight of the finished items
    int64_t atom = 0;           // weight of the last item, which a following operator multiplies
    bool atomRepeated = false;  // the last item is repeated or holds a repetition
    bool anyRepeated = false;   // some item of the group is
  };
  std::vector<Group> groups(1);
  auto atom = [&groups, &cost](int64_t weight, bool repeated) {
    ++cost.atoms;
    Group& g = groups.back();
    g.sum = std::min(g.sum + g.atom, kWeightCap);
    g.atom = weight;
    g.atomRepeated = repeated;
  };
  auto repeat = [&groups, &cost](int64_t copies) {
    ++cost.repetitions;
    Group& g = groups.back();
    if (g.atomRepeated) cost.nestedRepetition = true;
    g.atom = CappedProduct(g.atom, copies);
    g.atomRepeated = g.anyRepeated = true;
  };
  auto open = [&groups] { groups.emplace_back(); };
  auto close = [&groups, &atom, &cost] {
    if (groups.size() == 1) return atom(1, false);  // an unmatched ")" is an ordinary character or regcomp's error
    Group inner = groups.back();
    groups.pop_back();
    atom(std::max<int64_t>(1, std::min(inner.sum + inner.atom, kWeightCap)), inner.anyRepeated);
    groups.back().anyRepeated |= inner.anyRepeated;
    --cost.atoms;  // the group as a whole is not one more atom written
  };
  auto alternative = [&groups] {
    Group& g = groups.back();
    g.sum = std::min(g.sum + g.atom, kWeightCap);
    g.atom = 0;
    g.atomRepeated = false;
  };
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = pattern[i];
    if (c == '[') {
      i = BracketEnd(pattern, i);
      atom(1, false);
    } else if (c == '\\' && i + 1 < pattern.size()) {
      char e = pattern[++i];
      if (e >= '1' && e <= '9') cost.backReference = true;
      if (extended) {
        atom(1, false);
      } else if (e == '(') {
        open();
      } else if (e == ')') {
        close();
      } else if (e == '{') {
        ++i;
        repeat(IntervalCopies(pattern, i));
      } else if (e == '+') {
        repeat(2);
      } else if (e == '?') {
        repeat(1);
      } else if (e == '|') {
        alternative();
      } else {
        atom(1, false);
      }
    } else if (extended && c == '(') {
      open();
    } else if (extended && c == ')') {
      close();
    } else if (extended && c == '|') {
      alternative();
    } else if (extended && c == '+') {
      repeat(2);
    } else if (extended && c == '{') {
      ++i;
      repeat(IntervalCopies(pattern, i));
    } else if (c == '*' || (extended && c == '?')) {
      repeat(1);
    } else {
      atom(1, false);
    }
  }
  int64_t weight = 0;
  for (const Group& g : groups) weight = std::min(weight + g.sum + g.atom, kWeightCap);
  cost.weight = weight;
  return cost;
}

}  // namespace

const std::vector<StrategyInfo>& Strategies() { return kStrategies; }

bool ParseStrategy(std::string_view name, Strategy& strategy) {
  for (const StrategyInfo& info : kStrategies) {
    bool same = info.name.size() == name.size() &&
                std::equal(name.begin(), name.end(), info.name.begin(), [](char a, char b) {
                  return (a >= 'A' && a <= 'Z' ? a + 0x20 : a) == b;
                });
    if (same) {
      strategy = info.strategy;
      return true;
    }
  }
  return false;
}

bool CompileMatcher(Strategy strategy, std::string_view word, Matcher& matcher, std::string& error) {
  char buffer[kMatchFormCapacity];
  matcher.strategy = strategy;
  matcher.pattern.reset();
  if (strategy != Strategy::kRe && strategy != Strategy::kRegexp) {
    matcher.word = std::string(MatchForm(word, buffer));
    if (strategy == Strategy::kSoundex) matcher.word = Soundex(matcher.word);
    return true;
  }
  // A pattern is taken whole: its blanks may be meant, and folding it could change what a class means.
  matcher.word = std::string(word);
  PatternCost cost = CostOf(word, strategy == Strategy::kRe);
  if (cost.backReference) {
    error = "back-references are not supported";
    return false;
  }
  if (static_cast<int64_t>(word.size()) > kLongestPattern) {
    error = "the pattern is longer than " + std::to_string(kLongestPattern) + " bytes";
    return false;
  }
  if (cost.nestedRepetition) {
    error = "repetitions of repeated parts are not supported";
    return false;
  }
  if (cost.weight - cost.atoms > kMostCopies) {
    error = "the pattern's repetitions would make more than " + std::to_string(kMostCopies) + " copies of its parts";
    return false;
  }
  if (cost.repetitions > kMostRepetitions) {
    error = "the pattern repeats more than " + std::to_string(kMostRepetitions) + " of its parts";
    return false;
  }
  auto pattern = std::make_shared<CompiledPattern>();
  if (!MeansTheSameAsBytes(word)) {
    pattern->locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    pattern->utf8 = pattern->locale != nullptr;
  }
  if (pattern->locale == nullptr) pattern->locale = newlocale(LC_CTYPE_MASK, "C", nullptr);
  std::string text = pattern->utf8 ? Latin1ToUtf8(word) : std::string(word);
  if (text.find('\0') != std::string::npos) {
    error = "a regular expression cannot hold a NUL byte";
    return false;
  }
  int flags = REG_NOSUB | REG_ICASE | (strategy == Strategy::kRe ? REG_EXTENDED : 0);
  locale_t previous = pattern->locale != nullptr ? uselocale(pattern->locale) : nullptr;
  int status = regcomp(&pattern->regex, text.c_str(), flags);
  if (status != 0) {
    char message[256];
    regerror(status, &pattern->regex, message, sizeof message);
    error = message;
  }
  if (previous != nullptr) uselocale(previous);
  if (status != 0) return false;
  pattern->compiled = true;
  matcher.pattern = std::move(pattern);
  return true;
}

bool MatchesKey(const Matcher& matcher, std::string_view key) {
  std::string_view word = matcher.word;
  switch (matcher.strategy) {
    case Strategy::kExact: return EqualsWord(key, word);
    case Strategy::kPrefix: return StartsWithWord(key, word);
    case Strategy::kSubstring: return HoldsWord(key, word);
    case Strategy::kSuffix: return EndsWithWord(key, word);
    default: break;
  }
  // Lev needs a key within one byte of the word's length: most keys are ruled out before they are folded.
  if (matcher.strategy == Strategy::kLev) {
    size_t length = TrimmedBack(TrimmedFront(key)).size();
    if (length + 1 < word.size() || length > word.size() + 1) return false;
  }
  char buffer[kMatchFormCapacity];
  std::string_view form = MatchForm(key, buffer);
  switch (matcher.strategy) {
    case Strategy::kRe:
    case Strategy::kRegexp: return matcher.pattern != nullptr && RegexMatches(*matcher.pattern, form);
    case Strategy::kSoundex: return !word.empty() && Soundex(form) == word;
    case Strategy::kLev: return WithinOneEdit(form, word);
    case Strategy::kWord: return AnyWord(form, [word](std::string_view w) { return w == word; });
    case Strategy::kFirst: return !word.empty() && FirstWord(form) == word;
    case Strategy::kLast: return !word.empty() && LastWord(form) == word;
    default: return false;
  }
}

ReadOutcome MatchKeys(const IndexFile& index, const Matcher& matcher, std::vector<std::string>& keys,
                      std::string& error) {
  keys.clear();
  RecordCursor cursor;
  RecordView record;
  ReadOutcome outcome;
  while ((outcome = NextRecordView(index, cursor, record, error)) == ReadOutcome::kOk) {
    if (record.recordOffset != 0 && MatchesKey(matcher, record.key)) keys.emplace_back(record.key);
  }
  if (outcome == ReadOutcome::kError) return outcome;
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return ReadOutcome::kOk;
}

}  // namespace vos
