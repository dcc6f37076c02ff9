// velm-server: a reference implementation of the Velm service's HTTP API, for local use,
// demos and tests.
//
//   velm-server --data DIR --listen 127.0.0.1:PORT [options]   serve (PORT 0 picks a free one)
//   velm-server --data DIR add-user NAME                       add an account; password on stdin
#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Connections.h"
#include "Protocol.h"
#include "Service.h"
#include "Store.h"

namespace {

const char* const kUsage =
    "usage: velm-server --data DIR --listen HOST:PORT [--public-url URL]\n"
    "                   [--max-upload BYTES] [--signature-lifetime SECONDS]\n"
    "                   [--request-log FILE] [--request-time-limit SECONDS]\n"
    "                   [--max-connections-per-address N] [--max-signatures-per-address N]\n"
    "       velm-server --data DIR add-user NAME    (the password is read from standard input)\n";

struct Options {
  std::string data;
  std::string listen;
  std::string publicUrl;
  std::string requestLog;
  std::size_t maxUpload = 32 * 1024 * 1024;
  long signatureLifetime = 600;
  long requestTimeLimit = 20;
  std::size_t connectionsPerAddress = 64;
  std::size_t signaturesPerAddress = 1000;
  std::vector<std::string> command;
};

bool parseCount(const char* text, unsigned long long max, unsigned long long* out) {
  if (!text || !*text || *text == '-') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (errno || *end || value > max) return false;
  *out = value;
  return true;
}

std::optional<Options> parseArguments(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    unsigned long long n = 0;
    if (arg == "--data") {
      const char* v = value();
      if (!v) return std::nullopt;
      o.data = v;
    } else if (arg == "--listen") {
      const char* v = value();
      if (!v) return std::nullopt;
      o.listen = v;
    } else if (arg == "--public-url") {
      const char* v = value();
      if (!v) return std::nullopt;
      o.publicUrl = v;
    } else if (arg == "--request-log") {
      const char* v = value();
      if (!v) return std::nullopt;
      o.requestLog = v;
    } else if (arg == "--max-upload") {
      if (!parseCount(value(), 1ULL << 32, &n) || n == 0) return std::nullopt;
      o.maxUpload = static_cast<std::size_t>(n);
    } else if (arg == "--signature-lifetime") {
      if (!parseCount(value(), 86400ULL * 365, &n)) return std::nullopt;
      o.signatureLifetime = static_cast<long>(n);
    } else if (arg == "--request-time-limit") {
      if (!parseCount(value(), 3600, &n) || n == 0) return std::nullopt;
      o.requestTimeLimit = static_cast<long>(n);
    } else if (arg == "--max-connections-per-address") {
      if (!parseCount(value(), 100000, &n) || n == 0) return std::nullopt;
      o.connectionsPerAddress = static_cast<std::size_t>(n);
    } else if (arg == "--max-signatures-per-address") {
      if (!parseCount(value(), 1000000, &n) || n == 0) return std::nullopt;
      o.signaturesPerAddress = static_cast<std::size_t>(n);
    } else if (arg.rfind("--", 0) == 0) {
      return std::nullopt;
    } else {
      o.command.push_back(arg);
    }
  }
  if (o.data.empty()) return std::nullopt;
  return o;
}

int addUser(const Options& o) {
  if (o.command.size() != 2) {
    std::cerr << kUsage;
    return 2;
  }
  const std::string& name = o.command[1];
  if (name.empty() || name.size() > 64 || !velmserver::isCleanText(name) ||
      name.find_first_of("\t\r\n") != std::string::npos) {
    std::cerr << "velm-server: the name must be 1 to 64 bytes of UTF-8 text on one line\n";
    return 2;
  }
  std::string password((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  if (!password.empty() && password.back() == '\n') password.pop_back();
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty() || password.size() > 1024 || !velmserver::isUtf8(password)) {
    std::cerr << "velm-server: the password (standard input, one line) must be 1 to 1024 bytes "
                 "of UTF-8\n";
    return 2;
  }
  std::string message;
  auto store = velmserver::Store::open(o.data, &message);
  if (!store) {
    std::cerr << "velm-server: " << message << "\n";
    return 1;
  }
  bool created = false;
  if (!store->setUser(name, velmserver::md5Hex(password), &created)) {
    std::cerr << "velm-server: cannot store the account " << name << "\n";
    return 1;
  }
  std::cout << (created ? "added user " : "changed the password of ") << name << "\n";
  return 0;
}

// Splits HOST:PORT (HOST may be [v6]).
bool splitListen(const std::string& text, std::string* host, int* port) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *host = text.substr(0, colon);
  if (host->size() > 2 && host->front() == '[' && host->back() == ']')
    *host = host->substr(1, host->size() - 2);
  unsigned long long n = 0;
  if (!parseCount(text.c_str() + colon + 1, 65535, &n)) return false;
  *port = static_cast<int>(n);
  return true;
}

int serve(const Options& o) {
  std::string host;
  int port = 0;
  if (!o.command.empty() || !splitListen(o.listen, &host, &port)) {
    std::cerr << kUsage;
    return 2;
  }
  std::string message;
  auto store = velmserver::Store::open(o.data, &message);
  if (!store) {
    std::cerr << "velm-server: " << message << "\n";
    return 1;
  }

  // SIGINT and SIGTERM stop the server; they are taken by one waiting thread, so every
  // other thread (the library's workers included) must have them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  velmserver::ConnectionLimits limits;
  limits.requestTime = std::chrono::seconds(o.requestTimeLimit);
  limits.maxBody = o.maxUpload;
  limits.connectionsPerAddress = o.connectionsPerAddress;
  velmserver::GuardedServer server(limits);

  int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    std::cerr << "velm-server: cannot listen on " << o.listen << "\n";
    return 1;
  }
  std::string hostInUrl = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  std::string address = "http://" + hostInUrl + ":" + std::to_string(bound);

  velmserver::ServiceOptions options;
  options.publicUrl = o.publicUrl.empty() ? address : o.publicUrl;
  while (!options.publicUrl.empty() && options.publicUrl.back() == '/') options.publicUrl.pop_back();
  options.maxUpload = o.maxUpload;
  options.signatureLifetime = std::chrono::seconds(o.signatureLifetime);
  options.signaturesPerAddress = o.signaturesPerAddress;
  velmserver::Service service(*store, options);
  service.install(server);

  // One short line per request on standard error; with --request-log, the complete request
  // line (query included) and the body's declared length go to that file as well.
  std::mutex logMutex;
  std::ofstream requestLog;
  if (!o.requestLog.empty()) {
    requestLog.open(o.requestLog, std::ios::app);
    if (!requestLog) {
      std::cerr << "velm-server: cannot write " << o.requestLog << "\n";
      return 1;
    }
  }
  // The request log is written before the answer goes out, so a client that has its answer
  // always finds its request in the log.
  server.set_post_routing_handler([&](const httplib::Request& req, httplib::Response& res) {
    if (!requestLog.is_open()) return;
    std::lock_guard lock(logMutex);
    requestLog << req.method << ' ' << req.target << ' ' << res.status << " content-length="
               << req.get_header_value("Content-Length") << '\n';
    requestLog.flush();
  });
  server.set_logger([&](const httplib::Request& req, const httplib::Response& res) {
    std::lock_guard lock(logMutex);
    std::fprintf(stderr, "%s %s %d\n", req.method.c_str(), req.path.c_str(), res.status);
  });

  // A signal may come before the server has started to accept; stop() only works on a
  // running server, so it is repeated until the server has ended.
  std::atomic<bool> finished{false};
  std::atomic<bool> stopped{false};
  std::thread stopper([&server, &finished, &stopped, stopSignals] {
    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    if (finished) return;
    stopped = true;
    while (!finished) {
      server.stopNow();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });

  std::printf("listening on %s\n", address.c_str());
  std::fflush(stdout);

  bool ok = server.listen_after_bind();
  finished = true;
  // Wake the waiting thread if the server ended by itself.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
  return ok || stopped ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> options = parseArguments(argc, argv);
  if (!options) {
    std::cerr << kUsage;
    return 2;
  }
  try {
    if (!options->command.empty() && options->command[0] == "add-user") return addUser(*options);
    return serve(*options);
  } catch (const std::exception& e) {
    std::cerr << "velm-server: " << e.what() << "\n";
    return 1;
  }
}
