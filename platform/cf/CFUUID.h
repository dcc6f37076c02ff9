// CoreFoundation UUIDs: random (version 4) UUIDs and their standard text.
#pragma once

#include "CFBase.h"

typedef const struct __CFUUID* CFUUIDRef;
struct CFUUIDBytes {
  UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
  UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
};

CFUUIDRef CFUUIDCreate(CFAllocatorRef alloc);
// 36 characters: groups of 8, 4, 4, 4 and 12 upper-case hexadecimal digits joined by hyphens.
CFStringRef CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);
