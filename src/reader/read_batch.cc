// Positioned reads of many pieces of one file in one system call. A DEFINE reads the first bytes of each entry of
// the word, at places all over the dictionary; on machines where a system call is dear (virtual machines above
// all), handing the kernel all of them at once through io_uring costs about one read and a half for three.
// A thread opts in, as the ring's own set-up costs a fresh process about 0.3 ms.
#include "reader/read_batch.h"

#include <liburing.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "reader/reader.h"

namespace vos {
namespace {

constexpr unsigned kRingEntries = 32;

// One ring per thread that asks for it, made on its first batch. A kernel without io_uring, or one that forbids
// it (a seccomp filter, a sysctl), leaves the thread reading piece by piece.
struct ThreadRing {
  io_uring ring{};
  bool wanted = false;
  bool tried = false;
  bool usable = false;
  ~ThreadRing() {
    if (usable) io_uring_queue_exit(&ring);
  }
  bool Ready() {
    if (wanted && !tried) {
      tried = true;
      usable = io_uring_queue_init(kRingEntries, &ring, 0) == 0;
    }
    return usable;
  }
};

thread_local ThreadRing threadRing;

// Reads up to kRingEntries pieces through the ring, setting each piece's `got`. A piece the ring could not read
// keeps what it has, and the plain reads after this give it its bytes or its error. False when the ring itself
// failed; the caller then stops using it.
bool ReadThroughRing(io_uring& ring, int handle, std::span<ReadPiece> pieces) {
  for (size_t i = 0; i < pieces.size(); ++i) {
    io_uring_sqe* sqe = io_uring_get_sqe(&ring);
    if (sqe == nullptr) return false;  // a drained ring of kRingEntries always has room
    io_uring_prep_read(sqe, handle, pieces[i].bytes, static_cast<unsigned>(pieces[i].want),
                       static_cast<uint64_t>(pieces[i].position));
    io_uring_sqe_set_data64(sqe, i);
  }
  // The kernel answers -EINTR only when it has taken none of them, which stay queued for the next try.
  int submitted = io_uring_submit_and_wait(&ring, static_cast<unsigned>(pieces.size()));
  while (submitted == -EINTR) submitted = io_uring_submit_and_wait(&ring, static_cast<unsigned>(pieces.size()));
  // Whatever the kernel took is collected before this returns, so that no read lands in the pieces afterwards.
  for (int pending = std::max(submitted, 0); pending > 0;) {
    io_uring_cqe* cqe = nullptr;
    int waited = io_uring_wait_cqe(&ring, &cqe);
    if (waited == -EINTR) continue;
    if (waited < 0) return false;
    if (cqe->res > 0) pieces[io_uring_cqe_get_data64(cqe)].got = cqe->res;
    io_uring_cqe_seen(&ring, cqe);
    --pending;
  }
  return submitted == static_cast<int>(pieces.size());
}

}  // namespace

int64_t ReadAt(int handle, int64_t position, void* buffer, int64_t count) {
  auto* bytes = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    ssize_t n = ::pread(handle, bytes + done, static_cast<size_t>(count - done), position + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
  }
  return done;
}

void EnableBatchReads() { threadRing.wanted = true; }

bool ReadPieces(int handle, std::span<ReadPiece> pieces) {
  for (ReadPiece& piece : pieces) piece.got = 0;
  // A single piece gains nothing from the ring.
  ThreadRing& ring = threadRing;
  if (pieces.size() > 1 && ring.Ready()) {
    for (size_t start = 0; start < pieces.size(); start += kRingEntries) {
      auto part = pieces.subspan(start, std::min<size_t>(kRingEntries, pieces.size() - start));
      if (!ReadThroughRing(ring.ring, handle, part)) {
        // A ring that fails once is not trusted again on this thread; the completions it may still owe are
        // dropped with it.
        io_uring_queue_exit(&ring.ring);
        ring.usable = false;
        break;
      }
    }
  }
  // What the ring left short (a file that ends, or a kernel that stops early) is read on plainly, so that a
  // piece ends short only where the file does.
  for (ReadPiece& piece : pieces) {
    if (piece.got == piece.want) continue;
    int64_t rest = ReadAt(handle, piece.position + piece.got, piece.bytes + piece.got, piece.want - piece.got);
    if (rest < 0) return false;
    piece.got += rest;
  }
  return true;
}

}  // namespace vos
