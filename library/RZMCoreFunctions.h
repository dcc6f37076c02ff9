// Small platform utilities: releasing objects, file-name records, angles, modifier keys; the
// keychain and preference stores; numbered localized texts.
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

// ---- Keychain: generic passwords by service name and account name.
// Service name, account name and password travel as UTF-8 of at most 128 bytes each.
// Stores the password, replacing an item that exists for this service and account. Returns the
// keychain's status, 0 on success; errSecParam (-50) when a text is longer than 128 bytes of
// UTF-8 or cannot be written as UTF-8 (nothing is stored then).
OSStatus securityStorePassword(CFStringRef serviceName, CFStringRef accountName, CFStringRef password);
// The stored password as a new string (the caller releases it); empty text when there is no
// such item or it cannot be read.
CFStringRef securityLoadPassword(CFStringRef serviceName, CFStringRef accountName);

// ---- Preferences of the current application. Each function takes over the key and releases
// it (constant keys made with CFSTR stay intact).
// Stores a text under the key; always 0.
OSStatus prefStoreString(CFStringRef key, CFStringRef value);
// Sets *value to a new string (the caller releases it) when a text is stored under the key; a
// missing key or a value of another type leaves *value alone. Always 0.
OSStatus prefLoadString(CFStringRef key, CFStringRef* value);
// Stores the value as a signed 32-bit number; always 0.
OSStatus prefStoreUInt32(CFStringRef key, UInt32 value);
// Reads a number (as signed 32 bits) or a text's integer value into *value: 0. A missing key or
// a value of another type: -1, *value left alone.
SInt16 prefLoadUInt32(CFStringRef key, UInt32* value);

// ---- Numbered localized texts.
// Makes the bundle with this identifier the string bundle of the numbered texts (null when there
// is none) and returns it.
CFBundleRef initStringBundle(CFStringRef bundleIdentifier);
// The entry "STR#<table>:<index>" of the string bundle's "Localizable" table as a new string
// (the caller releases it), the key itself when the table has no such entry, null when no string
// bundle is set.
CFStringRef iuGetIndCFString(SInt16 table, SInt16 index);

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
