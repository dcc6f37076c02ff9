// The string library: plain functions over CoreFoundation strings.
//
// Null is a valid string everywhere and means "no string". Lengths and indexes count UTF-16
// units. Every function that returns a new string hands it to the caller, who releases it with
// ORBStringRelease. Zero-terminated and Pascal byte strings are MacRoman; text exchanged with
// files, the network and the keychain is UTF-8. Comparison and search take a case flag:
// non-zero compares letters with regard to case. Both modes treat a precomposed character and
// its decomposed form as equal.
#pragma once

#include "CoreFoundation.h"
#include "MacTypes.h"

// ---- Creation and release
CFStringRef ORBStringGetEmpty(void);
CFMutableStringRef ORBStringCreateMutable(void);
CFMutableStringRef ORBStringGetCopy(CFStringRef s);
CFStringRef ORBStringFromCString(const char* bytes, SInt32 length);
CFStringRef ORBStringFromPString(ConstStr255Param pString);
// UTF-8 bytes; bytes that are not valid UTF-8 are read as MacRoman instead.
CFStringRef ORBStringFromUTF8(const char* bytes, SInt32 length);
CFStringRef ORBStringFromUTF16(const UniChar* units, SInt32 count);
CFStringRef ORBStringCreateWithFormat(CFStringRef format, ...);
// The localized text under "STR#<table>:<index>" of the main bundle's "Localizable" table,
// or that key itself when there is no entry.
CFStringRef ORBStringGetFromTable(SInt32 table, SInt32 index);
SInt32 ORBStringRelease(CFStringRef* s);
CFStringRef* ORBStringInvalidate(CFStringRef* s);
Boolean ORBStringIsValid(CFStringRef s);

// ---- Access
SInt32 ORBStringGetLength(CFStringRef s);
UInt32 ORBStringGetCLength(const char* cString);
// 0 for null and for an index outside the string.
UniChar ORBStringGetUniChar(CFStringRef s, SInt32 index);
SInt32 ORBStringGetIntValue(CFStringRef s);
double ORBStringGetDoubleValue(CFStringRef s);
SInt32 ORBStringCountCharAppearances(CFStringRef s, UniChar c);
// Null for null and for a range outside the string.
CFStringRef ORBStringCreateWithSubstring(CFStringRef s, SInt32 start, SInt32 length);

// ---- Comparison and search
SInt32 ORBStringCompare(CFStringRef a, CFStringRef b, UInt8 caseFlag);
SInt32 ORBStringEqualsCString(CFStringRef s, const char* cString, UInt8 caseFlag);
Boolean ORBStringBeginsWith(CFStringRef s, CFStringRef prefix, UInt8 caseFlag);
Boolean ORBStringBeginsWithCString(CFStringRef s, const char* prefix, UInt8 caseFlag);
Boolean ORBStringEndsWith(CFStringRef s, CFStringRef suffix, UInt8 caseFlag);
Boolean ORBStringEndsWithCString(CFStringRef s, const char* suffix, UInt8 caseFlag);
Boolean ORBStringContains(CFStringRef s, CFStringRef text, UInt8 caseFlag);
// Index of the first occurrence at or after start, or -1.
SInt32 ORBStringPosition(CFStringRef s, CFStringRef text, SInt32 start, UInt8 caseFlag);

// ---- Appending (to a mutable string held in the variable; nothing when it holds null)
void ORBStringAppendCString(CFMutableStringRef* s, const char* cString);
void ORBStringAppendORBString(CFMutableStringRef* s, CFStringRef appended);

// ---- Byte conversion and file names
UInt32 ORBStringGetUTF8Size(CFStringRef s);
void ORBStringCopyToUTF8(CFStringRef s, void* destination, UInt32* count);
// Writes the text into the file at the POSIX path, creating the file when missing. Encoding code
// 12 writes the UTF-8 bytes from the start of the file and cuts the file to them; any other code
// writes nothing and gives paramErr (-50). Otherwise the status of the open or of the write.
SInt16 ORBStringWriteToFile(CFStringRef s, CFStringRef path, SInt16 encoding);
UInt32 ORBStringGetMacRomanSize(CFStringRef s);
void ORBStringCopyToMacRoman(CFStringRef s, void* destination, UInt32* count);
Boolean ORBStringCopyToPString(CFStringRef s, Str255 buffer);
CFStringRef ORBStringReplaceCharacter(CFStringRef s, UniChar find, UInt8 replacement);
CFStringRef ORBStringGetExtension(CFStringRef s);
CFStringRef ORBStringStripExtension(CFStringRef s);

// ---- Number, size, date and duration texts
CFStringRef ORBMakeNumberString(UInt64 value);
void ORBStringAppendNumber(CFMutableStringRef* s, UInt64 value);
CFStringRef ORBMakeNumberStringWithSeparators(SInt64 value);
CFStringRef ORBStringMakePaddedNumberString(UInt32 value);
CFStringRef makeSmallSizeString(UInt64 byteCount);
CFStringRef ORBStringMakeDurationString(UInt32 seconds);
// time: seconds since 1 January 1904. styleFlag clear: day and month only ("5 December").
CFStringRef ORBStringMakeDateTimeString(UInt32 time, UInt8 timeFlag, UInt8 styleFlag);
CFStringRef ORBStringMakeOSTypeString(UInt32 code);
CFStringRef ORBGetUUIDString(void);

// ---- XML fields and URL escaping
CFStringRef ORBStringSimpleXMLParserFindData(CFStringRef text, CFStringRef element);
CFStringRef ORBStringSimpleXMLParserFindNthData(CFStringRef text, CFStringRef element, UInt32 n);
CFStringRef ORBStringConvertToURL(CFStringRef s);
CFStringRef ORBStringConvertFromURL(CFStringRef s);
