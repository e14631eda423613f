#include "serve/server.h"

#include <unistd.h>

#include <csignal>
#include <algorithm>
#include <thread>

#include "serve/connection.h"

namespace vos {
namespace {

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

asio::ip::tcp::endpoint Resolve(asio::io_context& io, const std::string& host, const std::string& port) {
  asio::ip::tcp::resolver resolver(io);
  auto results = resolver.resolve(host, port, asio::ip::tcp::resolver::passive);
  return results.begin()->endpoint();
}

std::vector<std::unique_ptr<asio::io_context>> MakeContexts(int threads) {
  if (threads <= 0) threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
  std::vector<std::unique_ptr<asio::io_context>> contexts;
  // One thread runs each: the hint lets Asio leave out its locking.
  for (int i = 0; i < threads; ++i) contexts.push_back(std::make_unique<asio::io_context>(1));
  return contexts;
}

// At most this many ready handlers run in one turn of a polling thread. Asio's poll() runs until nothing is ready,
// and a stream of new connections keeps it going without end (each accept is armed again and completes at once),
// while the reads of the connections accepted meanwhile wait for the end of the turn: clients that had already
// gone stayed counted, and the limit turned new ones away.
constexpr size_t kHandlersPerTurn = 16;

size_t PollSome(asio::io_context& context) {
  size_t ran = 0;
  while (ran < kHandlersPerTurn && context.poll_one() > 0) ++ran;
  return ran;
}

// Runs the handlers of `context` until it stops. A thread that has just done work keeps polling for `busyPoll`
// before it sleeps: a client that waits for each answer sends its next command within microseconds, and waking a
// sleeping thread (on virtual machines, a halted processor) costs more than the answer itself. Under steady load
// every poll finds work, so the spinning only fills the gaps between commands. An empty poll gives way to any
// other thread waiting for this processor: on a machine with few cores that may be the clients themselves.
void RunContext(asio::io_context& context, std::chrono::microseconds busyPoll) {
  using Clock = std::chrono::steady_clock;
  // Each thread answers DEFINEs for as long as the server runs: its ring is set up once.
  EnableBatchReads();
  while (!context.stopped()) {
    if (busyPoll.count() > 0) {
      auto until = Clock::now() + busyPoll;
      for (unsigned turn = 0; !context.stopped(); ++turn) {
        // A connection alone on this thread is read straight from its socket. The rest of the thread's work
        // (timers, new connections) is then polled, and the processor offered to others, on every fourth turn
        // only: each is a system call, and a turn that is one read notices the next command soonest.
        size_t work = ReadPolledConnection() ? 1 : 0;
        bool quiet = PollingAConnection() && turn % 4 != 0;
        if (!quiet) work += PollSome(context);
        StartDeferredReads();
        if (work > 0) {
          until = Clock::now() + busyPoll;
        } else if (Clock::now() >= until) {
          break;
        } else if (!quiet) {
          std::this_thread::yield();
        }
      }
      ReleasePolledConnection();
    }
    context.run_one();
    StartDeferredReads();
  }
}

// Moves an accepted socket onto `context`; false when it cannot, with the socket left on its own context (or
// closed, when not even that is possible).
bool MoveSocket(asio::io_context& context, asio::ip::tcp::socket& socket) {
  asio::error_code ec;
  auto protocol = socket.local_endpoint(ec).protocol();
  if (ec) return false;
  int handle = socket.release(ec);
  if (ec) return false;
  asio::ip::tcp::socket moved(context);
  moved.assign(protocol, handle, ec);
  if (!ec) {
    socket = std::move(moved);
    return true;
  }
  socket.assign(protocol, handle, ec);
  if (ec) ::close(handle);
  return false;
}

}  // namespace

Server::Server(const ServerOptions& options, DatabaseSet databases)
    : options_(options),
      contexts_(MakeContexts(options.threads)),
      acceptor_(*contexts_[0]),
      stopSignals_(*contexts_[0], SIGTERM, SIGINT),
      reloadSignals_(*contexts_[0], SIGHUP),
      shutdownDeadline_(*contexts_[0]),
      acceptRetry_(*contexts_[0]),
      host_(HostName()),
      databases_(std::make_shared<const DatabaseSet>(std::move(databases))),
      load_(contexts_.size()) {
  asio::ip::tcp::endpoint endpoint = Resolve(*contexts_[0], options.host, options.port);
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(asio::socket_base::max_listen_connections);
}

std::string Server::Address() const {
  auto endpoint = acceptor_.local_endpoint();
  std::string host = endpoint.address().to_string();
  if (endpoint.address().is_v6()) host = "[" + host + "]";
  return host + ":" + std::to_string(endpoint.port());
}

void Server::Run() {
  // A client that goes away mid-answer must cost a failed write, never the process.
  std::signal(SIGPIPE, SIG_IGN);
  Accept();
  WaitForSignals();
  RunJob([this] { CompleteDatabases(); });
  // The other contexts have no work until connections arrive; the guards keep them running until the stop.
  std::vector<asio::executor_work_guard<asio::io_context::executor_type>> guards;
  std::vector<std::thread> workers;
  const std::chrono::microseconds busyPoll(options_.busyPollMicroseconds);
  for (size_t i = 1; i < contexts_.size(); ++i) {
    guards.push_back(asio::make_work_guard(*contexts_[i]));
    workers.emplace_back([this, i, busyPoll] { RunContext(*contexts_[i], busyPoll); });
  }
  RunContext(*contexts_[0], busyPoll);
  for (auto& worker : workers) worker.join();
  std::thread lastJob;
  {
    std::lock_guard lock(mutex_);
    lastJob.swap(lastJob_);
  }
  if (lastJob.joinable()) lastJob.join();
}

void Server::RunJob(std::function<void()> job) {
  std::lock_guard lock(mutex_);
  lastJob_ = std::thread([previous = std::move(lastJob_), job = std::move(job)]() mutable {
    if (previous.joinable()) previous.join();
    job();
  });
}

bool Server::Replace(const Database* replaced, std::shared_ptr<const Database> database) {
  std::lock_guard lock(mutex_);
  DatabaseSet next = *databases_;
  for (auto& entry : next) {
    if (entry.get() != replaced) continue;
    entry = std::move(database);
    databases_ = std::make_shared<const DatabaseSet>(std::move(next));
    return true;
  }
  return false;
}

void Server::CompleteDatabases() {
  std::shared_ptr<const DatabaseSet> current = Databases();
  for (const auto& database : *current) {
    if (database->complete || database->failedCheck) continue;
    if (Stopping()) return;
    std::shared_ptr<const Database> complete;
    std::string error;
    bool passed = CompleteDatabase(*database, complete, error);
    if (!passed) Log(database->config.name + ": " + error + "; answering from it as it is, MATCH by passes over it");
    if (complete && Replace(database.get(), complete) && passed) {
      Log(database->config.name + ": checked, " + std::to_string(CatalogSize(complete->catalog)) + " keys");
    }
  }
}

void Server::Accept() {
  // The first context accepts every connection. A connection then lives on the context with the fewest, the
  // accepting one when it is among them: a client that connects, asks and quits is answered by the thread that is
  // already awake instead of waking another, and steady connections still spread evenly over the threads.
  acceptor_.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (!ec) {
      std::shared_ptr<Connection> connection;
      {
        std::lock_guard lock(mutex_);
        if (!stopping_ && static_cast<int64_t>(connections_.size()) < options_.maxConnections) {
          auto fewer = [](const auto& a, const auto& b) { return a.load() < b.load(); };
          size_t slot = static_cast<size_t>(std::min_element(load_.begin(), load_.end(), fewer) - load_.begin());
          if (slot != 0 && !MoveSocket(*contexts_[slot], socket)) slot = 0;
          if (socket.is_open()) {
            connection = std::make_shared<Connection>(std::move(socket), slot, *this);
            connections_.emplace(connection, slot);
            ++load_[slot];
            connectionsOpen_ = static_cast<int64_t>(connections_.size());
            ++connectionsServed_;
          }
        }
      }
      if (connection) {
        Log(connection->Peer() + ": connected");
        connection->Start();
      } else if (socket.is_open()) {
        // A fresh socket's send buffer is empty, so this short write completes at once.
        asio::error_code ignored;
        asio::write(socket, asio::buffer(StatusLine(420)), ignored);
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        Log("refused a connection: " + std::to_string(options_.maxConnections) + " open (420)");
      } else {
        Log("dropped a connection that could not be given to a thread");
      }
    } else {
      // Out of descriptors and the like: try again in a moment instead of spinning on the failure, while the
      // connections of this thread go on being answered.
      Log("accept failed: " + ec.message());
      acceptRetry_.expires_after(std::chrono::milliseconds(10));
      acceptRetry_.async_wait([this](const asio::error_code& error) {
        if (!error && acceptor_.is_open()) Accept();
      });
      return;
    }
    Accept();
  });
}

void Server::WaitForSignals() {
  stopSignals_.async_wait([this](const asio::error_code& ec, int) {
    if (!ec) Shutdown();
  });
  WaitForReload();
}

void Server::WaitForReload() {
  reloadSignals_.async_wait([this](const asio::error_code& ec, int) {
    if (ec) return;
    Reload();
    WaitForReload();
  });
}

void Server::Reload() {
  {
    // Signals that come while a reload waits to begin are served by it, as it reads the files as they are then: a
    // burst of them costs one reload, not a queue of threads.
    std::lock_guard lock(mutex_);
    if (reloadWaiting_) return;
    reloadWaiting_ = true;
  }
  RunJob([this] {
    {
      std::lock_guard lock(mutex_);
      reloadWaiting_ = false;
    }
    std::shared_ptr<const DatabaseSet> current = Databases();
    for (const auto& database : *current) {
      if (Stopping()) return;
      std::shared_ptr<const Database> reloaded;
      std::string error;
      if (!LoadDatabase(database->config, reloaded, error)) {
        Log("kept the loaded " + database->config.name + ": " + error);
      } else if (Replace(database.get(), reloaded)) {
        Log("reloaded " + database->config.name + " (" + std::to_string(CatalogSize(reloaded->catalog)) + " keys)");
      }
    }
  });
}

void Server::Shutdown() {
  std::vector<std::shared_ptr<Connection>> open;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (const auto& entry : connections_) open.push_back(entry.first);
  }
  Log("shutting down, " + std::to_string(open.size()) + " connections open");
  asio::error_code ignored;
  acceptor_.close(ignored);
  acceptRetry_.cancel();
  reloadSignals_.cancel(ignored);
  for (const auto& connection : open) connection->Stop();
  if (open.empty()) {
    StopContexts();
    return;
  }
  // Clients that do not read their 421 are not waited for long.
  shutdownDeadline_.expires_after(std::chrono::seconds(2));
  shutdownDeadline_.async_wait([this](const asio::error_code& ec) {
    if (!ec) StopContexts();
  });
}

bool Server::Stopping() {
  std::lock_guard lock(mutex_);
  return stopping_;
}

std::shared_ptr<const DatabaseSet> Server::Databases() {
  std::lock_guard lock(mutex_);
  return databases_;
}

ServerFacts Server::Facts() {
  ServerFacts facts;
  facts.host = host_;
  facts.uptimeSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_).count();
  facts.connections = connectionsOpen_;
  facts.connectionsServed = connectionsServed_;
  return facts;
}

std::string Server::NextMessageId() {
  return std::to_string(::getpid()) + "." + std::to_string(++messageCounter_) + "." +
         std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count()) +
         "@" + host_;
}

void Server::Log(const std::string& line) {
  if (options_.quiet) return;
  std::string text = "vos-serve: " + line + "\n";
  std::lock_guard lock(logMutex_);
  ::ssize_t ignored = ::write(2, text.data(), text.size());
  (void)ignored;
}

void Server::StopContexts() {
  for (auto& context : contexts_) context->stop();
}

bool Server::TakeLargeAnswerPlace(const std::shared_ptr<Connection>& connection) {
  std::lock_guard lock(mutex_);
  if (largeAnswerPlacesTaken_ < kLargeAnswerPlaces) {
    ++largeAnswerPlacesTaken_;
    return true;
  }
  largeAnswerWaiters_.push_back(connection);
  return false;
}

void Server::ReturnLargeAnswerPlace() {
  std::shared_ptr<Connection> next;
  {
    std::lock_guard lock(mutex_);
    while (!next && !largeAnswerWaiters_.empty()) {
      next = largeAnswerWaiters_.front().lock();
      largeAnswerWaiters_.pop_front();
    }
    if (!next) {
      --largeAnswerPlacesTaken_;
      return;
    }
  }
  next->PlaceGranted();  // the place passes to it as it is
}

void Server::Remove(const std::shared_ptr<Connection>& connection) {
  std::lock_guard lock(mutex_);
  auto found = connections_.find(connection);
  if (found != connections_.end()) {
    --load_[found->second];
    connections_.erase(found);
  }
  connectionsOpen_ = static_cast<int64_t>(connections_.size());
  if (stopping_ && connections_.empty()) StopContexts();
}

}  // namespace vos
