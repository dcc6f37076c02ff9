// CoreFoundation property lists: strings, numbers, booleans, dates, data, arrays and
// dictionaries (with string keys), read from and written to XML or binary property lists.
#pragma once

#include "CFBase.h"
#include "CFData.h"

typedef CFTypeRef CFPropertyListRef;
typedef struct __CFError* CFErrorRef;  // never set: failures are reported as null results
typedef CFIndex CFPropertyListFormat;
enum : CFIndex {
  kCFPropertyListOpenStepFormat = 1,
  kCFPropertyListXMLFormat_v1_0 = 100,
  kCFPropertyListBinaryFormat_v1_0 = 200,
};
typedef CFOptionFlags CFPropertyListMutabilityOptions;
enum : CFOptionFlags {
  kCFPropertyListImmutable = 0,
  kCFPropertyListMutableContainers = 1,
  kCFPropertyListMutableContainersAndLeaves = 2,
};

// Reads an XML or binary property list; null when the data is not one.
CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef alloc, CFDataRef data, CFOptionFlags options,
                                               CFPropertyListFormat* format, CFErrorRef* error);
// Writes a property list as XML or binary; null when it holds something a property list cannot.
CFDataRef CFPropertyListCreateData(CFAllocatorRef alloc, CFPropertyListRef propertyList, CFPropertyListFormat format,
                                   CFOptionFlags options, CFErrorRef* error);
Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format);
