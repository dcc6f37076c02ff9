// URL loading, part 2: NSMutableURLRequest, what goes out.
#pragma once

#include <utility>
#include <vector>

#include "CFData.h"
#include "CFRef.h"
#include "CFString.h"
#include "NSURL.h"

class NSMutableURLRequest {
 public:
  // The platform's default time-out: 60 seconds without progress.
  static constexpr double kDefaultTimeoutInterval = 60.0;

  // +[NSMutableURLRequest requestWithURL:]: a GET request without header fields or body and
  // the default time-out.
  static NSMutableURLRequest requestWithURL(const NSURL& URL);

  const NSURL& URL() const { return url_; }

  // "GET" unless set; borrowed.
  CFStringRef HTTPMethod() const { return method_.get(); }
  void setHTTPMethod(CFStringRef method);

  // Seconds that the request may go without progress (connecting, sending or receiving)
  // before it fails with a time-out.
  double timeoutInterval() const { return timeout_; }
  void setTimeoutInterval(double seconds);

  // Header fields; names compare without regard to case. A null value removes the field.
  // Values holding a line break are refused (they would add header lines of their own).
  void setValue(CFStringRef value, CFStringRef forHTTPHeaderField);
  CFStringRef valueForHTTPHeaderField(CFStringRef field) const;  // borrowed, or null
  const std::vector<std::pair<CFRef<CFStringRef>, CFRef<CFStringRef>>>& allHTTPHeaderFields() const {
    return headers_;
  }

  // The body, retained (not copied): it is sent as it is when the request goes out.
  CFDataRef HTTPBody() const { return body_.get(); }
  void setHTTPBody(CFDataRef data);

 private:
  explicit NSMutableURLRequest(NSURL url);
  NSURL url_;
  CFRef<CFStringRef> method_;
  double timeout_ = kDefaultTimeoutInterval;
  std::vector<std::pair<CFRef<CFStringRef>, CFRef<CFStringRef>>> headers_;
  CFRef<CFDataRef> body_;
};
