// Bundles with localized string tables, and per-application preferences.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>
#include <filesystem>
#include <string>

#include "CoreFoundation.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using velmtest::makeTempDir;
using velmtest::readFile;
using velmtest::writeFile;

namespace {

std::string utf8(CFStringRef s) {
  if (!s) return "<null>";
  char buf[1024];
  return CFStringGetCString(s, buf, sizeof buf, kCFStringEncodingUTF8) ? buf : "<unconvertible>";
}

const char* kInfo = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>%ID%</string>
<key>CFBundleDevelopmentRegion</key><string>English</string>
</dict></plist>
)";

// A bundle folder with English (UTF-8, legacy folder name) and German (UTF-16) tables.
fs::path makeBundle(const std::string& id) {
  fs::path root = makeTempDir("bundle") / "Test.bundle";
  fs::create_directories(root / "Contents/Resources/English.lproj");
  fs::create_directories(root / "Contents/Resources/de.lproj");
  std::string info = kInfo;
  info.replace(info.find("%ID%"), 4, id);
  writeFile(root / "Contents/Info.plist", info);
  writeFile(root / "Contents/Resources/English.lproj/Localizable.strings",
            "/* English */\n\"greeting\" = \"Hello\";\n// a comment\n\"only.en\" = \"Only English\";\n"
            "\"escapes\" = \"tab\\there \\\"quoted\\\" \\U00e9\";\nbare = word;\n");
  std::u16string de = u"\uFEFF\"greeting\" = \"Hallo\";\n\"umlaut\" = \"Grüße\";\n";
  std::string bytes;
  for (char16_t c : de) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  writeFile(root / "Contents/Resources/de.lproj/Localizable.strings", bytes);
  writeFile(root / "Contents/Resources/de.lproj/Broken.strings", "\"unterminated = \"x\";");
  return root;
}

CFBundleRef openBundle(const fs::path& root) {
  std::string p = root.string();
  CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(p.data()),
                                                              static_cast<CFIndex>(p.size()), true));
  return CFBundleCreate(nullptr, url.get());
}

std::string lookup(CFBundleRef b, const char* key, CFStringRef value = nullptr, CFStringRef table = nullptr) {
  CFRef<CFStringRef> k(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
  CFRef<CFStringRef> text(CFBundleCopyLocalizedString(b, k.get(), value, table));
  return utf8(text.get());
}

class WithLanguage : public ::testing::Test {
 protected:
  void use(const char* lang, const char* language = nullptr) {
    setenv("LANG", lang, 1);
    language ? setenv("LANGUAGE", language, 1) : unsetenv("LANGUAGE");
  }
  void SetUp() override {
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
  }
  void TearDown() override {
    unsetenv("LANG");
    unsetenv("LANGUAGE");
  }
};

TEST_F(WithLanguage, GermanUserGetsGermanTextsAndDevelopmentRegionForTheRest) {
  use("de_DE.UTF-8");
  CFRef<CFBundleRef> b(openBundle(makeBundle("org.example.german")));
  ASSERT_TRUE(b);
  EXPECT_EQ(lookup(b.get(), "greeting"), "Hallo");
  EXPECT_EQ(lookup(b.get(), "umlaut"), "Gr\xC3\xBC\xC3\x9F" "e");
  EXPECT_EQ(lookup(b.get(), "only.en"), "Only English");
  EXPECT_EQ(lookup(b.get(), "missing"), "missing");
  EXPECT_EQ(lookup(b.get(), "missing", CFSTR("Default")), "Default");
  EXPECT_EQ(lookup(b.get(), "missing", CFSTR("")), "missing");
  CFRef<CFStringRef> inUse(CFBundleCopyLocalizationInUse(b.get()));
  EXPECT_EQ(utf8(inUse.get()), "de");
  EXPECT_EQ(CFBundleGetBundleWithIdentifier(CFSTR("org.example.german")), b.get());
}

TEST_F(WithLanguage, UnknownLanguageFallsBackToTheDevelopmentRegion) {
  use("fr_FR.UTF-8");
  CFRef<CFBundleRef> b(openBundle(makeBundle("org.example.french")));
  EXPECT_EQ(lookup(b.get(), "greeting"), "Hello");
  EXPECT_EQ(lookup(b.get(), "escapes"), "tab\there \"quoted\" \xC3\xA9");
  EXPECT_EQ(lookup(b.get(), "bare"), "word");
}

TEST_F(WithLanguage, LanguageListIsSearchedInOrder) {
  use("fr_FR.UTF-8", "fr:de_AT:en");
  CFRef<CFBundleRef> b(openBundle(makeBundle("org.example.list")));
  EXPECT_EQ(lookup(b.get(), "greeting"), "Hallo");
}

TEST_F(WithLanguage, MalformedTableIsTreatedAsEmpty) {
  use("de_DE.UTF-8");
  CFRef<CFBundleRef> b(openBundle(makeBundle("org.example.broken")));
  EXPECT_EQ(lookup(b.get(), "unterminated", nullptr, CFSTR("Broken")), "unterminated");
}

TEST(CFBundleMissing, NonexistentFolderGivesNoBundle) {
  EXPECT_EQ(openBundle("/nonexistent/Nothing.bundle"), nullptr);
}

// ---- Preferences

fs::path prefsFile(const std::string& app) {
  return fs::path(getenv("XDG_CONFIG_HOME")) / "preferences" / (app + ".plist");
}

TEST(CFPreferencesStore, ValuesPersistAtOnceAsXml) {
  CFStringRef app = CFSTR("org.example.persist");
  SInt32 v = 42;
  CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberSInt32Type, &v));
  CFPreferencesSetAppValue(CFSTR("Name"), CFSTR("anna"), app);
  CFPreferencesSetAppValue(CFSTR("Size"), n.get(), app);
  std::string file = readFile(prefsFile("org.example.persist"));
  EXPECT_NE(file.find("<key>Name</key>"), std::string::npos);
  EXPECT_NE(file.find("<string>anna</string>"), std::string::npos);
  CFRef<CFTypeRef> name(CFPreferencesCopyAppValue(CFSTR("Name"), app));
  EXPECT_TRUE(CFEqual(name.get(), CFSTR("anna")));
  CFRef<CFTypeRef> size(CFPreferencesCopyAppValue(CFSTR("Size"), app));
  EXPECT_TRUE(CFEqual(size.get(), n.get()));
  CFPreferencesSetAppValue(CFSTR("Name"), nullptr, app);
  EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Name"), app), nullptr);
  EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("Never"), app), nullptr);
  // Nothing is left behind but the file and its lock.
  for (const auto& e : fs::directory_iterator(prefsFile("org.example.persist").parent_path()))
    EXPECT_EQ(e.path().filename().string().find(".XXXXXX"), std::string::npos);
}

TEST(CFPreferencesStore, AnotherProcessesWriteIsSeen) {
  CFStringRef app = CFSTR("org.example.shared");
  CFPreferencesSetAppValue(CFSTR("A"), CFSTR("1"), app);
  // A second writer replaces the file, as a restarted host would.
  std::string xml =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>A</key><string>2</string></dict></plist>";
  fs::path tmp = prefsFile("org.example.shared").string() + ".new";
  writeFile(tmp, xml);
  fs::rename(tmp, prefsFile("org.example.shared"));
  CFRef<CFTypeRef> a(CFPreferencesCopyAppValue(CFSTR("A"), app));
  EXPECT_TRUE(CFEqual(a.get(), CFSTR("2")));
}

TEST(CFPreferencesStore, UnreadableFileIsSetAsideAndTreatedAsEmpty) {
  fs::path file = prefsFile("org.example.corrupt");
  fs::create_directories(file.parent_path());
  writeFile(file, "<plist><dict><key>half");
  EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("half"), CFSTR("org.example.corrupt")), nullptr);
  bool setAside = false;
  for (const auto& e : fs::directory_iterator(file.parent_path()))
    if (e.path().filename().string().rfind("org.example.corrupt.plist.unreadable-", 0) == 0) {
      setAside = true;
      EXPECT_EQ(readFile(e.path()), "<plist><dict><key>half");
    }
  EXPECT_TRUE(setAside);
  CFPreferencesSetAppValue(CFSTR("k"), CFSTR("v"), CFSTR("org.example.corrupt"));
  CFRef<CFTypeRef> v(CFPreferencesCopyAppValue(CFSTR("k"), CFSTR("org.example.corrupt")));
  EXPECT_TRUE(CFEqual(v.get(), CFSTR("v")));
}

TEST(CFPreferencesStore, OneBadValueIsDroppedAndTheRestKept) {
  // Another program wrote the shared file: one text is not UTF-8, another holds a NUL.
  fs::path file = prefsFile("org.example.onebad");
  fs::create_directories(file.parent_path());
  const char raw[] =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      "<key>Name</key><string>anna</string>"
      "<key>Latin1</key><string>Gr\xFC\xDF</string>"
      "<key>Size</key><integer>800</integer>"
      "<key>Nul</key><string>a\0b</string>"
      "<key>List</key><array><string>ok</string><string>\xFF</string></array>"
      "</dict></plist>";
  const std::string xml(raw, sizeof raw - 1);
  writeFile(file, xml);
  CFStringRef app = CFSTR("org.example.onebad");
  testing::internal::CaptureStderr();
  CFRef<CFTypeRef> name(CFPreferencesCopyAppValue(CFSTR("Name"), app));
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(CFEqual(name.get(), CFSTR("anna")));
  CFRef<CFTypeRef> size(CFPreferencesCopyAppValue(CFSTR("Size"), app));
  SInt32 v = 0;
  ASSERT_TRUE(size);
  CFNumberGetValue(static_cast<CFNumberRef>(size.get()), kCFNumberSInt32Type, &v);
  EXPECT_EQ(v, 800);
  for (CFStringRef bad : {CFSTR("Latin1"), CFSTR("Nul"), CFSTR("List")})
    EXPECT_EQ(CFPreferencesCopyAppValue(bad, app), nullptr) << utf8(bad);
  for (const char* key : {"\"Latin1\"", "\"Nul\"", "\"List\""}) EXPECT_NE(log.find(key), std::string::npos) << log;
  EXPECT_EQ(log.find("\"Name\""), std::string::npos) << log;
  // Nothing was set aside: the file is still there, as it was.
  EXPECT_EQ(readFile(file), xml);
  for (const auto& e : fs::directory_iterator(file.parent_path()))
    EXPECT_EQ(e.path().filename().string().find("onebad.plist.unreadable"), std::string::npos);
}

// Uses up every file descriptor the process may have, for the life of the object.
class NoFreeDescriptors {
 public:
  NoFreeDescriptors() {
    getrlimit(RLIMIT_NOFILE, &old_);
    struct rlimit low = old_;
    low.rlim_cur = std::min<rlim_t>(old_.rlim_cur, 256);
    setrlimit(RLIMIT_NOFILE, &low);
    for (;;) {
      int fd = dup(2);
      if (fd < 0) break;
      fds_.push_back(fd);
    }
  }
  ~NoFreeDescriptors() {
    for (int fd : fds_) close(fd);
    setrlimit(RLIMIT_NOFILE, &old_);
  }

 private:
  struct rlimit old_ {};
  std::vector<int> fds_;
};

TEST(CFPreferencesStore, FileThatCannotBeOpenedJustNowIsNeverSetAside) {
  CFStringRef app = CFSTR("org.example.emfile");
  fs::path file = prefsFile("org.example.emfile");
  CFPreferencesSetAppValue(CFSTR("A"), CFSTR("1"), app);
  // Another process changes the file; this one then cannot open it for a moment.
  std::string xml =
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>A</key><string>2</string>"
      "<key>B</key><string>3</string></dict></plist>";
  writeFile(file.string() + ".new", xml);
  fs::rename(file.string() + ".new", file);
  CFRef<CFTypeRef> during;
  {
    NoFreeDescriptors exhausted;
    during.reset(CFPreferencesCopyAppValue(CFSTR("A"), app));
    CFPreferencesSetAppValue(CFSTR("C"), CFSTR("4"), app);  // refused: it could not see B
  }
  EXPECT_TRUE(CFEqual(during.get(), CFSTR("1")));  // the values last read
  EXPECT_EQ(readFile(file), xml);
  for (const auto& e : fs::directory_iterator(file.parent_path()))
    EXPECT_EQ(e.path().filename().string().find("emfile.plist.unreadable"), std::string::npos);
  // Once descriptors are free again the file reads as written.
  CFRef<CFTypeRef> a(CFPreferencesCopyAppValue(CFSTR("A"), app));
  CFRef<CFTypeRef> b(CFPreferencesCopyAppValue(CFSTR("B"), app));
  EXPECT_TRUE(CFEqual(a.get(), CFSTR("2")));
  EXPECT_TRUE(CFEqual(b.get(), CFSTR("3")));
  EXPECT_EQ(CFPreferencesCopyAppValue(CFSTR("C"), app), nullptr);
}

TEST(CFPreferencesStore, CurrentApplicationIsTheProgramWithoutBundleIdentifier) {
  CFPreferencesSetAppValue(CFSTR("k"), CFSTR("v"), kCFPreferencesCurrentApplication);
  CFStringRef id = CFBundleGetIdentifier(CFBundleGetMainBundle());
  std::string name = id ? utf8(id) : fs::read_symlink("/proc/self/exe").filename().string();
  EXPECT_TRUE(fs::exists(prefsFile(name)));
}

TEST(CFPreferencesStore, ApplicationNamesCannotLeaveTheFolder) {
  CFPreferencesSetAppValue(CFSTR("k"), CFSTR("v"), CFSTR("../escape"));
  EXPECT_FALSE(fs::exists(fs::path(getenv("XDG_CONFIG_HOME")) / "escape.plist"));
  CFRef<CFTypeRef> v(CFPreferencesCopyAppValue(CFSTR("k"), CFSTR("../escape")));
  EXPECT_TRUE(CFEqual(v.get(), CFSTR("v")));
}

}  // namespace
