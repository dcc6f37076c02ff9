// CoreFoundation strings: encodings, comparison and search, formats, URLs and locales.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "CFTestSupport.h"
#include "CoreFoundation.h"

namespace {

CFRef<CFStringRef> str(const char* utf8) {
  return CFRef<CFStringRef>(CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8));
}

using velmtest::utf8;

std::string fmt(CFStringRef format, ...) {
  va_list args;
  va_start(args, format);
  CFRef<CFStringRef> s(CFStringCreateWithFormatAndArguments(nullptr, nullptr, format, args));
  va_end(args);
  return utf8(s.get());
}

TEST(CFStringEncoding, Utf8RejectsMalformedInput) {
  const std::vector<std::string> bad = {
      "\x8E",              // lone continuation byte
      "\xC3",              // truncated sequence
      "\xC0\xAF",          // overlong slash
      "\xED\xA0\x80",      // encoded surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "a\xFF" "b",
  };
  for (const auto& b : bad) {
    CFRef<CFStringRef> s(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(b.data()),
                                                 static_cast<CFIndex>(b.size()), kCFStringEncodingUTF8, false));
    EXPECT_EQ(s.get(), nullptr) << "accepted malformed UTF-8 of " << b.size() << " bytes";
  }
}

TEST(CFStringEncoding, Utf8RoundTripIncludingNonBmpAndNul) {
  const std::string text("a\0\xC3\xA9\xE6\x97\xA5\xF0\x9F\x93\xB7", 11);
  CFRef<CFStringRef> s(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                               static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false));
  ASSERT_TRUE(s);
  EXPECT_EQ(CFStringGetLength(s.get()), 6);  // a, NUL, é, 日, and a surrogate pair
  EXPECT_EQ(utf8(s.get()), text);
}

TEST(CFStringEncoding, ExternalRepresentationDropsByteOrderMark) {
  const std::string withBom = "\xEF\xBB\xBFhi";
  auto bytes = reinterpret_cast<const UInt8*>(withBom.data());
  CFRef<CFStringRef> external(CFStringCreateWithBytes(nullptr, bytes, 5, kCFStringEncodingUTF8, true));
  CFRef<CFStringRef> internal(CFStringCreateWithBytes(nullptr, bytes, 5, kCFStringEncodingUTF8, false));
  EXPECT_EQ(CFStringGetLength(external.get()), 2);
  EXPECT_EQ(CFStringGetLength(internal.get()), 3);
  const UInt8 utf16[] = {0xFF, 0xFE, 'h', 0, 'i', 0};
  CFRef<CFStringRef> u16(CFStringCreateWithBytes(nullptr, utf16, 6, kCFStringEncodingUTF16, true));
  EXPECT_EQ(utf8(u16.get()), "hi");
}

TEST(CFStringEncoding, MacRomanBothWays) {
  const UInt8 e = 0x8E;  // é in MacRoman
  CFRef<CFStringRef> s(CFStringCreateWithBytes(nullptr, &e, 1, kCFStringEncodingMacRoman, false));
  EXPECT_EQ(utf8(s.get()), "\xC3\xA9");
  char buf[8];
  ASSERT_TRUE(CFStringGetCString(s.get(), buf, sizeof buf, kCFStringEncodingMacRoman));
  EXPECT_EQ(std::string(buf), "\x8E");
  // The decomposed form converts too: it composes to the character MacRoman has.
  auto decomposed = str("e\xCC\x81");
  ASSERT_TRUE(CFStringGetCString(decomposed.get(), buf, sizeof buf, kCFStringEncodingMacRoman));
  EXPECT_EQ(std::string(buf), "\x8E");
  // A character MacRoman lacks fails the lossless conversion.
  auto kanji = str("\xE6\x97\xA5");
  EXPECT_FALSE(CFStringGetCString(kanji.get(), buf, sizeof buf, kCFStringEncodingMacRoman));
  EXPECT_EQ(buf[0], 0);
}

TEST(CFStringEncoding, LoneSurrogateCannotBecomeUtf8) {
  const UniChar units[] = {'a', 0xD800, 'b'};
  CFRef<CFStringRef> s(CFStringCreateWithCharacters(nullptr, units, 3));
  char buf[16];
  EXPECT_FALSE(CFStringGetCString(s.get(), buf, sizeof buf, kCFStringEncodingUTF8));
  CFIndex used = -1;
  EXPECT_EQ(CFStringGetBytes(s.get(), CFRangeMake(0, 3), kCFStringEncodingUTF8, 0, false, nullptr, 0, &used), 1);
  EXPECT_EQ(CFStringGetBytes(s.get(), CFRangeMake(0, 3), kCFStringEncodingUTF8, '?', false, nullptr, 0, &used), 3);
  EXPECT_EQ(used, 3);
}

TEST(CFStringEncoding, GetBytesStopsAtWholeCharactersWhenTheBufferIsShort) {
  auto s = str("\xC3\xA9\xC3\xA9");  // two 2-byte characters
  UInt8 buf[3];
  CFIndex used = 0;
  EXPECT_EQ(CFStringGetBytes(s.get(), CFRangeMake(0, 2), kCFStringEncodingUTF8, 0, false, buf, 3, &used), 1);
  EXPECT_EQ(used, 2);
}

TEST(CFStringEncoding, CStringNeedsRoomForTheTerminator) {
  auto s = str("abc");
  char buf[3];
  EXPECT_FALSE(CFStringGetCString(s.get(), buf, 3, kCFStringEncodingUTF8));
  char ok[4];
  EXPECT_TRUE(CFStringGetCString(s.get(), ok, 4, kCFStringEncodingUTF8));
}

TEST(CFStringAccess, SubstringAndCharacterBounds) {
  auto s = str("hello");
  EXPECT_EQ(CFStringGetCharacterAtIndex(s.get(), 5), 0);
  EXPECT_EQ(CFStringGetCharacterAtIndex(s.get(), -1), 0);
  CFRef<CFStringRef> sub(CFStringCreateWithSubstring(nullptr, s.get(), CFRangeMake(1, 3)));
  EXPECT_EQ(utf8(sub.get()), "ell");
  EXPECT_EQ(CFStringCreateWithSubstring(nullptr, s.get(), CFRangeMake(3, 3)), nullptr);
  EXPECT_EQ(CFStringCreateWithSubstring(nullptr, s.get(), CFRangeMake(-1, 1)), nullptr);
}

TEST(CFStringAccess, NumericValues) {
  struct Case {
    const char* text;
    SInt32 i;
    double d;
  } cases[] = {
      {"42abc", 42, 42.0},  {"  -7", -7, -7.0},  {"abc", 0, 0.0},        {"", 0, 0.0},
      {"3.75x", 3, 3.75},   {"+12", 12, 12.0},   {"99999999999", INT32_MAX, 99999999999.0},
      {"1e3", 1, 1000.0},
  };
  for (const auto& c : cases) {
    auto s = str(c.text);
    EXPECT_EQ(CFStringGetIntValue(s.get()), c.i) << c.text;
    EXPECT_DOUBLE_EQ(CFStringGetDoubleValue(s.get()), c.d) << c.text;
  }
}

TEST(CFStringMutable, AppendInsertReplace) {
  CFRef<CFMutableStringRef> m(CFStringCreateMutable(nullptr, 0));
  CFStringAppendCString(m.get(), "ab", kCFStringEncodingASCII);
  CFStringAppend(m.get(), m.get());  // appending itself doubles it
  EXPECT_EQ(utf8(m.get()), "abab");
  auto x = str("X");
  CFStringInsert(m.get(), 2, x.get());
  CFStringReplace(m.get(), CFRangeMake(0, 1), x.get());
  EXPECT_EQ(utf8(m.get()), "XbXab");
  // Immutable strings are never changed.
  auto fixed = str("fixed");
  CFStringAppend(reinterpret_cast<CFMutableStringRef>(const_cast<__CFString*>(fixed.get())), x.get());
  EXPECT_EQ(utf8(fixed.get()), "fixed");
}

TEST(CFStringCompare, CaseAndCanonicalEquivalence) {
  auto precomposed = str("caf\xC3\xA9");
  auto decomposed = str("cafe\xCC\x81");
  auto upper = str("CAF\xC3\x89");
  EXPECT_NE(CFStringCompare(precomposed.get(), decomposed.get(), 0), kCFCompareEqualTo);
  EXPECT_EQ(CFStringCompare(precomposed.get(), decomposed.get(), kCFCompareNonliteral), kCFCompareEqualTo);
  EXPECT_NE(CFStringCompare(precomposed.get(), upper.get(), kCFCompareNonliteral), kCFCompareEqualTo);
  EXPECT_EQ(CFStringCompare(upper.get(), decomposed.get(), kCFCompareNonliteral | kCFCompareCaseInsensitive),
            kCFCompareEqualTo);
  auto a = str("abc"), b = str("abd"), ab = str("ab");
  EXPECT_EQ(CFStringCompare(a.get(), b.get(), 0), kCFCompareLessThan);
  EXPECT_EQ(CFStringCompare(b.get(), a.get(), kCFCompareCaseInsensitive), kCFCompareGreaterThan);
  EXPECT_EQ(CFStringCompare(ab.get(), a.get(), kCFCompareCaseInsensitive), kCFCompareLessThan);
}

TEST(CFStringFind, ForwardBackwardAnchoredAndNonliteral) {
  auto hay = str("abcABCabc");
  auto needle = str("abc");
  CFRange r{};
  ASSERT_TRUE(CFStringFindWithOptions(hay.get(), needle.get(), CFRangeMake(1, 8), 0, &r));
  EXPECT_EQ(r.location, 6);
  ASSERT_TRUE(CFStringFindWithOptions(hay.get(), needle.get(), CFRangeMake(1, 8), kCFCompareCaseInsensitive, &r));
  EXPECT_EQ(r.location, 3);
  ASSERT_TRUE(CFStringFindWithOptions(hay.get(), needle.get(), CFRangeMake(0, 9), kCFCompareBackwards, &r));
  EXPECT_EQ(r.location, 6);
  EXPECT_FALSE(CFStringFindWithOptions(hay.get(), needle.get(), CFRangeMake(1, 8), kCFCompareAnchored, &r));
  auto empty = str("");
  EXPECT_FALSE(CFStringFindWithOptions(hay.get(), empty.get(), CFRangeMake(0, 9), 0, &r));

  // The decomposed é in the text matches the precomposed one searched for, and the match
  // covers the whole decomposed sequence.
  auto text = str("x cafe\xCC\x81 y");
  auto word = str("caf\xC3\xA9");
  ASSERT_TRUE(CFStringFindWithOptions(text.get(), word.get(), CFRangeMake(0, CFStringGetLength(text.get())),
                                      kCFCompareNonliteral, &r));
  EXPECT_EQ(r.location, 2);
  EXPECT_EQ(r.length, 5);
  // A match may not end inside a character: "cafe" does not match the start of "cafe" + accent.
  auto plain = str("cafe");
  EXPECT_FALSE(CFStringFindWithOptions(text.get(), plain.get(), CFRangeMake(0, CFStringGetLength(text.get())),
                                       kCFCompareNonliteral, &r));
  // Case-insensitive outside ASCII.
  auto upperWord = str("CAF\xC3\x89");
  EXPECT_TRUE(CFStringFindWithOptions(text.get(), upperWord.get(), CFRangeMake(0, CFStringGetLength(text.get())),
                                      kCFCompareNonliteral | kCFCompareCaseInsensitive, &r));
}

TEST(CFStringFind, AsciiNeedleAgainstAccentedText) {
  struct Case {
    const char* hay;
    const char* needle;
    CFStringCompareFlags flags;
    CFIndex location;  // kCFNotFound when there is no match
  } cases[] = {
      {"caf\xC3\xA9 cafe", "cafe", kCFCompareNonliteral, 5},             // é is not e
      {"cafe\xCC\x81 cafe", "cafe", kCFCompareNonliteral, 6},            // nor is e + accent
      {"cafe\xCC\x81", "cafe", 0, 0},                                     // literally it is
      {"<n>M\xC3\xBCller</n>", "</n>", kCFCompareNonliteral, 9},
      {"\xE2\x84\xAA" "elvin", "kelvin", kCFCompareNonliteral | kCFCompareCaseInsensitive, 0},  // KELVIN SIGN
      {"a\xCD\xBE" "b", "a;b", kCFCompareNonliteral, 0},                  // GREEK QUESTION MARK is ;
      {"\xC3\xBC\xC3\xBC x \xC3\xBC", "X", kCFCompareNonliteral | kCFCompareCaseInsensitive, 3},
  };
  for (const auto& c : cases) {
    auto hay = str(c.hay);
    auto needle = str(c.needle);
    CFRange r{kCFNotFound, 0};
    bool found = CFStringFindWithOptions(hay.get(), needle.get(), CFRangeMake(0, CFStringGetLength(hay.get())),
                                         c.flags, &r);
    EXPECT_EQ(found ? r.location : kCFNotFound, c.location) << c.hay << " / " << c.needle;
  }
}

TEST(CFStringFormat, PrintfConversionsAndObjects) {
  auto name = str("M\xC3\xBCnchen");
  CFRef<CFNumberRef> seven;
  int v = 7;
  seven.reset(CFNumberCreate(nullptr, kCFNumberIntType, &v));
  EXPECT_EQ(fmt(CFSTR("<%@>|%@|%@"), name.get(), seven.get(), nullptr), "<M\xC3\xBCnchen>|7|(null)");
  EXPECT_EQ(fmt(CFSTR("%qu"), 18446744073709551615ULL), "18446744073709551615");
  EXPECT_EQ(fmt(CFSTR("%li|%lu|%lx|%x|%o|%i|%%"), -5L, 5UL, 255UL, 255U, 493U, 12), "-5|5|ff|ff|755|12|%");
  EXPECT_EQ(fmt(CFSTR("%f|%.2f|%g"), 48.1234567, 1.005, 0.5), "48.123457|1.00|0.5");
  EXPECT_EQ(fmt(CFSTR("%.8x%.8x"), 0x1234U, 0xABCDEF01U), "00001234abcdef01");
  EXPECT_EQ(fmt(CFSTR("[%5i][%-4s][%03d][%*d]"), 42, "ab", 7, 4, 9), "[   42][ab  ][007][   9]");
  EXPECT_EQ(fmt(CFSTR("%s"), "\x8E"), "\xC3\xA9");  // %s reads MacRoman
  EXPECT_EQ(fmt(CFSTR("%c%C"), 'A', 0x263A), "A\xE2\x98\xBA");
  EXPECT_EQ(fmt(CFSTR("%lld|%hd|%hhu"), -9000000000LL, 70000, 300), "-9000000000|4464|44");
  EXPECT_EQ(fmt(CFSTR("end%")), "end%");
}

TEST(CFURLEscapes, AddingAndReplacing) {
  auto in = str("a b&c/\xC3\xBC%#");
  CFRef<CFStringRef> escaped(
      CFURLCreateStringByAddingPercentEscapes(nullptr, in.get(), nullptr, CFSTR("&/"), kCFStringEncodingUTF8));
  EXPECT_EQ(utf8(escaped.get()), "a%20b%26c%2F%C3%BC%25%23");
  CFRef<CFStringRef> back(CFURLCreateStringByReplacingPercentEscapes(nullptr, escaped.get(), CFSTR("")));
  EXPECT_EQ(utf8(back.get()), "a b&c/\xC3\xBC%#");
  // A null set of escapes replaces nothing; a set keeps the escapes of its characters.
  CFRef<CFStringRef> kept(CFURLCreateStringByReplacingPercentEscapes(nullptr, escaped.get(), nullptr));
  EXPECT_EQ(utf8(kept.get()), utf8(escaped.get()));
  CFRef<CFStringRef> partly(CFURLCreateStringByReplacingPercentEscapes(nullptr, escaped.get(), CFSTR("/")));
  EXPECT_EQ(utf8(partly.get()), "a b&c%2F\xC3\xBC%#");
  auto bad = str("%FF");
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapes(nullptr, bad.get(), CFSTR("")), nullptr);
}

TEST(CFURLFile, PathsRoundTrip) {
  auto path = str("/tmp/a folder/\xC3\xA9.jpg");
  CFRef<CFURLRef> url(CFURLCreateWithFileSystemPath(nullptr, path.get(), kCFURLPOSIXPathStyle, false));
  EXPECT_EQ(utf8(CFURLGetString(url.get())), "file:///tmp/a%20folder/%C3%A9.jpg");
  CFRef<CFStringRef> back(CFURLCopyFileSystemPath(url.get(), kCFURLPOSIXPathStyle));
  EXPECT_EQ(utf8(back.get()), "/tmp/a folder/\xC3\xA9.jpg");
  CFRef<CFURLRef> parsed(CFURLCreateWithString(nullptr, CFURLGetString(url.get()), nullptr));
  UInt8 buf[64];
  ASSERT_TRUE(CFURLGetFileSystemRepresentation(parsed.get(), true, buf, sizeof buf));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), "/tmp/a folder/\xC3\xA9.jpg");
}

class LocaleEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"LC_ALL", "LC_MESSAGES", "LANG", "LANGUAGE", "TZ"}) {
      const char* old = getenv(v);
      saved_.emplace_back(v, old ? std::optional<std::string>(old) : std::nullopt);
      unsetenv(v);
    }
  }
  void TearDown() override {
    for (auto& [k, v] : saved_) v ? setenv(k.c_str(), v->c_str(), 1) : unsetenv(k.c_str());
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(LocaleEnv, CurrentLocaleFollowsTheEnvironment) {
  setenv("LANG", "de_DE.UTF-8", 1);
  CFRef<CFLocaleRef> de(CFLocaleCopyCurrent());
  EXPECT_EQ(utf8(CFLocaleGetIdentifier(de.get())), "de_DE");
  setenv("LC_ALL", "C", 1);
  CFRef<CFLocaleRef> c(CFLocaleCopyCurrent());
  EXPECT_EQ(utf8(CFLocaleGetIdentifier(c.get())), "en_US_POSIX");
}

TEST_F(LocaleEnv, DateFormatterWithPattern) {
  CFRef<CFLocaleRef> en(CFLocaleCreate(nullptr, CFSTR("en_GB")));
  CFRef<CFDateFormatterRef> f(CFDateFormatterCreate(nullptr, en.get(), kCFDateFormatterMediumStyle,
                                                    kCFDateFormatterNoStyle));
  CFDateFormatterSetFormat(f.get(), CFSTR("d MMMM"));
  // 5 December 2008, noon UTC: whatever the local zone, still the 5th.
  CFAbsoluteTime at = 250171200.0;  // 2008-12-05T12:00:00Z
  CFRef<CFStringRef> text(CFDateFormatterCreateStringWithAbsoluteTime(nullptr, f.get(), at));
  EXPECT_EQ(utf8(text.get()), "5 December");
  CFRef<CFLocaleRef> de(CFLocaleCreate(nullptr, CFSTR("de_DE")));
  CFRef<CFDateFormatterRef> g(CFDateFormatterCreate(nullptr, de.get(), kCFDateFormatterMediumStyle,
                                                    kCFDateFormatterNoStyle));
  CFDateFormatterSetFormat(g.get(), CFSTR("d MMMM"));
  CFRef<CFStringRef> german(CFDateFormatterCreateStringWithAbsoluteTime(nullptr, g.get(), at));
  EXPECT_EQ(utf8(german.get()), "5 Dezember");
}

TEST_F(LocaleEnv, ClassicSecondsAreLocalTime) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  // 1 January 2001 00:00 local time in Berlin is 23:00 UTC the day before.
  CFAbsoluteTime at = 0;
  ASSERT_EQ(UCConvertSecondsToCFAbsoluteTime(3061152000U, &at), noErr);
  EXPECT_DOUBLE_EQ(at, -3600.0);
  UInt32 back = 0;
  ASSERT_EQ(UCConvertCFAbsoluteTimeToSeconds(at, &back), noErr);
  EXPECT_EQ(back, 3061152000U);
  unsetenv("TZ");
  tzset();
}

TEST_F(LocaleEnv, NumberFormatterGroupsDigits) {
  CFRef<CFLocaleRef> en(CFLocaleCreate(nullptr, CFSTR("en_US")));
  CFRef<CFNumberFormatterRef> f(CFNumberFormatterCreate(nullptr, en.get(), kCFNumberFormatterDecimalStyle));
  SInt64 v = -1234567;
  CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberSInt64Type, &v));
  CFRef<CFStringRef> text(CFNumberFormatterCreateStringWithNumber(nullptr, f.get(), n.get()));
  EXPECT_EQ(utf8(text.get()), "-1,234,567");
}

}  // namespace
