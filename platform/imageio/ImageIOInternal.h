// Internal layout of the image layer. Not installed.
#pragma once

#include <vips/vips.h>

#include <functional>
#include <mutex>
#include <string>

#include "CFInternal.h"
#include "ImageIO.h"

namespace imageio {

enum TypeID : CFTypeID {
  kTypeImage = 270,
  kTypeImageSource = 271,
  kTypeImageDestination = 272,
};

// Starts libvips and Exiv2 once per process (thread-safe); false when libvips cannot start.
bool ensureStarted();

// Puts the HEVC decoder that uses every core ahead of libheif's own, for the whole process
// (HevcDecoder.cpp). Called by ensureStarted.
void registerHevcDecoder();

// Where a source's bytes come from: a file path, or a data object it keeps.
struct Input {
  std::string path;           // set for file sources
  CFRef<CFDataRef> data;      // set for data sources
  std::string loader;         // the libvips loader found for the bytes
};

// Opens the first image of the input with its loader: header only until pixels are asked for,
// read sequentially, failing on truncated data. shrink > 1 asks a JPEG decoder to shrink by
// that factor. Null (and the vips error buffer cleared) on failure. The caller unrefs.
VipsImage* openImage(const Input& input, int shrink = 1);

// A new properties dictionary of the input's first image; null when its header cannot be read.
CFDictionaryRef copyProperties(const Input& input);

// Owned reference to a GObject (VipsImage and friends).
template <typename T>
struct GRef {
  GRef() = default;
  explicit GRef(T* p) : ptr(p) {}
  GRef(const GRef&) = delete;
  GRef& operator=(const GRef&) = delete;
  GRef(GRef&& o) noexcept : ptr(o.ptr) { o.ptr = nullptr; }
  GRef& operator=(GRef&& o) noexcept {
    if (this != &o) {
      reset();
      ptr = o.ptr;
      o.ptr = nullptr;
    }
    return *this;
  }
  ~GRef() { reset(); }
  void reset(T* p = nullptr) {
    if (ptr) g_object_unref(ptr);
    ptr = p;
  }
  T* get() const { return ptr; }
  explicit operator bool() const { return ptr != nullptr; }
  T* ptr = nullptr;
};

}  // namespace imageio

struct CGImage : cfimpl::Object {
  // Decoded pixels, in memory.
  explicit CGImage(VipsImage* pixels);
  // Pixels not computed yet: a pipeline from the file (decoder, scaling, turning) that runs when
  // the pixels are first read, so that an encoder takes each line as it is made and the whole
  // image is never held. Such a pipeline reads its file once; rebuild makes another for a later
  // read.
  CGImage(VipsImage* pipeline, std::function<VipsImage*()> rebuild);

  // The image to read the pixels from, once; null (the vips error buffer cleared) when it can
  // no longer be made, as when its file is gone. Thread-safe.
  imageio::GRef<VipsImage> pixels() const;

  int width = 0;
  int height = 0;
  int bitsPerComponent = 0;

 private:
  mutable std::mutex mutex_;
  mutable imageio::GRef<VipsImage> image_;  // the pixels, or the pipeline not read yet
  std::function<VipsImage*()> rebuild_;     // empty for decoded pixels
};

struct CGImageSource : cfimpl::Object {
  CGImageSource() : Object(imageio::kTypeImageSource) {}
  imageio::Input input;
  CFStringRef type = nullptr;  // constant
};
