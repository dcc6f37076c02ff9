// The string library: creation, access, comparison and search, byte conversions, extensions,
// number/size/date texts, XML fields and URL escaping.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "CFTestSupport.h"
#include "CoreServices.h"
#include "TestSupport.h"
#include "stringEngine.h"

namespace fs = std::filesystem;

namespace {

// The main bundle of this test program: a folder with an English string table.
class MainBundle : public ::testing::Environment {
 public:
  void SetUp() override {
    fs::path dir = velmtest::sandboxDir() / "main-bundle";
    fs::create_directories(dir / "en.lproj");
    velmtest::writeFile(dir / "en.lproj/Localizable.strings", "\"STR#1001:2\" = \"Second text\";\n");
    setenv("CF_MAIN_BUNDLE_PATH", dir.c_str(), 1);
    setenv("LANG", "en_US.UTF-8", 1);
  }
};
const auto* const kMainBundle = ::testing::AddGlobalTestEnvironment(new MainBundle);

// An owned string from UTF-8 text.
struct S {
  explicit S(const char* utf8) : ref(CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8)) {}
  explicit S(CFStringRef adopt) : ref(adopt) {}
  operator CFStringRef() const { return ref.get(); }
  CFRef<CFStringRef> ref;
};

using velmtest::utf8;

// Takes over a result and returns its UTF-8 text ("<null>" for null).
std::string take(CFStringRef s) {
  std::string t = utf8(s);
  ORBStringRelease(&s);
  return t;
}

TEST(StringCreation, ReleaseAndInvalidate) {
  CFStringRef s = ORBStringFromCString("abc", 3);
  ASSERT_TRUE(ORBStringIsValid(s));
  EXPECT_EQ(ORBStringRelease(&s), 0);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(ORBStringRelease(&s), 0);  // a variable holding null: nothing happens
  CFStringRef t = ORBStringFromCString("x", 1);
  CFStringRef keep = t;
  EXPECT_EQ(ORBStringInvalidate(&t), &t);
  EXPECT_EQ(t, nullptr);
  CFRelease(keep);
  EXPECT_EQ(ORBStringGetEmpty(), nullptr);
  EXPECT_FALSE(ORBStringIsValid(nullptr));
}

TEST(StringCreation, FromBytes) {
  EXPECT_EQ(take(ORBStringFromUTF8("\x8E", 1)), "\xC3\xA9");       // not UTF-8: read as MacRoman
  EXPECT_EQ(take(ORBStringFromUTF8("\xC3\xA9", 2)), "\xC3\xA9");   // valid UTF-8
  EXPECT_EQ(take(ORBStringFromUTF8("\xED\xA0\x80", 3)), "\xC3\x8C\xE2\x80\xA0\xC3\x84");  // surrogate bytes: MacRoman
  EXPECT_EQ(take(ORBStringFromCString("a\x8E" "b", 2)), "a\xC3\xA9");
  const unsigned char p[] = {3, 'P', 0x8A, 'x'};
  EXPECT_EQ(take(ORBStringFromPString(p)), "P\xC3\xA4x");
  const UniChar u[] = {0xD83D, 0xDCF7};
  EXPECT_EQ(take(ORBStringFromUTF16(u, 2)), "\xF0\x9F\x93\xB7");
  EXPECT_EQ(ORBStringFromUTF8(nullptr, 3), nullptr);
  EXPECT_EQ(ORBStringFromCString("abc", -1), nullptr);
  EXPECT_EQ(take(ORBStringFromUTF8("a\0b", 3)), std::string("a\0b", 3));
  EXPECT_EQ(take(ORBStringCreateWithFormat(CFSTR("%@-%li-%qu"), CFSTR("x"), -3L, 5ULL)), "x--3-5");
  EXPECT_EQ(ORBStringGetCopy(nullptr), nullptr);
}

TEST(StringCreation, TableLookup) {
  EXPECT_EQ(take(ORBStringGetFromTable(1001, 2)), "Second text");
  EXPECT_EQ(take(ORBStringGetFromTable(128, 3)), "STR#128:3");
}

TEST(StringAccess, BoundsAreChecked) {
  S s("h\xC3\xA9llo");
  EXPECT_EQ(ORBStringGetLength(s), 5);
  EXPECT_EQ(ORBStringGetLength(nullptr), 0);
  EXPECT_EQ(ORBStringGetUniChar(s, 1), 0xE9);
  EXPECT_EQ(ORBStringGetUniChar(s, 5), 0);
  EXPECT_EQ(ORBStringGetUniChar(s, -1), 0);
  EXPECT_EQ(ORBStringGetUniChar(nullptr, 0), 0);
  EXPECT_EQ(take(ORBStringCreateWithSubstring(s, 1, 3)), "\xC3\xA9ll");
  EXPECT_EQ(take(ORBStringCreateWithSubstring(s, 5, 0)), "");
  EXPECT_EQ(ORBStringCreateWithSubstring(s, 3, 3), nullptr);
  EXPECT_EQ(ORBStringCreateWithSubstring(s, -1, 2), nullptr);
  EXPECT_EQ(ORBStringCreateWithSubstring(s, 0, -1), nullptr);
  EXPECT_EQ(ORBStringCreateWithSubstring(s, 0x7FFFFFFF, 0x7FFFFFFF), nullptr);
  EXPECT_EQ(ORBStringCreateWithSubstring(nullptr, 0, 0), nullptr);
  EXPECT_EQ(ORBStringGetCLength("abc"), 3u);
  EXPECT_EQ(ORBStringGetCLength(nullptr), 0u);
  EXPECT_EQ(ORBStringCountCharAppearances(S("a/b/c"), '/'), 2);
  EXPECT_EQ(ORBStringCountCharAppearances(nullptr, '/'), 0);
}

TEST(StringAccess, NumbersFromText) {
  EXPECT_EQ(ORBStringGetIntValue(S("42abc")), 42);
  EXPECT_EQ(ORBStringGetIntValue(S("abc")), 0);
  EXPECT_EQ(ORBStringGetIntValue(S("")), 0);
  EXPECT_EQ(ORBStringGetIntValue(nullptr), 0);
  EXPECT_DOUBLE_EQ(ORBStringGetDoubleValue(S("48.1234567")), 48.1234567);
  EXPECT_DOUBLE_EQ(ORBStringGetDoubleValue(nullptr), 0.0);
}

TEST(StringCompare, NullsCaseAndDecomposition) {
  struct Case {
    CFStringRef a, b;
    UInt8 caseFlag;
    SInt32 expected;
  };
  S abc("abc"), ABC("ABC"), abd("abd"), pre("\xC3\xA9t\xC3\xA9"), dec("e\xCC\x81te\xCC\x81");
  const Case cases[] = {
      {nullptr, nullptr, 0, 0}, {nullptr, abc, 0, -1}, {abc, nullptr, 0, 1}, {abc, ABC, 0, 0},
      {abc, abd, 1, -1},        {abd, abc, 0, 1},      {pre, dec, 1, 0},     {pre, dec, 0, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ORBStringCompare(c.a, c.b, c.caseFlag), c.expected) << utf8(c.a) << " vs " << utf8(c.b);
  EXPECT_NE(ORBStringCompare(abc, ABC, 1), 0);
  EXPECT_EQ(ORBStringEqualsCString(ABC, "abc", 0), 1);
  EXPECT_EQ(ORBStringEqualsCString(ABC, "abc", 1), 0);
  EXPECT_EQ(ORBStringEqualsCString(S("\xC3\xA9"), "\x8E", 1), 1);  // the C string is MacRoman
}

TEST(StringSearch, PositionsPrefixesSuffixes) {
  EXPECT_EQ(ORBStringPosition(S("abcb"), S("b"), 2, 1), 3);
  EXPECT_EQ(ORBStringPosition(S("abc"), S("x"), 0, 1), -1);
  EXPECT_EQ(ORBStringPosition(nullptr, S("x"), 0, 1), -1);
  EXPECT_EQ(ORBStringPosition(S("abc"), nullptr, 0, 1), -1);
  EXPECT_EQ(ORBStringPosition(S("abc"), S("c"), 3, 1), -1);
  EXPECT_EQ(ORBStringPosition(S("abc"), S("c"), 9, 1), -1);
  EXPECT_EQ(ORBStringPosition(S("abc"), S("a"), -2, 1), -1);
  EXPECT_EQ(ORBStringPosition(S("xABC"), S("abc"), 0, 0), 1);
  EXPECT_EQ(ORBStringPosition(S("xABC"), S("abc"), 0, 1), -1);
  EXPECT_TRUE(ORBStringEndsWith(S("abab"), S("ab"), 1));
  EXPECT_FALSE(ORBStringEndsWith(S("abc"), S("ab"), 1));
  EXPECT_TRUE(ORBStringEndsWith(S("photo.JPG"), S(".jpg"), 0));
  EXPECT_FALSE(ORBStringEndsWith(S("photo.JPG"), S(".jpg"), 1));
  EXPECT_TRUE(ORBStringBeginsWith(S("abab"), S("ab"), 1));
  EXPECT_FALSE(ORBStringBeginsWith(S("cab"), S("ab"), 1));
  EXPECT_FALSE(ORBStringBeginsWith(nullptr, S("ab"), 1));
  EXPECT_FALSE(ORBStringEndsWith(S("ab"), nullptr, 1));
  EXPECT_TRUE(ORBStringBeginsWithCString(S("Velm"), "vel", 0));
  EXPECT_TRUE(ORBStringEndsWithCString(S("caf\xC3\xA9"), "caf\x8E", 1));
  EXPECT_TRUE(ORBStringContains(S("M\xC3\xBCnchen"), S("u\xCC\x88n"), 1));  // decomposed ü
  EXPECT_FALSE(ORBStringContains(S("abc"), S(""), 1));
}

TEST(StringAppend, MutableVariables) {
  CFMutableStringRef m = ORBStringCreateMutable();
  ORBStringAppendCString(&m, "caf\x8E");
  ORBStringAppendORBString(&m, S(" au lait"));
  ORBStringAppendORBString(&m, nullptr);
  ORBStringAppendNumber(&m, 42);
  EXPECT_EQ(utf8(m), "caf\xC3\xA9 au lait42");
  CFRelease(m);
  CFMutableStringRef none = nullptr;
  ORBStringAppendCString(&none, "x");
  ORBStringAppendNumber(&none, 1);
  EXPECT_EQ(none, nullptr);
}

TEST(StringBytes, Utf8AndMacRomanSizesMatchTheCopies) {
  struct Case {
    const char* text;
    std::string utf8Bytes;
    std::string macRomanBytes;
  } cases[] = {
      {"\xC3\xA9", "\xC3\xA9", "\x8E"},
      {"abc", "abc", "abc"},
      {"\xE6\x97\xA5", "\xE6\x97\xA5", "\xE6\x97\xA5"},  // MacRoman lacks it: UTF-8 instead
      {"", "", ""},
  };
  for (const auto& c : cases) {
    S s(c.text);
    ASSERT_EQ(ORBStringGetUTF8Size(s), c.utf8Bytes.size()) << c.text;
    std::string buf(c.utf8Bytes.size() + 4, '\x55');
    UInt32 count = 999;
    ORBStringCopyToUTF8(s, buf.data(), &count);
    EXPECT_EQ(count, c.utf8Bytes.size());
    EXPECT_EQ(buf.substr(0, count), c.utf8Bytes);
    EXPECT_EQ(buf[count], '\x55') << "wrote past the bytes (a terminator?)";
    ASSERT_EQ(ORBStringGetMacRomanSize(s), c.macRomanBytes.size());
    ORBStringCopyToMacRoman(s, buf.data(), &count);
    EXPECT_EQ(buf.substr(0, count), c.macRomanBytes);
  }
  // Null, a lone surrogate and an embedded NUL.
  UInt32 count = 7;
  EXPECT_EQ(ORBStringGetUTF8Size(nullptr), 0u);
  ORBStringCopyToUTF8(nullptr, nullptr, &count);
  EXPECT_EQ(count, 0u);
  const UniChar lone[] = {'a', 0xDC00};
  S bad(ORBStringFromUTF16(lone, 2));
  EXPECT_EQ(ORBStringGetUTF8Size(bad), 0u);
  EXPECT_EQ(ORBStringGetMacRomanSize(bad), 0u);
  S withNul(ORBStringFromUTF8("ab\0cd", 5));
  EXPECT_EQ(ORBStringGetUTF8Size(withNul), 2u);
}

TEST(StringBytes, PascalStrings) {
  Str255 p;
  EXPECT_TRUE(ORBStringCopyToPString(S("caf\xC3\xA9"), p));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p + 1), p[0]), "caf\x8E");
  std::string longText(300, 'x');
  EXPECT_FALSE(ORBStringCopyToPString(S(longText.c_str()), p));
  EXPECT_EQ(p[0], 0);
  std::string exact(255, 'y');
  EXPECT_TRUE(ORBStringCopyToPString(S(exact.c_str()), p));
  EXPECT_EQ(p[0], 255);
  EXPECT_FALSE(ORBStringCopyToPString(S("\xE6\x97\xA5"), p));
  EXPECT_FALSE(ORBStringCopyToPString(nullptr, p));
}

TEST(StringNames, ExtensionsAndReplacement) {
  struct Case {
    const char* name;
    const char* extension;
    const char* stripped;
  } cases[] = {
      {"photo.jpg", "jpg", "photo"},       {"archive.tar.gz", "gz", "archive.tar"},
      {".profile", "<null>", ".profile"},  {"a.", "", "a"},
      {"a", "<null>", "a"},                {"", "<null>", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(take(ORBStringGetExtension(S(c.name))), c.extension) << c.name;
    EXPECT_EQ(take(ORBStringStripExtension(S(c.name))), c.stripped) << c.name;
  }
  EXPECT_EQ(ORBStringGetExtension(nullptr), nullptr);
  EXPECT_EQ(ORBStringStripExtension(nullptr), nullptr);
  // Without an extension the result is a mutable copy.
  CFStringRef copy = ORBStringStripExtension(S(".profile"));
  CFStringAppend(const_cast<CFMutableStringRef>(copy), CFSTR("!"));
  EXPECT_EQ(take(copy), ".profile!");

  EXPECT_EQ(take(ORBStringReplaceCharacter(S("a/b/c"), '/', ':')), "a:b:c");
  EXPECT_EQ(take(ORBStringReplaceCharacter(S("caf\xC3\xA9"), 0xE9, 'e')), "caf\xC3\xA9");
  EXPECT_EQ(ORBStringReplaceCharacter(S(""), '/', ':'), nullptr);
  EXPECT_EQ(ORBStringReplaceCharacter(nullptr, '/', ':'), nullptr);
}

TEST(StringFormatting, NumbersSizesDurations) {
  EXPECT_EQ(take(ORBMakeNumberString(18446744073709551615ULL)), "18446744073709551615");
  const std::pair<UInt32, const char*> padded[] = {{0, "00"}, {9, "09"}, {10, "10"}, {123, "123"}, {0xFFFFFFFF, "-1"}};
  for (auto [v, text] : padded) EXPECT_EQ(take(ORBStringMakePaddedNumberString(v)), text) << v;
  const std::pair<UInt64, const char*> sizes[] = {
      {0, "0 K"},         {1, "1 K"},          {1023, "1 K"},          {2047, "1 K"},
      {2048, "2 K"},      {1048576, "1024 K"}, {1049600, "1 M"},       {1073741824, "1024 M"},
      {1073742848, "1 G"}, {1099511627776ULL, "1024 G"}, {1099511628800ULL, "1 T"}, {~0ULL, "16777215 T"},
  };
  for (auto [v, text] : sizes) EXPECT_EQ(take(makeSmallSizeString(v)), text) << v;
  const std::pair<UInt32, const char*> durations[] = {{0, "0:00"},       {59, "0:59"},       {61, "1:01"},
                                                      {3600, "60:00"},   {3601, "1:00:01"},  {7322, "2:02:02"},
                                                      {86399, "23:59:59"}, {360000, "100:00:00"}};
  for (auto [v, text] : durations) EXPECT_EQ(take(ORBStringMakeDurationString(v)), text) << v;
  EXPECT_EQ(take(ORBStringMakeOSTypeString(0x54584554)), "TEXT");  // the bytes in memory order
}

TEST(StringFormatting, LocaleDependentTexts) {
  setenv("TZ", "UTC", 1);
  tzset();
  // 5 December 2008, 12:00, in classic seconds since 1904.
  const UInt32 classic = 3061152000U + 250171200U;
  EXPECT_EQ(take(ORBStringMakeDateTimeString(classic, 1, 0)), "5 December");
  std::string full = take(ORBStringMakeDateTimeString(classic, 0, 1));
  EXPECT_NE(full.find("2008"), std::string::npos) << full;
  std::string withTime = take(ORBStringMakeDateTimeString(classic, 1, 1));
  EXPECT_NE(withTime.find("12:00"), std::string::npos) << withTime;
  EXPECT_EQ(take(ORBMakeNumberStringWithSeparators(-1234567)), "-1,234,567");
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(take(ORBStringMakeDateTimeString(classic, 0, 0)), "5 Dezember");
  EXPECT_EQ(take(ORBMakeNumberStringWithSeparators(1234567)), "1.234.567");
  setenv("LANG", "en_US.UTF-8", 1);
  unsetenv("TZ");
  tzset();
}

TEST(StringFormatting, UUIDText) {
  std::string a = take(ORBGetUUIDString());
  std::string b = take(ORBGetUUIDString());
  EXPECT_EQ(a.size(), 36u);
  EXPECT_NE(a, b);
}

TEST(XmlFields, FirstAndNthElement) {
  S two("<a>1</a><a>2</a>");
  EXPECT_EQ(take(ORBStringSimpleXMLParserFindData(two, S("a"))), "1");
  EXPECT_EQ(take(ORBStringSimpleXMLParserFindNthData(two, S("a"), 2)), "2");
  EXPECT_EQ(ORBStringSimpleXMLParserFindNthData(two, S("a"), 3), nullptr);
  EXPECT_EQ(ORBStringSimpleXMLParserFindNthData(two, S("a"), 0), nullptr);
  EXPECT_EQ(ORBStringSimpleXMLParserFindData(S("<a>open"), S("a")), nullptr);
  EXPECT_EQ(ORBStringSimpleXMLParserFindData(S("<URL>x</URL>"), S("url")), nullptr);
  EXPECT_EQ(take(ORBStringSimpleXMLParserFindData(S("<a></a>"), S("a"))), "");
  EXPECT_EQ(take(ORBStringSimpleXMLParserFindData(S("<t>a &amp; b</t>"), S("t"))), "a &amp; b");
  EXPECT_EQ(take(ORBStringSimpleXMLParserFindData(S("<a>x<a>y</a>z</a>"), S("a"))), "x<a>y");
  EXPECT_EQ(ORBStringSimpleXMLParserFindData(S("<a id=\"1\">x</a><a/>"), S("a")), nullptr);
  EXPECT_EQ(ORBStringSimpleXMLParserFindData(nullptr, S("a")), nullptr);
  EXPECT_EQ(ORBStringSimpleXMLParserFindData(S("<a>x</a>"), nullptr), nullptr);
  // A closing tag before the opening one does not count.
  EXPECT_EQ(take(ORBStringSimpleXMLParserFindData(S("</a><a>ok</a>"), S("a"))), "ok");
  EXPECT_EQ(take(ORBStringSimpleXMLParserFindData(S("<rsp><url>http://x/p 1</url></rsp>"), S("url"))), "http://x/p 1");
}

TEST(UrlEscaping, Tables) {
  const std::pair<const char*, const char*> escapes[] = {
      {"a b&c", "a%20b%26c"},        {"100%", "100%25"},       {"a/b?c=d", "a%2Fb%3Fc%3Dd"},
      {"\xC3\xBC", "%C3%BC"},        {"A-Z_a.z~*'()", "A-Z_a.z~*'()"},
      {"$&+;:=?@/,", "%24%26%2B%3B%3A%3D%3F%40%2F%2C"},
      {"\"#<>[]{}\\^`|\t", "%22%23%3C%3E%5B%5D%7B%7D%5C%5E%60%7C%09"},
      {"", ""},                       {"\xF0\x9F\x93\xB7", "%F0%9F%93%B7"},
  };
  for (auto [in, out] : escapes) EXPECT_EQ(take(ORBStringConvertToURL(S(in))), out) << in;
  const std::pair<const char*, const char*> unescapes[] = {
      {"a%20b", "a b"}, {"%c3%bc", "\xC3\xBC"}, {"a+b", "a+b"}, {"%FF", "<null>"}, {"100%", "100%"}, {"%4", "%4"},
  };
  for (auto [in, out] : unescapes) EXPECT_EQ(take(ORBStringConvertFromURL(S(in))), out) << in;
  EXPECT_EQ(ORBStringConvertToURL(nullptr), nullptr);
  EXPECT_EQ(ORBStringConvertFromURL(nullptr), nullptr);
  const UniChar lone[] = {'a', 0xD800};
  S bad(ORBStringFromUTF16(lone, 2));
  EXPECT_EQ(ORBStringConvertToURL(bad), nullptr);
  S nul(ORBStringFromUTF8("a\0b", 3));
  EXPECT_EQ(take(ORBStringConvertToURL(nul)), "a%00b");
}

// Random strings against Python's urllib.parse.quote with the same safe set.
TEST(UrlEscaping, AgreesWithAnIndependentImplementation) {
  std::mt19937 rng(20261209);
  const char32_t pool[] = {U'a', U'Z', U'0', U'-', U'_', U'.', U'!', U'~', U'*', U'\'', U'(', U')', U' ', U'%',
                           U'&', U'+', U'/', U'?', U'=', U'#', U'"', U'\n', U'\0', U'\x7f', U'\xe9', U'\xfc',
                           U'\u65e5', U'\u0301', U'\uffff', U'\U0001F4F7', U'\U0010FFFF'};
  std::vector<std::u16string> samples;
  for (int i = 0; i < 3000; ++i) {
    std::u16string s;
    int n = static_cast<int>(rng() % 24);
    for (int k = 0; k < n; ++k) {
      char32_t c = (rng() % 3 == 0) ? static_cast<char32_t>(rng() % 0x80) : pool[rng() % std::size(pool)];
      if (rng() % 7 == 0) c = static_cast<char32_t>(0xA0 + rng() % 0xD700);  // below the surrogates
      if (c >= 0x10000) {
        c -= 0x10000;
        s.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        s.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
      } else {
        s.push_back(static_cast<char16_t>(c));
      }
    }
    samples.push_back(s);
  }
  // Hand the strings over as hex of their UTF-8 bytes, one per line.
  std::ostringstream hexLines;
  std::vector<std::string> ours;
  for (const auto& s : samples) {
    S str(ORBStringFromUTF16(reinterpret_cast<const UniChar*>(s.data()), static_cast<SInt32>(s.size())));
    std::string bytes = utf8(str);
    for (unsigned char c : bytes) hexLines << "0123456789abcdef"[c >> 4] << "0123456789abcdef"[c & 15];
    hexLines << "\n";
    ours.push_back(take(ORBStringConvertToURL(str)));
  }
  fs::path dir = velmtest::makeTempDir("quote");
  velmtest::writeFile(dir / "in.txt", hexLines.str());
  velmtest::writeFile(dir / "quote.py",
                      "import sys, urllib.parse\n"
                      "for line in open(sys.argv[1]):\n"
                      "    print(urllib.parse.quote(bytes.fromhex(line.strip()), safe=\"-_.!~*'()\"))\n");
  int status = -1;
  std::string out = velmtest::runCommand("python3 " + (dir / "quote.py").string() + " " + (dir / "in.txt").string(), &status);
  ASSERT_EQ(status, 0);
  std::istringstream lines(out);
  std::string line;
  size_t i = 0;
  for (; std::getline(lines, line); ++i) {
    ASSERT_LT(i, ours.size());
    ASSERT_EQ(ours[i], line) << "sample " << i;
  }
  EXPECT_EQ(i, ours.size());
}

TEST(BadInput, VeryLongAndEmptyStrings) {
  std::string big(1 << 20, 'a');
  big[1000] = '/';
  S s(big.c_str());
  EXPECT_EQ(ORBStringGetUTF8Size(s), big.size());
  EXPECT_EQ(ORBStringPosition(s, S("/"), 0, 1), 1000);
  std::string escaped = take(ORBStringConvertToURL(s));
  EXPECT_EQ(escaped.size(), big.size() + 2);
  S empty("");
  EXPECT_EQ(ORBStringGetUTF8Size(empty), 0u);
  EXPECT_EQ(ORBStringPosition(empty, S("a"), 0, 0), -1);
  EXPECT_EQ(take(ORBStringConvertToURL(empty)), "");
}

}  // namespace

// ---- Writing text files ------------------------------------------------------------------------

namespace {

TEST(WriteToFile, ReplacesTheWholeTextAndRefusesUnknownEncodings) {
  fs::path dir = velmtest::makeTempDir("write");
  CFRef<CFStringRef> path(CFStringCreateWithCString(nullptr, (dir / "notes.txt").c_str(), kCFStringEncodingUTF8));
  CFRef<CFStringRef> text(CFStringCreateWithCString(nullptr, "caf\xC3\xA9 text", kCFStringEncodingUTF8));

  // A new file, then a longer file that keeps none of its old bytes behind the new text.
  EXPECT_EQ(noErr, ORBStringWriteToFile(text.get(), path.get(), 12));
  EXPECT_EQ("caf\xC3\xA9 text", velmtest::readFile(dir / "notes.txt"));
  velmtest::writeFile(dir / "notes.txt", std::string(100, 'x'));
  EXPECT_EQ(noErr, ORBStringWriteToFile(text.get(), path.get(), 12));
  EXPECT_EQ("caf\xC3\xA9 text", velmtest::readFile(dir / "notes.txt"));
  EXPECT_EQ(noErr, ORBStringWriteToFile(nullptr, path.get(), 12));
  EXPECT_EQ("", velmtest::readFile(dir / "notes.txt"));

  // Any other encoding writes nothing and says so; the file stays as it was.
  velmtest::writeFile(dir / "notes.txt", "before");
  for (SInt16 code : {0, 1, 11, 13, -1}) {
    EXPECT_EQ(paramErr, ORBStringWriteToFile(text.get(), path.get(), code)) << code;
    EXPECT_EQ("before", velmtest::readFile(dir / "notes.txt")) << code;
  }
  CFRef<CFStringRef> nowhere(CFStringCreateWithCString(nullptr, (dir / "no" / "file").c_str(), kCFStringEncodingUTF8));
  EXPECT_EQ(fnfErr, ORBStringWriteToFile(text.get(), nowhere.get(), 12));
}

}  // namespace
