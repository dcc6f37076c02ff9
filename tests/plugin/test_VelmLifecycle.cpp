// The plug-in object's construction and teardown: the export manager, the write-back switch,
// the export folder, and the answers that do not depend on an export.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <vector>
#include <memory>
#include <string>

#include "CFTestSupport.h"
#include "FakeHost.h"
#include "Foundation.h"
#include "NSWorkspace.h"
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

TEST(VelmLifecycle, ExportFolderIsPrivateAndGoneAfterTeardown) {
  velmtest::FakeAPIManager api;
  auto first = make(api);
  auto second = make(api);
  ASSERT_TRUE(first && second);
  std::string a = utf8(first->destinationPath()), b = utf8(second->destinationPath());
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(utf8(NSTemporaryDirectory()), 0), 0u) << a;
  EXPECT_EQ(a.back(), '/');
  ASSERT_TRUE(fs::is_directory(a));
  EXPECT_EQ(fs::status(a).permissions() & fs::perms::all, fs::perms::owner_all);

  // Teardown removes the folder with what the host wrote into it.
  velmtest::writeFile(fs::path(a) / "IMG_1.jpg", "jpeg");
  fs::create_directories(fs::path(a) / "sub/deeper");
  first.reset();
  EXPECT_FALSE(fs::exists(a));
  EXPECT_TRUE(fs::is_directory(b));
  second.reset();
  EXPECT_FALSE(fs::exists(b));
}

TEST(VelmLifecycle, AFolderNameInUseIsLeftAloneAndTheNewFolderGetsASuffix) {
  // Whatever holds the name already (a live object's folder, one an earlier run left at the
  // same address, a file, a link) is never emptied, removed or followed.
  fs::path tmp = velmtest::makeTempDir("tmp");
  fs::path elsewhere = velmtest::makeTempDir("elsewhere");
  velmtest::writeFile(elsewhere / "keep.txt", "keep");
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> occupy;
  } cases[] = {
      {"a folder in use", [](const fs::path& p) { velmtest::writeFile((fs::create_directory(p), p / "IMG_1.jpg"), "live"); }},
      {"a file", [](const fs::path& p) { velmtest::writeFile(p, "a file in the way"); }},
      {"a link", [&](const fs::path& p) { fs::create_directory_symlink(elsewhere, p); }},
  };
  int n = 0;
  for (const auto& c : cases) {
    fs::path folder = tmp / ("VelmUploader-1f" + std::to_string(n++));
    c.occupy(folder);
    std::string before = fs::is_directory(folder) ? velmtest::readFile(folder / "IMG_1.jpg") : "";
    CFRef<CFStringRef> asked(CFStringCreateWithCString(nullptr, (folder.string() + "/").c_str(), kCFStringEncodingUTF8));
    CFRef<CFStringRef> made(VelmCreateExportFolder(asked.get()));
    EXPECT_EQ(utf8(made.get()), folder.string() + "-2/") << c.what;
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(folder.string() + "-2"))) << c.what;
    EXPECT_TRUE(fs::exists(fs::symlink_status(folder))) << c.what;
    if (!before.empty()) EXPECT_EQ(velmtest::readFile(folder / "IMG_1.jpg"), before) << c.what;
    // The next one goes on counting.
    CFRef<CFStringRef> again(VelmCreateExportFolder(asked.get()));
    EXPECT_EQ(utf8(again.get()), folder.string() + "-3/") << c.what;
  }
  EXPECT_EQ(velmtest::readFile(elsewhere / "keep.txt"), "keep");
  EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()), 1);
}

TEST(VelmLifecycle, AnExportWithoutThePanelStillOpensItsEndPage) {
  // No QApplication in this process and no settingsView call: the string tables are chosen
  // when the end page is looked up.
  std::vector<std::string> opened;
  NSWorkspace::setURLHandler([&](CFStringRef address) { opened.push_back(utf8(address)); });
  ASSERT_TRUE(velmtest::velmBundle());
  velmtest::FakeAPIManager api;
  auto velm = make(api);
  velm->exportManagerShouldBeginExport();
  velm->exportManagerDidFinishExport();
  NSWorkspace::setURLHandler(nullptr);
  ASSERT_EQ(opened.size(), 1u);
  CFRef<CFStringRef> page(CFBundleCopyLocalizedString(velmtest::velmBundle(), CFSTR("STR#999:2"), nullptr, nullptr));
  EXPECT_EQ(opened[0], utf8(page.get()));
  EXPECT_EQ(opened[0].rfind("http", 0), 0u) << opened[0];
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
