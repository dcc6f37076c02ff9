// CoreFoundation runtime: retain and release, type IDs, and the value types
// (null, booleans, numbers, dates, data, arrays, dictionaries, UUIDs).
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>
#include <unordered_map>

#include "CFInternal.h"

using namespace cfimpl;

// ---------------------------------------------------------------------------------------------
// Allocators: tokens only; all memory comes from the C++ heap.

struct __CFAllocator {
  int kind;
};
namespace {
const __CFAllocator gDefaultAllocator{0};
const __CFAllocator gMallocAllocator{1};
const __CFAllocator gNullAllocator{2};
}  // namespace
const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFAllocatorRef kCFAllocatorSystemDefault = &gDefaultAllocator;
const CFAllocatorRef kCFAllocatorMalloc = &gMallocAllocator;
const CFAllocatorRef kCFAllocatorNull = &gNullAllocator;

// ---------------------------------------------------------------------------------------------
// Retain, release, identity.

std::u16string cfimpl::Object::describe() const {
  char buf[64];
  snprintf(buf, sizeof buf, "<CFType %lu %p>", typeID, static_cast<const void*>(this));
  return fromASCII(buf);
}

CFTypeRef CFRetain(CFTypeRef cf) {
  if (!cf) {
    fprintf(stderr, "CFRetain called with NULL\n");
    abort();
  }
  auto* o = const_cast<Object*>(obj(cf));
  if (!o->immortal) o->refCount.fetch_add(1, std::memory_order_relaxed);
  return cf;
}

void CFRelease(CFTypeRef cf) {
  if (!cf) {
    fprintf(stderr, "CFRelease called with NULL\n");
    abort();
  }
  auto* o = const_cast<Object*>(obj(cf));
  if (o->immortal) return;
  if (o->refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete o;
}

CFIndex CFGetRetainCount(CFTypeRef cf) { return cf ? obj(cf)->refCount.load() : 0; }
CFTypeID CFGetTypeID(CFTypeRef cf) { return cf ? obj(cf)->typeID : 0; }

Boolean CFEqual(CFTypeRef a, CFTypeRef b) {
  if (a == b) return true;
  if (!a || !b) return false;
  if (obj(a)->typeID != obj(b)->typeID) return false;
  return obj(a)->equal(obj(b));
}

CFHashCode CFHash(CFTypeRef cf) { return cf ? obj(cf)->hash() : 0; }

CFStringRef CFCopyDescription(CFTypeRef cf) {
  if (!cf) return nullptr;
  return makeString(obj(cf)->describe());
}

CFTypeID CFStringGetTypeID() { return kTypeString; }
CFTypeID CFDataGetTypeID() { return kTypeData; }
CFTypeID CFArrayGetTypeID() { return kTypeArray; }
CFTypeID CFDictionaryGetTypeID() { return kTypeDictionary; }
CFTypeID CFNumberGetTypeID() { return kTypeNumber; }
CFTypeID CFBooleanGetTypeID() { return kTypeBoolean; }
CFTypeID CFDateGetTypeID() { return kTypeDate; }
CFTypeID CFUUIDGetTypeID() { return kTypeUUID; }
CFTypeID CFLocaleGetTypeID() { return kTypeLocale; }
CFTypeID CFDateFormatterGetTypeID() { return kTypeDateFormatter; }
CFTypeID CFNumberFormatterGetTypeID() { return kTypeNumberFormatter; }
CFTypeID CFBundleGetTypeID() { return kTypeBundle; }
CFTypeID CFURLGetTypeID() { return kTypeURL; }
CFTypeID CFNullGetTypeID() { return kTypeNull; }

namespace {
template <typename T, typename... Args>
T* makeImmortal(Args&&... args) {
  auto* o = new T(std::forward<Args>(args)...);
  o->immortal = true;
  return o;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
// Null and booleans.

struct __CFNull : Object {
  __CFNull() : Object(kTypeNull) {}
  std::u16string describe() const override { return u"<null>"; }
};
const CFNullRef kCFNull = makeImmortal<__CFNull>();

struct __CFBoolean : Object {
  explicit __CFBoolean(bool v) : Object(kTypeBoolean), value(v) {}
  std::u16string describe() const override { return value ? u"true" : u"false"; }
  bool value;
};
const CFBooleanRef kCFBooleanTrue = makeImmortal<__CFBoolean>(true);
const CFBooleanRef kCFBooleanFalse = makeImmortal<__CFBoolean>(false);

Boolean CFBooleanGetValue(CFBooleanRef b) { return b && b->value; }

// ---------------------------------------------------------------------------------------------
// Numbers: a signed 64-bit integer or a double, with the type they were made with.

struct __CFNumber : Object {
  __CFNumber(CFNumberType t, bool isFloat, int64_t i, double d)
      : Object(kTypeNumber), type(t), floating(isFloat), intValue(i), doubleValue(d) {}
  bool equal(const Object* other) const override {
    auto* o = static_cast<const __CFNumber*>(other);
    if (!floating && !o->floating) return intValue == o->intValue;
    return asDouble() == o->asDouble();
  }
  CFHashCode hash() const override {
    if (!floating) return static_cast<CFHashCode>(intValue);
    double d = doubleValue;
    if (d == std::floor(d) && std::fabs(d) < 9e18) return static_cast<CFHashCode>(static_cast<int64_t>(d));
    return std::hash<double>()(d);
  }
  double asDouble() const { return floating ? doubleValue : static_cast<double>(intValue); }
  std::u16string describe() const override {
    char buf[64];
    if (!floating) {
      snprintf(buf, sizeof buf, "%" PRId64, intValue);
    } else {
      snprintf(buf, sizeof buf, "%.15g", doubleValue);
      if (std::strtod(buf, nullptr) != doubleValue) snprintf(buf, sizeof buf, "%.17g", doubleValue);
    }
    return fromASCII(buf);
  }
  CFNumberType type;
  bool floating;
  int64_t intValue;
  double doubleValue;
};

namespace {
bool isFloatNumberType(CFNumberType t) {
  return t == kCFNumberFloat32Type || t == kCFNumberFloat64Type || t == kCFNumberFloatType ||
         t == kCFNumberDoubleType;
}
}  // namespace

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType t, const void* p) {
  if (!p) return nullptr;
  int64_t i = 0;
  double d = 0;
  switch (t) {
    case kCFNumberSInt8Type: i = *static_cast<const int8_t*>(p); break;
    case kCFNumberCharType: i = *static_cast<const signed char*>(p); break;
    case kCFNumberSInt16Type:
    case kCFNumberShortType: i = *static_cast<const int16_t*>(p); break;
    case kCFNumberSInt32Type:
    case kCFNumberIntType: i = *static_cast<const int32_t*>(p); break;
    case kCFNumberSInt64Type:
    case kCFNumberLongLongType: i = *static_cast<const int64_t*>(p); break;
    case kCFNumberLongType:
    case kCFNumberCFIndexType: i = *static_cast<const long*>(p); break;
    case kCFNumberFloat32Type:
    case kCFNumberFloatType: d = *static_cast<const float*>(p); break;
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType: d = *static_cast<const double*>(p); break;
    default: return nullptr;
  }
  return new __CFNumber(t, isFloatNumberType(t), i, d);
}

CFNumberType CFNumberGetType(CFNumberRef n) { return n ? n->type : 0; }
Boolean CFNumberIsFloatType(CFNumberRef n) { return n && n->floating; }

namespace {
template <typename T>
bool storeNumber(const __CFNumber* n, void* out) {
  T v;
  bool exact;
  if constexpr (std::is_floating_point_v<T>) {
    v = static_cast<T>(n->asDouble());
    exact = !n->floating ? static_cast<int64_t>(v) == n->intValue : static_cast<double>(v) == n->doubleValue;
  } else if (n->floating) {
    long double d = n->doubleValue;
    if (std::isnan(n->doubleValue)) {
      v = 0;
      exact = false;
    } else if (d < static_cast<long double>(std::numeric_limits<T>::min())) {
      v = std::numeric_limits<T>::min();
      exact = false;
    } else if (d > static_cast<long double>(std::numeric_limits<T>::max())) {
      v = std::numeric_limits<T>::max();
      exact = false;
    } else {
      v = static_cast<T>(d);
      exact = static_cast<long double>(v) == d;
    }
  } else {
    // Wraps like a C cast; lossless only when it round-trips.
    v = static_cast<T>(n->intValue);
    exact = static_cast<int64_t>(v) == n->intValue;
  }
  memcpy(out, &v, sizeof v);
  return exact;
}
}  // namespace

Boolean CFNumberGetValue(CFNumberRef n, CFNumberType t, void* out) {
  if (!n || !out) return false;
  switch (t) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType: return storeNumber<int8_t>(n, out);
    case kCFNumberSInt16Type:
    case kCFNumberShortType: return storeNumber<int16_t>(n, out);
    case kCFNumberSInt32Type:
    case kCFNumberIntType: return storeNumber<int32_t>(n, out);
    case kCFNumberSInt64Type:
    case kCFNumberLongLongType: return storeNumber<int64_t>(n, out);
    case kCFNumberLongType:
    case kCFNumberCFIndexType: return storeNumber<long>(n, out);
    case kCFNumberFloat32Type:
    case kCFNumberFloatType: return storeNumber<float>(n, out);
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType: return storeNumber<double>(n, out);
    default: return false;
  }
}

CFComparisonResult CFNumberCompare(CFNumberRef a, CFNumberRef b, void*) {
  if (!a->floating && !b->floating) {
    return a->intValue < b->intValue ? kCFCompareLessThan
                                     : (a->intValue > b->intValue ? kCFCompareGreaterThan : kCFCompareEqualTo);
  }
  double x = a->asDouble(), y = b->asDouble();
  return x < y ? kCFCompareLessThan : (x > y ? kCFCompareGreaterThan : kCFCompareEqualTo);
}

// ---------------------------------------------------------------------------------------------
// Dates.

const CFTimeInterval kCFAbsoluteTimeIntervalSince1970 = 978307200.0;
const CFTimeInterval kCFAbsoluteTimeIntervalSince1904 = 3061152000.0;

struct __CFDate : Object {
  explicit __CFDate(CFAbsoluteTime t) : Object(kTypeDate), at(t) {}
  bool equal(const Object* other) const override { return at == static_cast<const __CFDate*>(other)->at; }
  CFHashCode hash() const override { return std::hash<double>()(at); }
  std::u16string describe() const override {
    time_t t = static_cast<time_t>(std::floor(at + kCFAbsoluteTimeIntervalSince1970));
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[64];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return fromASCII(buf);
  }
  CFAbsoluteTime at;
};

CFAbsoluteTime CFAbsoluteTimeGetCurrent() {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9 - kCFAbsoluteTimeIntervalSince1970;
}
CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at) { return new __CFDate(at); }
CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef d) { return d ? d->at : 0; }

namespace {
// Offset of local time from UTC, in seconds, at the given UTC moment.
long localOffsetAt(time_t utc) {
  struct tm tm {};
  localtime_r(&utc, &tm);
  return tm.tm_gmtoff;
}
}  // namespace

OSStatus UCConvertSecondsToCFAbsoluteTime(UInt32 seconds, CFAbsoluteTime* absoluteTime) {
  if (!absoluteTime) return paramErr;
  // Classic seconds count local time; take the offset that applied at that moment.
  double localSince2001 = static_cast<double>(seconds) - kCFAbsoluteTimeIntervalSince1904;
  time_t approxUTC = static_cast<time_t>(localSince2001 + kCFAbsoluteTimeIntervalSince1970);
  long offset = localOffsetAt(approxUTC - localOffsetAt(approxUTC));
  *absoluteTime = localSince2001 - static_cast<double>(offset);
  return noErr;
}

OSStatus UCConvertCFAbsoluteTimeToSeconds(CFAbsoluteTime at, UInt32* seconds) {
  if (!seconds) return paramErr;
  time_t utc = static_cast<time_t>(std::floor(at + kCFAbsoluteTimeIntervalSince1970));
  double classic = at + static_cast<double>(localOffsetAt(utc)) + kCFAbsoluteTimeIntervalSince1904;
  if (classic < 0 || classic > 4294967295.0) return paramErr;
  *seconds = static_cast<UInt32>(classic);
  return noErr;
}

// ---------------------------------------------------------------------------------------------
// Data.

struct __CFData : Object {
  __CFData(const UInt8* p, CFIndex n, bool isMutable)
      : Object(kTypeData), bytes(p, p + n), mutableData(isMutable) {}
  bool equal(const Object* other) const override { return bytes == static_cast<const __CFData*>(other)->bytes; }
  CFHashCode hash() const override {
    return std::hash<std::string_view>()(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), std::min<size_t>(bytes.size(), 80)));
  }
  std::u16string describe() const override {
    std::string s = "<";
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (i && i % 4 == 0) s += ' ';
      snprintf(b, sizeof b, "%02x", bytes[i]);
      s += b;
    }
    s += ">";
    return fromASCII(s);
  }
  std::vector<UInt8> bytes;
  bool mutableData;
};

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length) {
  if (length < 0 || (!bytes && length > 0)) return nullptr;
  return new __CFData(bytes, length, false);
}
CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef, const UInt8* bytes, CFIndex length, CFAllocatorRef dealloc) {
  if (length < 0 || (!bytes && length > 0)) return nullptr;
  auto* d = new __CFData(bytes, length, false);
  if (dealloc != kCFAllocatorNull) free(const_cast<UInt8*>(bytes));
  return d;
}
CFDataRef CFDataCreateCopy(CFAllocatorRef, CFDataRef d) {
  if (!d) return nullptr;
  return new __CFData(d->bytes.data(), static_cast<CFIndex>(d->bytes.size()), false);
}
CFMutableDataRef CFDataCreateMutable(CFAllocatorRef, CFIndex) { return new __CFData(nullptr, 0, true); }
CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef, CFIndex, CFDataRef d) {
  if (!d) return nullptr;
  return new __CFData(d->bytes.data(), static_cast<CFIndex>(d->bytes.size()), true);
}
CFIndex CFDataGetLength(CFDataRef d) { return d ? static_cast<CFIndex>(d->bytes.size()) : 0; }
const UInt8* CFDataGetBytePtr(CFDataRef d) { return d ? d->bytes.data() : nullptr; }
UInt8* CFDataGetMutableBytePtr(CFMutableDataRef d) { return d ? d->bytes.data() : nullptr; }
void CFDataGetBytes(CFDataRef d, CFRange r, UInt8* buffer) {
  if (!d || !buffer || r.location < 0 || r.length < 0 ||
      static_cast<size_t>(r.location + r.length) > d->bytes.size())
    return;
  if (r.length > 0) memcpy(buffer, d->bytes.data() + r.location, static_cast<size_t>(r.length));
}
void CFDataSetLength(CFMutableDataRef d, CFIndex length) {
  if (d && length >= 0) d->bytes.resize(static_cast<size_t>(length), 0);
}
void CFDataIncreaseLength(CFMutableDataRef d, CFIndex extra) {
  if (d && extra > 0) d->bytes.resize(d->bytes.size() + static_cast<size_t>(extra), 0);
}
void CFDataAppendBytes(CFMutableDataRef d, const UInt8* bytes, CFIndex length) {
  if (d && bytes && length > 0) d->bytes.insert(d->bytes.end(), bytes, bytes + length);
}
void CFDataReplaceBytes(CFMutableDataRef d, CFRange r, const UInt8* nb, CFIndex nl) {
  if (!d || r.location < 0 || r.length < 0 || static_cast<size_t>(r.location + r.length) > d->bytes.size() ||
      nl < 0 || (!nb && nl > 0))
    return;
  std::vector<UInt8> repl(nb, nb + nl);
  d->bytes.erase(d->bytes.begin() + r.location, d->bytes.begin() + r.location + r.length);
  d->bytes.insert(d->bytes.begin() + r.location, repl.begin(), repl.end());
}
void CFDataDeleteBytes(CFMutableDataRef d, CFRange r) { CFDataReplaceBytes(d, r, nullptr, 0); }

// ---------------------------------------------------------------------------------------------
// Arrays.

namespace {
const void* typeRetain(CFAllocatorRef, const void* v) { return v ? CFRetain(v) : v; }
void typeRelease(CFAllocatorRef, const void* v) {
  if (v) CFRelease(v);
}
Boolean typeEqual(const void* a, const void* b) { return CFEqual(a, b); }
CFHashCode typeHash(const void* v) { return CFHash(v); }
CFStringRef typeDescribe(const void* v) { return CFCopyDescription(v); }
}  // namespace

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, typeRetain, typeRelease, typeDescribe, typeEqual};

struct __CFArray : Object {
  __CFArray(const CFArrayCallBacks* cb, bool isMutable)
      : Object(kTypeArray), callBacks(cb ? *cb : CFArrayCallBacks{}), mutableArray(isMutable) {}
  ~__CFArray() override {
    for (auto* v : values) drop(v);
  }
  const void* keep(const void* v) const { return callBacks.retain ? callBacks.retain(nullptr, v) : v; }
  void drop(const void* v) const {
    if (callBacks.release) callBacks.release(nullptr, v);
  }
  bool same(const void* a, const void* b) const { return callBacks.equal ? callBacks.equal(a, b) : a == b; }
  bool equal(const Object* other) const override {
    auto* o = static_cast<const __CFArray*>(other);
    if (values.size() != o->values.size()) return false;
    for (size_t i = 0; i < values.size(); ++i)
      if (!same(values[i], o->values[i])) return false;
    return true;
  }
  CFHashCode hash() const override { return values.size(); }
  std::u16string describe() const override {
    std::u16string s = u"(\n";
    for (size_t i = 0; i < values.size(); ++i) {
      s += u"    ";
      if (callBacks.copyDescription) {
        CFRef<CFStringRef> d(callBacks.copyDescription(values[i]));
        s += units(d.get());
      }
      s += i + 1 < values.size() ? u",\n" : u"\n";
    }
    return s + u")";
  }
  CFArrayCallBacks callBacks;
  std::vector<const void*> values;
  bool mutableArray;
};

namespace {
bool validRange(CFArrayRef a, CFRange r) {
  return a && r.location >= 0 && r.length >= 0 && static_cast<size_t>(r.location + r.length) <= a->values.size();
}
}  // namespace

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex n, const CFArrayCallBacks* cb) {
  auto* a = new __CFArray(cb, false);
  for (CFIndex i = 0; i < n; ++i) a->values.push_back(a->keep(values[i]));
  return a;
}
CFArrayRef CFArrayCreateCopy(CFAllocatorRef, CFArrayRef src) {
  if (!src) return nullptr;
  auto* a = new __CFArray(&src->callBacks, false);
  for (auto* v : src->values) a->values.push_back(a->keep(v));
  return a;
}
CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex, const CFArrayCallBacks* cb) {
  return new __CFArray(cb, true);
}
CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef, CFIndex, CFArrayRef src) {
  if (!src) return nullptr;
  auto* a = new __CFArray(&src->callBacks, true);
  for (auto* v : src->values) a->values.push_back(a->keep(v));
  return a;
}
CFIndex CFArrayGetCount(CFArrayRef a) { return a ? static_cast<CFIndex>(a->values.size()) : 0; }
const void* CFArrayGetValueAtIndex(CFArrayRef a, CFIndex i) {
  if (!a || i < 0 || static_cast<size_t>(i) >= a->values.size()) return nullptr;
  return a->values[static_cast<size_t>(i)];
}
void CFArrayGetValues(CFArrayRef a, CFRange r, const void** out) {
  if (!validRange(a, r) || !out) return;
  std::copy_n(a->values.begin() + r.location, r.length, out);
}
CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef a, CFRange r, const void* v) {
  if (!validRange(a, r)) return kCFNotFound;
  for (CFIndex i = r.location; i < r.location + r.length; ++i)
    if (a->same(a->values[static_cast<size_t>(i)], v)) return i;
  return kCFNotFound;
}
Boolean CFArrayContainsValue(CFArrayRef a, CFRange r, const void* v) {
  return CFArrayGetFirstIndexOfValue(a, r, v) != kCFNotFound;
}
void CFArrayApplyFunction(CFArrayRef a, CFRange r, CFArrayApplierFunction f, void* ctx) {
  if (!validRange(a, r) || !f) return;
  for (CFIndex i = r.location; i < r.location + r.length; ++i) f(a->values[static_cast<size_t>(i)], ctx);
}
void CFArrayAppendValue(CFMutableArrayRef a, const void* v) {
  if (a) a->values.push_back(a->keep(v));
}
void CFArrayInsertValueAtIndex(CFMutableArrayRef a, CFIndex i, const void* v) {
  if (!a || i < 0 || static_cast<size_t>(i) > a->values.size()) return;
  a->values.insert(a->values.begin() + i, a->keep(v));
}
void CFArraySetValueAtIndex(CFMutableArrayRef a, CFIndex i, const void* v) {
  if (!a || i < 0 || static_cast<size_t>(i) > a->values.size()) return;
  if (static_cast<size_t>(i) == a->values.size()) {
    a->values.push_back(a->keep(v));
    return;
  }
  const void* kept = a->keep(v);
  a->drop(a->values[static_cast<size_t>(i)]);
  a->values[static_cast<size_t>(i)] = kept;
}
void CFArrayRemoveValueAtIndex(CFMutableArrayRef a, CFIndex i) {
  if (!a || i < 0 || static_cast<size_t>(i) >= a->values.size()) return;
  const void* v = a->values[static_cast<size_t>(i)];
  a->values.erase(a->values.begin() + i);
  a->drop(v);
}
void CFArrayRemoveAllValues(CFMutableArrayRef a) {
  if (!a) return;
  auto old = std::move(a->values);
  a->values.clear();
  for (auto* v : old) a->drop(v);
}

CFStringRef CFStringCreateByCombiningStrings(CFAllocatorRef, CFArrayRef a, CFStringRef sep) {
  std::u16string out;
  for (CFIndex i = 0; i < CFArrayGetCount(a); ++i) {
    if (i) out += units(sep);
    auto v = static_cast<CFTypeRef>(CFArrayGetValueAtIndex(a, i));
    if (isA(v, kTypeString)) out += units(static_cast<CFStringRef>(v));
  }
  return makeString(std::move(out));
}

CFArrayRef CFStringCreateArrayBySeparatingStrings(CFAllocatorRef, CFStringRef s, CFStringRef sep) {
  if (!s || !sep || units(sep).empty()) return nullptr;
  const auto& text = units(s);
  const auto& sp = units(sep);
  CFMutableArrayRef a = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
  size_t start = 0;
  while (true) {
    size_t pos = text.find(sp, start);
    CFRef<CFStringRef> part(makeString(text.substr(start, pos == std::u16string::npos ? std::u16string::npos : pos - start)));
    CFArrayAppendValue(a, part.get());
    if (pos == std::u16string::npos) break;
    start = pos + sp.size();
  }
  return a;
}

// ---------------------------------------------------------------------------------------------
// Dictionaries: insertion-ordered entries with a hash index.

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0, typeRetain, typeRelease, typeDescribe,
                                                                typeEqual, typeHash};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = kCFTypeDictionaryKeyCallBacks;
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, typeRetain, typeRelease, typeDescribe,
                                                                    typeEqual};

struct __CFDictionary : Object {
  __CFDictionary(const CFDictionaryKeyCallBacks* kcb, const CFDictionaryValueCallBacks* vcb, bool isMutable)
      : Object(kTypeDictionary),
        keyCallBacks(kcb ? *kcb : CFDictionaryKeyCallBacks{}),
        valueCallBacks(vcb ? *vcb : CFDictionaryValueCallBacks{}),
        mutableDict(isMutable) {}
  ~__CFDictionary() override { clear(); }

  CFHashCode keyHash(const void* k) const {
    return keyCallBacks.hash ? keyCallBacks.hash(k) : reinterpret_cast<CFHashCode>(k);
  }
  bool keyEqual(const void* a, const void* b) const { return keyCallBacks.equal ? keyCallBacks.equal(a, b) : a == b; }

  long find(const void* k) const {
    auto range = index.equal_range(keyHash(k));
    for (auto it = range.first; it != range.second; ++it)
      if (keyEqual(entries[it->second].first, k)) return static_cast<long>(it->second);
    return -1;
  }
  void set(const void* k, const void* v, bool add, bool replace) {
    long i = find(k);
    if (i >= 0) {
      if (!replace) return;
      const void* kept = valueCallBacks.retain ? valueCallBacks.retain(nullptr, v) : v;
      const void* old = entries[static_cast<size_t>(i)].second;
      entries[static_cast<size_t>(i)].second = kept;
      if (valueCallBacks.release) valueCallBacks.release(nullptr, old);
      return;
    }
    if (!add) return;
    const void* kk = keyCallBacks.retain ? keyCallBacks.retain(nullptr, k) : k;
    const void* vv = valueCallBacks.retain ? valueCallBacks.retain(nullptr, v) : v;
    entries.emplace_back(kk, vv);
    index.emplace(keyHash(kk), entries.size() - 1);
  }
  void remove(const void* k) {
    long i = find(k);
    if (i < 0) return;
    auto entry = entries[static_cast<size_t>(i)];
    entries.erase(entries.begin() + i);
    rebuildIndex();
    if (keyCallBacks.release) keyCallBacks.release(nullptr, entry.first);
    if (valueCallBacks.release) valueCallBacks.release(nullptr, entry.second);
  }
  void rebuildIndex() {
    index.clear();
    for (size_t j = 0; j < entries.size(); ++j) index.emplace(keyHash(entries[j].first), j);
  }
  void clear() {
    auto old = std::move(entries);
    entries.clear();
    index.clear();
    for (auto& [k, v] : old) {
      if (keyCallBacks.release) keyCallBacks.release(nullptr, k);
      if (valueCallBacks.release) valueCallBacks.release(nullptr, v);
    }
  }
  bool equal(const Object* other) const override {
    auto* o = static_cast<const __CFDictionary*>(other);
    if (entries.size() != o->entries.size()) return false;
    for (auto& [k, v] : entries) {
      long j = o->find(k);
      if (j < 0) return false;
      const void* ov = o->entries[static_cast<size_t>(j)].second;
      if (valueCallBacks.equal ? !valueCallBacks.equal(v, ov) : v != ov) return false;
    }
    return true;
  }
  CFHashCode hash() const override { return entries.size(); }
  std::u16string describe() const override {
    std::u16string s = u"{\n";
    for (auto& [k, v] : entries) {
      s += u"    ";
      if (keyCallBacks.copyDescription) {
        CFRef<CFStringRef> d(keyCallBacks.copyDescription(k));
        s += units(d.get());
      }
      s += u" = ";
      if (valueCallBacks.copyDescription) {
        CFRef<CFStringRef> d(valueCallBacks.copyDescription(v));
        s += units(d.get());
      }
      s += u";\n";
    }
    return s + u"}";
  }

  CFDictionaryKeyCallBacks keyCallBacks;
  CFDictionaryValueCallBacks valueCallBacks;
  std::vector<std::pair<const void*, const void*>> entries;
  std::unordered_multimap<CFHashCode, size_t> index;
  bool mutableDict;
};

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values, CFIndex n,
                                   const CFDictionaryKeyCallBacks* kcb, const CFDictionaryValueCallBacks* vcb) {
  auto* d = new __CFDictionary(kcb, vcb, false);
  for (CFIndex i = 0; i < n; ++i) d->set(keys[i], values[i], true, true);
  return d;
}
CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef, CFDictionaryRef src) {
  if (!src) return nullptr;
  auto* d = new __CFDictionary(&src->keyCallBacks, &src->valueCallBacks, false);
  for (auto& [k, v] : src->entries) d->set(k, v, true, true);
  return d;
}
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex, const CFDictionaryKeyCallBacks* kcb,
                                                 const CFDictionaryValueCallBacks* vcb) {
  return new __CFDictionary(kcb, vcb, true);
}
CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef, CFIndex, CFDictionaryRef src) {
  if (!src) return nullptr;
  auto* d = new __CFDictionary(&src->keyCallBacks, &src->valueCallBacks, true);
  for (auto& [k, v] : src->entries) d->set(k, v, true, true);
  return d;
}
CFIndex CFDictionaryGetCount(CFDictionaryRef d) { return d ? static_cast<CFIndex>(d->entries.size()) : 0; }
const void* CFDictionaryGetValue(CFDictionaryRef d, const void* k) {
  if (!d) return nullptr;
  long i = d->find(k);
  return i < 0 ? nullptr : d->entries[static_cast<size_t>(i)].second;
}
Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef d, const void* k, const void** v) {
  if (!d) return false;
  long i = d->find(k);
  if (i < 0) return false;
  if (v) *v = d->entries[static_cast<size_t>(i)].second;
  return true;
}
Boolean CFDictionaryContainsKey(CFDictionaryRef d, const void* k) { return d && d->find(k) >= 0; }
void CFDictionaryGetKeysAndValues(CFDictionaryRef d, const void** keys, const void** values) {
  if (!d) return;
  for (size_t i = 0; i < d->entries.size(); ++i) {
    if (keys) keys[i] = d->entries[i].first;
    if (values) values[i] = d->entries[i].second;
  }
}
void CFDictionaryApplyFunction(CFDictionaryRef d, CFDictionaryApplierFunction f, void* ctx) {
  if (!d || !f) return;
  for (auto& [k, v] : d->entries) f(k, v, ctx);
}
void CFDictionarySetValue(CFMutableDictionaryRef d, const void* k, const void* v) {
  if (d) d->set(k, v, true, true);
}
void CFDictionaryAddValue(CFMutableDictionaryRef d, const void* k, const void* v) {
  if (d) d->set(k, v, true, false);
}
void CFDictionaryReplaceValue(CFMutableDictionaryRef d, const void* k, const void* v) {
  if (d) d->set(k, v, false, true);
}
void CFDictionaryRemoveValue(CFMutableDictionaryRef d, const void* k) {
  if (d) d->remove(k);
}
void CFDictionaryRemoveAllValues(CFMutableDictionaryRef d) {
  if (d) d->clear();
}

// ---------------------------------------------------------------------------------------------
// UUIDs: version 4, from the system's random source.

struct __CFUUID : Object {
  __CFUUID() : Object(kTypeUUID) {}
  bool equal(const Object* other) const override {
    return memcmp(bytes, static_cast<const __CFUUID*>(other)->bytes, 16) == 0;
  }
  std::u16string describe() const override {
    char buf[40];
    snprintf(buf, sizeof buf, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
             bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
             bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return fromASCII(buf);
  }
  UInt8 bytes[16] = {};
};

CFUUIDRef CFUUIDCreate(CFAllocatorRef) {
  auto* u = new __CFUUID();
  try {
    std::random_device rd;
    for (int i = 0; i < 16; i += 4) {
      uint32_t r = rd();
      memcpy(u->bytes + i, &r, 4);
    }
  } catch (...) {
    delete u;
    return nullptr;
  }
  u->bytes[6] = static_cast<UInt8>((u->bytes[6] & 0x0F) | 0x40);
  u->bytes[8] = static_cast<UInt8>((u->bytes[8] & 0x3F) | 0x80);
  return u;
}
CFStringRef CFUUIDCreateString(CFAllocatorRef, CFUUIDRef u) { return u ? makeString(u->describe()) : nullptr; }
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef u) {
  CFUUIDBytes b{};
  if (u) memcpy(&b, u->bytes, 16);
  return b;
}
