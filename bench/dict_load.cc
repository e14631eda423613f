// A load generator for DICT protocol servers, for bench/serve_compare.sh. Loopback only, and every run is bounded
// by a count and a time limit. Prints one line: the mode, answers per second, median and 99th percentile latency,
// the answers and errors counted, and the mean bytes received per answer.
//
// usage: dict_load --port P --mode MODE --words FILE [--db NAME] [--count N] [--seconds S] [--connections C]
//                  [--since NANOSECONDS]
// modes: wait (one connection, DEFINE, each answer awaited), quick (the same, acknowledging at once what has come
//        of an answer that is not yet complete),
//        parallel (C connections, quick, all driven by one thread), connect (connect, DEFINE, QUIT each time), prefix (MATCH prefix of the
//        first four letters), lev (MATCH lev of the word with one letter changed), first (try until a DEFINE is
//        answered; prints the time since --since, a CLOCK_REALTIME stamp in nanoseconds)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Settings {
  int port = 0;
  std::string mode;
  std::string wordsPath;
  std::string db = "*";
  long count = 20000;
  double seconds = 30;
  int connections = 16;
  long long since = 0;
};

[[noreturn]] void Die(const std::string& message) {
  std::fprintf(stderr, "dict_load: %s\n", message.c_str());
  std::exit(2);
}

struct Client {
  int fd = -1;
  bool quickAck = false;
  std::string buffer;
  size_t start = 0;     // where the unread lines begin in `buffer`
  bool inText = false;  // inside a 151/152/11x text block of the answer being read
  long received = 0;    // bytes received over all its connections
};

bool Connect(Client& client, int port, bool quickAck) {
  client.fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (client.fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // loopback only
  timeval timeout{5, 0};
  ::setsockopt(client.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  int one = 1;
  ::setsockopt(client.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  client.quickAck = quickAck;
  client.buffer.clear();
  client.start = 0;
  client.inText = false;
  if (::connect(client.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(client.fd);
    client.fd = -1;
    return false;
  }
  return true;
}

void Disconnect(Client& client) {
  if (client.fd >= 0) ::close(client.fd);
  client.fd = -1;
}

// Reads what the server has sent so far (waiting for some when there is none) onto the client's buffer.
bool Receive(Client& client) {
  client.buffer.erase(0, client.start);
  client.start = 0;
  char chunk[65536];
  ssize_t n = ::recv(client.fd, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  client.buffer.append(chunk, static_cast<size_t>(n));
  client.received += n;
  return true;
}

// What the client has of an answer is acknowledged at once instead of after the delayed acknowledgement, so that
// a server holding back the rest (Nagle's algorithm) sends it without waiting. The kernel resets the setting, so
// it is made after every read that leaves the answer incomplete. A complete answer is acknowledged by the next
// command, which leaves at once.
void AcknowledgePart(const Client& client) {
  if (!client.quickAck) return;
  int one = 1;
  ::setsockopt(client.fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

// Consumes the whole lines of the buffer up to the final status line of the answer being read and returns that
// line's code, or -1 when the buffer ends before it.
int TakeAnswer(Client& client) {
  for (;;) {
    size_t end = client.buffer.find('\n', client.start);
    if (end == std::string::npos) return -1;
    std::string_view line(client.buffer.data() + client.start, end - client.start);
    client.start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (client.inText) {
      if (line == ".") client.inText = false;
      continue;
    }
    if (line.size() < 3) continue;
    int code = std::atoi(std::string(line.substr(0, 3)).c_str());
    if (code == 151 || code == 152 || (code >= 110 && code <= 114)) {
      client.inText = true;
    } else if (code >= 200) {
      return code;
    }
  }
}

// Reads one whole answer up to its final status line; returns that line's code, or 0 when the connection failed.
int ReadAnswer(Client& client) {
  for (bool part = client.buffer.size() > client.start;; part = true) {
    int code = TakeAnswer(client);
    if (code >= 0) return code;
    if (part) AcknowledgePart(client);
    if (!Receive(client)) return 0;
  }
}

bool Send(Client& client, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(client.fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string Quote(const std::string& word) {
  std::string quoted = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

// The word with its middle byte (an ASCII letter when there is one) replaced, for lev.
std::string Typo(const std::string& word) {
  std::string typo = word;
  for (size_t i = typo.size() / 2; i < typo.size(); ++i) {
    if (typo[i] >= 'a' && typo[i] <= 'y') {
      typo[i] = static_cast<char>(typo[i] + 1);
      return typo;
    }
  }
  return typo + "e";
}

// The first four characters (UTF-8 aware), for prefix.
std::string Prefix(const std::string& word) {
  size_t characters = 0;
  size_t i = 0;
  while (i < word.size() && characters < 4) {
    ++i;
    while (i < word.size() && (static_cast<unsigned char>(word[i]) & 0xC0) == 0x80) ++i;
    ++characters;
  }
  return word.substr(0, i);
}

std::string Command(const Settings& settings, const std::string& word) {
  if (settings.mode == "prefix") return "MATCH " + settings.db + " prefix " + Quote(Prefix(word)) + "\r\n";
  if (settings.mode == "lev") return "MATCH " + settings.db + " lev " + Quote(Typo(word)) + "\r\n";
  return "DEFINE " + settings.db + " " + Quote(word) + "\r\n";
}

// How often a session may connect again during `count` commands: a server may end a connection after so many
// queries, as clients expect, but one that keeps failing ends the session.
long ReconnectLimit(long count) { return count / 100 + 10; }

struct Tally {
  std::mutex mutex;
  std::vector<double> latencies;  // milliseconds
  long errors = 0;
  long bytes = 0;
};

// One connection answering `count` commands in lock step (or until `deadline`).
void RunSession(const Settings& settings, const std::vector<std::string>& words, size_t first, long count,
                Clock::time_point deadline, bool quickAck, Tally& tally) {
  std::vector<double> latencies;
  long errors = 0;
  long reconnects = 0;
  Client client;
  bool connectEach = settings.mode == "connect";
  if (!connectEach && (!Connect(client, settings.port, quickAck) || ReadAnswer(client) != 220)) {
    std::lock_guard lock(tally.mutex);
    tally.errors += count;
    return;
  }
  for (long i = 0; i < count && Clock::now() < deadline; ++i) {
    const std::string& word = words[(first + static_cast<size_t>(i) * 7919) % words.size()];
    auto start = Clock::now();
    int code = 0;
    if (connectEach) {
      if (Connect(client, settings.port, quickAck) && ReadAnswer(client) == 220 &&
          Send(client, Command(settings, word) + "QUIT\r\n")) {
        code = ReadAnswer(client);
        if (ReadAnswer(client) != 221) code = 0;
      }
      Disconnect(client);
    } else if (Send(client, Command(settings, word))) {
      code = ReadAnswer(client);
    }
    if (code == 0 && !connectEach) {
      // A server may end a connection after so many queries; the client connects again, as clients do, and
      // the query is not counted.
      Disconnect(client);
      if (++reconnects > ReconnectLimit(count) || !Connect(client, settings.port, quickAck) || ReadAnswer(client) != 220) {
        ++errors;
        break;
      }
      continue;
    }
    if (code == 0 || (code >= 500 && code != 552)) {
      ++errors;
      continue;
    }
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  Disconnect(client);
  std::lock_guard lock(tally.mutex);
  tally.latencies.insert(tally.latencies.end(), latencies.begin(), latencies.end());
  tally.errors += errors;
  tally.bytes += client.received;
}

// `settings.connections` connections answering `settings.count` commands each in lock step, all driven by this one
// thread: blocking threads would each be woken for every answer, and that switching would take from the server
// the processor time it shares with the client.
void RunParallel(const Settings& settings, const std::vector<std::string>& words, Clock::time_point deadline,
                 Tally& tally) {
  struct Session {
    Client client;
    size_t first = 0;  // where its words start
    long sent = 0;     // commands sent, the one awaited included
    long reconnects = 0;
    Clock::time_point start;
  };
  int poller = ::epoll_create1(EPOLL_CLOEXEC);
  if (poller < 0) Die("epoll_create1 failed");
  std::vector<Session> sessions(static_cast<size_t>(settings.connections));
  // Sends a session's next command and watches for its answer; false when the connection failed.
  auto next = [&](size_t s) {
    Session& session = sessions[s];
    const std::string& word = words[(session.first + static_cast<size_t>(session.sent) * 7919) % words.size()];
    ++session.sent;
    session.start = Clock::now();
    return Send(session.client, Command(settings, word));
  };
  auto open = [&](size_t s) {
    Client& client = sessions[s].client;
    if (!Connect(client, settings.port, true) || ReadAnswer(client) != 220) return false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = s;
    return ::epoll_ctl(poller, EPOLL_CTL_ADD, client.fd, &event) == 0;
  };
  size_t active = 0;
  for (size_t s = 0; s < sessions.size(); ++s) {
    sessions[s].first = s * 1000;
    if (open(s) && next(s)) {
      ++active;
    } else {
      Disconnect(sessions[s].client);
      tally.errors += settings.count;
    }
  }
  long errors = 0;
  std::vector<double> latencies;
  latencies.reserve(static_cast<size_t>(settings.count) * sessions.size());
  epoll_event events[64];
  while (active > 0 && Clock::now() < deadline) {
    int ready = ::epoll_wait(poller, events, 64, 100);
    for (int e = 0; e < ready; ++e) {
      size_t s = events[e].data.u64;
      Session& session = sessions[s];
      int code = Receive(session.client) ? TakeAnswer(session.client) : 0;
      if (code < 0) {  // more of the answer to come
        AcknowledgePart(session.client);
        continue;
      }
      bool more = session.sent < settings.count;
      if (code == 0) {
        // A server may end a connection after so many queries; the client connects again, as clients do, and
        // asks the same query again, which is not counted twice.
        Disconnect(session.client);
        --session.sent;
        more = ++session.reconnects <= ReconnectLimit(settings.count) && open(s);
        if (!more) ++errors;
      } else if (code >= 500 && code != 552) {
        ++errors;
      } else {
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - session.start).count());
      }
      if (!more || !next(s)) {
        Disconnect(session.client);  // closing the socket also takes it off the poller
        --active;
      }
    }
  }
  long received = 0;
  for (Session& session : sessions) {
    Disconnect(session.client);
    received += session.client.received;
  }
  ::close(poller);
  std::lock_guard lock(tally.mutex);
  tally.latencies.insert(tally.latencies.end(), latencies.begin(), latencies.end());
  tally.errors += errors;
  tally.bytes += received;
}

double Percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    std::string value = argv[i + 1];
    if (name == "--port") settings.port = std::atoi(value.c_str());
    else if (name == "--mode") settings.mode = value;
    else if (name == "--words") settings.wordsPath = value;
    else if (name == "--db") settings.db = value;
    else if (name == "--count") settings.count = std::atol(value.c_str());
    else if (name == "--seconds") settings.seconds = std::atof(value.c_str());
    else if (name == "--connections") settings.connections = std::atoi(value.c_str());
    else if (name == "--since") settings.since = std::atoll(value.c_str());
    else Die("unknown option " + name);
  }
  if (settings.port <= 0 || settings.port > 65535) Die("--port is required");
  settings.count = std::clamp(settings.count, 1L, 10'000'000L);
  settings.seconds = std::clamp(settings.seconds, 0.1, 600.0);
  settings.connections = std::clamp(settings.connections, 1, 256);
  std::vector<std::string> words;
  std::ifstream in(settings.wordsPath);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) words.push_back(line);
  }
  if (words.empty()) Die("no words in " + settings.wordsPath);
  auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(settings.seconds));

  if (settings.mode == "first") {
    // Try to be answered every millisecond until the deadline; report the time since the server was started.
    settings.mode = "define";
    while (Clock::now() < deadline) {
      Client client;
      if (Connect(client, settings.port, true) && ReadAnswer(client) == 220 &&
          Send(client, Command(settings, words[0])) && ReadAnswer(client) == 250) {
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        long long elapsed = now.tv_sec * 1'000'000'000LL + now.tv_nsec - settings.since;
        std::printf("first %.3f s\n", static_cast<double>(elapsed) / 1e9);
        Disconnect(client);
        return 0;
      }
      Disconnect(client);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Die("no answer before the time limit");
  }

  Tally tally;
  auto start = Clock::now();
  if (settings.mode == "parallel") {
    RunParallel(settings, words, deadline, tally);
  } else if (settings.mode == "wait" || settings.mode == "quick" || settings.mode == "connect" ||
             settings.mode == "prefix" || settings.mode == "lev") {
    RunSession(settings, words, 0, settings.count, deadline, settings.mode != "wait", tally);
  } else {
    Die("unknown mode " + settings.mode);
  }
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  size_t answered = tally.latencies.size();
  std::printf("%s %.0f/s p50 %.3f ms p99 %.3f ms answers %zu errors %ld bytes %.0f\n", settings.mode.c_str(),
              static_cast<double>(answered) / elapsed, Percentile(tally.latencies, 0.5),
              Percentile(tally.latencies, 0.99), answered, tally.errors,
              answered > 0 ? static_cast<double>(tally.bytes) / static_cast<double>(answered) : 0.0);
  return tally.errors > 0 && answered == 0 ? 1 : 0;
}
