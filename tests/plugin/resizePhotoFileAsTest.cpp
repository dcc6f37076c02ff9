// Photo preparation: sizes, orientation, metadata carried into the prepared JPEG (read back
// with exiftool and libvips' command-line tools), and what gives no photo.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ImageIO.h"
#include "ImageTestSupport.h"
#include "TestSupport.h"
#include "fileEngine.h"
#include "resizePhotoFileAs.h"

namespace fs = std::filesystem;
using velmtest::readFile;
using velmtest::runCommand;
using velmtest::exiftool;
using velmtest::q;
using velmtest::sh;
using velmtest::writeFile;

namespace {

fs::path gDir;

// Prepares the file and writes the result beside it as <name>-<maxSize>.jpg; false when there
// is no result.
bool prepare(const fs::path& file, SInt32 maxSize, fs::path* out = nullptr) {
  FSRef ref;
  CFRef<CFStringRef> path(CFStringCreateWithCString(nullptr, file.c_str(), kCFStringEncodingUTF8));
  if (feMakeFSRefFromPath(path.get(), &ref) != 0) return false;
  CFRef<CFMutableDataRef> data(resizePhotoFileAs(&ref, maxSize, kUTTypeJPEG));
  if (!data) return false;
  fs::path result = file.parent_path() / (file.stem().string() + "-" + std::to_string(maxSize) + ".jpg");
  writeFile(result, std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data.get())),
                                static_cast<size_t>(CFDataGetLength(data.get()))));
  if (out) *out = result;
  return true;
}

// The mean brightness of a region of an image, as libvips' command-line tools measure it.
double meanOf(const fs::path& file, int left, int top, int width, int height) {
  fs::path region = file.string() + ".region.v";
  sh("vips crop " + q(file) + " " + q(region) + " " + std::to_string(left) + " " + std::to_string(top) + " " +
     std::to_string(width) + " " + std::to_string(height));
  double mean = std::stod(sh("vips avg " + q(region)));
  fs::remove(region);
  return mean;
}

// A picture with a white left half and a black right half.
void makePicture(const fs::path& file, int width, int height) {
  fs::path black = file.string() + ".b.v", white = file.string() + ".w.v";
  sh("vips black " + q(black) + " " + std::to_string(width / 2) + " " + std::to_string(height) + " --bands 3 && vips linear " +
     q(black) + " " + q(white) + " 1 255 --uchar && vips join " + q(white) + " " + q(black) + " " + q(file.string() + "[strip]") +
     " horizontal");
  fs::remove(black);
  fs::remove(white);
}

class Photos : public ::testing::Environment {
 public:
  void SetUp() override { gDir = velmtest::makeTempDir("prepare"); }
};
const auto* const kPhotos = ::testing::AddGlobalTestEnvironment(new Photos);

// The test photos, written when first asked for: "large.jpg" (3000 x 2000 with GPS, IPTC and
// XMP), "turned.jpg" (the same with orientation 6 in EXIF and XMP), "small.jpg" (300 x 200,
// orientation 6).
fs::path photo(const std::string& name) {
  fs::path f = gDir / name;
  if (fs::exists(f)) return f;
  if (name == "large.jpg") {
    makePicture(f, 3000, 2000);
    sh("exiftool -q -q -overwrite_original -GPSLatitude=48.1 -GPSLatitudeRef=S -GPSLongitude=11.5 -GPSLongitudeRef=E "
       "-IPTC:City=Bern '-IPTC:Caption-Abstract=At the river' -IPTC:Keywords=river -IPTC:Keywords=summer "
       "-XMP-dc:Title=River " + q(f));
  } else if (name == "turned.jpg") {
    fs::copy_file(photo("large.jpg"), f);
    sh("exiftool -q -q -overwrite_original -Orientation#=6 -XMP-tiff:Orientation#=6 " + q(f));
  } else {
    makePicture(f, 300, 200);
    sh("exiftool -q -q -overwrite_original -Orientation#=6 " + q(f));
  }
  return f;
}

TEST(Preparing, SizesKeepTheAspectAndNeverEnlarge) {
  struct Case {
    const char* file;
    SInt32 maxSize;
    const char* width;
    const char* height;
  } cases[] = {
      {"large.jpg", 640, "640", "427"},  {"large.jpg", 1600, "1600", "1067"}, {"large.jpg", 5000, "3000", "2000"},
      {"large.jpg", 0, "3000", "2000"},  {"small.jpg", 640, "200", "300"},    {"small.jpg", 0, "300", "200"},
  };
  for (const Case& c : cases) {
    fs::path out;
    ASSERT_TRUE(prepare(photo(c.file), c.maxSize, &out)) << c.file << " " << c.maxSize;
    EXPECT_EQ(exiftool(out, "-File:FileType -File:ImageWidth -File:ImageHeight"),
              (std::vector<std::string>{"JPEG", c.width, c.height}))
        << c.file << " " << c.maxSize;
  }
}

TEST(Preparing, ScalingTurnsThePixelsAndSetsTheOrientationUpright) {
  // Orientation 6: the stored picture is shown turned a quarter clockwise, so its white left
  // half ends up on top.
  fs::path out;
  ASSERT_TRUE(prepare(photo("turned.jpg"), 640, &out));
  EXPECT_EQ(exiftool(out, "-File:ImageWidth -File:ImageHeight -EXIF:Orientation -XMP-tiff:Orientation"),
            (std::vector<std::string>{"427", "640", "1", "1"}));
  EXPECT_GT(meanOf(out, 0, 0, 427, 300), 250.0);
  EXPECT_LT(meanOf(out, 0, 340, 427, 300), 5.0);
}

TEST(Preparing, FullSizeTurnsNothingAndKeepsTheOrientation) {
  fs::path out;
  ASSERT_TRUE(prepare(photo("turned.jpg"), 0, &out));
  EXPECT_EQ(exiftool(out, "-File:ImageWidth -File:ImageHeight -EXIF:Orientation -XMP-tiff:Orientation"),
            (std::vector<std::string>{"3000", "2000", "6", "6"}));
  EXPECT_GT(meanOf(out, 0, 0, 1400, 2000), 250.0);
  EXPECT_LT(meanOf(out, 1600, 0, 1400, 2000), 5.0);
}

TEST(Preparing, MetadataTravelsWithThePhoto) {
  for (SInt32 maxSize : {640, 0}) {
    fs::path out;
    ASSERT_TRUE(prepare(photo("large.jpg"), maxSize, &out));
    EXPECT_EQ(exiftool(out, "-EXIF:GPSLatitude -EXIF:GPSLatitudeRef -EXIF:GPSLongitude -EXIF:GPSLongitudeRef "
                            "-IPTC:City -IPTC:Caption-Abstract -IPTC:Keywords -XMP-dc:Title"),
              (std::vector<std::string>{"48.1", "S", "11.5", "E", "Bern", "At the river", "river, summer", "River"}))
        << maxSize;
  }
}

TEST(Preparing, OtherImageFormats) {
  fs::path png = gDir / "photo.png", tif = gDir / "photo.tif", webp = gDir / "photo.webp";
  makePicture(png, 800, 600);
  sh("vips copy " + q(png) + " " + q(tif) + " && vips copy " + q(png) + " " + q(webp));
  sh("exiftool -q -q -overwrite_original -GPSLatitude=10.5 -GPSLatitudeRef=N " + q(png) + " " + q(tif) + " " + q(webp));
  for (const fs::path& f : {png, tif, webp}) {
    fs::path out;
    ASSERT_TRUE(prepare(f, 400, &out)) << f;
    EXPECT_EQ(exiftool(out, "-File:FileType -File:ImageWidth -File:ImageHeight -EXIF:GPSLatitude"),
              (std::vector<std::string>{"JPEG", "400", "300", "10.5"}))
        << f;
  }
}

TEST(Preparing, WhatIsNoPhotoGivesNone) {
  std::string bytes = readFile(photo("small.jpg"));
  writeFile(gDir / "truncated.jpg", bytes.substr(0, bytes.size() / 2));
  writeFile(gDir / "words.jpg", "Words, not a picture.\n");
  writeFile(gDir / "empty.jpg", "");
  for (const char* name : {"truncated.jpg", "words.jpg", "empty.jpg"}) {
    EXPECT_FALSE(prepare(gDir / name, 640)) << name;
    EXPECT_FALSE(prepare(gDir / name, 0)) << name;
  }

  // A reference to a file that is gone by the time the photo is prepared.
  fs::copy_file(photo("small.jpg"), gDir / "gone.jpg");
  FSRef ref;
  CFRef<CFStringRef> path(CFStringCreateWithCString(nullptr, (gDir / "gone.jpg").c_str(), kCFStringEncodingUTF8));
  ASSERT_EQ(feMakeFSRefFromPath(path.get(), &ref), 0);
  fs::remove(gDir / "gone.jpg");
  EXPECT_EQ(resizePhotoFileAs(&ref, 640, kUTTypeJPEG), nullptr);
  EXPECT_EQ(resizePhotoFileAs(nullptr, 640, kUTTypeJPEG), nullptr);
}

}  // namespace
