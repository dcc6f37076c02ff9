// The photo's position: GPS coordinates, altitude, destination distance, image direction and
// tilt, and the IPTC location and caption texts, read from an image file's metadata into a
// record the caller provides; and a coordinate as degrees, minutes and seconds.
#pragma once

#include "CoreFoundation.h"
#include "CoreServices.h"
#include "MacTypes.h"

// The caller allocates the record and sets every field to zero before the first read; the four
// strings belong to the record and are released with gpsReleaseInfoRecord.
struct GpsInfoRecord {
  double latitude;       // degrees as stored, not signed by the hemisphere
  double longitude;      // degrees as stored, not signed by the hemisphere
  char latitudeRef;      // first character of the latitude reference (N or S), or 0
  char longitudeRef;     // first character of the longitude reference (E or W), or 0
  double altitude;       // metres as stored, without sign
  double destDistance;   // distance to the destination in metres
  double imgDirection;   // image direction in degrees, less 360.0
  double tilt;           // angle of a "tilt:" satellites text
  CFStringRef city;
  CFStringRef provinceState;
  CFStringRef country;
  CFStringRef caption;
};

// Fills the record from the file's first image: 0 when it carries a GPS position whose latitude
// and longitude are both non-zero, -1 otherwise. A file that is no readable image, or has no
// readable properties, changes nothing; a file without a GPS dictionary may have set the IPTC
// texts only.
SInt32 gpsGetCoordinatesFromFile(const FSRef* ref, GpsInfoRecord* info);
// As above for a POSIX path; the status of making the file reference when that fails.
SInt32 gpsGetCoordinatesFromFilePath(CFStringRef path, GpsInfoRecord* info);
// Releases the four strings that are set and sets them to null; the other fields stay.
void gpsReleaseInfoRecord(GpsInfoRecord* info);
// The coordinate as degrees, minutes and tenths of seconds through the host application's
// localized format with key "1" (arguments: the letter as an integer, then degrees, minutes and
// seconds as doubles). A new string the caller releases; null when the format takes other
// arguments than these.
CFStringRef gpsMakeCoordianteString(double coordinate, char letter);
