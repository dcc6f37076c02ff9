// Property lists through libplist.
#include <plist/plist.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CFInternal.h"

using namespace cfimpl;

namespace {

struct PlistFree {
  void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// dropped, when given, makes the reading lenient for the entries of a top-level dictionary.
CFTypeRef fromPlist(plist_t node, CFOptionFlags options, int depth, std::vector<std::string>* dropped) {
  if (!node || depth > 512) return nullptr;
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      // Read with its stored length: a NUL inside the text is the file's fault, not a reason for
      // the reader to give up on the process.
      uint64_t length = 0;
      const char* v = plist_get_string_ptr(node, &length);
      if (!v || memchr(v, 0, length)) return nullptr;
      std::u16string u;
      if (!fromUTF8(std::string_view(v, length), u)) return nullptr;
      if (options == kCFPropertyListMutableContainersAndLeaves) return new __CFString(std::move(u), true);
      return makeString(std::move(u));
    }
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return CFRetain(b ? kCFBooleanTrue : kCFBooleanFalse);
    }
    case PLIST_UINT: {
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      auto i = static_cast<int64_t>(v);  // stored as the two's complement of signed values
      return CFNumberCreate(nullptr, kCFNumberSInt64Type, &i);
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return CFNumberCreate(nullptr, kCFNumberDoubleType, &d);
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return CFDateCreate(nullptr, sec + usec / 1e6);
    }
    case PLIST_DATA: {
      char* v = nullptr;
      uint64_t n = 0;
      plist_get_data_val(node, &v, &n);
      CFDataRef d = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(v), static_cast<CFIndex>(n));
      free(v);
      return d;
    }
    case PLIST_ARRAY: {
      CFMutableArrayRef a = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
      uint32_t n = plist_array_get_size(node);
      for (uint32_t i = 0; i < n; ++i) {
        CFRef<CFTypeRef> item(fromPlist(plist_array_get_item(node, i), options, depth + 1, nullptr));
        if (!item) {
          CFRelease(a);
          return nullptr;
        }
        CFArrayAppendValue(a, item.get());
      }
      if (options != kCFPropertyListImmutable) return a;
      CFArrayRef copy = CFArrayCreateCopy(nullptr, a);
      CFRelease(a);
      return copy;
    }
    case PLIST_DICT: {
      CFMutableDictionaryRef d =
          CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      bool ok = true;
      while (it) {
        char* key = nullptr;
        plist_t val = nullptr;
        plist_dict_next_item(node, it, &key, &val);
        if (!key) break;
        std::u16string k;
        bool keyOK = fromUTF8(key, k);
        CFRef<CFTypeRef> v(fromPlist(val, options, depth + 1, nullptr));
        if (!keyOK || !v) {
          if (dropped && depth == 0) {
            // Reading leniently: the entry that cannot be read is left out, the rest is kept.
            dropped->push_back(keyOK ? std::string(key) : std::string());
            free(key);
            continue;
          }
          free(key);
          ok = false;
          break;
        }
        free(key);
        CFRef<CFStringRef> ks(makeString(std::move(k)));
        CFDictionarySetValue(d, ks.get(), v.get());
      }
      free(it);
      if (!ok) {
        CFRelease(d);
        return nullptr;
      }
      if (options != kCFPropertyListImmutable) return d;
      CFDictionaryRef copy = CFDictionaryCreateCopy(nullptr, d);
      CFRelease(d);
      return copy;
    }
    default: return nullptr;
  }
}

plist_t toPlist(CFTypeRef v, int depth) {
  if (!v || depth > 512) return nullptr;
  CFTypeID t = CFGetTypeID(v);
  if (t == CFStringGetTypeID()) {
    std::string s;
    if (!toUTF8(units(static_cast<CFStringRef>(v)), s)) return nullptr;
    return plist_new_string(s.c_str());
  }
  if (t == CFBooleanGetTypeID()) return plist_new_bool(CFBooleanGetValue(static_cast<CFBooleanRef>(v)));
  if (t == CFNumberGetTypeID()) {
    auto n = static_cast<CFNumberRef>(v);
    if (CFNumberIsFloatType(n)) {
      double d = 0;
      CFNumberGetValue(n, kCFNumberDoubleType, &d);
      return plist_new_real(d);
    }
    int64_t i = 0;
    CFNumberGetValue(n, kCFNumberSInt64Type, &i);
    return plist_new_uint(static_cast<uint64_t>(i));
  }
  if (t == CFDateGetTypeID()) {
    double at = CFDateGetAbsoluteTime(static_cast<CFDateRef>(v));
    double sec = std::floor(at);
    if (sec < INT32_MIN || sec > INT32_MAX) return nullptr;
    return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>((at - sec) * 1e6));
  }
  if (t == CFDataGetTypeID()) {
    auto d = static_cast<CFDataRef>(v);
    return plist_new_data(reinterpret_cast<const char*>(CFDataGetBytePtr(d)), static_cast<uint64_t>(CFDataGetLength(d)));
  }
  if (t == CFArrayGetTypeID()) {
    auto a = static_cast<CFArrayRef>(v);
    PlistPtr out(plist_new_array());
    for (CFIndex i = 0; i < CFArrayGetCount(a); ++i) {
      plist_t item = toPlist(CFArrayGetValueAtIndex(a, i), depth + 1);
      if (!item) return nullptr;
      plist_array_append_item(out.get(), item);
    }
    return out.release();
  }
  if (t == CFDictionaryGetTypeID()) {
    auto d = static_cast<CFDictionaryRef>(v);
    CFIndex n = CFDictionaryGetCount(d);
    std::vector<const void*> keys(static_cast<size_t>(n)), values(static_cast<size_t>(n));
    CFDictionaryGetKeysAndValues(d, keys.data(), values.data());
    PlistPtr out(plist_new_dict());
    for (CFIndex i = 0; i < n; ++i) {
      std::string k;
      if (!isA(keys[static_cast<size_t>(i)], kTypeString) ||
          !toUTF8(units(static_cast<CFStringRef>(keys[static_cast<size_t>(i)])), k))
        return nullptr;
      plist_t item = toPlist(values[static_cast<size_t>(i)], depth + 1);
      if (!item) return nullptr;
      plist_dict_set_item(out.get(), k.c_str(), item);
    }
    return out.release();
  }
  return nullptr;
}

}  // namespace

namespace {

uint64_t bigEndian(const uint8_t* p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// True when some string object of a binary property list holds a NUL character. The binary
// reader keeps such strings, keys included, with a length that no longer matches their text,
// and libplist then asserts when the text is asked for. Tables that do not add up are left to
// the reader, which refuses them.
bool binaryHoldsNulString(const uint8_t* b, size_t n) {
  if (n < 8 + 32) return false;
  const uint8_t* trailer = b + n - 32;
  size_t offsetSize = trailer[6];
  uint64_t count = bigEndian(trailer + 8, 8);
  uint64_t table = bigEndian(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || table >= n || count > (n - table) / offsetSize) return false;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t at = bigEndian(b + table + i * offsetSize, offsetSize);
    if (at >= n) continue;
    uint8_t marker = b[at];
    uint8_t kind = marker >> 4;
    if (kind != 0x5 && kind != 0x6 && kind != 0x7) continue;
    uint64_t length = marker & 0x0F;
    uint64_t start = at + 1;
    if (length == 0x0F) {
      // The length follows as an integer object: marker 0x1N, then 2^N bytes.
      if (start >= n || (b[start] >> 4) != 0x1) continue;
      size_t bytes = size_t{1} << (b[start] & 0x0F);
      if (bytes > 8 || start + 1 + bytes > n) continue;
      length = bigEndian(b + start + 1, bytes);
      start += 1 + bytes;
    }
    uint64_t unit = kind == 0x6 ? 2 : 1;
    if (start > n || length > (n - start) / unit) continue;
    for (uint64_t j = 0; j < length; ++j) {
      const uint8_t* c = b + start + j * unit;
      if (c[0] == 0 && (unit == 1 || c[1] == 0)) return true;
    }
  }
  return false;
}

CFPropertyListRef readPropertyList(CFDataRef data, CFOptionFlags options, CFPropertyListFormat* format,
                                   std::vector<std::string>* dropped) {
  if (!data || CFDataGetLength(data) <= 0 || CFDataGetLength(data) > UINT32_MAX) return nullptr;
  const char* bytes = reinterpret_cast<const char*>(CFDataGetBytePtr(data));
  auto n = static_cast<uint32_t>(CFDataGetLength(data));
  plist_t root = nullptr;
  bool binary = plist_is_binary(bytes, n);
  if (binary) {
    if (binaryHoldsNulString(reinterpret_cast<const uint8_t*>(bytes), n)) return nullptr;
    plist_from_bin(bytes, n, &root);
  } else {
    // The XML reader wants the text to end where the data ends.
    std::string text(bytes, n);
    plist_from_xml(text.c_str(), n, &root);
  }
  PlistPtr holder(root);
  if (!root) return nullptr;
  if (format) *format = binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0;
  return fromPlist(root, options, 0, dropped);
}

}  // namespace

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data, CFOptionFlags options,
                                               CFPropertyListFormat* format, CFErrorRef* error) {
  if (error) *error = nullptr;
  return readPropertyList(data, options, format, nullptr);
}

CFPropertyListRef cfimpl::propertyListCreateLenient(CFDataRef data, CFOptionFlags options,
                                                    std::vector<std::string>& dropped) {
  dropped.clear();
  return readPropertyList(data, options, nullptr, &dropped);
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef plist, CFPropertyListFormat format, CFOptionFlags,
                                   CFErrorRef* error) {
  if (error) *error = nullptr;
  PlistPtr root(toPlist(plist, 0));
  if (!root) return nullptr;
  char* out = nullptr;
  uint32_t n = 0;
  if (format == kCFPropertyListBinaryFormat_v1_0) {
    plist_to_bin(root.get(), &out, &n);
  } else {
    plist_to_xml(root.get(), &out, &n);
  }
  if (!out) return nullptr;
  CFDataRef d = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(out), n);
  if (format == kCFPropertyListBinaryFormat_v1_0)
    plist_to_bin_free(out);
  else
    plist_to_xml_free(out);
  return d;
}

Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat) {
  PlistPtr root(toPlist(plist, 0));
  return root != nullptr;
}
