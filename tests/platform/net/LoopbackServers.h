// Small HTTP servers on loopback ports for tests of URL loading and of the service client.
#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace velmtest {

// A cpp-httplib server on a free loopback port, running on its own thread. Add routes through
// server() before start().
class HttpServer {
 public:
  HttpServer() = default;
  ~HttpServer() { stop(); }
  httplib::Server& server() { return server_; }
  // Binds and starts serving; returns the port (0 on failure).
  int start();
  void stop();
  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

// A server that speaks raw bytes: for every connection it reads the request (head and
// declared body), then writes the answer and closes. Without an answer it says nothing and
// keeps the connection open until the client gives up.
class RawServer {
 public:
  using Responder = std::function<std::optional<std::string>(const std::string& request)>;
  explicit RawServer(std::optional<std::string> answer);
  // The answer is chosen per request.
  explicit RawServer(Responder respond);
  ~RawServer();
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;
  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The last request received, head and body.
  std::string lastRequest() const;

 private:
  void run();
  Responder respond_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::string lastRequest_;
  std::thread thread_;
};

// A server whose answers never end: it hands out a signature for
// "GET /api/get_api_signature.php" and answers every other request with a status line, headers
// without a length, and then one byte every 100 ms for as long as the client listens.
class DripServer {
 public:
  DripServer();
  ~DripServer();
  DripServer(const DripServer&) = delete;
  DripServer& operator=(const DripServer&) = delete;
  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Blocks until the n-th dripping answer has begun.
  void waitForDrips(int n);
  // Blocks until n dripping answers have lost their client.
  void waitForAbandoned(int n);
  // Dripping answers begun so far.
  int drips() const;

 private:
  void run();
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int drips_ = 0;
  int abandoned_ = 0;
  std::thread thread_;
};

// A loopback port on which nothing listens.
int closedPort();

}  // namespace velmtest
