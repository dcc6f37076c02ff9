#include "NSURLConnection.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

// The UTF-8 bytes of a string; false when it has none (null or not convertible).
bool utf8Of(CFStringRef s, std::string* out) {
  out->clear();
  if (!s) return false;
  CFIndex length = CFStringGetLength(s);
  CFIndex size = 0;
  if (CFStringGetBytes(s, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false, nullptr, 0, &size) != length)
    return false;
  out->resize(static_cast<std::size_t>(size));
  CFStringGetBytes(s, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                   reinterpret_cast<UInt8*>(out->data()), size, nullptr);
  return true;
}

CFRef<CFStringRef> stringOf(const std::string& bytes) {
  return CFRef<CFStringRef>(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                                    static_cast<CFIndex>(bytes.size()),
                                                    kCFStringEncodingUTF8, false));
}

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Characters a URL may hold as they are (RFC 3986: unreserved, reserved and the percent sign).
bool allowedInURL(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::strchr("-._~:/?#[]@!$&'()*+,;=%", c) != nullptr && c != '\0';
}

bool sameField(CFStringRef a, CFStringRef b) {
  return CFStringCompare(a, b, kCFCompareCaseInsensitive) == kCFCompareEqualTo;
}

const char* const kLoopback = "localhost,127.0.0.1,::1";

void initialiseOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string userAgent() {
  const char* program = program_invocation_short_name;
  std::string agent = program && *program ? program : "app";
  return agent + " libcurl/" + curl_version_info(CURLVERSION_NOW)->version;
}

long errorCodeFor(CURLcode rc) {
  switch (rc) {
    case CURLE_OPERATION_TIMEDOUT: return NSURLErrorTimedOut;
    case CURLE_COULDNT_CONNECT: return NSURLErrorCannotConnectToHost;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return NSURLErrorCannotFindHost;
    case CURLE_URL_MALFORMAT: return NSURLErrorBadURL;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING: return NSURLErrorNetworkConnectionLost;
    case CURLE_TOO_MANY_REDIRECTS: return NSURLErrorHTTPTooManyRedirects;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING: return NSURLErrorBadServerResponse;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE: return NSURLErrorSecureConnectionFailed;
    default: return NSURLErrorUnknown;
  }
}

// A body in pieces, read out by libcurl in order.
struct PartsReader {
  const std::vector<CFRef<CFDataRef>>* parts = nullptr;
  std::size_t part = 0;    // the piece being sent
  std::size_t offset = 0;  // bytes of it already sent
};

size_t readParts(char* buffer, size_t size, size_t count, void* context) {
  auto* reader = static_cast<PartsReader*>(context);
  size_t room = size * count, done = 0;
  while (done < room && reader->part < reader->parts->size()) {
    CFDataRef piece = (*reader->parts)[reader->part].get();
    size_t length = piece ? static_cast<size_t>(CFDataGetLength(piece)) : 0;
    size_t n = std::min(room - done, length - reader->offset);
    if (n > 0) std::memcpy(buffer + done, CFDataGetBytePtr(piece) + reader->offset, n);
    done += n;
    reader->offset += n;
    if (reader->offset == length) {
      ++reader->part;
      reader->offset = 0;
    }
  }
  return done;
}

// libcurl rewinds a body it must send again; only a rewind to the start is asked for.
int seekParts(void* context, curl_off_t offset, int origin) {
  auto* reader = static_cast<PartsReader*>(context);
  if (origin != SEEK_SET || offset != 0) return CURL_SEEKFUNC_CANTSEEK;
  reader->part = 0;
  reader->offset = 0;
  return CURL_SEEKFUNC_OK;
}

struct Exchange {
  std::string body;
  std::size_t maxBody = 0;  // 0: no bound
  bool tooLong = false;
  std::vector<std::pair<std::string, std::string>> headers;
};

size_t receiveBody(char* data, size_t size, size_t count, void* context) {
  auto* exchange = static_cast<Exchange*>(context);
  if (exchange->maxBody && exchange->body.size() + size * count > exchange->maxBody) {
    exchange->tooLong = true;
    return 0;  // libcurl ends the transfer with an error
  }
  try {
    exchange->body.append(data, size * count);
  } catch (...) {
    return 0;  // out of memory: libcurl ends the transfer with an error
  }
  return size * count;
}

// Keeps the header fields of the last answer (a redirect's or an interim answer's are dropped).
size_t receiveHeader(char* data, size_t size, size_t count, void* context) {
  auto* exchange = static_cast<Exchange*>(context);
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  try {
    if (line.rfind("HTTP/", 0) == 0) {
      exchange->headers.clear();
    } else if (std::size_t colon = line.find(':'); colon != std::string::npos && colon > 0) {
      std::size_t start = line.find_first_not_of(" \t", colon + 1);
      exchange->headers.emplace_back(line.substr(0, colon),
                                     start == std::string::npos ? std::string() : line.substr(start));
    }
  } catch (...) {
    return 0;
  }
  return size * count;
}

// Watches a transfer for progress; ends it when no byte has moved for the time-out.
struct Idle {
  std::chrono::duration<double> limit{};
  std::chrono::steady_clock::time_point last;
  curl_off_t down = 0, up = 0;
  bool timedOut = false;
  const std::atomic<bool>* cancel = nullptr;
  bool cancelled = false;
};

int watchIdle(void* context, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
  auto* idle = static_cast<Idle*>(context);
  if (idle->cancel && idle->cancel->load()) {
    idle->cancelled = true;
    return 1;
  }
  auto now = std::chrono::steady_clock::now();
  if (dlnow != idle->down || ulnow != idle->up) {
    idle->down = dlnow;
    idle->up = ulnow;
    idle->last = now;
    return 0;
  }
  if (now - idle->last >= idle->limit) {
    idle->timedOut = true;
    return 1;
  }
  return 0;
}

struct CurlDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

void fail(NSError* error, long code, const char* text) {
  if (!error) return;
  CFRef<CFStringRef> description(CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8));
  *error = NSError(CFSTR("NSURLErrorDomain"), code, description.get());
}

}  // namespace

// ---------------------------------------------------------------------------------------
// NSURL

std::optional<NSURL> NSURL::URLWithString(CFStringRef URLString) {
  std::string bytes;
  if (!utf8Of(URLString, &bytes) || bytes.empty()) return std::nullopt;
  bool fragment = false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (!allowedInURL(c)) return std::nullopt;
    if (c == '%' && (i + 2 >= bytes.size() || !isHex(bytes[i + 1]) || !isHex(bytes[i + 2])))
      return std::nullopt;
    if (c == '#') {
      if (fragment) return std::nullopt;
      fragment = true;
    }
  }
  NSURL url;
  url.string_ = CFRef<CFStringRef>::retain(URLString);
  url.utf8_ = std::move(bytes);
  return url;
}

// ---------------------------------------------------------------------------------------
// NSMutableURLRequest

NSMutableURLRequest::NSMutableURLRequest(NSURL url)
    : url_(std::move(url)), method_(CFRef<CFStringRef>::retain(CFSTR("GET"))) {}

NSMutableURLRequest NSMutableURLRequest::requestWithURL(const NSURL& URL) {
  return NSMutableURLRequest(URL);
}

void NSMutableURLRequest::setHTTPMethod(CFStringRef method) {
  method_ = CFRef<CFStringRef>::retain(method ? method : CFSTR("GET"));
}

void NSMutableURLRequest::setTimeoutInterval(double seconds) {
  timeout_ = seconds > 0 && std::isfinite(seconds) ? seconds : kDefaultTimeoutInterval;
}

void NSMutableURLRequest::setValue(CFStringRef value, CFStringRef forHTTPHeaderField) {
  if (!forHTTPHeaderField) return;
  std::erase_if(headers_, [&](const auto& h) { return sameField(h.first.get(), forHTTPHeaderField); });
  if (!value) return;
  std::string bytes;
  if (!utf8Of(value, &bytes) || bytes.find_first_of("\r\n") != std::string::npos) return;
  headers_.emplace_back(CFRef<CFStringRef>::retain(forHTTPHeaderField), CFRef<CFStringRef>::retain(value));
}

CFStringRef NSMutableURLRequest::valueForHTTPHeaderField(CFStringRef field) const {
  if (!field) return nullptr;
  for (const auto& h : headers_)
    if (sameField(h.first.get(), field)) return h.second.get();
  return nullptr;
}

void NSMutableURLRequest::setHTTPBody(CFDataRef data) {
  body_ = CFRef<CFDataRef>::retain(data);
  parts_.clear();
}

void NSMutableURLRequest::setHTTPBodyParts(std::vector<CFRef<CFDataRef>> parts) {
  parts_ = std::move(parts);
  body_.reset();
}

// ---------------------------------------------------------------------------------------
// NSError, NSHTTPURLResponse

NSError::NSError(CFStringRef domain, long code, CFStringRef description)
    : domain_(CFRef<CFStringRef>::retain(domain)),
      code_(code),
      description_(CFRef<CFStringRef>::retain(description)) {}

CFStringRef NSHTTPURLResponse::valueForHTTPHeaderField(CFStringRef field) const {
  if (!field) return nullptr;
  for (const auto& h : headers_)
    if (h.first && sameField(h.first.get(), field)) return h.second.get();
  return nullptr;
}

// ---------------------------------------------------------------------------------------
// NSURLConnection

CFRef<CFDataRef> NSURLConnection::sendSynchronousRequest(const NSMutableURLRequest& request,
                                                         NSHTTPURLResponse* returningResponse,
                                                         NSError* error) {
  try {
    initialiseOnce();
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
      fail(error, NSURLErrorUnknown, "the URL loader could not be started");
      return {};
    }
    CURL* h = curl.get();
    Exchange exchange;

    // Only absolute http and https URLs can be loaded.
    std::string scheme = request.URL().utf8().substr(0, request.URL().utf8().find(':'));
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if ((scheme != "http" && scheme != "https") ||
        request.URL().utf8().compare(scheme.size(), 3, "://") != 0) {
      fail(error, NSURLErrorUnsupportedURL, "unsupported URL");
      return {};
    }

    std::string method;
    utf8Of(request.HTTPMethod(), &method);
    if (method.empty()) method = "GET";
    if (method.find_first_of(" \t\r\n") != std::string::npos) {
      fail(error, NSURLErrorBadURL, "invalid HTTP method");
      return {};
    }

    curl_easy_setopt(h, CURLOPT_URL, request.URL().utf8().c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_NOPROXY, kLoopback);
    curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
    std::string agent = userAgent();
    curl_easy_setopt(h, CURLOPT_USERAGENT, agent.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, receiveBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, receiveHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &exchange);

    // The time-out is the platform's: time without progress. Connecting gets the whole
    // interval; afterwards a transfer that moves no byte for that long is given up.
    Idle idle;
    idle.limit = std::chrono::duration<double>(request.timeoutInterval());
    idle.last = std::chrono::steady_clock::now();
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::ceil(request.timeoutInterval() * 1000)));
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, watchIdle);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &idle);
    idle.cancel = request.cancellationFlag();
    if (idle.cancel && idle.cancel->load()) {
      fail(error, NSURLErrorCancelled, "cancelled");
      return {};
    }
    if (request.deadlineInterval() > 0)
      curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(std::ceil(request.deadlineInterval() * 1000)));
    if (request.maximumAnswerLength() > 0) {
      exchange.maxBody = static_cast<std::size_t>(request.maximumAnswerLength());
      // A declared length beyond the bound is refused before any of the body is read.
      curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maximumAnswerLength()));
    }

    CFDataRef body = request.HTTPBody();
    PartsReader parts;
    if (method == "GET") {
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
      curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
      curl_easy_setopt(h, CURLOPT_MAXREDIRS, 16L);
      curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    } else if (method == "HEAD") {
      curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else {
      if (method == "POST")
        curl_easy_setopt(h, CURLOPT_POST, 1L);
      else
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
      if (!request.HTTPBodyParts().empty()) {
        // The pieces are read out one after another as the request goes; none is copied
        // into a buffer of the whole.
        curl_off_t length = 0;
        for (const auto& piece : request.HTTPBodyParts()) length += piece ? CFDataGetLength(piece.get()) : 0;
        parts.parts = &request.HTTPBodyParts();
        if (method != "POST") curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_READFUNCTION, readParts);
        curl_easy_setopt(h, CURLOPT_READDATA, &parts);
        curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, seekParts);
        curl_easy_setopt(h, CURLOPT_SEEKDATA, &parts);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, length);
      } else {
        // The body is sent straight from the data object, without another copy.
        static const UInt8 kNothing = 0;
        const UInt8* bytes = body ? CFDataGetBytePtr(body) : &kNothing;
        curl_off_t length = body ? static_cast<curl_off_t>(CFDataGetLength(body)) : 0;
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, bytes ? bytes : &kNothing);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, length);
      }
    }

    std::unique_ptr<curl_slist, SlistDeleter> headers;
    auto add = [&](const std::string& line) {
      if (curl_slist* grown = curl_slist_append(headers.get(), line.c_str())) {
        (void)headers.release();  // grown is the same list, now one longer
        headers.reset(grown);
      }
    };
    for (const auto& [field, value] : request.allHTTPHeaderFields()) {
      std::string name, text;
      if (!utf8Of(field.get(), &name) || !utf8Of(value.get(), &text) || name.empty()) continue;
      if (name.find_first_of(":\r\n \t") != std::string::npos) continue;
      // libcurl writes the real length itself; a different one would corrupt the exchange.
      if (CFStringCompare(field.get(), CFSTR("Content-Length"), kCFCompareCaseInsensitive) == kCFCompareEqualTo)
        continue;
      add(text.empty() ? name + ";" : name + ": " + text);
    }
    add("Expect:");
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

    CURLcode rc = curl_easy_perform(h);
    if (rc == CURLE_ABORTED_BY_CALLBACK && idle.timedOut) rc = CURLE_OPERATION_TIMEDOUT;
    if (exchange.tooLong || rc == CURLE_FILESIZE_EXCEEDED) {
      fail(error, NSURLErrorDataLengthExceedsMaximum, "the answer is longer than the request allows");
      return {};
    }
    if (rc == CURLE_ABORTED_BY_CALLBACK && idle.cancelled) {
      fail(error, NSURLErrorCancelled, "cancelled");
      return {};
    }
    if (rc != CURLE_OK) {
      fail(error, errorCodeFor(rc), curl_easy_strerror(rc));
      return {};
    }

    if (returningResponse) {
      NSHTTPURLResponse response;
      long status = 0;
      curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
      response.status_ = status;
      char* effective = nullptr;
      curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective);
      if (effective) response.url_ = stringOf(effective);
      for (const auto& [name, value] : exchange.headers) {
        CFRef<CFStringRef> n = stringOf(name);
        CFRef<CFStringRef> v = stringOf(value);
        if (n && v) response.headers_.emplace_back(std::move(n), std::move(v));
      }
      *returningResponse = std::move(response);
    }
    if (error) *error = NSError();
    return CFRef<CFDataRef>(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(exchange.body.data()),
                                         static_cast<CFIndex>(exchange.body.size())));
  } catch (...) {
    fail(error, NSURLErrorUnknown, "out of memory");
    return {};
  }
}

NSHTTPURLResponse NSHTTPURLResponseFromHeaderLines(const std::vector<std::string>& lines) {
  Exchange exchange;
  for (const std::string& line : lines)
    if (receiveHeader(const_cast<char*>(line.data()), 1, line.size(), &exchange) != line.size()) break;
  NSHTTPURLResponse response;
  for (const auto& [name, value] : exchange.headers) {
    CFRef<CFStringRef> n = stringOf(name);
    CFRef<CFStringRef> v = stringOf(value);
    if (n && v) response.headers_.emplace_back(std::move(n), std::move(v));
  }
  return response;
}
