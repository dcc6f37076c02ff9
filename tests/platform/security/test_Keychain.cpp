// The keychain contract on both stores: the Secret Service (a private one, started per test
// process) and the private file store.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "CFRef.h"
#include "SecretServiceSession.h"
#include "Security.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using velmtest::runCommand;

namespace {

OSStatus add(const std::string& service, const std::string& account, const std::string& password) {
  return SecKeychainAddGenericPassword(nullptr, static_cast<UInt32>(service.size()), service.data(),
                                       static_cast<UInt32>(account.size()), account.data(),
                                       static_cast<UInt32>(password.size()), password.data(), nullptr);
}

// The password stored for service and account, or the status of the failed find.
struct Found {
  OSStatus status;
  std::string password;
};
Found find(const std::string& service, const std::string& account) {
  UInt32 length = 99;
  void* data = reinterpret_cast<void*>(1);
  OSStatus status = SecKeychainFindGenericPassword(nullptr, static_cast<UInt32>(service.size()), service.data(),
                                                   static_cast<UInt32>(account.size()), account.data(), &length,
                                                   &data, nullptr);
  Found f{status, {}};
  if (status == errSecSuccess) {
    f.password.assign(static_cast<const char*>(data), length);
  } else {
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(data, nullptr);
  }
  SecKeychainItemFreeContent(nullptr, data);
  return f;
}

OSStatus remove(const std::string& service, const std::string& account) {
  SecKeychainItemRef item = nullptr;
  OSStatus status = SecKeychainFindGenericPassword(nullptr, static_cast<UInt32>(service.size()), service.data(),
                                                   static_cast<UInt32>(account.size()), account.data(), nullptr,
                                                   nullptr, &item);
  if (status != errSecSuccess) return status;
  CFRef<SecKeychainItemRef> held(item);
  return SecKeychainItemDelete(held.get());
}

fs::path storeFolder() { return fs::path(getenv("XDG_DATA_HOME")) / "keychains"; }

class KeychainContract : public testing::TestWithParam<SecKeychainStoreKind> {
 protected:
  void SetUp() override {
    if (GetParam() == kSecKeychainStoreSecretService) {
      ASSERT_TRUE(velmtest::sharedSecretService().running()) << "the private Secret Service did not start";
      for (const char* service : {"Svc", "Other"}) runCommand(std::string("secret-tool clear service ") + service);
    } else {
      std::filesystem::remove_all(storeFolder());
    }
    SecKeychainSetStoreKind(GetParam());
  }
  void TearDown() override { SecKeychainSetStoreKind(kSecKeychainStoreAutomatic); }
};

TEST_P(KeychainContract, AddFindDeleteAndDuplicates) {
  EXPECT_EQ(find("Svc", "anna").status, errSecItemNotFound);
  ASSERT_EQ(add("Svc", "anna", "first"), errSecSuccess);
  EXPECT_EQ(add("Svc", "anna", "second"), errSecDuplicateItem);
  ASSERT_EQ(add("Svc", "bert", "his"), errSecSuccess);
  ASSERT_EQ(add("Other", "anna", "elsewhere"), errSecSuccess);

  EXPECT_EQ(find("Svc", "anna").password, "first");  // the refused add changed nothing
  EXPECT_EQ(find("Svc", "bert").password, "his");
  EXPECT_EQ(find("Other", "anna").password, "elsewhere");

  EXPECT_EQ(remove("Svc", "anna"), errSecSuccess);
  EXPECT_EQ(find("Svc", "anna").status, errSecItemNotFound);
  EXPECT_EQ(find("Svc", "bert").password, "his");
  EXPECT_EQ(remove("Svc", "anna"), errSecItemNotFound);
}

TEST_P(KeychainContract, PasswordsAreBytesAndNamesMustBeUTF8) {
  const std::string binary("a\0b\xff\xfe z", 7);
  ASSERT_EQ(add("Svc", "bytes", binary), errSecSuccess);
  EXPECT_EQ(find("Svc", "bytes").password, binary);
  ASSERT_EQ(add("Svc", "empty", ""), errSecSuccess);
  Found empty = find("Svc", "empty");
  EXPECT_EQ(empty.status, errSecSuccess);
  EXPECT_EQ(empty.password, "");
  ASSERT_EQ(add("Svc", "Jos\xc3\xa9", "accent"), errSecSuccess);
  EXPECT_EQ(find("Svc", "Jos\xc3\xa9").password, "accent");

  EXPECT_EQ(add("Svc", "bad\xff", "x"), errSecParam);
  EXPECT_EQ(add(std::string("S\0vc", 4), "a", "x"), errSecParam);
  EXPECT_EQ(find("Svc", "bad\xff").status, errSecParam);
  EXPECT_EQ(SecKeychainAddGenericPassword(nullptr, 3, nullptr, 1, "a", 0, nullptr, nullptr), errSecParam);
  EXPECT_EQ(SecKeychainItemDelete(nullptr), errSecParam);
}

TEST_P(KeychainContract, ItemsComeBackAsReleasableObjects) {
  SecKeychainItemRef item = nullptr;
  ASSERT_EQ(SecKeychainAddGenericPassword(nullptr, 3, "Svc", 4, "anna", 2, "pw", &item), errSecSuccess);
  ASSERT_NE(item, nullptr);
  CFRef<SecKeychainItemRef> held(item);
  EXPECT_EQ(CFGetTypeID(item), SecKeychainItemGetTypeID());
  EXPECT_EQ(SecKeychainItemDelete(item), errSecSuccess);
  EXPECT_EQ(find("Svc", "anna").status, errSecItemNotFound);
}

INSTANTIATE_TEST_SUITE_P(Stores, KeychainContract,
                         testing::Values(kSecKeychainStoreFile, kSecKeychainStoreSecretService),
                         [](const testing::TestParamInfo<SecKeychainStoreKind>& info) {
                           return info.param == kSecKeychainStoreFile ? std::string("FileStore")
                                                                      : std::string("SecretService");
                         });

// ---- The Secret Service: items are ordinary items of the desktop's keyring.

TEST(SecretService, ItemsAreSharedWithSecretTool) {
  ASSERT_TRUE(velmtest::sharedSecretService().running());
  SecKeychainSetStoreKind(kSecKeychainStoreAutomatic);
  EXPECT_EQ(SecKeychainGetStoreKind(), kSecKeychainStoreSecretService);

  ASSERT_EQ(add("Orbandel test", "anna", "s3cret"), errSecSuccess);
  int status = -1;
  EXPECT_EQ(runCommand("secret-tool lookup service 'Orbandel test' account anna", &status), "s3cret");
  EXPECT_EQ(status, 0);

  runCommand("printf %s from-tool | secret-tool store --label=t service 'Orbandel test' account bert", &status);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(find("Orbandel test", "bert").password, "from-tool");
  EXPECT_EQ(add("Orbandel test", "bert", "again"), errSecDuplicateItem);

  EXPECT_EQ(remove("Orbandel test", "anna"), errSecSuccess);
  runCommand("secret-tool lookup service 'Orbandel test' account anna", &status);
  EXPECT_NE(status, 0);
  SecKeychainSetStoreKind(kSecKeychainStoreAutomatic);
}

// ---- The file store.

TEST(FileStore, ChosenWhenNoSecretServiceAnswersAndPrivate) {
  // No session bus in the test's environment: the first call chooses the file store.
  if (getenv("DBUS_SESSION_BUS_ADDRESS")) GTEST_SKIP() << "a Secret Service of an earlier test is running";
  fs::remove_all(storeFolder());
  SecKeychainSetStoreKind(kSecKeychainStoreAutomatic);
  EXPECT_EQ(SecKeychainGetStoreKind(), kSecKeychainStoreFile);
  ASSERT_EQ(add("Svc", "anna", "pw"), errSecSuccess);

  struct stat st {};
  ASSERT_EQ(stat(storeFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((storeFolder() / "generic-passwords.plist").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A folder that someone opened up is closed again at the next call.
  chmod(storeFolder().c_str(), 0755);
  EXPECT_EQ(find("Svc", "anna").password, "pw");
  ASSERT_EQ(stat(storeFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  SecKeychainSetStoreKind(kSecKeychainStoreAutomatic);
}

TEST(FileStore, UnreadableStoreIsRefusedAndKept) {
  fs::remove_all(storeFolder());
  SecKeychainSetStoreKind(kSecKeychainStoreFile);
  ASSERT_EQ(add("Svc", "anna", "pw"), errSecSuccess);
  fs::path file = storeFolder() / "generic-passwords.plist";
  const std::string garbage = "<plist><array><dict><key>service</key>";  // cut short
  velmtest::writeFile(file, garbage);

  EXPECT_EQ(find("Svc", "anna").status, errSecInvalidKeychain);
  EXPECT_EQ(add("Svc", "bert", "x"), errSecInvalidKeychain);
  EXPECT_EQ(velmtest::readFile(file), garbage);

  // A link in place of the store is not followed.
  fs::remove(file);
  fs::path elsewhere = velmtest::makeTempDir("elsewhere") / "target.plist";
  velmtest::writeFile(elsewhere, "");
  fs::create_symlink(elsewhere, file);
  EXPECT_EQ(find("Svc", "anna").status, errSecInvalidKeychain);
  EXPECT_EQ(velmtest::readFile(elsewhere), "");
  SecKeychainSetStoreKind(kSecKeychainStoreAutomatic);
}

}  // namespace
