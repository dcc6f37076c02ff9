// AppKit: the views, controls and menus of an interface file, as interfaces.
//
// The classes keep AppKit's names and the operations the settings panel and its translation
// use. The views of a loaded interface file are Qt Widgets behind these interfaces (NSNib.h,
// library velm_appkit): NSView is any widget, NSBox a QGroupBox, NSButton a QAbstractButton
// (push button, check box), NSPopUpButton a QComboBox, NSTextField a QLineEdit (editable) or a
// QLabel (static text). Code that only walks or changes views, like the interface translation,
// needs nothing but this header and links no toolkit.
//
// Texts are CoreFoundation strings: getters hand out a new reference (held in CFRef); setters
// copy. Target-action: a control or menu item names its action by selector ("velmButton:"); when
// it fires, its target's tryToPerform(action, sender) runs. Outlets are connected by name
// through setValue(value, key), as key-value coding does.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "CFRef.h"
#include "CFString.h"
#include "MacTypes.h"

typedef long NSInteger;

enum : NSInteger {
  NSMixedState = -1,
  NSOffState = 0,
  NSOnState = 1,
};

// Objects made with new start with one reference. Whoever owns an object either deletes it
// (the views and menus of an interface file are owned that way, by their parents) or counts its
// references: retain adds one, release drops one and deletes the object at zero, autorelease
// hands one reference to the innermost autorelease pool of the calling thread, which releases
// it when the pool is released (NSAutoreleasePool.h).
class NSObject {
 public:
  NSObject() = default;
  NSObject(const NSObject&) = delete;
  NSObject& operator=(const NSObject&) = delete;
  virtual ~NSObject();
  NSObject* retain();
  void release();
  // Returns the object; without a pool on this thread the reference is never released (and a
  // line in the log says so), as on the original platform.
  NSObject* autorelease();
  long retainCount() const { return references_.load(); }
  // Connects the outlet named key to value; false when there is no such outlet or value does
  // not fit its type.
  virtual bool setValue(NSObject* value, const char* key);
  // Performs the action named by its selector with the sender; false when there is no such action.
  virtual bool tryToPerform(const char* action, NSObject* sender);

 private:
  std::atomic<long> references_{1};
};

class NSMenu;

// One item of a menu: a title, an action with its target, or a separator line.
class NSMenuItem : public NSObject {
 public:
  CFRef<CFStringRef> title() const { return title_; }
  void setTitle(CFStringRef title);
  const std::string& action() const { return action_; }
  void setAction(const char* action) { action_ = action ? action : ""; }
  NSObject* target() const { return target_; }
  void setTarget(NSObject* target) { target_ = target; }
  const std::string& keyEquivalent() const { return keyEquivalent_; }
  bool isSeparatorItem() const { return separator_; }
  static std::unique_ptr<NSMenuItem> separatorItem();

  NSMenuItem(CFStringRef title, const char* action, const char* keyEquivalent);

 private:
  friend class NSMenu;
  CFRef<CFStringRef> title_;
  std::string action_;
  std::string keyEquivalent_;
  NSObject* target_ = nullptr;
  bool separator_ = false;
  NSMenu* menu_ = nullptr;
};

// An ordered list of items that owns them. Subclasses mirror the items in a toolkit's menu.
class NSMenu : public NSObject {
 public:
  NSMenu() = default;
  ~NSMenu() override;
  NSInteger numberOfItems() const { return static_cast<NSInteger>(items_.size()); }
  // Null for an index outside the menu.
  NSMenuItem* itemAtIndex(NSInteger index) const;
  NSInteger indexOfItem(const NSMenuItem* item) const;
  // Appends a new item and returns it (the menu keeps it).
  NSMenuItem* addItemWithTitle(CFStringRef title, const char* action, const char* keyEquivalent);
  NSMenuItem* insertItem(std::unique_ptr<NSMenuItem> item, NSInteger index);
  void addItem(std::unique_ptr<NSMenuItem> item) { insertItem(std::move(item), numberOfItems()); }
  // Does nothing for an index outside the menu.
  void removeItemAtIndex(NSInteger index);

 protected:
  // Told after each change, so that a subclass can follow it.
  virtual void didInsertItem(NSInteger index) {}
  virtual void didRemoveItem(NSInteger index) {}
  virtual void didChangeItem(NSInteger index) {}

 private:
  friend class NSMenuItem;
  std::vector<std::unique_ptr<NSMenuItem>> items_;
};

class NSView : public NSObject {
 public:
  // Null when the view has no tool tip.
  virtual CFRef<CFStringRef> toolTip() const = 0;
  virtual void setToolTip(CFStringRef toolTip) = 0;
  // The views directly inside this one, in order; they belong to this view.
  virtual std::vector<NSView*> subviews() const = 0;
};

class NSControl : public NSView {
 public:
  virtual CFRef<CFStringRef> stringValue() const = 0;
  virtual void setStringValue(CFStringRef value) = 0;
};

class NSButton : public NSControl {
 public:
  virtual CFRef<CFStringRef> title() const = 0;
  virtual void setTitle(CFStringRef title) = 0;
  // NSOnState or NSOffState.
  virtual NSInteger state() const = 0;
  virtual void setState(NSInteger state) = 0;
};

class NSPopUpButton : public NSButton {
 public:
  virtual NSMenu* menu() const = 0;
  NSInteger numberOfItems() const { return menu() ? menu()->numberOfItems() : 0; }
  // -1 when no item is selected.
  virtual NSInteger indexOfSelectedItem() const = 0;
  // -1 selects nothing; an index outside the menu changes nothing.
  virtual void selectItemAtIndex(NSInteger index) = 0;
  NSMenuItem* itemAtIndex(NSInteger index) const { return menu() ? menu()->itemAtIndex(index) : nullptr; }
};

class NSTextField : public NSControl {
 public:
  // The grey text an empty editable field shows; null when it has none.
  virtual CFRef<CFStringRef> placeholderString() const = 0;
  virtual void setPlaceholderString(CFStringRef placeholder) = 0;
};

class NSBox : public NSView {
 public:
  virtual CFRef<CFStringRef> title() const = 0;
  virtual void setTitle(CFStringRef title) = 0;
};

class NSWindow : public NSObject {
 public:
  virtual NSView* contentView() const = 0;
};
