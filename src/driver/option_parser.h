// Command-line options: NextOption hands the run driver one option at a time, in the order in which they stand
// among the arguments, in short ("-i file", "-ifile", clusters such as "-fc") and long form ("--index file",
// "--index=file", or any contiguous part of a long name that selects one entry). Non-options are passed over,
// "--" ends the options. Diagnostics go to standard output through the Console; a bad option gives '?'.
#pragma once

#include <cstdint>
#include <string_view>

#include "trie/short_string.h"

namespace vos {

// The result that says no option remains; no option letter uses this byte.
inline constexpr uint8_t kNoMoreOptions = 255;
// The result after an error that NextOption has already reported.
inline constexpr uint8_t kBadOption = '?';

enum class ArgumentKind : int16_t { kNone = 0, kRequired = 1, kOptional = 2 };

struct LongOptionEntry {
  std::string_view name;            // without the leading "--"; empty closes the table
  ArgumentKind argumentKind;
  uint8_t* flagTarget;              // when set, a match stores `letter` there and NextOption gives 0
  uint8_t letter;
};

// The table of this program, closed by an entry with an empty name; its order decides partial matches.
extern const LongOptionEntry kLongOptionTable[8];
// The short option string: a letter followed by ':' takes a value.
inline constexpr std::string_view kShortOptions = "i:d:fe:cDv";

struct OptionParser {
  int argc = 0;
  char** argv = nullptr;
  int32_t nextArgIndex = 1;    // argument being examined or next to examine
  int32_t clusterPos = 0;      // 1-based position of the next short option inside it; 0 when none is in progress
  ShortString optionValue;     // value of the option last given (its first 255 bytes)
  std::string_view optionArgument;  // the same value whole, as it stands in argv: paths are never cut short
};

// Starts parsing the argument vector (argv[0] is the program name).
OptionParser StartOptions(int argc, char** argv);

// Gives the next option's letter (with its value in optionValue/optionArgument), kBadOption after a reported
// error, or kNoMoreOptions. `longIndex` receives the 1-based table position when a long option is found.
uint8_t NextOption(OptionParser& parser, std::string_view shortOptions, const LongOptionEntry* table,
                   int16_t& longIndex);

}  // namespace vos
