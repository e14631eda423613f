#include "driver/option_parser.h"

#include "runtime/console.h"
#include "runtime/run_stop.h"

namespace vos {

const LongOptionEntry kLongOptionTable[8] = {
    {"index", ArgumentKind::kRequired, nullptr, 'i'},
    {"dict", ArgumentKind::kRequired, nullptr, 'd'},
    {"full", ArgumentKind::kNone, nullptr, 'f'},
    {"exclude", ArgumentKind::kRequired, nullptr, 'e'},
    {"case", ArgumentKind::kNone, nullptr, 'c'},
    {"dos-format", ArgumentKind::kNone, nullptr, 'D'},
    {"version", ArgumentKind::kNone, nullptr, 'v'},
    {"", ArgumentKind::kNone, nullptr, 0},
};

namespace {

// Only this many bytes of an argument take part in matching and in optionValue.
constexpr size_t kCountedBytes = 255;

constexpr std::string_view kQuote = "\"";

// Argument `index` as it stands in argv; a null element reads as empty so that no vector can crash us.
std::string_view WholeArgument(const OptionParser& parser, int32_t index) {
  const char* text = parser.argv[index];
  return text == nullptr ? std::string_view() : std::string_view(text);
}

std::string_view Counted(std::string_view whole) { return whole.substr(0, kCountedBytes); }

// The program name for diagnostics: argv[0] whole, as the process received it.
std::string_view ProgramName(const OptionParser& parser) {
  return parser.argc > 0 ? WholeArgument(parser, 0) : std::string_view();
}

bool IsNonOption(std::string_view counted) {
  return counted.empty() || counted[0] != '-' || counted.size() == 1;
}

// Stores a value: `counted` is the part within the counted bytes of its argument, `whole` the same value as it
// stands in argv.
void SetValue(OptionParser& parser, std::string_view counted, std::string_view whole) {
  parser.optionValue = MakeShortString(counted);
  parser.optionArgument = whole;
}

// Consumes the next argument as a value; false when none remains.
bool TakeNextArgumentAsValue(OptionParser& parser) {
  if (parser.nextArgIndex >= parser.argc) return false;
  std::string_view whole = WholeArgument(parser, parser.nextArgIndex++);
  SetValue(parser, Counted(whole), whole);
  return true;
}

uint8_t ReportedError(std::initializer_list<ConsoleItem> line) {
  ConsoleWriteLine(line);
  CheckIo();
  return kBadOption;
}

uint8_t NextLongOption(OptionParser& parser, const LongOptionEntry* table, int16_t& longIndex) {
  const std::string_view whole = WholeArgument(parser, parser.nextArgIndex++);
  const std::string_view counted = Counted(whole);
  const size_t equals = counted.find('=', 2);
  const bool hasValue = equals != std::string_view::npos;
  const std::string_view typed = counted.substr(2, hasValue ? equals - 2 : std::string_view::npos);

  // Any contiguous part of a name selects it; a name typed in full wins over every partial match.
  int chosen = -1;
  bool ambiguous = false;
  if (!typed.empty()) {
    for (int i = 0; !table[i].name.empty(); ++i) {
      if (table[i].name == typed) {
        chosen = i;
        ambiguous = false;
        break;
      }
      if (table[i].name.find(typed) == std::string_view::npos) continue;
      if (chosen < 0) {
        chosen = i;
      } else {
        ambiguous = true;
      }
    }
  }
  const std::string_view name = ProgramName(parser);
  if (ambiguous) return ReportedError({name, ": option ", kQuote, typed, kQuote, " is ambiguous"});
  if (chosen < 0) return ReportedError({name, " unrecognized option ", kQuote, "--", typed, kQuote});

  const LongOptionEntry& entry = table[chosen];
  if (hasValue) {
    if (entry.argumentKind == ArgumentKind::kNone) {
      return ReportedError({name, ": option ", kQuote, "--", entry.name, kQuote, " doesn't allow an argument"});
    }
    SetValue(parser, counted.substr(equals + 1), whole.substr(equals + 1));
  } else if (entry.argumentKind == ArgumentKind::kRequired && !TakeNextArgumentAsValue(parser)) {
    return ReportedError({name, ": option ", entry.name, " requires an argument"});
  }

  longIndex = static_cast<int16_t>(chosen + 1);
  if (entry.flagTarget != nullptr) {
    *entry.flagTarget = entry.letter;
    return 0;
  }
  return entry.letter;
}

uint8_t NextShortOption(OptionParser& parser, std::string_view shortOptions) {
  const int32_t argIndex = parser.nextArgIndex;
  const std::string_view whole = WholeArgument(parser, argIndex);
  const std::string_view counted = Counted(whole);
  const auto c = static_cast<uint8_t>(counted[static_cast<size_t>(parser.clusterPos) - 1]);
  const size_t rest = static_cast<size_t>(parser.clusterPos);  // 0-based index of the byte after c
  ++parser.clusterPos;
  if (rest >= counted.size()) {
    ++parser.nextArgIndex;
    parser.clusterPos = 0;
  }

  const size_t at = shortOptions.find(static_cast<char>(c));
  if (c == ':' || at == std::string_view::npos) {
    return ReportedError({ProgramName(parser), ": illegal option -- ", ConsoleByte{c}});
  }
  if (at + 1 >= shortOptions.size() || shortOptions[at + 1] != ':') return c;

  if (parser.clusterPos != 0) {
    SetValue(parser, counted.substr(rest), whole.substr(rest));
    ++parser.nextArgIndex;
    parser.clusterPos = 0;
  } else if (rest < whole.size()) {
    // The letter is the last counted byte but the argument goes on: its value is attached, and taking the
    // next argument instead would put an unrelated word in its place.
    SetValue(parser, std::string_view(), whole.substr(rest));
  } else if (!TakeNextArgumentAsValue(parser)) {
    return ReportedError({ProgramName(parser), ": option requires an argument -- ", ConsoleByte{c}});
  }
  return c;
}

}  // namespace

OptionParser StartOptions(int argc, char** argv) {
  OptionParser parser;
  parser.argc = argv == nullptr || argc < 0 ? 0 : argc;
  parser.argv = argv;
  return parser;
}

uint8_t NextOption(OptionParser& parser, std::string_view shortOptions, const LongOptionEntry* table,
                   int16_t& longIndex) {
  parser.optionValue = ShortString();
  parser.optionArgument = std::string_view();
  if (parser.nextArgIndex < 1) parser.nextArgIndex = 1;
  if (parser.clusterPos != 0 &&
      (parser.nextArgIndex >= parser.argc ||
       static_cast<size_t>(parser.clusterPos) > Counted(WholeArgument(parser, parser.nextArgIndex)).size())) {
    parser.clusterPos = 0;  // a state that no call leaves behind; start afresh rather than read past the end
  }

  if (parser.clusterPos == 0) {
    while (parser.nextArgIndex < parser.argc && IsNonOption(Counted(WholeArgument(parser, parser.nextArgIndex)))) {
      ++parser.nextArgIndex;
    }
    if (parser.nextArgIndex >= parser.argc) return kNoMoreOptions;
    const std::string_view counted = Counted(WholeArgument(parser, parser.nextArgIndex));
    if (counted == "--") {
      parser.nextArgIndex = parser.argc;  // every later argument is a non-option
      return kNoMoreOptions;
    }
    if (counted[1] == '-') return NextLongOption(parser, table, longIndex);
    parser.clusterPos = 2;
  }
  return NextShortOption(parser, shortOptions);
}

}  // namespace vos
