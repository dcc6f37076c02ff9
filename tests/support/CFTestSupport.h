// Helpers for tests of code that works with CoreFoundation strings.
#pragma once

#include <string>

#include "CoreFoundation.h"

namespace velmtest {

// The string's UTF-8 text, with unconvertible units as '?'; "<null>" for null.
inline std::string utf8(CFStringRef s) {
  if (!s) return "<null>";
  CFIndex used = 0;
  CFIndex n = CFStringGetLength(s);
  CFStringGetBytes(s, CFRangeMake(0, n), kCFStringEncodingUTF8, '?', false, nullptr, 0, &used);
  std::string out(static_cast<size_t>(used), '\0');
  CFStringGetBytes(s, CFRangeMake(0, n), kCFStringEncodingUTF8, '?', false, reinterpret_cast<UInt8*>(out.data()),
                   used, &used);
  return out;
}

}  // namespace velmtest
