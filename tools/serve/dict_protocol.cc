#include "serve/dict_protocol.h"

#include <algorithm>

#include "reader/reader.h"

namespace vos {
namespace {

constexpr std::string_view kVersion = "1.0";
constexpr std::string_view kMimeHeaders = "Content-type: text/plain; charset=utf-8\r\n"
                                          "Content-transfer-encoding: 8bit\r\n\r\n";

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

std::string Decimal(int64_t value) { return std::to_string(value); }

std::string KeyCount(const Database& database) {
  if (!database.complete) return database.failedCheck ? "index check failed, keys not counted" : "keys being counted";
  return Decimal(static_cast<int64_t>(CatalogSize(database.catalog))) + " keys";
}

// A word from the wire in ISO-8859-1: UTF-8 as the protocol says; bytes that are not UTF-8 are taken as
// ISO-8859-1 already, as older clients send them. False when the word holds a character ISO-8859-1 lacks, which
// no key can hold either.
bool WireToLatin1(std::string_view word, std::string& latin1) {
  std::string problem;
  switch (Utf8ToLatin1(word, latin1, problem)) {
    case ConvertOutcome::kOk:
      return true;
    case ConvertOutcome::kNotLatin1:
      return false;
    case ConvertOutcome::kInvalid:
      latin1.assign(word);
      return true;
  }
  return false;
}

// Writes the ISO-8859-1 `word` at `out` in UTF-8 with a backslash before every " and backslash, as between
// quotes; at most twice its size. Returns the end of what it wrote.
char* PutQuotedUtf8(char* out, std::string_view word) {
  for (;;) {
    auto special = std::find_if(word.begin(), word.end(), [](char c) { return c == '"' || c == '\\'; });
    out = Latin1ToUtf8(std::string_view(word.begin(), special), out);
    if (special == word.end()) return out;
    *out++ = '\\';
    *out++ = *special;
    word = std::string_view(special + 1, word.end());
  }
}

void Finish(Answer& answer, int code, std::string_view text = {}) {
  answer.code = code;
  if (text.empty()) {
    answer.bytes += StatusLine(code);
  } else {
    answer.bytes += Decimal(code) + " " + std::string(text) + "\r\n";
  }
}

// Which databases a DEFINE or MATCH asks for: one by name, all ("*") or the first that answers ("!"). False
// (with the 550 answer) for an unknown name.
bool SelectDatabases(const DatabaseSet& databases, std::string_view name, std::vector<const Database*>& selected,
                     bool& firstOnly, Answer& answer) {
  selected.clear();
  firstOnly = name == "!";
  if (name == "*" || name == "!") {
    for (const auto& database : databases) selected.push_back(database.get());
    return true;
  }
  if (const Database* database = FindDatabase(databases, name)) {
    selected.push_back(database);
    return true;
  }
  Finish(answer, 550);
  return false;
}

void AnswerDefine(const DatabaseSet& databases, const Session& session, const Command& command, Answer& answer) {
  std::vector<const Database*> selected;
  bool firstOnly = false;
  if (!SelectDatabases(databases, command.arguments[0], selected, firstOnly, answer)) return;
  const std::string& wireWord = command.arguments[1];
  std::string word;
  if (!WireToLatin1(wireWord, word)) return Finish(answer, 552);
  // Every entry is read first, so that the answer is written once, into a buffer of about its size.
  struct Found {
    const Database* database;
    std::vector<Definition> definitions;
  };
  std::vector<Found> found;
  int64_t count = 0;
  size_t size = 64;
  for (const Database* database : selected) {
    std::vector<Definition> definitions;
    std::string error;
    ReadOutcome outcome = DefineWord(*database, word, definitions, error);
    if (outcome == ReadOutcome::kError) {
      answer.problem = error;
      continue;
    }
    if (outcome == ReadOutcome::kNotFound || definitions.empty()) continue;
    count += static_cast<int64_t>(definitions.size());
    for (const Definition& definition : definitions) {
      size += 2 * (wireWord.size() + database->config.name.size() + database->config.description.size()) + 16 +
              2 * definition.text.size() + definition.text.size() / 8 + 8;
    }
    found.push_back({database, std::move(definitions)});
    if (firstOnly) break;
  }
  if (count == 0) {
    // A database that could not be read is a server fault, not an answer about the word.
    if (!answer.problem.empty()) return Finish(answer, 420);
    return Finish(answer, 552);
  }
  answer.bytes.reserve(answer.bytes.size() + size);
  answer.bytes += "150 ";
  answer.bytes += Decimal(count);
  answer.bytes += " definitions retrieved\r\n";
  // The word as understood, in UTF-8: a client's bytes that are not UTF-8 are not sent back as they came.
  std::string quotedWord = QuoteWord(Latin1ToUtf8(word));
  for (const Found& hits : found) {
    const DatabaseConfig& config = hits.database->config;
    std::string head = "151 " + quotedWord + " " + config.name + " " + QuoteWord(Latin1ToUtf8(config.description)) +
                       "\r\n";
    for (const Definition& definition : hits.definitions) {
      answer.bytes += head;
      if (definition.mismatch) {
        answer.problem = config.dictionaryPath + ": " + definition.problem;
        AppendTextBlock(answer.bytes, "Error: the dictionary no longer matches its index here (" +
                                          Latin1ToUtf8(definition.problem) + ")", session.mime);
      } else {
        AppendLatin1TextBlock(answer.bytes, definition.text, session.mime);
      }
    }
  }
  Finish(answer, 250);
}

void AnswerMatch(const DatabaseSet& databases, const Session& session, const Command& command, Answer& answer) {
  std::vector<const Database*> selected;
  bool firstOnly = false;
  if (!SelectDatabases(databases, command.arguments[0], selected, firstOnly, answer)) return;
  std::string_view strategyName = command.arguments[1];
  Strategy strategy = Strategy::kLev;
  if (strategyName != "." && !ParseStrategy(strategyName, strategy)) return Finish(answer, 551);
  std::string word;
  if (!WireToLatin1(command.arguments[2], word)) return Finish(answer, 552);
  Matcher matcher;
  std::string error;
  if (!CompileMatcher(strategy, word, matcher, error)) {
    return Finish(answer, 501, "syntax error, illegal parameters: " + error);
  }
  // The words of each database first, so that the answer is written once, into a buffer of the right size.
  struct Found {
    const Database* database;
    std::vector<std::string> keys;  // what the words point into, for a database not yet catalogued
    std::vector<std::string_view> words;
  };
  std::vector<Found> found;
  found.reserve(selected.size());
  int64_t count = 0;
  size_t size = 64;
  for (const Database* database : selected) {
    Found& hits = found.emplace_back(Found{database, {}, {}});
    MatchWords(*database, matcher, hits.keys, hits.words);
    count += static_cast<int64_t>(hits.words.size());
    for (std::string_view hit : hits.words) size += database->config.name.size() + 6 + 2 * hit.size();
    if (firstOnly && !hits.words.empty()) break;
  }
  if (count == 0) return Finish(answer, 552);
  answer.bytes += "152 " + Decimal(count) + " matches found\r\n";
  if (session.mime) answer.bytes += kMimeHeaders;
  // The lines are written straight into room for the longest they can be (every byte two in UTF-8): a prefix can
  // match thousands of keys, and appending piece by piece cost more than finding them.
  size_t used = answer.bytes.size();
  answer.bytes.resize(used + size);
  char* out = answer.bytes.data() + used;
  for (const Found& hits : found) {
    // A line starts with the database's name, stuffed if that starts with a dot.
    std::string head = (hits.database->config.name.starts_with('.') ? "." : "") + hits.database->config.name + " \"";
    for (std::string_view hit : hits.words) {
      out = std::copy(head.begin(), head.end(), out);
      out = PutQuotedUtf8(out, hit);
      out = std::copy_n("\"\r\n", 3, out);
    }
  }
  answer.bytes.resize(static_cast<size_t>(out - answer.bytes.data()));
  answer.bytes += ".\r\n";
  Finish(answer, 250);
}

void AnswerShowDatabases(const DatabaseSet& databases, const Session& session, Answer& answer) {
  if (databases.empty()) return Finish(answer, 554);
  std::string lines;
  for (const auto& database : databases) {
    lines += database->config.name + " " + QuoteWord(Latin1ToUtf8(database->config.description)) + "\n";
  }
  answer.bytes += "110 " + Decimal(static_cast<int64_t>(databases.size())) + " databases present\r\n";
  AppendTextBlock(answer.bytes, lines, session.mime);
  Finish(answer, 250);
}

void AnswerShowStrategies(const Session& session, Answer& answer) {
  std::string lines;
  for (const StrategyInfo& info : Strategies()) {
    lines += std::string(info.name) + " " + QuoteWord(info.description) + "\n";
  }
  answer.bytes += "111 " + Decimal(static_cast<int64_t>(Strategies().size())) + " strategies available\r\n";
  AppendTextBlock(answer.bytes, lines, session.mime);
  Finish(answer, 250);
}

void AnswerShowInfo(const DatabaseSet& databases, const Session& session, const Command& command,
                    Answer& answer) {
  const Database* database = FindDatabase(databases, command.arguments[0]);
  if (database == nullptr) return Finish(answer, 550);
  // The description and info are ISO-8859-1; the paths are as they were given, in the locale's encoding.
  std::string text = Latin1ToUtf8(database->config.info);
  if (text.empty()) {
    text = Latin1ToUtf8(database->config.description) + "\n\nIndex: " + database->config.indexPath + " (" +
           KeyCount(*database) + ", " +
           (database->keepsCase ? "letter case kept" : "letter case folded") + ")\nDictionary: " +
           database->config.dictionaryPath + "\n";
  }
  answer.bytes += StatusLine(112);
  AppendTextBlock(answer.bytes, text, session.mime);
  Finish(answer, 250);
}

void AnswerShowServer(const DatabaseSet& databases, const ServerFacts& facts, const Session& session,
                      Answer& answer) {
  std::string text = "vos-serve " + std::string(kVersion) + " on " + facts.host + "\n" +
                     "up " + Decimal(facts.uptimeSeconds) + " s, " + Decimal(facts.connections) +
                     " connections open, " + Decimal(facts.connectionsServed) + " served\n\n";
  for (const auto& database : databases) {
    text += database->config.name + ": " + KeyCount(*database) + "\n";
  }
  answer.bytes += StatusLine(114);
  AppendTextBlock(answer.bytes, Latin1ToUtf8(text), session.mime);
  Finish(answer, 250);
}

constexpr std::string_view kHelpText =
    "DEFINE database word         -- look up word in database\n"
    "MATCH database strategy word -- match word in database using strategy\n"
    "SHOW DB                      -- list all accessible databases\n"
    "SHOW DATABASES               -- list all accessible databases\n"
    "SHOW STRAT                   -- list available matching strategies\n"
    "SHOW STRATEGIES              -- list available matching strategies\n"
    "SHOW INFO database           -- provide information about the database\n"
    "SHOW SERVER                  -- provide site-specific information\n"
    "OPTION MIME                  -- use MIME headers\n"
    "CLIENT info                  -- identify client to server\n"
    "STATUS                       -- display timing information\n"
    "HELP                         -- display this help information\n"
    "QUIT                         -- terminate connection\n"
    "\n"
    "Database \"*\" searches every database, \"!\" the databases in order up to the first\n"
    "that has an answer. Strategy \".\" is the default strategy, lev.\n";

}  // namespace

void AppendReceived(LineBuffer& buffer, std::string_view received) {
  if (buffer.start > 0 && buffer.start == buffer.bytes.size()) {
    buffer.bytes.clear();
    buffer.start = 0;
  }
  buffer.bytes.append(received);
}

LineOutcome NextLine(LineBuffer& buffer, std::string& line) {
  for (;;) {
    std::string_view rest = std::string_view(buffer.bytes).substr(buffer.start);
    size_t end = rest.find('\n');
    if (buffer.overlong) {
      if (end == std::string_view::npos) {
        buffer.bytes.clear();
        buffer.start = 0;
        return LineOutcome::kNeedMore;
      }
      buffer.start += end + 1;
      buffer.overlong = false;
      continue;
    }
    if (end == std::string_view::npos) {
      if (rest.size() < kMaxCommandLine) {
        // Keep what waits for its line end at the front, so the buffer never grows past one command.
        if (buffer.start > 0) {
          buffer.bytes.erase(0, buffer.start);
          buffer.start = 0;
        }
        return LineOutcome::kNeedMore;
      }
      buffer.overlong = true;
      buffer.bytes.clear();
      buffer.start = 0;
      return LineOutcome::kTooLong;
    }
    if (end + 1 > kMaxCommandLine) {
      buffer.start += end + 1;
      return LineOutcome::kTooLong;
    }
    std::string_view found = rest.substr(0, end);
    if (!found.empty() && found.back() == '\r') found.remove_suffix(1);
    line.assign(found);
    buffer.start += end + 1;
    return LineOutcome::kLine;
  }
}

bool SplitWords(std::string_view line, std::vector<std::string>& words) {
  words.clear();
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t') {
      ++i;
      continue;
    }
    std::string word;
    char quote = 0;
    for (; i < line.size(); ++i) {
      char c = line[i];
      if (quote == 0 && (c == ' ' || c == '\t')) break;
      if (c == '\\') {
        if (++i == line.size()) return false;
        word += line[i];
      } else if (quote != 0 && c == quote) {
        quote = 0;
      } else if (quote == 0 && (c == '"' || c == '\'')) {
        quote = c;
      } else {
        word += c;
      }
    }
    if (quote != 0) return false;
    words.push_back(std::move(word));
  }
  return true;
}

Command ParseCommand(std::string_view line) {
  Command command;
  std::vector<std::string> words;
  if (!SplitWords(line, words)) {
    // CLIENT takes free text, so a lone quote ("Bob's client") is no syntax error there: the text as it came.
    std::string_view rest = line.substr(std::min(line.find_first_not_of(" \t"), line.size()));
    size_t verbEnd = std::min(rest.find_first_of(" \t"), rest.size());
    if (SameLetters(rest.substr(0, verbEnd), "CLIENT")) {
      rest.remove_prefix(verbEnd);
      size_t from = std::min(rest.find_first_not_of(" \t"), rest.size());
      size_t to = rest.find_last_not_of(" \t");
      command.kind = CommandKind::kClient;
      command.arguments.emplace_back(to == std::string_view::npos ? "" : rest.substr(from, to - from + 1));
      return command;
    }
    command.kind = CommandKind::kBadParameters;
    return command;
  }
  if (words.empty()) return command;
  const std::string& verb = words[0];
  size_t parameters = words.size() - 1;
  auto take = [&](CommandKind kind, size_t from, size_t count) {
    if (parameters + 1 - from != count) {
      command.kind = CommandKind::kBadParameters;
      return;
    }
    command.kind = kind;
    command.arguments.assign(words.begin() + static_cast<ptrdiff_t>(from), words.end());
  };
  if (SameLetters(verb, "DEFINE")) {
    take(CommandKind::kDefine, 1, 2);
  } else if (SameLetters(verb, "MATCH")) {
    take(CommandKind::kMatch, 1, 3);
  } else if (SameLetters(verb, "SHOW")) {
    if (parameters == 0) {
      command.kind = CommandKind::kBadParameters;
    } else if (SameLetters(words[1], "DB") || SameLetters(words[1], "DATABASES")) {
      take(CommandKind::kShowDatabases, 2, 0);
    } else if (SameLetters(words[1], "STRAT") || SameLetters(words[1], "STRATEGIES")) {
      take(CommandKind::kShowStrategies, 2, 0);
    } else if (SameLetters(words[1], "INFO")) {
      take(CommandKind::kShowInfo, 2, 1);
    } else if (SameLetters(words[1], "SERVER")) {
      take(CommandKind::kShowServer, 2, 0);
    } else {
      command.kind = CommandKind::kUnknownParameter;
    }
  } else if (SameLetters(verb, "CLIENT")) {
    command.kind = CommandKind::kClient;
    // The client's text, its words unquoted (clients send it quoted or not).
    std::string text;
    for (size_t i = 1; i < words.size(); ++i) text += (i > 1 ? " " : "") + words[i];
    command.arguments.push_back(std::move(text));
  } else if (SameLetters(verb, "STATUS")) {
    command.kind = CommandKind::kStatus;
  } else if (SameLetters(verb, "HELP")) {
    command.kind = CommandKind::kHelp;
  } else if (SameLetters(verb, "QUIT")) {
    command.kind = CommandKind::kQuit;
  } else if (SameLetters(verb, "OPTION")) {
    if (parameters == 0) {
      command.kind = CommandKind::kBadParameters;
    } else if (SameLetters(words[1], "MIME")) {
      take(CommandKind::kOptionMime, 2, 0);
    } else {
      command.kind = CommandKind::kUnknownParameter;
    }
  } else if (SameLetters(verb, "AUTH") || SameLetters(verb, "SASLAUTH") || SameLetters(verb, "SASLRESP")) {
    command.kind = CommandKind::kAuth;
  }
  return command;
}

std::string StatusLine(int code) {
  std::string_view text;
  switch (code) {
    case 112: text = "database information follows"; break;
    case 113: text = "help text follows"; break;
    case 114: text = "server information follows"; break;
    case 221: text = "Closing Connection"; break;
    case 250: text = "ok"; break;
    case 420: text = "Server temporarily unavailable"; break;
    case 421: text = "Server shutting down at operator request"; break;
    case 500: text = "Syntax error, command not recognized"; break;
    case 501: text = "Syntax error, illegal parameters"; break;
    case 502: text = "Command not implemented"; break;
    case 503: text = "Command parameter not implemented"; break;
    case 550: text = "Invalid database, use \"SHOW DB\" for list of databases"; break;
    case 551: text = "Invalid strategy, use \"SHOW STRAT\" for a list of strategies"; break;
    case 552: text = "No match"; break;
    case 554: text = "No databases present"; break;
    case 555: text = "No strategies available"; break;
    default: text = "ok"; break;
  }
  return Decimal(code) + " " + std::string(text) + "\r\n";
}

std::string Banner(const ServerFacts& facts, std::string_view msgId) {
  return "220 " + facts.host + " vos-serve " + std::string(kVersion) + " <mime> <" + std::string(msgId) + ">\r\n";
}

namespace {

// Where the line from `from` on ends: the first CR or LF, or npos. (find_first_of calls memchr on its set for
// every byte.)
size_t LineEnd(std::string_view text, size_t from) {
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') return i;
  }
  return std::string_view::npos;
}

// A text block of `text`'s lines: each cut at CR LF, LF or a lone CR, dot-stuffed and ended with CR LF by
// `append` (out, line, dot), then the closing ".".
template <typename AppendLine>
void AppendBlock(std::string& out, std::string_view text, bool mime, AppendLine append) {
  if (mime) out += kMimeHeaders;
  size_t i = 0;
  while (i < text.size()) {
    size_t end = LineEnd(text, i);
    std::string_view line = text.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i);
    append(out, line, !line.empty() && line.front() == '.');
    if (end == std::string_view::npos) break;
    i = end + 1;
    if (text[end] == '\r' && i < text.size() && text[i] == '\n') ++i;
  }
  out += ".\r\n";
}

}  // namespace

void AppendTextBlock(std::string& out, std::string_view text, bool mime) {
  AppendBlock(out, text, mime, [](std::string& to, std::string_view line, bool dot) {
    if (dot) to += '.';
    to += line;
    to += "\r\n";
  });
}

void AppendLatin1TextBlock(std::string& out, std::string_view latin1, bool mime) {
  // The same lines as AppendTextBlock of the UTF-8 form: line ends and dots are ASCII in both, so the lines can be
  // cut in ISO-8859-1 and each converted straight into `out`, without a UTF-8 copy of the whole text.
  AppendBlock(out, latin1, mime, [](std::string& to, std::string_view line, bool dot) {
    size_t at = to.size();
    to.resize(at + (dot ? 1 : 0) + 2 * line.size() + 2);
    char* next = to.data() + at;
    if (dot) *next++ = '.';
    next = Latin1ToUtf8(line, next);
    *next++ = '\r';
    *next++ = '\n';
    to.resize(static_cast<size_t>(next - to.data()));
  });
}

std::string QuoteWord(std::string_view word) {
  std::string quoted = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\') quoted += '\\';
    // A line break would end the status line early, and what followed would read as the next one.
    quoted += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
  }
  quoted += '"';
  return quoted;
}

Answer AnswerLine(const DatabaseSet& databases, const ServerFacts& facts, Session& session, std::string_view line) {
  Answer answer;
  ++session.commands;
  Command command = ParseCommand(line);
  switch (command.kind) {
    case CommandKind::kDefine:
      AnswerDefine(databases, session, command, answer);
      break;
    case CommandKind::kMatch:
      AnswerMatch(databases, session, command, answer);
      break;
    case CommandKind::kShowDatabases:
      AnswerShowDatabases(databases, session, answer);
      break;
    case CommandKind::kShowStrategies:
      if (Strategies().empty()) {
        Finish(answer, 555);
      } else {
        AnswerShowStrategies(session, answer);
      }
      break;
    case CommandKind::kShowInfo:
      AnswerShowInfo(databases, session, command, answer);
      break;
    case CommandKind::kShowServer:
      AnswerShowServer(databases, facts, session, answer);
      break;
    case CommandKind::kClient:
      session.client = command.arguments[0];
      Finish(answer, 250);
      break;
    case CommandKind::kStatus:
      Finish(answer, 210, "status: up " + Decimal(facts.uptimeSeconds) + " s, " + Decimal(facts.connections) +
                              " connections, " + Decimal(session.commands) + " commands on this one");
      break;
    case CommandKind::kHelp:
      answer.bytes += StatusLine(113);
      AppendTextBlock(answer.bytes, kHelpText, session.mime);
      Finish(answer, 250);
      break;
    case CommandKind::kQuit:
      Finish(answer, 221);
      answer.close = true;
      break;
    case CommandKind::kOptionMime:
      session.mime = true;
      Finish(answer, 250);
      break;
    case CommandKind::kAuth:
      Finish(answer, 502);
      break;
    case CommandKind::kUnknown:
      Finish(answer, 500);
      break;
    case CommandKind::kBadParameters:
      Finish(answer, 501);
      break;
    case CommandKind::kUnknownParameter:
      Finish(answer, 503);
      break;
  }
  return answer;
}

}  // namespace vos
