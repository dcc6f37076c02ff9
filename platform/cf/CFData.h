// CoreFoundation data objects: immutable and mutable byte buffers.
#pragma once

#include "CFBase.h"

typedef const struct __CFData* CFDataRef;
typedef struct __CFData* CFMutableDataRef;

CFDataRef CFDataCreate(CFAllocatorRef alloc, const UInt8* bytes, CFIndex length);
// Takes over bytes allocated with malloc (freed with free) unless bytesDeallocator is kCFAllocatorNull.
CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef alloc, const UInt8* bytes, CFIndex length,
                                      CFAllocatorRef bytesDeallocator);
CFDataRef CFDataCreateCopy(CFAllocatorRef alloc, CFDataRef theData);
CFMutableDataRef CFDataCreateMutable(CFAllocatorRef alloc, CFIndex capacity);
CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef alloc, CFIndex capacity, CFDataRef theData);
CFIndex CFDataGetLength(CFDataRef theData);
const UInt8* CFDataGetBytePtr(CFDataRef theData);
UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData);
void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer);
void CFDataSetLength(CFMutableDataRef theData, CFIndex length);
void CFDataIncreaseLength(CFMutableDataRef theData, CFIndex extraLength);
void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes, CFIndex length);
void CFDataReplaceBytes(CFMutableDataRef theData, CFRange range, const UInt8* newBytes, CFIndex newLength);
void CFDataDeleteBytes(CFMutableDataRef theData, CFRange range);
