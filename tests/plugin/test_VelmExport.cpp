// Exports through the loaded bundle to velm-server on loopback: positions, properties, the
// uploaded parameters, the caption write-back into the photos' sidecars, the end page, failures
// and the progress record.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <exiv2/exiv2.hpp>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "AppKitQt.h"
#include "CFTestSupport.h"
#include "ExportHost.h"
#include "FakeHost.h"
#include "NSWorkspace.h"
#include "PhotoLibrary.h"
#include "RZMCoreFunctions.h"
#include "ServerProcess.h"
#include "TestSupport.h"
#include "LoopbackServers.h"
#include "Velm.h"

namespace fs = std::filesystem;
using velmtest::utf8;

// fontconfig keeps the pattern caches Qt's font database asked for until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

// An export manager that has no properties for one image.
class PartlyBareManager : public HostExportManager {
 public:
  PartlyBareManager(const PhotoLibrary& library, unsigned bare) : HostExportManager(library), bare_(bare) {}
  CFRef<CFDictionaryRef> propertiesWithoutThumbnailForImageAtIndex(unsigned index) override {
    if (index == bare_) return {};
    return HostExportManager::propertiesWithoutThumbnailForImageAtIndex(index);
  }

 private:
  unsigned bare_;
};

class Export : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Exiv2::XmpParser::initialize(); }

  void SetUp() override {
    velmtest::offscreenApplication();
    ASSERT_NE(server.port(), 0) << server.errorOutput();
    ASSERT_EQ(server.addUser("anna", "secret"), 0);
    for (CFStringRef key : {kVelmAccountNamePrefsKey, kVelmPrivacySizeKey, kVelmPrivacyPrefsKey, kVelmStoreURLinIPTCKey})
      CFPreferencesSetAppValue(key, nullptr, kCFPreferencesCurrentApplication);
    NSWorkspace::setURLHandler([this](CFStringRef address) { opened.push_back(utf8(address)); });
    NSAppleScriptSetScriptingTarget(&library);
  }
  void TearDown() override {
    NSAppleScriptSetScriptingTarget(nullptr);
    NSWorkspace::setURLHandler(nullptr);
  }

  // A copy of a sample photo in the test's folder, under another name when asked.
  std::string sample(const char* name, const char* as = nullptr) {
    fs::path to = dir / (as ? as : name);
    fs::copy_file(fs::path(VELM_SOURCE_DIR) / "samples" / name, to);
    return to.string();
  }

  void addPhotos(const std::vector<std::string>& paths) {
    for (const auto& p : paths) ASSERT_TRUE(library.add(p, nullptr)) << p;
  }

  // The plug-in through the bundle, its panel filled as a user would.
  std::unique_ptr<ApertureExportPlugIn> open(HostAPIManager& api, const char* password = "secret") {
    auto plugIn = PlugInCreatePrincipalObject(velmtest::velmBundle(), &api);
    EXPECT_TRUE(plugIn);
    QWidget* panel = NSViewGetQWidget(plugIn->settingsView());
    EXPECT_TRUE(panel);
    panel->findChild<QLineEdit*>("velmName")->setText("anna");
    panel->findChild<QLineEdit*>("velmPassword")->setText(password);
    panel->findChild<QComboBox*>("sizePopUp")->setCurrentIndex(4);     // 640
    panel->findChild<QComboBox*>("privacyPopUp")->setCurrentIndex(3);  // 1000
    panel->findChild<QLineEdit*>("velmAlbumName")->setText("Summer 2008");
    panel->findChild<QAbstractButton*>("createAlbumCheckbox")->setChecked(true);
    return plugIn;
  }

  // What the plug-in's string table says for table 999.
  std::string page(int index) {
    CFRef<CFStringRef> key(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("STR#999:%i"), index));
    CFRef<CFStringRef> text(CFBundleCopyLocalizedString(velmtest::velmBundle(), key.get(), nullptr, nullptr));
    return utf8(text.get());
  }

  // The query of each photo upload the server received, in order.
  std::vector<std::string> uploads() {
    std::vector<std::string> out;
    std::string log = server.requestLog();
    for (size_t at = log.find("/api/post_photo_xml.php?"); at != std::string::npos;
         at = log.find("/api/post_photo_xml.php?", at + 1))
      out.push_back(log.substr(at + 24, log.find(' ', at) - at - 24));
    return out;
  }

  velmtest::ServerProcess server;
  velmtest::ScopedEnv service{"VELM_SERVICE_URL", server.url().c_str()};
  fs::path dir = velmtest::makeTempDir("photos");
  PhotoLibrary library;
  std::vector<std::string> opened;
};

TEST_F(Export, PhotosWithAndWithoutPositionAndProperties) {
  addPhotos({sample("Beach.jpg"), sample("Summit.jpg"), sample("Harbour.jpg"), sample("Sketch.jpg")});
  HostAPIManager api(library);
  auto manager = std::make_shared<PartlyBareManager>(library, 3);
  api.exportManager = manager;
  auto plugIn = open(api);

  // The host's display thread reads the progress record while the export runs.
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      plugIn->lockProgress();
      ExportProgress* p = plugIn->progress();
      if (p->currentValue > p->totalValue || (p->message && CFGetTypeID(p->message) != CFStringGetTypeID())) ++torn;
      plugIn->unlockProgress();
      std::this_thread::yield();
    }
  });
  plugIn->exportManagerShouldBeginExport();
  ASSERT_TRUE(manager->began);
  testing::internal::CaptureStderr();
  runExportImages(*plugIn, library, *manager, [](unsigned, const std::string& m) { ADD_FAILURE() << m; });
  std::string log = testing::internal::GetCapturedStderr();
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  EXPECT_TRUE(manager->finished);

  auto sent = uploads();
  ASSERT_EQ(sent.size(), 4u) << server.requestLog();
  const char* expected[] = {
      "caption=Beach&description=Morning%20at%20the%20beach&tags=sea%2Csun%2Csand&object_latitude=48.123455"
      "&object_longitude=11.576125&latitude=48.123455&longitude=11.576125&privacy=1000"
      "&add_to_album_name=Summer%202008",
      "caption=Summit&description=Above%20the%20clouds&tags=&object_latitude=-33.450001&object_longitude=-70.666702"
      "&latitude=-33.450001&longitude=-70.666702&privacy=1000&add_to_album_name=Summer%202008",
      "caption=Harbour&description=&tags=boats%2Cevening&object_latitude=0.000000&object_longitude=0.000000"
      "&latitude=0.000000&longitude=0.000000&privacy=1000&add_to_album_name=Summer%202008",
      "caption=&description=&tags=&object_latitude=0.000000&object_longitude=0.000000&latitude=0.000000"
      "&longitude=0.000000&privacy=1000&add_to_album_name=Summer%202008",
  };
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(sent[i].rfind("auth_user_name=anna&api_signature=", 0), 0u) << sent[i];
    EXPECT_NE(sent[i].find(expected[i]), std::string::npos) << sent[i];
  }

  // Each uploaded photo's page address is in its caption, after the caption it had.
  const std::string pages = server.url() + "/photo/";
  std::string beach = library.caption(0), summit = library.caption(1), harbour = library.caption(2);
  EXPECT_EQ(beach.rfind("Morning at the beach\n\n" + pages, 0), 0u) << beach;
  EXPECT_EQ(summit.rfind("Above the clouds\n\n" + pages, 0), 0u) << summit;
  EXPECT_EQ(harbour.rfind(pages, 0), 0u) << harbour;
  EXPECT_NE(beach.substr(beach.rfind('\r') + 1), harbour);
  // The photo without properties has no version name to address: its caption stays empty and
  // the failure is logged.
  EXPECT_EQ(library.caption(3), "");
  EXPECT_NE(log.find("AppleScript Error: "), std::string::npos) << log;

  // Two photos had no position: the page of index 3.
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], page(3));
  plugIn->lockProgress();
  EXPECT_EQ(plugIn->progress()->currentValue, 0u);
  EXPECT_EQ(plugIn->progress()->totalValue, 4u);
  plugIn->unlockProgress();
}

TEST_F(Export, AllWithPositionOpensThePageOfIndex2) {
  addPhotos({sample("Beach.jpg"), sample("Summit.jpg")});
  HostAPIManager api(library);
  auto plugIn = open(api);
  plugIn->exportManagerShouldBeginExport();
  runExportImages(*plugIn, library, *api.exportManager, [](unsigned, const std::string& m) { ADD_FAILURE() << m; });
  EXPECT_EQ(uploads().size(), 2u);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], page(2));
}

TEST_F(Export, WrongPasswordFailsEachPhotoAndFinishes) {
  std::string harbour = sample("Harbour.jpg");
  addPhotos({sample("Beach.jpg"), harbour});
  HostAPIManager api(library);
  auto plugIn = open(api, "wrong");
  plugIn->exportManagerShouldBeginExport();
  testing::internal::CaptureStderr();
  for (unsigned i = 0; i < library.count(); ++i) {
    PhotoLibrary::Photo p = library.photo(i);
    std::string relative = p.versionName + ".jpg";
    fs::copy_file(p.path, fs::path(utf8(plugIn->destinationPath())) / relative);
    CFRef<CFStringRef> rel(CFStringCreateWithCString(nullptr, relative.c_str(), kCFStringEncodingUTF8));
    plugIn->exportManagerDidWriteImageDataToRelativePath(rel.get(), i);
  }
  std::string log = testing::internal::GetCapturedStderr();
  plugIn->lockProgress();
  EXPECT_EQ(plugIn->progress()->currentValue, 2u);  // progress reached the total all the same
  plugIn->unlockProgress();
  plugIn->exportManagerDidFinishExport();

  EXPECT_NE(log.find("Error uploading Beach to Velm: <?xml"), std::string::npos) << log;
  EXPECT_NE(log.find("Error uploading Harbour to Velm: "), std::string::npos) << log;
  EXPECT_NE(log.find("<error code=\"102\">"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(PhotoLibrary::sidecarPath(harbour)));  // no caption changed
  EXPECT_EQ(uploads().size(), 2u);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], page(2));  // nothing uploaded, so nothing without position
}

TEST_F(Export, ZeroPhotos) {
  HostAPIManager api(library);
  auto plugIn = open(api);
  plugIn->exportManagerShouldBeginExport();
  plugIn->lockProgress();
  EXPECT_EQ(plugIn->progress()->totalValue, 0u);
  plugIn->unlockProgress();
  runExportImages(*plugIn, library, *api.exportManager, [](unsigned, const std::string& m) { ADD_FAILURE() << m; });
  EXPECT_TRUE(api.exportManager->finished);
  EXPECT_TRUE(uploads().empty());
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], page(2));
}

TEST_F(Export, WriteBackSwitchOffRunsNoScript) {
  prefStoreUInt32(kVelmStoreURLinIPTCKey, 0);
  std::string harbour = sample("Harbour.jpg");
  addPhotos({harbour});
  HostAPIManager api(library);
  auto plugIn = open(api);
  plugIn->exportManagerShouldBeginExport();
  testing::internal::CaptureStderr();
  runExportImages(*plugIn, library, *api.exportManager, [](unsigned, const std::string& m) { ADD_FAILURE() << m; });
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(uploads().size(), 1u);
  EXPECT_FALSE(fs::exists(PhotoLibrary::sidecarPath(harbour)));
  EXPECT_EQ(log.find("AppleScript"), std::string::npos) << log;
}

TEST_F(Export, QuotationMarkInAVersionNameIsWrittenBack) {
  std::string odd = sample("Harbour.jpg", "Say \"cheese\".jpg");
  addPhotos({odd});
  HostAPIManager api(library);
  auto plugIn = open(api);
  plugIn->exportManagerShouldBeginExport();
  runExportImages(*plugIn, library, *api.exportManager, [](unsigned, const std::string& m) { ADD_FAILURE() << m; });
  EXPECT_EQ(library.caption(0).rfind(server.url() + "/photo/", 0), 0u) << library.caption(0);
}

TEST_F(Export, CurlyQuotationMarksInAVersionNameAreWrittenBack) {
  std::string odd = sample("Harbour.jpg", "Say \u201Chi\u201D.jpg");
  addPhotos({odd});
  HostAPIManager api(library);
  auto plugIn = open(api);
  plugIn->exportManagerShouldBeginExport();
  testing::internal::CaptureStderr();
  runExportImages(*plugIn, library, *api.exportManager, [](unsigned, const std::string& m) { ADD_FAILURE() << m; });
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(library.caption(0).rfind(server.url() + "/photo/", 0), 0u) << library.caption(0) << log;
  EXPECT_EQ(log.find("AppleScript Error"), std::string::npos) << log;
}

// A service that hands out signatures and answers every upload with the given page address.
std::string httpAnswer(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}
velmtest::RawServer::Responder answeringUploadsWith(const std::string& url) {
  return [url](const std::string& request) -> std::optional<std::string> {
    if (request.rfind("GET /api/get_api_signature.php", 0) == 0) return httpAnswer("0123456789abcdef");
    return httpAnswer("<rsp stat=\"ok\"><url>" + url + "</url></rsp>");
  };
}

TEST_F(Export, AnAddressThatIsNoWebPageIsLoggedAndNeverRun) {
  const std::string tooLong = "http://127.0.0.1/photo/" + std::string(2100, 'a');
  const struct Case {
    std::string url;
    bool written;
  } cases[] = {
      {"http://127.0.0.1/photo/\u201D \r make new IPTC tag with properties {name:\"Caption/Abstract\", value:\u201Cowned", false},
      {"javascript:alert(1)", false},
      {"http://127.0.0.1/photo/a\tb", false},
      {tooLong, false},
      {"https://127.0.0.1/photo/\u201Cquoted\u201D", true},
      {"http://127.0.0.1/photo/" + std::string(2048 - 23, 'b'), true},
  };
  int index = 0;
  for (const auto& c : cases) {
    velmtest::RawServer service(answeringUploadsWith(c.url));
    ASSERT_NE(service.port(), 0);
    velmtest::ScopedEnv to("VELM_SERVICE_URL", service.url().c_str());
    PhotoLibrary photos;
    std::string p = sample("Harbour.jpg", ("case" + std::to_string(index++) + ".jpg").c_str());
    ASSERT_TRUE(photos.add(p, nullptr));
    NSAppleScriptSetScriptingTarget(&photos);
    HostAPIManager api(photos);
    auto plugIn = open(api);
    plugIn->exportManagerShouldBeginExport();
    testing::internal::CaptureStderr();
    runExportImages(*plugIn, photos, *api.exportManager, [](unsigned, const std::string& m) { ADD_FAILURE() << m; });
    std::string log = testing::internal::GetCapturedStderr();
    NSAppleScriptSetScriptingTarget(&library);
    if (c.written) {
      EXPECT_TRUE(photos.caption(0) == c.url) << log.substr(0, 300);
    } else {
      EXPECT_EQ(photos.caption(0), "") << c.url.substr(0, 80);
      EXPECT_FALSE(fs::exists(PhotoLibrary::sidecarPath(p)));
      EXPECT_NE(log.find("not a web page"), std::string::npos) << log;
      EXPECT_LT(log.size(), 1000u) << "the log shows the start of an address, not all of it";
    }
  }
}

TEST_F(Export, AFileNameThatIsNotUTF8IsUploadedUnderItsReadableName) {
  addPhotos({sample("Harbour.jpg", "Hafen \xE4.jpg")});
  HostAPIManager api(library);
  auto plugIn = open(api);
  plugIn->exportManagerShouldBeginExport();
  testing::internal::CaptureStderr();
  runExportImages(*plugIn, library, *api.exportManager, [](unsigned, const std::string& m) { ADD_FAILURE() << m; });
  std::string log = testing::internal::GetCapturedStderr();
  auto sent = uploads();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_NE(sent[0].find("&caption=Hafen%20%EF%BF%BD&"), std::string::npos) << sent[0];
  EXPECT_EQ(log.find("Error uploading"), std::string::npos) << log;  // a photo arrived, not an empty part
  EXPECT_EQ(library.caption(0).rfind(server.url() + "/photo/", 0), 0u) << log;
}

}  // namespace
