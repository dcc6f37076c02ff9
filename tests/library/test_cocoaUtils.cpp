// Translation of marked interface texts: single texts and view trees (with views made here,
// no toolkit involved); image conversions, autorelease pools and the Cocoa set-up; ZIP archives
// read back by independent readers (unzip, Python's zipfile).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QBuffer>
#include <QColor>
#include <QImage>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "AppKitQt.h"
#include "CFTestSupport.h"
#include "NSAutoreleasePool.h"
#include "NSImage.h"
#include "RZMCoreFunctions.h"
#include "TestSupport.h"
#include "cocoaUtils.h"

namespace fs = std::filesystem;
using velmtest::utf8;

namespace {

CFStringRef text(const std::string& s) { return CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8); }
CFRef<CFStringRef> held(const std::string& s) { return CFRef<CFStringRef>(text(s)); }

// Opens a bundle with numbered texts in tables 1100 and 1001 and makes it the string bundle.
void useStringBundle() {
  static bool done = false;
  if (done) return;
  done = true;
  fs::path root = velmtest::makeTempDir("bundle") / "Texts.bundle";
  fs::create_directories(root / "Contents/Resources/en.lproj");
  velmtest::writeFile(root / "Contents/Info.plist",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                      "<key>CFBundleIdentifier</key><string>test.cocoaUtils</string></dict></plist>");
  velmtest::writeFile(root / "Contents/Resources/en.lproj/Localizable.strings",
                      "\"STR#1100:12\" = \"Twelve of 1100\";\n\"STR#1001:12\" = \"Twelve of 1001\";\n"
                      "\"STR#1100:3\" = \"Three\";\n");
  std::string p = root.string();
  CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(p.data()),
                                                              static_cast<CFIndex>(p.size()), true));
  CFRelease(CFBundleCreate(nullptr, url.get()));  // the bundle stays registered
  ASSERT_NE(initStringBundle(CFSTR("test.cocoaUtils")), nullptr);
}

std::string translate(const std::string& s) {
  CFRef<CFStringRef> in = held(s);
  CFRef<CFStringRef> out(cocoaUtils::translateADialogString(in.get()));
  return utf8(out.get());
}

TEST(TranslateADialogString, MarkersAndNonMarkers) {
  useStringBundle();
  const std::pair<const char*, const char*> cases[] = {
      {"##12", "Twelve of 1100"},
      {"+#12", "Twelve of 1001"},
      {"## 12", "Twelve of 1100"},          // blanks before the number are skipped
      {"##12 apples", "Twelve of 1100"},    // the number ends at the first other character
      {"##+3", "Three"},
      {"##77", "STR#1100:77"},              // no entry: the key itself
      {"##-4", "STR#1100:-4"},
      {"##65548", "Twelve of 1100"},        // the index is cut to 16 bits: 65548 is 12
      {"##", "##"},
      {"+#", "+#"},
      {"#", "#"},
      {"", ""},
      {"##0", "##0"},
      {"##abc", "##abc"},
      {"#+12", "#+12"},
      {" ##12", " ##12"},
      {"x#12", "x#12"},
      {"++12", "++12"},
      {"Plain title", "Plain title"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(translate(in), out) << in;
  EXPECT_EQ(cocoaUtils::translateADialogString(nullptr), nullptr);
}

// ---- Views made for the test.

struct Log {
  std::vector<std::string> calls;
};

class TestView : public NSView {
 public:
  explicit TestView(Log* log, std::string name) : log_(log), name_(std::move(name)) {}
  CFRef<CFStringRef> toolTip() const override { return tip_; }
  void setToolTip(CFStringRef t) override {
    record("setToolTip", t);
    tip_ = CFRef<CFStringRef>::retain(t);
    if (onToolTip) onToolTip();
  }
  std::vector<NSView*> subviews() const override {
    std::vector<NSView*> out;
    for (const auto& v : children) out.push_back(v.get());
    return out;
  }
  template <typename V>
  V* add(std::unique_ptr<V> v) {
    V* raw = v.get();
    children.push_back(std::move(v));
    return raw;
  }
  void record(const char* what, CFStringRef value) const { log_->calls.push_back(name_ + "." + what + "=" + utf8(value)); }

  CFRef<CFStringRef> tip_;
  std::vector<std::unique_ptr<NSView>> children;
  std::function<void()> onToolTip;

 protected:
  Log* log_;
  std::string name_;
};

// Shared parts of the controls below.
#define TEST_VIEW_PARTS                                                                      \
  CFRef<CFStringRef> toolTip() const override { return view.toolTip(); }                     \
  void setToolTip(CFStringRef t) override { view.setToolTip(t); }                            \
  std::vector<NSView*> subviews() const override { return view.subviews(); }                \
  CFRef<CFStringRef> stringValue() const override { return value; }                          \
  void setStringValue(CFStringRef v) override {                                             \
    view.record("setStringValue", v);                                                        \
    value = CFRef<CFStringRef>::retain(v);                                                   \
  }                                                                                          \
  TestView view;                                                                             \
  CFRef<CFStringRef> value;

class TestControl : public NSControl {
 public:
  TestControl(Log* log, std::string name) : view(log, std::move(name)) {}
  TEST_VIEW_PARTS
};

class TestButton : public NSButton {
 public:
  TestButton(Log* log, std::string name) : view(log, std::move(name)) {}
  TEST_VIEW_PARTS
  CFRef<CFStringRef> title() const override { return titleText; }
  void setTitle(CFStringRef t) override {
    if (refuseTitle) throw std::runtime_error("refused");
    view.record("setTitle", t);
    titleText = CFRef<CFStringRef>::retain(t);
  }
  NSInteger state() const override { return NSOffState; }
  void setState(NSInteger) override {}
  CFRef<CFStringRef> titleText;
  bool refuseTitle = false;
};

class TestPopUp : public NSPopUpButton {
 public:
  TestPopUp(Log* log, std::string name) : view(log, std::move(name)) {}
  TEST_VIEW_PARTS
  CFRef<CFStringRef> title() const override { return value; }
  void setTitle(CFStringRef t) override { view.record("setTitle", t); }
  NSInteger state() const override { return NSOffState; }
  void setState(NSInteger) override {}
  NSMenu* menu() const override { return menuObject.get(); }
  NSInteger indexOfSelectedItem() const override { return 0; }
  void selectItemAtIndex(NSInteger) override {}
  std::unique_ptr<NSMenu> menuObject;
};

class TestTextField : public NSTextField {
 public:
  TestTextField(Log* log, std::string name) : view(log, std::move(name)) {}
  TEST_VIEW_PARTS
  CFRef<CFStringRef> placeholderString() const override { return placeholder; }
  void setPlaceholderString(CFStringRef p) override {
    if (refusePlaceholder) throw std::runtime_error("refused");
    view.record("setPlaceholderString", p);
    placeholder = CFRef<CFStringRef>::retain(p);
  }
  CFRef<CFStringRef> placeholder;
  bool refusePlaceholder = false;
};

class TestBox : public NSBox {
 public:
  TestBox(Log* log, std::string name) : view(log, std::move(name)) {}
  CFRef<CFStringRef> toolTip() const override { return view.toolTip(); }
  void setToolTip(CFStringRef t) override { view.setToolTip(t); }
  std::vector<NSView*> subviews() const override { return view.subviews(); }
  CFRef<CFStringRef> title() const override { return titleText; }
  void setTitle(CFStringRef t) override {
    view.record("setTitle", t);
    titleText = CFRef<CFStringRef>::retain(t);
  }
  TestView view;
  CFRef<CFStringRef> titleText;
};

TEST(TranslateOneView, PopUpItemsButNeverThePopUpsOwnValue) {
  useStringBundle();
  Log log;
  TestPopUp popUp(&log, "popUp");
  popUp.value = held("##12");
  popUp.menuObject = std::make_unique<NSMenu>();
  popUp.menuObject->addItemWithTitle(CFSTR("##12"), nullptr, "");
  popUp.menuObject->addItem(NSMenuItem::separatorItem());
  popUp.menuObject->addItemWithTitle(CFSTR("+#12"), nullptr, "");
  popUp.menuObject->addItemWithTitle(CFSTR("Plain"), nullptr, "");
  cocoaUtils::translateOneView(&popUp);

  EXPECT_EQ(utf8(popUp.menuObject->itemAtIndex(0)->title().get()), "Twelve of 1100");
  EXPECT_EQ(utf8(popUp.menuObject->itemAtIndex(1)->title().get()), "");
  EXPECT_EQ(utf8(popUp.menuObject->itemAtIndex(2)->title().get()), "Twelve of 1001");
  EXPECT_EQ(utf8(popUp.menuObject->itemAtIndex(3)->title().get()), "Plain");
  EXPECT_EQ(utf8(popUp.value.get()), "##12");
  EXPECT_TRUE(log.calls.empty()) << log.calls.front();  // neither title nor value of the pop-up itself

  // Without a menu the pop-up still counts as handled: its value stays untouched.
  TestPopUp bare(&log, "bare");
  bare.value = held("##12");
  cocoaUtils::translateOneView(&bare);
  EXPECT_TRUE(log.calls.empty());
}

TEST(TranslateOneView, ButtonsBoxesFieldsAndControls) {
  useStringBundle();
  Log log;
  TestView root(&log, "root");
  root.tip_ = held("+#12");

  auto* box = root.add(std::make_unique<TestBox>(&log, "box"));
  box->titleText = held("##3");
  auto* inBox = box->view.add(std::make_unique<TestButton>(&log, "inBox"));
  inBox->titleText = held("##12");

  auto* untitled = root.add(std::make_unique<TestButton>(&log, "untitled"));
  untitled->value = held("##3");  // empty title: the control rule translates the value

  auto* refusing = root.add(std::make_unique<TestButton>(&log, "refusing"));
  refusing->titleText = held("##12");
  refusing->refuseTitle = true;  // the title setter fails: the value is tried next
  refusing->value = held("+#12");

  auto* field = root.add(std::make_unique<TestTextField>(&log, "field"));
  field->placeholder = held("##3");
  field->value = held("##12");

  auto* stubborn = root.add(std::make_unique<TestTextField>(&log, "stubborn"));
  stubborn->placeholder = held("##3");
  stubborn->refusePlaceholder = true;
  stubborn->value = held("+#12");

  auto* label = root.add(std::make_unique<TestControl>(&log, "label"));
  label->value = held("Unmarked");

  cocoaUtils::translateOneView(&root);

  const std::vector<std::string> expected = {
      "root.setToolTip=Twelve of 1001",
      "box.setTitle=Three",
      "inBox.setTitle=Twelve of 1100",
      "untitled.setStringValue=Three",
      "refusing.setStringValue=Twelve of 1001",
      "field.setPlaceholderString=Three",
      "field.setStringValue=Twelve of 1100",
      "stubborn.setStringValue=Twelve of 1001",
      "label.setStringValue=Unmarked",  // texts without marker are set back unchanged
  };
  EXPECT_EQ(log.calls, expected);
}

TEST(TranslateOneView, SubviewsAreCountedAgainBeforeEachStep) {
  useStringBundle();
  Log log;
  TestView root(&log, "root");
  auto* first = root.add(std::make_unique<TestView>(&log, "first"));
  root.add(std::make_unique<TestView>(&log, "second"))->tip_ = held("##3");
  first->tip_ = held("##12");
  // Translating the first view removes the second one from the tree.
  first->onToolTip = [&] { root.children.pop_back(); };
  cocoaUtils::translateOneView(&root);
  EXPECT_EQ(log.calls, std::vector<std::string>{"first.setToolTip=Twelve of 1100"});
}

TEST(TranslateOneView, WindowsAndNothing) {
  useStringBundle();
  Log log;
  struct TestWindow : NSWindow {
    NSView* contentView() const override { return content; }
    NSView* content = nullptr;
  } window;
  TestView content(&log, "content");
  content.tip_ = held("##3");
  window.content = &content;
  cocoaUtils::translateWindow(&window);
  EXPECT_EQ(log.calls, std::vector<std::string>{"content.setToolTip=Three"});
  cocoaUtils::translateOneView(nullptr);
  cocoaUtils::translateWindow(nullptr);
}

// ---- Images

// An image whose every pixel differs from its neighbours, so that a swapped, flipped or shifted
// copy cannot pass for it.
QImage patternImage(int width, int height) {
  QImage image(width, height, QImage::Format_RGBA8888);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) image.setPixelColor(x, y, QColor(x * 30 % 256, y * 40 % 256, (x + y) * 17 % 256, 255));
  image.setPixelColor(0, 0, QColor(0, 0, 0, 0));  // one fully transparent pixel
  return image;
}

// A CGImageRef decoded by the image layer from a PNG of the image.
CGImageRef cgImageOf(const QImage& image) {
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  EXPECT_TRUE(image.save(&buffer, "PNG"));
  CFRef<CFDataRef> data(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(buffer.data().constData()),
                                     static_cast<CFIndex>(buffer.data().size())));
  CFRef<CGImageSourceRef> source(CGImageSourceCreateWithData(data.get(), nullptr));
  return source ? CGImageSourceCreateImageAtIndex(source.get(), 0, nullptr) : nullptr;
}

std::vector<UInt8> rgbaOf(CGImageRef image) {
  CFRef<CFDataRef> data(CGImageCreateRGBA8Data(image));
  if (!data) return {};
  return std::vector<UInt8>(CFDataGetBytePtr(data.get()), CFDataGetBytePtr(data.get()) + CFDataGetLength(data.get()));
}

std::vector<UInt8> rgbaOf(const QImage& image) {
  QImage straight = image.convertToFormat(QImage::Format_RGBA8888);
  std::vector<UInt8> out;
  for (int y = 0; y < straight.height(); ++y)
    out.insert(out.end(), straight.constScanLine(y), straight.constScanLine(y) + straight.width() * 4);
  return out;
}

class CocoaImages : public ::testing::Test {
 protected:
  void SetUp() override { cocoaUtilsLaunch(); }
  void TearDown() override { cocoaUtilsQuit(); }
};

TEST_F(CocoaImages, CGImageToNSImageAndBackKeepsSizeAndPixels) {
  for (auto [w, h] : {std::pair{7, 5}, std::pair{1, 1}, std::pair{3, 12}}) {
    QImage pattern = patternImage(w, h);
    CFRef<CGImageRef> original(cgImageOf(pattern));
    ASSERT_TRUE(original);
    NSImage* image = cocoaUtils::convertCGImageRefToNSImage(original.get());
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->size().width, w);
    EXPECT_EQ(image->size().height, h);
    EXPECT_EQ(image->retainCount(), 1);  // the pool's reference only
    EXPECT_EQ(rgbaOf(NSImageGetQImage(image)), rgbaOf(pattern)) << w << "x" << h;  // drawn upright
    CFRef<CGImageRef> back(cocoaUtils::cuConvertNSImageToCGImageRef(image));
    ASSERT_TRUE(back);
    EXPECT_EQ(CGImageGetWidth(back.get()), static_cast<size_t>(w));
    EXPECT_EQ(CGImageGetHeight(back.get()), static_cast<size_t>(h));
    EXPECT_EQ(rgbaOf(back.get()), rgbaOf(original.get())) << w << "x" << h;
    EXPECT_EQ(rgbaOf(back.get()), rgbaOf(pattern)) << w << "x" << h;
  }
}

TEST_F(CocoaImages, NothingToConvertGivesNull) {
  EXPECT_EQ(cocoaUtils::convertCGImageRefToNSImage(nullptr), nullptr);  // a zero size cannot be drawn into
  EXPECT_EQ(cocoaUtils::cuConvertNSImageToCGImageRef(nullptr), nullptr);
  NSImage* empty = new NSImage(NSMakeSize(0, 0));
  EXPECT_EQ(cocoaUtils::cuConvertNSImageToCGImageRef(empty), nullptr);
  EXPECT_THROW(empty->lockFocus(), std::runtime_error);
  empty->release();
  // An image too large to have pixels fails to lock focus rather than taking the memory.
  NSImage huge(NSMakeSize(1e6, 1e6));
  EXPECT_THROW(huge.lockFocus(), std::runtime_error);
  EXPECT_THROW(huge.unlockFocus(), std::runtime_error);
  for (auto [lat, lon] : {std::pair{0.0, 0.0}, std::pair{48.1, 11.6}, std::pair{-90.0, 180.0}})
    EXPECT_EQ(cocoaUtils::earthMapImage(lat, lon), nullptr);
}

// ---- Autorelease pools and the Cocoa set-up

struct Tracked : NSObject {
  explicit Tracked(std::vector<std::string>* log, std::string name) : log_(log), name_(std::move(name)) {}
  ~Tracked() override { log_->push_back(name_); }
  std::vector<std::string>* log_;
  std::string name_;
};

TEST(AutoreleasePools, ReleaseWhatWasAutoreleasedIntoThem) {
  std::vector<std::string> gone;
  auto* outer = new NSAutoreleasePool();
  (new Tracked(&gone, "a"))->autorelease();
  auto* twice = new Tracked(&gone, "twice");
  twice->retain();
  twice->autorelease();
  twice->autorelease();
  auto* inner = new NSAutoreleasePool();
  (new Tracked(&gone, "b"))->autorelease();
  EXPECT_EQ(NSAutoreleasePool::innermostPoolCount(), 1u);
  inner->release();
  EXPECT_EQ(gone, std::vector<std::string>{"b"});
  auto* kept = new Tracked(&gone, "kept");
  kept->retain();
  kept->autorelease();
  // An inner pool left over is released with its outer one, first.
  new NSAutoreleasePool();
  (new Tracked(&gone, "c"))->autorelease();
  outer->release();
  EXPECT_EQ(gone, (std::vector<std::string>{"b", "c", "a", "twice"}));
  EXPECT_EQ(kept->retainCount(), 1);
  kept->release();
  EXPECT_EQ(gone.back(), "kept");
  EXPECT_EQ(NSAutoreleasePool::innermostPoolCount(), 0u);
}

TEST(AutoreleasePools, EachThreadHasItsOwn) {
  std::vector<std::string> gone;
  auto* mine = new NSAutoreleasePool();
  std::thread other([&] {
    auto* theirs = new NSAutoreleasePool();
    (new Tracked(&gone, "theirs"))->autorelease();
    theirs->release();
  });
  other.join();
  EXPECT_EQ(gone, std::vector<std::string>{"theirs"});
  EXPECT_EQ(NSAutoreleasePool::innermostPoolCount(), 0u);
  mine->release();
}

TEST(CocoaSetUp, LaunchAndQuitComeInPairs) {
  EXPECT_EQ(pool, nullptr);
  std::vector<std::string> gone;
  cocoaUtilsLaunch();
  ASSERT_NE(pool, nullptr);
  EXPECT_NE(qobject_cast<QApplication*>(QCoreApplication::instance()), nullptr);
  (new Tracked(&gone, "first"))->autorelease();
  cocoaUtilsQuit();
  EXPECT_EQ(pool, nullptr);
  EXPECT_EQ(gone, std::vector<std::string>{"first"});
  // A second pair works the same; the application made by the first stays.
  QCoreApplication* app = QCoreApplication::instance();
  cocoaUtilsLaunch();
  EXPECT_EQ(QCoreApplication::instance(), app);
  (new Tracked(&gone, "second"))->autorelease();
  cocoaUtilsQuit();
  EXPECT_EQ(gone, (std::vector<std::string>{"first", "second"}));
  cocoaUtilsQuit();  // one too many does nothing
}

// ---- ZIP archives

std::string zipListing(const fs::path& zip) {
  // name, kind and bytes (hex) of each entry, in the archive's order, as Python's zipfile reads them.
  const char* script =
      "import sys, zipfile, stat\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "for i in z.infolist():\n"
      "    mode = i.external_attr >> 16\n"
      "    kind = 'link' if stat.S_ISLNK(mode) else ('dir' if i.is_dir() else 'file')\n"
      "    print(i.filename, kind, z.read(i).hex())\n";
  fs::path py = velmtest::makeTempDir("py") / "list.py";
  velmtest::writeFile(py, script);
  int status = -1;
  std::string out = velmtest::runCommand("python3 " + py.string() + " '" + zip.string() + "'", &status);
  EXPECT_EQ(status, 0) << out;
  return out;
}

bool unzipTestPasses(const fs::path& zip) {
  int status = -1;
  std::string out = velmtest::runCommand("unzip -t '" + zip.string() + "' 2>&1", &status);
  EXPECT_NE(out.find("No errors detected"), std::string::npos) << out;
  return status == 0;
}

std::string hex(const std::string& s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

SInt32 compress(const fs::path& source, const fs::path& target, bool deleteOriginal) {
  return cocoaUtils::compressToZIPFile(held(source.string()).get(), held(target.string()).get(), deleteOriginal);
}

TEST(CompressToZIPFile, FileWithItsSidecar) {
  fs::path dir = velmtest::makeTempDir("zip");
  const std::string photo("\xFF\xD8 photo \0 bytes", 16), finder("\0\5\26\7 AppleDouble", 16);
  velmtest::writeFile(dir / "photo.jpg", photo);
  velmtest::writeFile(dir / "._photo.jpg", finder);
  velmtest::writeFile(dir / "other.txt", "not archived");
  velmtest::writeFile(dir / "out.zip", "an older archive");
  EXPECT_EQ(compress(dir / "photo.jpg", dir / "out.zip", false), 0);
  EXPECT_TRUE(unzipTestPasses(dir / "out.zip"));
  EXPECT_EQ(zipListing(dir / "out.zip"), "photo.jpg file " + hex(photo) + "\n._photo.jpg file " + hex(finder) + "\n");
  EXPECT_TRUE(fs::exists(dir / "photo.jpg"));
  // With the deletion flag the file goes, with its sidecar.
  EXPECT_EQ(compress(dir / "photo.jpg", dir / "again.zip", true), 0);
  EXPECT_EQ(zipListing(dir / "again.zip"), zipListing(dir / "out.zip"));
  EXPECT_FALSE(fs::exists(dir / "photo.jpg"));
  EXPECT_FALSE(fs::exists(dir / "._photo.jpg"));
  EXPECT_TRUE(fs::exists(dir / "other.txt"));
  // Nothing temporary is left beside the targets.
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(dir)) left.insert(e.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"other.txt", "out.zip", "again.zip"}));
}

TEST(CompressToZIPFile, FolderContentsUnderTheirRelativePaths) {
  fs::path dir = velmtest::makeTempDir("zip");
  fs::path src = dir / "Album";
  fs::create_directories(src / "sub/deeper");
  velmtest::writeFile(src / "b.txt", "bee");
  velmtest::writeFile(src / "._b.txt", "sidecar of b");
  velmtest::writeFile(src / "a.txt", "ay");
  velmtest::writeFile(src / "sub/c.txt", "sea \xC3\xA9");
  velmtest::writeFile(src / "sub/deeper/d.bin", std::string("\0\1\2", 3));
  velmtest::writeFile(src / "sub/._orphan", "no item of this name");
  fs::create_symlink("../a.txt", src / "sub/link");
  // The archive may be written into the folder it archives: it is never an entry of itself.
  EXPECT_EQ(compress(src, src / "self.zip", false), 0);
  EXPECT_TRUE(unzipTestPasses(src / "self.zip"));
  const std::string expected = "a.txt file " + hex("ay") + "\nb.txt file " + hex("bee") + "\n._b.txt file " +
                               hex("sidecar of b") + "\nsub/ dir \nsub/._orphan file " + hex("no item of this name") +
                               "\nsub/c.txt file " + hex("sea \xC3\xA9") + "\nsub/deeper/ dir \nsub/deeper/d.bin file " +
                               hex(std::string("\0\1\2", 3)) + "\nsub/link link " + hex("../a.txt") + "\n";
  EXPECT_EQ(zipListing(src / "self.zip"), expected);
  fs::remove(src / "self.zip");
  // With the deletion flag the whole folder goes; the link's target outside it stays.
  velmtest::writeFile(dir / "outside.txt", "stays");
  fs::create_symlink(dir / "outside.txt", src / "out-link");
  EXPECT_EQ(compress(src, dir / "album.zip", true), 0);
  EXPECT_FALSE(fs::exists(src));
  EXPECT_EQ(velmtest::readFile(dir / "outside.txt"), "stays");
  EXPECT_NE(zipListing(dir / "album.zip").find("out-link link " + hex((dir / "outside.txt").string())),
            std::string::npos);
}

TEST(CompressToZIPFile, FailureKeepsTheSourceAndTheOldTarget) {
  fs::path dir = velmtest::makeTempDir("zip");
  velmtest::writeFile(dir / "photo.jpg", "photo");
  velmtest::writeFile(dir / "plain-file", "x");
  fs::create_directories(dir / "folder");
  fs::create_directories(dir / "odd");
  velmtest::writeFile(dir / "odd/a.txt", "a");
  ASSERT_EQ(mkfifo((dir / "odd/pipe").c_str(), 0600), 0);
  velmtest::writeFile(dir / "old.zip", "the old archive");
  struct Case {
    const char* what;
    fs::path source, target;
  } cases[] = {
      {"target under a file", dir / "photo.jpg", dir / "plain-file/out.zip"},
      {"target folder missing", dir / "photo.jpg", dir / "missing/out.zip"},
      {"target is a folder", dir / "photo.jpg", dir / "folder"},
      {"source missing", dir / "gone.jpg", dir / "old.zip"},
      {"special file inside", dir / "odd", dir / "old.zip"},
  };
  for (const auto& c : cases) {
    EXPECT_NE(compress(c.source, c.target, true), 0) << c.what;
    EXPECT_EQ(velmtest::readFile(dir / "photo.jpg"), "photo") << c.what;
    EXPECT_TRUE(fs::exists(dir / "odd/a.txt")) << c.what;
    EXPECT_EQ(velmtest::readFile(dir / "old.zip"), "the old archive") << c.what;
  }
  EXPECT_TRUE(fs::is_empty(dir / "folder"));
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(dir)) left.insert(e.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"photo.jpg", "plain-file", "folder", "odd", "old.zip"}));
  EXPECT_NE(cocoaUtils::compressToZIPFile(nullptr, held((dir / "x.zip").string()).get(), true), 0);
}

}  // namespace

// ---- Paths and text files ----------------------------------------------------------------------

namespace {

std::string utf8Of(CFStringRef s) {
  if (!s) return "<null>";
  char buffer[4096];
  return CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "<unconvertible>";
}

CFRef<CFStringRef> cfPath(const fs::path& p) {
  return CFRef<CFStringRef>(CFStringCreateWithCString(nullptr, p.c_str(), kCFStringEncodingUTF8));
}

TEST(CocoaPaths, PathOfAReferenceOrNull) {
  fs::path dir = fs::canonical(velmtest::makeTempDir("cupath"));
  velmtest::writeFile(dir / "b\xC3\xA4r.txt", "x");
  FSRef ref{};
  ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>((dir / "b\xC3\xA4r.txt").c_str()), &ref, nullptr));
  CFRef<CFStringRef> path(cocoaUtils::cuGetPathFromFSRef(&ref));
  EXPECT_EQ((dir / "b\xC3\xA4r.txt").string(), utf8Of(path.get()));

  // A path that does not fit the 2048-byte buffer, and a vanished item.
  fs::path deep = dir;
  while (deep.string().size() < 2100) deep /= std::string(200, 'd');
  fs::create_directories(deep);
  FSRef deepRef{};
  ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(deep.c_str()), &deepRef, nullptr));
  EXPECT_EQ(nullptr, CFRef<CFStringRef>(cocoaUtils::cuGetPathFromFSRef(&deepRef)).get());
  fs::remove(dir / "b\xC3\xA4r.txt");
  EXPECT_EQ(nullptr, CFRef<CFStringRef>(cocoaUtils::cuGetPathFromFSRef(&ref)).get());
  FSRef zero{};
  EXPECT_EQ(nullptr, CFRef<CFStringRef>(cocoaUtils::cuGetPathFromFSRef(&zero)).get());
}

TEST(CocoaPaths, CreateAndOpenTextFileStartsEmptyAndNeverFollowsALink) {
  fs::path dir = fs::canonical(velmtest::makeTempDir("cutext"));
  velmtest::writeFile(dir / "old.txt", std::string(100, 'o'));
  SInt16 refNum = 0;
  ASSERT_EQ(noErr, cuCreateAndOpenTextFile(cfPath(dir / "old.txt").get(), &refNum));
  SInt64 size = -1;
  EXPECT_EQ(noErr, FSGetForkSize(refNum, &size));
  EXPECT_EQ(0, size);
  EXPECT_EQ(noErr, FSWriteFork(refNum, fsFromStart, 0, 3, "new", nullptr));
  EXPECT_EQ(noErr, FSCloseFork(refNum));
  EXPECT_EQ("new", velmtest::readFile(dir / "old.txt"));

  // A link planted at the path is replaced by the file; its target is untouched.
  velmtest::writeFile(dir / "target", "precious");
  fs::create_symlink(dir / "target", dir / "link.txt");
  ASSERT_EQ(noErr, cuCreateAndOpenTextFile(cfPath(dir / "link.txt").get(), &refNum));
  EXPECT_EQ(noErr, FSCloseFork(refNum));
  EXPECT_EQ("precious", velmtest::readFile(dir / "target"));
  EXPECT_FALSE(fs::is_symlink(dir / "link.txt"));
  EXPECT_EQ(0u, fs::file_size(dir / "link.txt"));

  // No folder to make it in: -68, and nothing is left behind.
  EXPECT_EQ(-68, cuCreateAndOpenTextFile(cfPath(dir / "none" / "x.txt").get(), &refNum));
  EXPECT_EQ(-68, cuCreateAndOpenTextFile(nullptr, &refNum));
  for (const auto& e : fs::directory_iterator(dir))
    EXPECT_EQ(std::string::npos, e.path().filename().string().find(".velm-new-")) << e.path();
}

}  // namespace
