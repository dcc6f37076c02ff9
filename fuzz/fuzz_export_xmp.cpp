// libFuzzer target for velm-export's reading of photos' and sidecars' XMP (captions, titles and
// keywords, hierarchical ones too, the sidecar winning), the rendering of the version with the
// sidecar's position, caption and keywords merged into a copy, the caption written back into a
// sidecar that is already there (its other languages kept), and the shared library's GPS
// reading of the photo.
//
// The first input byte chooses where the rest goes: 0 the sidecar "photo.jpg.xmp" beside a
// small photo, 1 an XMP packet inside the photo, 2 both.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CFRef.h"
#include "FuzzScratch.h"
#include "CoreFoundation.h"
#include "PhotoLibrary.h"
#include "Renderer.h"
#include "gps.h"
#include "tinyJpeg.h"

namespace {

// The small JPEG with an XMP packet in an APP1 segment after its start marker.
std::string jpegWithXmp(const std::string& xmp) {
  std::string payload = std::string("http://ns.adobe.com/xap/1.0/\0", 29) + xmp.substr(0, 65000);
  std::size_t length = payload.size() + 2;
  std::string segment{'\xFF', '\xE1', static_cast<char>(length >> 8), static_cast<char>(length & 0xFF)};
  std::string jpeg(reinterpret_cast<const char*>(kTinyJpeg), kTinyJpegLength);
  return jpeg.substr(0, 2) + segment + payload + jpeg.substr(2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int where = data[0] % 3;
  const std::string xmp(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string photo = fuzzscratch::folder("export") + "/photo.jpg";
  const std::string sidecar = PhotoLibrary::sidecarPath(photo);
  fuzzscratch::writeFile(photo,
                         where == 0 ? std::string(reinterpret_cast<const char*>(kTinyJpeg), kTinyJpegLength) : jpegWithXmp(xmp));
  if (where != 1) fuzzscratch::writeFile(sidecar, xmp);

  {
    PhotoLibrary library;
    std::string error;
    if (library.add(photo, &error)) {
      CFRef<CFDictionaryRef> properties(library.copyExportProperties(0));
      (void)library.caption(0);
      (void)library.keywords(0);
      const std::string rendered = fuzzscratch::folder("export") + "/rendered.jpg";
      std::string why;
      (void)renderVersion(library, 0, rendered, ExportSettings{}, &why);
      unlink(rendered.c_str());
      // The plug-in's write-back: the page address into the caption, in the sidecar.
      CFRef<CFStringRef> version(CFStringCreateWithCString(nullptr, library.photo(0).versionName.c_str(),
                                                           kCFStringEncodingUTF8));
      CFRef<CFStringRef> value;
      CFStringRef address = CFSTR("http://127.0.0.1/photo/0123456789abcdef01234567");
      CFStringRef tag = CFSTR("Caption/Abstract");
      CFStringRef got = nullptr;
      if (library.copyIPTCTagValue(version.get(), tag, &got) == noErr) {
        value.reset(got);
        (void)library.setIPTCTagValue(version.get(), tag, address);
      } else {
        (void)library.makeIPTCTag(version.get(), tag, address);
      }
      (void)library.caption(0);
    }
  }

  GpsInfoRecord gps{};
  CFRef<CFStringRef> path(CFStringCreateWithCString(nullptr, photo.c_str(), kCFStringEncodingUTF8));
  if (gpsGetCoordinatesFromFilePath(path.get(), &gps) == 0) {
    CFRef<CFStringRef> latitude(gpsMakeCoordianteString(gps.latitude, gps.latitudeRef));
    CFRef<CFStringRef> longitude(gpsMakeCoordianteString(gps.longitude, gps.longitudeRef));
  }
  gpsReleaseInfoRecord(&gps);

  unlink(photo.c_str());
  unlink(sidecar.c_str());
  return 0;
}
