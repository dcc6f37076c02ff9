// Image destinations: JPEG encoding with libvips, metadata written with Exiv2.
#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ImageIOInternal.h"

const CFStringRef kCGImageDestinationLossyCompressionQuality = CFSTR("kCGImageDestinationLossyCompressionQuality");

using imageio::GRef;

struct CGImageDestination : cfimpl::Object {
  CGImageDestination() : Object(imageio::kTypeImageDestination) {}
  CFRef<CFMutableDataRef> data;
  size_t count = 0;
  double quality = -1;  // 0.0 to 1.0; negative: the encoder's default
  struct Added {
    CFRef<CGImageRef> image;
    CFRef<CFDictionaryRef> properties;
  };
  std::vector<Added> images;
  bool finalized = false;
};

namespace {

double qualityOf(CFDictionaryRef dict, double fallback) {
  if (!cfimpl::isA(dict, cfimpl::kTypeDictionary)) return fallback;
  auto value = static_cast<CFTypeRef>(CFDictionaryGetValue(dict, kCGImageDestinationLossyCompressionQuality));
  if (!cfimpl::isA(value, cfimpl::kTypeNumber)) return fallback;
  double q = 0;
  CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberDoubleType, &q);
  if (!(q >= 0.0 && q <= 1.0)) return fallback;
  return q;
}

CFDataRef blockOf(CFDictionaryRef blocks, const char* name) {
  auto value = static_cast<CFTypeRef>(CFDictionaryGetValue(blocks, __CFStringMakeConstantString(name)));
  if (!cfimpl::isA(value, cfimpl::kTypeData) || CFDataGetLength(static_cast<CFDataRef>(value)) <= 0) return nullptr;
  return static_cast<CFDataRef>(value);
}

// The orientation asked for in the properties, or 0.
int orientationOf(CFDictionaryRef properties) {
  auto value = static_cast<CFTypeRef>(CFDictionaryGetValue(properties, kCGImagePropertyOrientation));
  if (!cfimpl::isA(value, cfimpl::kTypeNumber)) return 0;
  int o = 0;
  if (!CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &o) || o < 1 || o > 8) return 0;
  return o;
}

// The colour space an ICC profile describes, from its header ("RGB ", "GRAY", "CMYK", ...).
std::string profileSpace(const void* profile, size_t length) {
  if (length < 128) return {};
  return std::string(static_cast<const char*>(profile) + 16, 4);
}

// The colour space of an encoded JPEG by its component count.
std::string jpegSpace(const void* jpeg, size_t length) {
  GRef<VipsImage> head(vips_image_new_from_buffer(jpeg, length, "", nullptr));
  if (!head) {
    vips_error_clear();
    return {};
  }
  switch (vips_image_get_bands(head.get())) {
    case 1:
      return "GRAY";
    case 3:
      return "RGB ";
    case 4:
      return "CMYK";
    default:
      return {};
  }
}

// Writes the metadata of the properties and the image's ICC profile into the encoded JPEG.
bool addMetadata(const void* jpeg, size_t length, VipsImage* image, CFDictionaryRef properties,
                 CFMutableDataRef out) {
  auto encoded = Exiv2::ImageFactory::open(static_cast<const Exiv2::byte*>(jpeg), static_cast<long>(length));
  if (!encoded.get()) return false;
  encoded->readMetadata();

  Exiv2::ExifData exif;
  Exiv2::IptcData iptc;
  Exiv2::XmpData xmp;
  std::string rawXmp;
  auto blocks = properties ? static_cast<CFTypeRef>(CFDictionaryGetValue(properties, kImageIOPropertyMetadataBlocks))
                           : nullptr;
  if (cfimpl::isA(blocks, cfimpl::kTypeDictionary)) {
    auto dict = static_cast<CFDictionaryRef>(blocks);
    if (CFDataRef block = blockOf(dict, "Exif"))
      Exiv2::ExifParser::decode(exif, CFDataGetBytePtr(block), static_cast<uint32_t>(CFDataGetLength(block)));
    if (CFDataRef block = blockOf(dict, "IPTC"))
      Exiv2::IptcParser::decode(iptc, CFDataGetBytePtr(block), static_cast<uint32_t>(CFDataGetLength(block)));
    if (CFDataRef block = blockOf(dict, "XMP")) {
      std::string packet(reinterpret_cast<const char*>(CFDataGetBytePtr(block)), static_cast<size_t>(CFDataGetLength(block)));
      if (Exiv2::XmpParser::decode(xmp, packet) != 0) {
        xmp.clear();
        rawXmp = std::move(packet);  // travels as it is
      }
    }
  }

  if (int orientation = properties ? orientationOf(properties) : 0) {
    Exiv2::ExifKey key("Exif.Image.Orientation");
    if (orientation != 1 || exif.findKey(key) != exif.end()) exif[key.key()] = static_cast<uint16_t>(orientation);
    Exiv2::XmpKey xmpKey("Xmp.tiff.Orientation");
    if (xmp.findKey(xmpKey) != xmp.end()) xmp[xmpKey.key()] = std::to_string(orientation);
  }

  encoded->setExifData(exif);
  encoded->setIptcData(iptc);
  if (!rawXmp.empty()) {
    encoded->setXmpPacket(rawXmp);
    encoded->writeXmpFromPacket(true);
  } else {
    encoded->setXmpData(xmp);
  }

  const void* profile = nullptr;
  size_t profileLength = 0;
  if (vips_image_get_typeof(image, VIPS_META_ICC_NAME) &&
      vips_image_get_blob(image, VIPS_META_ICC_NAME, &profile, &profileLength) == 0 && profileLength < 0x7fffffff) {
    std::string space = profileSpace(profile, profileLength);
    if (!space.empty() && space == jpegSpace(jpeg, length)) {
      Exiv2::DataBuf icc(static_cast<const Exiv2::byte*>(profile), static_cast<long>(profileLength));
      try {
        encoded->setIccProfile(icc, true);
      } catch (const std::exception&) {
        // A profile whose header contradicts its length is left out.
      }
    }
  }
  vips_error_clear();

  encoded->writeMetadata();
  // The encoded photo goes from Exiv2's buffer straight into the destination's data: one copy.
  Exiv2::BasicIo& io = encoded->io();
  if (io.open() != 0) return false;
  long size = static_cast<long>(io.size());
  const Exiv2::byte* bytes = size > 0 && size <= 0x7fffffff ? io.mmap() : nullptr;
  if (bytes) CFDataAppendBytes(out, bytes, static_cast<CFIndex>(size));
  io.munmap();
  io.close();
  return bytes != nullptr;
}

}  // namespace

CFTypeID CGImageDestinationGetTypeID(void) { return imageio::kTypeImageDestination; }

CGImageDestinationRef CGImageDestinationCreateWithData(CFMutableDataRef data, CFStringRef type, size_t count,
                                                       CFDictionaryRef options) {
  if (!cfimpl::isA(data, cfimpl::kTypeData) || !type || !CFEqual(type, kUTTypeJPEG)) return nullptr;
  if (count != 1) return nullptr;  // a JPEG file holds one image
  if (!imageio::ensureStarted()) return nullptr;
  auto* idst = new CGImageDestination();
  idst->data = CFRef<CFMutableDataRef>::retain(data);
  idst->count = count;
  idst->quality = qualityOf(options, -1);
  return idst;
}

void CGImageDestinationAddImage(CGImageDestinationRef idst, CGImageRef image, CFDictionaryRef properties) {
  if (!cfimpl::isA(idst, imageio::kTypeImageDestination) || !cfimpl::isA(image, imageio::kTypeImage)) return;
  if (idst->finalized || idst->images.size() >= idst->count) return;
  CFRef<CFDictionaryRef> copy;
  if (cfimpl::isA(properties, cfimpl::kTypeDictionary)) copy.reset(CFDictionaryCreateCopy(nullptr, properties));
  idst->images.push_back({CFRef<CGImageRef>::retain(image), std::move(copy)});
}

Boolean CGImageDestinationFinalize(CGImageDestinationRef idst) {
  if (!cfimpl::isA(idst, imageio::kTypeImageDestination)) return false;
  if (idst->finalized || idst->images.size() != idst->count) return false;
  idst->finalized = true;
  const auto& added = idst->images.front();
  // Each line of the image is encoded as it is made.
  GRef<VipsImage> pixels = added.image.get()->pixels();
  if (!pixels) return false;
  VipsImage* image = pixels.get();
  double quality = qualityOf(added.properties.get(), idst->quality);

  void* jpeg = nullptr;
  size_t length = 0;
  int status = quality >= 0
                   ? vips_jpegsave_buffer(image, &jpeg, &length, "strip", TRUE, "Q",
                                          std::max(1, static_cast<int>(std::lround(quality * 100))), nullptr)
                   : vips_jpegsave_buffer(image, &jpeg, &length, "strip", TRUE, nullptr);
  if (status != 0 || !jpeg) {
    vips_error_clear();
    g_free(jpeg);
    return false;
  }
  // addMetadata appends to the destination's data only as its last step, once all went well.
  bool ok = false;
  try {
    ok = addMetadata(jpeg, length, image, added.properties.get(), idst->data.get());
  } catch (...) {
    ok = false;
  }
  g_free(jpeg);
  vips_error_clear();
  if (!ok) return false;
  return true;
}
