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

// ---- Dictionary accessors
// The number under key as a double; 0.0 when the dictionary is null or no dictionary, the key
// has no value or the value is no number.
double convGetDouble(CFDictionaryRef dictionary, CFStringRef key);
// The number under key read as a signed 32-bit integer and returned as unsigned; 0 when there is
// no number under the key.
UInt32 convGetUInt32(CFDictionaryRef dictionary, CFStringRef key);
// The string under key, not retained (the dictionary keeps it); null when there is no string.
CFStringRef convGetORBStringRef(CFDictionaryRef dictionary, CFStringRef key);

// ---- Numbered texts of the host application
// The entry whose key is the index in decimal in the main bundle's "Localizable" table, or the
// key itself when there is none. A new string the caller releases; null when the key cannot be made.
CFStringRef iuGetIndRZMCFString(SInt16 index);
