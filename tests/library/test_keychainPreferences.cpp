// The keychain, preference and numbered-text functions of RZMCoreFunctions.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "../platform/security/SecretServiceSession.h"
#include "CFRef.h"
#include "CFTestSupport.h"
#include "RZMCoreFunctions.h"
#include "Security.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using velmtest::runCommand;
using velmtest::utf8;

namespace {

CFStringRef text(const std::string& s) { return CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8); }

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// ---- Keychain, on both stores.

class KeychainFunctions : public testing::TestWithParam<SecKeychainStoreKind> {
 protected:
  void SetUp() override {
    if (GetParam() == kSecKeychainStoreSecretService) {
      ASSERT_TRUE(velmtest::sharedSecretService().running());
      runCommand("secret-tool clear service 'Orbandel velm Password'");
    } else {
      fs::remove_all(fs::path(getenv("XDG_DATA_HOME")) / "keychains");
    }
    SecKeychainSetStoreKind(GetParam());
  }
  void TearDown() override { SecKeychainSetStoreKind(kSecKeychainStoreAutomatic); }

  // How many items the store holds for the service and account, counted by an independent reader.
  int countItems(const std::string& service, const std::string& account) {
    if (GetParam() == kSecKeychainStoreSecretService) {
      std::string out = runCommand("secret-tool search --all service " + shellQuote(service) + " account " +
                                   shellQuote(account) + " 2>/dev/null | grep -c '^\\[/'");
      return std::stoi(out);
    }
    fs::path file = fs::path(getenv("XDG_DATA_HOME")) / "keychains/generic-passwords.plist";
    std::string out = runCommand(
        "python3 -c 'import plistlib,sys; items=plistlib.load(open(sys.argv[1],\"rb\")); "
        "print(sum(1 for i in items if i[\"service\"]==sys.argv[2].encode() and i[\"account\"]==sys.argv[3].encode()))' " +
        shellQuote(file.string()) + " " + shellQuote(service) + " " + shellQuote(account));
    return std::stoi(out);
  }
};

const CFStringRef kService = CFSTR("Orbandel velm Password");

TEST_P(KeychainFunctions, StoringAgainReplacesTheItem) {
  CFRef<CFStringRef> account(text("anna"));
  ASSERT_EQ(securityStorePassword(kService, account.get(), CFSTR("first")), 0);
  ASSERT_EQ(securityStorePassword(kService, account.get(), CFSTR("sécond")), 0);
  EXPECT_EQ(countItems("Orbandel velm Password", "anna"), 1);
  CFRef<CFStringRef> loaded(securityLoadPassword(kService, account.get()));
  EXPECT_EQ(utf8(loaded.get()), "sécond");
}

TEST_P(KeychainFunctions, MissingItemGivesEmptyText) {
  CFRef<CFStringRef> loaded(securityLoadPassword(kService, CFSTR("nobody")));
  ASSERT_NE(loaded.get(), nullptr);
  EXPECT_EQ(CFStringGetLength(loaded.get()), 0);
  CFRef<CFStringRef> none(securityLoadPassword(kService, nullptr));
  ASSERT_NE(none.get(), nullptr);
  EXPECT_EQ(CFStringGetLength(none.get()), 0);
}

TEST_P(KeychainFunctions, TextsOver128BytesAreRefusedWhole) {
  const std::string fits = repeat("é", 64);         // 128 bytes
  const std::string tooLong = repeat("€", 43);      // 129 bytes
  CFRef<CFStringRef> fitting(text(fits)), overlong(text(tooLong));

  ASSERT_EQ(securityStorePassword(kService, fitting.get(), fitting.get()), 0);
  CFRef<CFStringRef> back(securityLoadPassword(kService, fitting.get()));
  EXPECT_EQ(utf8(back.get()), fits);

  EXPECT_EQ(securityStorePassword(kService, CFSTR("anna"), overlong.get()), errSecParam);
  EXPECT_EQ(securityStorePassword(kService, overlong.get(), CFSTR("pw")), errSecParam);
  EXPECT_EQ(securityStorePassword(overlong.get(), CFSTR("anna"), CFSTR("pw")), errSecParam);
  EXPECT_EQ(countItems("Orbandel velm Password", "anna"), 0);
  CFRef<CFStringRef> none(securityLoadPassword(kService, overlong.get()));
  EXPECT_EQ(utf8(none.get()), "");

  // A text that has no UTF-8 form (a lone surrogate) is refused too, not stored as empty.
  const UniChar lone[] = {'p', 0xD800, 'w'};
  CFRef<CFStringRef> broken(CFStringCreateWithCharacters(nullptr, lone, 3));
  EXPECT_EQ(securityStorePassword(kService, CFSTR("anna"), broken.get()), errSecParam);
  EXPECT_EQ(countItems("Orbandel velm Password", "anna"), 0);
}

INSTANTIATE_TEST_SUITE_P(Stores, KeychainFunctions,
                         testing::Values(kSecKeychainStoreFile, kSecKeychainStoreSecretService),
                         [](const testing::TestParamInfo<SecKeychainStoreKind>& info) {
                           return info.param == kSecKeychainStoreFile ? std::string("FileStore")
                                                                      : std::string("SecretService");
                         });

// ---- Preferences

TEST(Preferences, TextsRoundTripAndOtherTypesCountAsAbsent) {
  ASSERT_EQ(prefStoreString(CFSTR("NameKey"), CFSTR("anna")), 0);
  CFStringRef value = nullptr;
  ASSERT_EQ(prefLoadString(CFSTR("NameKey"), &value), 0);
  CFRef<CFStringRef> held(value);
  EXPECT_EQ(utf8(value), "anna");

  // The functions take over keys made at run time.
  CFStringRef madeKey = text("NameKey");
  CFStringRef again = nullptr;
  prefLoadString(madeKey, &again);
  CFRef<CFStringRef> heldAgain(again);
  EXPECT_EQ(utf8(again), "anna");

  CFStringRef untouched = CFSTR("preset");
  EXPECT_EQ(prefLoadString(CFSTR("MissingKey"), &untouched), 0);
  EXPECT_EQ(utf8(untouched), "preset");

  prefStoreUInt32(CFSTR("NumberKey"), 7);
  EXPECT_EQ(prefLoadString(CFSTR("NumberKey"), &untouched), 0);
  EXPECT_EQ(utf8(untouched), "preset");
}

struct UInt32Case {
  const char* name;
  CFTypeRef stored;  // null: nothing stored
  SInt16 status;
  UInt32 value;
};

TEST(Preferences, LoadUInt32ReadsNumbersAndTextsOnly) {
  SInt32 minusOne = -1;
  CFRef<CFNumberRef> numberMinusOne(CFNumberCreate(nullptr, kCFNumberSInt32Type, &minusOne));
  CFRef<CFDateRef> date(CFDateCreate(nullptr, 1000.0));
  CFRef<CFDictionaryRef> dictionary(
      CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  const UInt32Case cases[] = {
      {"text 42", CFSTR("42"), 0, 42},
      {"text with blanks and sign", CFSTR("  -3x"), 0, static_cast<UInt32>(-3)},
      {"number -1", numberMinusOne.get(), 0, 4294967295u},
      {"date", date.get(), -1, 1234},
      {"dictionary", dictionary.get(), -1, 1234},
      {"boolean", kCFBooleanTrue, -1, 1234},
      {"missing", nullptr, -1, 1234},
  };
  for (const auto& c : cases) {
    CFPreferencesSetAppValue(CFSTR("Key"), c.stored, kCFPreferencesCurrentApplication);
    UInt32 value = 1234;
    EXPECT_EQ(prefLoadUInt32(CFSTR("Key"), &value), c.status) << c.name;
    EXPECT_EQ(value, c.value) << c.name;
  }
}

TEST(Preferences, StoreUInt32KeepsSigned32BitNumbers) {
  ASSERT_EQ(prefStoreUInt32(CFSTR("Big"), 4294967295u), 0);
  CFRef<CFTypeRef> raw(CFPreferencesCopyAppValue(CFSTR("Big"), kCFPreferencesCurrentApplication));
  ASSERT_TRUE(raw && CFGetTypeID(raw.get()) == CFNumberGetTypeID());
  SInt64 stored = 0;
  CFNumberGetValue(static_cast<CFNumberRef>(raw.get()), kCFNumberSInt64Type, &stored);
  EXPECT_EQ(stored, -1);
  UInt32 value = 0;
  EXPECT_EQ(prefLoadUInt32(CFSTR("Big"), &value), 0);
  EXPECT_EQ(value, 4294967295u);
}

// ---- Numbered texts

TEST(NumberedTexts, LookUpInTheStringBundle) {
  fs::path root = velmtest::makeTempDir("bundle") / "Strings.bundle";
  fs::create_directories(root / "Contents/Resources/en.lproj");
  velmtest::writeFile(root / "Contents/Info.plist",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                      "<key>CFBundleIdentifier</key><string>test.numbered.texts</string>"
                      "<key>CFBundleDevelopmentRegion</key><string>en</string></dict></plist>");
  velmtest::writeFile(root / "Contents/Resources/en.lproj/Localizable.strings",
                      "\"STR#999:2\" = \"http://example.test/two\";\n\"STR#-1:-5\" = \"negative\";\n");

  EXPECT_EQ(initStringBundle(CFSTR("test.numbered.texts")), nullptr);  // not opened yet
  EXPECT_EQ(iuGetIndCFString(999, 2), nullptr);

  std::string p = root.string();
  CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(p.data()),
                                                              static_cast<CFIndex>(p.size()), true));
  CFRef<CFBundleRef> bundle(CFBundleCreate(nullptr, url.get()));
  ASSERT_EQ(initStringBundle(CFSTR("test.numbered.texts")), bundle.get());

  CFRef<CFStringRef> two(iuGetIndCFString(999, 2)), negative(iuGetIndCFString(-1, -5)), missing(iuGetIndCFString(1100, 77));
  EXPECT_EQ(utf8(two.get()), "http://example.test/two");
  EXPECT_EQ(utf8(negative.get()), "negative");
  EXPECT_EQ(utf8(missing.get()), "STR#1100:77");

  initStringBundle(CFSTR("no.such.bundle"));
  EXPECT_EQ(iuGetIndCFString(999, 2), nullptr);
}

}  // namespace
