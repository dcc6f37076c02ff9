// The photo library of velm-export: metadata from photos and sidecars, caption write-back
// through the host's scripting, and the rendered copies of photos.
#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "CFTestSupport.h"
#include "ExportSettings.h"
#include "ImageTestSupport.h"
#include "PhotoLibrary.h"
#include "Renderer.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using velmtest::utf8;

namespace {

// A tiny JPEG (1x1, grey), written by hand so the test needs no image tools.
const unsigned char kJpeg[] = {
    0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00, 0x08, 0x06, 0x06, 0x07, 0x06, 0x05, 0x08, 0x07, 0x07, 0x07, 0x09, 0x09,
    0x08, 0x0A, 0x0C, 0x14, 0x0D, 0x0C, 0x0B, 0x0B, 0x0C, 0x19, 0x12, 0x13, 0x0F, 0x14, 0x1D, 0x1A, 0x1F, 0x1E, 0x1D,
    0x1A, 0x1C, 0x1C, 0x20, 0x24, 0x2E, 0x27, 0x20, 0x22, 0x2C, 0x23, 0x1C, 0x1C, 0x28, 0x37, 0x29, 0x2C, 0x30, 0x31,
    0x34, 0x34, 0x34, 0x1F, 0x27, 0x39, 0x3D, 0x38, 0x32, 0x3C, 0x2E, 0x33, 0x34, 0x32, 0xFF, 0xC0, 0x00, 0x0B, 0x08,
    0x00, 0x01, 0x00, 0x01, 0x01, 0x01, 0x11, 0x00, 0xFF, 0xC4, 0x00, 0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0xFF, 0xC4, 0x00, 0x14, 0x10, 0x01, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xDA, 0x00,
    0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00, 0x2A, 0x9F, 0xFF, 0xD9};

class Library : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Exiv2::XmpParser::initialize(); }

  std::string photo(const std::string& name, const std::string& caption = "",
                    const std::vector<std::string>& keywords = {}, bool latin1 = false) {
    fs::path p = dir / name;
    velmtest::writeFile(p, std::string(reinterpret_cast<const char*>(kJpeg), sizeof kJpeg));
    if (!caption.empty() || !keywords.empty()) {
      auto image = Exiv2::ImageFactory::open(p.string());
      image->readMetadata();
      Exiv2::IptcData iptc;
      if (!latin1) iptc["Iptc.Envelope.CharacterSet"] = "\x1b%G";
      if (!caption.empty()) iptc["Iptc.Application2.Caption"] = caption;
      for (const auto& k : keywords) {
        Exiv2::StringValue v(k);
        iptc.add(Exiv2::IptcKey("Iptc.Application2.Keywords"), &v);
      }
      image->setIptcData(iptc);
      image->writeMetadata();
    }
    return p.string();
  }

  std::string runCaptionScript(const std::string& version, const std::string& url) {
    std::string t =
        "tell application \"Aperture\"  \r tell image version \"%@\" \r try \r set myComment to value of IPTC tag "
        "\"Caption/Abstract\" \r \ton error  \r set myComment to \"\" \r end try \r if (myComment = \"\") then \r "
        "\tmake new IPTC tag with properties {name:\"Caption/Abstract\", value:\"%@\"} \r else \r set value of IPTC "
        "tag \"Caption/Abstract\" to myComment & return & return & \"%@\" \r end if \r end tell \r end tell";
    for (const std::string& v : {version, url, url}) t.replace(t.find("%@"), 2, v);
    NSAppleScriptSetScriptingTarget(&library);
    NSAppleScript script;
    CFRef<CFStringRef> source(CFStringCreateWithCString(nullptr, t.c_str(), kCFStringEncodingUTF8));
    script.initWithSource(source.get());
    CFRef<CFDictionaryRef> error;
    CFRef<CFTypeRef> result(script.executeAndReturnError(error.receive()));
    NSAppleScriptSetScriptingTarget(nullptr);
    return error ? utf8(static_cast<CFStringRef>(CFDictionaryGetValue(error.get(), NSAppleScriptErrorMessage))) : "";
  }

  fs::path dir = velmtest::makeTempDir("library");
  PhotoLibrary library;
};

TEST_F(Library, ExportPropertiesFromThePhoto) {
  ASSERT_TRUE(library.add(photo("IMG_1.jpg", "Beach", {"sea", "sun"}), nullptr));
  ASSERT_TRUE(library.add(photo("bare.jpg"), nullptr));
  CFRef<CFDictionaryRef> props(library.copyExportProperties(0));
  ASSERT_TRUE(props);
  EXPECT_EQ(utf8(static_cast<CFStringRef>(CFDictionaryGetValue(props.get(), CFSTR("kExportKeyVersionName")))), "IMG_1");
  auto iptc = static_cast<CFDictionaryRef>(CFDictionaryGetValue(props.get(), CFSTR("kExportKeyIPTCProperties")));
  EXPECT_EQ(utf8(static_cast<CFStringRef>(CFDictionaryGetValue(iptc, CFSTR("Caption/Abstract")))), "Beach");
  auto keywords = static_cast<CFArrayRef>(CFDictionaryGetValue(props.get(), CFSTR("kExportKeyKeywords")));
  ASSERT_EQ(CFArrayGetCount(keywords), 2);
  EXPECT_EQ(utf8(static_cast<CFStringRef>(CFArrayGetValueAtIndex(keywords, 1))), "sun");

  CFRef<CFDictionaryRef> bare(library.copyExportProperties(1));
  auto bareIptc = static_cast<CFDictionaryRef>(CFDictionaryGetValue(bare.get(), CFSTR("kExportKeyIPTCProperties")));
  EXPECT_EQ(CFDictionaryGetValue(bareIptc, CFSTR("Caption/Abstract")), nullptr);
  EXPECT_EQ(library.copyExportProperties(2), nullptr);
}

TEST_F(Library, VersionNamesAreUniqueAndMissingFilesAreRefused) {
  fs::create_directories(dir / "other");
  ASSERT_TRUE(library.add(photo("IMG_1.jpg"), nullptr));
  velmtest::writeFile(dir / "other/IMG_1.png", "x");
  ASSERT_TRUE(library.add((dir / "other/IMG_1.png").string(), nullptr));
  EXPECT_EQ(library.photo(1).versionName, "IMG_1 (2)");
  std::string why;
  EXPECT_FALSE(library.add((dir / "missing.jpg").string(), &why));
  EXPECT_NE(why.find("missing.jpg"), std::string::npos);
  EXPECT_FALSE(library.add(dir.string(), &why));
}

TEST_F(Library, FileNamesThatAreNotUTF8GetReadableUniqueNames) {
  struct Case {
    std::string file, versionName;
  } cases[] = {
      {"caf\xE9.jpg", "caf\xEF\xBF\xBD"},                  // Latin-1
      {"caf\xE9.jpg.jpg", "caf\xEF\xBF\xBD.jpg"},          // another file, another stem
      {"\xFF\xFE.jpg", "\xEF\xBF\xBD\xEF\xBF\xBD"},      // no text at all
      {"caf\xC3\xA9.jpg", "caf\xC3\xA9"},                   // UTF-8 stays
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(library.add(photo(c.file), nullptr)) << c.file;
    EXPECT_EQ(library.photo(library.count() - 1).versionName, c.versionName) << c.file;
    CFRef<CFDictionaryRef> props(library.copyExportProperties(library.count() - 1));
    EXPECT_EQ(utf8(static_cast<CFStringRef>(CFDictionaryGetValue(props.get(), CFSTR("kExportKeyVersionName")))),
              c.versionName);
  }
  // Two names that read the same are told apart as any others.
  fs::create_directories(dir / "b");
  velmtest::writeFile(dir / "b" / "caf\xE9.jpg", velmtest::readFile(dir / "caf\xE9.jpg"));
  ASSERT_TRUE(library.add((dir / "b" / "caf\xE9.jpg").string(), nullptr));
  EXPECT_EQ(library.photo(library.count() - 1).versionName, "caf\xEF\xBF\xBD (2)");
  EXPECT_EQ(library.photo(library.count() - 1).extension, ".jpg");
}

TEST_F(Library, Latin1CaptionsWithoutCharacterSetAreConverted) {
  ASSERT_TRUE(library.add(photo("old.jpg", "Caf\xE9", {}, true), nullptr));
  EXPECT_EQ(library.caption(0), "Caf\xC3\xA9");
}

TEST_F(Library, CaptionScriptWritesOnlyTheSidecar) {
  std::string withCaption = photo("IMG_2.jpg", "Beach");
  std::string without = photo("IMG_3.jpg");
  ASSERT_TRUE(library.add(withCaption, nullptr));
  ASSERT_TRUE(library.add(without, nullptr));
  std::string photoBytes = velmtest::readFile(withCaption);

  EXPECT_EQ(runCaptionScript("IMG_2", "http://127.0.0.1:1/photo/a"), "");
  EXPECT_EQ(runCaptionScript("IMG_3", "http://127.0.0.1:1/photo/b"), "");
  EXPECT_EQ(library.caption(0), "Beach\n\nhttp://127.0.0.1:1/photo/a");
  EXPECT_EQ(library.caption(1), "http://127.0.0.1:1/photo/b");
  EXPECT_EQ(velmtest::readFile(withCaption), photoBytes) << "the photo itself must not change";
  EXPECT_TRUE(fs::exists(PhotoLibrary::sidecarPath(withCaption)));

  // A second export appends again, after what the sidecar holds.
  EXPECT_EQ(runCaptionScript("IMG_2", "u2"), "");
  EXPECT_EQ(library.caption(0), "Beach\n\nhttp://127.0.0.1:1/photo/a\n\nu2");
  EXPECT_EQ(runCaptionScript("nobody", "u"), "Can't get image version \"nobody\".");
}

TEST_F(Library, SidecarKeepsItsOtherPropertiesAndWinsOverThePhoto) {
  std::string p = photo("IMG_4.jpg", "From the photo", {"photo-keyword"});
  {
    auto sidecar = Exiv2::ImageFactory::create(Exiv2::ImageType::xmp, PhotoLibrary::sidecarPath(p));
    Exiv2::XmpData xmp;
    xmp["Xmp.xmp.Rating"] = "4";
    Exiv2::XmpArrayValue bag(Exiv2::xmpBag);
    bag.read("sidecar-keyword");
    xmp.add(Exiv2::XmpKey("Xmp.dc.subject"), &bag);
    sidecar->setXmpData(xmp);
    sidecar->writeMetadata();
  }
  ASSERT_TRUE(library.add(p, nullptr));
  EXPECT_EQ(library.caption(0), "From the photo");
  EXPECT_EQ(library.keywords(0), std::vector<std::string>{"sidecar-keyword"});
  EXPECT_EQ(runCaptionScript("IMG_4", "u"), "");
  EXPECT_EQ(library.caption(0), "From the photo\n\nu");
  auto sidecar = Exiv2::ImageFactory::open(PhotoLibrary::sidecarPath(p));
  sidecar->readMetadata();
  EXPECT_EQ(sidecar->xmpData()["Xmp.xmp.Rating"].toString(), "4");
}

TEST_F(Library, UnreadableSidecarIsNeverReplaced) {
  std::string p = photo("IMG_5.jpg");
  velmtest::writeFile(PhotoLibrary::sidecarPath(p), "not xmp at all");
  ASSERT_TRUE(library.add(p, nullptr));
  EXPECT_NE(runCaptionScript("IMG_5", "u"), "");
  EXPECT_EQ(velmtest::readFile(PhotoLibrary::sidecarPath(p)), "not xmp at all");
}

TEST_F(Library, SidecarWriteNeverFollowsLinksPlantedInThePhotoFolder) {
  // In a shared photo folder someone else may plant links where a writer might put its
  // temporary file; the files they point to stay untouched.
  fs::path outside = velmtest::makeTempDir("outside");
  velmtest::writeFile(outside / "victim", "precious");
  std::string p = photo("IMG_6.jpg");
  std::string sidecar = PhotoLibrary::sidecarPath(p);
  for (const std::string& planted : {sidecar + ".tmp-" + std::to_string(getpid()), sidecar + ".tmp"})
    fs::create_symlink(outside / "victim", planted);
  ASSERT_TRUE(library.add(p, nullptr));
  for (const char* url : {"http://127.0.0.1:1/photo/c", "http://127.0.0.1:1/photo/d"})
    EXPECT_EQ(runCaptionScript("IMG_6", url), "");
  EXPECT_EQ(velmtest::readFile(outside / "victim"), "precious");
  EXPECT_FALSE(fs::is_symlink(sidecar));
  EXPECT_EQ(library.caption(0), "http://127.0.0.1:1/photo/c\n\nhttp://127.0.0.1:1/photo/d");
  // Nothing is left behind but the photo, the sidecar and the planted links.
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir)) entries += e.path().filename().string().find("IMG_6") != std::string::npos;
  EXPECT_EQ(entries, 4u);
}

// An XMP sidecar as other programs write it, around the given properties.
std::string packet(const std::string& properties) {
  return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
         "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
         "xmlns:lr=\"http://ns.adobe.com/lightroom/1.0/\" xmlns:digiKam=\"http://www.digikam.org/ns/1.0/\" "
         "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\">" +
         properties + "</rdf:Description></rdf:RDF></x:xmpmeta>\n";
}

std::string seq(const char* property, const std::vector<std::string>& items, const char* kind = "Bag") {
  std::string out = "<" + std::string(property) + "><rdf:" + kind + ">";
  for (const auto& i : items) out += "<rdf:li>" + i + "</rdf:li>";
  return out + "</rdf:" + kind + "></" + property + ">";
}

std::string alt(const char* property, const std::vector<std::pair<std::string, std::string>>& texts) {
  std::string out = "<" + std::string(property) + "><rdf:Alt>";
  for (const auto& [lang, text] : texts) out += "<rdf:li xml:lang=\"" + lang + "\">" + text + "</rdf:li>";
  return out + "</rdf:Alt></" + property + ">";
}

TEST_F(Library, BothSidecarConventionsAreReadAndWrittenBackWhereTheyAre) {
  struct Case {
    const char* what;
    bool full, bare;       // NAME.jpg.xmp, NAME.xmp present
    const char* caption;   // what the library reads
    const char* writtenTo; // the file the write-back changes
  } cases[] = {
      {"NAME.ext.xmp only", true, false, "full", ".jpg.xmp"},
      {"NAME.xmp only", false, true, "bare", ".xmp"},
      {"both: NAME.ext.xmp wins", true, true, "full", ".jpg.xmp"},
      {"none: a new NAME.ext.xmp", false, false, "own", ".jpg.xmp"},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PhotoLibrary lib;
    const std::string stem = "S" + std::to_string(++n);
    std::string p = photo(stem + ".jpg", "own");
    const fs::path full = dir / (stem + ".jpg.xmp"), bare = dir / (stem + ".xmp");
    if (c.full) velmtest::writeFile(full, packet(alt("dc:description", {{"x-default", "full"}})));
    if (c.bare) velmtest::writeFile(bare, packet(alt("dc:description", {{"x-default", "bare"}})));
    const std::string fullBefore = velmtest::readFile(full), bareBefore = velmtest::readFile(bare);
    ASSERT_TRUE(lib.add(p, nullptr));
    EXPECT_EQ(lib.caption(0), c.caption);
    NSAppleScriptSetScriptingTarget(&lib);
    CFRef<CFStringRef> name(CFStringCreateWithCString(nullptr, stem.c_str(), kCFStringEncodingUTF8));
    EXPECT_EQ(lib.setIPTCTagValue(name.get(), CFSTR("Caption/Abstract"), CFSTR("changed")), noErr);
    NSAppleScriptSetScriptingTarget(nullptr);
    EXPECT_EQ(lib.caption(0), "changed");
    const bool toFull = std::string(c.writtenTo) == ".jpg.xmp";
    EXPECT_EQ(velmtest::readFile(toFull ? bare : full), toFull ? bareBefore : fullBefore) << "the other one changed";
    EXPECT_NE(velmtest::readFile(toFull ? full : bare).find("changed"), std::string::npos);
  }
}

TEST_F(Library, KeywordsLeaveOutDarktableTagsAndFallBackToHierarchicalOnes) {
  struct Case {
    const char* what;
    std::string properties;
    std::vector<std::string> keywords;
  } cases[] = {
      {"flat keywords", seq("dc:subject", {"sea", "sun"}), {"sea", "sun"}},
      {"darktable's own tags are left out",
       seq("dc:subject", {"darktable|format|nef", "sea", "darktable|changed"}), {"sea"}},
      {"flat wins over hierarchical",
       seq("dc:subject", {"sea"}) + seq("lr:hierarchicalSubject", {"Places|Europe|Berlin"}), {"sea"}},
      {"lr:hierarchicalSubject gives its last levels, once each",
       seq("dc:subject", {"darktable|format|nef"}) +
           seq("lr:hierarchicalSubject", {"darktable|format|nef", "Places|Europe|Berlin", "People|Anna",
                                          "Trips|Berlin"}),
       {"Berlin", "Anna"}},
      {"digiKam's TagsList", seq("digiKam:TagsList", {"Places/Alps/Summit", "Snow"}, "Seq"), {"Summit", "Snow"}},
      {"an empty sidecar list hides the photo's", seq("dc:subject", {}), {}},
      {"no keyword property: the photo's own", "<xmp:Rating>3</xmp:Rating>", {"photo-keyword"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PhotoLibrary lib;
    std::string p = photo("K" + std::to_string(++n) + ".jpg", "", {"photo-keyword"});
    velmtest::writeFile(p + ".xmp", packet(c.properties));
    ASSERT_TRUE(lib.add(p, nullptr));
    EXPECT_EQ(lib.keywords(0), c.keywords);
  }
  // darktable's tags in the photo's own IPTC keywords too.
  PhotoLibrary lib;
  ASSERT_TRUE(lib.add(photo("K0.jpg", "", {"darktable|format|jpg", "river"}), nullptr));
  EXPECT_EQ(lib.keywords(0), std::vector<std::string>{"river"});
}

TEST_F(Library, TheVersionNameIsThePhotosTitleMadeUnique) {
  std::string titled = photo("IMG_7.jpg");
  velmtest::writeFile(titled + ".xmp", packet(alt("dc:title", {{"x-default", "Harbour at dusk"}})));
  std::string same = photo("IMG_8.jpg");
  velmtest::writeFile(dir / "IMG_8.xmp", packet(alt("dc:title", {{"x-default", "Harbour at dusk"}})));
  std::string untitled = photo("IMG_9.jpg");
  for (const auto& p : {titled, same, untitled}) ASSERT_TRUE(library.add(p, nullptr));
  // The IPTC object name of the photo itself.
  std::string named = photo("IMG_10.jpg");
  {
    auto image = Exiv2::ImageFactory::open(named);
    image->readMetadata();
    Exiv2::IptcData iptc;
    iptc["Iptc.Envelope.CharacterSet"] = "\x1b%G";
    iptc["Iptc.Application2.ObjectName"] = "Gipfel \xC3\xBC" "ber den Wolken";
    image->setIptcData(iptc);
    image->writeMetadata();
  }
  ASSERT_TRUE(library.add(named, nullptr));
  EXPECT_EQ(library.photo(0).versionName, "Harbour at dusk");
  EXPECT_EQ(library.photo(1).versionName, "Harbour at dusk (2)");
  EXPECT_EQ(library.photo(2).versionName, "IMG_9");
  EXPECT_EQ(library.photo(3).versionName, "Gipfel \xC3\xBC" "ber den Wolken");
  // The write-back finds the photo by that name.
  EXPECT_EQ(runCaptionScript("Harbour at dusk (2)", "u"), "");
  EXPECT_EQ(library.caption(1), "u");
}

TEST_F(Library, TheWriteBackKeepsTheCaptionsOtherLanguagesAndWritesLineFeeds) {
  std::string p = photo("IMG_11.jpg");
  velmtest::writeFile(p + ".xmp", packet(alt("dc:description", {{"x-default", "Harbour at dusk"},
                                                                {"de-DE", "Hafen in der D\xC3\xA4mmerung"},
                                                                {"en-GB", "Harbour at dusk"}})));
  ASSERT_TRUE(library.add(p, nullptr));
  EXPECT_EQ(runCaptionScript("IMG_11", "http://127.0.0.1:1/photo/e"), "");
  EXPECT_EQ(library.caption(0), "Harbour at dusk\n\nhttp://127.0.0.1:1/photo/e");
  // Read back by exiftool, an independent reader.
  int status = -1;
  std::string all = velmtest::runCommand("exiftool -j -XMP-dc:Description-de-DE -XMP-dc:Description-en-GB "
                                         "-XMP-dc:Description " + p + ".xmp", &status);
  EXPECT_NE(all.find("\"Description\": \"Harbour at dusk\\n\\nhttp://127.0.0.1:1/photo/e\""), std::string::npos) << all;
  EXPECT_NE(all.find("\"Description-de-DE\": \"Hafen in der D\xC3\xA4mmerung\""), std::string::npos) << all;
  EXPECT_NE(all.find("\"Description-en-GB\": \"Harbour at dusk\""), std::string::npos) << all;
  EXPECT_EQ(velmtest::readFile(p + ".xmp").find('\r'), std::string::npos);
}

}  // namespace

namespace {

// The offset of the first start-of-scan marker, found by following the segments (the test's own
// reading, for comparing the compressed pictures).
size_t scanOffset(const std::string& b) {
  size_t pos = 2;
  while (pos + 4 <= b.size() && static_cast<unsigned char>(b[pos]) == 0xFF) {
    unsigned char marker = static_cast<unsigned char>(b[pos + 1]);
    if (marker == 0xDA) return pos;
    pos += 2 + ((size_t{static_cast<unsigned char>(b[pos + 2])} << 8) | static_cast<unsigned char>(b[pos + 3]));
  }
  return std::string::npos;
}

TEST_F(Library, RenderedJPEGsCarryTheMergedMetadataOverTheOriginalsOwnPicture) {
  struct Case {
    const char* name;
    const char* save;  // how vips writes the photo
  } cases[] = {
      {"baseline.jpg", "[Q=85]"},
      {"progressive.jpg", "[Q=85,interlace]"},
      {"no-subsampling.jpg", "[Q=95,subsample_mode=off]"},
  };
  const fs::path noise = dir / "noise.v";
  velmtest::sh("vips gaussnoise " + velmtest::q(noise) + " 320 240 --mean 128 --sigma 30");
  for (const Case& c : cases) {
    const fs::path original = dir / c.name;
    velmtest::sh("vips copy " + velmtest::q(noise) + " " + velmtest::q(original.string() + c.save) +
                 " && exiftool -q -q -overwrite_original -GPSLatitude=10 -GPSLatitudeRef=S -GPSLongitude=20 "
                 "-GPSLongitudeRef=E -IPTC:Caption-Abstract=Old " + velmtest::q(original));
    // The sidecar's caption, keywords and position go over the photo's.
    velmtest::writeFile(dir / (std::string(c.name) + ".xmp"),
                        "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>"
                        "<rdf:Description xmlns:dc='http://purl.org/dc/elements/1.1/' xmlns:exif='http://ns.adobe.com/exif/1.0/'"
                        " exif:GPSLatitude='46,57.0N' exif:GPSLongitude='7,26.4E'>"
                        "<dc:description><rdf:Alt><rdf:li xml:lang='x-default'>Bern in the rain</rdf:li></rdf:Alt></dc:description>"
                        "<dc:subject><rdf:Bag><rdf:li>rain</rdf:li><rdf:li>city</rdf:li></rdf:Bag></dc:subject>"
                        "</rdf:Description></rdf:RDF></x:xmpmeta>");
    PhotoLibrary one;
    std::string why;
    ASSERT_TRUE(one.add(original.string(), &why)) << why;
    const fs::path rendered = dir / (std::string("rendered-") + c.name);
    std::string written;
    ASSERT_TRUE(renderVersion(one, 0, rendered.string(), ExportSettings{}, &why, &written)) << c.name << ": " << why;
    const std::string before = velmtest::readFile(original), after = velmtest::readFile(rendered);
    EXPECT_EQ(written, after) << c.name;
    ASSERT_NE(scanOffset(before), std::string::npos) << c.name;
    ASSERT_NE(scanOffset(after), std::string::npos) << c.name;
    EXPECT_TRUE(before.compare(scanOffset(before), std::string::npos, after, scanOffset(after), std::string::npos) == 0)
        << c.name << ": the compressed picture changed";
    // Read back by exiftool.
    EXPECT_EQ(velmtest::runCommand("exiftool -s3 -IPTC:Caption-Abstract -XMP-dc:Description " + velmtest::q(rendered)),
              "Bern in the rain\nBern in the rain\n")
        << c.name;
    EXPECT_EQ(velmtest::runCommand("exiftool -s3 -sep , -IPTC:Keywords " + velmtest::q(rendered)), "rain,city\n") << c.name;
    EXPECT_EQ(velmtest::runCommand("exiftool -s3 -n -GPSLatitude -GPSLongitude " + velmtest::q(rendered)), "46.95\n7.44\n")
        << c.name;
    EXPECT_EQ(velmtest::runCommand("vips avg " + velmtest::q(rendered) + " >/dev/null && echo decodes"), "decodes\n") << c.name;
  }

  // Segments that cannot be followed (a length past the end of the file): the photo goes as
  // Exiv2 leaves it, and nothing is read past the bytes.
  std::string broken = velmtest::readFile(dir / "baseline.jpg");
  size_t app = broken.find("\xFF\xE1");
  ASSERT_NE(app, std::string::npos);
  broken[app + 2] = static_cast<char>(0xFF);
  broken[app + 3] = static_cast<char>(0xFF);
  broken.resize(std::min(broken.size(), app + 600));
  velmtest::writeFile(dir / "broken.jpg", broken);
  PhotoLibrary one;
  std::string why;
  if (one.add((dir / "broken.jpg").string(), &why)) {
    std::string written;
    (void)renderVersion(one, 0, (dir / "rendered-broken.jpg").string(), ExportSettings{}, &why, &written);
  }
}

}  // namespace
