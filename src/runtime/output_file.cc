#include "runtime/output_file.h"

#include <cstring>

#include "runtime/run_stop.h"
#include "runtime/sys_io.h"

namespace vos {
namespace {

// One system write of `count` bytes; anything short of all of them is a failed write.
void WriteOut(const OutputFile& file, const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  int64_t written = WriteOnce(file.handle, bytes, count);
  if (written != static_cast<int64_t>(count)) SetIoStatus(ErrorCode::kWriteError);
}

}  // namespace

OutputFile CreateOutputFile(std::string_view path, size_t bufferSize) {
  OutputFile file;
  if (ioStatus != 0) return file;
  if (path.empty()) {
    file.handle = kStandardOutput;
  } else if (path.size() > kMaxPathLength) {
    SetIoStatus(ErrorCode::kPathNotFound);
    return file;
  } else if (IsInputFileOfRun(path)) {
    // Truncating the dictionary or the exclusion list we just read would destroy the user's data.
    SetIoStatus(ErrorCode::kAccessDenied);
    return file;
  } else {
    int handle = OpenPath(path, kOpenCreateReadWrite, 0666);
    if (handle < 0) {
      // An error outside the table records nothing; the first write on the bad handle then fails with 101.
      SetIoStatus(ErrnoMapping(-handle));
      return file;
    }
    file.handle = handle;
  }
  if (bufferSize > 0) {
    file.buffer = std::make_unique_for_overwrite<uint8_t[]>(bufferSize);
    file.capacity = bufferSize;
  }
  return file;
}

void WriteBlock(OutputFile& file, const uint8_t* bytes, int64_t count) {
  if (ioStatus != 0 || count <= 0) return;
  auto size = static_cast<size_t>(count);
  if (size <= file.capacity - file.used) {
    std::memcpy(file.buffer.get() + file.used, bytes, size);
    file.used += size;
    return;
  }
  FlushOutputFile(file);
  if (ioStatus != 0) return;
  if (size >= file.capacity) {
    WriteOut(file, bytes, size);
    return;
  }
  std::memcpy(file.buffer.get(), bytes, size);
  file.used = size;
}

void FlushOutputFile(OutputFile& file) {
  if (ioStatus != 0) return;
  size_t count = file.used;
  // Emptied whatever the outcome: after a shortfall nothing more may follow the bytes that did reach the file.
  file.used = 0;
  WriteOut(file, file.buffer.get(), count);
}

void CloseOutputFile(OutputFile& file) {
  if (file.handle >= 0) sys.close(file.handle);
  file.handle = -1;
}

}  // namespace vos
