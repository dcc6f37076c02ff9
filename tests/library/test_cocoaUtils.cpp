// Translation of marked interface texts: single texts and view trees (with views made here,
// no toolkit involved).
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "CFTestSupport.h"
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
