// URL loading, part 1: NSURL, the address of a request.
//
// The platform's URL loading classes are modelled as C++ value classes with the platform's
// names; strings and data are CFStringRef and CFDataRef (toll-free bridged with NSString and
// NSData on the original platform). A null or invalid object is an empty std::optional.
#pragma once

#include <optional>
#include <string>

#include "CFRef.h"
#include "CFString.h"

class NSURL {
 public:
  // +[NSURL URLWithString:]: nothing when the text is null, empty, holds a character that URLs
  // do not allow (space, quotation mark, angle and curly brackets, backslash, circumflex,
  // grave accent, vertical bar, control and non-ASCII characters), a second number sign, or a
  // percent sign that is not followed by two hexadecimal digits.
  static std::optional<NSURL> URLWithString(CFStringRef URLString);

  // The URL's text; borrowed, lives as long as this object.
  CFStringRef absoluteString() const { return string_.get(); }
  // The text as bytes (ASCII only).
  const std::string& utf8() const { return utf8_; }

 private:
  NSURL() = default;
  CFRef<CFStringRef> string_;
  std::string utf8_;
};
