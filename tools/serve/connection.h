// One client connection: its socket, the bytes received and not yet answered, and the answers not yet sent.
// Commands are read in blocks and answered in order (pipelined commands included); all answers ready at one time
// leave in one write. While more than kOutputLimit bytes wait to be sent, no further command is answered and
// nothing more is read, so a client that does not read cannot make the server hold more than that (and one
// answer, a large one only while one of the few places for those is free). All of a connection's handlers run on
// its strand.
#pragma once

#include <asio.hpp>
#include <array>
#include <chrono>
#include <memory>
#include <string>

#include "serve/dict_protocol.h"

namespace vos {

class Server;

constexpr size_t kOutputLimit = 256 * 1024;
// How long a closing connection goes on reading what its client still sends, so that its last answers arrive
// (see Connection::Close).
constexpr std::chrono::seconds kLinger{2};
// How long one turn answers a connection's pipelined commands: the rest wait for a later turn, after the other
// connections of the thread, so that a client with a pipeline of slow commands cannot hold the thread.
constexpr std::chrono::milliseconds kAnswerTurn{2};
// An answer larger than kLargeAnswer is kept only by one of kLargeAnswerPlaces connections at a time, until it has
// been sent; another waits for a place and is answered then. Clients that never read their answers thus hold at
// most that many large answers in the server's memory, however many connections they open.
constexpr size_t kLargeAnswer = 1024 * 1024;
constexpr int64_t kLargeAnswerPlaces = 8;

// A thread that polls after work reads the next command of a connection alone on it straight from the socket,
// instead of waiting for the event loop to report the socket readable and to run the read's handler: the client
// is answered that much sooner. These run on the polling thread.
// Reads the connection this thread polls, if any; true when that found bytes (or the connection's end).
bool ReadPolledConnection();
bool PollingAConnection();
// Before the thread sleeps: the connection it polls goes back to reads through the event loop.
void ReleasePolledConnection();
// A connection that shares its thread starts its next read once the thread has run the rest of what was ready:
// by then its client has often sent the next command, and the read that Asio tries at once finds it instead of
// nothing. Run after each turn of the event loop.
void StartDeferredReads();

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // `slot` is the server's number of the thread the connection lives on.
  Connection(asio::ip::tcp::socket socket, size_t slot, Server& server);

  // Sends the banner and starts reading commands.
  void Start();

  // From any thread: sends 421 and closes once it is written.
  void Stop();

  // From any thread: the large-answer place this connection waited for is its own now.
  void PlaceGranted();

  // The peer's address, for the log.
  const std::string& Peer() const { return peer_; }

 private:
  friend bool ReadPolledConnection();
  friend void ReleasePolledConnection();
  friend void StartDeferredReads();

  bool MayRead() const;
  // Reads through the event loop, or by the polling thread when the connection is alone on it.
  void Read();
  void ReadThroughLoop();
  bool ReadNow();
  void ReadDone(const asio::error_code& ec, size_t size);
  void Received(size_t size);
  void Ended();
  void AnswerCommands();
  // Answers what may be answered, sends it and reads on where it may: the step after anything that makes room.
  void Proceed();
  void Write();
  void SendRest();
  void WatchIdle();
  // Ends the connection; `peerGone` when reading or writing failed, so that nothing more can be said to the client.
  void Close(const std::string& reason, bool peerGone = false);
  void Drain();
  void Release();
  void Touch() { lastActivity_ = std::chrono::steady_clock::now(); }
  void ReturnPlace();

  asio::ip::tcp::socket socket_;
  size_t slot_;
  Server& server_;
  asio::steady_timer idleTimer_;
  std::chrono::steady_clock::time_point lastActivity_;
  std::string peer_;
  std::array<char, 16 * 1024> received_;
  LineBuffer lines_;
  Session session_;
  std::string pending_;  // answers not yet handed to a write
  std::string sending_;  // the write in flight
  size_t sendingDone_ = 0;  // how much of it has been sent
  bool reading_ = false;
  bool writing_ = false;
  bool closing_ = false;  // no more commands: what is pending is the last to send
  bool ended_ = false;    // the client has sent all it will (end of file); its commands are still answered
  bool closed_ = false;
  bool resumeQueued_ = false;  // commands are left for a later turn; none is read until they are answered
  std::string parked_;            // a command whose large answer waits for a place
  bool waitingForPlace_ = false;  // and until it has one, nothing more is read or answered
  bool holdsPlace_ = false;
};

}  // namespace vos
