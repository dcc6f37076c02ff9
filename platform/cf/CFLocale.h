// CoreFoundation locales, date formatters and number formatters, on ICU.
// The current locale comes from the environment as C programs on Linux choose a category's
// locale: LC_ALL, then the category's variable, then LANG. Its identifier and the preferred
// languages follow LC_MESSAGES; "C", "POSIX" or nothing set name en_US_POSIX. Date formatters
// made for it follow LC_TIME and number formatters LC_NUMERIC; there "C", "POSIX" or nothing
// set mean English as in the United States (en_US: grouping separators, month names), since the
// bare POSIX forms have no separators.
#pragma once

#include "CFBase.h"
#include "CFDate.h"
#include "CFNumber.h"

typedef const struct __CFLocale* CFLocaleRef;
CFLocaleRef CFLocaleCopyCurrent();
CFLocaleRef CFLocaleCreate(CFAllocatorRef alloc, CFStringRef localeIdentifier);
CFStringRef CFLocaleGetIdentifier(CFLocaleRef locale);
// The user's preferred languages, most preferred first (from LANGUAGE, then the current locale).
typedef const struct __CFArray* CFArrayRef;
CFArrayRef CFLocaleCopyPreferredLanguages();

typedef struct __CFDateFormatter* CFDateFormatterRef;
typedef CFIndex CFDateFormatterStyle;
enum : CFIndex {
  kCFDateFormatterNoStyle = 0,
  kCFDateFormatterShortStyle = 1,
  kCFDateFormatterMediumStyle = 2,
  kCFDateFormatterLongStyle = 3,
  kCFDateFormatterFullStyle = 4,
};
// Formats in the local time zone.
CFDateFormatterRef CFDateFormatterCreate(CFAllocatorRef alloc, CFLocaleRef locale, CFDateFormatterStyle dateStyle,
                                         CFDateFormatterStyle timeStyle);
// Replaces the format by a pattern in the syntax of Unicode Technical Standard 35.
void CFDateFormatterSetFormat(CFDateFormatterRef formatter, CFStringRef formatString);
CFStringRef CFDateFormatterGetFormat(CFDateFormatterRef formatter);
CFStringRef CFDateFormatterCreateStringWithAbsoluteTime(CFAllocatorRef alloc, CFDateFormatterRef formatter,
                                                        CFAbsoluteTime at);
CFStringRef CFDateFormatterCreateStringWithDate(CFAllocatorRef alloc, CFDateFormatterRef formatter, CFDateRef date);

typedef struct __CFNumberFormatter* CFNumberFormatterRef;
typedef CFIndex CFNumberFormatterStyle;
enum : CFIndex {
  kCFNumberFormatterNoStyle = 0,
  kCFNumberFormatterDecimalStyle = 1,
  kCFNumberFormatterCurrencyStyle = 2,
  kCFNumberFormatterPercentStyle = 3,
  kCFNumberFormatterScientificStyle = 4,
};
CFNumberFormatterRef CFNumberFormatterCreate(CFAllocatorRef alloc, CFLocaleRef locale, CFNumberFormatterStyle style);
CFStringRef CFNumberFormatterCreateStringWithNumber(CFAllocatorRef alloc, CFNumberFormatterRef formatter,
                                                    CFNumberRef number);
