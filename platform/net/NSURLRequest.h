// URL loading, part 2: NSMutableURLRequest, what goes out.
#pragma once

#include <atomic>
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

  // Beyond the platform: bounds a program sets on one request.
  // The longest answer body accepted, in bytes; a longer one ends the exchange with no answer
  // (NSURLErrorDataLengthExceedsMaximum). 0, the default: no bound.
  CFIndex maximumAnswerLength() const { return maxAnswer_; }
  void setMaximumAnswerLength(CFIndex bytes) { maxAnswer_ = bytes > 0 ? bytes : 0; }
  // Seconds the whole exchange may take, however steadily bytes move; then it fails with a
  // time-out. 0, the default: no overall deadline, only the time-out without progress.
  double deadlineInterval() const { return deadline_; }
  void setDeadlineInterval(double seconds) { deadline_ = seconds > 0 && seconds < 1e9 ? seconds : 0; }
  // A flag that another thread may set to stop the exchange in progress; it then ends with no
  // answer (NSURLErrorCancelled). Not owned; it must outlive the request. Null: none.
  const std::atomic<bool>* cancellationFlag() const { return cancel_; }
  void setCancellationFlag(const std::atomic<bool>* flag) { cancel_ = flag; }

  // The body, retained (not copied): it is sent as it is when the request goes out.
  CFDataRef HTTPBody() const { return body_.get(); }
  void setHTTPBody(CFDataRef data);

  // Beyond the platform: a body sent as pieces one after another, each retained (not copied),
  // so that a large piece (a photo) goes out without being copied into one buffer with the
  // rest. Setting parts drops the body set with setHTTPBody, and the other way round.
  const std::vector<CFRef<CFDataRef>>& HTTPBodyParts() const { return parts_; }
  void setHTTPBodyParts(std::vector<CFRef<CFDataRef>> parts);

 private:
  explicit NSMutableURLRequest(NSURL url);
  NSURL url_;
  CFRef<CFStringRef> method_;
  double timeout_ = kDefaultTimeoutInterval;
  std::vector<std::pair<CFRef<CFStringRef>, CFRef<CFStringRef>>> headers_;
  CFRef<CFDataRef> body_;
  std::vector<CFRef<CFDataRef>> parts_;
  CFIndex maxAnswer_ = 0;
  double deadline_ = 0;
  const std::atomic<bool>* cancel_ = nullptr;
};
