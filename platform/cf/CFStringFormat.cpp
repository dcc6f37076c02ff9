// printf-style formatting of CoreFoundation strings, with "%@" for objects.
//
// The format is walked once; each C conversion is rebuilt as a narrow printf conversion and
// handed to snprintf with the argument fetched at its proper type, so numbers come out exactly
// as printf writes them. "%@" inserts CFCopyDescription of the object; "%s" reads MacRoman
// bytes; "%S" reads zero-terminated UTF-16 units; "%C" a single UTF-16 unit.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "CFInternal.h"

using namespace cfimpl;

namespace {

enum class Length { none, hh, h, l, ll, j, z, t, L };

// snprintf into a std::string.
template <typename T>
std::string cformat(const std::string& directive, T value) {
  char small[128];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = snprintf(small, sizeof small, directive.c_str(), value);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  snprintf(out.data(), out.size(), directive.c_str(), value);
#pragma GCC diagnostic pop
  out.resize(static_cast<size_t>(n));
  return out;
}

std::u16string macRomanToUnits(const std::string& bytes) {
  CFRef<CFStringRef> s(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                               static_cast<CFIndex>(bytes.size()), kCFStringEncodingMacRoman, false));
  return s ? units(s.get()) : fromASCII(bytes);
}

// Pads a piece of text to a field width, on the left unless leftAlign.
void appendPadded(std::u16string& out, const std::u16string& piece, int width, bool leftAlign) {
  size_t w = width > 0 ? static_cast<size_t>(width) : 0;
  if (!leftAlign && piece.size() < w) out.append(w - piece.size(), u' ');
  out += piece;
  if (leftAlign && piece.size() < w) out.append(w - piece.size(), u' ');
}

std::u16string formatUnits(const std::u16string& fmt, va_list args) {
  std::u16string out;
  out.reserve(fmt.size() + 32);
  size_t i = 0;
  const size_t n = fmt.size();
  while (i < n) {
    char16_t c = fmt[i];
    if (c != u'%') {
      size_t next = fmt.find(u'%', i);
      if (next == std::u16string::npos) next = n;
      out.append(fmt, i, next - i);
      i = next;
      continue;
    }
    size_t specStart = i++;
    if (i < n && fmt[i] == u'%') {
      out += u'%';
      ++i;
      continue;
    }
    std::string directive = "%";
    bool leftAlign = false;
    while (i < n && (fmt[i] == u'-' || fmt[i] == u'+' || fmt[i] == u' ' || fmt[i] == u'#' || fmt[i] == u'0' ||
                     fmt[i] == u'\'')) {
      if (fmt[i] == u'-') leftAlign = true;
      if (fmt[i] != u'\'') directive.push_back(static_cast<char>(fmt[i]));
      ++i;
    }
    int width = -1;
    if (i < n && fmt[i] == u'*') {
      width = va_arg(args, int);
      if (width < 0) {
        leftAlign = true;
        directive.push_back('-');
        width = -width;
      }
      directive += std::to_string(width);
      ++i;
    } else {
      int w = 0;
      bool any = false;
      while (i < n && fmt[i] >= u'0' && fmt[i] <= u'9') {
        if (w < 100000) w = w * 10 + (fmt[i] - u'0');
        any = true;
        ++i;
      }
      if (any) {
        width = w;
        directive += std::to_string(w);
      }
    }
    int precision = -1;
    if (i < n && fmt[i] == u'.') {
      ++i;
      if (i < n && fmt[i] == u'*') {
        precision = va_arg(args, int);
        ++i;
      } else {
        precision = 0;
        while (i < n && fmt[i] >= u'0' && fmt[i] <= u'9') {
          if (precision < 100000) precision = precision * 10 + (fmt[i] - u'0');
          ++i;
        }
      }
      if (precision >= 0) directive += "." + std::to_string(precision);
    }
    Length len = Length::none;
    if (i < n) {
      switch (fmt[i]) {
        case u'h':
          len = (i + 1 < n && fmt[i + 1] == u'h') ? Length::hh : Length::h;
          i += len == Length::hh ? 2 : 1;
          break;
        case u'l':
          len = (i + 1 < n && fmt[i + 1] == u'l') ? Length::ll : Length::l;
          i += len == Length::ll ? 2 : 1;
          break;
        case u'q': len = Length::ll, ++i; break;
        case u'j': len = Length::j, ++i; break;
        case u'z': len = Length::z, ++i; break;
        case u't': len = Length::t, ++i; break;
        case u'L': len = Length::L, ++i; break;
        default: break;
      }
    }
    if (i >= n) {
      // An incomplete directive at the end is written as it stands.
      out.append(fmt, specStart, n - specStart);
      break;
    }
    char16_t conv = fmt[i++];
    switch (conv) {
      case u'@': {
        auto v = va_arg(args, CFTypeRef);
        std::u16string piece;
        if (!v) {
          piece = u"(null)";
        } else if (isA(v, kTypeString)) {
          piece = units(static_cast<CFStringRef>(v));
        } else {
          CFRef<CFStringRef> d(CFCopyDescription(v));
          piece = units(d.get());
        }
        if (precision >= 0 && static_cast<size_t>(precision) < piece.size()) piece.resize(static_cast<size_t>(precision));
        appendPadded(out, piece, width, leftAlign);
        break;
      }
      case u'd':
      case u'i': {
        std::string s;
        switch (len) {
          case Length::hh: s = cformat(directive + "hhd", static_cast<signed char>(va_arg(args, int))); break;
          case Length::h: s = cformat(directive + "hd", static_cast<short>(va_arg(args, int))); break;
          case Length::l: s = cformat(directive + "ld", va_arg(args, long)); break;
          case Length::ll: s = cformat(directive + "lld", va_arg(args, long long)); break;
          case Length::j: s = cformat(directive + "jd", va_arg(args, intmax_t)); break;
          case Length::z: s = cformat(directive + "zd", va_arg(args, ssize_t)); break;
          case Length::t: s = cformat(directive + "td", va_arg(args, ptrdiff_t)); break;
          default: s = cformat(directive + "d", va_arg(args, int)); break;
        }
        out += fromASCII(s);
        break;
      }
      case u'o':
      case u'u':
      case u'x':
      case u'X':
      case u'D':
      case u'U':
      case u'O': {
        char cc = static_cast<char>(conv == u'D' ? 'd' : conv == u'U' ? 'u' : conv == u'O' ? 'o' : conv);
        if (conv == u'D' || conv == u'U' || conv == u'O') len = Length::l;
        std::string s;
        std::string sp = directive;
        switch (len) {
          case Length::hh: s = cformat(sp + "hh" + cc, static_cast<unsigned char>(va_arg(args, unsigned))); break;
          case Length::h: s = cformat(sp + "h" + cc, static_cast<unsigned short>(va_arg(args, unsigned))); break;
          case Length::l: s = cformat(sp + "l" + cc, va_arg(args, unsigned long)); break;
          case Length::ll: s = cformat(sp + "ll" + cc, va_arg(args, unsigned long long)); break;
          case Length::j: s = cformat(sp + "j" + cc, va_arg(args, uintmax_t)); break;
          case Length::z: s = cformat(sp + "z" + cc, va_arg(args, size_t)); break;
          case Length::t: s = cformat(sp + "t" + cc, va_arg(args, ptrdiff_t)); break;
          default: s = cformat(sp + cc, va_arg(args, unsigned)); break;
        }
        out += fromASCII(s);
        break;
      }
      case u'f':
      case u'F':
      case u'e':
      case u'E':
      case u'g':
      case u'G':
      case u'a':
      case u'A': {
        std::string s;
        char cc = static_cast<char>(conv);
        if (len == Length::L)
          s = cformat(directive + "L" + cc, va_arg(args, long double));
        else
          s = cformat(directive + cc, va_arg(args, double));
        out += fromASCII(s);
        break;
      }
      case u'c': {
        char byte = static_cast<char>(va_arg(args, int));
        std::u16string piece = macRomanToUnits(std::string(1, byte));
        appendPadded(out, piece, width, leftAlign);
        break;
      }
      case u'C': {
        auto unit = static_cast<char16_t>(va_arg(args, int));
        appendPadded(out, std::u16string(1, unit), width, leftAlign);
        break;
      }
      case u's': {
        const char* p = va_arg(args, const char*);
        std::string bytes;
        if (!p) {
          bytes = "(null)";
        } else if (precision >= 0) {
          bytes.assign(p, strnlen(p, static_cast<size_t>(precision)));
        } else {
          bytes = p;
        }
        appendPadded(out, macRomanToUnits(bytes), width, leftAlign);
        break;
      }
      case u'S': {
        const auto* p = va_arg(args, const char16_t*);
        std::u16string piece = p ? std::u16string(p) : u"(null)";
        if (precision >= 0 && static_cast<size_t>(precision) < piece.size()) piece.resize(static_cast<size_t>(precision));
        appendPadded(out, piece, width, leftAlign);
        break;
      }
      case u'p': out += fromASCII(cformat(directive + "p", va_arg(args, void*))); break;
      case u'n': (void)va_arg(args, void*); break;  // never written to
      default:
        // Unknown conversion: written as it stands, consuming nothing.
        out.append(fmt, specStart, i - specStart);
        break;
    }
  }
  return out;
}

}  // namespace

CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef, CFTypeRef, CFStringRef format, va_list arguments) {
  if (!format) return nullptr;
  va_list copy;
  va_copy(copy, arguments);
  std::u16string text = formatUnits(units(format), copy);
  va_end(copy);
  return makeString(std::move(text));
}

CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFTypeRef options, CFStringRef format, ...) {
  va_list args;
  va_start(args, format);
  CFStringRef s = CFStringCreateWithFormatAndArguments(alloc, options, format, args);
  va_end(args);
  return s;
}

void CFStringAppendFormat(CFMutableStringRef s, CFTypeRef options, CFStringRef format, ...) {
  va_list args;
  va_start(args, format);
  CFRef<CFStringRef> piece(CFStringCreateWithFormatAndArguments(nullptr, options, format, args));
  va_end(args);
  CFStringAppend(s, piece.get());
}
