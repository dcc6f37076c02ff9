#include "gps.h"

#include <cmath>

#include "ImageIO.h"
#include "RZMCoreFunctions.h"
#include "fileEngine.h"
#include "stringEngine.h"

namespace {

// Stores a copy of the string under key, when it is a string, in the field; a string the field
// held from an earlier read is released first.
void takeText(CFDictionaryRef dict, CFStringRef key, CFStringRef* field) {
  CFStringRef value = convGetORBStringRef(dict, key);
  if (!value) return;
  CFStringRef copy = CFStringCreateCopy(nullptr, value);
  if (!copy) return;
  if (*field) CFRelease(*field);
  *field = copy;
}

// The first character of the reference text, kept in 8 bits; 0 when there is none.
char referenceLetter(CFDictionaryRef gps, CFStringRef key) {
  CFStringRef ref = convGetORBStringRef(gps, key);
  if (!ref || ORBStringGetLength(ref) == 0) return 0;
  return static_cast<char>(ORBStringGetUniChar(ref, 0) & 0xFF);
}

// Metres per unit of a destination distance reference: kilometres, miles, nautical miles.
struct DistanceUnit {
  const char* ref;
  double metres;
};
constexpr DistanceUnit kDistanceUnits[] = {{"K", 1000.0}, {"M", 1609.344}, {"N", 1852.0}};

// Whether a printf-style format consumes exactly what gpsMakeCoordianteString passes: first an
// int (d i o u x X c), then at most three doubles (f F e E g G a A), with no other conversion,
// no "*" width or precision and no argument positions.
bool formatFitsCoordinate(CFStringRef format) {
  if (!format) return false;
  CFIndex n = CFStringGetLength(format);
  const UniChar* p = CFStringGetCharactersPtr(format);
  if (!p && n) return false;
  int argument = 0;
  for (CFIndex i = 0; i < n; ++i) {
    if (p[i] != '%') continue;
    if (++i >= n) return false;
    if (p[i] == '%') continue;
    auto isDigit = [](UniChar c) { return c >= '0' && c <= '9'; };
    while (i < n && (p[i] == '-' || p[i] == '+' || p[i] == ' ' || p[i] == '#' || p[i] == '0' || p[i] == '\'')) ++i;
    while (i < n && isDigit(p[i])) ++i;
    if (i < n && p[i] == '$') return false;
    if (i < n && p[i] == '.') {
      ++i;
      while (i < n && isDigit(p[i])) ++i;
    }
    int shortModifiers = 0, longModifiers = 0;
    while (i < n && (p[i] == 'h' || p[i] == 'l')) (p[i++] == 'h' ? shortModifiers : longModifiers)++;
    if (i >= n) return false;
    UniChar c = p[i];
    bool integer = c == 'd' || c == 'i' || c == 'o' || c == 'u' || c == 'x' || c == 'X' || c == 'c';
    bool floating = c == 'f' || c == 'F' || c == 'e' || c == 'E' || c == 'g' || c == 'G' || c == 'a' || c == 'A';
    if (argument == 0) {
      if (!integer || longModifiers) return false;
    } else if (argument <= 3) {
      if (!floating || shortModifiers || longModifiers > 1) return false;
    } else {
      return false;
    }
    ++argument;
  }
  return true;
}

}  // namespace

SInt32 gpsGetCoordinatesFromFile(const FSRef* ref, GpsInfoRecord* info) {
  if (!ref || !info) return -1;
  CFRef<CFURLRef> url(CFURLCreateFromFSRef(kCFAllocatorDefault, ref));
  if (!url) return -1;
  CFRef<CGImageSourceRef> source(CGImageSourceCreateWithURL(url.get(), nullptr));
  if (!source) return -1;
  CFRef<CFDictionaryRef> properties(CGImageSourceCopyPropertiesAtIndex(source.get(), 0, nullptr));
  if (!properties) return -1;

  auto iptc = static_cast<CFDictionaryRef>(CFDictionaryGetValue(properties.get(), kCGImagePropertyIPTCDictionary));
  if (iptc && CFGetTypeID(iptc) == CFDictionaryGetTypeID()) {
    takeText(iptc, kCGImagePropertyIPTCCity, &info->city);
    takeText(iptc, kCGImagePropertyIPTCProvinceState, &info->provinceState);
    takeText(iptc, kCGImagePropertyIPTCCountryPrimaryLocationName, &info->country);
    takeText(iptc, kCGImagePropertyIPTCCaptionAbstract, &info->caption);
  }

  auto gps = static_cast<CFDictionaryRef>(CFDictionaryGetValue(properties.get(), kCGImagePropertyGPSDictionary));
  if (!gps || CFGetTypeID(gps) != CFDictionaryGetTypeID()) return -1;

  info->latitude = convGetDouble(gps, kCGImagePropertyGPSLatitude);
  info->latitudeRef = referenceLetter(gps, kCGImagePropertyGPSLatitudeRef);
  info->longitude = convGetDouble(gps, kCGImagePropertyGPSLongitude);
  info->longitudeRef = referenceLetter(gps, kCGImagePropertyGPSLongitudeRef);
  info->altitude = convGetDouble(gps, kCGImagePropertyGPSAltitude);
  SInt32 result = (info->latitude == 0.0 || info->longitude == 0.0) ? -1 : 0;

  double distance = convGetDouble(gps, kCGImagePropertyGPSDestDistance);
  CFStringRef distanceRef = convGetORBStringRef(gps, kCGImagePropertyGPSDestDistanceRef);
  for (const DistanceUnit& unit : kDistanceUnits) {
    if (distanceRef && ORBStringEqualsCString(distanceRef, unit.ref, 0)) {
      info->destDistance = distance * unit.metres;
      break;
    }
  }

  CFStringRef satellites = convGetORBStringRef(gps, kCGImagePropertyGPSSatellites);
  if (satellites && ORBStringBeginsWithCString(satellites, "tilt:", 0)) {
    CFRef<CFStringRef> rest(ORBStringCreateWithSubstring(satellites, 5, ORBStringGetLength(satellites) - 5));
    info->tilt = ORBStringGetDoubleValue(rest.get());
  }

  info->imgDirection = convGetDouble(gps, kCGImagePropertyGPSImgDirection) - 360.0;
  return result;
}

SInt32 gpsGetCoordinatesFromFilePath(CFStringRef path, GpsInfoRecord* info) {
  FSRef ref;
  OSStatus status = feMakeFSRefFromPath(path, &ref);
  if (status != 0) return status;
  return gpsGetCoordinatesFromFile(&ref, info);
}

void gpsReleaseInfoRecord(GpsInfoRecord* info) {
  if (!info) return;
  ORBStringRelease(&info->city);
  ORBStringRelease(&info->provinceState);
  ORBStringRelease(&info->country);
  ORBStringRelease(&info->caption);
}

CFStringRef gpsMakeCoordianteString(double coordinate, char letter) {
  double degrees = 0, minutes = 0, tenths = 0;
  double fraction = std::modf(coordinate, &degrees);
  fraction = std::modf(fraction * 60.0, &minutes);
  std::modf(fraction * 600.0, &tenths);
  double seconds = tenths / 10.0;

  CFRef<CFStringRef> format(iuGetIndRZMCFString(1));
  if (!formatFitsCoordinate(format.get())) return nullptr;
  return ORBStringCreateWithFormat(format.get(), static_cast<int>(static_cast<unsigned char>(letter)), degrees,
                                   minutes, seconds);
}
