#include "Renderer.h"

#include "HostFiles.h"

#include <fcntl.h>
#include <libraw/libraw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips.h>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>

#include "HeifMetadata.h"
#include "ImageIO.h"
#include "Text.h"

namespace fs = std::filesystem;
using velmexport::cfString;

namespace {

// The file's bytes, read in large blocks (sized by the file) rather than character by character.
bool readWhole(const std::string& path, std::string& out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0;
  out.clear();
  if (ok && st.st_size > 0) out.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (ok) {
    if (done == out.size()) out.resize(done + 65536);  // the file grew, or its size is unknown
    ssize_t n = read(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  out.resize(ok ? done : 0);
  return ok;
}

long numberOf(CFDictionaryRef d, CFStringRef key) {
  auto n = static_cast<CFNumberRef>(d ? CFDictionaryGetValue(d, key) : nullptr);
  long v = 0;
  if (n && CFGetTypeID(n) == CFNumberGetTypeID()) CFNumberGetValue(n, kCFNumberLongType, &v);
  return v;
}

void startLibraries() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (VIPS_INIT("velm-export") != 0) vips_error_clear();
    Exiv2::enableBMFF(true);
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  });
}

std::string vipsError() {
  std::string why = vips_error_buffer();
  vips_error_clear();
  while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
  return why.empty() ? "cannot be decoded" : why;
}

// How a photo becomes its rendered file.
enum class Route {
  Copy,      // the file itself, its metadata rewritten (formats Exiv2 writes)
  Reencode,  // decoded and encoded as JPEG (formats whose metadata Exiv2 only reads: HEIC, AVIF)
  Raw,       // developed by LibRaw and encoded as JPEG
};

// Whether LibRaw reads the file as a camera RAW.
bool isRaw(const std::string& path) {
  std::unique_ptr<LibRaw> raw = std::make_unique<LibRaw>();
  if (raw->open_file(path.c_str()) != LIBRAW_SUCCESS) return false;
  // A JPEG or plain TIFF is no RAW even when LibRaw's identification names a camera.
  return raw->imgdata.idata.raw_count > 0 || raw->imgdata.idata.dng_version != 0;
}

Route routeOf(const std::string& path) {
  startLibraries();
  int type = Exiv2::ImageType::none;
  try {
    type = Exiv2::ImageFactory::getType(path);
  } catch (const std::exception&) {
  }
  const bool simple = type == Exiv2::ImageType::jpeg || type == Exiv2::ImageType::png ||
                      type == Exiv2::ImageType::jp2;
  if (!simple && isRaw(path)) return Route::Raw;
  if (type == Exiv2::ImageType::none) return Route::Copy;  // a format only the decoder knows: as it is
  try {
    if (Exiv2::ImageFactory::checkMode(type, Exiv2::mdExif) == Exiv2::amReadWrite &&
        Exiv2::ImageFactory::checkMode(type, Exiv2::mdXmp) == Exiv2::amReadWrite)
      return Route::Copy;
  } catch (const std::exception&) {
  }
  return Route::Reencode;
}

// The EXIF tags of the picture as taken that a JPEG made from another file carries: the
// camera, the exposure, the position; never the original's layout, thumbnails or maker notes.
bool carriedExif(const Exiv2::Exifdatum& d) {
  const std::string group = d.groupName();
  if (group == "GPSInfo") return true;
  if (group == "Photo") return d.tagName() != "MakerNote" && d.size() < 4096;
  if (group == "Image") {
    static const char* const kept[] = {"Make",      "Model",  "DateTime",  "Artist",   "Copyright",
                                       "Software",  "ImageDescription", "XResolution", "YResolution",
                                       "ResolutionUnit"};
    return std::find_if(std::begin(kept), std::end(kept), [&](const char* k) { return d.tagName() == k; }) !=
           std::end(kept);
  }
  return false;
}

struct SourceMetadata {
  Exiv2::ExifData exif;
  Exiv2::IptcData iptc;
  Exiv2::XmpData xmp;
  bool read = false;
};

SourceMetadata readSource(const std::string& path) {
  SourceMetadata m;
  try {
    auto image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    for (const auto& d : image->exifData())
      if (carriedExif(d)) m.exif.add(d);
    m.iptc = image->iptcData();
    m.xmp = image->xmpData();
    if (m.xmp.empty() && image->imageType() == Exiv2::ImageType::bmff) {
      std::string packet = heifXmpPacket(path);
      if (!packet.empty() && Exiv2::XmpParser::decode(m.xmp, packet) != 0) m.xmp.clear();
    }
    m.read = true;
  } catch (const std::exception&) {
  }
  return m;
}

void eraseWhere(Exiv2::ExifData& exif, const std::function<bool(const Exiv2::Exifdatum&)>& which) {
  for (auto it = exif.begin(); it != exif.end();) it = which(*it) ? exif.erase(it) : std::next(it);
}
void eraseWhere(Exiv2::XmpData& xmp, const std::function<bool(const Exiv2::Xmpdatum&)>& which) {
  for (auto it = xmp.begin(); it != xmp.end();) it = which(*it) ? xmp.erase(it) : std::next(it);
}
void eraseKey(Exiv2::IptcData& iptc, const char* key) {
  for (auto it = iptc.begin(); it != iptc.end();) it = it->key() == key ? iptc.erase(it) : std::next(it);
}

bool isGpsXmp(const Exiv2::Xmpdatum& d) { return d.key().rfind("Xmp.exif.GPS", 0) == 0; }

// The version's metadata as the host knows it, over what the rendered file holds: the caption
// and keywords as they are sent, the sidecar's position (when it has one) over the photo's,
// no position at all with noLocation.
void mergeVersion(const PhotoLibrary& library, size_t index, const ExportSettings& settings, Exiv2::ExifData& exif,
                  Exiv2::IptcData& iptc, Exiv2::XmpData& xmp) {
  const std::string caption = library.captionSent(index);
  const std::vector<std::string> keywords = library.keywordsSent(index);

  iptc["Iptc.Envelope.CharacterSet"] = "\x1b%G";
  eraseKey(iptc, "Iptc.Application2.Caption");
  if (!caption.empty()) iptc["Iptc.Application2.Caption"] = caption;
  eraseKey(iptc, "Iptc.Application2.Keywords");
  for (const auto& k : keywords) {
    Exiv2::StringValue v(k);
    iptc.add(Exiv2::IptcKey("Iptc.Application2.Keywords"), &v);
  }

  // XMP: the default caption replaced, its other languages kept.
  const Exiv2::XmpKey description("Xmp.dc.description");
  Exiv2::LangAltValue text;
  if (auto it = xmp.findKey(description); it != xmp.end()) {
    if (auto* alt = dynamic_cast<const Exiv2::LangAltValue*>(&it->value())) text.value_ = alt->value_;
    xmp.erase(it);
  }
  if (!caption.empty()) text.value_["x-default"] = caption;
  else text.value_.erase("x-default");
  if (!text.value_.empty()) xmp.add(description, &text);
  if (auto it = xmp.findKey(Exiv2::XmpKey("Xmp.dc.subject")); it != xmp.end()) xmp.erase(it);
  if (!keywords.empty()) {
    Exiv2::XmpArrayValue bag(Exiv2::xmpBag);
    for (const auto& k : keywords) bag.read(k);
    xmp.add(Exiv2::XmpKey("Xmp.dc.subject"), &bag);
  }
  // darktable's own tags stay at home.
  eraseWhere(xmp, [](const Exiv2::Xmpdatum& d) { return d.key().rfind("Xmp.darktable.", 0) == 0; });

  // The sidecar's position wins over the photo's.
  Exiv2::XmpData sidecarGps;
  try {
    std::string sidecar = PhotoLibrary::sidecarPath(library.photo(index).path);
    std::error_code ec;
    if (fs::is_regular_file(sidecar, ec)) {
      auto image = Exiv2::ImageFactory::open(sidecar);
      image->readMetadata();
      for (const auto& d : image->xmpData())
        if (isGpsXmp(d)) sidecarGps.add(d);
    }
  } catch (const std::exception&) {
    sidecarGps.clear();  // an unreadable sidecar holds no position
  }
  const bool sidecarHasPosition = sidecarGps.findKey(Exiv2::XmpKey("Xmp.exif.GPSLatitude")) != sidecarGps.end() &&
                                  sidecarGps.findKey(Exiv2::XmpKey("Xmp.exif.GPSLongitude")) != sidecarGps.end();
  if (settings.noLocation || sidecarHasPosition) {
    eraseWhere(exif, [](const Exiv2::Exifdatum& d) { return d.groupName() == "GPSInfo"; });
    eraseWhere(xmp, isGpsXmp);
  }
  if (!settings.noLocation && sidecarHasPosition) {
    Exiv2::ExifData converted;
    Exiv2::copyXmpToExif(sidecarGps, converted);
    for (const auto& d : converted)
      if (d.groupName() == "GPSInfo") exif.add(d);
    if (exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSVersionID")) == exif.end())
      exif["Exif.GPSInfo.GPSVersionID"] = "2 3 0 0";
    for (const auto& d : sidecarGps) xmp.add(d);
  }
}

// The image bytes with the given metadata written in; false with `why` when Exiv2 cannot.
bool writeMetadata(std::string& bytes, const std::function<void(Exiv2::Image&)>& change, std::string* why) {
  try {
    auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(bytes.data()),
                                           static_cast<long>(bytes.size()));
    image->readMetadata();
    change(*image);
    image->writeMetadata();
    // Exiv2's buffer of the written image goes straight into bytes; bytes is left as it was
    // until then, so a failure leaves the image unchanged.
    Exiv2::BasicIo& io = image->io();
    const Exiv2::byte* all = io.mmap();
    std::string written(reinterpret_cast<const char*>(all), io.size());
    io.munmap();
    bytes.swap(written);
    return true;
  } catch (const std::exception& e) {
    if (why) *why = e.what();
    return false;
  }
}

// The offset of a JPEG's first start-of-scan marker, found by following the segments before
// it; 0 when the bytes are no JPEG whose segments can be followed that far.
size_t startOfScan(const std::string& bytes) {
  auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() < 4 || at(0) != 0xFF || at(1) != 0xD8) return 0;
  size_t pos = 2;
  while (pos + 4 <= bytes.size()) {
    if (at(pos) != 0xFF) return 0;
    const unsigned char marker = at(pos + 1);
    if (marker == 0xFF) {  // a fill byte before the marker
      ++pos;
      continue;
    }
    if (marker == 0xDA) return pos;
    // Markers without a length (or an image that ends) have no place before the scan.
    if (marker == 0xD8 || marker == 0xD9 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x00)
      return 0;
    const size_t length = (size_t{at(pos + 2)} << 8) | at(pos + 3);
    if (length < 2 || length > bytes.size() - pos - 2) return 0;
    pos += 2 + length;
  }
  return 0;
}

// A JPEG's metadata rewritten by Exiv2 on the segments before the scan only: the compressed
// picture after them goes over unchanged, as Exiv2 itself would copy it, without being copied
// through Exiv2's growing buffers. False (bytes unchanged) when the segments cannot be
// followed or Exiv2 cannot write them; `why` then tells why when Exiv2 refused.
bool writeJpegHeaderMetadata(std::string& bytes, const std::function<void(Exiv2::Image&)>& change, std::string* why) {
  const size_t scan = startOfScan(bytes);
  if (scan == 0) return false;
  // The segments, then a scan header of one component and the end of the image in place of the
  // picture, which Exiv2 copies from its start-of-scan marker on without reading it.
  static const char kStubScan[] = "\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00\xFF\xD9";
  std::string head(bytes, 0, scan);
  head.append(kStubScan, sizeof kStubScan - 1);
  if (!writeMetadata(head, change, why)) return false;
  const size_t newScan = startOfScan(head);
  if (newScan == 0) return false;
  head.resize(newScan);
  head.append(bytes, scan, std::string::npos);
  bytes.swap(head);
  return true;
}

// A JPEG of 8-bit RGB pixels.
bool encodeJpeg(const void* pixels, int width, int height, int bands, std::string& out, std::string* why) {
  VipsImage* image = vips_image_new_from_memory_copy(pixels, static_cast<size_t>(width) * height * bands, width, height,
                                                     bands, VIPS_FORMAT_UCHAR);
  if (!image) {
    *why = vipsError();
    return false;
  }
  void* buffer = nullptr;
  size_t length = 0;
  int rc = vips_jpegsave_buffer(image, &buffer, &length, "Q", 92, "strip", TRUE, nullptr);
  g_object_unref(image);
  if (rc != 0) {
    *why = vipsError();
    return false;
  }
  out.assign(static_cast<const char*>(buffer), length);
  g_free(buffer);
  return true;
}

// A camera RAW developed as the camera saw it: its white balance, full size, turned upright.
bool developRaw(const std::string& path, std::string& jpeg, std::string* why) {
  std::unique_ptr<LibRaw> raw = std::make_unique<LibRaw>();
  raw->imgdata.params.use_camera_wb = 1;
  raw->imgdata.params.output_bps = 8;
  int rc = raw->open_file(path.c_str());
  if (rc == LIBRAW_SUCCESS) rc = raw->unpack();
  if (rc == LIBRAW_SUCCESS) rc = raw->dcraw_process();
  if (rc != LIBRAW_SUCCESS) {
    *why = std::string("the RAW file cannot be developed (") + libraw_strerror(rc) + ")";
    return false;
  }
  int error = 0;
  libraw_processed_image_t* image = raw->dcraw_make_mem_image(&error);
  if (!image) {
    *why = std::string("the RAW file cannot be developed (") + libraw_strerror(error) + ")";
    return false;
  }
  bool ok = image->type == LIBRAW_IMAGE_BITMAP && image->bits == 8 && (image->colors == 3 || image->colors == 1);
  if (ok) ok = encodeJpeg(image->data, image->width, image->height, image->colors, jpeg, why);
  else *why = "the RAW file develops into no picture";
  LibRaw::dcraw_clear_mem(image);
  return ok;
}

// Any other picture decoded, turned upright and encoded as JPEG.
bool reencode(const std::string& path, std::string& jpeg, std::string* why) {
  VipsImage* in = vips_image_new_from_file(path.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
  if (!in) {
    *why = vipsError();
    return false;
  }
  VipsImage* upright = nullptr;
  VipsImage* srgb = nullptr;
  VipsImage* flat = nullptr;
  bool ok = vips_autorot(in, &upright, nullptr) == 0 && vips_colourspace(upright, &srgb, VIPS_INTERPRETATION_sRGB, nullptr) == 0 &&
            vips_cast_uchar(srgb, &flat, nullptr) == 0;
  void* buffer = nullptr;
  size_t length = 0;
  // The decoder's EXIF goes along (autorot has set its orientation upright): some files hold
  // EXIF that only the decoder reads.
  ok = ok && vips_jpegsave_buffer(flat, &buffer, &length, "Q", 92, nullptr) == 0;
  for (VipsImage* i : {in, upright, srgb, flat})
    if (i) g_object_unref(i);
  if (!ok) {
    *why = vipsError();
    return false;
  }
  jpeg.assign(static_cast<const char*>(buffer), length);
  g_free(buffer);
  return true;
}

}  // namespace

std::string renderedExtension(const PhotoLibrary::Photo& photo) {
  return routeOf(photo.path) == Route::Copy ? photo.extension : ".jpg";
}

std::string renderedFileName(const PhotoLibrary::Photo& photo) {
  std::string name = photo.versionName;
  for (auto& c : name)
    if (c == '/' || c == '\0') c = '_';
  if (name.empty() || name[0] == '.') name.insert(0, "_");
  const size_t limit = 240;
  if (name.size() > limit) {
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    name.resize(cut);
  }
  return name + renderedExtension(photo);
}

bool renderVersion(const PhotoLibrary& library, size_t index, const std::string& destination,
                   const ExportSettings& settings, std::string* error, std::string* written) {
  startLibraries();
  PhotoLibrary::Photo photo = library.photo(index);
  auto fail = [&](const std::string& why) {
    if (error) *error = photo.path + ": " + why;
    return false;
  };
  if (photo.path.empty()) return fail("no such photo");
  const Route route = routeOf(photo.path);
  std::string bytes, why;
  if (route == Route::Copy) {
    if (!readWhole(photo.path, bytes)) return fail("cannot be read");
    // The copy's own metadata, with the version's merged over it; bytes stay as they are
    // when Exiv2 cannot write them.
    auto merge = [&](Exiv2::Image& image) {
      Exiv2::ExifData exif = image.exifData();
      Exiv2::IptcData iptc = image.iptcData();
      Exiv2::XmpData xmp = image.xmpData();
      mergeVersion(library, index, settings, exif, iptc, xmp);
      image.setExifData(exif);
      if (Exiv2::ImageFactory::checkMode(image.imageType(), Exiv2::mdIptc) == Exiv2::amReadWrite)
        image.setIptcData(iptc);
      image.setXmpData(xmp);
    };
    // A JPEG (whose segments can be followed) on its segments only; any other file whole.
    bool written = writeJpegHeaderMetadata(bytes, merge, &why) || writeMetadata(bytes, merge, &why);
    if (!written && settings.noLocation) return fail("its position cannot be removed (" + why + ")");
    // Otherwise the photo goes as it is: what the host cannot write it still sends.
  } else {
    bool made = route == Route::Raw ? developRaw(photo.path, bytes, &why) : reencode(photo.path, bytes, &why);
    if (!made) return fail(why);
    SourceMetadata source = readSource(photo.path);
    bool written = writeMetadata(
        bytes,
        [&](Exiv2::Image& image) {
          // What the decoder carried, where Exiv2 read nothing of the original.
          if (source.exif.empty())
            for (const auto& d : image.exifData())
              if (carriedExif(d)) source.exif.add(d);
          mergeVersion(library, index, settings, source.exif, source.iptc, source.xmp);
          // The pixels are upright now.
          source.exif["Exif.Image.Orientation"] = uint16_t(1);
          if (auto it = source.xmp.findKey(Exiv2::XmpKey("Xmp.tiff.Orientation")); it != source.xmp.end())
            source.xmp.erase(it);
          image.setExifData(source.exif);
          image.setIptcData(source.iptc);
          image.setXmpData(source.xmp);
        },
        &why);
    if (!written) return fail("its metadata cannot be carried (" + why + ")");
  }
  if (!velmexport::replaceFile(destination, bytes, 0600, false)) return fail(destination + " cannot be written (" + strerror(errno) + ")");
  if (written) *written = std::move(bytes);
  return true;
}

bool isRawPhoto(const std::string& path) {
  startLibraries();
  return routeOf(path) == Route::Raw;
}

bool renderedSize(const std::string& path, int maxSize, int* width, int* height) {
  CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.data()),
                                                              static_cast<CFIndex>(path.size()), false));
  CFRef<CGImageSourceRef> source(url ? CGImageSourceCreateWithURL(url.get(), nullptr) : nullptr);
  if (!source || CGImageSourceGetCount(source.get()) == 0) return false;
  CFRef<CFDictionaryRef> props(CGImageSourceCopyPropertiesAtIndex(source.get(), 0, nullptr));
  long w = numberOf(props.get(), kCGImagePropertyPixelWidth), h = numberOf(props.get(), kCGImagePropertyPixelHeight);
  if (w <= 0 || h <= 0) return false;
  long longest = std::max(w, h);
  if (maxSize > 0) {
    if (numberOf(props.get(), kCGImagePropertyOrientation) >= 5) std::swap(w, h);
    if (longest > maxSize) {
      double scale = static_cast<double>(maxSize) / static_cast<double>(longest);
      w = std::max(1L, std::lround(static_cast<double>(w) * scale));
      h = std::max(1L, std::lround(static_cast<double>(h) * scale));
    }
  }
  *width = static_cast<int>(w);
  *height = static_cast<int>(h);
  return true;
}
