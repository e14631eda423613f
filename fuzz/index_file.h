// Puts index bytes in an anonymous in-memory file so that the reader's positioned reads can walk them.
#pragma once

#include <string_view>

#include "lookup/lookup.h"

namespace vos::fuzz {

// An IndexReader over a fresh in-memory file holding `bytes`; close it with CloseReader.
IndexReader MemoryIndex(std::string_view bytes);

}  // namespace vos::fuzz
