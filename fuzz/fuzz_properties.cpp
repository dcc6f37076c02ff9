// libFuzzer target for the image property reader and the metadata writer behind it.
//
// The first input byte chooses what the rest is: 0 a whole image file; 1 an EXIF block, 2 an
// XMP packet, 3 an IPTC block (inside a Photoshop resource), 4 an ICC profile, each placed in
// an otherwise valid 8 by 8 JPEG. The reader's properties are then written into a new JPEG,
// which decodes the metadata blocks a second time.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ImageIO.h"
#include "tinyJpeg.h"

namespace {

std::string segment(uint8_t marker, const std::string& payload) {
  std::string body = payload.substr(0, 65533);
  size_t length = body.size() + 2;
  return std::string{'\xFF', static_cast<char>(marker), static_cast<char>(length >> 8), static_cast<char>(length & 0xFF)} +
         body;
}

std::string jpegWith(uint8_t kind, const std::string& data) {
  std::string seg;
  switch (kind) {
    case 1:
      seg = segment(0xE1, std::string("Exif\0\0", 6) + data);
      break;
    case 2:
      seg = segment(0xE1, std::string("http://ns.adobe.com/xap/1.0/\0", 29) + data);
      break;
    case 3: {
      std::string resource = std::string("8BIM\x04\x04\0\0", 8);
      size_t n = data.size();
      resource += std::string{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                              static_cast<char>(n)};
      resource += data;
      if (n % 2) resource.push_back('\0');
      seg = segment(0xED, std::string("Photoshop 3.0\0", 14) + resource);
      break;
    }
    default:
      seg = segment(0xE2, std::string("ICC_PROFILE\0\x01\x01", 14) + data);
      break;
  }
  std::string jpeg(reinterpret_cast<const char*>(kTinyJpeg), kTinyJpegLength);
  return jpeg.substr(0, 2) + seg + jpeg.substr(2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 1) return 0;
  uint8_t kind = bytes[0] % 5;
  std::string rest(reinterpret_cast<const char*>(bytes + 1), size - 1);
  std::string file = kind == 0 ? rest : jpegWith(kind, rest);

  CFRef<CFDataRef> data(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(file.data()), static_cast<CFIndex>(file.size())));
  CFRef<CGImageSourceRef> source(CGImageSourceCreateWithData(data.get(), nullptr));
  if (!source) return 0;
  CFRef<CFDictionaryRef> properties(CGImageSourceCopyPropertiesAtIndex(source.get(), 0, nullptr));
  if (!properties) return 0;

  // Write the metadata again, onto the small picture (never decode a fuzzed one: that is the
  // image decoders' business, and slow).
  CFRef<CFDataRef> tiny(CFDataCreate(nullptr, kTinyJpeg, kTinyJpegLength));
  CFRef<CGImageSourceRef> tinySource(CGImageSourceCreateWithData(tiny.get(), nullptr));
  CFRef<CGImageRef> image(CGImageSourceCreateImageAtIndex(tinySource.get(), 0, nullptr));
  CFRef<CFMutableDataRef> out(CFDataCreateMutable(nullptr, 0));
  CFRef<CGImageDestinationRef> destination(CGImageDestinationCreateWithData(out.get(), kUTTypeJPEG, 1, nullptr));
  if (image && destination) {
    CGImageDestinationAddImage(destination.get(), image.get(), properties.get());
    CGImageDestinationFinalize(destination.get());
  }
  return 0;
}
