// Image sources, images, destinations and property dictionaries, checked against files that
// libvips, ImageMagick and exiftool write and against what exiftool reads back.
#include <gtest/gtest.h>

#include <libheif/heif.h>
#include <zlib.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "ImageIO.h"
#include "ImageTestSupport.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using velmtest::readFile;
using velmtest::runCommand;
using velmtest::exiftool;
using velmtest::q;
using velmtest::sh;
using velmtest::writeFile;

namespace {

fs::path gDir;

CFRef<CFURLRef> urlOf(const fs::path& p) {
  std::string s = p.string();
  return CFRef<CFURLRef>(
      CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(s.data()), static_cast<CFIndex>(s.size()), false));
}

CFRef<CGImageSourceRef> sourceOf(const fs::path& p) {
  return CFRef<CGImageSourceRef>(CGImageSourceCreateWithURL(urlOf(p).get(), nullptr));
}

CFRef<CFDictionaryRef> propertiesOf(const fs::path& p) {
  auto source = sourceOf(p);
  if (!source) return {};
  return CFRef<CFDictionaryRef>(CGImageSourceCopyPropertiesAtIndex(source.get(), 0, nullptr));
}

CFDictionaryRef subDictionary(CFDictionaryRef d, CFStringRef key) {
  if (!d) return nullptr;
  auto v = static_cast<CFTypeRef>(CFDictionaryGetValue(d, key));
  return v && CFGetTypeID(v) == CFDictionaryGetTypeID() ? static_cast<CFDictionaryRef>(v) : nullptr;
}

double number(CFDictionaryRef d, CFStringRef key) {
  auto v = d ? static_cast<CFNumberRef>(CFDictionaryGetValue(d, key)) : nullptr;
  double x = NAN;
  if (v && CFGetTypeID(v) == CFNumberGetTypeID()) CFNumberGetValue(v, kCFNumberDoubleType, &x);
  return x;
}

std::string text(CFTypeRef v) {
  if (!v || CFGetTypeID(v) != CFStringGetTypeID()) return "<none>";
  char buf[1024];
  if (!CFStringGetCString(static_cast<CFStringRef>(v), buf, sizeof buf, kCFStringEncodingUTF8)) return "<bad>";
  return buf;
}

std::string text(CFDictionaryRef d, CFStringRef key) { return d ? text(CFDictionaryGetValue(d, key)) : "<none>"; }

CFRef<CFDictionaryRef> thumbnailOptions(int maxSize, bool transform) {
  CFRef<CFNumberRef> size(CFNumberCreate(nullptr, kCFNumberIntType, &maxSize));
  const void* keys[] = {kCGImageSourceCreateThumbnailFromImageAlways, kCGImageSourceThumbnailMaxPixelSize,
                        kCGImageSourceCreateThumbnailWithTransform};
  const void* values[] = {kCFBooleanTrue, size.get(), transform ? kCFBooleanTrue : kCFBooleanFalse};
  return CFRef<CFDictionaryRef>(
      CFDictionaryCreate(nullptr, keys, values, 3, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

// Encodes the image with the properties into JPEG bytes; empty when that fails.
std::string encode(CGImageRef image, CFDictionaryRef properties) {
  CFRef<CFMutableDataRef> data(CFDataCreateMutable(nullptr, 0));
  CFRef<CGImageDestinationRef> dest(CGImageDestinationCreateWithData(data.get(), kUTTypeJPEG, 1, nullptr));
  if (!dest) return {};
  CGImageDestinationAddImage(dest.get(), image, properties);
  if (!CGImageDestinationFinalize(dest.get())) return {};
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data.get())), static_cast<size_t>(CFDataGetLength(data.get())));
}

// A photo-like test picture: white left half, black right half, in the given format.
void makePicture(const fs::path& file, int width, int height) {
  fs::path tmp = file.string() + ".v";
  sh("vips black " + q(tmp) + " " + std::to_string(width / 2) + " " + std::to_string(height) + " --bands 3 && vips linear " +
     q(tmp) + " " + q(tmp.string() + "w.v") + " 1 255 --uchar && vips join " + q(tmp.string() + "w.v") + " " + q(tmp) + " " +
     q(file.string() + "[strip]") + " horizontal");
  fs::remove(tmp);
  fs::remove(tmp.string() + "w.v");
}

class ImageIOEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { gDir = velmtest::makeTempDir("imageio"); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ImageIOEnvironment);

// A 64 x 48 picture in the format of ext with GPS, IPTC and orientation 6, written when first
// asked for.
fs::path metaFile(const std::string& ext) {
  fs::path f = gDir / ("meta." + ext);
  if (!fs::exists(f)) {
    makePicture(f, 64, 48);
    sh("exiftool -q -q -overwrite_original -GPSLatitude=48.1234567 -GPSLatitudeRef=N -GPSLongitude=11.5 "
       "-GPSLongitudeRef=W -GPSAltitude=12.5 -GPSAltitudeRef=1 -GPSImgDirection=90 -GPSSatellites=TILT:12.5 "
       "-IPTC:City=Z\xC3\xBCrich -IPTC:Keywords=one -IPTC:Keywords=two -Orientation#=6 " + q(f));
  }
  return f;
}

// ---------------------------------------------------------------------------------------------

class PropertiesByFormat : public ::testing::TestWithParam<const char*> {};

TEST_P(PropertiesByFormat, AgreeWithExiftool) {
  fs::path f = metaFile(GetParam());
  auto props = propertiesOf(f);
  ASSERT_TRUE(props);
  auto want = exiftool(f, "-EXIF:GPSLatitude -EXIF:GPSLatitudeRef -EXIF:GPSLongitude -EXIF:GPSLongitudeRef "
                          "-EXIF:GPSAltitude -EXIF:GPSAltitudeRef -EXIF:GPSImgDirection -EXIF:GPSSatellites "
                          "-EXIF:Orientation -IPTC:City");
  ASSERT_EQ(want.size(), 10u);
  CFDictionaryRef gps = subDictionary(props.get(), kCGImagePropertyGPSDictionary);
  ASSERT_NE(gps, nullptr);
  EXPECT_NEAR(number(gps, kCGImagePropertyGPSLatitude), std::stod(want[0]), 1e-9);
  EXPECT_NEAR(number(gps, kCGImagePropertyGPSLatitude), 48.1234567, 1e-6);
  EXPECT_EQ(text(gps, kCGImagePropertyGPSLatitudeRef), want[1]);
  EXPECT_NEAR(number(gps, kCGImagePropertyGPSLongitude), std::stod(want[2]), 1e-9);
  EXPECT_EQ(text(gps, kCGImagePropertyGPSLongitudeRef), want[3]);
  EXPECT_NEAR(number(gps, kCGImagePropertyGPSAltitude), std::stod(want[4]), 1e-9);
  EXPECT_EQ(number(gps, kCGImagePropertyGPSAltitudeRef), std::stod(want[5]));
  EXPECT_NEAR(number(gps, kCGImagePropertyGPSImgDirection), std::stod(want[6]), 1e-9);
  EXPECT_EQ(text(gps, kCGImagePropertyGPSSatellites), want[7]);
  EXPECT_EQ(number(props.get(), kCGImagePropertyOrientation), std::stod(want[8]));
  EXPECT_EQ(number(props.get(), kCGImagePropertyPixelWidth), 64);
  EXPECT_EQ(number(props.get(), kCGImagePropertyPixelHeight), 48);

  CFDictionaryRef iptc = subDictionary(props.get(), kCGImagePropertyIPTCDictionary);
  if (want[9] == "-") return;  // the format holds no IPTC
  EXPECT_EQ(text(iptc, kCGImagePropertyIPTCCity), want[9]);
  EXPECT_EQ(text(iptc, kCGImagePropertyIPTCCity), "Z\xC3\xBCrich");
  auto keywords = iptc ? static_cast<CFArrayRef>(CFDictionaryGetValue(iptc, kCGImagePropertyIPTCKeywords)) : nullptr;
  ASSERT_TRUE(keywords && CFGetTypeID(keywords) == CFArrayGetTypeID());
  ASSERT_EQ(CFArrayGetCount(keywords), 2);
  EXPECT_EQ(text(CFArrayGetValueAtIndex(keywords, 0)), "one");
  EXPECT_EQ(text(CFArrayGetValueAtIndex(keywords, 1)), "two");
}

INSTANTIATE_TEST_SUITE_P(Formats, PropertiesByFormat, ::testing::Values("jpg", "png", "tif", "webp"));

TEST(Properties, IPTCTextsInLatin1OrUTF8) {
  // exiftool stores IPTC as Latin-1 unless the coded character set says UTF-8.
  fs::path latin = gDir / "latin1.jpg", utf8 = gDir / "utf8.jpg";
  makePicture(latin, 16, 16);
  makePicture(utf8, 16, 16);
  sh("exiftool -q -q -overwrite_original '-IPTC:Caption-Abstract=Gr\xC3\xBC\xC3\x9F" "e' " + q(latin));
  sh("exiftool -q -q -overwrite_original -IPTC:CodedCharacterSet=UTF8 '-IPTC:Caption-Abstract=Gr\xC3\xBC\xC3\x9F" "e' " + q(utf8));
  EXPECT_NE(readFile(latin).find("Gr\xFC\xDF" "e"), std::string::npos);  // really Latin-1 on disk
  for (const fs::path& f : {latin, utf8}) {
    auto props = propertiesOf(f);
    EXPECT_EQ(text(subDictionary(props.get(), kCGImagePropertyIPTCDictionary), kCGImagePropertyIPTCCaptionAbstract),
              "Gr\xC3\xBC\xC3\x9F" "e") << f;
  }
}

TEST(Properties, FileWithoutMetadataHasSizeButNoDictionaries) {
  fs::path f = gDir / "plain.jpg";
  makePicture(f, 40, 30);
  auto props = propertiesOf(f);
  ASSERT_TRUE(props);
  EXPECT_EQ(number(props.get(), kCGImagePropertyPixelWidth), 40);
  EXPECT_EQ(subDictionary(props.get(), kCGImagePropertyGPSDictionary), nullptr);
  EXPECT_EQ(subDictionary(props.get(), kCGImagePropertyIPTCDictionary), nullptr);
  EXPECT_FALSE(CFDictionaryContainsKey(props.get(), kCGImagePropertyOrientation));
}

TEST(Sources, OnlyImageFilesMakeSources) {
  writeFile(gDir / "text.jpg", "This is not a picture at all, only words.\n");
  writeFile(gDir / "empty.jpg", "");
  fs::create_directories(gDir / "folder.jpg");
  EXPECT_FALSE(sourceOf(gDir / "text.jpg"));
  EXPECT_FALSE(sourceOf(gDir / "empty.jpg"));
  EXPECT_FALSE(sourceOf(gDir / "missing.jpg"));
  EXPECT_FALSE(sourceOf(gDir / "folder.jpg"));
  EXPECT_FALSE(CGImageSourceCreateWithURL(nullptr, nullptr));

  std::string bytes = readFile(metaFile("jpg"));
  CFRef<CFDataRef> data(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
  CFRef<CGImageSourceRef> fromData(CGImageSourceCreateWithData(data.get(), nullptr));
  ASSERT_TRUE(fromData);
  EXPECT_TRUE(CFEqual(CGImageSourceGetType(fromData.get()), kUTTypeJPEG));
  CFRef<CFDictionaryRef> props(CGImageSourceCopyPropertiesAtIndex(fromData.get(), 0, nullptr));
  EXPECT_EQ(text(subDictionary(props.get(), kCGImagePropertyGPSDictionary), kCGImagePropertyGPSLongitudeRef), "W");
  EXPECT_FALSE(CGImageSourceCopyPropertiesAtIndex(fromData.get(), 1, nullptr));
}

TEST(Sources, SeveralImagesYieldTheFirst) {
  // A white first page and a black half-size second page, which must never pass for a
  // smaller pyramid level of the first.
  fs::path f = gDir / "pages.tif";
  sh("convert -size 300x200 xc:white -size 150x100 xc:black " + q(f));
  auto source = sourceOf(f);
  ASSERT_TRUE(source);
  EXPECT_EQ(CGImageSourceGetCount(source.get()), 1u);
  CFRef<CGImageRef> full(CGImageSourceCreateImageAtIndex(source.get(), 0, nullptr));
  ASSERT_TRUE(full);
  EXPECT_EQ(CGImageGetWidth(full.get()), 300u);
  CFRef<CGImageRef> thumb(CGImageSourceCreateThumbnailAtIndex(source.get(), 0, thumbnailOptions(120, true).get()));
  ASSERT_TRUE(thumb);
  EXPECT_EQ(CGImageGetWidth(thumb.get()), 120u);
  EXPECT_EQ(CGImageGetHeight(thumb.get()), 80u);
  fs::path out = gDir / "pages-thumb.jpg";
  writeFile(out, encode(thumb.get(), nullptr));
  EXPECT_GT(std::stod(sh("vips avg " + q(out))), 250.0);  // white: page 0
  EXPECT_FALSE(CGImageSourceCreateImageAtIndex(source.get(), 1, nullptr));
}

TEST(Images, ThumbnailsKeepAspectNeverEnlargeAndTurnByOrientation) {
  auto source = sourceOf(metaFile("jpg"));  // 64 x 48, orientation 6 (turn 90 degrees clockwise)
  ASSERT_TRUE(source);
  struct Case {
    int maxSize;
    bool transform;
    size_t width, height;
  } cases[] = {{32, true, 24, 32}, {32, false, 32, 24}, {640, false, 64, 48}, {640, true, 48, 64}, {0, false, 64, 48}};
  for (const Case& c : cases) {
    CFRef<CGImageRef> image(CGImageSourceCreateThumbnailAtIndex(source.get(), 0, thumbnailOptions(c.maxSize, c.transform).get()));
    ASSERT_TRUE(image) << c.maxSize;
    EXPECT_EQ(CGImageGetWidth(image.get()), c.width) << c.maxSize << " " << c.transform;
    EXPECT_EQ(CGImageGetHeight(image.get()), c.height) << c.maxSize << " " << c.transform;
  }
  CFRef<CGImageRef> full(CGImageSourceCreateImageAtIndex(source.get(), 0, nullptr));
  EXPECT_EQ(CGImageGetWidth(full.get()), 64u);
}

TEST(Images, TruncatedJPEGGivesNoPixels) {
  fs::path whole = gDir / "noise.jpg", cut = gDir / "cut.jpg";
  sh("vips gaussnoise " + q(gDir / "noise.v") + " 400 300 && vips cast " + q(gDir / "noise.v") + " " + q(whole) + " uchar");
  std::string bytes = readFile(whole);
  writeFile(cut, bytes.substr(0, bytes.size() * 6 / 10));
  auto source = sourceOf(cut);
  ASSERT_TRUE(source);  // the header is fine
  EXPECT_FALSE(CFRef<CGImageRef>(CGImageSourceCreateImageAtIndex(source.get(), 0, nullptr)));
  // A thumbnail's pixels are made as they are read: the cut shows when they are.
  for (int size : {100, 0}) {
    CFRef<CGImageRef> thumb(CGImageSourceCreateThumbnailAtIndex(source.get(), 0, thumbnailOptions(size, true).get()));
    ASSERT_TRUE(thumb) << size;
    EXPECT_FALSE(CFRef<CFDataRef>(CGImageCreateRGBA8Data(thumb.get()))) << size;
    EXPECT_TRUE(encode(thumb.get(), nullptr).empty()) << size;
  }
  auto good = sourceOf(whole);
  CFRef<CGImageRef> thumb(CGImageSourceCreateThumbnailAtIndex(good.get(), 0, thumbnailOptions(100, true).get()));
  ASSERT_TRUE(thumb);
  EXPECT_FALSE(encode(thumb.get(), nullptr).empty());
}

TEST(Images, AThumbnailReadTwiceGivesThePixelsBothTimes) {
  // The first read takes the pipeline from the file; a later one makes it anew, from the file
  // or from data, and gets the same pixels.
  fs::path f = gDir / "twice.png";
  sh("vips gaussnoise " + q(gDir / "twice.v") + " 300 200 && vips cast " + q(gDir / "twice.v") + " " + q(f) + " uchar");
  CFRef<CFDataRef> bytes(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(readFile(f).data()),
                                      static_cast<CFIndex>(readFile(f).size())));
  CFRef<CGImageSourceRef> fromFile = sourceOf(f);
  CFRef<CGImageSourceRef> fromData(CGImageSourceCreateWithData(bytes.get(), nullptr));
  for (CGImageSourceRef source : {fromFile.get(), fromData.get()}) {
    ASSERT_TRUE(source);
    CFRef<CGImageRef> thumb(CGImageSourceCreateThumbnailAtIndex(source, 0, thumbnailOptions(120, true).get()));
    ASSERT_TRUE(thumb);
    CFRef<CFDataRef> first(CGImageCreateRGBA8Data(thumb.get()));
    std::string encoded = encode(thumb.get(), nullptr);
    CFRef<CFDataRef> again(CGImageCreateRGBA8Data(thumb.get()));
    ASSERT_TRUE(first);
    ASSERT_TRUE(again);
    EXPECT_FALSE(encoded.empty());
    EXPECT_EQ(CFDataGetLength(first.get()), 120 * 80 * 4);
    EXPECT_TRUE(CFEqual(first.get(), again.get()));
  }
}

// The photo's pixels as 8-bit RGBA, decoded through the image layer; null when it gives none.
CFRef<CFDataRef> pixelsOf(const fs::path& p) {
  auto source = sourceOf(p);
  if (!source) return {};
  CFRef<CGImageRef> image(CGImageSourceCreateImageAtIndex(source.get(), 0, nullptr));
  return CFRef<CFDataRef>(image ? CGImageCreateRGBA8Data(image.get()) : nullptr);
}

TEST(Images, HEICPicturesDecodeOnEveryCoreToLibheifsOwnPixels) {
  // The layer's HEVC decoder (worker threads) is the one libheif picks once the layer runs.
  ASSERT_TRUE(propertiesOf(metaFile("jpg")));
  const heif_decoder_descriptor* first = nullptr;
  ASSERT_EQ(heif_get_decoder_descriptors(heif_compression_HEVC, &first, 1), 1);
  EXPECT_STREQ(heif_decoder_descriptor_get_id_name(first), "velm-libde265-threads");

  // Independent noise in each channel, so that every plane carries detail of its own.
  const std::string n = (gDir / "hevc-noise").string();
  sh("vips gaussnoise " + n + "0.v 301 203 --mean 128 --sigma 40 --seed 11 && vips gaussnoise " + n +
     "1.v 301 203 --mean 128 --sigma 40 --seed 12 && vips gaussnoise " + n + "2.v 301 203 --mean 128 --sigma 40 --seed 13 && vips bandjoin '" +
     n + "0.v " + n + "1.v " + n + "2.v' " + n + "3.v && vips cast " + n + "3.v " + n + ".v uchar && vips bandjoin_const " +
     n + ".v " + n + "-alpha.v 200");
  struct Case {
    const char* name;
    std::string options;
    bool alpha;
  } cases[] = {
      {"8-bit 4:2:0", "--Q 80", false},
      {"10-bit", "--Q 80 --bitdepth 10", false},
      {"4:4:4", "--Q 80 --subsample-mode off", false},
      {"with alpha", "--Q 80", true},
  };
  for (const Case& c : cases) {
    const fs::path heic = gDir / (std::string("hevc-") + c.name + ".heic"), reference = heic.string() + ".png";
    sh("vips heifsave " + q(n + (c.alpha ? "-alpha.v" : ".v")) + " " + q(heic) + " " + c.options);
    // The vips program decodes with libheif's own decoder; the PNG keeps its pixels exactly.
    sh("vips colourspace " + q(heic) + " " + q(reference) + " srgb");
    CFRef<CFDataRef> ours = pixelsOf(heic), theirs = pixelsOf(reference);
    ASSERT_TRUE(ours) << c.name;
    ASSERT_TRUE(theirs) << c.name;
    EXPECT_EQ(CFDataGetLength(ours.get()), 301 * 203 * 4) << c.name;
    EXPECT_TRUE(CFEqual(ours.get(), theirs.get())) << c.name;
  }

  // Cut inside the picture's data, or with its data overwritten: no pixels and no crash.
  std::string whole = readFile(gDir / "hevc-8-bit 4:2:0.heic");
  writeFile(gDir / "hevc-cut.heic", whole.substr(0, whole.size() * 7 / 10));
  EXPECT_FALSE(pixelsOf(gDir / "hevc-cut.heic"));
  std::string scrambled = whole;
  for (size_t i = scrambled.size() / 2; i < scrambled.size(); i += 7) scrambled[i] = static_cast<char>(scrambled[i] ^ 0x5A);
  writeFile(gDir / "hevc-scrambled.heic", scrambled);
  (void)pixelsOf(gDir / "hevc-scrambled.heic");
}

// PNG chunk with its CRC.
std::string pngChunk(const std::string& type, const std::string& payload) {
  std::string out;
  auto put32 = [&](uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>((v >> s) & 0xFF));
  };
  put32(static_cast<uint32_t>(payload.size()));
  std::string body = type + payload;
  out += body;
  put32(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
  return out;
}

TEST(Images, DecompressionBombsAreRefusedBeforeDecoding) {
  // A PNG of a few hundred bytes declaring 100000 x 100000 grey pixels (10 gigapixels).
  std::string ihdr("\x00\x01\x86\xA0\x00\x01\x86\xA0\x08\x00\x00\x00\x00", 13);
  std::string rows(4096, '\0');
  std::vector<Bytef> packed(compressBound(rows.size()));
  uLongf packedSize = packed.size();
  ASSERT_EQ(compress(packed.data(), &packedSize, reinterpret_cast<const Bytef*>(rows.data()), rows.size()), Z_OK);
  std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) +
                    pngChunk("IDAT", std::string(reinterpret_cast<const char*>(packed.data()), packedSize)) +
                    pngChunk("IEND", "");
  writeFile(gDir / "bomb.png", png);

  // A JPEG whose frame header is changed to declare 60000 x 60000 pixels.
  fs::path small = gDir / "bomb-source.jpg";
  makePicture(small, 16, 16);
  std::string jpeg = readFile(small);
  size_t sof = jpeg.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  jpeg[sof + 5] = jpeg[sof + 7] = static_cast<char>(0xEA);
  jpeg[sof + 6] = jpeg[sof + 8] = static_cast<char>(0x60);
  writeFile(gDir / "bomb.jpg", jpeg);

  for (const char* name : {"bomb.png", "bomb.jpg"}) {
    auto source = sourceOf(gDir / name);
    ASSERT_TRUE(source) << name;
    auto props = propertiesOf(gDir / name);
    EXPECT_GT(number(props.get(), kCGImagePropertyPixelWidth), 50000) << name;  // the header is read
    EXPECT_FALSE(CFRef<CGImageRef>(CGImageSourceCreateImageAtIndex(source.get(), 0, nullptr))) << name;
    EXPECT_FALSE(CFRef<CGImageRef>(CGImageSourceCreateThumbnailAtIndex(source.get(), 0, thumbnailOptions(640, true).get())))
        << name;
  }
}

TEST(Sources, PNGWithAChunkLongerThanTheFileIsRefused) {
  // A text chunk before the image data claims 1.8 GB: reading past it would take the decoder
  // seconds for a file of a hundred bytes.
  std::string ihdr("\x00\x00\x00\x10\x00\x00\x00\x10\x08\x00\x00\x00\x00", 13);
  std::string lying = std::string("\x70\x00\x00\x00zTXt", 8) + "Raw profile type iptc" + std::string(40, 'x');
  std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) + lying;
  writeFile(gDir / "lying.png", png);
  EXPECT_FALSE(sourceOf(gDir / "lying.png"));
  CFRef<CFDataRef> data(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(png.data()), static_cast<CFIndex>(png.size())));
  EXPECT_FALSE(CFRef<CGImageSourceRef>(CGImageSourceCreateWithData(data.get(), nullptr)));
}

TEST(Destinations, WriteTheGivenMetadataAndFittingProfile) {
  fs::path src = gDir / "profiled.jpg";
  makePicture(gDir / "profiled-plain.jpg", 64, 48);
  sh("vips copy " + q(gDir / "profiled-plain.jpg") + " " + q(src.string() + "[profile=srgb]") +
     " && exiftool -q -q -overwrite_original -GPSLatitude=1.5 -GPSLatitudeRef=S -Orientation#=6 -XMP-tiff:Orientation#=6 "
     "-XMP-dc:Title=Title '-IPTC:Caption-Abstract=A caption' " + q(src));
  auto source = sourceOf(src);
  CFRef<CFDictionaryRef> props(CGImageSourceCopyPropertiesAtIndex(source.get(), 0, nullptr));
  CFRef<CGImageRef> image(CGImageSourceCreateImageAtIndex(source.get(), 0, nullptr));
  ASSERT_TRUE(image);

  fs::path same = gDir / "same.jpg";
  writeFile(same, encode(image.get(), props.get()));
  auto got = exiftool(same, "-EXIF:GPSLatitude -EXIF:GPSLatitudeRef -EXIF:Orientation -XMP-tiff:Orientation -XMP-dc:Title "
                            "-IPTC:Caption-Abstract -ICC_Profile:ProfileDescription -File:ImageWidth");
  EXPECT_EQ(got, (std::vector<std::string>{"1.5", "S", "6", "6", "Title", "A caption", "sRGB", "64"}));

  // An orientation in the properties replaces the one of EXIF and XMP; nothing else changes.
  CFRef<CFMutableDictionaryRef> upright(CFDictionaryCreateMutableCopy(nullptr, 0, props.get()));
  int one = 1;
  CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberIntType, &one));
  CFDictionarySetValue(upright.get(), kCGImagePropertyOrientation, n.get());
  fs::path turned = gDir / "turned.jpg";
  writeFile(turned, encode(image.get(), upright.get()));
  got = exiftool(turned, "-EXIF:GPSLatitude -EXIF:Orientation -XMP-tiff:Orientation -XMP-dc:Title -IPTC:Caption-Abstract");
  EXPECT_EQ(got, (std::vector<std::string>{"1.5", "1", "1", "Title", "A caption"}));

  // Without properties: the pixels with their colour profile only.
  fs::path bare = gDir / "bare.jpg";
  writeFile(bare, encode(image.get(), nullptr));
  EXPECT_EQ(sh("exiftool -s -EXIF:all -IPTC:all -XMP:all " + q(bare)), "");
  EXPECT_EQ(exiftool(bare, "-ICC_Profile:ProfileDescription"), std::vector<std::string>{"sRGB"});
}

TEST(Destinations, RefuseOtherTypesAndIncompleteUse) {
  CFRef<CFMutableDataRef> data(CFDataCreateMutable(nullptr, 0));
  EXPECT_FALSE(CFRef<CGImageDestinationRef>(CGImageDestinationCreateWithData(data.get(), kUTTypePNG, 1, nullptr)));
  EXPECT_FALSE(CFRef<CGImageDestinationRef>(CGImageDestinationCreateWithData(data.get(), kUTTypeJPEG, 0, nullptr)));
  CFRef<CGImageDestinationRef> dest(CGImageDestinationCreateWithData(data.get(), kUTTypeJPEG, 1, nullptr));
  ASSERT_TRUE(dest);
  EXPECT_FALSE(CGImageDestinationFinalize(dest.get()));  // no image added
  EXPECT_EQ(CFDataGetLength(data.get()), 0);
}

}  // namespace
