// The error rule of the run: a failing operation records its code in IoStatus, the caller runs CheckIo straight
// after it, and a pending code ends the process through StopRun with the run-time error report on standard
// output and the code as exit status. Nothing is cleaned up at a stop.
#pragma once

#include <cstdint>

#include "runtime/error_codes.h"

namespace vos {

// The pending error code of the calling thread; 0 when none. Operations do nothing while it is set. Each thread
// has its own, so that the dictionary scan's reading thread records its read errors without a data race; only the
// main thread reports them (see ScanDictionary).
extern thread_local constinit uint16_t ioStatus;

// Records `code` as pending unless a code is pending already.
void SetIoStatus(ErrorCode code);

// Ends the run with the pending code, if any; returns only when IoStatus is 0.
void CheckIo();

// Writes the run-time error report for `code` and ends the process with `code` as exit status.
[[noreturn]] void StopRun(ErrorCode code);

// Ends the process normally with status `status`, without a report.
[[noreturn]] void EndRun(int status);

// Prepares the process for a run: ignores SIGPIPE and SIGXFSZ so that a closed pipe or the file size limit makes
// a write fail instead of killing the process, makes refused allocations end the run with code 203, and loads what
// the report needs so that a stop in low memory can still write it.
void InitRuntime();

}  // namespace vos
