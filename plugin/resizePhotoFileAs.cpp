#include "resizePhotoFileAs.h"

#include "ImageIO.h"

namespace {

// The scaled image; null when there is none. The platform may raise inside this call: whatever
// it raises is caught here and means no image.
CGImageRef createScaledImage(CGImageSourceRef source, SInt32 maxSize) {
  CFRef<CFNumberRef> size(CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &maxSize));
  const void* keys[] = {kCGImageSourceCreateThumbnailFromImageAlways, kCGImageSourceThumbnailMaxPixelSize,
                        kCGImageSourceCreateThumbnailWithTransform};
  const void* values[] = {kCFBooleanTrue, size.get(), kCFBooleanTrue};
  CFRef<CFDictionaryRef> options(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 3,
                                                    &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  try {
    return CGImageSourceCreateThumbnailAtIndex(source, 0, options.get());
  } catch (...) {
    return nullptr;
  }
}

// The metadata to write with the scaled image: the source's, except that an orientation other
// than top-left becomes top-left, since the pixels are turned already; otherwise every viewer
// that honours the tag would turn the photo a second time.
CFDictionaryRef copyScaledProperties(CFDictionaryRef properties) {
  if (!properties) return nullptr;
  auto orientation = static_cast<CFNumberRef>(CFDictionaryGetValue(properties, kCGImagePropertyOrientation));
  int value = 1;
  if (!orientation || CFGetTypeID(orientation) != CFNumberGetTypeID() ||
      !CFNumberGetValue(orientation, kCFNumberIntType, &value) || value == 1)
    return static_cast<CFDictionaryRef>(CFRetain(properties));
  CFRef<CFMutableDictionaryRef> copy(CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, properties));
  if (!copy) return nullptr;
  int topLeft = 1;
  CFRef<CFNumberRef> upright(CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &topLeft));
  CFDictionarySetValue(copy.get(), kCGImagePropertyOrientation, upright.get());
  return copy.release();
}

}  // namespace

CFMutableDataRef resizePhotoFileAs(const FSRef* ref, SInt32 maxSize, CFStringRef type) {
  CFRef<CFURLRef> url(CFURLCreateFromFSRef(kCFAllocatorDefault, ref));
  if (!url) return nullptr;
  CFRef<CGImageSourceRef> source(CGImageSourceCreateWithURL(url.get(), nullptr));
  url.reset();
  if (!source) return nullptr;
  CFRef<CFMutableDataRef> data(CFDataCreateMutable(kCFAllocatorDefault, 0));
  if (!data) return nullptr;

  CFRef<CGImageRef> image(maxSize == 0 ? CGImageSourceCreateImageAtIndex(source.get(), 0, nullptr)
                                       : createScaledImage(source.get(), maxSize));
  if (!image) return nullptr;

  CFRef<CGImageDestinationRef> destination(CGImageDestinationCreateWithData(data.get(), type, 1, nullptr));
  if (!destination) return nullptr;
  CFRef<CFDictionaryRef> properties(CGImageSourceCopyPropertiesAtIndex(source.get(), 0, nullptr));
  if (maxSize != 0) properties.reset(copyScaledProperties(properties.get()));
  CGImageDestinationAddImage(destination.get(), image.get(), properties.get());
  // An encoder that could not write the photo leaves no half-made upload behind.
  if (!CGImageDestinationFinalize(destination.get())) return nullptr;
  return data.release();
}
