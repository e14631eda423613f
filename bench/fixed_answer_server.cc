// A DICT-shaped server that does no work, for bench/serve_compare.sh: it greets with 220, answers QUIT with 221
// and every other line with the same DEFINE answer of --bytes bytes, and runs the way vos-serve does (one epoll
// thread per processor, each polling for 50 µs after work and giving way on empty polls before it sleeps). What
// it reaches with the load generator is what the machine, its loopback TCP and the client allow any server that
// answers one command per round trip; a real server can only come close to it. --work-ns makes it spend that long
// on each answer (busy, as a real server's look-up is), to see what a given cost per answer leaves of the rate.
// Loopback only.
//
// usage: fixed_answer_server --port P [--bytes N] [--threads T] [--work-ns NANOSECONDS]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void Die(const char* message) {
  std::perror(message);
  std::exit(2);
}

// A DEFINE answer of exactly `bytes` bytes (at least its frame).
std::string MakeAnswer(size_t bytes) {
  const std::string head = "150 1 definitions retrieved\r\n151 \"word\" fixed \"fixed answers\"\r\n";
  const std::string tail = ".\r\n250 ok\r\n";
  std::string body;
  while (head.size() + body.size() + tail.size() < bytes) {
    size_t room = bytes - head.size() - body.size() - tail.size();
    if (room < 3) {
      body.insert(0, room, 'x');
      break;
    }
    size_t line = std::min<size_t>(room - 2, 70);
    body += std::string(line, 'x') + "\r\n";
  }
  return head + body + tail;
}

struct Settings {
  int port = 0;
  size_t bytes = 500;
  int threads = 0;
  std::chrono::nanoseconds work{0};
};

// Keeps the processor busy for `work`.
void Work(std::chrono::nanoseconds work) {
  if (work.count() == 0) return;
  auto until = Clock::now() + work;
  while (Clock::now() < until) {
  }
}

// The bytes of a connection's unfinished command line.
using Partial = std::unordered_map<int, std::string>;

// Answers what `fd` has sent; false when the connection is to be closed.
bool Serve(int fd, const std::string& answer, std::chrono::nanoseconds work, Partial& partial) {
  char buffer[16384];
  ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
  if (n == 0) return false;
  std::string& line = partial[fd];
  std::string out;
  bool quit = false;
  for (ssize_t i = 0; i < n; ++i) {
    if (buffer[i] != '\n') {
      if (line.size() < 1024) line += buffer[i];
      continue;
    }
    if (line.rfind("QUIT", 0) == 0 || line.rfind("quit", 0) == 0) {
      out += "221 bye\r\n";
      quit = true;
      break;
    }
    Work(work);
    out += answer;
    line.clear();
  }
  if (!out.empty()) ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
  return !quit;
}

void Run(int listener, const std::string& answer, std::chrono::nanoseconds work) {
  int poller = ::epoll_create1(EPOLL_CLOEXEC);
  if (poller < 0) Die("epoll_create1");
  epoll_event event{};
  event.events = EPOLLIN | EPOLLEXCLUSIVE;
  event.data.fd = listener;
  if (::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event) != 0) Die("epoll_ctl");
  Partial partial;
  epoll_event events[64];
  auto until = Clock::now();
  for (;;) {
    bool polling = Clock::now() < until;
    int ready = ::epoll_wait(poller, events, 64, polling ? 0 : -1);
    if (ready <= 0) {
      if (polling) ::sched_yield();
      continue;
    }
    for (int e = 0; e < ready; ++e) {
      int fd = events[e].data.fd;
      if (fd == listener) {
        int client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) continue;
        int one = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        constexpr std::string_view kBanner = "220 fixed <1.1@fixed>\r\n";
        ::send(client, kBanner.data(), kBanner.size(), MSG_NOSIGNAL);
        epoll_event watch{};
        watch.events = EPOLLIN;
        watch.data.fd = client;
        ::epoll_ctl(poller, EPOLL_CTL_ADD, client, &watch);
      } else if (!Serve(fd, answer, work, partial)) {
        partial.erase(fd);
        ::close(fd);  // also takes it off the poller
      }
    }
    until = Clock::now() + std::chrono::microseconds(50);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string_view name = argv[i];
    if (name == "--port") settings.port = std::atoi(argv[i + 1]);
    else if (name == "--bytes")
      settings.bytes = static_cast<size_t>(std::clamp(std::atol(argv[i + 1]), 0L, 1L << 20));
    else if (name == "--threads") settings.threads = std::atoi(argv[i + 1]);
    else if (name == "--work-ns")
      settings.work = std::chrono::nanoseconds(std::clamp(std::atol(argv[i + 1]), 0L, 1'000'000L));
    else {
      std::fprintf(stderr,
                   "usage: fixed_answer_server --port P [--bytes N] [--threads T] [--work-ns NANOSECONDS]\n");
      return 2;
    }
  }
  if (settings.port <= 0 || settings.port > 65535) {
    std::fprintf(stderr, "fixed_answer_server: --port is required\n");
    return 2;
  }
  int threads = settings.threads > 0 ? settings.threads
                                     : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener < 0) Die("socket");
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(settings.port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // loopback only
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Die("bind");
  if (::listen(listener, SOMAXCONN) != 0) Die("listen");
  const std::string answer = MakeAnswer(settings.bytes);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) workers.emplace_back(Run, listener, std::cref(answer), settings.work);
  for (auto& worker : workers) worker.join();
}
