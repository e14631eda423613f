#include "index_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace vos::fuzz {

bool MemoryIndex(std::string_view bytes, IndexFile& index, std::string& error) {
  int handle = ::memfd_create("index", 0);
  if (handle < 0) std::abort();
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(handle, bytes.data() + done, bytes.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  bool open = OpenIndex("/proc/self/fd/" + std::to_string(handle), false, index, error);
  ::close(handle);
  return open;
}

}  // namespace vos::fuzz
