#include "serve/connection.h"

#include "serve/server.h"

namespace vos {
namespace {

// A command line in the log: printable ASCII kept, anything else escaped, so a client cannot forge log lines.
std::string Printable(std::string_view line) {
  constexpr size_t kShown = 120;
  std::string shown;
  for (size_t i = 0; i < line.size() && i < kShown; ++i) {
    auto c = static_cast<unsigned char>(line[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      constexpr char kHex[] = "0123456789abcdef";
      shown += "\\x";
      shown += kHex[c >> 4];
      shown += kHex[c & 15];
    }
  }
  if (line.size() > kShown) shown += "...";
  return shown;
}

// Whether an answer is worth a log line: errors of the client or the server, not a word that was not found.
bool Failed(const Answer& answer) {
  return !answer.problem.empty() || (answer.code >= 400 && answer.code != 552);
}

// The connection this thread polls (see ReadPolledConnection).
thread_local std::shared_ptr<Connection> polled;
// Connections whose next read waits for the end of the current turn (see StartDeferredReads).
thread_local std::vector<std::shared_ptr<Connection>> deferred;

}  // namespace

bool ReadPolledConnection() {
  if (!polled) return false;
  std::shared_ptr<Connection> connection = polled;
  return connection->ReadNow();
}

bool PollingAConnection() { return polled != nullptr; }

void StartDeferredReads() {
  if (deferred.empty()) return;
  // Swapped with a list kept from the last turn, so that neither list is allocated again on every turn.
  thread_local std::vector<std::shared_ptr<Connection>> due;
  due.swap(deferred);
  for (const auto& connection : due) connection->ReadThroughLoop();
  due.clear();
}

void ReleasePolledConnection() {
  if (!polled) return;
  std::shared_ptr<Connection> connection = std::move(polled);  // leaves `polled` empty
  connection->ReadThroughLoop();
}

Connection::Connection(asio::ip::tcp::socket socket, size_t slot, Server& server)
    : socket_(std::move(socket)), slot_(slot), server_(server), idleTimer_(socket_.get_executor()) {
  asio::error_code ec;
  auto endpoint = socket_.remote_endpoint(ec);
  peer_ = ec ? "unknown peer" : endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
  socket_.set_option(asio::ip::tcp::no_delay(true), ec);
  // Writes are tried at once and never block the thread (see Write).
  socket_.non_blocking(true, ec);
}

void Connection::Start() {
  auto self = shared_from_this();
  asio::dispatch(socket_.get_executor(), [this, self] {
    Touch();
    pending_ = Banner(server_.Facts(), server_.NextMessageId());
    Write();
    Read();
    WatchIdle();
  });
}

void Connection::Stop() {
  auto self = shared_from_this();
  asio::post(socket_.get_executor(), [this, self] {
    if (closed_ || closing_) return;
    closing_ = true;
    pending_ += StatusLine(421);
    Write();
  });
}

bool Connection::MayRead() const {
  return !reading_ && !closing_ && !ended_ && !closed_ && !resumeQueued_ && !waitingForPlace_ &&
         pending_.size() + sending_.size() < kOutputLimit;
}

void Connection::Read() {
  if (!MayRead()) return;
  if (server_.PollsAlone(slot_)) {
    polled = shared_from_this();
  } else {
    deferred.push_back(shared_from_this());
  }
}

void Connection::ReadThroughLoop() {
  if (!MayRead()) return;
  reading_ = true;
  auto self = shared_from_this();
  socket_.async_read_some(asio::buffer(received_), [this, self](const asio::error_code& ec, size_t size) {
    reading_ = false;
    if (!closed_) ReadDone(ec, size);
  });
}

bool Connection::ReadNow() {
  if (!MayRead()) {
    polled.reset();
    return false;
  }
  asio::error_code ec;
  size_t size = socket_.read_some(asio::buffer(received_), ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again) return false;
  // Read below polls this connection again when it may.
  polled.reset();
  ReadDone(ec, size);
  return true;
}

void Connection::ReadDone(const asio::error_code& ec, size_t size) {
  if (ec == asio::error::eof) {
    Ended();
  } else if (ec) {
    Close("read failed: " + ec.message(), true);
  } else {
    Received(size);
  }
}

void Connection::Received(size_t size) {
  Touch();
  AppendReceived(lines_, std::string_view(received_.data(), size));
  Proceed();
}

void Connection::Proceed() {
  AnswerCommands();
  Write();
  Read();
}

// A client may close its side once it has sent its commands (a script piping them in, say) and still read every
// answer: the commands it sent are answered and the answers sent before the connection closes. One that has gone
// altogether makes the next write fail instead.
void Connection::Ended() {
  ended_ = true;
  AnswerCommands();
  Write();
}

void Connection::AnswerCommands() {
  if (resumeQueued_ || waitingForPlace_) return;  // a later turn goes on where this one stopped
  std::shared_ptr<const DatabaseSet> databases;
  std::string line;
  auto start = std::chrono::steady_clock::time_point();
  while (!closing_ && pending_.size() + sending_.size() < kOutputLimit) {
    if (databases && lines_.start < lines_.bytes.size() && std::chrono::steady_clock::now() - start >= kAnswerTurn) {
      resumeQueued_ = true;
      auto self = shared_from_this();
      asio::post(socket_.get_executor(), [this, self] {
        resumeQueued_ = false;
        if (closed_) return;
        Proceed();
      });
      break;
    }
    LineOutcome outcome = LineOutcome::kLine;
    if (parked_.empty()) {
      outcome = NextLine(lines_, line);
    } else {
      line.swap(parked_);
      parked_.clear();
    }
    if (outcome == LineOutcome::kNeedMore) {
      // An unfinished last line of a client that has ended will never be finished.
      if (ended_) closing_ = true;
      break;
    }
    if (outcome == LineOutcome::kTooLong) {
      pending_ += StatusLine(500);
      server_.Log(peer_ + ": command longer than " + std::to_string(kMaxCommandLine) + " bytes: 500");
      continue;
    }
    if (!databases) {
      databases = server_.Databases();
      start = std::chrono::steady_clock::now();
    }
    Answer answer = AnswerLine(*databases, server_.Facts(), session_, line);
    if (answer.bytes.size() > kLargeAnswer && !holdsPlace_) {
      if (!server_.TakeLargeAnswerPlace(shared_from_this())) {
        // Dropped, and answered again once a place is free: other clients hold as many large answers as the
        // server keeps, perhaps without reading them.
        --session_.commands;
        parked_.swap(line);
        waitingForPlace_ = true;
        break;
      }
      holdsPlace_ = true;
    }
    // The usual one answer per read is handed over, not copied.
    if (pending_.empty()) {
      pending_.swap(answer.bytes);
    } else {
      pending_ += answer.bytes;
    }
    if (Failed(answer)) {
      server_.Log(peer_ + ": \"" + Printable(line) + "\": " + std::to_string(answer.code) +
                  (answer.problem.empty() ? "" : " (" + answer.problem + ")"));
    }
    if (answer.close) closing_ = true;
  }
}

void Connection::Write() {
  while (!writing_ && !closed_) {
    if (pending_.empty()) {
      ReturnPlace();  // everything is sent
      if (closing_) Close(ended_ ? "closed by the client" : "");
      return;
    }
    // Most answers fit the socket's send buffer: sent at once on the non-blocking socket, they need no completion
    // handler, whose queueing would cost the event loop an extra poll per answer.
    asio::error_code ec;
    size_t sent = socket_.write_some(asio::buffer(pending_), ec);
    if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
      Close("write failed: " + ec.message(), true);
      return;
    }
    if (!ec && sent == pending_.size()) {
      pending_.clear();
      Touch();
      ReturnPlace();  // the large answer is the kernel's now: the next waits its turn behind the others
      // Answers held back while the output was full can go now.
      AnswerCommands();
      continue;
    }
    if (!ec) pending_.erase(0, sent);
    writing_ = true;
    sending_.swap(pending_);
    SendRest();
  }
}

// Sends what is left of `sending_`, piece by piece as the client takes it: each piece counts as activity, so that a
// client reading a long answer slowly is not taken for an idle one.
void Connection::SendRest() {
  auto self = shared_from_this();
  auto rest = asio::buffer(sending_) + sendingDone_;
  socket_.async_write_some(rest, [this, self](const asio::error_code& error, size_t sent) {
    if (closed_) return;
    if (error) {
      Close("write failed: " + error.message(), true);
      return;
    }
    Touch();
    sendingDone_ += sent;
    if (sendingDone_ < sending_.size()) return SendRest();
    sending_.clear();
    sendingDone_ = 0;
    writing_ = false;
    if (pending_.empty()) ReturnPlace();
    Proceed();
  });
}

void Connection::PlaceGranted() {
  auto self = shared_from_this();
  asio::post(socket_.get_executor(), [this, self] {
    waitingForPlace_ = false;
    holdsPlace_ = true;
    if (closed_) return ReturnPlace();
    Touch();  // the wait was the server's doing
    Proceed();
  });
}

void Connection::ReturnPlace() {
  if (!holdsPlace_) return;
  holdsPlace_ = false;
  server_.ReturnLargeAnswerPlace();
}

void Connection::WatchIdle() {
  // A connection already closed (its banner could not be sent) must not be kept alive by a timer.
  if (closed_) return;
  auto deadline = lastActivity_ + std::chrono::seconds(server_.Options().idleTimeoutSeconds);
  idleTimer_.expires_at(deadline);
  auto self = shared_from_this();
  idleTimer_.async_wait([this, self](const asio::error_code& ec) {
    if (ec || closed_) return;
    if (std::chrono::steady_clock::now() >= lastActivity_ + std::chrono::seconds(
                                                                 server_.Options().idleTimeoutSeconds)) {
      Close("idle for " + std::to_string(server_.Options().idleTimeoutSeconds) + " s");
      return;
    }
    WatchIdle();
  });
}

void Connection::Close(const std::string& reason, bool peerGone) {
  if (closed_) return;
  closed_ = true;
  if (polled.get() == this) polled.reset();
  std::string line = peer_ + ": closed after " + std::to_string(session_.commands) + " commands";
  if (!reason.empty()) line += " (" + reason + ")";
  if (!session_.client.empty()) line += ", client \"" + Printable(session_.client) + "\"";
  server_.Log(line);
  // A client that has sent its end has nothing unread, one whose socket failed cannot be told more.
  if (peerGone || ended_) return Release();
  // Closing a socket that holds bytes the client sent and the server never read makes the kernel reset the
  // connection, and a reset throws away the answers still on their way: the last of a pipeline, the rest of a long
  // answer, a 421. So the sending side is shut, which the client sees as the end after every answer, and what the
  // client still sends is read and dropped until it closes too, for a short while at most.
  asio::error_code ec;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ec);
  socket_.cancel(ec);  // a read in flight ends; its handler finds the connection closed
  auto self = shared_from_this();
  idleTimer_.expires_after(kLinger);
  idleTimer_.async_wait([this, self](const asio::error_code& error) {
    asio::error_code ignored;
    if (!error) socket_.close(ignored);  // ends the drain, which releases the connection
  });
  Drain();
}

void Connection::Drain() {
  auto self = shared_from_this();
  socket_.async_read_some(asio::buffer(received_), [this, self](const asio::error_code& ec, size_t) {
    if (!ec) return Drain();
    Release();
  });
}

void Connection::Release() {
  ReturnPlace();
  asio::error_code ec;
  idleTimer_.cancel();
  socket_.close(ec);
  server_.Remove(shared_from_this());
}

}  // namespace vos
