// Property: the index check and lookups on arbitrary bytes end, without a crash or a read outside the file, and a
// file the check passes answers every lookup without an error.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "index_file.h"
#include "lookup/lookup.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  vos::IndexReader reader = vos::fuzz::MemoryIndex(bytes);
  vos::CheckReport report = vos::CheckIndex(reader);
  // Search keys taken from the input itself, so that the fuzzer can steer descents into stored keys.
  for (size_t start = 0; start < size && start < 64; start += 16) {
    vos::ShortString key = vos::MakeShortString(bytes.substr(start, data[start] % 32));
    vos::LookupResult result = vos::LookupKey(reader, key);
    if (report.problemCount == 0 && result.outcome == vos::LookupResult::Outcome::kError) std::abort();
  }
  vos::CloseReader(reader);
  return 0;
}
