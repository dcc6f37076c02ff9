// The toolkit-free part of AppKit: the base object and menus.
#include "AppKit.h"

#include "NSAutoreleasePool.h"

NSObject::~NSObject() = default;

NSObject* NSObject::retain() {
  references_.fetch_add(1);
  return this;
}

void NSObject::release() {
  if (references_.fetch_sub(1) == 1) delete this;
}

NSObject* NSObject::autorelease() {
  NSAutoreleasePool::addObject(this);
  return this;
}
bool NSObject::setValue(NSObject*, const char*) { return false; }
bool NSObject::tryToPerform(const char*, NSObject*) { return false; }

NSMenuItem::NSMenuItem(CFStringRef title, const char* action, const char* keyEquivalent)
    : title_(CFRef<CFStringRef>::retain(title ? title : CFSTR(""))),
      action_(action ? action : ""),
      keyEquivalent_(keyEquivalent ? keyEquivalent : "") {}

std::unique_ptr<NSMenuItem> NSMenuItem::separatorItem() {
  auto item = std::make_unique<NSMenuItem>(CFSTR(""), nullptr, nullptr);
  item->separator_ = true;
  return item;
}

void NSMenuItem::setTitle(CFStringRef title) {
  title_.reset(title ? CFStringCreateCopy(nullptr, title) : CFStringCreateCopy(nullptr, CFSTR("")));
  if (menu_) menu_->didChangeItem(menu_->indexOfItem(this));
}

NSMenu::~NSMenu() = default;

NSMenuItem* NSMenu::itemAtIndex(NSInteger index) const {
  if (index < 0 || index >= numberOfItems()) return nullptr;
  return items_[static_cast<size_t>(index)].get();
}

NSInteger NSMenu::indexOfItem(const NSMenuItem* item) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == item) return static_cast<NSInteger>(i);
  return -1;
}

NSMenuItem* NSMenu::addItemWithTitle(CFStringRef title, const char* action, const char* keyEquivalent) {
  return insertItem(std::make_unique<NSMenuItem>(title, action, keyEquivalent), numberOfItems());
}

NSMenuItem* NSMenu::insertItem(std::unique_ptr<NSMenuItem> item, NSInteger index) {
  if (!item) return nullptr;
  if (index < 0 || index > numberOfItems()) index = numberOfItems();
  item->menu_ = this;
  NSMenuItem* raw = item.get();
  items_.insert(items_.begin() + index, std::move(item));
  didInsertItem(index);
  return raw;
}

void NSMenu::removeItemAtIndex(NSInteger index) {
  if (index < 0 || index >= numberOfItems()) return;
  items_.erase(items_.begin() + index);
  didRemoveItem(index);
}
