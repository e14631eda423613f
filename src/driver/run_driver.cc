#include "driver/run_driver.h"

#include "driver/option_parser.h"
#include "index/index_writer.h"
#include "runtime/console.h"
#include "runtime/run_stop.h"
#include "scan/dictionary_scan.h"
#include "scan/line_reader.h"
#include "trie/key_trie.h"

namespace vos {
namespace {

// Acts on the options as they arrive, so a later path replaces an earlier one and "-v" stops at once.
RunSettings ReadOptions(int argc, char** argv) {
  RunSettings settings;
  OptionParser parser = StartOptions(argc, argv);
  int16_t longIndex = 0;
  for (;;) {
    uint8_t option = NextOption(parser, kShortOptions, kLongOptionTable, longIndex);
    switch (option) {
      case 'i': settings.indexPath = parser.optionArgument; break;
      case 'd': settings.dictionaryPath = parser.optionArgument; break;
      case 'e': settings.exclusionPath = parser.optionArgument; break;
      case 'f': settings.fullText = true; break;
      case 'c': settings.keepCase = true; break;
      case 'D': settings.lineEndSize = 2; break;
      case 'v':
        ConsoleWriteLine({kVersionLine});
        CheckIo();
        EndRun(0);
      case kNoMoreOptions: return settings;
      default: break;  // already reported; the run goes on with the settings so far
    }
  }
}

void PrintSummary(const RunStatistics& statistics) {
  ConsoleWriteLine({"Geamtzahl: ", statistics.totalWords});
  CheckIo();
  ConsoleWriteLine({"L\xE4ngstes Wort: ", KeyText(*statistics.longestKeyNode), " (", statistics.maxKeyLength,
                    " Zeichen)"});
  CheckIo();
  ConsoleWriteLine({"H\xE4ufigster Eintrag: \"", KeyText(*statistics.mostFrequentNode), "\" (",
                    statistics.maxPostingCount, "x)"});
  CheckIo();
}

}  // namespace

void RunDriver(int argc, char** argv) {
  InitRuntime();
  RunSettings settings = ReadOptions(argc, argv);
  ScanMode mode{settings.fullText, settings.keepCase, settings.lineEndSize};

  KeySet exclusionList;
  bool excluding = settings.fullText && !settings.exclusionPath.empty();
  if (excluding) LoadExclusionList(settings.exclusionPath, exclusionList);

  KeyTrie mainTrie;
  NewTrie(mainTrie);
  RunStatistics statistics;
  ResetStatistics(statistics, mainTrie);

  LineReader dictionary = OpenLineReader(settings.dictionaryPath, kDictionaryBufferSize);
  CheckIo();
  ScanState state;
  ConsoleWriteLine({". = 1000 Zeilen"});
  CheckIo();
  ScanDictionary(dictionary, mode, mainTrie, excluding ? &exclusionList : nullptr, state, statistics);
  CloseLineReader(dictionary);
  CheckIo();
  ConsoleWriteLine();
  CheckIo();
  PrintSummary(statistics);

  WriteIndexFile(settings.indexPath, mainTrie, statistics);
  EndRun(0);
}

}  // namespace vos
