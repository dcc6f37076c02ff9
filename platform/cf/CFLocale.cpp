// CoreFoundation locales, date formatters and number formatters on ICU.
#include <unicode/udat.h>
#include <unicode/unum.h>
#include <unicode/uloc.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "CFInternal.h"

using namespace cfimpl;

namespace {

// "de_DE.UTF-8@euro" -> "de_DE"; "C", "POSIX" and empty -> "".
std::string localeFromPosix(const char* value) {
  if (!value) return {};
  std::string v = value;
  size_t cut = v.find_first_of(".@");
  if (cut != std::string::npos) v.resize(cut);
  if (v == "C" || v == "POSIX") return {};
  return v;
}

// The locale of one category as C programs on Linux choose it: LC_ALL, then the category's own
// variable, then LANG. Empty when none is set or the one that counts is "C" or "POSIX".
std::string categoryLocale(const char* category) {
  for (const char* var : {"LC_ALL", category, "LANG"}) {
    const char* v = getenv(var);
    if (v && *v) return localeFromPosix(v);
  }
  return {};
}

std::string currentLocaleID() {
  std::string id = categoryLocale("LC_MESSAGES");
  return id.empty() ? "en_US_POSIX" : id;
}

// Dates and numbers without a locale of their own still come out in English with its
// separators and month names, not in the bare POSIX forms.
std::string formattingLocale(const char* category) {
  std::string id = categoryLocale(category);
  return id.empty() ? "en_US" : id;
}

}  // namespace

struct __CFLocale : Object {
  explicit __CFLocale(std::string i) : Object(kTypeLocale), id(i), timeID(i), numericID(std::move(i)) {}
  bool equal(const Object* o) const override { return id == static_cast<const __CFLocale*>(o)->id; }
  std::u16string describe() const override { return fromASCII(id); }
  std::string id;         // the locale's name (messages category for the current locale)
  std::string timeID;     // what dates are formatted with
  std::string numericID;  // what numbers are formatted with
  CFRef<CFStringRef> identifier;
};

CFLocaleRef CFLocaleCopyCurrent() {
  auto* l = new __CFLocale(currentLocaleID());
  l->timeID = formattingLocale("LC_TIME");
  l->numericID = formattingLocale("LC_NUMERIC");
  l->identifier.reset(makeString(fromASCII(l->id)));
  return l;
}

CFLocaleRef CFLocaleCreate(CFAllocatorRef, CFStringRef identifier) {
  if (!identifier) return nullptr;
  std::string id;
  if (!toUTF8(units(identifier), id)) return nullptr;
  auto* l = new __CFLocale(id);
  l->identifier.reset(makeString(fromASCII(id)));
  return l;
}

CFStringRef CFLocaleGetIdentifier(CFLocaleRef l) { return l ? l->identifier.get() : nullptr; }

CFArrayRef CFLocaleCopyPreferredLanguages() {
  CFMutableArrayRef langs = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
  auto add = [&](const std::string& tag) {
    if (tag.empty()) return;
    CFRef<CFStringRef> s(makeString(fromASCII(tag)));
    if (!CFArrayContainsValue(langs, CFRangeMake(0, CFArrayGetCount(langs)), s.get())) CFArrayAppendValue(langs, s.get());
  };
  // LANGUAGE (a colon-separated list) counts only with a real locale, as gettext does.
  std::string current = currentLocaleID();
  const char* language = getenv("LANGUAGE");
  if (language && *language && current != "en_US_POSIX") {
    std::string list = language;
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      add(localeFromPosix(list.substr(start, end - start).c_str()));
      start = end + 1;
    }
  }
  add(current == "en_US_POSIX" ? "en" : current);
  return langs;
}

// ---------------------------------------------------------------------------------------------
// Date formatters.

struct __CFDateFormatter : Object {
  __CFDateFormatter() : Object(kTypeDateFormatter) {}
  ~__CFDateFormatter() override {
    if (fmt) udat_close(fmt);
  }
  UDateFormat* fmt = nullptr;
  CFRef<CFStringRef> pattern;
};

namespace {
UDateFormatStyle icuStyle(CFDateFormatterStyle s) {
  switch (s) {
    case kCFDateFormatterShortStyle: return UDAT_SHORT;
    case kCFDateFormatterMediumStyle: return UDAT_MEDIUM;
    case kCFDateFormatterLongStyle: return UDAT_LONG;
    case kCFDateFormatterFullStyle: return UDAT_FULL;
    default: return UDAT_NONE;
  }
}

std::u16string patternOf(const UDateFormat* fmt) {
  UErrorCode ec = U_ZERO_ERROR;
  UChar buf[256];
  int32_t n = udat_toPattern(fmt, false, buf, 256, &ec);
  if (U_FAILURE(ec) || n > 256) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(buf), static_cast<size_t>(n));
}
}  // namespace

CFDateFormatterRef CFDateFormatterCreate(CFAllocatorRef, CFLocaleRef locale, CFDateFormatterStyle dateStyle,
                                         CFDateFormatterStyle timeStyle) {
  std::string id = locale ? locale->timeID : formattingLocale("LC_TIME");
  UErrorCode ec = U_ZERO_ERROR;
  UDateFormat* fmt;
  if (dateStyle == kCFDateFormatterNoStyle && timeStyle == kCFDateFormatterNoStyle) {
    fmt = udat_open(UDAT_PATTERN, UDAT_PATTERN, id.c_str(), nullptr, -1, u"", 0, &ec);
  } else {
    fmt = udat_open(icuStyle(timeStyle), icuStyle(dateStyle), id.c_str(), nullptr, -1, nullptr, -1, &ec);
  }
  if (U_FAILURE(ec)) {
    if (fmt) udat_close(fmt);
    return nullptr;
  }
  auto* f = new __CFDateFormatter();
  f->fmt = fmt;
  f->pattern.reset(makeString(patternOf(fmt)));
  return f;
}

void CFDateFormatterSetFormat(CFDateFormatterRef f, CFStringRef format) {
  if (!f || !format) return;
  const auto& p = units(format);
  udat_applyPattern(f->fmt, false, reinterpret_cast<const UChar*>(p.data()), static_cast<int32_t>(p.size()));
  f->pattern.reset(makeString(patternOf(f->fmt)));
}

CFStringRef CFDateFormatterGetFormat(CFDateFormatterRef f) { return f ? f->pattern.get() : nullptr; }

CFStringRef CFDateFormatterCreateStringWithAbsoluteTime(CFAllocatorRef, CFDateFormatterRef f, CFAbsoluteTime at) {
  if (!f) return nullptr;
  UDate ms = (at + kCFAbsoluteTimeIntervalSince1970) * 1000.0;
  UErrorCode ec = U_ZERO_ERROR;
  int32_t n = udat_format(f->fmt, ms, nullptr, 0, nullptr, &ec);
  if (ec != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(ec)) return nullptr;
  std::u16string out(static_cast<size_t>(n), u'\0');
  ec = U_ZERO_ERROR;
  udat_format(f->fmt, ms, reinterpret_cast<UChar*>(out.data()), n, nullptr, &ec);
  if (U_FAILURE(ec) && ec != U_STRING_NOT_TERMINATED_WARNING) return nullptr;
  return makeString(std::move(out));
}

CFStringRef CFDateFormatterCreateStringWithDate(CFAllocatorRef a, CFDateFormatterRef f, CFDateRef date) {
  if (!date) return nullptr;
  return CFDateFormatterCreateStringWithAbsoluteTime(a, f, CFDateGetAbsoluteTime(date));
}

// ---------------------------------------------------------------------------------------------
// Number formatters.

struct __CFNumberFormatter : Object {
  __CFNumberFormatter() : Object(kTypeNumberFormatter) {}
  ~__CFNumberFormatter() override {
    if (fmt) unum_close(fmt);
  }
  UNumberFormat* fmt = nullptr;
};

CFNumberFormatterRef CFNumberFormatterCreate(CFAllocatorRef, CFLocaleRef locale, CFNumberFormatterStyle style) {
  std::string id = locale ? locale->numericID : formattingLocale("LC_NUMERIC");
  UNumberFormatStyle s;
  switch (style) {
    case kCFNumberFormatterDecimalStyle: s = UNUM_DECIMAL; break;
    case kCFNumberFormatterCurrencyStyle: s = UNUM_CURRENCY; break;
    case kCFNumberFormatterPercentStyle: s = UNUM_PERCENT; break;
    case kCFNumberFormatterScientificStyle: s = UNUM_SCIENTIFIC; break;
    default: s = UNUM_PATTERN_DECIMAL; break;
  }
  UErrorCode ec = U_ZERO_ERROR;
  UNumberFormat* fmt = s == UNUM_PATTERN_DECIMAL ? unum_open(s, u"#", -1, id.c_str(), nullptr, &ec)
                                                 : unum_open(s, nullptr, 0, id.c_str(), nullptr, &ec);
  if (U_FAILURE(ec)) {
    if (fmt) unum_close(fmt);
    return nullptr;
  }
  auto* f = new __CFNumberFormatter();
  f->fmt = fmt;
  return f;
}

CFStringRef CFNumberFormatterCreateStringWithNumber(CFAllocatorRef, CFNumberFormatterRef f, CFNumberRef number) {
  if (!f || !number) return nullptr;
  UChar buf[128];
  UErrorCode ec = U_ZERO_ERROR;
  int32_t n;
  if (CFNumberIsFloatType(number)) {
    double d = 0;
    CFNumberGetValue(number, kCFNumberDoubleType, &d);
    n = unum_formatDouble(f->fmt, d, buf, 128, nullptr, &ec);
  } else {
    int64_t v = 0;
    CFNumberGetValue(number, kCFNumberSInt64Type, &v);
    n = unum_formatInt64(f->fmt, v, buf, 128, nullptr, &ec);
  }
  if (U_FAILURE(ec) || n > 128) return nullptr;
  return makeString(std::u16string(reinterpret_cast<const char16_t*>(buf), static_cast<size_t>(n)));
}
