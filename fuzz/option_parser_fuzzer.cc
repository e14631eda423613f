// Property: any argument vector is parsed to the end without a crash, every result is an option letter, '?' or
// the end, and every call makes progress.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/option_parser.h"
#include "memory_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Arguments are separated by NUL bytes; the first is the program name.
  std::vector<std::string> arguments(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      if (arguments.size() == 64) break;
      arguments.emplace_back();
    } else {
      arguments.back() += static_cast<char>(data[i]);
    }
  }
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);

  vos::fuzz::UseMemoryIo("");
  vos::OptionParser parser = vos::StartOptions(static_cast<int>(arguments.size()), argv.data());
  int16_t longIndex = 0;
  // Each call consumes at least one byte of a cluster or one argument.
  size_t budget = size + arguments.size() + 2;
  for (;;) {
    uint8_t result = vos::NextOption(parser, vos::kShortOptions, vos::kLongOptionTable, longIndex);
    if (result == vos::kNoMoreOptions) break;
    if (std::string_view("idfecDv?").find(static_cast<char>(result)) == std::string_view::npos) std::abort();
    if (result == 'i' || result == 'd' || result == 'e') {
      // The value is the argument's counted bytes; the whole value, never cut short, is the path to use.
      if (!parser.optionArgument.starts_with(vos::View(parser.optionValue))) std::abort();
    }
    if (--budget == 0) std::abort();
  }
  vos::fuzz::UseRealIo();
  return 0;
}
