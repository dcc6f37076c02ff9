#include "stringEngine.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "RZMCoreFunctions.h"
#include "fileEngine.h"
#include "myDebug.h"

namespace {

CFStringCompareFlags compareFlags(UInt8 caseFlag) {
  return kCFCompareNonliteral | (caseFlag ? CFOptionFlags{0} : CFOptionFlags{kCFCompareCaseInsensitive});
}

// The whole string in an encoding, without loss, cut at the first U+0000.
// False when the string is null, empty or cannot be converted.
bool losslessBytes(CFStringRef s, CFStringEncoding encoding, std::string& out) {
  out.clear();
  CFIndex length = CFStringGetLength(s);
  if (length == 0) return false;
  CFIndex needed = 0;
  if (CFStringGetBytes(s, CFRangeMake(0, length), encoding, 0, false, nullptr, 0, &needed) != length) return false;
  out.resize(static_cast<size_t>(needed));
  CFIndex used = 0;
  if (CFStringGetBytes(s, CFRangeMake(0, length), encoding, 0, false, reinterpret_cast<UInt8*>(out.data()), needed,
                       &used) != length) {
    out.clear();
    return false;
  }
  out.resize(strnlen(out.data(), static_cast<size_t>(used)));
  return true;
}

// MacRoman bytes, or UTF-8 when the string has a character MacRoman lacks.
bool macRomanOrUTF8(CFStringRef s, std::string& out) {
  return losslessBytes(s, kCFStringEncodingMacRoman, out) || losslessBytes(s, kCFStringEncodingUTF8, out);
}

CFStringRef fromMacRomanCString(const char* cString) {
  return cString ? CFStringCreateWithCString(nullptr, cString, kCFStringEncodingMacRoman) : nullptr;
}

// Finds text in s from start to the end; forward or backward.
bool find(CFStringRef s, CFStringRef text, SInt32 start, UInt8 caseFlag, bool backwards, CFRange* found) {
  if (!s || !text) return false;
  CFIndex length = CFStringGetLength(s);
  if (start < 0 || start > length) return false;
  CFStringCompareFlags flags = compareFlags(caseFlag) | (backwards ? CFOptionFlags{kCFCompareBackwards} : CFOptionFlags{0});
  return CFStringFindWithOptions(s, text, CFRangeMake(start, length - start), flags, found);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Creation and release

CFStringRef ORBStringGetEmpty(void) { return nullptr; }

CFMutableStringRef ORBStringCreateMutable(void) { return CFStringCreateMutable(nullptr, 0); }

CFMutableStringRef ORBStringGetCopy(CFStringRef s) { return s ? CFStringCreateMutableCopy(nullptr, 0, s) : nullptr; }

CFStringRef ORBStringFromCString(const char* bytes, SInt32 length) {
  if (!bytes || length < 0) return nullptr;
  return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes), length, kCFStringEncodingMacRoman,
                                 false);
}

CFStringRef ORBStringFromPString(ConstStr255Param pString) {
  if (!pString) return nullptr;
  return CFStringCreateWithPascalString(nullptr, pString, kCFStringEncodingMacRoman);
}

CFStringRef ORBStringFromUTF8(const char* bytes, SInt32 length) {
  if (!bytes || length < 0) return nullptr;
  auto p = reinterpret_cast<const UInt8*>(bytes);
  CFStringRef s = CFStringCreateWithBytes(nullptr, p, length, kCFStringEncodingUTF8, false);
  if (!s) s = CFStringCreateWithBytes(nullptr, p, length, kCFStringEncodingMacRoman, false);
  return s;
}

CFStringRef ORBStringFromUTF16(const UniChar* units, SInt32 count) {
  if (!units || count < 0) return nullptr;
  return CFStringCreateWithCharacters(nullptr, units, count);
}

CFStringRef ORBStringCreateWithFormat(CFStringRef format, ...) {
  va_list args;
  va_start(args, format);
  CFStringRef s = CFStringCreateWithFormatAndArguments(nullptr, nullptr, format, args);
  va_end(args);
  return s;
}

CFStringRef ORBStringGetFromTable(SInt32 table, SInt32 index) {
  CFRef<CFStringRef> key(ORBStringCreateWithFormat(CFSTR("STR#%i:%i"), static_cast<int>(table), static_cast<int>(index)));
  if (!key) {
    debugAssertFailed(-37, "stringEngine", 35);
    return nullptr;
  }
  return CFBundleCopyLocalizedString(CFBundleGetMainBundle(), key.get(), key.get(), nullptr);
}

SInt32 ORBStringRelease(CFStringRef* s) {
  if (s && *s) {
    CFRelease(*s);
    *s = nullptr;
  }
  return 0;
}

CFStringRef* ORBStringInvalidate(CFStringRef* s) {
  if (s) *s = nullptr;
  return s;
}

Boolean ORBStringIsValid(CFStringRef s) { return s != nullptr; }

// ---------------------------------------------------------------------------------------------
// Access

SInt32 ORBStringGetLength(CFStringRef s) { return s ? static_cast<SInt32>(CFStringGetLength(s)) : 0; }

UInt32 ORBStringGetCLength(const char* cString) { return cString ? static_cast<UInt32>(strlen(cString)) : 0; }

UniChar ORBStringGetUniChar(CFStringRef s, SInt32 index) {
  if (!s || index < 0 || index >= CFStringGetLength(s)) return 0;
  return CFStringGetCharacterAtIndex(s, index);
}

SInt32 ORBStringGetIntValue(CFStringRef s) { return s ? CFStringGetIntValue(s) : 0; }

double ORBStringGetDoubleValue(CFStringRef s) { return s ? CFStringGetDoubleValue(s) : 0.0; }

SInt32 ORBStringCountCharAppearances(CFStringRef s, UniChar c) {
  if (!s) return 0;
  const UniChar* p = CFStringGetCharactersPtr(s);
  CFIndex n = CFStringGetLength(s);
  SInt32 count = 0;
  if (p) {
    for (CFIndex i = 0; i < n; ++i) count += p[i] == c;
  } else {
    for (CFIndex i = 0; i < n; ++i) count += CFStringGetCharacterAtIndex(s, i) == c;
  }
  return count;
}

CFStringRef ORBStringCreateWithSubstring(CFStringRef s, SInt32 start, SInt32 length) {
  if (!s || start < 0 || length < 0 || static_cast<CFIndex>(start) + length > CFStringGetLength(s)) return nullptr;
  return CFStringCreateWithSubstring(nullptr, s, CFRangeMake(start, length));
}

// ---------------------------------------------------------------------------------------------
// Comparison and search

SInt32 ORBStringCompare(CFStringRef a, CFStringRef b, UInt8 caseFlag) {
  if (!a && !b) return 0;
  if (!a) return -1;
  if (!b) return 1;
  return static_cast<SInt32>(CFStringCompare(a, b, compareFlags(caseFlag)));
}

SInt32 ORBStringEqualsCString(CFStringRef s, const char* cString, UInt8 caseFlag) {
  CFRef<CFStringRef> other(fromMacRomanCString(cString));
  return ORBStringCompare(s, other.get(), caseFlag) == 0 ? 1 : 0;
}

Boolean ORBStringBeginsWith(CFStringRef s, CFStringRef prefix, UInt8 caseFlag) {
  CFRange r;
  return find(s, prefix, 0, caseFlag, false, &r) && r.location == 0;
}

Boolean ORBStringBeginsWithCString(CFStringRef s, const char* prefix, UInt8 caseFlag) {
  CFRef<CFStringRef> p(fromMacRomanCString(prefix));
  return ORBStringBeginsWith(s, p.get(), caseFlag);
}

Boolean ORBStringEndsWith(CFStringRef s, CFStringRef suffix, UInt8 caseFlag) {
  CFRange r;
  return find(s, suffix, 0, caseFlag, true, &r) && r.location + r.length == CFStringGetLength(s);
}

Boolean ORBStringEndsWithCString(CFStringRef s, const char* suffix, UInt8 caseFlag) {
  CFRef<CFStringRef> p(fromMacRomanCString(suffix));
  return ORBStringEndsWith(s, p.get(), caseFlag);
}

Boolean ORBStringContains(CFStringRef s, CFStringRef text, UInt8 caseFlag) {
  CFRange r;
  return find(s, text, 0, caseFlag, false, &r);
}

SInt32 ORBStringPosition(CFStringRef s, CFStringRef text, SInt32 start, UInt8 caseFlag) {
  CFRange r;
  if (!find(s, text, start, caseFlag, false, &r)) return -1;
  return static_cast<SInt32>(r.location);
}

// ---------------------------------------------------------------------------------------------
// Appending

void ORBStringAppendCString(CFMutableStringRef* s, const char* cString) {
  if (!s || !*s || !cString) return;
  CFStringAppendCString(*s, cString, kCFStringEncodingMacRoman);
}

void ORBStringAppendORBString(CFMutableStringRef* s, CFStringRef appended) {
  if (!s || !*s || !appended) return;
  CFStringAppend(*s, appended);
}

// ---------------------------------------------------------------------------------------------
// Byte conversion and file names

UInt32 ORBStringGetUTF8Size(CFStringRef s) {
  std::string bytes;
  return losslessBytes(s, kCFStringEncodingUTF8, bytes) ? static_cast<UInt32>(bytes.size()) : 0;
}

void ORBStringCopyToUTF8(CFStringRef s, void* destination, UInt32* count) {
  std::string bytes;
  if (!losslessBytes(s, kCFStringEncodingUTF8, bytes) || !destination) bytes.clear();
  if (!bytes.empty()) memcpy(destination, bytes.data(), bytes.size());
  if (count) *count = static_cast<UInt32>(bytes.size());
}

UInt32 ORBStringGetMacRomanSize(CFStringRef s) {
  std::string bytes;
  return macRomanOrUTF8(s, bytes) ? static_cast<UInt32>(bytes.size()) : 0;
}

void ORBStringCopyToMacRoman(CFStringRef s, void* destination, UInt32* count) {
  std::string bytes;
  if (!macRomanOrUTF8(s, bytes) || !destination) bytes.clear();
  if (!bytes.empty()) memcpy(destination, bytes.data(), bytes.size());
  if (count) *count = static_cast<UInt32>(bytes.size());
}

Boolean ORBStringCopyToPString(CFStringRef s, Str255 buffer) {
  if (!buffer) return false;
  if (s && CFStringGetPascalString(s, buffer, 256, kCFStringEncodingMacRoman)) return true;
  buffer[0] = 0;
  return false;
}

CFStringRef ORBStringReplaceCharacter(CFStringRef s, UniChar find, UInt8 replacement) {
  std::string bytes;
  if (!losslessBytes(s, kCFStringEncodingUTF8, bytes) || bytes.empty()) return nullptr;
  if (find < 0x80) {
    for (char& b : bytes)
      if (static_cast<unsigned char>(b) == find) b = static_cast<char>(replacement);
  }
  return ORBStringFromUTF8(bytes.data(), static_cast<SInt32>(bytes.size()));
}

namespace {
// Index of the last full stop at index 1 or later, or -1.
CFIndex extensionDot(CFStringRef s) {
  CFIndex n = CFStringGetLength(s);
  if (n < 2) return -1;
  for (CFIndex i = n - 1; i >= 1; --i)
    if (CFStringGetCharacterAtIndex(s, i) == '.') return i;
  return -1;
}
}  // namespace

CFStringRef ORBStringGetExtension(CFStringRef s) {
  if (!s) return nullptr;
  CFIndex dot = extensionDot(s);
  if (dot < 0) return nullptr;
  return CFStringCreateWithSubstring(nullptr, s, CFRangeMake(dot + 1, CFStringGetLength(s) - dot - 1));
}

CFStringRef ORBStringStripExtension(CFStringRef s) {
  if (!s) return nullptr;
  CFIndex dot = extensionDot(s);
  if (dot < 0) return ORBStringGetCopy(s);
  return CFStringCreateWithSubstring(nullptr, s, CFRangeMake(0, dot));
}

// ---------------------------------------------------------------------------------------------
// Number, size, date and duration texts

CFStringRef ORBMakeNumberString(UInt64 value) {
  return ORBStringCreateWithFormat(CFSTR("%qu"), static_cast<unsigned long long>(value));
}

void ORBStringAppendNumber(CFMutableStringRef* s, UInt64 value) {
  if (!s || !*s) return;
  CFRef<CFStringRef> number(ORBMakeNumberString(value));
  CFStringAppend(*s, number.get());
}

CFStringRef ORBMakeNumberStringWithSeparators(SInt64 value) {
  CFRef<CFLocaleRef> locale(CFLocaleCopyCurrent());
  CFRef<CFNumberFormatterRef> formatter(CFNumberFormatterCreate(nullptr, locale.get(), kCFNumberFormatterDecimalStyle));
  CFRef<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberSInt64Type, &value));
  return CFNumberFormatterCreateStringWithNumber(nullptr, formatter.get(), number.get());
}

CFStringRef ORBStringMakePaddedNumberString(UInt32 value) {
  long printed = static_cast<SInt32>(value);
  if (value <= 9) return ORBStringCreateWithFormat(CFSTR("0%li"), printed);
  return ORBStringCreateWithFormat(CFSTR("%li"), printed);
}

CFStringRef makeSmallSizeString(UInt64 byteCount) {
  const UInt64 k = byteCount / 1024;
  unsigned long long shown;
  CFStringRef format;
  if (k == 0 && byteCount != 0) {
    shown = 1;
    format = CFSTR("%qu K");
  } else if (k > 1073741824ULL) {
    shown = byteCount / 1099511627776ULL;
    format = CFSTR("%qu T");
  } else if (k > 1048576ULL) {
    shown = byteCount / 1073741824ULL;
    format = CFSTR("%qu G");
  } else if (k > 1024ULL) {
    shown = byteCount / 1048576ULL;
    format = CFSTR("%qu M");
  } else {
    shown = k;
    format = CFSTR("%qu K");
  }
  return ORBStringCreateWithFormat(format, shown);
}

CFStringRef ORBStringMakeDurationString(UInt32 seconds) {
  if (seconds <= 3600) {
    CFRef<CFStringRef> secs(ORBStringMakePaddedNumberString(seconds % 60));
    return ORBStringCreateWithFormat(CFSTR("%i:%@"), static_cast<int>(seconds / 60), secs.get());
  }
  CFRef<CFStringRef> mins(ORBStringMakePaddedNumberString((seconds % 3600) / 60));
  CFRef<CFStringRef> secs(ORBStringMakePaddedNumberString(seconds % 60));
  return ORBStringCreateWithFormat(CFSTR("%i:%@:%@"), static_cast<int>(seconds / 3600), mins.get(), secs.get());
}

CFStringRef ORBStringMakeDateTimeString(UInt32 time, UInt8 timeFlag, UInt8 styleFlag) {
  CFAbsoluteTime at = 0;
  if (UCConvertSecondsToCFAbsoluteTime(time, &at) != noErr) return nullptr;
  CFRef<CFLocaleRef> locale(CFLocaleCopyCurrent());
  CFRef<CFDateFormatterRef> formatter(CFDateFormatterCreate(
      nullptr, locale.get(), kCFDateFormatterMediumStyle, timeFlag ? kCFDateFormatterShortStyle : kCFDateFormatterNoStyle));
  if (!formatter) return nullptr;
  if (!styleFlag) CFDateFormatterSetFormat(formatter.get(), CFSTR("d MMMM"));
  return CFDateFormatterCreateStringWithAbsoluteTime(nullptr, formatter.get(), at);
}

CFStringRef ORBStringMakeOSTypeString(UInt32 code) {
  char bytes[4];
  memcpy(bytes, &code, 4);
  return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes), 4, kCFStringEncodingMacRoman, false);
}

CFStringRef ORBGetUUIDString(void) {
  CFRef<CFUUIDRef> uuid(CFUUIDCreate(nullptr));
  if (!uuid) return nullptr;
  return CFUUIDCreateString(nullptr, uuid.get());
}

// ---------------------------------------------------------------------------------------------
// XML fields and URL escaping

namespace {
// The text between the end of an opening tag at openAt and the next closing tag.
CFStringRef textUntilClosingTag(CFStringRef text, CFStringRef closeTag, SInt32 openAt, SInt32 openLength) {
  SInt32 closeAt = ORBStringPosition(text, closeTag, openAt, 1);
  if (closeAt < 0 || closeAt < openAt + openLength) return nullptr;
  return ORBStringCreateWithSubstring(text, openAt + openLength, closeAt - openAt - openLength);
}
}  // namespace

CFStringRef ORBStringSimpleXMLParserFindData(CFStringRef text, CFStringRef element) {
  return ORBStringSimpleXMLParserFindNthData(text, element, 1);
}

CFStringRef ORBStringSimpleXMLParserFindNthData(CFStringRef text, CFStringRef element, UInt32 n) {
  if (n == 0 || !text || !element) return nullptr;
  CFRef<CFStringRef> openTag(ORBStringCreateWithFormat(CFSTR("<%@>"), element));
  CFRef<CFStringRef> closeTag(ORBStringCreateWithFormat(CFSTR("</%@>"), element));
  if (!openTag || !closeTag) return nullptr;
  SInt32 openLength = ORBStringGetLength(openTag.get());
  SInt32 at = -1;
  SInt32 from = 0;
  for (UInt32 i = 0; i < n; ++i) {
    at = ORBStringPosition(text, openTag.get(), from, 1);
    if (at < 0) return nullptr;
    from = at + openLength;
  }
  return textUntilClosingTag(text, closeTag.get(), at, openLength);
}

CFStringRef ORBStringConvertToURL(CFStringRef s) {
  if (!s) return nullptr;
  return CFURLCreateStringByAddingPercentEscapes(nullptr, s, CFSTR("abcdefghijklmnopqrstuvwxyz0123456789"),
                                                 CFSTR("$&+;:=?@/,"), kCFStringEncodingUTF8);
}

CFStringRef ORBStringConvertFromURL(CFStringRef s) {
  if (!s) return nullptr;
  return CFURLCreateStringByReplacingPercentEscapes(nullptr, s, CFSTR(""));
}

// ---------------------------------------------------------------------------------------------
// Writing a file

SInt16 ORBStringWriteToFile(CFStringRef s, CFStringRef path, SInt16 encoding) {
  // Only UTF-8 (12) is written; an unknown code is refused before the file is touched.
  if (encoding != 12) return paramErr;
  SInt16 refNum = 0;
  OSStatus err = feCreateAndOpenTextFile(path, &refNum);
  if (err != noErr) return static_cast<SInt16>(err);
  UInt32 size = ORBStringGetUTF8Size(s);
  void* bytes = std::calloc(size ? size : 1, 1);
  if (!bytes) {
    FSCloseFork(refNum);
    return memFullErr;
  }
  UInt32 count = 0;
  ORBStringCopyToUTF8(s, bytes, &count);
  err = feWriteToFile(refNum, 0, count, bytes);
  // A longer file that was there before must not keep its old bytes behind the new text.
  if (err == noErr) err = feSetEOF(refNum, count);
  std::free(bytes);
  FSCloseFork(refNum);
  return static_cast<SInt16>(err);
}
