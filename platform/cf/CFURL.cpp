// CoreFoundation URLs: percent escaping and file URLs.
#include <cstring>
#include <mutex>
#include <string>

#include "CFInternal.h"
#include "FilesInternal.h"

using namespace cfimpl;

namespace {

bool isLegalURLByte(unsigned char b) {
  if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9')) return true;
  return strchr("-_.!~*'();/?:@&=+$,", b) != nullptr && b != 0;
}

bool inSet(CFStringRef set, char16_t c) {
  return set && units(set).find(c) != std::u16string::npos;
}

int hexValue(char16_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

CFStringRef CFURLCreateStringByAddingPercentEscapes(CFAllocatorRef, CFStringRef original, CFStringRef leaveUnescaped,
                                                    CFStringRef legalToEscape, CFStringEncoding encoding) {
  if (!original) return nullptr;
  static const char16_t kHex[] = u"0123456789ABCDEF";
  const auto& in = units(original);
  std::u16string out;
  out.reserve(in.size() + in.size() / 2);
  std::string bytes;
  for (size_t i = 0; i < in.size();) {
    size_t start = i;
    ++i;
    if (i < in.size() && (in[start] & 0xFC00) == 0xD800 && (in[i] & 0xFC00) == 0xDC00) ++i;
    char16_t c = in[start];
    if (i - start == 1 && inSet(leaveUnescaped, c)) {
      out.push_back(c);
      continue;
    }
    if (i - start == 1 && c < 0x80 && isLegalURLByte(static_cast<unsigned char>(c)) && !inSet(legalToEscape, c)) {
      out.push_back(c);
      continue;
    }
    CFRef<CFStringRef> piece(makeString(in.substr(start, i - start)));
    CFIndex used = 0;
    CFIndex len = i - start;
    bytes.assign(static_cast<size_t>(len) * 4 + 8, '\0');
    if (CFStringGetBytes(piece.get(), CFRangeMake(0, len), encoding, 0, false,
                         reinterpret_cast<UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size()), &used) != len)
      return nullptr;  // a character the encoding cannot carry
    for (CFIndex k = 0; k < used; ++k) {
      auto b = static_cast<unsigned char>(bytes[static_cast<size_t>(k)]);
      out.push_back(u'%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    }
  }
  return makeString(std::move(out));
}

CFStringRef CFURLCreateStringByReplacingPercentEscapes(CFAllocatorRef, CFStringRef original,
                                                       CFStringRef leaveEscaped) {
  if (!original) return nullptr;
  if (!leaveEscaped) return makeString(units(original));
  const auto& in = units(original);
  // Work in UTF-8 bytes so that multi-byte escapes decode together.
  std::string text;
  if (!toUTF8(in, text)) return nullptr;
  std::string bytes;
  bytes.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(static_cast<char16_t>(text[i + 1])) >= 0 &&
        hexValue(static_cast<char16_t>(text[i + 2])) >= 0) {
      int v = hexValue(static_cast<char16_t>(text[i + 1])) * 16 + hexValue(static_cast<char16_t>(text[i + 2]));
      if (v < 0x80 && inSet(leaveEscaped, static_cast<char16_t>(v))) {
        bytes.append(text, i, 3);
      } else {
        bytes.push_back(static_cast<char>(v));
      }
      i += 2;
      continue;
    }
    bytes.push_back(text[i]);
  }
  std::u16string out;
  if (!fromUTF8(bytes, out)) return nullptr;
  return makeString(std::move(out));
}

// ---------------------------------------------------------------------------------------------
// URL objects: the URL text, and for file URLs the path.

struct __CFURL : Object {
  __CFURL(std::u16string s, std::u16string p, bool file) : Object(kTypeURL), string(std::move(s)), path(std::move(p)), isFile(file) {}
  bool equal(const Object* o) const override { return string == static_cast<const __CFURL*>(o)->string; }
  CFHashCode hash() const override { return std::hash<std::u16string>()(string); }
  std::u16string describe() const override { return string; }
  std::u16string string;
  std::u16string path;
  bool isFile;
  CFRef<CFStringRef> stringObject;
};

namespace {
// Percent-escapes a path for a file URL: everything but unreserved characters and "/".
std::u16string escapePath(const std::u16string& path) {
  CFRef<CFStringRef> p(makeString(path));
  CFRef<CFStringRef> e(CFURLCreateStringByAddingPercentEscapes(nullptr, p.get(), CFSTR("/"),
                                                               CFSTR("!$&'()*+,;=:?@#"), kCFStringEncodingUTF8));
  return e ? units(e.get()) : path;
}

CFURLRef makeFileURL(std::u16string path, bool isDirectory) {
  if (path.empty()) return nullptr;
  if (isDirectory && path.back() != u'/') path.push_back(u'/');
  auto* u = new __CFURL(u"file://" + escapePath(path), path, true);
  if (u->path.size() > 1 && u->path.back() == u'/') u->path.pop_back();
  return u;
}
}  // namespace

CFURLRef CFURLCreateWithString(CFAllocatorRef, CFStringRef s, CFURLRef) {
  if (!s || units(s).empty()) return nullptr;
  const auto& text = units(s);
  for (char16_t c : text)
    if (c <= 0x20 || c >= 0x7F) return nullptr;  // URLs are escaped ASCII
  std::u16string path;
  bool file = text.rfind(u"file://", 0) == 0;
  if (file) {
    std::u16string rest = text.substr(7);
    size_t slash = rest.find(u'/');
    CFRef<CFStringRef> escaped(makeString(slash == std::u16string::npos ? u"/" : rest.substr(slash)));
    CFRef<CFStringRef> decoded(CFURLCreateStringByReplacingPercentEscapes(nullptr, escaped.get(), CFSTR("")));
    if (!decoded) return nullptr;
    path = units(decoded.get());
    if (path.size() > 1 && path.back() == u'/') path.pop_back();
  }
  return new __CFURL(text, path, file);
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath, CFURLPathStyle, Boolean isDirectory) {
  if (!filePath) return nullptr;
  return makeFileURL(units(filePath), isDirectory);
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8* buffer, CFIndex len, Boolean isDirectory) {
  if (!buffer || len <= 0) return nullptr;
  std::u16string path;
  if (!fromUTF8(std::string_view(reinterpret_cast<const char*>(buffer), static_cast<size_t>(len)), path)) return nullptr;
  return makeFileURL(std::move(path), isDirectory);
}

CFStringRef CFURLGetString(CFURLRef url) {
  if (!url) return nullptr;
  auto* u = const_cast<__CFURL*>(url);
  // Made once, on first use; URL objects are immutable afterwards.
  static std::mutex lock;
  std::lock_guard<std::mutex> g(lock);
  if (!u->stringObject) u->stringObject.reset(makeString(u->string));
  return u->stringObject.get();
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef url, CFURLPathStyle pathStyle) {
  if (!url || !url->isFile) return nullptr;
  if (pathStyle == kCFURLPOSIXPathStyle) return makeString(url->path);
  if (pathStyle != kCFURLHFSPathStyle) return nullptr;
  std::string posix;
  if (!toUTF8(url->path, posix)) return nullptr;
  std::string hfs = velm_files::hfsPathFromPOSIX(posix);
  if (hfs.empty()) return nullptr;
  return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(hfs.data()), static_cast<CFIndex>(hfs.size()),
                                 kCFStringEncodingUTF8, false);
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean, UInt8* buffer, CFIndex maxBufLen) {
  if (!url || !url->isFile || !buffer || maxBufLen <= 0) return false;
  std::string p;
  if (!toUTF8(url->path, p) || static_cast<CFIndex>(p.size()) + 1 > maxBufLen) return false;
  memcpy(buffer, p.c_str(), p.size() + 1);
  return true;
}
