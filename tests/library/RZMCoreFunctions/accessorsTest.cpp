// Typed reads out of property dictionaries, and the host application's numbered texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "RZMCoreFunctions.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

class MainBundle : public ::testing::Environment {
 public:
  void SetUp() override {
    fs::path dir = velmtest::sandboxDir() / "main-bundle";
    fs::create_directories(dir / "en.lproj");
    velmtest::writeFile(dir / "en.lproj/Localizable.strings",
                        "\"1\" = \"%c %.0f %.0f %.1f\";\n\"-3\" = \"minus three\";\n\"32767\" = \"last\";\n");
    setenv("CF_MAIN_BUNDLE_PATH", dir.c_str(), 1);
    setenv("LANG", "en_US.UTF-8", 1);
  }
};
const auto* const kMainBundle = ::testing::AddGlobalTestEnvironment(new MainBundle);

template <typename T>
CFRef<CFNumberRef> num(CFNumberType type, T value) {
  return CFRef<CFNumberRef>(CFNumberCreate(nullptr, type, &value));
}

class Accessors : public ::testing::Test {
 protected:
  void SetUp() override {
    dict.reset(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(dict.get(), CFSTR("seven"), num(kCFNumberIntType, 7).get());
    CFDictionarySetValue(dict.get(), CFSTR("half"), num(kCFNumberDoubleType, 2.5).get());
    CFDictionarySetValue(dict.get(), CFSTR("minus"), num(kCFNumberSInt32Type, -1).get());
    CFDictionarySetValue(dict.get(), CFSTR("big"), num(kCFNumberSInt64Type, 4294967297LL).get());
    CFDictionarySetValue(dict.get(), CFSTR("text"), CFSTR("42"));
    CFDictionarySetValue(dict.get(), CFSTR("flag"), kCFBooleanTrue);
    CFDictionarySetValue(dict.get(), CFSTR("inner"), dict2());
  }
  CFDictionaryRef dict2() {
    inner.reset(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                   &kCFTypeDictionaryValueCallBacks));
    return inner.get();
  }
  CFRef<CFMutableDictionaryRef> dict;
  CFRef<CFDictionaryRef> inner;
};

TEST_F(Accessors, NumbersOfTheRightTypeElseTheFallback) {
  struct Case {
    const char* key;
    double asDouble;
    UInt32 asUInt32;
  } cases[] = {
      {"seven", 7.0, 7},         {"half", 2.5, 2},           {"minus", -1.0, 4294967295u},
      {"big", 4294967297.0, 1},  {"text", 0.0, 0},           {"flag", 0.0, 0},
      {"inner", 0.0, 0},         {"absent", 0.0, 0},
  };
  for (const Case& c : cases) {
    CFRef<CFStringRef> key(CFStringCreateWithCString(nullptr, c.key, kCFStringEncodingUTF8));
    EXPECT_EQ(convGetDouble(dict.get(), key.get()), c.asDouble) << c.key;
    EXPECT_EQ(convGetUInt32(dict.get(), key.get()), c.asUInt32) << c.key;
  }
}

TEST_F(Accessors, TextsAreBorrowedAndOnlyTexts) {
  CFIndex before = CFGetRetainCount(CFDictionaryGetValue(dict.get(), CFSTR("text")));
  CFStringRef s = convGetORBStringRef(dict.get(), CFSTR("text"));
  EXPECT_TRUE(CFEqual(s, CFSTR("42")));
  EXPECT_EQ(CFGetRetainCount(s), before);
  EXPECT_EQ(convGetORBStringRef(dict.get(), CFSTR("seven")), nullptr);
  EXPECT_EQ(convGetORBStringRef(dict.get(), CFSTR("absent")), nullptr);
}

TEST_F(Accessors, NoDictionaryGivesTheFallback) {
  CFTypeRef notADictionary = CFSTR("seven");
  for (CFDictionaryRef d : {static_cast<CFDictionaryRef>(nullptr), static_cast<CFDictionaryRef>(notADictionary)}) {
    EXPECT_EQ(convGetDouble(d, CFSTR("seven")), 0.0);
    EXPECT_EQ(convGetUInt32(d, CFSTR("seven")), 0u);
    EXPECT_EQ(convGetORBStringRef(d, CFSTR("seven")), nullptr);
  }
  EXPECT_EQ(convGetDouble(dict.get(), nullptr), 0.0);
}

TEST(NumberedTexts, EntryOfTheMainBundleOrItsKey) {
  struct Case {
    SInt16 index;
    const char* text;
  } cases[] = {{1, "%c %.0f %.0f %.1f"}, {-3, "minus three"}, {32767, "last"}, {2, "2"}, {0, "0"}};
  for (const Case& c : cases) {
    CFRef<CFStringRef> s(iuGetIndRZMCFString(c.index));
    CFRef<CFStringRef> want(CFStringCreateWithCString(nullptr, c.text, kCFStringEncodingUTF8));
    EXPECT_TRUE(CFEqual(s.get(), want.get())) << c.index;
  }
}

}  // namespace
