#include "NSAutoreleasePool.h"

#include "AppKit.h"
#include "NSLog.h"

namespace {
thread_local NSAutoreleasePool* tInnermost = nullptr;
}

NSAutoreleasePool::NSAutoreleasePool() : outer_(tInnermost) { tInnermost = this; }

void NSAutoreleasePool::release() {
  // Pools made inside this one and not released yet go first, innermost first.
  while (tInnermost && tInnermost != this) {
    NSAutoreleasePool* inner = tInnermost;
    inner->release();
  }
  // An object's release may autorelease others: they land in this pool while it drains.
  while (!objects_.empty()) {
    std::vector<NSObject*> batch;
    batch.swap(objects_);
    for (NSObject* object : batch) object->release();
  }
  if (tInnermost == this) tInnermost = outer_;
  delete this;
}

void NSAutoreleasePool::addObject(NSObject* object) {
  if (!object) return;
  if (!tInnermost) {
    NSLog(CFSTR("An object was autoreleased with no pool in place; it is never released"));
    return;
  }
  tInnermost->objects_.push_back(object);
}

size_t NSAutoreleasePool::innermostPoolCount() { return tInnermost ? tInnermost->objects_.size() : 0; }
