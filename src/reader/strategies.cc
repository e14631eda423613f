// The match strategies of the DICT protocol's servers, over keys in match form.
#include <locale.h>
#include <regex.h>

#include <algorithm>
#include <array>

#include "reader/index_storage.h"
#include "reader/match_form.h"

namespace vos {

// A compiled regular expression. glibc's regex reads characters as LC_CTYPE says, so the pattern and the keys go
// in as UTF-8 under a UTF-8 locale object of their own, whatever the user's locale: an umlaut is then one
// character, for "." and for bracket expressions alike. Without such a locale the bytes are matched as they are.
struct CompiledPattern {
  regex_t regex{};
  locale_t locale = nullptr;
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

// Latin-1 to UTF-8 into a fixed buffer of twice the input's size.
std::string_view ToUtf8(std::string_view latin1, char* out) {
  size_t n = 0;
  for (char c : latin1) {
    auto byte = static_cast<uint8_t>(c);
    if (byte < 0x80) {
      out[n++] = c;
    } else {
      out[n++] = static_cast<char>(0xC0 | (byte >> 6));
      out[n++] = static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return {out, n};
}

bool RegexMatches(const CompiledPattern& pattern, std::string_view form) {
  char utf8[2 * kMatchFormCapacity + 1];
  std::string_view text = pattern.locale != nullptr ? ToUtf8(form, utf8) : form;
  if (text.data() != utf8) std::copy(text.begin(), text.end(), utf8);
  utf8[text.size()] = '\0';
  if (pattern.locale == nullptr) return regexec(&pattern.regex, utf8, 0, nullptr, 0) == 0;
  locale_t previous = uselocale(pattern.locale);
  bool matches = regexec(&pattern.regex, utf8, 0, nullptr, 0) == 0;
  uselocale(previous);
  return matches;
}

bool WithinOneEdit(std::string_view a, std::string_view b) { return EditDistance(a, b, 1) <= 1; }

// Whether `pattern` holds a back-reference (\1 to \9 outside a bracket expression). glibc matches those by
// backtracking, which a short pattern can make take longer than any caller would wait, so they are refused.
bool HasBackReference(std::string_view pattern) {
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '[') {
      // A bracket expression: "]" right after "[" or "[^" is a member; "[:", "[." and "[=" open an inner term.
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
      i = j;
      continue;
    }
    if (pattern[i] == '\\' && i + 1 < pattern.size()) {
      if (pattern[i + 1] >= '1' && pattern[i + 1] <= '9') return true;
      ++i;
    }
  }
  return false;
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
  if (HasBackReference(word)) {
    error = "back-references are not supported";
    return false;
  }
  auto pattern = std::make_shared<CompiledPattern>();
  pattern->locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  std::string text = pattern->locale != nullptr ? Latin1ToUtf8(word) : std::string(word);
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
  char buffer[kMatchFormCapacity];
  std::string_view form = MatchForm(key, buffer);
  std::string_view word = matcher.word;
  switch (matcher.strategy) {
    case Strategy::kExact: return form == word;
    case Strategy::kPrefix: return form.starts_with(word);
    case Strategy::kSubstring: return form.find(word) != std::string_view::npos;
    case Strategy::kSuffix: return form.ends_with(word);
    case Strategy::kRe:
    case Strategy::kRegexp: return matcher.pattern != nullptr && RegexMatches(*matcher.pattern, form);
    case Strategy::kSoundex: return !word.empty() && Soundex(form) == word;
    case Strategy::kLev: return WithinOneEdit(form, word);
    case Strategy::kWord: return AnyWord(form, [word](std::string_view w) { return w == word; });
    case Strategy::kFirst: return !word.empty() && FirstWord(form) == word;
    case Strategy::kLast: return !word.empty() && LastWord(form) == word;
  }
  return false;
}

ReadOutcome MatchKeys(const IndexFile& index, const Matcher& matcher, std::vector<std::string>& keys,
                      std::string& error) {
  keys.clear();
  RecordCursor cursor;
  IndexRecord record;
  ReadOutcome outcome;
  while ((outcome = NextRecord(index, cursor, record, error)) == ReadOutcome::kOk) {
    if (record.recordOffset != 0 && MatchesKey(matcher, record.key)) keys.push_back(record.key);
  }
  if (outcome == ReadOutcome::kError) return outcome;
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return ReadOutcome::kOk;
}

}  // namespace vos
