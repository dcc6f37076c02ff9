// The file engine: references, paths, names, folders and data sizes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

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

// ---- Reading and writing open forks

class ForkIOTest : public FileEngineTest {
 protected:
  SInt16 open(const fs::path& path, bool write = true) {
    FSRef ref{};
    EXPECT_EQ(noErr, feMakeFSRefFromPath(cf(path.string()), &ref));
    SInt16 refNum = 0;
    EXPECT_EQ(noErr, feOpenExistingFileRef(&ref, &refNum, write, true));
    opened.push_back(refNum);
    return refNum;
  }
  void TearDown() override {
    for (SInt16 n : opened) FSCloseFork(n);
  }
  std::vector<SInt16> opened;
};

TEST_F(ForkIOTest, PositionedReadsAndWrites) {
  writeFile(dir / "data", "0123456789");
  SInt16 f = open(dir / "data");
  char buffer[16] = {};
  EXPECT_EQ(noErr, feReadFromFile(f, 3, 4, buffer));
  EXPECT_EQ("3456", std::string(buffer, 4));
  EXPECT_EQ(noErr, feWriteToFile(f, 8, 4, "WXYZ"));
  SInt64 size = 0;
  EXPECT_EQ(noErr, feGetEOF(f, &size));
  EXPECT_EQ(12, size);
  EXPECT_EQ("01234567WXYZ", velmtest::readFile(dir / "data"));
  EXPECT_EQ(noErr, feSetEOF(f, 5));
  EXPECT_EQ("01234", velmtest::readFile(dir / "data"));
}

TEST_F(ForkIOTest, ReadPastTheEndIsEndOfFileNeverShortTransfer) {
  writeFile(dir / "data", "abcdef");
  SInt16 f = open(dir / "data");
  char buffer[16] = {};
  EXPECT_EQ(eofErr, feReadFromFile(f, 4, 8, buffer));
  EXPECT_EQ("ef", std::string(buffer, 2));
  EXPECT_EQ(eofErr, feReadFromFile(f, 100, 1, buffer));
  EXPECT_EQ(noErr, feReadFromFile(f, 6, 0, buffer));
}

TEST_F(ForkIOTest, AppendsGoToTheEndAndZeroBytesChangeNothing) {
  writeFile(dir / "log", "first");
  SInt16 f = open(dir / "log");
  EXPECT_EQ(noErr, feAppendToFile(f, 0, nullptr));
  EXPECT_EQ(noErr, feAppendToFile(f, 0, "ignored"));
  EXPECT_EQ("first", velmtest::readFile(dir / "log"));
  EXPECT_EQ(noErr, feAppendToFile(f, 7, " second"));
  // A second fork on the same file appends after the first one's bytes, never over them.
  SInt16 g = open(dir / "log");
  EXPECT_EQ(noErr, feAppendToFile(g, 6, " third"));
  EXPECT_EQ(noErr, feAppendToFile(f, 6, " forth"));
  EXPECT_EQ("first second third forth", velmtest::readFile(dir / "log"));
}

TEST_F(ForkIOTest, WritesThroughAReadOnlyForkAndBadNumbersFail) {
  writeFile(dir / "data", "abc");
  SInt16 r = open(dir / "data", false);
  EXPECT_NE(noErr, feWriteToFile(r, 0, 1, "x"));
  EXPECT_NE(noErr, feAppendToFile(r, 1, "x"));
  EXPECT_EQ("abc", velmtest::readFile(dir / "data"));
  char buffer[4];
  EXPECT_EQ(rfNumErr, feReadFromFile(12345, 0, 1, buffer));
  SInt64 size = -1;
  EXPECT_EQ(rfNumErr, feGetEOF(12345, &size));
}

TEST_F(ForkIOTest, CopiesAcrossBufferBoundaries) {
  // 0xFFFFFF fits one buffer; 0x1000001 needs a second pass of one byte.
  const struct {
    UInt64 count;
    SInt64 sourceOffset, destinationOffset;
  } cases[] = {{0, 0, 0}, {0xFFFFFF, 1, 0}, {0x1000001, 3, 5}};
  for (const auto& c : cases) {
    std::string bytes(c.count + c.sourceOffset, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
    writeFile(dir / "from", bytes);
    writeFile(dir / "to", std::string(c.destinationOffset, 'd'));
    SInt16 from = open(dir / "from", false);
    SInt16 to = open(dir / "to");
    EXPECT_EQ(noErr, feCopyFileData(from, c.sourceOffset, c.count, to, c.destinationOffset)) << c.count;
    std::string copied = velmtest::readFile(dir / "to");
    ASSERT_EQ(c.count + c.destinationOffset, copied.size()) << c.count;
    EXPECT_TRUE(copied.compare(c.destinationOffset, std::string::npos, bytes, c.sourceOffset) == 0) << c.count;
    FSCloseFork(from);
    FSCloseFork(to);
    opened.clear();
  }
}

TEST_F(ForkIOTest, CopyStopsAtTheSourceEnd) {
  writeFile(dir / "from", "short");
  writeFile(dir / "to", "");
  SInt16 from = open(dir / "from", false);
  SInt16 to = open(dir / "to");
  EXPECT_EQ(eofErr, feCopyFileData(from, 0, 100, to, 0));
  EXPECT_EQ("", velmtest::readFile(dir / "to"));
}

}  // namespace
