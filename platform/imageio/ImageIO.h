// ImageIO and Quartz images on libvips and Exiv2: image sources, images, destinations and the
// property dictionaries of an image file.
//
// How the emulation works:
// - An image source reads a file (CGImageSourceCreateWithURL, file URLs only) or bytes
//   (CGImageSourceCreateWithData). It is made only when libvips recognises the format (JPEG,
//   PNG, TIFF, WebP, GIF and whatever else the installed libvips loads); otherwise null. The
//   file is read when asked, not when the source is made. Only the first image of a file with
//   several (pages, frames) is offered: the count is 1 and index 0 is the only valid index.
// - Properties of image 0 (CGImageSourceCopyPropertiesAtIndex) come from the file's header and
//   from its metadata as Exiv2 reads it: the pixel size as stored (before any orientation),
//   the EXIF orientation when the file has one, the depth and alpha, the GPS dictionary
//   (latitude and longitude as non-negative decimal degrees with their reference texts,
//   altitude with its reference, and the other GPS tags as numbers or texts), the IPTC
//   dictionary (texts; repeatable data sets such as keywords as arrays of texts; texts without
//   a UTF-8 coded character set that are not valid UTF-8 are read as Latin-1), and this layer's
//   own entry kImageIOPropertyMetadataBlocks carrying the source's EXIF, IPTC and XMP for
//   CGImageDestinationAddImage. A file whose metadata cannot be read still has its pixel size.
// - Images (CGImageRef) hold decoded pixels in memory. The creators decode the whole first
//   image and give null when it cannot be decoded completely (a truncated file is an error,
//   not a grey lower part). Images that declare more than kImageIOMaxPixelCount pixels are
//   refused before any pixel is decoded; their properties can still be read.
// - Thumbnails (CGImageSourceCreateThumbnailAtIndex) are always made from the full image; a
//   preview stored in the file is never used, so the FromImageAlways and FromImageIfAbsent
//   options make no difference. With kCGImageSourceThumbnailMaxPixelSize the longer side is at
//   most that size, the aspect ratio is kept and nothing is enlarged; without it the full size
//   is kept. kCGImageSourceCreateThumbnailWithTransform true turns the pixels by the EXIF
//   orientation. A JPEG is shrunk by its decoder (by 2, 4 or 8) as far as the reduction allows
//   and then resampled, which gives the same picture as resampling the full decode. A
//   thumbnail's pixels are made when they are first read (by a destination, which encodes each
//   line as it is scaled, or by CGImageCreateRGBA8Data), so the scaled image is never held
//   whole: a file cut off inside its pixels gives a thumbnail whose pixels cannot be read, and
//   a destination given it fails. A later read decodes the file again.
// - HEIC pictures are decoded with a worker thread per core (libde265), to the same pixels as
//   libheif's own decoder; this decoder serves every use of libheif in the process.
// - Destinations encode JPEG only (kUTTypeJPEG), with libvips' default quality unless
//   kCGImageDestinationLossyCompressionQuality says otherwise, into a mutable data object,
//   appended when CGImageDestinationFinalize succeeds. The encoder writes the pixels only;
//   the metadata then come from the properties given to CGImageDestinationAddImage: the EXIF,
//   IPTC and XMP of kImageIOPropertyMetadataBlocks unchanged, except that a
//   kCGImagePropertyOrientation in the properties sets the orientation of EXIF and XMP, and the
//   image's ICC profile when it describes the output's colours (RGB, grey or CMYK).
// - Every call may run on any thread. Failures give null or false; nothing throws.
#pragma once

#include "CoreFoundation.h"

typedef struct CGImage* CGImageRef;
typedef struct CGImageSource* CGImageSourceRef;
typedef struct CGImageDestination* CGImageDestinationRef;

// Uniform type identifiers of the image formats.
extern const CFStringRef kUTTypeJPEG;
extern const CFStringRef kUTTypePNG;
extern const CFStringRef kUTTypeTIFF;
extern const CFStringRef kUTTypeGIF;
extern const CFStringRef kUTTypeImage;

// Images that declare more pixels than this are refused by the image creators.
constexpr UInt64 kImageIOMaxPixelCount = 1ull << 28;

// ---- Images
CFTypeID CGImageGetTypeID(void);
size_t CGImageGetWidth(CGImageRef image);
size_t CGImageGetHeight(CGImageRef image);
size_t CGImageGetBitsPerComponent(CGImageRef image);
// This layer's own: the image's pixels as 8-bit sRGB with alpha, row after row from the top,
// 4 bytes a pixel (R, G, B, A; not premultiplied; alpha 255 for images without one), what a
// drawing context needs to draw the image. A new data object the caller releases; null for a
// null image or when the pixels cannot be converted.
CFDataRef CGImageCreateRGBA8Data(CGImageRef image);
// Both accept null.
CGImageRef CGImageRetain(CGImageRef image);
void CGImageRelease(CGImageRef image);

// ---- Image sources
CFTypeID CGImageSourceGetTypeID(void);
CGImageSourceRef CGImageSourceCreateWithURL(CFURLRef url, CFDictionaryRef options);
CGImageSourceRef CGImageSourceCreateWithData(CFDataRef data, CFDictionaryRef options);
// The format's type identifier (borrowed), or null when libvips names no known one.
CFStringRef CGImageSourceGetType(CGImageSourceRef isrc);
size_t CGImageSourceGetCount(CGImageSourceRef isrc);
CFDictionaryRef CGImageSourceCopyPropertiesAtIndex(CGImageSourceRef isrc, size_t index, CFDictionaryRef options);
CGImageRef CGImageSourceCreateImageAtIndex(CGImageSourceRef isrc, size_t index, CFDictionaryRef options);
CGImageRef CGImageSourceCreateThumbnailAtIndex(CGImageSourceRef isrc, size_t index, CFDictionaryRef options);

// Options of the image creators.
extern const CFStringRef kCGImageSourceCreateThumbnailFromImageIfAbsent;
extern const CFStringRef kCGImageSourceCreateThumbnailFromImageAlways;
extern const CFStringRef kCGImageSourceThumbnailMaxPixelSize;
extern const CFStringRef kCGImageSourceCreateThumbnailWithTransform;
extern const CFStringRef kCGImageSourceShouldCache;

// ---- Image destinations
CFTypeID CGImageDestinationGetTypeID(void);
// Null for a type other than kUTTypeJPEG or a count of 0.
CGImageDestinationRef CGImageDestinationCreateWithData(CFMutableDataRef data, CFStringRef type, size_t count,
                                                       CFDictionaryRef options);
// Adds an image with its properties; ignored once count images were added or after finalizing.
void CGImageDestinationAddImage(CGImageDestinationRef idst, CGImageRef image, CFDictionaryRef properties);
// Encodes the added images into the data; false (and the data unchanged) when that fails or when
// fewer images were added than the count given at creation.
Boolean CGImageDestinationFinalize(CGImageDestinationRef idst);

// Option and property of destinations: the JPEG quality, a number from 0.0 to 1.0.
extern const CFStringRef kCGImageDestinationLossyCompressionQuality;

// ---- Property keys
extern const CFStringRef kCGImagePropertyPixelWidth;
extern const CFStringRef kCGImagePropertyPixelHeight;
extern const CFStringRef kCGImagePropertyOrientation;
extern const CFStringRef kCGImagePropertyDepth;
extern const CFStringRef kCGImagePropertyHasAlpha;
extern const CFStringRef kCGImagePropertyColorModel;
extern const CFStringRef kCGImagePropertyGPSDictionary;
extern const CFStringRef kCGImagePropertyIPTCDictionary;

// This layer's own entry: a dictionary of the source's metadata blocks ("Exif": the EXIF as a
// TIFF structure, "IPTC": IPTC-IIM data sets, "XMP": the XMP packet), each a CFData.
extern const CFStringRef kImageIOPropertyMetadataBlocks;

extern const CFStringRef kCGImagePropertyColorModelRGB;
extern const CFStringRef kCGImagePropertyColorModelGray;
extern const CFStringRef kCGImagePropertyColorModelCMYK;
extern const CFStringRef kCGImagePropertyColorModelLab;

// GPS dictionary.
extern const CFStringRef kCGImagePropertyGPSVersion;
extern const CFStringRef kCGImagePropertyGPSLatitudeRef;
extern const CFStringRef kCGImagePropertyGPSLatitude;
extern const CFStringRef kCGImagePropertyGPSLongitudeRef;
extern const CFStringRef kCGImagePropertyGPSLongitude;
extern const CFStringRef kCGImagePropertyGPSAltitudeRef;
extern const CFStringRef kCGImagePropertyGPSAltitude;
extern const CFStringRef kCGImagePropertyGPSTimeStamp;
extern const CFStringRef kCGImagePropertyGPSSatellites;
extern const CFStringRef kCGImagePropertyGPSStatus;
extern const CFStringRef kCGImagePropertyGPSMeasureMode;
extern const CFStringRef kCGImagePropertyGPSDOP;
extern const CFStringRef kCGImagePropertyGPSSpeedRef;
extern const CFStringRef kCGImagePropertyGPSSpeed;
extern const CFStringRef kCGImagePropertyGPSTrackRef;
extern const CFStringRef kCGImagePropertyGPSTrack;
extern const CFStringRef kCGImagePropertyGPSImgDirectionRef;
extern const CFStringRef kCGImagePropertyGPSImgDirection;
extern const CFStringRef kCGImagePropertyGPSMapDatum;
extern const CFStringRef kCGImagePropertyGPSDestLatitudeRef;
extern const CFStringRef kCGImagePropertyGPSDestLatitude;
extern const CFStringRef kCGImagePropertyGPSDestLongitudeRef;
extern const CFStringRef kCGImagePropertyGPSDestLongitude;
extern const CFStringRef kCGImagePropertyGPSDestBearingRef;
extern const CFStringRef kCGImagePropertyGPSDestBearing;
extern const CFStringRef kCGImagePropertyGPSDestDistanceRef;
extern const CFStringRef kCGImagePropertyGPSDestDistance;
extern const CFStringRef kCGImagePropertyGPSDateStamp;
extern const CFStringRef kCGImagePropertyGPSDifferental;
extern const CFStringRef kCGImagePropertyGPSHPositioningError;

// IPTC dictionary.
extern const CFStringRef kCGImagePropertyIPTCObjectName;
extern const CFStringRef kCGImagePropertyIPTCEditStatus;
extern const CFStringRef kCGImagePropertyIPTCUrgency;
extern const CFStringRef kCGImagePropertyIPTCSubjectReference;
extern const CFStringRef kCGImagePropertyIPTCCategory;
extern const CFStringRef kCGImagePropertyIPTCSupplementalCategory;
extern const CFStringRef kCGImagePropertyIPTCFixtureIdentifier;
extern const CFStringRef kCGImagePropertyIPTCKeywords;
extern const CFStringRef kCGImagePropertyIPTCContentLocationCode;
extern const CFStringRef kCGImagePropertyIPTCContentLocationName;
extern const CFStringRef kCGImagePropertyIPTCReleaseDate;
extern const CFStringRef kCGImagePropertyIPTCReleaseTime;
extern const CFStringRef kCGImagePropertyIPTCExpirationDate;
extern const CFStringRef kCGImagePropertyIPTCExpirationTime;
extern const CFStringRef kCGImagePropertyIPTCSpecialInstructions;
extern const CFStringRef kCGImagePropertyIPTCReferenceService;
extern const CFStringRef kCGImagePropertyIPTCReferenceDate;
extern const CFStringRef kCGImagePropertyIPTCReferenceNumber;
extern const CFStringRef kCGImagePropertyIPTCDateCreated;
extern const CFStringRef kCGImagePropertyIPTCTimeCreated;
extern const CFStringRef kCGImagePropertyIPTCDigitalCreationDate;
extern const CFStringRef kCGImagePropertyIPTCDigitalCreationTime;
extern const CFStringRef kCGImagePropertyIPTCOriginatingProgram;
extern const CFStringRef kCGImagePropertyIPTCProgramVersion;
extern const CFStringRef kCGImagePropertyIPTCObjectCycle;
extern const CFStringRef kCGImagePropertyIPTCByline;
extern const CFStringRef kCGImagePropertyIPTCBylineTitle;
extern const CFStringRef kCGImagePropertyIPTCCity;
extern const CFStringRef kCGImagePropertyIPTCSubLocation;
extern const CFStringRef kCGImagePropertyIPTCProvinceState;
extern const CFStringRef kCGImagePropertyIPTCCountryPrimaryLocationCode;
extern const CFStringRef kCGImagePropertyIPTCCountryPrimaryLocationName;
extern const CFStringRef kCGImagePropertyIPTCOriginalTransmissionReference;
extern const CFStringRef kCGImagePropertyIPTCHeadline;
extern const CFStringRef kCGImagePropertyIPTCCredit;
extern const CFStringRef kCGImagePropertyIPTCSource;
extern const CFStringRef kCGImagePropertyIPTCCopyrightNotice;
extern const CFStringRef kCGImagePropertyIPTCContact;
extern const CFStringRef kCGImagePropertyIPTCCaptionAbstract;
extern const CFStringRef kCGImagePropertyIPTCWriterEditor;
extern const CFStringRef kCGImagePropertyIPTCImageType;
extern const CFStringRef kCGImagePropertyIPTCImageOrientation;
extern const CFStringRef kCGImagePropertyIPTCLanguageIdentifier;
extern const CFStringRef kCGImagePropertyIPTCStarRating;
