// CoreFoundation on Linux: the base types, the object model and retain/release.
//
// Every CoreFoundation object is a reference-counted C++ object behind an opaque pointer
// (CFTypeRef). CFRetain and CFRelease are thread-safe; an object is destroyed when its count
// reaches zero. Constant strings made with CFSTR are immortal. Type IDs are fixed numbers, so
// objects can be checked with CFGetTypeID against the Get...TypeID functions.
#pragma once

#include "MacTypes.h"

typedef const void* CFTypeRef;
typedef unsigned long CFTypeID;
typedef unsigned long CFOptionFlags;
typedef unsigned long CFHashCode;
typedef long CFIndex;

struct CFRange {
  CFIndex location;
  CFIndex length;
};
inline CFRange CFRangeMake(CFIndex location, CFIndex length) { return CFRange{location, length}; }

enum : CFIndex { kCFNotFound = -1 };

typedef CFIndex CFComparisonResult;
enum : CFIndex {
  kCFCompareLessThan = -1,
  kCFCompareEqualTo = 0,
  kCFCompareGreaterThan = 1,
};

// Allocators: only the default allocator exists; every allocator argument accepts these.
typedef const struct __CFAllocator* CFAllocatorRef;
extern const CFAllocatorRef kCFAllocatorDefault;
extern const CFAllocatorRef kCFAllocatorSystemDefault;
extern const CFAllocatorRef kCFAllocatorMalloc;
extern const CFAllocatorRef kCFAllocatorNull;  // "do not free": used for no-copy creation

typedef const struct __CFString* CFStringRef;
typedef struct __CFString* CFMutableStringRef;

CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFIndex CFGetRetainCount(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);
CFHashCode CFHash(CFTypeRef cf);
// A new string describing the object (its text for strings, its value for numbers).
CFStringRef CFCopyDescription(CFTypeRef cf);

// Type IDs of the object kinds.
CFTypeID CFStringGetTypeID();
CFTypeID CFDataGetTypeID();
CFTypeID CFArrayGetTypeID();
CFTypeID CFDictionaryGetTypeID();
CFTypeID CFNumberGetTypeID();
CFTypeID CFBooleanGetTypeID();
CFTypeID CFDateGetTypeID();
CFTypeID CFUUIDGetTypeID();
CFTypeID CFLocaleGetTypeID();
CFTypeID CFDateFormatterGetTypeID();
CFTypeID CFNumberFormatterGetTypeID();
CFTypeID CFBundleGetTypeID();
CFTypeID CFURLGetTypeID();
CFTypeID CFNullGetTypeID();

typedef const struct __CFNull* CFNullRef;
extern const CFNullRef kCFNull;
