// CFRef<T>: holds one CoreFoundation reference and releases it when it goes away.
//
//   CFRef<CFStringRef> s(CFStringCreateWithCString(...));   // adopts a Create/Copy result
//   auto b = CFRef<CFStringRef>::retain(borrowed);          // retains a Get result
//   return s.release();                                     // hands ownership to the caller
//
// Copying retains, moving transfers; null is allowed everywhere.
#pragma once

#include <utility>

#include "CFBase.h"

template <typename T>
class CFRef {
 public:
  CFRef() noexcept = default;
  explicit CFRef(T ref) noexcept : ref_(ref) {}
  CFRef(const CFRef& other) noexcept : ref_(other.ref_) {
    if (ref_) CFRetain(ref_);
  }
  CFRef(CFRef&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
  ~CFRef() { reset(); }

  CFRef& operator=(const CFRef& other) noexcept {
    if (this != &other) {
      if (other.ref_) CFRetain(other.ref_);
      reset(other.ref_);
    }
    return *this;
  }
  CFRef& operator=(CFRef&& other) noexcept {
    if (this != &other) reset(std::exchange(other.ref_, nullptr));
    return *this;
  }

  // Retains a borrowed reference.
  static CFRef retain(T ref) noexcept {
    if (ref) CFRetain(ref);
    return CFRef(ref);
  }

  T get() const noexcept { return ref_; }
  explicit operator bool() const noexcept { return ref_ != nullptr; }
  operator T() const noexcept { return ref_; }

  // Gives up ownership without releasing.
  [[nodiscard]] T release() noexcept { return std::exchange(ref_, nullptr); }

  // Releases the held reference and adopts another one.
  void reset(T ref = nullptr) noexcept {
    T old = std::exchange(ref_, ref);
    if (old) CFRelease(old);
  }

  // For out-parameters: releases what is held and gives the address to fill.
  T* receive() noexcept {
    reset();
    return &ref_;
  }

 private:
  T ref_ = nullptr;
};
