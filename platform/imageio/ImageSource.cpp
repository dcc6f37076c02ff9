// Image sources and images on libvips: finding the format, the first image at full size and
// scaled images with the orientation applied.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

#include "ImageIOInternal.h"

using imageio::GRef;

const CFStringRef kUTTypeJPEG = CFSTR("public.jpeg");
const CFStringRef kUTTypePNG = CFSTR("public.png");
const CFStringRef kUTTypeTIFF = CFSTR("public.tiff");
const CFStringRef kUTTypeGIF = CFSTR("com.compuserve.gif");
const CFStringRef kUTTypeImage = CFSTR("public.image");

const CFStringRef kCGImageSourceCreateThumbnailFromImageIfAbsent = CFSTR("kCGImageSourceCreateThumbnailFromImageIfAbsent");
const CFStringRef kCGImageSourceCreateThumbnailFromImageAlways = CFSTR("kCGImageSourceCreateThumbnailFromImageAlways");
const CFStringRef kCGImageSourceThumbnailMaxPixelSize = CFSTR("kCGImageSourceThumbnailMaxPixelSize");
const CFStringRef kCGImageSourceCreateThumbnailWithTransform = CFSTR("kCGImageSourceCreateThumbnailWithTransform");
const CFStringRef kCGImageSourceShouldCache = CFSTR("kCGImageSourceShouldCache");

namespace imageio {

bool ensureStarted() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    if (VIPS_INIT("imageio") != 0) {
      vips_error_clear();
      return;
    }
    // Operations are never reused: a file may be replaced under the same name between calls.
    vips_cache_set_max(0);
    registerHevcDecoder();
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize();
    started = true;
  });
  return started;
}

namespace {

// The loaders offered, by the start of their libvips nickname, with the format's identifier.
struct Format {
  const char* loaderPrefix;
  const char* type;
};
constexpr Format kFormats[] = {
    {"jpegload", "public.jpeg"}, {"pngload", "public.png"},          {"tiffload", "public.tiff"},
    {"webpload", "org.webmproject.webp"}, {"gifload", "com.compuserve.gif"}, {"heifload", "public.heic"},
};

// A libvips byte source over the input; null when the file cannot be opened as a regular file.
VipsSource* makeSource(const Input& input) {
  if (input.data) {
    return vips_source_new_from_memory(CFDataGetBytePtr(input.data.get()),
                                       static_cast<size_t>(CFDataGetLength(input.data.get())));
  }
  int fd = open(input.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st {};
  VipsSource* source = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) source = vips_source_new_from_descriptor(fd);
  close(fd);  // the source keeps its own duplicate
  if (!source) vips_error_clear();
  return source;
}

// Whether every PNG chunk before the image data fits inside the file. libpng skips a chunk whose
// length field claims gigabytes by reading all of it, which takes seconds even for a file of a
// few hundred bytes; such a file is no readable image. A file cut off inside its image data is
// left to the decoder, which reports the truncation.
bool pngChunksFit(const Input& input) {
  std::string bytes;
  UInt64 size = 0;
  int fd = -1;
  if (input.data) {
    size = static_cast<UInt64>(CFDataGetLength(input.data.get()));
  } else {
    fd = open(input.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
      if (fd >= 0) close(fd);
      return false;
    }
    size = static_cast<UInt64>(st.st_size);
  }
  auto readAt = [&](UInt64 offset, UInt8* out, size_t n) {
    if (offset + n > size) return false;
    if (input.data) {
      std::memcpy(out, CFDataGetBytePtr(input.data.get()) + offset, n);
      return true;
    }
    return pread(fd, out, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
  };
  bool fits = true;
  UInt64 offset = 8;  // after the signature
  for (int chunks = 0; chunks < 100000; ++chunks) {
    UInt8 head[8];
    if (!readAt(offset, head, sizeof head)) break;  // the decoder reports what is missing
    UInt64 length = (UInt64{head[0]} << 24) | (UInt64{head[1]} << 16) | (UInt64{head[2]} << 8) | head[3];
    std::string_view type(reinterpret_cast<const char*>(head + 4), 4);
    if (type == "IDAT" || type == "IEND") break;
    if (length > 0x7fffffff || offset + 12 + length > size) {
      fits = false;
      break;
    }
    offset += 12 + length;
  }
  if (fd >= 0) close(fd);
  return fits;
}

bool hasArgument(VipsOperation* op, const char* name) {
  GParamSpec* pspec = nullptr;
  VipsArgumentClass* argumentClass = nullptr;
  VipsArgumentInstance* argumentInstance = nullptr;
  return vips_object_get_argument(VIPS_OBJECT(op), name, &pspec, &argumentClass, &argumentInstance) == 0;
}

bool isJPEG(const Input& input) { return input.loader.rfind("jpegload", 0) == 0; }

UInt64 pixelCount(VipsImage* image) {
  return static_cast<UInt64>(vips_image_get_width(image)) * static_cast<UInt64>(vips_image_get_height(image));
}

// Decodes the whole image into memory; null when decoding fails.
VipsImage* decode(VipsImage* image) {
  VipsImage* pixels = vips_image_copy_memory(image);
  if (!pixels) vips_error_clear();
  return pixels;
}

// The largest factor (8, 4 or 2) by which a JPEG decoder may shrink an image whose longer side
// is longest to reach maxSize, or 1.
int decoderShrink(int longest, int maxSize) {
  if (maxSize <= 0) return 1;
  double reduction = static_cast<double>(longest) / maxSize;
  for (int factor : {8, 4, 2})
    if (reduction >= factor) return factor;
  return 1;
}

// Reads a non-negative integer option; fallback when it is absent or no number.
long integerOption(CFDictionaryRef options, CFStringRef key, long fallback) {
  if (!options) return fallback;
  auto value = static_cast<CFTypeRef>(CFDictionaryGetValue(options, key));
  if (!value || CFGetTypeID(value) != CFNumberGetTypeID()) return fallback;
  double d = 0;
  CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberDoubleType, &d);
  if (!(d >= 0)) return fallback;
  return d > 1e9 ? 1000000000L : static_cast<long>(d);
}

bool booleanOption(CFDictionaryRef options, CFStringRef key) {
  if (!options) return false;
  auto value = static_cast<CFTypeRef>(CFDictionaryGetValue(options, key));
  if (!value) return false;
  if (CFGetTypeID(value) == CFBooleanGetTypeID()) return CFBooleanGetValue(static_cast<CFBooleanRef>(value));
  if (CFGetTypeID(value) == CFNumberGetTypeID()) {
    int i = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &i);
    return i != 0;
  }
  return false;
}

// Whether the image is 8-bit sRGB without alpha, as nearly every photo decodes. libvips'
// thumbnail of such an image converts it to sRGB and back, which changes no pixel but keeps more
// of the decoded lines in memory; scaleDown does the same scaling without those steps.
bool isPlainRGB(VipsImage* image) {
  return vips_image_get_format(image) == VIPS_FORMAT_UCHAR && vips_image_get_bands(image) == 3 &&
         vips_image_get_interpretation(image) == VIPS_INTERPRETATION_sRGB && !vips_image_hasalpha(image);
}

// The factor by which the image shrinks to fit a square of size pixels, never below 1, as the
// thumbnail operation computes it (the square makes the orientation irrelevant).
double shrinkToFit(VipsImage* image, int size) {
  double width = vips_image_get_width(image), height = vips_image_get_height(image);
  double shrink = std::max(width / size, height / size);
  return std::min(std::max(shrink, 1.0), std::min(width, height));
}

// The image shrunk to fit a square of size pixels, then turned upright when transform is set:
// the steps, order and arguments of the thumbnail operation for an 8-bit sRGB image, so the
// pixels are the same.
int scaleDown(VipsImage* image, VipsImage** out, int size, bool transform) {
  double scale = 1.0 / shrinkToFit(image, size);
  VipsImage* resized = nullptr;
  if (vips_resize(image, &resized, scale, "vscale", scale, nullptr) != 0) return -1;
  if (!transform) {
    *out = resized;
    return 0;
  }
  int status = vips_autorot(resized, out, nullptr);
  g_object_unref(resized);
  return status;
}

}  // namespace

VipsImage* openImage(const Input& input, int shrink) {
  GRef<VipsSource> source(makeSource(input));
  if (!source) return nullptr;
  VipsOperation* op = vips_operation_new(input.loader.c_str());
  if (!op) {
    vips_error_clear();
    return nullptr;
  }
  g_object_set(op, "source", source.get(), nullptr);
  g_object_set(op, "access", VIPS_ACCESS_SEQUENTIAL, "fail_on", VIPS_FAIL_ON_TRUNCATED, nullptr);
  // The first page only: a smaller second page must never be taken for a pyramid level.
  if (hasArgument(op, "page")) g_object_set(op, "page", 0, nullptr);
  if (hasArgument(op, "n")) g_object_set(op, "n", 1, nullptr);
  if (shrink > 1 && hasArgument(op, "shrink")) g_object_set(op, "shrink", shrink, nullptr);
  if (vips_cache_operation_buildp(&op) != 0) {
    vips_object_unref_outputs(VIPS_OBJECT(op));
    g_object_unref(op);
    vips_error_clear();
    return nullptr;
  }
  VipsImage* out = nullptr;
  g_object_get(op, "out", &out, nullptr);
  vips_object_unref_outputs(VIPS_OBJECT(op));
  g_object_unref(op);
  return out;
}

}  // namespace imageio

using namespace imageio;

// ---------------------------------------------------------------------------------------------
// Images.

CGImage::CGImage(VipsImage* pixels) : Object(kTypeImage), image_(pixels) {
  width = vips_image_get_width(pixels);
  height = vips_image_get_height(pixels);
  bitsPerComponent = static_cast<int>(vips_format_sizeof(vips_image_get_format(pixels)) * 8);
}

CGImage::CGImage(VipsImage* pipeline, std::function<VipsImage*()> rebuild)
    : CGImage(pipeline) {
  rebuild_ = std::move(rebuild);
}

GRef<VipsImage> CGImage::pixels() const {
  std::lock_guard lock(mutex_);
  if (!rebuild_) return GRef<VipsImage>(static_cast<VipsImage*>(g_object_ref(image_.get())));
  // The pipeline goes to its first reader, and with it the memory its lines take.
  if (image_) return std::move(image_);
  GRef<VipsImage> again(rebuild_());
  // The file may have changed since: a pipeline of another size is no longer this image.
  if (again && (vips_image_get_width(again.get()) != width || vips_image_get_height(again.get()) != height)) again.reset();
  vips_error_clear();
  return again;
}

CFTypeID CGImageGetTypeID(void) { return kTypeImage; }

size_t CGImageGetWidth(CGImageRef image) {
  return cfimpl::isA(image, kTypeImage) ? static_cast<size_t>(image->width) : 0;
}

size_t CGImageGetHeight(CGImageRef image) {
  return cfimpl::isA(image, kTypeImage) ? static_cast<size_t>(image->height) : 0;
}

size_t CGImageGetBitsPerComponent(CGImageRef image) {
  return cfimpl::isA(image, kTypeImage) ? static_cast<size_t>(image->bitsPerComponent) : 0;
}

CFDataRef CGImageCreateRGBA8Data(CGImageRef image) {
  if (!cfimpl::isA(image, kTypeImage)) return nullptr;
  GRef<VipsImage> source = image->pixels();
  if (!source) return nullptr;
  VipsImage* in = source.get();
  imageio::GRef<VipsImage> srgb, withAlpha, bytes;
  VipsImage* out = nullptr;
  // Any colour space and depth becomes 8-bit sRGB; an image without alpha gets an opaque one.
  if (vips_colourspace(in, &out, VIPS_INTERPRETATION_sRGB, nullptr) != 0) {
    vips_error_clear();
    return nullptr;
  }
  srgb.reset(out);
  if (vips_image_get_bands(srgb.get()) == 3) {
    if (vips_bandjoin_const1(srgb.get(), &out, 255.0, nullptr) != 0) {
      vips_error_clear();
      return nullptr;
    }
    withAlpha.reset(out);
  } else if (vips_image_get_bands(srgb.get()) == 4) {
    withAlpha.reset(static_cast<VipsImage*>(g_object_ref(srgb.get())));
  } else {
    return nullptr;
  }
  if (vips_cast_uchar(withAlpha.get(), &out, nullptr) != 0) {
    vips_error_clear();
    return nullptr;
  }
  bytes.reset(out);
  size_t size = 0;
  void* pixels = vips_image_write_to_memory(bytes.get(), &size);
  if (!pixels) {
    vips_error_clear();
    return nullptr;
  }
  CFDataRef data = CFDataCreate(nullptr, static_cast<const UInt8*>(pixels), static_cast<CFIndex>(size));
  g_free(pixels);
  return data;
}

CGImageRef CGImageRetain(CGImageRef image) {
  if (image) CFRetain(image);
  return image;
}

void CGImageRelease(CGImageRef image) {
  if (image) CFRelease(image);
}

// ---------------------------------------------------------------------------------------------
// Sources.

CFTypeID CGImageSourceGetTypeID(void) { return kTypeImageSource; }

namespace {

// Finds the loader for the input; the new source, or null when the bytes are no image format
// offered here.
CGImageSourceRef makeImageSource(Input input) {
  if (!ensureStarted()) return nullptr;
  GRef<VipsSource> source(makeSource(input));
  if (!source) return nullptr;
  const char* className = vips_foreign_find_load_source(source.get());
  if (!className) {
    vips_error_clear();
    return nullptr;
  }
  const char* nickname = vips_nickname_find(g_type_from_name(className));
  if (!nickname) return nullptr;
  for (const Format& format : kFormats) {
    if (std::string_view(nickname).rfind(format.loaderPrefix, 0) != 0) continue;
    if (std::string_view(nickname).rfind("pngload", 0) == 0 && !pngChunksFit(input)) return nullptr;
    auto* isrc = new CGImageSource();
    isrc->input = std::move(input);
    isrc->input.loader = nickname;
    isrc->type = __CFStringMakeConstantString(format.type);
    return isrc;
  }
  return nullptr;
}

}  // namespace

CGImageSourceRef CGImageSourceCreateWithURL(CFURLRef url, CFDictionaryRef) {
  if (!url) return nullptr;
  CFRef<CFStringRef> path(CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle));
  if (!path) return nullptr;
  Input input;
  input.path = cfimpl::toUTF8Lossy(cfimpl::units(path.get()));
  if (input.path.empty() || input.path.find('\0') != std::string::npos) return nullptr;
  return makeImageSource(std::move(input));
}

CGImageSourceRef CGImageSourceCreateWithData(CFDataRef data, CFDictionaryRef) {
  if (!cfimpl::isA(data, cfimpl::kTypeData)) return nullptr;
  Input input;
  input.data.reset(CFDataCreateCopy(nullptr, data));
  if (!input.data) return nullptr;
  return makeImageSource(std::move(input));
}

CFStringRef CGImageSourceGetType(CGImageSourceRef isrc) {
  return cfimpl::isA(isrc, kTypeImageSource) ? isrc->type : nullptr;
}

size_t CGImageSourceGetCount(CGImageSourceRef isrc) { return cfimpl::isA(isrc, kTypeImageSource) ? 1 : 0; }

CFDictionaryRef CGImageSourceCopyPropertiesAtIndex(CGImageSourceRef isrc, size_t index, CFDictionaryRef) {
  if (!cfimpl::isA(isrc, kTypeImageSource) || index != 0) return nullptr;
  return copyProperties(isrc->input);
}

CGImageRef CGImageSourceCreateImageAtIndex(CGImageSourceRef isrc, size_t index, CFDictionaryRef) {
  if (!cfimpl::isA(isrc, kTypeImageSource) || index != 0) return nullptr;
  GRef<VipsImage> image(openImage(isrc->input));
  if (!image || pixelCount(image.get()) > kImageIOMaxPixelCount) return nullptr;
  GRef<VipsImage> pixels(decode(image.get()));
  if (!pixels) return nullptr;
  return new CGImage(std::exchange(pixels.ptr, nullptr));
}

namespace {

// The pipeline of a thumbnail: the first image, shrunk (on loading, for a JPEG) to fit a square
// of maxSize pixels when maxSize > 0, turned upright when transform is set. Nothing is decoded
// yet; null when the header cannot be read or declares too many pixels.
VipsImage* thumbnailPipeline(const Input& input, int maxSize, bool transform) {
  GRef<VipsImage> image(openImage(input));
  if (!image || pixelCount(image.get()) > kImageIOMaxPixelCount) return nullptr;
  int longest = std::max(vips_image_get_width(image.get()), vips_image_get_height(image.get()));
  int shrink = isJPEG(input) ? decoderShrink(longest, maxSize) : 1;
  if (shrink > 1) {
    image.reset(openImage(input, shrink));
    if (!image) return nullptr;
  }

  VipsImage* scaled = nullptr;
  int status = 0;
  if (maxSize > 0 && isPlainRGB(image.get()) && shrinkToFit(image.get(), maxSize) > 1.0) {
    status = scaleDown(image.get(), &scaled, maxSize, transform);
  } else if (maxSize > 0) {
    status = vips_thumbnail_image(image.get(), &scaled, maxSize, "height", maxSize, "size", VIPS_SIZE_DOWN, "no_rotate",
                                  transform ? FALSE : TRUE, nullptr);
  } else if (transform) {
    status = vips_autorot(image.get(), &scaled, nullptr);
  } else {
    scaled = image.get();
    g_object_ref(scaled);
  }
  if (status != 0 || !scaled) {
    if (scaled) g_object_unref(scaled);
    vips_error_clear();
    return nullptr;
  }
  return scaled;
}

}  // namespace

CGImageRef CGImageSourceCreateThumbnailAtIndex(CGImageSourceRef isrc, size_t index, CFDictionaryRef options) {
  if (!cfimpl::isA(isrc, kTypeImageSource) || index != 0) return nullptr;
  const int maxSize = static_cast<int>(std::min(integerOption(options, kCGImageSourceThumbnailMaxPixelSize, 0), long{VIPS_MAX_COORD}));
  const bool transform = booleanOption(options, kCGImageSourceCreateThumbnailWithTransform);
  // The pixels are made as they are read: a photo that turns out to be cut off or damaged
  // gives no pixels then, and an encoder given it fails.
  GRef<VipsImage> pipeline(thumbnailPipeline(isrc->input, maxSize, transform));
  if (!pipeline) return nullptr;
  Input input = isrc->input;
  return new CGImage(std::exchange(pipeline.ptr, nullptr),
                     [input, maxSize, transform] { return thumbnailPipeline(input, maxSize, transform); });
}
