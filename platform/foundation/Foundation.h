// Foundation odds and ends: the user's temporary folder and a lock.
#pragma once

#include <mutex>

#include "CFString.h"

// The user's private temporary folder, ending in "/": $XDG_CACHE_HOME/tmp/ (~/.cache/tmp/ when
// XDG_CACHE_HOME is unset), created with mode 0700 when missing. A folder that is not owned by
// the user, is not a real folder, or can be read by others is refused; then a fresh private
// folder made with mkdtemp in the system's temporary folder is used instead. Never a shared
// folder under a predictable name. The string lives as long as the process; do not release it.
CFStringRef NSTemporaryDirectory();

// A lock; lock() and unlock() on the same thread.
class NSLock {
 public:
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool tryLock() { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};
