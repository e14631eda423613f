// In-memory stand-ins for the system calls, so that fuzz targets drive the real line input and index writer:
// reads come from a byte string, writes to standard output are dropped, writes to other handles are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vos::fuzz {

// Routes vos::sys through memory: the next opened file reads `input`; block writes append to WrittenBytes().
void UseMemoryIo(std::string_view input);

// Everything written to handles other than standard output since UseMemoryIo.
std::string& WrittenBytes();

// Restores the real system calls.
void UseRealIo();

}  // namespace vos::fuzz
