// CoreFoundation value types and containers: ownership, conversions, property lists.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "CoreFoundation.h"
#include "TestSupport.h"

namespace {

CFRef<CFStringRef> str(const char* s) { return CFRef<CFStringRef>(CFStringCreateWithCString(nullptr, s, kCFStringEncodingUTF8)); }

TEST(CFRefHolder, RetainsOnCopyAndReleasesOnce) {
  CFRef<CFStringRef> a = str("x");
  EXPECT_EQ(CFGetRetainCount(a.get()), 1);
  {
    CFRef<CFStringRef> b = a;
    EXPECT_EQ(CFGetRetainCount(a.get()), 2);
    CFRef<CFStringRef> c = std::move(b);
    EXPECT_EQ(CFGetRetainCount(a.get()), 2);
    EXPECT_FALSE(b);
  }
  EXPECT_EQ(CFGetRetainCount(a.get()), 1);
  auto borrowed = CFRef<CFStringRef>::retain(a.get());
  EXPECT_EQ(CFGetRetainCount(a.get()), 2);
  CFStringRef raw = borrowed.release();
  CFRelease(raw);
  a = a;  // self-assignment keeps the reference
  EXPECT_EQ(CFGetRetainCount(a.get()), 1);
}

TEST(CFRefHolder, RetainAndReleaseAreThreadSafe) {
  CFRef<CFStringRef> s = str("shared");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) CFRef<CFStringRef> copy = s;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(CFGetRetainCount(s.get()), 1);
}

TEST(CFTypes, ConstantStringsAreSharedAndImmortal) {
  CFStringRef a = CFSTR("constant");
  EXPECT_EQ(a, CFSTR("constant"));
  CFRelease(a);
  CFRelease(a);
  EXPECT_EQ(CFStringGetLength(CFSTR("constant")), 8);
  EXPECT_EQ(CFGetTypeID(a), CFStringGetTypeID());
  EXPECT_NE(CFGetTypeID(kCFBooleanTrue), CFGetTypeID(a));
}

TEST(CFNumberConversions, ExactAndLossy) {
  SInt32 minusOne = -1;
  CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberSInt32Type, &minusOne));
  UInt32 asUnsigned = 0;
  SInt64 wide = 0;
  EXPECT_TRUE(CFNumberGetValue(n.get(), kCFNumberSInt64Type, &wide));
  EXPECT_EQ(wide, -1);
  SInt32 back = 0;
  EXPECT_TRUE(CFNumberGetValue(n.get(), kCFNumberSInt32Type, &back));
  memcpy(&asUnsigned, &back, 4);
  EXPECT_EQ(asUnsigned, 4294967295U);

  double d = 7.5;
  CFRef<CFNumberRef> real(CFNumberCreate(nullptr, kCFNumberDoubleType, &d));
  SInt32 truncated = 0;
  EXPECT_FALSE(CFNumberGetValue(real.get(), kCFNumberSInt32Type, &truncated));
  EXPECT_EQ(truncated, 7);
  double big = 1e12;
  CFRef<CFNumberRef> huge(CFNumberCreate(nullptr, kCFNumberDoubleType, &big));
  EXPECT_FALSE(CFNumberGetValue(huge.get(), kCFNumberSInt32Type, &truncated));
  EXPECT_EQ(truncated, INT32_MAX);
  SInt32 seven = 7;
  CFRef<CFNumberRef> i7(CFNumberCreate(nullptr, kCFNumberSInt32Type, &seven));
  double asDouble = 0;
  EXPECT_TRUE(CFNumberGetValue(i7.get(), kCFNumberDoubleType, &asDouble));
  EXPECT_EQ(asDouble, 7.0);
  double seven0 = 7.0;
  CFRef<CFNumberRef> r7(CFNumberCreate(nullptr, kCFNumberDoubleType, &seven0));
  EXPECT_TRUE(CFEqual(i7.get(), r7.get()));
  EXPECT_EQ(CFHash(i7.get()), CFHash(r7.get()));
}

TEST(CFContainers, ArraysAndDictionariesOwnTheirValues) {
  CFRef<CFMutableArrayRef> a(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
  CFRef<CFMutableDictionaryRef> d(
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  {
    auto v = str("value");
    CFArrayAppendValue(a.get(), v.get());
    auto k = str("key");
    CFDictionarySetValue(d.get(), k.get(), v.get());
  }
  ASSERT_EQ(CFArrayGetCount(a.get()), 1);
  EXPECT_EQ(CFGetRetainCount(CFArrayGetValueAtIndex(a.get(), 0)), 2);
  // Lookup by an equal key, not the same object.
  auto key = str("key");
  auto got = static_cast<CFStringRef>(CFDictionaryGetValue(d.get(), key.get()));
  ASSERT_NE(got, nullptr);
  EXPECT_TRUE(CFEqual(got, CFSTR("value")));
  auto replacement = str("other");
  CFDictionarySetValue(d.get(), key.get(), replacement.get());
  EXPECT_EQ(CFDictionaryGetCount(d.get()), 1);
  CFDictionaryAddValue(d.get(), key.get(), CFSTR("ignored"));
  EXPECT_TRUE(CFEqual(CFDictionaryGetValue(d.get(), key.get()), CFSTR("other")));
  CFDictionaryRemoveValue(d.get(), key.get());
  EXPECT_EQ(CFDictionaryGetValue(d.get(), key.get()), nullptr);
  EXPECT_EQ(CFArrayGetValueAtIndex(a.get(), 5), nullptr);
  CFArrayRemoveValueAtIndex(a.get(), 0);
  EXPECT_EQ(CFArrayGetCount(a.get()), 0);
}

TEST(CFContainers, JoinAndSplitStrings) {
  CFRef<CFArrayRef> parts(CFStringCreateArrayBySeparatingStrings(nullptr, CFSTR("sea,sun,,x"), CFSTR(",")));
  ASSERT_EQ(CFArrayGetCount(parts.get()), 4);
  CFRef<CFStringRef> joined(CFStringCreateByCombiningStrings(nullptr, parts.get(), CFSTR(",")));
  EXPECT_TRUE(CFEqual(joined.get(), CFSTR("sea,sun,,x")));
}

TEST(CFDataBytes, MutableDataEdits) {
  CFRef<CFMutableDataRef> d(CFDataCreateMutable(nullptr, 0));
  CFDataAppendBytes(d.get(), reinterpret_cast<const UInt8*>("hello"), 5);
  CFDataReplaceBytes(d.get(), CFRangeMake(1, 3), reinterpret_cast<const UInt8*>("ipp"), 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(d.get())), 5), "hippo");
  CFDataReplaceBytes(d.get(), CFRangeMake(4, 5), nullptr, 0);  // out of range: nothing happens
  EXPECT_EQ(CFDataGetLength(d.get()), 5);
  CFDataSetLength(d.get(), 2);
  EXPECT_EQ(CFDataGetLength(d.get()), 2);
}

TEST(CFPropertyLists, RoundTripEveryKind) {
  CFRef<CFMutableDictionaryRef> d(
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  SInt32 minusOne = -1;
  double pi = 3.25;
  CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberSInt32Type, &minusOne));
  CFRef<CFNumberRef> r(CFNumberCreate(nullptr, kCFNumberDoubleType, &pi));
  CFRef<CFDateRef> date(CFDateCreate(nullptr, 250171200.0));
  CFRef<CFDataRef> data(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("\0\1\2"), 3));
  const void* items[] = {CFSTR("x"), kCFBooleanTrue};
  CFRef<CFArrayRef> arr(CFArrayCreate(nullptr, items, 2, &kCFTypeArrayCallBacks));
  CFDictionarySetValue(d.get(), CFSTR("name"), CFSTR("Gr\xC3\xBC\xC3\x9F <&>"));
  CFDictionarySetValue(d.get(), CFSTR("minus"), n.get());
  CFDictionarySetValue(d.get(), CFSTR("real"), r.get());
  CFDictionarySetValue(d.get(), CFSTR("date"), date.get());
  CFDictionarySetValue(d.get(), CFSTR("data"), data.get());
  CFDictionarySetValue(d.get(), CFSTR("array"), arr.get());
  for (CFPropertyListFormat format : {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
    CFRef<CFDataRef> bytes(CFPropertyListCreateData(nullptr, d.get(), format, 0, nullptr));
    ASSERT_TRUE(bytes);
    CFPropertyListFormat seen = 0;
    CFRef<CFPropertyListRef> back(CFPropertyListCreateWithData(nullptr, bytes.get(), 0, &seen, nullptr));
    EXPECT_EQ(seen, format);
    EXPECT_TRUE(CFEqual(back.get(), d.get())) << "format " << format;
  }
  CFRef<CFDataRef> junk(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("not a plist"), 11));
  EXPECT_EQ(CFPropertyListCreateWithData(nullptr, junk.get(), 0, nullptr, nullptr), nullptr);
}

template <size_t N>
std::string withNul(const char (&text)[N]) {
  return std::string(text, N - 1);
}

CFRef<CFDataRef> bytesOf(const std::string& s) {
  return CFRef<CFDataRef>(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(s.data()), static_cast<CFIndex>(s.size())));
}

// A binary property list of the Python literal, written by Python's own plistlib.
std::string binaryPlist(const std::string& literal) {
  int status = -1;
  std::string out = velmtest::runCommand(
      "python3 -c 'import plistlib,sys; sys.stdout.buffer.write(plistlib.dumps(eval(sys.argv[1]), "
      "fmt=plistlib.FMT_BINARY))' \"" + literal + "\"", &status);
  EXPECT_EQ(status, 0) << literal;
  return out;
}

TEST(CFPropertyLists, TextHoldingNulIsTheFilesFault) {
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"XML string", head + withNul("<dict><key>k</key><string>x\0y</string></dict></plist>")},
      {"XML string in an array",
       head + withNul("<dict><key>k</key><array><string>ok</string><string>\0</string></array></dict></plist>")},
      {"XML string at the top", head + withNul("<string>a\0</string></plist>")},
      {"binary ASCII string", binaryPlist("{'k': 'x\\x00y'}")},
      {"binary UTF-16 string", binaryPlist("{'k': 'x\\x00y\\u00e9'}")},
      {"binary UTF-16 key", binaryPlist("{'k\\x00\\u00e9': 'v'}")},
      {"binary ASCII key", binaryPlist("{'k\\x00': 'v'}")},
  };
  for (const auto& c : cases) {
    ASSERT_FALSE(c.bytes.empty()) << c.what;
    EXPECT_EQ(CFPropertyListCreateWithData(nullptr, bytesOf(c.bytes).get(), 0, nullptr, nullptr), nullptr) << c.what;
  }
  // The same lists without the NUL read as usual.
  for (const char* xml : {"<dict><key>k</key><string>xy</string></dict></plist>", "<string>a</string></plist>"})
    EXPECT_TRUE(CFRef<CFPropertyListRef>(
        CFPropertyListCreateWithData(nullptr, bytesOf(head + xml).get(), 0, nullptr, nullptr)))
        << xml;
  CFRef<CFPropertyListRef> fine(
      CFPropertyListCreateWithData(nullptr, bytesOf(binaryPlist("{'k\\u00e9': 'x y\\u00e9'}")).get(), 0, nullptr, nullptr));
  ASSERT_TRUE(fine);
  CFRef<CFStringRef> key(CFStringCreateWithCString(nullptr, "k\xC3\xA9", kCFStringEncodingUTF8));
  CFRef<CFStringRef> value(CFStringCreateWithCString(nullptr, "x y\xC3\xA9", kCFStringEncodingUTF8));
  EXPECT_TRUE(CFEqual(CFDictionaryGetValue(static_cast<CFDictionaryRef>(fine.get()), key.get()), value.get()));
}

TEST(CFUUIDs, FreshAndWellFormed) {
  CFRef<CFUUIDRef> a(CFUUIDCreate(nullptr)), b(CFUUIDCreate(nullptr));
  CFRef<CFStringRef> ta(CFUUIDCreateString(nullptr, a.get())), tb(CFUUIDCreateString(nullptr, b.get()));
  EXPECT_FALSE(CFEqual(ta.get(), tb.get()));
  ASSERT_EQ(CFStringGetLength(ta.get()), 36);
  for (CFIndex i = 0; i < 36; ++i) {
    UniChar c = CFStringGetCharacterAtIndex(ta.get(), i);
    if (i == 8 || i == 13 || i == 18 || i == 23)
      EXPECT_EQ(c, '-');
    else
      EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << "unit " << i;
  }
  EXPECT_EQ(CFStringGetCharacterAtIndex(ta.get(), 14), '4');  // version 4
}

}  // namespace
