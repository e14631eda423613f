// The server: accepts connections on one address, keeps the set of open connections for the connection limit
// and a clean stop, holds the current databases and swaps them on a reload, and writes the log. Each of a few
// threads runs an Asio io_context of its own, and each connection lives on one of them from start to end, so a
// command is read, answered and written on one thread without hand-overs.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serve/databases.h"
#include "serve/dict_protocol.h"

namespace vos {

struct ServerOptions {
  std::string host = "127.0.0.1";
  std::string port = "2628";
  int64_t maxConnections = 512;
  int64_t idleTimeoutSeconds = 300;
  int threads = 0;  // 0: as many as the machine has cores, at most 4
  int64_t busyPollMicroseconds = 50;  // how long a thread keeps polling after work before it sleeps; 0: never
  bool quiet = false;
  std::vector<DatabaseConfig> databases;
};

class Connection;

class Server {
 public:
  // Binds the address; throws asio::system_error when it cannot.
  Server(const ServerOptions& options, DatabaseSet databases);

  // Serves until SIGTERM or SIGINT, then tells every open connection 421 and returns.
  void Run();

  // The address actually bound, "HOST:PORT".
  std::string Address() const;

  // For connections: the current databases, facts for STATUS, the log, and leaving the set.
  std::shared_ptr<const DatabaseSet> Databases();
  ServerFacts Facts();
  std::string NextMessageId();
  void Log(const std::string& line);
  void Remove(const std::shared_ptr<Connection>& connection);
  const ServerOptions& Options() const { return options_; }
  // Few connections at a time may hold an answer larger than kLargeAnswer (see Connection::AnswerCommands).
  // True when `connection` takes one of those places; otherwise it waits in line, and the place is handed to it
  // through Connection::PlaceGranted once a holder returns one.
  bool TakeLargeAnswerPlace(const std::shared_ptr<Connection>& connection);
  void ReturnLargeAnswerPlace();
  // Whether the threads poll after work and `slot`'s thread has one connection only.
  bool PollsAlone(size_t slot) const {
    return options_.busyPollMicroseconds > 0 && load_[slot].load(std::memory_order_relaxed) == 1;
  }

 private:
  void Accept();
  void StopContexts();
  void WaitForSignals();
  void WaitForReload();
  void Reload();
  void Shutdown();
  // Runs `job` on a thread of its own once the job before it has ended, so that checking and cataloguing a large
  // index never holds up answering. Each job's thread joins the one before; the last is joined when the server
  // ends.
  void RunJob(std::function<void()> job);
  void CompleteDatabases();
  // Whether a shutdown has begun; background jobs end early then.
  bool Stopping();
  // Puts `database` in the place of the database with its name, when that is still `replaced`.
  bool Replace(const Database* replaced, std::shared_ptr<const Database> database);

  ServerOptions options_;
  std::vector<std::unique_ptr<asio::io_context>> contexts_;  // the first also accepts and takes the signals
  asio::ip::tcp::acceptor acceptor_;
  asio::signal_set stopSignals_;
  asio::signal_set reloadSignals_;
  asio::steady_timer shutdownDeadline_;
  asio::steady_timer acceptRetry_;  // after a failed accept
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::string host_;

  std::mutex mutex_;  // guards the fields below
  std::map<std::shared_ptr<Connection>, size_t> connections_;  // and the context each lives on
  std::shared_ptr<const DatabaseSet> databases_;
  std::vector<std::atomic<int64_t>> load_;  // open connections on each context; changed under the lock
  bool stopping_ = false;
  bool reloadWaiting_ = false;  // a reload is queued and has not begun
  int64_t largeAnswerPlacesTaken_ = 0;
  std::deque<std::weak_ptr<Connection>> largeAnswerWaiters_;

  // Read for every command's facts without the lock.
  std::atomic<int64_t> connectionsOpen_{0};
  std::atomic<int64_t> connectionsServed_{0};

  std::thread lastJob_;  // guarded by mutex_
  std::atomic<int64_t> messageCounter_{0};
  std::mutex logMutex_;
};

}  // namespace vos
