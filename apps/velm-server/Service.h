// The service's HTTP API and pages on top of the store:
//
//   GET  /api/get_api_signature.php   a fresh signature (the body is the signature, nothing else)
//   POST /api/post_photo_xml.php      a photo upload (query parameters, multipart part "file")
//   GET  /api/get_albums_xml.php      the account's albums
//   GET  /api/create_album_xml.php    a new album
//   GET  /photo/KEY                   a photo's page; /photo/KEY.jpg the photo itself
//   GET  /album/KEY                   an album's page
//
// Every API failure is answered with <error code="N">text</error> and an HTTP error status.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "Protocol.h"
#include "Store.h"

namespace httplib {
class Server;
}

namespace velmserver {

// Signatures handed out and not yet used. Each is good for one request within its lifetime;
// a used or expired one is remembered for a while so that its reuse gets its own answer.
// Each client address keeps at most perAddress signatures: beyond that its own oldest one is
// forgotten, so one client asking for ever more cannot push out the signatures of others.
class SignatureBook {
 public:
  using Clock = std::chrono::steady_clock;
  explicit SignatureBook(std::chrono::seconds lifetime, std::size_t perAddress = 1000,
                         std::size_t capacity = 100000)
      : lifetime_(lifetime), perAddress_(std::max<std::size_t>(perAddress, 1)), capacity_(capacity) {}

  // A new signature for a client at address: 32 lower-case hex digits; empty when no
  // randomness could be had.
  std::string issue(const std::string& address = {});

  enum class Verdict { Fresh, Unknown, Used, Expired };
  // Looks the signature up and marks it used.
  Verdict consume(const std::string& signature);

 private:
  struct Entry {
    Clock::time_point issued;
    std::string address;
    bool used = false;
  };
  void forgetOldLocked(Clock::time_point now);
  // Forgets the signature at the front of the order of issue.
  void forgetFrontLocked();

  std::mutex mutex_;
  std::chrono::seconds lifetime_;
  std::size_t perAddress_;
  std::size_t capacity_;
  std::unordered_map<std::string, Entry> entries_;
  std::deque<std::pair<Clock::time_point, std::string>> order_;  // in order of issue
  // Per client address, its signatures in order of issue (some may be forgotten already).
  std::unordered_map<std::string, std::deque<std::string>> byAddress_;
};

struct ServiceOptions {
  std::string publicUrl;  // where pages are reached, e.g. http://127.0.0.1:8080
  std::size_t maxUpload = 32 * 1024 * 1024;  // bytes of a whole upload body
  std::chrono::seconds signatureLifetime{600};
  std::size_t signaturesPerAddress = 1000;
};

class Service {
 public:
  Service(Store& store, ServiceOptions options);
  ~Service();
  // Installs the routes on an HTTP server.
  void install(httplib::Server& server);

 private:
  Store& store_;
  ServiceOptions options_;
  SignatureBook signatures_;
  struct Routes;
};

}  // namespace velmserver
