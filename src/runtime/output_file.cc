#include "runtime/output_file.h"

#include "runtime/run_stop.h"
#include "runtime/sys_io.h"

namespace vos {

OutputFile CreateOutputFile(std::string_view path) {
  OutputFile file;
  if (ioStatus != 0) return file;
  if (path.empty()) {
    file.handle = kStandardOutput;
    return file;
  }
  if (path.size() > kMaxPathLength) {
    SetIoStatus(ErrorCode::kPathNotFound);
    return file;
  }
  // Truncating the dictionary or the exclusion list we just read would destroy the user's data.
  if (IsInputFileOfRun(path)) {
    SetIoStatus(ErrorCode::kAccessDenied);
    return file;
  }
  int handle = OpenPath(path, kOpenCreateReadWrite, 0666);
  if (handle < 0) {
    // An error outside the table records nothing; the first block write on the bad handle then fails with 101.
    SetIoStatus(ErrnoMapping(-handle));
    return file;
  }
  file.handle = handle;
  return file;
}

void WriteBlock(OutputFile& file, const uint8_t* bytes, int64_t count) {
  if (ioStatus != 0 || count <= 0) return;
  int64_t written = WriteOnce(file.handle, bytes, static_cast<size_t>(count));
  if (written != count) SetIoStatus(ErrorCode::kWriteError);
}

void CloseOutputFile(OutputFile& file) {
  if (file.handle >= 0) sys.close(file.handle);
  file.handle = -1;
}

}  // namespace vos
