// The location reader against photos that exiftool writes and reads back, the record's
// release, and the coordinate text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ImageTestSupport.h"
#include "TestSupport.h"
#include "fileEngine.h"
#include "gps.h"
#include "stringEngine.h"

namespace fs = std::filesystem;
using velmtest::exiftool;
using velmtest::q;
using velmtest::runCommand;
using velmtest::sh;

namespace {

fs::path gDir;

CFRef<CFStringRef> cf(const std::string& utf8) {
  return CFRef<CFStringRef>(CFStringCreateWithCString(nullptr, utf8.c_str(), kCFStringEncodingUTF8));
}

std::string utf8(CFStringRef s) {
  if (!s) return "<null>";
  char buf[1024];
  return CFStringGetCString(s, buf, sizeof buf, kCFStringEncodingUTF8) ? buf : "<bad>";
}

// Where the test expects a field to keep the value it had before the read.
constexpr double kUntouched = -12345.0;
constexpr char kUntouchedRef = '?';

GpsInfoRecord presetRecord() {
  GpsInfoRecord r{};
  r.latitude = r.longitude = r.altitude = r.destDistance = r.imgDirection = r.tilt = kUntouched;
  r.latitudeRef = r.longitudeRef = kUntouchedRef;
  return r;
}

struct Case {
  const char* name;
  const char* ext;
  const char* exiftoolArgs;  // empty: a photo without metadata
  SInt32 status;
  double latitude;
  char latitudeRef;
  double longitude;
  char longitudeRef;
  double altitude;
  double destDistance;
  double imgDirection;
  double tilt;
  const char* city;
};

const Case kCases[] = {
    {"NorthEast", "jpg",
     "-GPSLatitude=48.1234567 -GPSLatitudeRef=N -GPSLongitude=11.5 -GPSLongitudeRef=E -GPSAltitude=520.25 "
     "-GPSAltitudeRef=0 -GPSImgDirection=90",
     0, 48.1234567, 'N', 11.5, 'E', 520.25, kUntouched, -270.0, kUntouched, nullptr},
    {"SouthWest", "jpg", "-GPSLatitude=33.8688 -GPSLatitudeRef=S -GPSLongitude=151.2093 -GPSLongitudeRef=W", 0, 33.8688,
     'S', 151.2093, 'W', 0.0, kUntouched, -360.0, kUntouched, nullptr},
    {"MissingLongitudeRef", "jpg", "-GPSLatitude=10.25 -GPSLatitudeRef=N -GPSLongitude=20.75", 0, 10.25, 'N', 20.75, 0,
     0.0, kUntouched, -360.0, kUntouched, nullptr},
    {"LatitudeZero", "jpg", "-GPSLatitude=0 -GPSLatitudeRef=N -GPSLongitude=11 -GPSLongitudeRef=E", -1, 0.0, 'N', 11.0,
     'E', 0.0, kUntouched, -360.0, kUntouched, nullptr},
    {"BelowSeaLevel", "jpg",
     "-GPSLatitude=31.5 -GPSLatitudeRef=N -GPSLongitude=35.5 -GPSLongitudeRef=E -GPSAltitude=430.5 -GPSAltitudeRef=1", 0,
     31.5, 'N', 35.5, 'E', 430.5, kUntouched, -360.0, kUntouched, nullptr},
    {"DistanceKilometres", "jpg", "-GPSLatitude=1 -GPSLongitude=2 -GPSDestDistance=2.5 -GPSDestDistanceRef#=k", 0, 1.0, 0,
     2.0, 0, 0.0, 2500.0, -360.0, kUntouched, nullptr},
    {"DistanceMiles", "jpg", "-GPSLatitude=1 -GPSLongitude=2 -GPSDestDistance=2.5 -GPSDestDistanceRef=M", 0, 1.0, 0, 2.0,
     0, 0.0, 4023.36, -360.0, kUntouched, nullptr},
    {"DistanceNauticalMiles", "jpg", "-GPSLatitude=1 -GPSLongitude=2 -GPSDestDistance=2.5 -GPSDestDistanceRef=N", 0, 1.0,
     0, 2.0, 0, 0.0, 4630.0, -360.0, kUntouched, nullptr},
    {"DistanceWithoutUnit", "jpg", "-GPSLatitude=1 -GPSLongitude=2 -GPSDestDistance=2.5", 0, 1.0, 0, 2.0, 0, 0.0,
     kUntouched, -360.0, kUntouched, nullptr},
    {"SatellitesTilt", "jpg", "-GPSLatitude=1 -GPSLongitude=2 -GPSSatellites=TILT:12.5", 0, 1.0, 0, 2.0, 0, 0.0,
     kUntouched, -360.0, 12.5, nullptr},
    {"SatellitesTiltWithSpaces", "jpg", "-GPSLatitude=1 -GPSLongitude=2 '-GPSSatellites=tilt:  -3.25 deg'", 0, 1.0, 0, 2.0,
     0, 0.0, kUntouched, -360.0, -3.25, nullptr},
    {"SatellitesTiltWithoutNumber", "jpg", "-GPSLatitude=1 -GPSLongitude=2 -GPSSatellites=Tilt:", 0, 1.0, 0, 2.0, 0, 0.0,
     kUntouched, -360.0, 0.0, nullptr},
    {"SatellitesCount", "jpg", "-GPSLatitude=1 -GPSLongitude=2 -GPSSatellites=5", 0, 1.0, 0, 2.0, 0, 0.0, kUntouched,
     -360.0, kUntouched, nullptr},
    {"NoMetadata", "jpg", "", -1, kUntouched, kUntouchedRef, kUntouched, kUntouchedRef, kUntouched, kUntouched,
     kUntouched, kUntouched, nullptr},
    {"IPTCOnly", "jpg", "-IPTC:City=Bern -IPTC:Province-State=BE -IPTC:Country-PrimaryLocationName=Schweiz "
                        "'-IPTC:Caption-Abstract=Am Fluss'",
     -1, kUntouched, kUntouchedRef, kUntouched, kUntouchedRef, kUntouched, kUntouched, kUntouched, kUntouched, "Bern"},
    {"PNG", "png", "-GPSLatitude=52.52 -GPSLatitudeRef=N -GPSLongitude=13.405 -GPSLongitudeRef=E -IPTC:City=Berlin", 0,
     52.52, 'N', 13.405, 'E', 0.0, kUntouched, -360.0, kUntouched, "Berlin"},
    {"TIFF", "tif", "-GPSLatitude=40.7128 -GPSLatitudeRef=N -GPSLongitude=74.006 -GPSLongitudeRef=W -GPSAltitude=10", 0,
     40.7128, 'N', 74.006, 'W', 10.0, kUntouched, -360.0, kUntouched, nullptr},
};

// The photo of a case, written when first asked for.
fs::path photoFor(const Case& c) {
  fs::path f = gDir / (std::string(c.name) + "." + c.ext);
  if (!fs::exists(f)) {
    sh("vips black " + q(f.string() + "[strip]") + " 32 24 --bands 3");
    if (*c.exiftoolArgs) sh("exiftool -q -q -overwrite_original " + std::string(c.exiftoolArgs) + " " + q(f));
  }
  return f;
}

fs::path photoNamed(const std::string& name) {
  for (const Case& c : kCases)
    if (name == c.name) return photoFor(c);
  ADD_FAILURE() << name;
  return {};
}

class Photos : public ::testing::Environment {
 public:
  void SetUp() override { gDir = velmtest::makeTempDir("gps"); }
};
const auto* const kPhotos = ::testing::AddGlobalTestEnvironment(new Photos);

class ReadingPhotos : public ::testing::TestWithParam<Case> {};

TEST_P(ReadingPhotos, FillTheRecordAsExiftoolReadsTheFile) {
  const Case& c = GetParam();
  fs::path f = photoFor(c);
  GpsInfoRecord r = presetRecord();
  EXPECT_EQ(gpsGetCoordinatesFromFilePath(cf(f.string()).get(), &r), c.status);
  EXPECT_NEAR(r.latitude, c.latitude, 1e-7);
  EXPECT_EQ(r.latitudeRef, c.latitudeRef);
  EXPECT_NEAR(r.longitude, c.longitude, 1e-7);
  EXPECT_EQ(r.longitudeRef, c.longitudeRef);
  EXPECT_NEAR(r.altitude, c.altitude, 1e-9);
  EXPECT_NEAR(r.destDistance, c.destDistance, 1e-6);
  EXPECT_NEAR(r.imgDirection, c.imgDirection, 1e-9);
  EXPECT_NEAR(r.tilt, c.tilt, 1e-9);
  EXPECT_EQ(utf8(r.city), c.city ? c.city : "<null>");

  // The independent reader sees the same numbers in the file.
  auto want = exiftool(f, "-EXIF:GPSLatitude -EXIF:GPSLongitude -EXIF:GPSAltitude -EXIF:GPSImgDirection "
                          "-EXIF:GPSLatitudeRef -EXIF:GPSLongitudeRef -IPTC:City");
  ASSERT_EQ(want.size(), 7u);
  if (want[0] != "-") {
    EXPECT_NEAR(r.latitude, std::stod(want[0]), 1e-9);
  }
  if (want[1] != "-") {
    EXPECT_NEAR(r.longitude, std::stod(want[1]), 1e-9);
  }
  if (want[2] != "-") {
    EXPECT_NEAR(r.altitude, std::stod(want[2]), 1e-9);
  }
  if (want[3] != "-") {
    EXPECT_NEAR(r.imgDirection, std::stod(want[3]) - 360.0, 1e-9);
  }
  if (want[4] != "-") {
    EXPECT_EQ(std::string(1, r.latitudeRef), want[4]);
  }
  if (want[5] == "-" && c.status == 0) {
    EXPECT_EQ(r.longitudeRef, 0);
  }
  EXPECT_EQ(utf8(r.city), want[6] == "-" ? "<null>" : want[6]);
  gpsReleaseInfoRecord(&r);
}

INSTANTIATE_TEST_SUITE_P(Files, ReadingPhotos, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReadingIPTC, AllFourTextsAndTheirRelease) {
  fs::path f = photoNamed("IPTCOnly");
  GpsInfoRecord r{};
  EXPECT_EQ(gpsGetCoordinatesFromFilePath(cf(f.string()).get(), &r), -1);
  EXPECT_EQ(utf8(r.city), "Bern");
  EXPECT_EQ(utf8(r.provinceState), "BE");
  EXPECT_EQ(utf8(r.country), "Schweiz");
  EXPECT_EQ(utf8(r.caption), "Am Fluss");
  EXPECT_EQ(r.imgDirection, 0.0);  // no GPS dictionary: the numbers stay

  // Reading into a record that still holds texts replaces them without leaking the old ones.
  EXPECT_EQ(gpsGetCoordinatesFromFilePath(cf(f.string()).get(), &r), -1);
  EXPECT_EQ(utf8(r.caption), "Am Fluss");

  gpsReleaseInfoRecord(&r);
  EXPECT_EQ(r.city, nullptr);
  EXPECT_EQ(r.provinceState, nullptr);
  EXPECT_EQ(r.country, nullptr);
  EXPECT_EQ(r.caption, nullptr);
  gpsReleaseInfoRecord(&r);  // twice: nothing left to release
  GpsInfoRecord zero{};
  gpsReleaseInfoRecord(&zero);
  gpsReleaseInfoRecord(nullptr);
}

TEST(ReadingFiles, WhatIsNoImageChangesNothing) {
  velmtest::writeFile(gDir / "notes.jpg", "not a photo");
  velmtest::writeFile(gDir / "empty.jpg", "");
  for (const char* name : {"notes.jpg", "empty.jpg"}) {
    GpsInfoRecord r = presetRecord();
    EXPECT_EQ(gpsGetCoordinatesFromFilePath(cf((gDir / name).string()).get(), &r), -1) << name;
    EXPECT_EQ(r.latitude, kUntouched);
    EXPECT_EQ(r.imgDirection, kUntouched);
  }
  GpsInfoRecord r = presetRecord();
  FSRef probe;
  OSStatus missing = feMakeFSRefFromPath(cf((gDir / "missing.jpg").string()).get(), &probe);
  EXPECT_NE(missing, 0);
  EXPECT_EQ(gpsGetCoordinatesFromFilePath(cf((gDir / "missing.jpg").string()).get(), &r), missing);
  EXPECT_EQ(r.latitude, kUntouched);

  // A reference whose file is gone by the time it is read.
  fs::path gone = gDir / "gone.jpg";
  fs::copy_file(photoNamed("NorthEast"), gone);
  FSRef ref;
  ASSERT_EQ(feMakeFSRefFromPath(cf(gone.string()).get(), &ref), 0);
  fs::remove(gone);
  EXPECT_EQ(gpsGetCoordinatesFromFile(&ref, &r), -1);
  EXPECT_EQ(r.latitude, kUntouched);
}

// ---------------------------------------------------------------------------------------------
// The coordinate text. The format comes from the main bundle's table, which a process reads
// once; each format is therefore tried in a child run of this program.

// A child run (started with HOME and the XDG folders already in the parent's sandbox) prints the
// coordinate text and runs no test.
const bool kChildRun = [] {
  const char* coordinate = getenv("GPS_TEST_CHILD");
  if (!coordinate) return false;
  const char* letter = getenv("GPS_TEST_LETTER");
  CFRef<CFStringRef> s(gpsMakeCoordianteString(std::stod(coordinate), letter ? letter[0] : 0));
  printf("RESULT[%s]\n", utf8(s.get()).c_str());
  fflush(stdout);
  return true;
}();

// The text for the coordinate with the format under key "1" ("" when the table has no entry).
std::string coordinateText(const std::string& format, const std::string& coordinate, char letter) {
  fs::path bundle = velmtest::makeTempDir("bundle");
  fs::create_directories(bundle / "en.lproj");
  std::string escaped;
  for (char ch : format) escaped += (ch == '"' || ch == '\\') ? std::string("\\") + ch : std::string(1, ch);
  velmtest::writeFile(bundle / "en.lproj/Localizable.strings",
                      format.empty() ? "\"2\" = \"other\";\n" : "\"1\" = \"" + escaped + "\";\n");
  std::string command = "GPS_TEST_CHILD=" + coordinate + " GPS_TEST_LETTER=" + std::string(1, letter) +
                        " CF_MAIN_BUNDLE_PATH=" + q(bundle) + " LANG=en_US.UTF-8 /proc/" + std::to_string(getpid()) +
                        "/exe '--gtest_filter=-*'";
  std::string out = sh(command);
  size_t at = out.find("RESULT[");
  if (at == std::string::npos) return "<no result>";
  return out.substr(at + 7, out.find("]\n", at) - at - 7);
}

TEST(CoordinateText, DegreesMinutesAndTruncatedTenthsOfSeconds) {
  const std::string format = "%c %.0f\xC2\xB0 %.0f' %.1f\"";
  EXPECT_EQ(coordinateText(format, "48.1234567", 'N'), "N 48\xC2\xB0 7' 24.4\"");
  EXPECT_EQ(coordinateText(format, "-48.1234567", 'S'), "S -48\xC2\xB0 -7' -24.4\"");
  EXPECT_EQ(coordinateText("%d|%g|%g|%g", "11.999999", 'E'), "69|11|59|59.9");
  EXPECT_EQ(coordinateText("", "1.5", 'E'), "1");  // no entry: the key itself
}

TEST(CoordinateText, FormatsThatWouldReadOtherArgumentsGiveNone) {
  for (const char* format : {"%@", "%s %f", "%c %f %f %f %f", "%f", "%*d", "%1$c", "%c %d", "%n", "%c %Lf"})
    EXPECT_EQ(coordinateText(format, "48.5", 'N'), "<null>") << format;
}

}  // namespace
