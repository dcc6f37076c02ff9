// The file engine: references, paths, names, folders and data sizes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestSupport.h"
#include "fileEngine.h"

namespace fs = std::filesystem;
using velmtest::makeTempDir;
using velmtest::writeFile;

namespace {

CFRef<CFStringRef> cf(const std::string& utf8) {
  return CFRef<CFStringRef>(CFStringCreateWithCString(nullptr, utf8.c_str(), kCFStringEncodingUTF8));
}

std::string utf8(CFStringRef s) {
  if (!s) return "<null>";
  char buffer[4096];
  if (!CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8)) return "<unconvertible>";
  return buffer;
}

class FileEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::canonical(makeTempDir("fe"));
    file = dir / "Photo \xC3\xA9t\xC3\xA9.jpg";
    writeFile(file, std::string(1234, 'p'));
    fs::create_directory(dir / "Folder");
    ASSERT_EQ(noErr, feMakeFSRefFromPath(cf(file.string()), &fileRef));
    ASSERT_EQ(noErr, feMakeFSRefFromPath(cf((dir / "Folder").string()), &folderRef));
    writeFile(dir / "gone", "x");
    ASSERT_EQ(noErr, feMakeFSRefFromPath(cf((dir / "gone").string()), &goneRef));
    fs::remove(dir / "gone");
  }

  fs::path dir, file;
  FSRef fileRef{}, folderRef{}, goneRef{};
};

TEST_F(FileEngineTest, PathToReferenceSucceedsExactlyForExistingItems) {
  CFRef<CFStringRef> path(feGetPathFromFSRef(&fileRef, kCFURLPOSIXPathStyle));
  EXPECT_EQ(file.string(), utf8(path));

  FSRef ref{};
  EXPECT_EQ(fnfErr, feMakeFSRefFromPath(cf((dir / "missing.jpg").string()), &ref));
  EXPECT_NE(noErr, feMakeFSRefFromPath(cf(""), &ref));
  EXPECT_NE(noErr, feMakeFSRefFromPath(nullptr, &ref));
  // A zero inside the path must not cut it down to the folder in front of it.
  const UniChar withZero[] = {'/', 't', 'm', 'p', 0, 'x'};
  CFRef<CFStringRef> zeroed(CFStringCreateWithCharacters(nullptr, withZero, 6));
  EXPECT_EQ(paramErr, feMakeFSRefFromPath(zeroed, &ref));
}

TEST_F(FileEngineTest, ReferenceToPathAndName) {
  CFRef<CFStringRef> folderPath(feGetPathFromFSRef(&folderRef, kCFURLPOSIXPathStyle));
  EXPECT_EQ((dir / "Folder").string(), utf8(folderPath));
  CFRef<CFStringRef> name(feGetItemNameFromRef(&fileRef));
  EXPECT_EQ("Photo \xC3\xA9t\xC3\xA9.jpg", utf8(name));
  CFRef<CFStringRef> folderName(feGetItemNameFromRef(&folderRef));
  EXPECT_EQ("Folder", utf8(folderName));
  EXPECT_EQ(nullptr, CFRef<CFStringRef>(feGetPathFromFSRef(&goneRef, kCFURLPOSIXPathStyle)).get());
  EXPECT_EQ(nullptr, CFRef<CFStringRef>(feGetItemNameFromRef(&goneRef)).get());
}

TEST_F(FileEngineTest, FolderTestAndDataSize) {
  FSRef zero{};
  const struct {
    const char* what;
    const FSRef* ref;
    bool folder;
    UInt64 size;
  } cases[] = {
      {"file", &fileRef, false, 1234},
      {"folder", &folderRef, true, 0},
      {"vanished item", &goneRef, false, 0},
      {"not a reference", &zero, false, 0},
      {"null", nullptr, false, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.folder, feIsFolder(c.ref) != 0) << c.what;
    EXPECT_EQ(c.size, feGetFileDataSize(c.ref)) << c.what;
  }
}

}  // namespace
