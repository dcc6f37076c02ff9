// The connection side of velm-server: how long a client may take to send a request, how many
// connections one client address may hold, and a prompt end on stop.
//
// The HTTP library reads each request through a RequestStream, which holds a deadline for the
// whole request: the header lines must arrive within the time limit, and the body within the
// time limit plus the time its declared length takes at a slow but honest rate. A client that
// sends one byte now and then is cut off at the deadline whatever the time between its bytes.
// Every wait is cut into short slices that look at the stop flag, so stop() ends all
// connections within a fraction of a second. Connections beyond the limit of their address are
// answered at once with an error and closed; the workers are many, so slow clients of one
// address cannot hold every one of them.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include "Protocol.h"

namespace velmserver {

struct ConnectionLimits {
  std::chrono::seconds requestTime{20};      // for the request line and header lines
  std::size_t bodyBytesPerSecond = 64 * 1024;  // the slowest body rate given time for
  std::size_t maxBody = 32 * 1024 * 1024;      // bodies of unknown length get time for this
  std::size_t maxHeaderBytes = 256 * 1024;     // request line and header lines together
  std::size_t connectionsPerAddress = 64;
  std::size_t workers = 128;
};

// The stream one request is read from and answered on.
class RequestStream : public httplib::Stream {
 public:
  using Clock = std::chrono::steady_clock;
  RequestStream(int socket, Clock::time_point deadline, std::size_t maxHeaderBytes,
                std::chrono::seconds writeTimeout, const std::atomic<bool>& stopping);

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  int socket() const override { return socket_; }

  // The next request of the connection begins: its header lines must come by the deadline.
  // Bytes read ahead (a pipelined request) stay in the buffer.
  void beginRequest(Clock::time_point deadline);
  // The header lines are in: the rest of the request (its body) must come by this deadline,
  // and the header byte limit no longer applies.
  void beginBody(Clock::time_point deadline);
  bool hasBufferedBytes() const { return bufferStart_ < bufferEnd_; }
  // The connection is closed after this answer (its body was refused unread).
  void closeAfterAnswer() { closeAfterAnswer_ = true; }
  bool closesAfterAnswer() const { return closeAfterAnswer_; }
  bool timedOut() const { return timedOut_; }
  bool headersTooLong() const { return headersTooLong_; }
  bool wroteAnything() const { return written_ > 0; }

  // The stream of the request the calling thread is serving, or null.
  static RequestStream* current();

 private:
  bool waitReadable() const;

  int socket_;
  Clock::time_point deadline_;
  std::size_t maxHeaderBytes_;
  std::size_t headerBytesLeft_;
  bool inBody_ = false;
  std::chrono::seconds writeTimeout_;
  const std::atomic<bool>& stopping_;
  char buffer_[16 * 1024];
  std::size_t bufferStart_ = 0, bufferEnd_ = 0;
  std::size_t written_ = 0;
  mutable bool timedOut_ = false;
  bool headersTooLong_ = false;
  bool closeAfterAnswer_ = false;
};

// An HTTP server that reads every request through a RequestStream and keeps the limits.
class GuardedServer : public httplib::Server {
 public:
  explicit GuardedServer(ConnectionLimits limits);
  // Ends every connection promptly (the library's stop() waits for the workers).
  void stopNow();

 private:
  bool process_and_close_socket(int sock) override;
  bool admit(const std::string& address);
  void release(const std::string& address);
  // Answers an error on a connection the library never saw a request of.
  void answerRaw(int sock, Error error);
  // Closes after the answer is out: the client may still be sending a body we did not read,
  // and closing with unread bytes would reset the connection before it reads the answer.
  void lingeringClose(int sock);

  ConnectionLimits limits_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::map<std::string, std::size_t> connections_;
};

// The peer's address of a connected socket, as text ("" when unknown).
std::string peerAddress(int sock);

}  // namespace velmserver
