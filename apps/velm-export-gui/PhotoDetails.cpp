#include "PhotoDetails.h"

#include "CoreFoundation.h"
#include "HostPlugIn.h"
#include "ImageIO.h"
#include "PhotoLibrary.h"
#include "Text.h"
#include "gps.h"

namespace velmexport {

namespace {

QImage thumbnailOf(const std::string& path, int side) {
  CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(
      nullptr, reinterpret_cast<const UInt8*>(path.data()), static_cast<CFIndex>(path.size()), false));
  if (!url) return {};
  CFRef<CFNumberRef> maxSide(CFNumberCreate(nullptr, kCFNumberIntType, &side));
  const void* keys[] = {kCGImageSourceCreateThumbnailFromImageAlways, kCGImageSourceThumbnailMaxPixelSize,
                        kCGImageSourceCreateThumbnailWithTransform};
  const void* values[] = {kCFBooleanTrue, maxSide.get(), kCFBooleanTrue};
  CFRef<CFDictionaryRef> options(CFDictionaryCreate(nullptr, keys, values, 3, &kCFTypeDictionaryKeyCallBacks,
                                                    &kCFTypeDictionaryValueCallBacks));
  CFRef<CGImageSourceRef> source(CGImageSourceCreateWithURL(url.get(), nullptr));
  if (!source) return {};
  CFRef<CGImageRef> image(CGImageSourceCreateThumbnailAtIndex(source.get(), 0, options.get()));
  if (!image) return {};
  CFRef<CFDataRef> rgba(CGImageCreateRGBA8Data(image.get()));
  const int width = static_cast<int>(CGImageGetWidth(image.get()));
  const int height = static_cast<int>(CGImageGetHeight(image.get()));
  if (!rgba || width <= 0 || height <= 0 || CFDataGetLength(rgba.get()) < CFIndex(width) * height * 4) return {};
  return QImage(CFDataGetBytePtr(rgba.get()), width, height, width * 4, QImage::Format_RGBA8888).copy();
}

}  // namespace

PhotoDetails readPhotoDetails(const std::string& path, int thumbnailSide) {
  PhotoDetails d;
  d.thumbnail = thumbnailOf(path, thumbnailSide);
  // The library of the export reads captions and keywords; a library of this one photo reads
  // them here the same way (the sidecar winning over the photo).
  PhotoLibrary one;
  if (one.add(path, nullptr)) {
    d.caption = QString::fromStdString(one.caption(0));
    for (const auto& k : one.keywords(0)) d.keywords << QString::fromStdString(k);
  }
  CFRef<CFStringRef> cfPath = cfString(path);
  GpsInfoRecord gps{};
  if (cfPath && gpsGetCoordinatesFromFilePath(cfPath.get(), &gps) == 0) {
    // Signed by the hemisphere letters, as the plug-in signs them for the upload.
    d.hasPosition = true;
    d.latitude = gps.latitudeRef == 'N' ? gps.latitude : -gps.latitude;
    d.longitude = gps.longitudeRef == 'W' ? -gps.longitude : gps.longitude;
  }
  gpsReleaseInfoRecord(&gps);
  return d;
}

CollectedPhotos collectDroppedPhotos(const std::vector<std::string>& names) {
  CollectedPhotos c;
  if (!collectPhotos(names, true, &c.photos, &c.notPhotos, &c.error)) {
    // Keep what could be collected from the other names: one unreadable name loses nothing else.
    std::vector<std::string> rest;
    c.notPhotos.clear();
    for (const auto& n : names) {
      std::vector<std::string> p, np;
      std::string why;
      if (collectPhotos({n}, true, &p, &np, &why)) {
        rest.insert(rest.end(), p.begin(), p.end());
        c.notPhotos.insert(c.notPhotos.end(), np.begin(), np.end());
      }
    }
    c.photos = rest;
  }
  return c;
}

}  // namespace velmexport
