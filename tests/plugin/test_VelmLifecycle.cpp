// The plug-in object's construction and teardown: the export manager, the write-back switch,
// the export folder, and the answers that do not depend on an export.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "CFTestSupport.h"
#include "FakeHost.h"
#include "Foundation.h"
#include "RZMCoreFunctions.h"
#include "TestSupport.h"
#include "Velm.h"

namespace fs = std::filesystem;
using velmtest::utf8;

namespace {

std::unique_ptr<Velm> make(velmtest::FakeAPIManager& api) { return std::unique_ptr<Velm>(Velm::initWithAPIManager(&api)); }

TEST(VelmLifecycle, NeedsAnExportManager) {
  velmtest::FakeAPIManager api;
  api.exportManager.reset();
  EXPECT_EQ(make(api), nullptr);
  EXPECT_EQ(Velm::initWithAPIManager(nullptr), nullptr);
}

TEST(VelmLifecycle, WriteBackSwitchFromThePreferences) {
  velmtest::FakeAPIManager api;
  CFPreferencesSetAppValue(kVelmStoreURLinIPTCKey, nullptr, kCFPreferencesCurrentApplication);
  EXPECT_EQ(make(api)->storeURLInIPTC, 1u);
  prefStoreUInt32(kVelmStoreURLinIPTCKey, 0);
  EXPECT_EQ(make(api)->storeURLInIPTC, 0u);
  CFPreferencesSetAppValue(kVelmStoreURLinIPTCKey, nullptr, kCFPreferencesCurrentApplication);
}

TEST(VelmLifecycle, ExportFolderIsPrivateEmptiedAndReplaced) {
  velmtest::FakeAPIManager api;
  auto first = make(api);
  auto second = make(api);
  ASSERT_TRUE(first && second);
  std::string a = utf8(first->destinationPath()), b = utf8(second->destinationPath());
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(utf8(NSTemporaryDirectory()), 0), 0u) << a;
  EXPECT_EQ(a.back(), '/');
  EXPECT_TRUE(fs::is_directory(a));

  // Teardown empties the folder and keeps it.
  velmtest::writeFile(fs::path(a) / "IMG_1.jpg", "jpeg");
  fs::create_directories(fs::path(a) / "sub/deeper");
  first.reset();
  EXPECT_TRUE(fs::is_directory(a));
  EXPECT_TRUE(fs::is_empty(a));
  second.reset();
}

TEST(VelmLifecycle, WhatOccupiesTheFolderPathIsReplaced) {
  fs::path folder = velmtest::makeTempDir("tmp") / "VelmUploader-1f";
  CFRef<CFStringRef> path(CFStringCreateWithCString(nullptr, (folder.string() + "/").c_str(), kCFStringEncodingUTF8));

  velmtest::writeFile(folder, "a file in the way");
  VelmPrepareExportFolder(path.get());
  EXPECT_TRUE(fs::is_directory(folder));

  velmtest::writeFile(folder / "left.jpg", "from an earlier export");
  VelmPrepareExportFolder(path.get());
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_TRUE(fs::is_empty(folder));

  // A link there is removed, never followed: what it points to stays untouched.
  fs::path elsewhere = velmtest::makeTempDir("elsewhere");
  velmtest::writeFile(elsewhere / "keep.txt", "keep");
  fs::remove_all(folder);
  fs::create_directory_symlink(elsewhere, folder);
  VelmPrepareExportFolder(path.get());
  EXPECT_FALSE(fs::is_symlink(folder));
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(velmtest::readFile(elsewhere / "keep.txt"), "keep");
}

TEST(VelmLifecycle, FixedAnswers) {
  velmtest::FakeAPIManager api;
  auto velm = make(api);
  ASSERT_TRUE(velm);
  EXPECT_FALSE(velm->allowsOnlyPlugInPresets());
  EXPECT_FALSE(velm->allowsMasterExport());
  EXPECT_FALSE(velm->allowsVersionExport());
  EXPECT_FALSE(velm->wantsFileNamingControls());
  EXPECT_FALSE(velm->wantsDestinationPathPrompt());
  EXPECT_EQ(velm->defaultDirectory(), nullptr);
  EXPECT_TRUE(velm->exportManagerShouldExportImageAtIndex(3));
  EXPECT_TRUE(velm->exportManagerShouldWriteImageData(nullptr, CFSTR("a.jpg"), 0));
  EXPECT_EQ(velm->progress(), &velm->exportProgress);
  velm->exportManagerShouldCancelExport();
  EXPECT_EQ(api.exportManager->calls, std::vector<std::string>{"shouldCancelExport"});
}

TEST(VelmLifecycle, WithoutItsInterfaceFileThePanelIsAbsent) {
  // No QApplication in this process: the interface file cannot be instantiated. The panel is
  // absent, the settings come from the stores as the panel would have shown them, and the
  // reading functions stay safe.
  velmtest::FakeAPIManager api;
  prefStoreString(kVelmAccountNamePrefsKey, CFSTR("anna"));
  prefStoreUInt32(kVelmPrivacyPrefsKey, 1);
  auto velm = make(api);
  EXPECT_EQ(velm->settingsView(), nullptr);
  EXPECT_EQ(utf8(velm->mAccountName.get()), "anna");
  ASSERT_NE(velm->myVelmClient, nullptr);
  velm->getNameAndPassword();
  velm->getTargetSize();
  velm->getPrivacyStatus();
  velm->getAlbumName();
  EXPECT_EQ(utf8(velm->mAccountName.get()), "anna");  // the stored account stays
  EXPECT_EQ(velm->mSize, 0);
  EXPECT_EQ(velm->mPrivacy, 500);  // the stored choice, index 1
  EXPECT_EQ(velm->mAlbumName.get(), nullptr);
  UInt32 stored = 0;
  EXPECT_EQ(prefLoadUInt32(kVelmPrivacyPrefsKey, &stored), 0);
  EXPECT_EQ(stored, 1u);  // the stored choice stays
}

}  // namespace
