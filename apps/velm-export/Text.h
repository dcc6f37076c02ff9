// Text conversions between CoreFoundation strings and UTF-8 for velm-export.
#pragma once

#include <string>

#include "CoreFoundation.h"

namespace velmexport {

// The string's UTF-8 bytes; units that have none (a lone surrogate) become '?'. Empty for null.
inline std::string utf8(CFStringRef s) {
  if (!s) return {};
  CFIndex used = 0;
  CFIndex n = CFStringGetLength(s);
  CFStringGetBytes(s, CFRangeMake(0, n), kCFStringEncodingUTF8, '?', false, nullptr, 0, &used);
  std::string out(static_cast<size_t>(used), '\0');
  CFStringGetBytes(s, CFRangeMake(0, n), kCFStringEncodingUTF8, '?', false, reinterpret_cast<UInt8*>(out.data()), used,
                   &used);
  return out;
}

// A new string of UTF-8 bytes; null when they are not UTF-8.
inline CFRef<CFStringRef> cfString(const std::string& s) {
  return CFRef<CFStringRef>(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(s.data()),
                                                    static_cast<CFIndex>(s.size()), kCFStringEncodingUTF8, false));
}

}  // namespace velmexport
