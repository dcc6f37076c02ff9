#include "NSLog.h"

#include <syslog.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "CFRef.h"

namespace {
std::string utf8(CFStringRef s) {
  CFIndex used = 0;
  CFIndex n = CFStringGetLength(s);
  CFStringGetBytes(s, CFRangeMake(0, n), kCFStringEncodingUTF8, '?', false, nullptr, 0, &used);
  std::string out(static_cast<size_t>(used), '\0');
  CFStringGetBytes(s, CFRangeMake(0, n), kCFStringEncodingUTF8, '?', false,
                   reinterpret_cast<UInt8*>(out.data()), used, &used);
  return out;
}

std::string programName() {
  char buf[256];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "process";
  buf[n] = 0;
  std::string p = buf;
  return p.substr(p.rfind('/') + 1);
}
}  // namespace

void NSLogv(CFStringRef format, va_list args) {
  CFRef<CFStringRef> message(CFStringCreateWithFormatAndArguments(nullptr, nullptr, format, args));
  std::string text = message ? utf8(message.get()) : std::string();
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  struct tm tm {};
  localtime_r(&tv.tv_sec, &tm);
  char stamp[64];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  static const std::string name = programName();
  fprintf(stderr, "%s.%03ld %s[%d] %s\n", stamp, static_cast<long>(tv.tv_usec / 1000), name.c_str(),
          static_cast<int>(getpid()), text.c_str());
  syslog(LOG_USER | LOG_NOTICE, "%s", text.c_str());
}

void NSLog(CFStringRef format, ...) {
  va_list args;
  va_start(args, format);
  NSLogv(format, args);
  va_end(args);
}
