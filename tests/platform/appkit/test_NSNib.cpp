// Interface files on Qt Widgets: outlets, actions, pop-up menus kept in step with their combo
// boxes, and the AppKit interfaces in front of the widgets. Qt runs offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AppKitQt.h"
#include "CFTestSupport.h"
#include "NSNib.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using velmtest::utf8;

// Qt's font database asks fontconfig for fonts once per process; fontconfig keeps what it
// allocated for that (its pattern caches) without freeing it at exit. Only those frames are
// exempt from the leak check.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

QApplication& app() {
  static int argc = 1;
  static char name[] = "test_NSNib";
  static char* argv[] = {name, nullptr};
  static QApplication* instance = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return new QApplication(argc, argv);
  }();
  return *instance;
}

const char* kPanel = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0">
 <class>Panel</class>
 <widget class="QWidget" name="rootView">
  <layout class="QVBoxLayout">
   <item>
    <widget class="QGroupBox" name="box">
     <property name="title"><string>Account</string></property>
     <layout class="QVBoxLayout">
      <item>
       <widget class="QLineEdit" name="nameField">
        <property name="placeholderText"><string>your name</string></property>
        <property name="outlets" stdset="0"><stringlist><string>firstView</string></stringlist></property>
       </widget>
      </item>
      <item><widget class="QLabel" name="caption"><property name="text"><string>Name:</string></property></widget></item>
     </layout>
    </widget>
   </item>
   <item>
    <widget class="QCheckBox" name="rememberBox">
     <property name="text"><string>Remember</string></property>
     <property name="checked"><bool>true</bool></property>
     <property name="toolTip"><string>keep it</string></property>
    </widget>
   </item>
   <item>
    <widget class="QPushButton" name="goButton">
     <property name="text"><string>Go</string></property>
     <property name="action" stdset="0"><string>goButton:</string></property>
    </widget>
   </item>
   <item>
    <widget class="QComboBox" name="toolMenu">
     <property name="pullsDown" stdset="0"><bool>true</bool></property>
     <property name="action" stdset="0"><string>menuChoice:</string></property>
     <property name="itemActions" stdset="0"><stringlist><string></string><string>reload:</string></stringlist></property>
     <item><property name="text"><string>Tools</string></property></item>
     <item><property name="text"><string>Reload</string></property></item>
     <item><property name="text"><string>-</string></property></item>
    </widget>
   </item>
   <item>
    <widget class="QComboBox" name="sizeMenu">
     <item><property name="text"><string>Small</string></property></item>
     <item><property name="text"><string>Large</string></property></item>
    </widget>
   </item>
  </layout>
 </widget>
</ui>
)";

// An owner that records its outlets and the actions it receives.
struct Owner : NSObject {
  std::map<std::string, NSObject*> outlets;
  std::vector<std::pair<std::string, NSObject*>> actions;
  std::vector<std::string> known = {"rootView", "box", "nameField", "firstView", "caption", "rememberBox",
                                    "goButton", "toolMenu", "sizeMenu"};
  bool setValue(NSObject* value, const char* key) override {
    for (const auto& k : known)
      if (k == key) {
        outlets[key] = value;
        return true;
      }
    return false;
  }
  bool tryToPerform(const char* action, NSObject* sender) override {
    actions.emplace_back(action, sender);
    return true;
  }
};

CFBundleRef panelBundle() {
  static CFBundleRef bundle = [] {
    fs::path root = velmtest::makeTempDir("bundle") / "Panel.bundle";
    fs::create_directories(root / "Contents/Resources/en.lproj");
    velmtest::writeFile(root / "Contents/Info.plist",
                        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                        "<key>CFBundleIdentifier</key><string>test.nib</string></dict></plist>");
    velmtest::writeFile(root / "Contents/Resources/Panel.ui", kPanel);
    velmtest::writeFile(root / "Contents/Resources/Broken.ui", "<ui version=\"4.0\"><widget class=");
    // Files the loader would build and then lose part of: two layouts in one widget, two
    // things in one layout item.
    velmtest::writeFile(root / "Contents/Resources/TwoLayouts.ui",
                        "<ui version=\"4.0\"><widget class=\"QWidget\" name=\"rootView\">"
                        "<layout class=\"QGridLayout\"><item row=\"0\" column=\"0\">"
                        "<widget class=\"QLabel\" name=\"a\"/></item></layout>stray text"
                        "<layout class=\"QVBoxLayout\"><item><widget class=\"QLabel\" name=\"b\"/></item>"
                        "</layout></widget></ui>");
    velmtest::writeFile(root / "Contents/Resources/CrowdedItem.ui",
                        "<ui version=\"4.0\"><widget class=\"QWidget\" name=\"rootView\">"
                        "<layout class=\"QVBoxLayout\"><item><widget class=\"QLabel\" name=\"a\"/>"
                        "<layout class=\"QHBoxLayout\"/></item></layout></widget></ui>");
    std::string p = root.string();
    CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(p.data()),
                                                                static_cast<CFIndex>(p.size()), true));
    return CFBundleCreate(nullptr, url.get());  // kept for the process
  }();
  return bundle;
}

struct Loaded {
  Owner owner;
  std::vector<std::unique_ptr<NSObject>> top;
  template <typename T>
  T* outlet(const char* name) {
    return dynamic_cast<T*>(owner.outlets[name]);
  }
};

std::unique_ptr<Loaded> load() {
  app();
  auto l = std::make_unique<Loaded>();
  NSNib nib(CFSTR("Panel"), panelBundle());
  EXPECT_TRUE(nib.isValid());
  EXPECT_TRUE(nib.instantiateNibWithOwner(&l->owner, &l->top));
  return l;
}

TEST(NSNib, OutletsByNameAndTheirKinds) {
  auto l = load();
  ASSERT_EQ(l->top.size(), 1u);
  EXPECT_EQ(l->top[0].get(), l->owner.outlets["rootView"]);
  EXPECT_EQ(l->owner.outlets.size(), 9u);
  EXPECT_NE(l->outlet<NSBox>("box"), nullptr);
  EXPECT_NE(l->outlet<NSTextField>("nameField"), nullptr);
  EXPECT_EQ(l->owner.outlets["firstView"], l->owner.outlets["nameField"]);
  EXPECT_NE(l->outlet<NSTextField>("caption"), nullptr);
  EXPECT_NE(l->outlet<NSPopUpButton>("toolMenu"), nullptr);
  auto* remember = l->outlet<NSButton>("rememberBox");
  ASSERT_NE(remember, nullptr);
  EXPECT_EQ(remember->state(), NSOnState);
  remember->setState(NSOffState);
  EXPECT_FALSE(qobject_cast<QCheckBox*>(NSViewGetQWidget(remember))->isChecked());
  EXPECT_EQ(utf8(remember->toolTip().get()), "keep it");
  EXPECT_EQ(l->outlet<NSView>("goButton")->toolTip().get(), nullptr);

  auto* root = dynamic_cast<NSView*>(l->top[0].get());
  ASSERT_NE(root, nullptr);
  std::vector<NSView*> subviews = root->subviews();
  ASSERT_EQ(subviews.size(), 5u);  // box, check box, button, two pop-ups; the box holds two more
  EXPECT_EQ(subviews[0]->subviews().size(), 2u);

  auto* field = l->outlet<NSTextField>("nameField");
  EXPECT_EQ(utf8(field->placeholderString().get()), "your name");
  field->setStringValue(CFSTR("Zoë"));
  EXPECT_EQ(qobject_cast<QLineEdit*>(NSViewGetQWidget(field))->text(), QString::fromUtf8("Zoë"));
  EXPECT_EQ(l->outlet<NSTextField>("caption")->placeholderString().get(), nullptr);
}

TEST(NSNib, ButtonsAndMenuItemsSendTheirActions) {
  auto l = load();
  qobject_cast<QPushButton*>(NSViewGetQWidget(l->outlet<NSView>("goButton")))->click();
  ASSERT_EQ(l->owner.actions.size(), 1u);
  EXPECT_EQ(l->owner.actions[0].first, "goButton:");
  EXPECT_EQ(l->owner.actions[0].second, l->owner.outlets["goButton"]);

  auto* tools = l->outlet<NSPopUpButton>("toolMenu");
  auto* combo = qobject_cast<QComboBox*>(NSViewGetQWidget(tools));
  NSMenu* menu = tools->menu();
  ASSERT_EQ(menu->numberOfItems(), 3);
  EXPECT_TRUE(menu->itemAtIndex(2)->isSeparatorItem());

  // An item with its own action sends it with the item as sender; the pull-down shows its title again.
  combo->setCurrentIndex(1);
  emit combo->activated(1);
  ASSERT_EQ(l->owner.actions.size(), 2u);
  EXPECT_EQ(l->owner.actions[1].first, "reload:");
  EXPECT_EQ(l->owner.actions[1].second, menu->itemAtIndex(1));
  EXPECT_EQ(tools->indexOfSelectedItem(), 0);

  // Items added at run time carry their own target and action.
  Owner other;
  NSMenuItem* added = menu->addItemWithTitle(CFSTR("Summer 2008"), "albumHit:", "");
  added->setTarget(&other);
  emit combo->activated(3);
  ASSERT_EQ(other.actions.size(), 1u);
  EXPECT_EQ(other.actions[0].first, "albumHit:");
  EXPECT_EQ(other.actions[0].second, added);

  // An item without action sends the pop-up's own.
  emit combo->activated(0);
  ASSERT_EQ(l->owner.actions.size(), 3u);
  EXPECT_EQ(l->owner.actions[2].first, "menuChoice:");
  EXPECT_EQ(l->owner.actions[2].second, tools);
}

TEST(NSNib, MenusFollowTheirComboBoxes) {
  auto l = load();
  auto* tools = l->outlet<NSPopUpButton>("toolMenu");
  auto* combo = qobject_cast<QComboBox*>(NSViewGetQWidget(tools));
  NSMenu* menu = tools->menu();
  menu->addItemWithTitle(CFSTR("A"), "albumHit:", "");
  menu->addItemWithTitle(CFSTR("B"), "albumHit:", "");
  ASSERT_EQ(combo->count(), 5);
  EXPECT_EQ(combo->itemText(4), "B");
  menu->removeItemAtIndex(3);
  ASSERT_EQ(combo->count(), 4);
  EXPECT_EQ(combo->itemText(3), "B");
  menu->itemAtIndex(0)->setTitle(CFSTR("Albums"));
  EXPECT_EQ(combo->itemText(0), "Albums");
  menu->removeItemAtIndex(9);  // outside: nothing happens
  EXPECT_EQ(combo->count(), 4);

  auto* sizes = l->outlet<NSPopUpButton>("sizeMenu");
  EXPECT_EQ(sizes->indexOfSelectedItem(), 0);
  sizes->selectItemAtIndex(1);
  EXPECT_EQ(sizes->indexOfSelectedItem(), 1);
  EXPECT_EQ(utf8(sizes->stringValue().get()), "Large");
  sizes->selectItemAtIndex(7);
  EXPECT_EQ(sizes->indexOfSelectedItem(), 1);
  sizes->selectItemAtIndex(-1);
  EXPECT_EQ(sizes->indexOfSelectedItem(), -1);
}

TEST(NSNib, MissingOrBrokenFilesFail) {
  app();
  Owner owner;
  std::vector<std::unique_ptr<NSObject>> top;
  NSNib missing(CFSTR("NoSuchPanel"), panelBundle());
  EXPECT_FALSE(missing.isValid());
  EXPECT_FALSE(missing.instantiateNibWithOwner(&owner, &top));
  for (CFStringRef name : {CFSTR("Broken"), CFSTR("TwoLayouts"), CFSTR("CrowdedItem")}) {
    NSNib broken(name, panelBundle());
    EXPECT_TRUE(broken.isValid()) << utf8(name);
    EXPECT_FALSE(broken.instantiateNibWithOwner(&owner, &top)) << utf8(name);
  }
  EXPECT_TRUE(top.empty());
  EXPECT_TRUE(owner.outlets.empty());
}

TEST(NSNib, TopLevelObjectsOwnTheirWidgets) {
  auto l = load();
  QPointer<QWidget> root = NSViewGetQWidget(dynamic_cast<NSView*>(l->top[0].get()));
  QPointer<QWidget> inside = NSViewGetQWidget(l->outlet<NSView>("nameField"));
  ASSERT_TRUE(root && inside);
  l->top.clear();
  EXPECT_TRUE(root.isNull());
  EXPECT_TRUE(inside.isNull());
}

}  // namespace
