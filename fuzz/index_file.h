// Puts index bytes in an anonymous in-memory file so that the reader's block reads walk them as they walk a file.
#pragma once

#include <string>
#include <string_view>

#include "reader/reader.h"

namespace vos::fuzz {

// Opens `bytes` as an index read in blocks from a fresh in-memory file; false with OpenIndex's reason.
bool MemoryIndex(std::string_view bytes, IndexFile& index, std::string& error);

}  // namespace vos::fuzz
