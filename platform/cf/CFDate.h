// CoreFoundation dates and absolute time: seconds since 1 January 2001, 00:00:00 GMT.
#pragma once

#include "CFBase.h"

typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;
extern const CFTimeInterval kCFAbsoluteTimeIntervalSince1970;  // 978307200
extern const CFTimeInterval kCFAbsoluteTimeIntervalSince1904;  // 3061152000

typedef const struct __CFDate* CFDateRef;

CFAbsoluteTime CFAbsoluteTimeGetCurrent();
CFDateRef CFDateCreate(CFAllocatorRef alloc, CFAbsoluteTime at);
CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate);

// Classic time (seconds since 1 January 1904 in local time) to absolute time, in the local
// time zone as it was at that moment. Returns noErr.
OSStatus UCConvertSecondsToCFAbsoluteTime(UInt32 seconds, CFAbsoluteTime* absoluteTime);
OSStatus UCConvertCFAbsoluteTimeToSeconds(CFAbsoluteTime absoluteTime, UInt32* seconds);
