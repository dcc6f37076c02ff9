// Property dictionaries of an image file's first image: the pixel size and orientation from
// libvips, the GPS and IPTC dictionaries and the metadata blocks from Exiv2.
#include <exiv2/exiv2.hpp>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ImageIOInternal.h"

const CFStringRef kCGImagePropertyPixelWidth = CFSTR("PixelWidth");
const CFStringRef kCGImagePropertyPixelHeight = CFSTR("PixelHeight");
const CFStringRef kCGImagePropertyOrientation = CFSTR("Orientation");
const CFStringRef kCGImagePropertyDepth = CFSTR("Depth");
const CFStringRef kCGImagePropertyHasAlpha = CFSTR("HasAlpha");
const CFStringRef kCGImagePropertyColorModel = CFSTR("ColorModel");
const CFStringRef kCGImagePropertyGPSDictionary = CFSTR("{GPS}");
const CFStringRef kCGImagePropertyIPTCDictionary = CFSTR("{IPTC}");
const CFStringRef kImageIOPropertyMetadataBlocks = CFSTR("{MetadataBlocks}");

const CFStringRef kCGImagePropertyColorModelRGB = CFSTR("RGB");
const CFStringRef kCGImagePropertyColorModelGray = CFSTR("Gray");
const CFStringRef kCGImagePropertyColorModelCMYK = CFSTR("CMYK");
const CFStringRef kCGImagePropertyColorModelLab = CFSTR("Lab");

const CFStringRef kCGImagePropertyGPSVersion = CFSTR("GPSVersion");
const CFStringRef kCGImagePropertyGPSLatitudeRef = CFSTR("LatitudeRef");
const CFStringRef kCGImagePropertyGPSLatitude = CFSTR("Latitude");
const CFStringRef kCGImagePropertyGPSLongitudeRef = CFSTR("LongitudeRef");
const CFStringRef kCGImagePropertyGPSLongitude = CFSTR("Longitude");
const CFStringRef kCGImagePropertyGPSAltitudeRef = CFSTR("AltitudeRef");
const CFStringRef kCGImagePropertyGPSAltitude = CFSTR("Altitude");
const CFStringRef kCGImagePropertyGPSTimeStamp = CFSTR("TimeStamp");
const CFStringRef kCGImagePropertyGPSSatellites = CFSTR("Satellites");
const CFStringRef kCGImagePropertyGPSStatus = CFSTR("Status");
const CFStringRef kCGImagePropertyGPSMeasureMode = CFSTR("MeasureMode");
const CFStringRef kCGImagePropertyGPSDOP = CFSTR("DOP");
const CFStringRef kCGImagePropertyGPSSpeedRef = CFSTR("SpeedRef");
const CFStringRef kCGImagePropertyGPSSpeed = CFSTR("Speed");
const CFStringRef kCGImagePropertyGPSTrackRef = CFSTR("TrackRef");
const CFStringRef kCGImagePropertyGPSTrack = CFSTR("Track");
const CFStringRef kCGImagePropertyGPSImgDirectionRef = CFSTR("ImgDirectionRef");
const CFStringRef kCGImagePropertyGPSImgDirection = CFSTR("ImgDirection");
const CFStringRef kCGImagePropertyGPSMapDatum = CFSTR("MapDatum");
const CFStringRef kCGImagePropertyGPSDestLatitudeRef = CFSTR("DestLatitudeRef");
const CFStringRef kCGImagePropertyGPSDestLatitude = CFSTR("DestLatitude");
const CFStringRef kCGImagePropertyGPSDestLongitudeRef = CFSTR("DestLongitudeRef");
const CFStringRef kCGImagePropertyGPSDestLongitude = CFSTR("DestLongitude");
const CFStringRef kCGImagePropertyGPSDestBearingRef = CFSTR("DestBearingRef");
const CFStringRef kCGImagePropertyGPSDestBearing = CFSTR("DestBearing");
const CFStringRef kCGImagePropertyGPSDestDistanceRef = CFSTR("DestDistanceRef");
const CFStringRef kCGImagePropertyGPSDestDistance = CFSTR("DestDistance");
const CFStringRef kCGImagePropertyGPSDateStamp = CFSTR("DateStamp");
const CFStringRef kCGImagePropertyGPSDifferental = CFSTR("Differental");
const CFStringRef kCGImagePropertyGPSHPositioningError = CFSTR("HPositioningError");

const CFStringRef kCGImagePropertyIPTCObjectName = CFSTR("ObjectName");
const CFStringRef kCGImagePropertyIPTCEditStatus = CFSTR("EditStatus");
const CFStringRef kCGImagePropertyIPTCUrgency = CFSTR("Urgency");
const CFStringRef kCGImagePropertyIPTCSubjectReference = CFSTR("SubjectReference");
const CFStringRef kCGImagePropertyIPTCCategory = CFSTR("Category");
const CFStringRef kCGImagePropertyIPTCSupplementalCategory = CFSTR("SupplementalCategory");
const CFStringRef kCGImagePropertyIPTCFixtureIdentifier = CFSTR("FixtureIdentifier");
const CFStringRef kCGImagePropertyIPTCKeywords = CFSTR("Keywords");
const CFStringRef kCGImagePropertyIPTCContentLocationCode = CFSTR("ContentLocationCode");
const CFStringRef kCGImagePropertyIPTCContentLocationName = CFSTR("ContentLocationName");
const CFStringRef kCGImagePropertyIPTCReleaseDate = CFSTR("ReleaseDate");
const CFStringRef kCGImagePropertyIPTCReleaseTime = CFSTR("ReleaseTime");
const CFStringRef kCGImagePropertyIPTCExpirationDate = CFSTR("ExpirationDate");
const CFStringRef kCGImagePropertyIPTCExpirationTime = CFSTR("ExpirationTime");
const CFStringRef kCGImagePropertyIPTCSpecialInstructions = CFSTR("SpecialInstructions");
const CFStringRef kCGImagePropertyIPTCReferenceService = CFSTR("ReferenceService");
const CFStringRef kCGImagePropertyIPTCReferenceDate = CFSTR("ReferenceDate");
const CFStringRef kCGImagePropertyIPTCReferenceNumber = CFSTR("ReferenceNumber");
const CFStringRef kCGImagePropertyIPTCDateCreated = CFSTR("DateCreated");
const CFStringRef kCGImagePropertyIPTCTimeCreated = CFSTR("TimeCreated");
const CFStringRef kCGImagePropertyIPTCDigitalCreationDate = CFSTR("DigitalCreationDate");
const CFStringRef kCGImagePropertyIPTCDigitalCreationTime = CFSTR("DigitalCreationTime");
const CFStringRef kCGImagePropertyIPTCOriginatingProgram = CFSTR("OriginatingProgram");
const CFStringRef kCGImagePropertyIPTCProgramVersion = CFSTR("ProgramVersion");
const CFStringRef kCGImagePropertyIPTCObjectCycle = CFSTR("ObjectCycle");
const CFStringRef kCGImagePropertyIPTCByline = CFSTR("Byline");
const CFStringRef kCGImagePropertyIPTCBylineTitle = CFSTR("BylineTitle");
const CFStringRef kCGImagePropertyIPTCCity = CFSTR("City");
const CFStringRef kCGImagePropertyIPTCSubLocation = CFSTR("SubLocation");
const CFStringRef kCGImagePropertyIPTCProvinceState = CFSTR("Province/State");
const CFStringRef kCGImagePropertyIPTCCountryPrimaryLocationCode = CFSTR("Country/PrimaryLocationCode");
const CFStringRef kCGImagePropertyIPTCCountryPrimaryLocationName = CFSTR("Country/PrimaryLocationName");
const CFStringRef kCGImagePropertyIPTCOriginalTransmissionReference = CFSTR("OriginalTransmissionReference");
const CFStringRef kCGImagePropertyIPTCHeadline = CFSTR("Headline");
const CFStringRef kCGImagePropertyIPTCCredit = CFSTR("Credit");
const CFStringRef kCGImagePropertyIPTCSource = CFSTR("Source");
const CFStringRef kCGImagePropertyIPTCCopyrightNotice = CFSTR("CopyrightNotice");
const CFStringRef kCGImagePropertyIPTCContact = CFSTR("Contact");
const CFStringRef kCGImagePropertyIPTCCaptionAbstract = CFSTR("Caption/Abstract");
const CFStringRef kCGImagePropertyIPTCWriterEditor = CFSTR("Writer/Editor");
const CFStringRef kCGImagePropertyIPTCImageType = CFSTR("ImageType");
const CFStringRef kCGImagePropertyIPTCImageOrientation = CFSTR("ImageOrientation");
const CFStringRef kCGImagePropertyIPTCLanguageIdentifier = CFSTR("LanguageIdentifier");
const CFStringRef kCGImagePropertyIPTCStarRating = CFSTR("StarRating");

using imageio::GRef;

namespace {

using MutableDict = CFRef<CFMutableDictionaryRef>;

MutableDict newDictionary() {
  return MutableDict(
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

void setValue(CFMutableDictionaryRef dict, CFStringRef key, CFTypeRef value) {
  if (value) CFDictionarySetValue(dict, key, value);
}

void setInt(CFMutableDictionaryRef dict, CFStringRef key, long long value) {
  CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberLongLongType, &value));
  setValue(dict, key, n.get());
}

void setDouble(CFMutableDictionaryRef dict, CFStringRef key, double value) {
  CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberDoubleType, &value));
  setValue(dict, key, n.get());
}

// Text from bytes: UTF-8 when they are valid UTF-8, else Latin-1 (which reads any byte).
CFStringRef makeText(std::string_view bytes, bool utf8) {
  auto p = reinterpret_cast<const UInt8*>(bytes.data());
  auto n = static_cast<CFIndex>(bytes.size());
  if (utf8) {
    if (CFStringRef s = CFStringCreateWithBytes(nullptr, p, n, kCFStringEncodingUTF8, false)) return s;
  }
  return CFStringCreateWithBytes(nullptr, p, n, kCFStringEncodingISOLatin1, false);
}

// The raw bytes of a value as stored.
std::string rawBytes(const Exiv2::Value& value) {
  long size = value.size();
  if (size <= 0) return {};
  std::vector<Exiv2::byte> buf(static_cast<size_t>(size));
  long copied = value.copy(buf.data(), Exiv2::bigEndian);
  if (copied <= 0) return {};
  return std::string(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(std::min(copied, size)));
}

// An EXIF text: the bytes up to the first zero.
std::string exifText(const Exiv2::Value& value) {
  std::string s = rawBytes(value);
  if (size_t zero = s.find('\0'); zero != std::string::npos) s.resize(zero);
  return s;
}

// Component i of a numeric value as a double, computed from the stored integers.
bool numberAt(const Exiv2::Value& value, long i, double* out) {
  if (i < 0 || i >= value.count()) return false;
  switch (value.typeId()) {
    case Exiv2::unsignedRational: {
      auto* v = dynamic_cast<const Exiv2::ValueType<Exiv2::URational>*>(&value);
      if (!v || static_cast<size_t>(i) >= v->value_.size()) return false;
      const auto& r = v->value_[static_cast<size_t>(i)];
      *out = r.second ? static_cast<double>(r.first) / r.second : 0.0;
      return true;
    }
    case Exiv2::signedRational: {
      auto* v = dynamic_cast<const Exiv2::ValueType<Exiv2::Rational>*>(&value);
      if (!v || static_cast<size_t>(i) >= v->value_.size()) return false;
      const auto& r = v->value_[static_cast<size_t>(i)];
      *out = r.second ? static_cast<double>(r.first) / r.second : 0.0;
      return true;
    }
    case Exiv2::unsignedByte:
    case Exiv2::unsignedShort:
    case Exiv2::unsignedLong:
    case Exiv2::signedByte:
    case Exiv2::signedShort:
    case Exiv2::signedLong:
      *out = static_cast<double>(value.toLong(i));
      return true;
    case Exiv2::tiffFloat:
    case Exiv2::tiffDouble: {
      double d = value.toFloat(i);
      *out = std::isfinite(d) ? d : 0.0;
      return true;
    }
    default:
      return false;
  }
}

// Degrees, minutes and seconds (as many as there are) as decimal degrees.
bool degreesOf(const Exiv2::Value& value, double* out) {
  double sum = 0, scale = 1, part = 0;
  bool any = false;
  for (long i = 0; i < 3 && numberAt(value, i, &part); ++i, scale *= 60) {
    sum += part / scale;
    any = true;
  }
  if (any) *out = sum;
  return any;
}

enum class Kind { Text, Number, Integer, Degrees, Version, Time };
struct GPSTag {
  const char* exiv2Key;
  const CFStringRef* key;
  Kind kind;
};
const GPSTag kGPSTags[] = {
    {"Exif.GPSInfo.GPSVersionID", &kCGImagePropertyGPSVersion, Kind::Version},
    {"Exif.GPSInfo.GPSLatitudeRef", &kCGImagePropertyGPSLatitudeRef, Kind::Text},
    {"Exif.GPSInfo.GPSLatitude", &kCGImagePropertyGPSLatitude, Kind::Degrees},
    {"Exif.GPSInfo.GPSLongitudeRef", &kCGImagePropertyGPSLongitudeRef, Kind::Text},
    {"Exif.GPSInfo.GPSLongitude", &kCGImagePropertyGPSLongitude, Kind::Degrees},
    {"Exif.GPSInfo.GPSAltitudeRef", &kCGImagePropertyGPSAltitudeRef, Kind::Integer},
    {"Exif.GPSInfo.GPSAltitude", &kCGImagePropertyGPSAltitude, Kind::Number},
    {"Exif.GPSInfo.GPSTimeStamp", &kCGImagePropertyGPSTimeStamp, Kind::Time},
    {"Exif.GPSInfo.GPSSatellites", &kCGImagePropertyGPSSatellites, Kind::Text},
    {"Exif.GPSInfo.GPSStatus", &kCGImagePropertyGPSStatus, Kind::Text},
    {"Exif.GPSInfo.GPSMeasureMode", &kCGImagePropertyGPSMeasureMode, Kind::Text},
    {"Exif.GPSInfo.GPSDOP", &kCGImagePropertyGPSDOP, Kind::Number},
    {"Exif.GPSInfo.GPSSpeedRef", &kCGImagePropertyGPSSpeedRef, Kind::Text},
    {"Exif.GPSInfo.GPSSpeed", &kCGImagePropertyGPSSpeed, Kind::Number},
    {"Exif.GPSInfo.GPSTrackRef", &kCGImagePropertyGPSTrackRef, Kind::Text},
    {"Exif.GPSInfo.GPSTrack", &kCGImagePropertyGPSTrack, Kind::Number},
    {"Exif.GPSInfo.GPSImgDirectionRef", &kCGImagePropertyGPSImgDirectionRef, Kind::Text},
    {"Exif.GPSInfo.GPSImgDirection", &kCGImagePropertyGPSImgDirection, Kind::Number},
    {"Exif.GPSInfo.GPSMapDatum", &kCGImagePropertyGPSMapDatum, Kind::Text},
    {"Exif.GPSInfo.GPSDestLatitudeRef", &kCGImagePropertyGPSDestLatitudeRef, Kind::Text},
    {"Exif.GPSInfo.GPSDestLatitude", &kCGImagePropertyGPSDestLatitude, Kind::Degrees},
    {"Exif.GPSInfo.GPSDestLongitudeRef", &kCGImagePropertyGPSDestLongitudeRef, Kind::Text},
    {"Exif.GPSInfo.GPSDestLongitude", &kCGImagePropertyGPSDestLongitude, Kind::Degrees},
    {"Exif.GPSInfo.GPSDestBearingRef", &kCGImagePropertyGPSDestBearingRef, Kind::Text},
    {"Exif.GPSInfo.GPSDestBearing", &kCGImagePropertyGPSDestBearing, Kind::Number},
    {"Exif.GPSInfo.GPSDestDistanceRef", &kCGImagePropertyGPSDestDistanceRef, Kind::Text},
    {"Exif.GPSInfo.GPSDestDistance", &kCGImagePropertyGPSDestDistance, Kind::Number},
    {"Exif.GPSInfo.GPSDateStamp", &kCGImagePropertyGPSDateStamp, Kind::Text},
    {"Exif.GPSInfo.GPSDifferential", &kCGImagePropertyGPSDifferental, Kind::Integer},
    {"Exif.GPSInfo.GPSHPositioningError", &kCGImagePropertyGPSHPositioningError, Kind::Number},
};

void addGPSValue(CFMutableDictionaryRef gps, const GPSTag& tag, const Exiv2::Value& value) {
  double d = 0;
  switch (tag.kind) {
    case Kind::Text: {
      CFRef<CFStringRef> s(makeText(exifText(value), true));
      setValue(gps, *tag.key, s.get());
      break;
    }
    case Kind::Number:
      if (numberAt(value, 0, &d)) setDouble(gps, *tag.key, d);
      break;
    case Kind::Integer:
      if (numberAt(value, 0, &d)) setInt(gps, *tag.key, static_cast<long long>(d));
      break;
    case Kind::Degrees:
      if (degreesOf(value, &d)) setDouble(gps, *tag.key, d);
      break;
    case Kind::Version: {
      CFRef<CFMutableArrayRef> parts(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
      for (long i = 0; i < value.count() && i < 4 && numberAt(value, i, &d); ++i) {
        long long part = static_cast<long long>(d);
        CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberLongLongType, &part));
        CFArrayAppendValue(parts.get(), n.get());
      }
      setValue(gps, *tag.key, parts.get());
      break;
    }
    case Kind::Time: {
      double h = 0, m = 0, s = 0;
      if (!numberAt(value, 0, &h)) break;
      numberAt(value, 1, &m);
      numberAt(value, 2, &s);
      if (!(std::fabs(h) < 1e6 && std::fabs(m) < 1e6 && std::fabs(s) < 1e6)) break;
      char text[64];
      snprintf(text, sizeof text, "%02.0f:%02.0f:%05.2f", std::floor(h), std::floor(m), s);
      CFRef<CFStringRef> str(makeText(text, true));
      setValue(gps, *tag.key, str.get());
      break;
    }
  }
}

MutableDict gpsDictionary(const Exiv2::ExifData& exif) {
  MutableDict gps;
  for (const GPSTag& tag : kGPSTags) {
    auto it = exif.findKey(Exiv2::ExifKey(tag.exiv2Key));
    if (it == exif.end()) continue;
    if (!gps) gps = newDictionary();
    addGPSValue(gps.get(), tag, it->value());
  }
  return gps;
}

struct IPTCTag {
  const char* exiv2Key;
  const CFStringRef* key;
  bool repeatable;
};
const IPTCTag kIPTCTags[] = {
    {"Iptc.Application2.ObjectName", &kCGImagePropertyIPTCObjectName, false},
    {"Iptc.Application2.EditStatus", &kCGImagePropertyIPTCEditStatus, false},
    {"Iptc.Application2.Urgency", &kCGImagePropertyIPTCUrgency, false},
    {"Iptc.Application2.Subject", &kCGImagePropertyIPTCSubjectReference, true},
    {"Iptc.Application2.Category", &kCGImagePropertyIPTCCategory, false},
    {"Iptc.Application2.SuppCategory", &kCGImagePropertyIPTCSupplementalCategory, true},
    {"Iptc.Application2.FixtureId", &kCGImagePropertyIPTCFixtureIdentifier, false},
    {"Iptc.Application2.Keywords", &kCGImagePropertyIPTCKeywords, true},
    {"Iptc.Application2.LocationCode", &kCGImagePropertyIPTCContentLocationCode, true},
    {"Iptc.Application2.LocationName", &kCGImagePropertyIPTCContentLocationName, true},
    {"Iptc.Application2.ReleaseDate", &kCGImagePropertyIPTCReleaseDate, false},
    {"Iptc.Application2.ReleaseTime", &kCGImagePropertyIPTCReleaseTime, false},
    {"Iptc.Application2.ExpirationDate", &kCGImagePropertyIPTCExpirationDate, false},
    {"Iptc.Application2.ExpirationTime", &kCGImagePropertyIPTCExpirationTime, false},
    {"Iptc.Application2.SpecialInstructions", &kCGImagePropertyIPTCSpecialInstructions, false},
    {"Iptc.Application2.ReferenceService", &kCGImagePropertyIPTCReferenceService, true},
    {"Iptc.Application2.ReferenceDate", &kCGImagePropertyIPTCReferenceDate, true},
    {"Iptc.Application2.ReferenceNumber", &kCGImagePropertyIPTCReferenceNumber, true},
    {"Iptc.Application2.DateCreated", &kCGImagePropertyIPTCDateCreated, false},
    {"Iptc.Application2.TimeCreated", &kCGImagePropertyIPTCTimeCreated, false},
    {"Iptc.Application2.DigitizationDate", &kCGImagePropertyIPTCDigitalCreationDate, false},
    {"Iptc.Application2.DigitizationTime", &kCGImagePropertyIPTCDigitalCreationTime, false},
    {"Iptc.Application2.Program", &kCGImagePropertyIPTCOriginatingProgram, false},
    {"Iptc.Application2.ProgramVersion", &kCGImagePropertyIPTCProgramVersion, false},
    {"Iptc.Application2.ObjectCycle", &kCGImagePropertyIPTCObjectCycle, false},
    {"Iptc.Application2.Byline", &kCGImagePropertyIPTCByline, true},
    {"Iptc.Application2.BylineTitle", &kCGImagePropertyIPTCBylineTitle, true},
    {"Iptc.Application2.City", &kCGImagePropertyIPTCCity, false},
    {"Iptc.Application2.SubLocation", &kCGImagePropertyIPTCSubLocation, false},
    {"Iptc.Application2.ProvinceState", &kCGImagePropertyIPTCProvinceState, false},
    {"Iptc.Application2.CountryCode", &kCGImagePropertyIPTCCountryPrimaryLocationCode, false},
    {"Iptc.Application2.CountryName", &kCGImagePropertyIPTCCountryPrimaryLocationName, false},
    {"Iptc.Application2.TransmissionReference", &kCGImagePropertyIPTCOriginalTransmissionReference, false},
    {"Iptc.Application2.Headline", &kCGImagePropertyIPTCHeadline, false},
    {"Iptc.Application2.Credit", &kCGImagePropertyIPTCCredit, false},
    {"Iptc.Application2.Source", &kCGImagePropertyIPTCSource, false},
    {"Iptc.Application2.Copyright", &kCGImagePropertyIPTCCopyrightNotice, false},
    {"Iptc.Application2.Contact", &kCGImagePropertyIPTCContact, true},
    {"Iptc.Application2.Caption", &kCGImagePropertyIPTCCaptionAbstract, false},
    {"Iptc.Application2.Writer", &kCGImagePropertyIPTCWriterEditor, true},
    {"Iptc.Application2.ImageType", &kCGImagePropertyIPTCImageType, false},
    {"Iptc.Application2.ImageOrientation", &kCGImagePropertyIPTCImageOrientation, false},
    {"Iptc.Application2.Language", &kCGImagePropertyIPTCLanguageIdentifier, false},
};

const IPTCTag* iptcTag(std::string_view key) {
  for (const IPTCTag& tag : kIPTCTags)
    if (key == tag.exiv2Key) return &tag;
  return nullptr;
}

// The IPTC texts: UTF-8 when their bytes are valid UTF-8 (always so with the UTF-8 coded
// character set), otherwise Latin-1, the character set of texts written without one.
MutableDict iptcDictionary(const Exiv2::IptcData& iptc) {
  if (iptc.empty()) return {};
  MutableDict dict = newDictionary();
  for (const Exiv2::Iptcdatum& datum : iptc) {
    const IPTCTag* tag = iptcTag(datum.key());
    if (!tag) continue;
    CFRef<CFStringRef> text(makeText(rawBytes(datum.value()), true));
    if (!text) continue;
    if (!tag->repeatable) {
      if (!CFDictionaryContainsKey(dict.get(), *tag->key)) CFDictionarySetValue(dict.get(), *tag->key, text.get());
      continue;
    }
    auto list = static_cast<CFMutableArrayRef>(const_cast<void*>(CFDictionaryGetValue(dict.get(), *tag->key)));
    if (!list) {
      CFRef<CFMutableArrayRef> fresh(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
      CFDictionarySetValue(dict.get(), *tag->key, fresh.get());
      list = fresh.get();
    }
    CFArrayAppendValue(list, text.get());
  }
  return dict;
}

// IFD0 tags that describe a TIFF file's own pixel layout or carry blocks kept elsewhere (ICC,
// XMP, IPTC); they do not belong to the photo's EXIF once the pixels live in another file.
constexpr const char* kTIFFLayoutTags[] = {
    "Exif.Image.NewSubfileType",  "Exif.Image.SubfileType",        "Exif.Image.ImageWidth",
    "Exif.Image.ImageLength",     "Exif.Image.BitsPerSample",      "Exif.Image.Compression",
    "Exif.Image.PhotometricInterpretation", "Exif.Image.FillOrder", "Exif.Image.StripOffsets",
    "Exif.Image.SamplesPerPixel", "Exif.Image.RowsPerStrip",       "Exif.Image.StripByteCounts",
    "Exif.Image.PlanarConfiguration", "Exif.Image.Predictor",      "Exif.Image.TileWidth",
    "Exif.Image.TileLength",      "Exif.Image.TileOffsets",        "Exif.Image.TileByteCounts",
    "Exif.Image.SubIFDs",         "Exif.Image.ExtraSamples",       "Exif.Image.SampleFormat",
    "Exif.Image.JPEGTables",      "Exif.Image.InterColorProfile",  "Exif.Image.XMLPacket",
    "Exif.Image.IPTCNAA",         "Exif.Image.ImageResources",
};

CFRef<CFDataRef> makeData(const void* bytes, size_t size) {
  if (!bytes || size == 0 || size > 0x7fffffff) return {};
  return CFRef<CFDataRef>(CFDataCreate(nullptr, static_cast<const UInt8*>(bytes), static_cast<CFIndex>(size)));
}

// The EXIF, IPTC and XMP of the image as blocks that CGImageDestinationAddImage writes again.
MutableDict metadataBlocks(Exiv2::Image& image, bool isTIFF) {
  MutableDict blocks = newDictionary();
  Exiv2::ExifData exif = image.exifData();
  if (isTIFF) {
    for (const char* key : kTIFFLayoutTags) {
      auto it = exif.findKey(Exiv2::ExifKey(key));
      if (it != exif.end()) exif.erase(it);
    }
    for (auto it = exif.begin(); it != exif.end();) {
      const std::string group = it->groupName();
      if (group.rfind("SubImage", 0) == 0 || (group.rfind("Image", 0) == 0 && group != "Image"))
        it = exif.erase(it);
      else
        ++it;
    }
  }
  if (!exif.empty()) {
    Exiv2::Blob blob;
    Exiv2::ByteOrder order = image.byteOrder() == Exiv2::invalidByteOrder ? Exiv2::littleEndian : image.byteOrder();
    Exiv2::ExifParser::encode(blob, order, exif);
    setValue(blocks.get(), CFSTR("Exif"), makeData(blob.data(), blob.size()).get());
  }
  if (!image.iptcData().empty()) {
    Exiv2::DataBuf buf = Exiv2::IptcParser::encode(image.iptcData());
    if (buf.size_ > 0) setValue(blocks.get(), CFSTR("IPTC"), makeData(buf.pData_, static_cast<size_t>(buf.size_)).get());
  }
  std::string packet = image.xmpPacket();
  if (packet.empty() && !image.xmpData().empty()) Exiv2::XmpParser::encode(packet, image.xmpData());
  if (!packet.empty()) setValue(blocks.get(), CFSTR("XMP"), makeData(packet.data(), packet.size()).get());
  return blocks;
}

// Opens the input's metadata with Exiv2; null when Exiv2 does not read the format.
std::unique_ptr<Exiv2::Image> openMetadata(const imageio::Input& input) {
  auto image = input.data ? Exiv2::ImageFactory::open(CFDataGetBytePtr(input.data.get()),
                                                      static_cast<long>(CFDataGetLength(input.data.get())))
                          : Exiv2::ImageFactory::open(input.path, false);
  if (!image.get()) return nullptr;
  image->readMetadata();
  return std::unique_ptr<Exiv2::Image>(image.release());
}

}  // namespace

namespace imageio {

CFDictionaryRef copyProperties(const Input& input) {
  GRef<VipsImage> head(openImage(input));
  if (!head) return nullptr;
  VipsImage* h = head.get();
  MutableDict props = newDictionary();
  setInt(props.get(), kCGImagePropertyPixelWidth, vips_image_get_width(h));
  setInt(props.get(), kCGImagePropertyPixelHeight, vips_image_get_height(h));
  setInt(props.get(), kCGImagePropertyDepth, static_cast<long long>(vips_format_sizeof(vips_image_get_format(h)) * 8));
  setValue(props.get(), kCGImagePropertyHasAlpha, vips_image_hasalpha(h) ? kCFBooleanTrue : kCFBooleanFalse);
  CFStringRef model = kCGImagePropertyColorModelRGB;
  switch (vips_image_get_interpretation(h)) {
    case VIPS_INTERPRETATION_B_W:
    case VIPS_INTERPRETATION_GREY16:
      model = kCGImagePropertyColorModelGray;
      break;
    case VIPS_INTERPRETATION_CMYK:
      model = kCGImagePropertyColorModelCMYK;
      break;
    case VIPS_INTERPRETATION_LAB:
    case VIPS_INTERPRETATION_LABS:
      model = kCGImagePropertyColorModelLab;
      break;
    default:
      break;
  }
  setValue(props.get(), kCGImagePropertyColorModel, model);
  int orientation = 0;
  if (vips_image_get_typeof(h, VIPS_META_ORIENTATION) && vips_image_get_int(h, VIPS_META_ORIENTATION, &orientation) == 0 &&
      orientation >= 1 && orientation <= 8)
    setInt(props.get(), kCGImagePropertyOrientation, orientation);
  vips_error_clear();

  try {
    std::unique_ptr<Exiv2::Image> meta = openMetadata(input);
    if (meta) {
      Exiv2::ExifData& exif = meta->exifData();
      if (exif.empty()) {
        // Some formats (a PNG's eXIf chunk, for one) are read by libvips and not by Exiv2.
        const void* blob = nullptr;
        size_t length = 0;
        if (vips_image_get_typeof(h, VIPS_META_EXIF_NAME) && vips_image_get_blob(h, VIPS_META_EXIF_NAME, &blob, &length) == 0 &&
            length > 6 && std::memcmp(blob, "Exif\0\0", 6) == 0 && length - 6 < 0x7fffffff)
          Exiv2::ExifParser::decode(exif, static_cast<const Exiv2::byte*>(blob) + 6, static_cast<uint32_t>(length - 6));
        vips_error_clear();
      }
      setValue(props.get(), kCGImagePropertyGPSDictionary, gpsDictionary(exif).get());
      setValue(props.get(), kCGImagePropertyIPTCDictionary, iptcDictionary(meta->iptcData()).get());
      bool isTIFF = input.loader.rfind("tiffload", 0) == 0;
      setValue(props.get(), kImageIOPropertyMetadataBlocks, metadataBlocks(*meta, isTIFF).get());
    }
  } catch (const std::exception&) {
    // Metadata that Exiv2 cannot read: the properties keep what the header gave.
  } catch (...) {
  }
  return props.release();
}

}  // namespace imageio
