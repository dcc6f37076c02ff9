#include "Connections.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velmserver {

namespace {

using Clock = std::chrono::steady_clock;

// Every wait lasts at most this long before the stop flag is looked at again.
constexpr auto kSlice = std::chrono::milliseconds(100);

thread_local RequestStream* tCurrent = nullptr;

// Waits until the socket is ready for events, the deadline passes or the server stops.
bool waitFor(int sock, short events, Clock::time_point deadline, const std::atomic<bool>& stopping) {
  for (;;) {
    if (stopping) return false;
    auto now = Clock::now();
    if (now >= deadline) return false;
    auto wait = std::min<Clock::duration>(deadline - now, kSlice);
    pollfd p{sock, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

std::string addressText(const sockaddr_storage& address, int* port) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    if (port) *port = ntohs(a->sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    if (port) *port = ntohs(a->sin6_port);
  }
  return text;
}

}  // namespace

std::string peerAddress(int sock) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getpeername(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
  return addressText(address, nullptr);
}

// ---------------------------------------------------------------------------------------
// RequestStream

RequestStream::RequestStream(int socket, Clock::time_point deadline, std::size_t maxHeaderBytes,
                             std::chrono::seconds writeTimeout, const std::atomic<bool>& stopping)
    : socket_(socket),
      deadline_(deadline),
      maxHeaderBytes_(maxHeaderBytes),
      headerBytesLeft_(maxHeaderBytes),
      writeTimeout_(writeTimeout),
      stopping_(stopping) {}

RequestStream* RequestStream::current() { return tCurrent; }

void RequestStream::beginRequest(Clock::time_point deadline) {
  deadline_ = deadline;
  inBody_ = false;
  // What was read ahead already counts against the new request's header lines.
  std::size_t buffered = bufferEnd_ - bufferStart_;
  headerBytesLeft_ = maxHeaderBytes_ > buffered ? maxHeaderBytes_ - buffered : 0;
  written_ = 0;
  timedOut_ = false;
  headersTooLong_ = false;
  closeAfterAnswer_ = false;
}

void RequestStream::beginBody(Clock::time_point deadline) {
  inBody_ = true;
  deadline_ = deadline;
}

bool RequestStream::waitReadable() const {
  if (waitFor(socket_, POLLIN, deadline_, stopping_)) return true;
  if (Clock::now() >= deadline_) timedOut_ = true;
  return false;
}

bool RequestStream::is_readable() const { return bufferStart_ < bufferEnd_ || waitReadable(); }

bool RequestStream::is_writable() const {
  // Answers are written out even while the server stops: the request has been served.
  static const std::atomic<bool> never{false};
  return waitFor(socket_, POLLOUT, Clock::now() + writeTimeout_, never);
}

ssize_t RequestStream::read(char* ptr, size_t size) {
  if (size == 0) return 0;
  if (bufferStart_ == bufferEnd_) {
    if (!inBody_ && headerBytesLeft_ == 0) {
      headersTooLong_ = true;
      return -1;
    }
    if (!waitReadable()) return -1;
    std::size_t want = sizeof buffer_;
    if (!inBody_) want = std::min(want, headerBytesLeft_);
    ssize_t n;
    do {
      n = ::recv(socket_, buffer_, want, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return n;
    if (!inBody_) headerBytesLeft_ -= static_cast<std::size_t>(n);
    bufferStart_ = 0;
    bufferEnd_ = static_cast<std::size_t>(n);
  }
  std::size_t n = std::min(size, bufferEnd_ - bufferStart_);
  std::memcpy(ptr, buffer_ + bufferStart_, n);
  bufferStart_ += n;
  return static_cast<ssize_t>(n);
}

ssize_t RequestStream::write(const char* ptr, size_t size) {
  if (!is_writable()) return -1;
  ssize_t n;
  do {
    n = ::send(socket_, ptr, size, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n > 0) written_ += static_cast<std::size_t>(n);
  return n;
}

void RequestStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  port = 0;
  ip.clear();
  if (getpeername(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    ip = addressText(address, &port);
}

void RequestStream::get_local_ip_and_port(std::string& ip, int& port) const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  port = 0;
  ip.clear();
  if (getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    ip = addressText(address, &port);
}

// ---------------------------------------------------------------------------------------
// GuardedServer

GuardedServer::GuardedServer(ConnectionLimits limits) : limits_(limits) {
  std::size_t workers = limits_.workers;
  new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
}

void GuardedServer::stopNow() {
  stopping_ = true;
  stop();
}

bool GuardedServer::admit(const std::string& address) {
  std::lock_guard lock(mutex_);
  std::size_t& count = connections_[address];
  if (count >= limits_.connectionsPerAddress) {
    if (count == 0) connections_.erase(address);
    return false;
  }
  ++count;
  return true;
}

void GuardedServer::release(const std::string& address) {
  std::lock_guard lock(mutex_);
  auto it = connections_.find(address);
  if (it != connections_.end() && --it->second == 0) connections_.erase(it);
}

void GuardedServer::answerRaw(int sock, Error error) {
  std::string body = errorXml(error);
  std::string reason = messageFor(error);
  std::string answer = "HTTP/1.1 " + std::to_string(httpStatusFor(error)) + " " + reason +
                       "\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  RequestStream out(sock, Clock::now(), 0, std::chrono::seconds(write_timeout_sec_ > 0 ? write_timeout_sec_ : 5),
                    stopping_);
  std::size_t sent = 0;
  while (sent < answer.size()) {
    ssize_t n = out.write(answer.data() + sent, answer.size() - sent);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
}

void GuardedServer::lingeringClose(int sock) {
  ::shutdown(sock, SHUT_WR);
  // Read and drop what the client still sends, for a short while and a bounded amount.
  const auto until = Clock::now() + std::chrono::seconds(2);
  std::size_t dropped = 0;
  char sink[16 * 1024];
  while (dropped < limits_.maxBody + (1u << 20) && waitFor(sock, POLLIN, until, stopping_)) {
    ssize_t n = ::recv(sock, sink, sizeof sink, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    dropped += static_cast<std::size_t>(n);
  }
  ::close(sock);
}

bool GuardedServer::process_and_close_socket(int sock) {
  const std::string address = peerAddress(sock);
  if (!admit(address)) {
    answerRaw(sock, Error::TooManyConnections);
    lingeringClose(sock);
    return false;
  }

  const auto writeTimeout = std::chrono::seconds(write_timeout_sec_ > 0 ? write_timeout_sec_ : 5);
  const auto keepAlive = std::chrono::seconds(keep_alive_timeout_sec_ > 0 ? keep_alive_timeout_sec_ : 5);
  bool ok = true;
  RequestStream stream(sock, Clock::now() + limits_.requestTime, limits_.maxHeaderBytes, writeTimeout, stopping_);
  for (std::size_t left = keep_alive_max_count_; left > 0 && !stopping_; --left) {
    // Between requests of a kept-alive connection, wait for the next one's first byte.
    if (left != keep_alive_max_count_ && !stream.hasBufferedBytes() &&
        !waitFor(sock, POLLIN, Clock::now() + keepAlive, stopping_))
      break;
    stream.beginRequest(Clock::now() + limits_.requestTime);
    tCurrent = &stream;
    bool closed = false;
    ok = process_request(stream, left == 1, closed, [&](httplib::Request& req) {
      // The header lines are in; the body gets time by its declared length.
      std::size_t length = limits_.maxBody;
      if (req.has_header("Content-Length")) {
        unsigned long long declared = 0;
        if (auto v = parseInteger(req.get_header_value("Content-Length")); v && *v >= 0) declared = *v;
        else declared = limits_.maxBody;
        length = static_cast<std::size_t>(std::min<unsigned long long>(declared, limits_.maxBody));
      }
      auto bodyTime = std::chrono::seconds(length / std::max<std::size_t>(limits_.bodyBytesPerSecond, 1));
      stream.beginBody(Clock::now() + limits_.requestTime + bodyTime);
    });
    tCurrent = nullptr;
    if (!ok && !stream.wroteAnything() && !stopping_) {
      // The library gave up before it could answer: say why, when we know.
      if (stream.headersTooLong()) answerRaw(sock, Error::RequestTooLong);
      else if (stream.timedOut()) answerRaw(sock, Error::RequestTimeout);
    }
    if (!ok || closed || stream.closesAfterAnswer()) break;
  }
  lingeringClose(sock);
  release(address);
  return ok;
}

}  // namespace velmserver
