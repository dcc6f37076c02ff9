// Small platform utilities: releasing objects, file-name records, angles, modifier keys.
#pragma once

#include "CoreFoundation.h"
#include "MacTypes.h"

// Releases a CoreFoundation object; does nothing for null.
void uCFRelease(CFTypeRef object);
// The first 255 UTF-16 units of the string as a file-name record (length 0 for null).
void utMakeHFSStringFromCFString(CFStringRef s, HFSUniStr255* name);
// A new string of the record's units; null when it cannot be made. The caller releases it.
void utMakeCFStringFromHFSString(const HFSUniStr255* name, CFStringRef* s);
// Degrees to radians.
double radians(double degrees);
// Whether the Option (Alt) key is held; always false.
Boolean uAltPressed(void);
