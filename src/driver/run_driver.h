// The run driver: the only place that knows the order of a run. Settings from the command line, the exclusion
// list, the main trie, the legend line, the scan with its dots, the summary, the index file, the end.
#pragma once

#include <cstdint>
#include <string_view>

namespace vos {

inline constexpr std::string_view kVersionLine = "vos 1, 2001/12/11";

struct RunSettings {
  int32_t lineEndSize = 1;                    // -D: every line end counts two bytes
  bool fullText = false;                      // -f: every word of every line is a key
  std::string_view dictionaryPath = "dict.txt";   // -d; empty reads standard input
  std::string_view indexPath = "index.dat";       // -i; empty writes standard output
  std::string_view exclusionPath;             // -e; words left out in full-text mode
  bool keepCase = false;                      // -c: keys are filed as they stand
};

// Runs vos with the process's argument vector and ends the process; never returns.
[[noreturn]] void RunDriver(int argc, char** argv);

}  // namespace vos
