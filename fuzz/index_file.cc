#include "index_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace vos::fuzz {

IndexReader MemoryIndex(std::string_view bytes) {
  IndexReader reader;
  reader.handle = ::memfd_create("index", 0);
  if (reader.handle < 0) std::abort();
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(reader.handle, bytes.data() + done, bytes.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  reader.fileSize = static_cast<int64_t>(bytes.size());
  return reader;
}

}  // namespace vos::fuzz
