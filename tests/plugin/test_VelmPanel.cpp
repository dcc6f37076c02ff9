// The settings panel end to end: the host loads Velm.bundle, creates the plug-in object and asks
// for its panel; settings come from the preferences and from a private Secret Service; the album
// menu is filled from velm-server on loopback.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>
#include <string>
#include <vector>

#include "../platform/security/SecretServiceSession.h"
#include "AppKitQt.h"
#include "CFTestSupport.h"
#include "FakeHost.h"
#include "NSWorkspace.h"
#include "RZMCoreFunctions.h"
#include "ServerProcess.h"
#include "TestSupport.h"
#include "Velm.h"

namespace fs = std::filesystem;
using velmtest::runCommand;
using velmtest::utf8;

// fontconfig keeps the pattern caches Qt's font database asked for until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

std::string text(const CFRef<CFStringRef>& s) { return utf8(s.get()); }

class Panel : public testing::Test {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "en_US.UTF-8", 1);  // the English tables, whatever the machine's language
    ASSERT_TRUE(velmtest::sharedSecretService().running());
    velmtest::offscreenApplication();
    ASSERT_NE(velmtest::velmBundle(), nullptr);
    runCommand("secret-tool clear service 'Orbandel velm Password'");
    for (CFStringRef key : {kVelmAccountNamePrefsKey, kVelmPrivacySizeKey, kVelmPrivacyPrefsKey})
      CFPreferencesSetAppValue(key, nullptr, kCFPreferencesCurrentApplication);
    NSWorkspace::setURLHandler([this](CFStringRef address) { opened.push_back(utf8(address)); });
  }
  void TearDown() override {
    NSWorkspace::setURLHandler(nullptr);
    object.reset();
  }

  // Creates the plug-in object through the bundle and loads its panel.
  Velm* open() {
    object = PlugInCreatePrincipalObject(velmtest::velmBundle(), &api);
    auto* velm = dynamic_cast<Velm*>(object.get());
    EXPECT_NE(velm, nullptr);
    if (velm) {
      EXPECT_NE(velm->settingsView(), nullptr);
    }
    return velm;
  }
  template <typename W>
  W* widget(NSView* view) {
    return qobject_cast<W*>(NSViewGetQWidget(view));
  }
  QWidget* panelWidget(Velm* velm) { return NSViewGetQWidget(velm->settingsView()); }

  static std::string storedKeychainPassword(const std::string& account) {
    int status = -1;
    std::string out = runCommand("secret-tool lookup service 'Orbandel velm Password' account '" + account + "'", &status);
    return status == 0 ? out : "<none>";
  }
  static SInt64 storedNumber(CFStringRef key) {
    CFRef<CFTypeRef> v(CFPreferencesCopyAppValue(key, kCFPreferencesCurrentApplication));
    SInt64 n = 999;
    if (v && CFGetTypeID(v.get()) == CFNumberGetTypeID()) CFNumberGetValue(static_cast<CFNumberRef>(v.get()), kCFNumberSInt64Type, &n);
    return n;
  }

  velmtest::FakeAPIManager api;
  std::unique_ptr<ApertureExportPlugIn> object;
  std::vector<std::string> opened;
};

TEST_F(Panel, FilledFromStoredSettingsAndTranslated) {
  prefStoreString(kVelmAccountNamePrefsKey, CFSTR("anna"));
  prefStoreUInt32(kVelmPrivacySizeKey, 3);
  prefStoreUInt32(kVelmPrivacyPrefsKey, 2);
  ASSERT_EQ(securityStorePassword(kVelmKeychainServiceName, CFSTR("anna"), CFSTR("s3cret")), 0);

  Velm* velm = open();
  ASSERT_NE(velm, nullptr);
  EXPECT_EQ(text(velm->velmName->stringValue()), "anna");
  EXPECT_EQ(text(velm->velmPassword->stringValue()), "s3cret");
  EXPECT_EQ(velm->sizePopUp->indexOfSelectedItem(), 3);
  EXPECT_EQ(velm->privacyPopUp->indexOfSelectedItem(), 2);
  EXPECT_EQ(velm->firstView(), velm->velmName);
  ASSERT_NE(velm->lastView(), nullptr);
  EXPECT_EQ(widget<QPushButton>(velm->lastView())->text(), "Orbandel");
  EXPECT_EQ(velm->settingsView(), velm->settingsView());  // loaded once

  // Every marked text is replaced: titles, labels, items, placeholders, tool tips.
  QWidget* panel = panelWidget(velm);
  EXPECT_EQ(panel->findChild<QGroupBox*>("accountBox")->title(), "Velm account");
  EXPECT_EQ(panel->findChild<QLabel*>("nameLabel")->text(), "Name:");
  EXPECT_EQ(widget<QLineEdit>(velm->velmName)->placeholderText(), "Your Velm user name");
  EXPECT_EQ(widget<QCheckBox>(velm->useKeychainCheckbox)->text(), "Remember name and password");
  QComboBox* sizes = widget<QComboBox>(velm->sizePopUp);
  const char* sizeTitles[] = {"Full size", "1600 pixels", "1200 pixels", "800 pixels", "640 pixels"};
  ASSERT_EQ(sizes->count(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(sizes->itemText(i), sizeTitles[i]);
  QComboBox* privacy = widget<QComboBox>(velm->privacyPopUp);
  ASSERT_EQ(privacy->count(), 4);
  EXPECT_EQ(privacy->itemText(3), "Private");
  EXPECT_EQ(privacy->toolTip(), "Who may see the uploaded photos");
  QComboBox* albums = widget<QComboBox>(velm->albumToolMenu);
  ASSERT_EQ(albums->count(), 3);
  EXPECT_EQ(albums->itemText(1), "Load my albums from Velm");
  std::vector<std::string> markers;
  for (QWidget* w : panel->findChildren<QWidget*>()) {
    QStringList texts = {w->toolTip()};
    if (auto* l = qobject_cast<QLabel*>(w)) texts << l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) texts << b->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) texts << g->title();
    if (auto* e = qobject_cast<QLineEdit*>(w)) texts << e->placeholderText();
    if (auto* c = qobject_cast<QComboBox*>(w))
      for (int i = 0; i < c->count(); ++i) texts << c->itemText(i);
    for (const QString& t : texts)
      if (t.contains("#")) markers.push_back(w->objectName().toStdString() + ": " + t.toStdString());
  }
  EXPECT_TRUE(markers.empty()) << markers.front();
}

TEST_F(Panel, NothingStoredGivesAnEmptyPanel) {
  Velm* velm = open();
  ASSERT_NE(velm, nullptr);
  EXPECT_EQ(text(velm->velmName->stringValue()), "");
  EXPECT_EQ(text(velm->velmPassword->stringValue()), "");
  EXPECT_EQ(velm->sizePopUp->indexOfSelectedItem(), 0);
  EXPECT_EQ(velm->privacyPopUp->indexOfSelectedItem(), 0);
  EXPECT_EQ(velm->mAccountName.get(), nullptr);
  EXPECT_EQ(velm->mAccountPwd.get(), nullptr);

  // A stored name without a keychain item leaves the password empty.
  object.reset();
  prefStoreString(kVelmAccountNamePrefsKey, CFSTR("bert"));
  velm = open();
  EXPECT_EQ(text(velm->velmName->stringValue()), "bert");
  EXPECT_EQ(text(velm->velmPassword->stringValue()), "");
}

TEST_F(Panel, SizeAndPrivacyTables) {
  Velm* velm = open();
  ASSERT_NE(velm, nullptr);
  const std::pair<NSInteger, SInt32> sizes[] = {{-1, 0}, {0, 0}, {1, 1600}, {2, 1200}, {3, 800}, {4, 640}};
  for (auto [index, pixels] : sizes) {
    velm->sizePopUp->selectItemAtIndex(index);
    velm->getTargetSize();
    EXPECT_EQ(velm->mSize, pixels) << index;
    EXPECT_EQ(storedNumber(kVelmPrivacySizeKey), index) << index;
  }
  const std::pair<NSInteger, SInt32> levels[] = {{0, 0}, {1, 500}, {2, 800}, {3, 1000}, {-1, 1000}};
  for (auto [index, level] : levels) {
    velm->privacyPopUp->selectItemAtIndex(index);
    velm->getPrivacyStatus();
    EXPECT_EQ(velm->mPrivacy, level) << index;
    EXPECT_EQ(storedNumber(kVelmPrivacyPrefsKey), index) << index;
  }
  // The stored "no selection" comes back as no selection.
  object.reset();
  velm = open();
  EXPECT_EQ(velm->sizePopUp->indexOfSelectedItem(), 4);
  EXPECT_EQ(velm->privacyPopUp->indexOfSelectedItem(), -1);
}

TEST_F(Panel, RememberBoxDecidesWhatIsStored) {
  Velm* velm = open();
  ASSERT_NE(velm, nullptr);
  velm->velmName->setStringValue(CFSTR("anna"));
  velm->velmPassword->setStringValue(CFSTR("first"));
  velm->useKeychainCheckbox->setState(NSOnState);
  velm->getNameAndPassword();
  EXPECT_EQ(storedKeychainPassword("anna"), "first");
  velm->velmPassword->setStringValue(CFSTR("second"));
  velm->getNameAndPassword();
  EXPECT_EQ(storedKeychainPassword("anna"), "second");
  EXPECT_EQ(runCommand("secret-tool search --all service 'Orbandel velm Password' account anna 2>/dev/null | grep -c '^\\[/'"),
            "1\n");

  // Box off: the new name is used for this export, nothing stored changes.
  velm->useKeychainCheckbox->setState(NSOffState);
  velm->velmName->setStringValue(CFSTR("bert"));
  velm->velmPassword->setStringValue(CFSTR("his"));
  velm->getNameAndPassword();
  EXPECT_EQ(text(velm->mAccountName), "bert");
  EXPECT_EQ(text(velm->mAccountPwd), "his");
  CFStringRef stored = nullptr;
  prefLoadString(kVelmAccountNamePrefsKey, &stored);
  CFRef<CFStringRef> held(stored);
  EXPECT_EQ(utf8(stored), "anna");
  EXPECT_EQ(storedKeychainPassword("bert"), "<none>");
  EXPECT_EQ(storedKeychainPassword("anna"), "second");
}

TEST_F(Panel, RememberBoxStartsOffAndNeverStoresAHalfAccount) {
  Velm* velm = open();
  ASSERT_NE(velm, nullptr);
  EXPECT_FALSE(velm->useKeychainCheckbox->state() == NSOnState);  // storing is the user's choice

  velm->velmName->setStringValue(CFSTR("anna"));
  velm->velmPassword->setStringValue(CFSTR("first"));
  velm->useKeychainCheckbox->setState(NSOnState);
  velm->getNameAndPassword();
  ASSERT_EQ(storedKeychainPassword("anna"), "first");

  // With the box on, an account missing its name or its password changes nothing stored.
  struct Case {
    CFStringRef name, password;
  } cases[] = {{CFSTR(""), CFSTR("pw")}, {CFSTR("bert"), CFSTR("")}, {CFSTR(""), CFSTR("")}};
  for (const auto& c : cases) {
    velm->velmName->setStringValue(c.name);
    velm->velmPassword->setStringValue(c.password);
    velm->getNameAndPassword();
    CFStringRef stored = nullptr;
    prefLoadString(kVelmAccountNamePrefsKey, &stored);
    CFRef<CFStringRef> held(stored);
    EXPECT_EQ(utf8(stored), "anna") << utf8(c.name) << "/" << utf8(c.password);
    EXPECT_EQ(storedKeychainPassword("anna"), "first");
    if (!utf8(c.name).empty()) EXPECT_EQ(storedKeychainPassword(utf8(c.name)), "<none>");
  }
}

TEST_F(Panel, AlbumNameOnlyWithTheAlbumBox) {
  Velm* velm = open();
  ASSERT_NE(velm, nullptr);
  velm->velmAlbumName->setStringValue(CFSTR("Summer 2008"));
  velm->createAlbumCheckbox->setState(NSOffState);
  velm->getAlbumName();
  EXPECT_EQ(velm->mAlbumName.get(), nullptr);
  velm->createAlbumCheckbox->setState(NSOnState);
  velm->getAlbumName();
  EXPECT_EQ(text(velm->mAlbumName), "Summer 2008");
}

TEST_F(Panel, ButtonsOpenTheirPages) {
  Velm* velm = open();
  ASSERT_NE(velm, nullptr);
  QWidget* panel = panelWidget(velm);
  for (const char* name : {"velmButton", "printfolioButton", "printfolioVideoButton", "orbandelButton"})
    panel->findChild<QPushButton*>(name)->click();
  const std::vector<std::string> expected = {"http://www.velm.com/", "http://www.velm.com/printfolio/",
                                             "http://www.velm.com/printfolio/video/", "http://www.orbandel.com/"};
  EXPECT_EQ(opened, expected);
}

TEST_F(Panel, AlbumMenuFromTheService) {
  velmtest::ServerProcess server;
  ASSERT_NE(server.port(), 0) << server.errorOutput();
  ASSERT_EQ(server.addUser("anna", "secret"), 0);
  velmtest::ScopedEnv service("VELM_SERVICE_URL", server.url().c_str());
  {
    VelmClient client;
    client.setName(CFSTR("anna"), CFSTR("secret"));
    for (CFStringRef album : {CFSTR("Summer 2008"), CFSTR("Trip to Köln"), CFSTR("Zoë")})
      ASSERT_EQ(client.createAlbumInVelmSync(album), 0);
  }

  Velm* velm = open();
  ASSERT_NE(velm, nullptr);
  velm->velmName->setStringValue(CFSTR("anna"));
  velm->velmPassword->setStringValue(CFSTR("secret"));
  velm->useKeychainCheckbox->setState(NSOffState);
  QComboBox* menu = widget<QComboBox>(velm->albumToolMenu);
  // Twice, as the user would, through the menu's "load" item.
  for (int round = 0; round < 2; ++round) emit menu->activated(1);
  std::vector<std::string> titles;
  for (int i = 0; i < menu->count(); ++i) titles.push_back(menu->itemText(i).toStdString());
  const std::vector<std::string> expected = {"Albums", "Load my albums from Velm", "", "Summer 2008", "Trip to Köln",
                                             "Zoë"};
  EXPECT_EQ(titles, expected);
  EXPECT_EQ(menu->currentIndex(), 0);  // the pull-down shows its title again

  // Choosing an album copies its title; the album box stays as it was.
  velm->createAlbumCheckbox->setState(NSOffState);
  emit menu->activated(4);
  EXPECT_EQ(text(velm->velmAlbumName->stringValue()), "Trip to Köln");
  EXPECT_EQ(velm->createAlbumCheckbox->state(), NSOffState);

  // A refused account leaves only the three fixed items.
  velm->velmPassword->setStringValue(CFSTR("wrong"));
  emit menu->activated(1);
  EXPECT_EQ(menu->count(), 3);
  EXPECT_EQ(server.stop(), 0);
}

// ---- Separate host processes: a restart, and the panel in German.

std::string host(const std::string& arguments, const std::string& environment = "") {
  int status = -1;
  std::string out = runCommand(environment + " '" VELM_PANEL_HOST "' " + arguments + " 2>/dev/null", &status);
  EXPECT_EQ(status, 0) << out;
  return out;
}

TEST_F(Panel, SettingsSurviveARestartOfTheHost) {
  std::string first = host("--type anna 'pa ss' 1 3 1", "LC_ALL=en_US.UTF-8");
  EXPECT_NE(first.find("mSize=1600\nmPrivacy=1000\n"), std::string::npos) << first;
  std::string second = host("", "LC_ALL=en_US.UTF-8");
  EXPECT_EQ(second,
            "name=anna\npassword=pa ss\nsize=1\nprivacy=3\nsizeItem=1600 pixels\naccountBox=Velm account\n"
            "mSize=0\nmPrivacy=0\n");
  EXPECT_EQ(storedKeychainPassword("anna"), "pa ss");
}

TEST_F(Panel, PanelInEnglishAndGerman) {
  // The host's own preferences (another program than this test): filled by a first run.
  host("--type anna s3cret 1 3 1", "LC_ALL=en_US.UTF-8");
  fs::path shots = velmtest::makeTempDir("shots");
  std::string en = host("--screenshot '" + (shots / "panel-en.png").string() + "'", "LC_ALL=en_US.UTF-8");
  std::string de = host("--screenshot '" + (shots / "panel-de.png").string() + "'", "LC_ALL=de_DE.UTF-8");
  EXPECT_NE(en.find("sizeItem=1600 pixels\naccountBox=Velm account\n"), std::string::npos) << en;
  EXPECT_NE(de.find("sizeItem=1600 Pixel\naccountBox=Velm-Konto\n"), std::string::npos) << de;
  for (const char* name : {"panel-en.png", "panel-de.png"}) {
    std::string png = velmtest::readFile(shots / name);
    ASSERT_GT(png.size(), 1000u) << name;
    EXPECT_EQ(png.substr(1, 3), "PNG");
    // Keep them for a look when asked to.
    if (const char* keep = getenv("VELM_SCREENSHOT_DIR")) fs::copy_file(shots / name, fs::path(keep) / name, fs::copy_options::overwrite_existing);
  }
}

}  // namespace
