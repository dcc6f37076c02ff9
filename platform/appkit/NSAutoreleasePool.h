// NSAutoreleasePool: the pools that take the references of autoreleased objects (NSObject in
// AppKit.h) and release them when the pool itself is released.
//
// A pool made with new becomes the innermost pool of the thread that made it; objects
// autoreleased on that thread go into it. release() first releases the pools made inside it on
// the same thread that are still there, then releases every object in it, once for each time
// it was added, and ends the pool. Pools are released on the thread that made them; a pool is
// never deleted otherwise.
#pragma once

#include <cstddef>
#include <vector>

class NSObject;

class NSAutoreleasePool {
 public:
  NSAutoreleasePool();
  NSAutoreleasePool(const NSAutoreleasePool&) = delete;
  NSAutoreleasePool& operator=(const NSAutoreleasePool&) = delete;
  void release();
  // The innermost pool of the calling thread takes over one reference of the object. Without a
  // pool the reference stays with the object for good, and a line in the log says so.
  static void addObject(NSObject* object);
  // How many references the innermost pool of the calling thread holds (0 without a pool).
  static size_t innermostPoolCount();

 private:
  ~NSAutoreleasePool() = default;
  std::vector<NSObject*> objects_;
  NSAutoreleasePool* outer_ = nullptr;
};
