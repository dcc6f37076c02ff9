// The file engine: references, paths, names, folders and data sizes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
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

// ---- Names --------------------------------------------------------------------------------------

HFSUniStr255 hfs(const std::u16string& units) {
  HFSUniStr255 name{};
  name.length = static_cast<UInt16>(units.size());
  std::memcpy(name.unicode, units.data(), units.size() * 2);
  return name;
}

std::u16string unitsOf(const HFSUniStr255& name) {
  return std::u16string(reinterpret_cast<const char16_t*>(name.unicode), name.length);
}

TEST(FileNames, CheckFileNameMakesNamesSafe) {
  const struct {
    std::u16string in;
    OSStatus status;
    std::u16string out;
  } cases[] = {
      {u"a:b", 0, u"a;b"},
      {u"a/b*c?d<e>f|g\"h", 0, u"a-b-c-d-e-f-g-h"},
      {u".profile", 0, u",profile"},
      {u"name.", 0, u"name-"},
      {u"name ", 0, u"name-"},
      {u" lead", 0, u" lead"},
      {u".", 0, u","},
      {u"caf\u00E9 \u0416", 0, u"caf\u00E9 \u0416"},
      // A zero unit ends the name: the first three units get only the replacements.
      {std::u16string(u".a:\0b.", 6), 0, u".a;"},
      {std::u16string(u"\0abc", 4), 0, u""},
      {u"", -1, u""},
  };
  for (const auto& c : cases) {
    HFSUniStr255 name = hfs(c.in);
    EXPECT_EQ(c.status, feCheckFileNameRef(&name));
    EXPECT_EQ(c.out, unitsOf(name));
  }
}

TEST_F(FileEngineTest, UniqueNamesSkipTakenOnesAndNeverTheBareName) {
  fs::create_directory(dir / "u");
  FSRef u{};
  ASSERT_EQ(noErr, feMakeFSRefFromPath(cf((dir / "u").string()), &u));
  writeFile(dir / "u" / "Photo.jpg", "bare");
  auto unique = [&] { return utf8(CFRef<CFStringRef>(feGetUniqueFileName(&u, CFSTR("Photo"), CFSTR(".jpg"))).get()); };
  EXPECT_EQ("Photo 1.jpg", unique());
  writeFile(dir / "u" / "Photo 1.jpg", "");
  writeFile(dir / "u" / "Photo 2.jpg", "");
  EXPECT_EQ("Photo 3.jpg", unique());
  for (int i = 3; i <= 100; ++i) writeFile(dir / "u" / ("Photo " + std::to_string(i) + ".jpg"), "");
  EXPECT_EQ("Photo 100.jpg", unique());
  EXPECT_EQ("Photo 1", utf8(CFRef<CFStringRef>(feGetUniqueFileName(&u, CFSTR("Photo"), nullptr)).get()));
}

// ---- References, records and catalog questions ------------------------------------------------

TEST_F(FileEngineTest, NodeIDsPathsAndVolumesAgree) {
  SInt16 vRefNum = 0;
  SInt32 dirID = 0;
  ASSERT_EQ(noErr, feGetVolRefAndDirIDFromPath((dir / "Folder").c_str(), &vRefNum, &dirID));
  EXPECT_EQ(vRefNum, feGetVolumeRefFromFSRef(&folderRef));
  FSRef byID{};
  ASSERT_EQ(noErr, feMakeFSRefFromNodeID(vRefNum, dirID, &byID));
  EXPECT_EQ((dir / "Folder").string(), utf8(CFRef<CFStringRef>(feGetPathFromFSRef(&byID, kCFURLPOSIXPathStyle)).get()));
  // The colon path of the same folder is its POSIX path in the other style.
  CFRef<CFStringRef> hfsPath(feGetPathCFString(vRefNum, dirID));
  CFRef<CFStringRef> viaRef(feGetPathFromFSRef(&byID, kCFURLHFSPathStyle));
  ASSERT_NE(nullptr, hfsPath.get());
  EXPECT_EQ(utf8(viaRef.get()), utf8(hfsPath.get()));
  std::string expectedTail = ":" + dir.filename().string() + ":Folder";
  std::string text = utf8(hfsPath.get());
  EXPECT_EQ(expectedTail, text.substr(text.size() - expectedTail.size()));
  EXPECT_EQ(std::string::npos, text.find('/'));
  EXPECT_EQ(nullptr, CFRef<CFStringRef>(feGetPathCFString(vRefNum, 0x7FFFFFF1)).get());

  // The file's record, and the parent of the file is the test folder.
  FSSpec fsRec{};
  ASSERT_EQ(noErr, feMakeFSSpecFromFSRef(&fileRef, &fsRec));
  FSRef parent{};
  ASSERT_EQ(noErr, feGetParentRef(&fileRef, &parent));
  EXPECT_EQ(dir.string(), utf8(CFRef<CFStringRef>(feGetPathFromFSRef(&parent, kCFURLPOSIXPathStyle)).get()));
  SInt32 parentID = 0;
  FSSpec parentSpec{};
  ASSERT_EQ(noErr, feMakeFSSpecFromFSRef(&parent, &parentSpec));
  ASSERT_EQ(noErr, feGetDirID(parentSpec, &parentID));
  EXPECT_EQ(fsRec.parID, parentID);
  // "Folder" in the test folder by record: its own ID.
  FSSpec folderSpec{};
  const UInt8 folderName[] = "\x06" "Folder";
  ASSERT_EQ(noErr, feMakeFSSpec(fsRec.vRefNum, fsRec.parID, folderName, &folderSpec));
  SInt32 folderID = 0;
  EXPECT_EQ(noErr, feGetDirID(folderSpec, &folderID));
  EXPECT_EQ(dirID, folderID);
  const UInt8 missingName[] = "\x07" "missing";
  FSSpec missing{};
  EXPECT_EQ(fnfErr, feMakeFSSpec(fsRec.vRefNum, fsRec.parID, missingName, &missing));
  folderID = 77;
  EXPECT_EQ(fnfErr, feGetDirID(missing, &folderID));
  EXPECT_EQ(2, folderID);

  // The fast record copies its 64 name bytes as they are.
  UInt8 raw[64];
  for (int i = 0; i < 64; ++i) raw[i] = static_cast<UInt8>(200 + i);
  FSSpec fast{};
  feMakeFastFSSpec(-7, 99, raw, &fast);
  EXPECT_EQ(-7, fast.vRefNum);
  EXPECT_EQ(99, fast.parID);
  EXPECT_EQ(0, std::memcmp(raw, fast.name, 64));
}

TEST_F(FileEngineTest, URLsChildrenFoldersAndSpecialFolders) {
  CFRef<CFURLRef> url(CFURLCreateWithFileSystemPath(nullptr, cf(file.string()), kCFURLPOSIXPathStyle, false));
  FSRef ref{};
  EXPECT_EQ(noErr, feGetFSRefFromCFURL(url, &ref));
  CFRef<CFURLRef> web(CFURLCreateWithString(nullptr, CFSTR("http://example.invalid/a"), nullptr));
  EXPECT_EQ(paramErr, feGetFSRefFromCFURL(web, &ref));
  CFRef<CFURLRef> gone(CFURLCreateWithFileSystemPath(nullptr, cf((dir / "gone").string()), kCFURLPOSIXPathStyle, false));
  EXPECT_EQ(paramErr, feGetFSRefFromCFURL(gone, &ref));

  FSRef dirRef{};
  ASSERT_EQ(noErr, feMakeFSRefFromPath(cf(dir.string()), &dirRef));
  EXPECT_EQ(noErr, feMakeFSRefFromParent(&dirRef, CFSTR("Folder"), &ref));
  EXPECT_EQ(fnfErr, feMakeFSRefFromParent(&dirRef, CFSTR("nothing"), &ref));
  EXPECT_TRUE(feItemExists(&dirRef, CFSTR("Folder")));
  EXPECT_FALSE(feItemExists(&dirRef, CFSTR("nothing")));
  FSRef made{};
  ASSERT_EQ(noErr, feCreateFolder(&dirRef, CFSTR("New \xC3\xA9"), &made));
  EXPECT_TRUE(feIsFolder(&made));
  EXPECT_TRUE(fs::is_directory(dir / "New \xC3\xA9"));
  EXPECT_EQ(dupFNErr, feCreateFolder(&dirRef, CFSTR("Folder"), &made));

  CFRef<CFStringRef> desktop(feGetPathOfSpecialFolder(13));
  ASSERT_NE(nullptr, desktop.get());
  EXPECT_TRUE(fs::is_directory(utf8(desktop.get())));
  EXPECT_EQ(0u, utf8(desktop.get()).rfind(fs::canonical(velmtest::sandboxDir()).string(), 0));
  EXPECT_EQ(nullptr, CFRef<CFStringRef>(feGetPathOfSpecialFolder(12)).get());
  EXPECT_EQ(nullptr, CFRef<CFStringRef>(feGetPathOfSpecialFolder(14)).get());
}

TEST_F(FileEngineTest, FinderInformationQuestionsAndInvisibility) {
  OSType type = 1, creator = 1;
  EXPECT_EQ(noErr, feGetFileTypeAndCreator(&fileRef, &type, &creator));
  EXPECT_EQ(0u, type);
  EXPECT_EQ(0u, creator);
  EXPECT_FALSE(feHasCustomIcon(&fileRef));
  type = creator = 1;
  EXPECT_NE(noErr, feGetFileTypeAndCreator(&goneRef, &type, &creator));
  EXPECT_EQ(0u, type);
  EXPECT_EQ(0u, creator);

  FSSpec fsRec{};
  ASSERT_EQ(noErr, feMakeFSSpecFromFSRef(&fileRef, &fsRec));
  FInfo info{};
  info.fileType = FOUR_CHAR_CODE('J', 'P', 'E', 'G');
  info.fileCreator = FOUR_CHAR_CODE('8', 'B', 'I', 'M');
  info.finderFlags = 0xA5A5 & ~kIsInvisible;  // every other bit set in some pattern
  ASSERT_EQ(noErr, FSpSetFInfo(&fsRec, &info));
  ASSERT_EQ(noErr, feMakeFileInvisible(fsRec, true));
  FInfo after{};
  ASSERT_EQ(noErr, FSpGetFInfo(&fsRec, &after));
  EXPECT_EQ(UInt16((0xA5A5 & ~kIsInvisible) | kIsInvisible), after.finderFlags);
  EXPECT_EQ(info.fileType, after.fileType);
  EXPECT_EQ(noErr, feGetFileTypeAndCreator(&fileRef, &type, &creator));
  EXPECT_EQ(FOUR_CHAR_CODE('J', 'P', 'E', 'G'), type);
  EXPECT_EQ(FOUR_CHAR_CODE('8', 'B', 'I', 'M'), creator);
  EXPECT_TRUE(feHasCustomIcon(&fileRef));  // 0x0400 is among the bits of the pattern
  ASSERT_EQ(noErr, feMakeFileInvisible(fsRec, false));
  ASSERT_EQ(noErr, FSpGetFInfo(&fsRec, &after));
  EXPECT_EQ(UInt16(0xA5A5 & ~kIsInvisible), after.finderFlags);

  FSSpec missing = fsRec;
  missing.name[1] = 'X';
  EXPECT_EQ(fnfErr, feMakeFileInvisible(missing, true));
}

TEST_F(FileEngineTest, ModificationDateIsSecondsSince1904) {
  struct stat st;
  ASSERT_EQ(0, stat(file.c_str(), &st));
  EXPECT_EQ(UInt32(st.st_mtime + 2082844800LL), feGetFileModificationDate(&fileRef));
  EXPECT_EQ(0u, feGetFileModificationDate(&goneRef));
}

TEST_F(FileEngineTest, VolumesOnADiskAreCountedByTheirDiskPrefix) {
  // Every mounted volume counts at least itself; volumes without a disk count 1.
  std::map<std::string, std::vector<SInt32>> countsByDisk;
  for (ItemCount i = 1;; ++i) {
    FSVolumeRefNum n = 0;
    if (FSGetVolumeInfo(kFSInvalidVolumeRefNum, i, &n, kFSVolInfoNone, nullptr, nullptr, nullptr) != noErr) break;
    SInt32 count = feNumberOfVolumesOnDisk(n);
    EXPECT_GE(count, 1);
    CFStringRef id = nullptr;
    ASSERT_EQ(noErr, FSCopyDiskIDForVolume(n, &id));
    CFRef<CFStringRef> diskID(id);
    if (!diskID) {
      EXPECT_EQ(1, count);
      continue;
    }
    std::string text = utf8(diskID.get());
    countsByDisk[text.substr(0, 6)].push_back(count);
  }
  EXPECT_EQ(1, feNumberOfVolumesOnDisk(12345)) << "an unknown volume";
  // Two slices of one disk: both count the same number, that many slices are mounted.
  bool twoSlices = false;
  for (const auto& [prefix, counts] : countsByDisk) {
    if (counts.size() < 2 || prefix.back() != 's') continue;
    twoSlices = true;
    for (SInt32 c : counts) EXPECT_EQ(SInt32(counts.size()), c) << prefix;
  }
  if (!twoSlices) GTEST_SKIP() << "no disk here has two mounted partitions";
}

// ---- Opening and creating ----------------------------------------------------------------------

TEST_F(ForkIOTest, TextFilesOpenWithTheirContentsOrAreMadeEmpty) {
  writeFile(dir / "text", std::string(100, 'o'));
  SInt16 f = 0;
  ASSERT_EQ(noErr, feCreateAndOpenTextFile(cf((dir / "text").string()), &f));
  opened.push_back(f);
  SInt64 size = 0;
  EXPECT_EQ(noErr, feGetEOF(f, &size));
  EXPECT_EQ(100, size);
  EXPECT_EQ(noErr, feWriteToFile(f, 0, 10, "0123456789"));
  EXPECT_EQ(noErr, feGetEOF(f, &size));
  EXPECT_EQ(100, size);
  EXPECT_EQ("0123456789" + std::string(90, 'o'), velmtest::readFile(dir / "text"));

  // A new text file is no program: read and write as the umask allows.
  mode_t old = umask(022);
  SInt16 g = 0;
  OSStatus made = feCreateAndOpenTextFile(cf((dir / "new.txt").string()), &g);
  umask(old);
  ASSERT_EQ(noErr, made);
  opened.push_back(g);
  struct stat st;
  ASSERT_EQ(0, stat((dir / "new.txt").c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 0777);
  EXPECT_EQ(0, st.st_size);
  SInt16 h = 0;
  EXPECT_EQ(fnfErr, feCreateAndOpenTextFile(cf((dir / "no" / "such.txt").string()), &h));
}

TEST_F(ForkIOTest, NewFilesGetTypeAndCreatorAndNeverReplaceOldOnes) {
  FSRef dirRef{};
  ASSERT_EQ(noErr, feMakeFSRefFromPath(cf(dir.string()), &dirRef));
  HFSUniStr255 name = hfs(u"data.bin");
  SInt16 f = 0;
  FSRef made{};
  ASSERT_EQ(noErr, feCreateAndOpenDataFileUnicode(&dirRef, &name, &f, &made, FOUR_CHAR_CODE('B', 'I', 'N', 'A'),
                                                  FOUR_CHAR_CODE('V', 'E', 'L', 'M')));
  opened.push_back(f);
  EXPECT_EQ(noErr, feAppendToFile(f, 3, "abc"));
  OSType type = 0, creator = 0;
  EXPECT_EQ(noErr, feGetFileTypeAndCreator(&made, &type, &creator));
  EXPECT_EQ(FOUR_CHAR_CODE('B', 'I', 'N', 'A'), type);
  EXPECT_EQ(FOUR_CHAR_CODE('V', 'E', 'L', 'M'), creator);
  SInt16 again = 0;
  EXPECT_EQ(dupFNErr, feCreateAndOpenDataFileUnicode(&dirRef, &name, &again, &made, 0, 0));

  // By record: a new file is opened for writing; an existing one is left alone, closed.
  FSSpec dirSpec{};
  ASSERT_EQ(noErr, feMakeFSSpecFromFSRef(&dirRef, &dirSpec));
  SInt32 dirID = 0;
  ASSERT_EQ(noErr, feGetDirID(dirSpec, &dirID));
  FSSpec fsRec{};
  const UInt8 fresh[] = "\x05" "fresh";
  ASSERT_EQ(fnfErr, feMakeFSSpec(dirSpec.vRefNum, dirID, fresh, &fsRec));
  SInt16 g = 0;
  ASSERT_EQ(noErr, feCreateNewFile(fsRec, &g, true, FOUR_CHAR_CODE('T', 'E', 'X', 'T'), FOUR_CHAR_CODE('t', 't', 'x', 't')));
  opened.push_back(g);
  EXPECT_EQ(noErr, feWriteToFile(g, 0, 5, "hello"));
  SInt16 none = 0;
  EXPECT_EQ(dupFNErr, feCreateNewFile(fsRec, &none, true, 0, 0));
  EXPECT_EQ(0, none);
  EXPECT_EQ("hello", velmtest::readFile(dir / "fresh"));
  FInfo info{};
  ASSERT_EQ(noErr, FSpGetFInfo(&fsRec, &info));
  EXPECT_EQ(FOUR_CHAR_CODE('T', 'E', 'X', 'T'), info.fileType);

  // Opening by record, and the resource fork of a file that has none.
  SInt16 r = 0;
  ASSERT_EQ(noErr, feOpenExistingFile(fsRec, &r, false, true));
  opened.push_back(r);
  char buffer[5];
  EXPECT_EQ(noErr, feReadFromFile(r, 0, 5, buffer));
  EXPECT_NE(noErr, feWriteToFile(r, 0, 1, "x"));
  // (Files made by feCreateNewFile get a resource fork for their version resources; data.bin has none.)
  SInt16 rsrc = 0;
  FSSpec madeSpec{};
  ASSERT_EQ(noErr, feMakeFSSpecFromFSRef(&made, &madeSpec));
  EXPECT_EQ(eofErr, feOpenExistingFile(madeSpec, &rsrc, false, false));
  EXPECT_EQ(-1, rsrc);
  EXPECT_EQ(eofErr, feOpenExistingFileRef(&made, &rsrc, false, false));
  FSSpec gone = fsRec;
  gone.name[1] = 'F';
  EXPECT_EQ(fnfErr, feOpenExistingFile(gone, &rsrc, false, true));
}

// ---- Renaming and deleting ---------------------------------------------------------------------

TEST_F(FileEngineTest, RenameAndDeleteAtPath) {
  FSSpec fsRec{};
  ASSERT_EQ(noErr, feMakeFSSpecFromFSRef(&fileRef, &fsRec));
  const UInt8 newName[] = "\x07" "new.jpg";
  ASSERT_EQ(noErr, feRenameFile(fsRec, newName));
  EXPECT_TRUE(fs::exists(dir / "new.jpg"));
  FSSpec folderSpec{};
  ASSERT_EQ(noErr, feMakeFSSpecFromFSRef(&folderRef, &folderSpec));
  const UInt8 taken[] = "\x07" "new.jpg";
  EXPECT_EQ(dupFNErr, feRenameFolder(folderSpec, taken));
  const UInt8 album[] = "\x05" "Album";
  ASSERT_EQ(noErr, feRenameFolder(folderSpec, album));
  EXPECT_TRUE(fs::is_directory(dir / "Album"));

  writeFile(dir / "Album" / "inside", "x");
  EXPECT_EQ(fnfErr, feDeleteFileAtPath((dir / "missing").c_str()));
  // A folder that is not empty stays, and the caller is told.
  EXPECT_EQ(fBsyErr, feDeleteFileAtPath((dir / "Album").c_str()));
  EXPECT_TRUE(fs::exists(dir / "Album" / "inside"));
  EXPECT_EQ(noErr, feDeleteFileAtPath((dir / "Album" / "inside").c_str()));
  EXPECT_EQ(noErr, feDeleteFileAtPath((dir / "Album").c_str()));
  EXPECT_FALSE(fs::exists(dir / "Album"));
}

// ---- The Trash ---------------------------------------------------------------------------------

class TrashTest : public FileEngineTest {
 protected:
  void SetUp() override {
    FileEngineTest::SetUp();
    dataHome = fs::canonical(makeTempDir("data"));
    env.emplace("XDG_DATA_HOME", dataHome.c_str());
    trash = dataHome / "Trash";
  }
  FSRef refTo(const fs::path& p) {
    FSRef ref{};
    EXPECT_EQ(noErr, feMakeFSRefFromPath(cf(p.string()), &ref)) << p;
    return ref;
  }
  FSSpec specTo(const fs::path& p) {
    FSRef ref = refTo(p);
    FSSpec fsRec{};
    EXPECT_EQ(noErr, feMakeFSSpecFromFSRef(&ref, &fsRec));
    return fsRec;
  }
  // The Path key of a record, unescaped.
  std::string recordedPath(const std::string& name) {
    std::string info = velmtest::readFile(trash / "info" / (name + ".trashinfo"));
    EXPECT_EQ(0u, info.rfind("[Trash Info]\n", 0)) << info;
    size_t at = info.find("\nPath=");
    if (at == std::string::npos) return "<no Path>";
    std::string escaped = info.substr(at + 6, info.find('\n', at + 6) - at - 6);
    std::string out;
    for (size_t i = 0; i < escaped.size(); ++i) {
      if (escaped[i] == '%' && i + 2 < escaped.size()) {
        out += static_cast<char>(std::stoi(escaped.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += escaped[i];
      }
    }
    EXPECT_NE(std::string::npos, info.find("\nDeletionDate=")) << info;
    return out;
  }
  // A folder on a memory file system, which has no Trash; empty when there is none to use.
  fs::path memoryFolder() {
    struct stat shm, here;
    if (stat("/dev/shm", &shm) != 0 || stat(dir.c_str(), &here) != 0 || shm.st_dev == here.st_dev ||
        access("/dev/shm", W_OK) != 0)
      return fs::path();
    std::string pattern = "/dev/shm/velm-trash-XXXXXX";
    if (!mkdtemp(pattern.data())) return fs::path();
    cleanup = pattern;
    return pattern;
  }
  void TearDown() override {
    if (!cleanup.empty()) fs::remove_all(cleanup);
  }

  fs::path dataHome, trash, cleanup;
  std::optional<velmtest::ScopedEnv> env;
};

TEST_F(TrashTest, FilesGoIntoTheFreedesktopTrashWithARecord) {
  ASSERT_EQ(noErr, feMoveFileToTrash(&fileRef));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(std::string(1234, 'p'), velmtest::readFile(trash / "files" / file.filename()));
  EXPECT_EQ(file.string(), recordedPath(file.filename().string()));
  EXPECT_EQ(0u, trash.string().rfind(fs::canonical(velmtest::sandboxDir()).string(), 0));

  // By record, with the Finder's sidecar going along.
  writeFile(dir / "second", "2");
  FSSpec second = specTo(dir / "second");
  FInfo info{};
  info.fileType = FOUR_CHAR_CODE('T', 'E', 'X', 'T');
  ASSERT_EQ(noErr, FSpSetFInfo(&second, &info));
  ASSERT_EQ(noErr, feDeleteFile(second));
  EXPECT_FALSE(fs::exists(dir / "second"));
  EXPECT_FALSE(fs::exists(dir / "._second"));
  EXPECT_EQ("2", velmtest::readFile(trash / "files" / "second"));
  EXPECT_TRUE(fs::exists(trash / "files" / "._second"));
  EXPECT_EQ((dir / "second").string(), recordedPath("second"));

  // Folders go whole.
  writeFile(dir / "Folder" / "in", "x");
  ASSERT_EQ(noErr, feMoveFolderToTrash(&folderRef));
  EXPECT_EQ("x", velmtest::readFile(trash / "files" / "Folder" / "in"));
  EXPECT_EQ((dir / "Folder").string(), recordedPath("Folder"));
}

TEST_F(TrashTest, ANameAlreadyInTheTrashMeansDeletion) {
  fs::create_directories(trash / "files");
  fs::create_directories(trash / "info");
  writeFile(trash / "files" / file.filename(), "older");
  writeFile(trash / "info" / (file.filename().string() + ".trashinfo"), "[Trash Info]\nPath=/old\n");
  ASSERT_EQ(noErr, feMoveFileToTrash(&fileRef));
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ("older", velmtest::readFile(trash / "files" / file.filename()));

  writeFile(dir / "twice", "new");
  writeFile(trash / "files" / "twice", "old");
  ASSERT_EQ(noErr, feDeleteFile(specTo(dir / "twice")));
  EXPECT_FALSE(fs::exists(dir / "twice"));
  EXPECT_EQ("old", velmtest::readFile(trash / "files" / "twice"));
  EXPECT_FALSE(fs::exists(trash / "info" / "twice.trashinfo"));
}

TEST_F(TrashTest, AVolumeWithoutATrashFallsBackAsItShould) {
  fs::path memory = memoryFolder();
  if (memory.empty()) GTEST_SKIP() << "no writable memory file system (/dev/shm) on another device here";
  writeFile(memory / "kept", "k");
  FSRef kept = refTo(memory / "kept");
  EXPECT_EQ(fnfErr, feMoveFileToTrash(&kept));
  EXPECT_EQ("k", velmtest::readFile(memory / "kept"));

  fs::create_directory(memory / "empty");
  FSRef empty = refTo(memory / "empty");
  EXPECT_EQ(noErr, feMoveFolderToTrash(&empty));
  EXPECT_FALSE(fs::exists(memory / "empty"));
  fs::create_directory(memory / "full");
  writeFile(memory / "full" / "f", "f");
  FSRef full = refTo(memory / "full");
  EXPECT_EQ(fBsyErr, feMoveFolderToTrash(&full));
  EXPECT_TRUE(fs::exists(memory / "full" / "f"));

  EXPECT_EQ(noErr, feDeleteFile(specTo(memory / "kept")));
  EXPECT_FALSE(fs::exists(memory / "kept"));
  // Nothing of it reached the home Trash.
  EXPECT_FALSE(fs::exists(trash / "files" / "kept"));
  EXPECT_FALSE(fs::exists(memory / (".Trash-" + std::to_string(geteuid()))));
}

}  // namespace
