#include "LoopbackServers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace velmtest {

int HttpServer::start() {
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) return port_ = 0;
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  while (!server_.is_running()) std::this_thread::yield();
  return port_;
}

void HttpServer::stop() {
  if (thread_.joinable()) {
    server_.stop();
    thread_.join();
  }
}

namespace {
int listenLoopback(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

// Waits for data or EOF on fd while checking stop every 50 ms; false when stopped.
bool waitReadable(int fd, const std::atomic<bool>& stop) {
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, 50);
    if (r > 0) return true;
    if (r < 0) return false;
  }
  return false;
}

// Reads a request from fd: its head and the body its Content-Length names. False when the
// client closed the connection first; true (with what came) when the server was stopped.
bool readRequest(int fd, const std::atomic<bool>& stop, std::string* request) {
  char buffer[65536];
  std::size_t need = std::string::npos;
  while (need == std::string::npos || request->size() < need) {
    if (!waitReadable(fd, stop)) return true;
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    request->append(buffer, static_cast<std::size_t>(n));
    std::size_t head = request->find("\r\n\r\n");
    if (need == std::string::npos && head != std::string::npos) {
      std::size_t length = 0;
      std::size_t at = request->find("Content-Length: ");
      if (at != std::string::npos && at < head) length = std::strtoul(request->c_str() + at + 16, nullptr, 10);
      need = head + 4 + length;
    }
  }
  return true;
}
}  // namespace

RawServer::RawServer(std::optional<std::string> answer)
    : RawServer(Responder([answer](const std::string&) { return answer; })) {}

RawServer::RawServer(Responder respond) : respond_(std::move(respond)) {
  listen_ = listenLoopback(&port_);
  if (listen_ >= 0) thread_ = std::thread([this] { run(); });
}

RawServer::~RawServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listen_ >= 0) close(listen_);
}

std::string RawServer::lastRequest() const {
  std::lock_guard lock(mutex_);
  return lastRequest_;
}

void RawServer::run() {
  while (waitReadable(listen_, stop_)) {
    int fd = accept(listen_, nullptr, nullptr);
    if (fd < 0) continue;
    std::string request;
    char buffer[65536];
    bool open = readRequest(fd, stop_, &request);
    {
      std::lock_guard lock(mutex_);
      lastRequest_ = request;
    }
    std::optional<std::string> answer = open ? respond_(request) : std::nullopt;
    if (open && answer) {
      std::size_t written = 0;
      while (written < answer->size()) {
        ssize_t n = write(fd, answer->data() + written, answer->size() - written);
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
      }
    } else if (open) {
      // Say nothing; wait for the client to give up.
      while (waitReadable(fd, stop_) && read(fd, buffer, sizeof buffer) > 0) {
      }
    }
    close(fd);
  }
}

DripServer::DripServer() {
  listen_ = listenLoopback(&port_);
  if (listen_ >= 0) thread_ = std::thread([this] { run(); });
}

DripServer::~DripServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listen_ >= 0) close(listen_);
}

void DripServer::waitForDrips(int n) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return drips_ >= n; });
}

void DripServer::waitForAbandoned(int n) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return abandoned_ >= n; });
}

int DripServer::drips() const {
  std::lock_guard lock(mutex_);
  return drips_;
}

void DripServer::run() {
  while (waitReadable(listen_, stop_)) {
    int fd = accept(listen_, nullptr, nullptr);
    if (fd < 0) continue;
    std::string request;
    char buffer[65536];
    bool open = readRequest(fd, stop_, &request);
    auto say = [&](const std::string& bytes) {
      return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    };
    if (open && request.rfind("GET /api/get_api_signature.php", 0) == 0) {
      say("HTTP/1.1 200 OK\r\nContent-Length: 16\r\nConnection: close\r\n\r\n0123456789abcdef");
    } else if (open) {
      bool listening = say("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\n\r\n<rsp>");
      {
        std::lock_guard lock(mutex_);
        ++drips_;
      }
      changed_.notify_all();
      while (listening && !stop_) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
          // The client closed its end (or sent more than it should): it stopped listening.
          if (read(fd, buffer, sizeof buffer) <= 0) break;
        }
        listening = say(" ");
      }
      if (!stop_) {
        {
          std::lock_guard lock(mutex_);
          ++abandoned_;
        }
        changed_.notify_all();
      }
    }
    close(fd);
  }
}

int closedPort() {
  int port = 0;
  int fd = listenLoopback(&port);
  if (fd >= 0) close(fd);
  return port;
}

}  // namespace velmtest
