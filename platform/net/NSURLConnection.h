// URL loading, part 3: NSURLConnection's synchronous requests, on libcurl.
//
// sendSynchronousRequest blocks the calling thread until the exchange has ended. It returns
// the body of the answer whatever its HTTP status (an empty body is empty data), or null when
// no complete answer arrived: refused or failed connection, time-out, a connection closed in
// the middle of the answer, a URL the loader cannot use. Requests are never retried.
//
// What it does as the platform did:
//   - GET requests follow redirects (at most 16, http and https only); other methods do not.
//   - It adds the header fields Host, User-Agent, Accept ("*/*") and Accept-Encoding, and
//     decodes compressed answers. Content-Length is always the body's real length, whatever
//     the request says. It never sends "Expect: 100-continue".
//   - The time-out counts time without progress, not the whole exchange; a request may add an
//     overall deadline, a bound on the answer's length and a flag that stops it (NSURLRequest.h).
// Loopback addresses never go through a proxy.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "CFData.h"
#include "CFRef.h"
#include "CFString.h"
#include "NSURL.h"
#include "NSURLRequest.h"

// Error codes of the URL loading domain (the platform's NSURLError values).
enum : long {
  NSURLErrorUnknown = -1,
  NSURLErrorCancelled = -999,
  NSURLErrorBadURL = -1000,
  NSURLErrorTimedOut = -1001,
  NSURLErrorUnsupportedURL = -1002,
  NSURLErrorCannotFindHost = -1003,
  NSURLErrorCannotConnectToHost = -1004,
  NSURLErrorNetworkConnectionLost = -1005,
  NSURLErrorHTTPTooManyRedirects = -1007,
  NSURLErrorBadServerResponse = -1011,
  NSURLErrorDataLengthExceedsMaximum = -1103,
  NSURLErrorSecureConnectionFailed = -1200,
};

class NSError {
 public:
  NSError() = default;
  NSError(CFStringRef domain, long code, CFStringRef description);
  CFStringRef domain() const { return domain_.get(); }  // "NSURLErrorDomain"
  long code() const { return code_; }
  CFStringRef localizedDescription() const { return description_.get(); }

 private:
  CFRef<CFStringRef> domain_;
  long code_ = 0;
  CFRef<CFStringRef> description_;
};

class NSHTTPURLResponse {
 public:
  long statusCode() const { return status_; }
  // The address that answered (after redirects); borrowed, null before an answer.
  CFStringRef URL() const { return url_.get(); }
  // A header field of the answer; borrowed, or null. Names compare without regard to case.
  CFStringRef valueForHTTPHeaderField(CFStringRef field) const;

 private:
  friend class NSURLConnection;
  friend NSHTTPURLResponse NSHTTPURLResponseFromHeaderLines(const std::vector<std::string>& lines);
  long status_ = 0;
  CFRef<CFStringRef> url_;
  std::vector<std::pair<CFRef<CFStringRef>, CFRef<CFStringRef>>> headers_;
};

// The header fields an answer's header lines give, each line as it comes off the wire (line
// break included), read as sendSynchronousRequest reads them. For checking that reading on
// its own.
NSHTTPURLResponse NSHTTPURLResponseFromHeaderLines(const std::vector<std::string>& lines);

class NSURLConnection {
 public:
  // +[NSURLConnection sendSynchronousRequest:returningResponse:error:]. The answer's body is
  // handed to the caller (null when none arrived). returningResponse and error may be null;
  // when given, they receive the answer's status line and header fields, or the reason no
  // answer arrived.
  static CFRef<CFDataRef> sendSynchronousRequest(const NSMutableURLRequest& request,
                                                 NSHTTPURLResponse* returningResponse,
                                                 NSError* error);
};
