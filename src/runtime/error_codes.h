// The numbered codes a run can end with, and the mapping of Linux error numbers onto them.
#pragma once

#include <cstdint>

namespace vos {

enum class ErrorCode : uint16_t {
  kNone = 0,
  kFileNotFound = 2,
  kPathNotFound = 3,
  kTooManyOpenFiles = 4,
  kAccessDenied = 5,
  kInvalidHandle = 6,
  kWriteError = 101,
  kFileBusy = 162,
  kOutOfMemory = 203,
  kArithmeticOverflow = 215,
  kSystemFault = 217,
  kInvalidArgument = 218,
};

// The code for a failed open, read or write with system error `err`; kNone for numbers outside the table.
ErrorCode ErrnoMapping(int err);

}  // namespace vos
