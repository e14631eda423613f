// The DICT protocol without sockets: command lines cut out of the bytes a client sends, commands split into
// words, and every answer built as the exact bytes that go back on the wire. The connection code only moves bytes;
// everything a client can observe is decided here, so it is tested and fuzzed in memory.
//
// On the wire: lines end in CRLF (a bare LF is accepted), a command line is at most kMaxCommandLine bytes with its
// line end, text is UTF-8, a text block ends with a line holding only "." and every text line that begins with
// "." gets one more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "serve/databases.h"

namespace vos {

constexpr size_t kMaxCommandLine = 1024;  // bytes, the line end included

// Bytes received but not yet cut into lines. `start` is where the next line begins in `bytes`; `overlong` is set
// while the rest of a line that was already answered as too long is being skipped.
struct LineBuffer {
  std::string bytes;
  size_t start = 0;
  bool overlong = false;
};

enum class LineOutcome { kLine, kTooLong, kNeedMore };

// Appends received bytes.
void AppendReceived(LineBuffer& buffer, std::string_view received);

// Cuts the next command line (without its line end) out of the buffer. kTooLong once for a line longer than
// kMaxCommandLine, as soon as that is known, after which its remaining bytes are dropped up to its line end;
// kNeedMore when no whole line is buffered. Never holds more than kMaxCommandLine bytes of one line.
LineOutcome NextLine(LineBuffer& buffer, std::string& line);

// The words of a command line: separated by blanks and tabs, each may be quoted with " or ' and any character may
// be escaped with \ (inside quotes and out); quoted and unquoted pieces next to each other form one word. False
// for an unterminated quote or a trailing \.
bool SplitWords(std::string_view line, std::vector<std::string>& words);

enum class CommandKind {
  kDefine, kMatch, kShowDatabases, kShowStrategies, kShowInfo, kShowServer, kClient, kStatus, kHelp, kQuit,
  kOptionMime, kAuth, kUnknown, kBadParameters, kUnknownParameter
};

struct Command {
  CommandKind kind = CommandKind::kUnknown;
  std::vector<std::string> arguments;  // DEFINE: database, word; MATCH: database, strategy, word; SHOW INFO:
                                       // database; CLIENT: the client's text
};

// Recognises a command line: command words in any case, the number of parameters checked.
Command ParseCommand(std::string_view line);

// ---------------------------------------------------------------------------------------------------------------
// Answers

// What a connection remembers between commands.
struct Session {
  bool mime = false;     // OPTION MIME was given: text blocks start with MIME headers
  std::string client;    // as told by CLIENT, for the log
  int64_t commands = 0;  // answered so far
};

// Facts about the running server that STATUS and SHOW SERVER report.
struct ServerFacts {
  std::string host;            // as the banner names it
  int64_t uptimeSeconds = 0;
  int64_t connections = 0;     // open now
  int64_t connectionsServed = 0;
};

// The answer to one command line: its bytes, the code of its last status line and whether the connection ends.
struct Answer {
  std::string bytes;
  int code = 0;
  bool close = false;
  std::string problem;  // for the log, when a database could not answer properly
};

// The 220 banner: server name and version, capabilities and a msg-id unique to this connection.
std::string Banner(const ServerFacts& facts, std::string_view msgId);

// "NNN text\r\n" with the protocol's text for `code`.
std::string StatusLine(int code);

// Appends `text` (UTF-8, any line ends) as a text block: every line ended by CRLF, dot-stuffed, then ".\r\n";
// with `mime` the block opens with the MIME headers and an empty line.
void AppendTextBlock(std::string& out, std::string_view text, bool mime);

// AppendTextBlock of the UTF-8 form of the ISO-8859-1 `latin1`, converted as it is appended.
void AppendLatin1TextBlock(std::string& out, std::string_view latin1, bool mime);

// `word` between double quotes, with \ before every " and \ in it, for answers that name a word.
std::string QuoteWord(std::string_view word);

// Answers one command line.
Answer AnswerLine(const DatabaseSet& databases, const ServerFacts& facts, Session& session, std::string_view line);

}  // namespace vos
