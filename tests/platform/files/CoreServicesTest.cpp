// The File Manager, Folder Manager, Gestalt and time calls over POSIX.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "CoreServices.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using velmtest::makeTempDir;
using velmtest::ScopedEnv;
using velmtest::readFile;
using velmtest::runCommand;
using velmtest::writeFile;

namespace {

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

const UniChar* units(const std::u16string& s) { return reinterpret_cast<const UniChar*>(s.data()); }

std::string pathOf(const FSRef& ref) {
  UInt8 buffer[4096];
  if (FSRefMakePath(&ref, buffer, sizeof buffer) != noErr) return "<no path>";
  return reinterpret_cast<const char*>(buffer);
}

UInt32 be32(const std::string& b, size_t at) {
  return (UInt32(UInt8(b[at])) << 24) | (UInt32(UInt8(b[at + 1])) << 16) |
         (UInt32(UInt8(b[at + 2])) << 8) | UInt32(UInt8(b[at + 3]));
}

void putBE32(std::string& b, UInt32 v) {
  for (int shift = 24; shift >= 0; shift -= 8) b.push_back(char((v >> shift) & 0xFF));
}

// An AppleDouble file built by hand: entries as id and data, laid out in the given order.
std::string appleDouble(const std::vector<std::pair<UInt32, std::string>>& entries) {
  std::string out;
  putBE32(out, 0x00051607);
  putBE32(out, 0x00020000);
  out.append(16, '\0');
  out.push_back(char(entries.size() >> 8));
  out.push_back(char(entries.size() & 0xFF));
  UInt32 at = UInt32(26 + 12 * entries.size());
  for (const auto& [id, data] : entries) {
    putBE32(out, id);
    putBE32(out, at);
    putBE32(out, UInt32(data.size()));
    at += UInt32(data.size());
  }
  for (const auto& e : entries) out += e.second;
  return out;
}

// The entries of an AppleDouble file, read independently of the code under test.
std::vector<std::pair<UInt32, std::string>> entriesOf(const std::string& b) {
  std::vector<std::pair<UInt32, std::string>> out;
  if (b.size() < 26 || be32(b, 0) != 0x00051607 || be32(b, 4) != 0x00020000) return out;
  size_t count = (size_t(UInt8(b[24])) << 8) | UInt8(b[25]);
  for (size_t i = 0; i < count; ++i) {
    size_t d = 26 + 12 * i;
    out.emplace_back(be32(b, d), b.substr(be32(b, d + 4), be32(b, d + 8)));
  }
  return out;
}

FSCatalogInfo textFileInfo(OSType type, OSType creator) {
  FSCatalogInfo info{};
  FileInfo fi{};
  fi.fileType = type;
  fi.fileCreator = creator;
  std::memcpy(info.finderInfo, &fi, sizeof fi);
  return info;
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::canonical(makeTempDir("files"));
    ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(dir.c_str()), &dirRef, nullptr));
  }

  FSRef refFor(const fs::path& p) {
    FSRef ref{};
    EXPECT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), &ref, nullptr)) << p;
    return ref;
  }

  OSErr create(const std::string& name, FSCatalogInfoBitmap which, const FSCatalogInfo* info, FSRef* out) {
    std::u16string n = u16(name);
    return FSCreateFileUnicode(&dirRef, n.size(), units(n), which, info, out, nullptr);
  }

  fs::path dir;
  FSRef dirRef{};
};

// ---- References and paths ----------------------------------------------------------------------

TEST_F(FilesTest, PathRefRoundTripsToTheCanonicalPathAndTellsFolders) {
  static_assert(sizeof(FSRef) == 80);
  writeFile(dir / "a.txt", "x");
  fs::create_directory(dir / "sub");
  fs::create_symlink(dir / "sub", dir / "link");
  const struct {
    std::string given;
    fs::path expected;
    bool isDirectory;
  } cases[] = {
      {(dir / "a.txt").string(), dir / "a.txt", false},
      {(dir / "sub").string(), dir / "sub", true},
      {(dir / "sub/../a.txt").string(), dir / "a.txt", false},
      {(dir / "link").string(), dir / "sub", true},  // symbolic links resolved
  };
  for (const auto& c : cases) {
    FSRef ref{};
    Boolean isDirectory = 2;
    ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(c.given.c_str()), &ref, &isDirectory)) << c.given;
    EXPECT_EQ(c.expected.string(), pathOf(ref)) << c.given;
    EXPECT_EQ(c.isDirectory, isDirectory != 0) << c.given;
    FSRef copy = ref;  // a plain value: the copy names the same item
    EXPECT_EQ(c.expected.string(), pathOf(copy));
  }
}

TEST_F(FilesTest, PathRefFailsForMissingEmptyAndNullPaths) {
  FSRef ref{};
  std::string missing = (dir / "missing").string();
  EXPECT_EQ(fnfErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(missing.c_str()), &ref, nullptr));
  EXPECT_EQ(fnfErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(""), &ref, nullptr));
  EXPECT_EQ(paramErr, FSPathMakeRef(nullptr, &ref, nullptr));
  writeFile(dir / "file", "x");
  std::string through = (dir / "file/inner").string();
  EXPECT_NE(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(through.c_str()), &ref, nullptr));
}

TEST_F(FilesTest, RefStopsNamingAnItemThatWasReplacedRemovedOrMoved) {
  writeFile(dir / "a", "old");
  FSRef ref = refFor(dir / "a");
  writeFile(dir / "new", "new");
  fs::rename(dir / "new", dir / "a");  // another item now lies at the same path
  UInt8 path[1024];
  EXPECT_EQ(fnfErr, FSRefMakePath(&ref, path, sizeof path));
  FSIORefNum fork = 0;
  EXPECT_EQ(fnfErr, FSOpenFork(&ref, 0, nullptr, fsRdPerm, &fork));
  EXPECT_EQ(0, fork);

  FSRef current = refFor(dir / "a");
  fs::rename(dir / "a", dir / "b");
  EXPECT_EQ(fnfErr, FSGetCatalogInfo(&current, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr));
  fs::remove(dir / "b");
  EXPECT_EQ(fnfErr, FSRefMakePath(&current, path, sizeof path));
}

TEST_F(FilesTest, RefMakePathNeedsRoomForTheTerminatingZero) {
  writeFile(dir / "f", "");
  FSRef ref = refFor(dir / "f");
  std::string expected = (dir / "f").string();
  std::vector<UInt8> buffer(expected.size() + 1, 0xEE);
  EXPECT_EQ(buffersTooSmall, FSRefMakePath(&ref, buffer.data(), UInt32(expected.size())));
  ASSERT_EQ(noErr, FSRefMakePath(&ref, buffer.data(), UInt32(buffer.size())));
  EXPECT_EQ(expected, reinterpret_cast<const char*>(buffer.data()));
}

TEST_F(FilesTest, GarbageIsNotAReference) {
  FSRef zero{};
  UInt8 path[64];
  EXPECT_EQ(errFSBadFSRef, FSRefMakePath(&zero, path, sizeof path));
  FSCatalogInfo info;
  EXPECT_EQ(errFSBadFSRef, FSGetCatalogInfo(&zero, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr));
  EXPECT_EQ(paramErr, FSRefMakePath(nullptr, path, sizeof path));
}

TEST_F(FilesTest, ChildRefFindsItemsByUnicodeName) {
  writeFile(dir / "caf\xC3\xA9.txt", "x");
  std::u16string name = u"caf\u00E9.txt";
  FSRef child{};
  ASSERT_EQ(noErr, FSMakeFSRefUnicode(&dirRef, name.size(), units(name), kTextEncodingUnknown, &child));
  EXPECT_EQ((dir / "caf\xC3\xA9.txt").string(), pathOf(child));

  std::u16string missing = u"nothing";
  EXPECT_EQ(fnfErr, FSMakeFSRefUnicode(&dirRef, missing.size(), units(missing), kTextEncodingUnknown, &child));

  // A slash in a name is a colon on disk, and reads back as a slash.
  writeFile(dir / "a:b", "x");
  std::u16string slashed = u"a/b";
  ASSERT_EQ(noErr, FSMakeFSRefUnicode(&dirRef, slashed.size(), units(slashed), kTextEncodingUnknown, &child));
  HFSUniStr255 back{};
  ASSERT_EQ(noErr, FSGetCatalogInfo(&child, kFSCatInfoNone, nullptr, &back, nullptr, nullptr));
  EXPECT_EQ(slashed, std::u16string(reinterpret_cast<const char16_t*>(back.unicode), back.length));
}

TEST_F(FilesTest, BadChildNamesAreRefusedWithoutLeavingTheFolder) {
  fs::create_directory(dir / "inner");
  FSRef inner = refFor(dir / "inner");
  writeFile(dir / "outside", "x");
  const struct {
    std::u16string name;
    OSErr expected;
  } cases[] = {
      {u"", errFSMissingName},
      {u".", bdNamErr},
      {u"..", bdNamErr},
      {std::u16string(u"a\0b", 3), bdNamErr},
      {std::u16string(1, char16_t(0xD800)), bdNamErr},  // a lone surrogate has no UTF-8 form
      {std::u16string(256, u'x'), errFSNameTooLong},
  };
  for (const auto& c : cases) {
    FSRef out{};
    EXPECT_EQ(c.expected, FSMakeFSRefUnicode(&inner, c.name.size(), units(c.name), kTextEncodingUnknown, &out))
        << std::string(c.name.begin(), c.name.end());
    EXPECT_EQ(c.expected, FSCreateFileUnicode(&inner, c.name.size(), units(c.name), kFSCatInfoNone, nullptr, &out, nullptr))
        << std::string(c.name.begin(), c.name.end());
  }
  EXPECT_TRUE(fs::is_empty(dir / "inner"));

  // A name with slashes is one name inside the folder, never a path out of it.
  std::u16string climbing = u"../outside";
  FSRef out{};
  EXPECT_EQ(fnfErr, FSMakeFSRefUnicode(&inner, climbing.size(), units(climbing), kTextEncodingUnknown, &out));
  ASSERT_EQ(noErr, FSCreateFileUnicode(&inner, climbing.size(), units(climbing), kFSCatInfoNone, nullptr, &out, nullptr));
  EXPECT_EQ((dir / "inner" / "..:outside").string(), pathOf(out));
  EXPECT_EQ("x", readFile(dir / "outside"));
}

TEST_F(FilesTest, ChildOfAFileIsRefused) {
  writeFile(dir / "plain", "x");
  FSRef plain = refFor(dir / "plain");
  std::u16string name = u"child";
  FSRef out{};
  EXPECT_EQ(errFSNotAFolder, FSMakeFSRefUnicode(&plain, name.size(), units(name), kTextEncodingUnknown, &out));
  EXPECT_EQ(errFSNotAFolder, FSCreateFileUnicode(&plain, name.size(), units(name), kFSCatInfoNone, nullptr, &out, nullptr));
}

// ---- Creating files with Finder information ---------------------------------------------------

TEST_F(FilesTest, CreatedFileGetsItsFinderInformationInAnAppleDoubleSidecar) {
  FSCatalogInfo info = textFileInfo(FOUR_CHAR_CODE('T', 'E', 'X', 'T'), 0);
  FSRef ref{};
  ASSERT_EQ(noErr, create("Log File.txt", kFSCatInfoFinderInfo, &info, &ref));
  EXPECT_EQ((dir / "Log File.txt").string(), pathOf(ref));
  EXPECT_EQ(0u, fs::file_size(dir / "Log File.txt"));

  // Byte for byte: the header, a 32-byte Finder-information entry, an empty resource fork.
  std::string sidecar = readFile(dir / "._Log File.txt");
  std::string expected = appleDouble({{9, std::string("TEXT") + std::string(28, '\0')}, {2, ""}});
  EXPECT_EQ(expected, sidecar);

  // An independent reader sees the type code.
  int status = -1;
  std::string listing = runCommand("lsar -L '" + (dir / "._Log File.txt").string() + "' 2>&1", &status);
  EXPECT_EQ(0, status) << listing;
  EXPECT_NE(std::string::npos, listing.find("TEXT (0x54455854)")) << listing;

  // And the catalog reads it back.
  FSCatalogInfo back{};
  ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, kFSCatInfoFinderInfo | kFSCatInfoRsrcSizes, &back, nullptr, nullptr, nullptr));
  FileInfo fi;
  std::memcpy(&fi, back.finderInfo, sizeof fi);
  EXPECT_EQ(FOUR_CHAR_CODE('T', 'E', 'X', 'T'), fi.fileType);
  EXPECT_EQ(0u, fi.fileCreator);
  EXPECT_EQ(0u, back.rsrcLogicalSize);
}

TEST_F(FilesTest, FinderFieldsRoundTripInBigEndianOnDisk) {
  FSCatalogInfo info{};
  FileInfo fi{FOUR_CHAR_CODE('J', 'P', 'E', 'G'), FOUR_CHAR_CODE('8', 'B', 'I', 'M'), kHasCustomIcon | kIsAlias, {3, 4}, 0};
  ExtendedFileInfo xi{};
  xi.extendedFinderFlags = 0x0102;
  xi.putAwayFolderID = 0x01020304;
  std::memcpy(info.finderInfo, &fi, sizeof fi);
  std::memcpy(info.extFinderInfo, &xi, sizeof xi);
  FSRef ref{};
  ASSERT_EQ(noErr, create("photo.jpg", kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo, &info, &ref));
  auto entries = entriesOf(readFile(dir / "._photo.jpg"));
  ASSERT_EQ(2u, entries.size());
  EXPECT_EQ(9u, entries[0].first);
  EXPECT_EQ(std::string("JPEG8BIM\x84\x00\x00\x03\x00\x04\x00\x00", 16), entries[0].second.substr(0, 16));
  EXPECT_EQ(std::string("\x00\x00\x00\x00\x00\x00\x00\x00\x01\x02\x00\x00\x01\x02\x03\x04", 16),
            entries[0].second.substr(16, 16));
  FSCatalogInfo back{};
  ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo, &back, nullptr, nullptr, nullptr));
  EXPECT_EQ(0, std::memcmp(info.finderInfo, back.finderInfo, 16));
  EXPECT_EQ(0, std::memcmp(info.extFinderInfo, back.extFinderInfo, 16));
}

TEST_F(FilesTest, CreateNeverReplacesAnExistingItem) {
  writeFile(dir / "taken", "keep me");
  FSCatalogInfo info = textFileInfo(FOUR_CHAR_CODE('T', 'E', 'X', 'T'), 0);
  FSRef ref{};
  EXPECT_EQ(dupFNErr, create("taken", kFSCatInfoFinderInfo, &info, &ref));
  EXPECT_EQ("keep me", readFile(dir / "taken"));
  EXPECT_FALSE(fs::exists(dir / "._taken"));
}

TEST_F(FilesTest, CreateWithoutFinderInformationLeavesNoSidecarAndReadsZeros) {
  FSRef ref{};
  ASSERT_EQ(noErr, create("plain", kFSCatInfoNone, nullptr, &ref));
  EXPECT_TRUE(fs::exists(dir / "plain"));
  EXPECT_FALSE(fs::exists(dir / "._plain"));
  FSCatalogInfo back;
  std::memset(&back, 0xAB, sizeof back);
  ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, kFSCatInfoFinderInfo, &back, nullptr, nullptr, nullptr));
  EXPECT_EQ(std::string(16, '\0'), std::string(reinterpret_cast<char*>(back.finderInfo), 16));
}

TEST_F(FilesTest, CreateRefusesWhatItCannotDoBeforeMakingAnything) {
  FSCatalogInfo info = textFileInfo(FOUR_CHAR_CODE('T', 'E', 'X', 'T'), 0);
  FSRef ref{};
  EXPECT_EQ(errFSBadInfoBitmap, create("a", kFSCatInfoFinderInfo | kFSCatInfoContentMod, &info, &ref));
  EXPECT_EQ(paramErr, create("a", kFSCatInfoFinderInfo, nullptr, &ref));
  // A "._a" that is not AppleDouble is never overwritten, and no file comes without its info.
  writeFile(dir / "._a", "private notes");
  EXPECT_EQ(ioErr, create("a", kFSCatInfoFinderInfo, &info, &ref));
  EXPECT_EQ("private notes", readFile(dir / "._a"));
  EXPECT_FALSE(fs::exists(dir / "a"));
  // Nor is one that lists its Finder information twice: which of the two would be the item's?
  const std::string twice = appleDouble({{9, std::string(32, 'x')}, {9, std::string(32, 'y')}});
  writeFile(dir / "._b", twice);
  EXPECT_EQ(ioErr, create("b", kFSCatInfoFinderInfo, &info, &ref));
  EXPECT_EQ(twice, readFile(dir / "._b"));
  EXPECT_FALSE(fs::exists(dir / "b"));
}

TEST_F(FilesTest, WritingFinderInformationKeepsEveryOtherSidecarEntry) {
  const std::string comment = "a comment entry";
  const std::string rsrc = std::string("resource fork bytes\0\1\2", 22);
  const std::string oldInfo = std::string("OLD?") + std::string(28, 'z');
  const std::string tail = "extended attribute data after the Finder information";
  const struct {
    const char* what;
    std::vector<std::pair<UInt32, std::string>> before;
  } cases[] = {
      {"without a Finder-information entry", {{4, comment}, {2, rsrc}}},
      {"with a short Finder-information entry", {{9, "short"}, {4, comment}, {2, rsrc}}},
      {"with a long Finder-information entry", {{9, oldInfo + tail}, {4, comment}, {2, rsrc}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(dir / "item");
    writeFile(dir / "._item", appleDouble(c.before));
    FSCatalogInfo info = textFileInfo(FOUR_CHAR_CODE('T', 'E', 'X', 'T'), FOUR_CHAR_CODE('a', 'b', 'c', 'd'));
    FSRef ref{};
    ASSERT_EQ(noErr, create("item", kFSCatInfoFinderInfo, &info, &ref));
    auto after = entriesOf(readFile(dir / "._item"));
    std::string finder, keptComment, keptRsrc;
    for (const auto& [id, data] : after) {
      if (id == 9) finder = data;
      if (id == 4) keptComment = data;
      if (id == 2) keptRsrc = data;
    }
    EXPECT_EQ(std::string("TEXTabcd") + std::string(24, '\0'), finder.substr(0, 32));
    EXPECT_EQ(comment, keptComment);
    EXPECT_EQ(rsrc, keptRsrc);
    if (c.before[0].second.size() > 32) {
      EXPECT_EQ(tail, finder.substr(32));
    }
    FSCatalogInfo back{};
    ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, kFSCatInfoRsrcSizes, &back, nullptr, nullptr, nullptr));
    EXPECT_EQ(rsrc.size(), back.rsrcLogicalSize);
  }
}

// ---- Catalog information ----------------------------------------------------------------------

TEST_F(FilesTest, CatalogDescribesAFileAndItsFolder) {
  writeFile(dir / "data.bin", std::string(1234, 'd'));
  FSRef ref = refFor(dir / "data.bin");
  FSCatalogInfo info{};
  HFSUniStr255 name{};
  FSRef parent{};
  ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, 0x2CC7E | kFSCatInfoAttrMod | kFSCatInfoAccessDate, &info, &name, nullptr, &parent));
  struct stat st, dirSt;
  ASSERT_EQ(0, stat((dir / "data.bin").c_str(), &st));
  ASSERT_EQ(0, stat(dir.c_str(), &dirSt));
  EXPECT_EQ(0, info.nodeFlags & kFSNodeIsDirectoryMask);
  EXPECT_EQ(UInt32(st.st_ino), info.nodeID);
  EXPECT_EQ(UInt32(dirSt.st_ino), info.parentDirID);
  EXPECT_LE(info.volume, -100);
  EXPECT_EQ(1234u, info.dataLogicalSize);
  EXPECT_EQ(UInt64(st.st_blocks) * 512, info.dataPhysicalSize);
  EXPECT_EQ(st.st_uid, info.permissions.userID);
  EXPECT_EQ(st.st_gid, info.permissions.groupID);
  EXPECT_EQ(UInt16(st.st_mode), info.permissions.mode);
  EXPECT_EQ(st.st_uid == geteuid(), (info.permissions.userAccess & kioACAccessOwnerMask) != 0);
  EXPECT_EQ(st.st_uid == geteuid(), (info.userPrivileges & kioACUserNotOwnerMask) == 0);
  const UInt64 mod = UInt64(st.st_mtim.tv_sec) + 2082844800u;
  EXPECT_EQ(UInt16(mod >> 32), info.contentModDate.highSeconds);
  EXPECT_EQ(UInt32(mod), info.contentModDate.lowSeconds);
  EXPECT_EQ(UInt32(UInt64(st.st_ctim.tv_sec) + 2082844800u), info.attributeModDate.lowSeconds);
  EXPECT_NE(0u, info.createDate.lowSeconds);
  EXPECT_LE(info.createDate.lowSeconds, info.contentModDate.lowSeconds);
  EXPECT_EQ(u"data.bin", std::u16string(reinterpret_cast<const char16_t*>(name.unicode), name.length));
  EXPECT_EQ(dir.string(), pathOf(parent));

  FSCatalogInfo dirInfo{};
  ASSERT_EQ(noErr, FSGetCatalogInfo(&parent, kFSCatInfoNodeFlags | kFSCatInfoNodeID | kFSCatInfoVolume |
                                                 kFSCatInfoDataSizes | kFSCatInfoValence,
                                    &dirInfo, nullptr, nullptr, nullptr));
  EXPECT_NE(0, dirInfo.nodeFlags & kFSNodeIsDirectoryMask);
  EXPECT_EQ(info.parentDirID, dirInfo.nodeID);
  EXPECT_EQ(info.volume, dirInfo.volume);
  EXPECT_EQ(0u, dirInfo.dataLogicalSize);
  EXPECT_EQ(1u, dirInfo.valence);
}

TEST_F(FilesTest, CatalogFillsOnlyWhatWasAskedFor) {
  writeFile(dir / "f", "12345");
  FSRef ref = refFor(dir / "f");
  FSCatalogInfo info;
  std::memset(&info, 0xAB, sizeof info);
  ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, kFSCatInfoDataSizes, &info, nullptr, nullptr, nullptr));
  EXPECT_EQ(5u, info.dataLogicalSize);
  EXPECT_EQ(0u, info.nodeID);
  EXPECT_EQ(0u, info.permissions.mode);
  EXPECT_EQ(paramErr, FSGetCatalogInfo(&ref, kFSCatInfoDataSizes, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(FilesTest, TheRootFolderIsTheVolumeRootWithoutParent) {
  FSRef root = refFor("/");
  FSCatalogInfo info{};
  FSRef parent;
  std::memset(&parent, 0xAB, sizeof parent);
  ASSERT_EQ(noErr, FSGetCatalogInfo(&root, kFSCatInfoNodeID | kFSCatInfoParentDirID, &info, nullptr, nullptr, &parent));
  EXPECT_EQ(UInt32(fsRtDirID), info.nodeID);
  EXPECT_EQ(UInt32(fsRtParID), info.parentDirID);
  EXPECT_EQ(std::string(80, '\0'), std::string(reinterpret_cast<char*>(parent.hidden), 80));
}

TEST_F(FilesTest, CatalogShowsAnOpenDataFork) {
  writeFile(dir / "f", "x");
  FSRef ref = refFor(dir / "f");
  FSCatalogInfo info{};
  ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr));
  EXPECT_EQ(0, info.nodeFlags & kFSNodeDataOpenMask);
  FSIORefNum fork = 0;
  ASSERT_EQ(noErr, FSOpenFork(&ref, 0, nullptr, fsRdPerm, &fork));
  ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr));
  EXPECT_NE(0, info.nodeFlags & kFSNodeDataOpenMask);
  EXPECT_EQ(noErr, FSCloseFork(fork));
  ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr));
  EXPECT_EQ(0, info.nodeFlags & kFSNodeDataOpenMask);
}

// ---- Forks ------------------------------------------------------------------------------------

class ForkTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    writeFile(dir / "fork", "");
    ref = refFor(dir / "fork");
    ASSERT_EQ(noErr, FSOpenFork(&ref, 0, nullptr, fsRdWrPerm, &fork));
    ASSERT_GT(fork, 0);
  }
  void TearDown() override {
    if (fork) FSCloseFork(fork);
  }
  OSErr write(UInt16 mode, SInt64 offset, const std::string& bytes, ByteCount* actual = nullptr) {
    return FSWriteFork(fork, mode, offset, ByteCount(bytes.size()), bytes.data(), actual);
  }

  FSRef ref{};
  FSIORefNum fork = 0;
};

TEST(DataForkName, IsTheEmptyName) {
  HFSUniStr255 name;
  std::memset(&name, 0xAB, sizeof name);
  ASSERT_EQ(noErr, FSGetDataForkName(&name));
  EXPECT_EQ(0, name.length);
}

TEST_F(ForkTest, WritesLandWherePositionModesSay) {
  ByteCount actual = 0;
  ASSERT_EQ(noErr, write(fsFromStart, 0, "hello", &actual));
  EXPECT_EQ(5u, actual);
  ASSERT_EQ(noErr, write(fsFromLEOF | noCacheMask, 0, " world", &actual));  // append
  EXPECT_EQ(6u, actual);
  ASSERT_EQ(noErr, write(fsFromStart, 0, "J"));
  ASSERT_EQ(noErr, write(fsAtMark, 999, "E"));     // the mark is after "J"; the offset is ignored
  ASSERT_EQ(noErr, write(fsFromMark, 1, "L"));     // skips one byte after the mark
  ASSERT_EQ(noErr, write(fsFromLEOF, -1, "D"));    // over the last byte
  ASSERT_EQ(noErr, write(fsFromStart, 13, "!"));   // past the end: the gap reads as zeros
  EXPECT_EQ(std::string("JElLo worlD\0\0!", 14), readFile(dir / "fork"));
  SInt64 size = 0;
  ASSERT_EQ(noErr, FSGetForkSize(fork, &size));
  EXPECT_EQ(14, size);
}

TEST_F(ForkTest, ReadsReportTheCountAndEndOfFile) {
  ASSERT_EQ(noErr, write(fsFromStart, 0, "0123456789"));
  char buffer[16] = {};
  ByteCount actual = 99;
  ASSERT_EQ(noErr, FSReadFork(fork, fsFromStart, 2, 3, buffer, &actual));
  EXPECT_EQ(3u, actual);
  EXPECT_EQ("234", std::string(buffer, 3));
  ASSERT_EQ(noErr, FSReadFork(fork, fsAtMark, 0, 2, buffer, &actual));
  EXPECT_EQ("56", std::string(buffer, 2));
  EXPECT_EQ(eofErr, FSReadFork(fork, fsFromLEOF, -3, 10, buffer, &actual));
  EXPECT_EQ(3u, actual);
  EXPECT_EQ("789", std::string(buffer, 3));
  EXPECT_EQ(eofErr, FSReadFork(fork, fsFromStart, 50, 1, buffer, &actual));
  EXPECT_EQ(0u, actual);
  EXPECT_EQ(posErr, FSReadFork(fork, fsFromStart, -1, 1, buffer, &actual));
  EXPECT_EQ(posErr, write(fsFromMark, -1000, "x"));
  EXPECT_EQ("0123456789", readFile(dir / "fork"));
}

TEST_F(ForkTest, SetForkSizeTruncatesAndExtends) {
  ASSERT_EQ(noErr, write(fsFromStart, 0, "0123456789"));
  ASSERT_EQ(noErr, FSSetForkSize(fork, fsFromStart, 4));
  EXPECT_EQ("0123", readFile(dir / "fork"));
  ASSERT_EQ(noErr, write(fsAtMark, 0, "x"));  // the mark was pulled back to the new end
  EXPECT_EQ("0123x", readFile(dir / "fork"));
  ASSERT_EQ(noErr, FSSetForkSize(fork, fsFromLEOF, 2));
  EXPECT_EQ(std::string("0123x\0\0", 7), readFile(dir / "fork"));
}

TEST_F(ForkTest, AppendsFromTwoForksNeverOverwriteEachOther) {
  FSIORefNum other = 0;
  ASSERT_EQ(noErr, FSOpenFork(&ref, 0, nullptr, fsRdWrPerm, &other));
  ASSERT_NE(fork, other);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(noErr, write(fsFromLEOF, 0, "a"));
    ASSERT_EQ(noErr, FSWriteFork(other, fsFromLEOF, 0, 2, "bb", nullptr));
  }
  EXPECT_EQ("abbabbabb", readFile(dir / "fork"));
  EXPECT_EQ(noErr, FSCloseFork(other));
}

TEST_F(FilesTest, ForkAccessFollowsTheOpenPermission) {
  writeFile(dir / "f", "data");
  FSRef ref = refFor(dir / "f");
  FSIORefNum readOnly = 0;
  ASSERT_EQ(noErr, FSOpenFork(&ref, 0, nullptr, fsRdPerm, &readOnly));
  ByteCount actual = 7;
  EXPECT_EQ(wrPermErr, FSWriteFork(readOnly, fsFromStart, 0, 1, "x", &actual));
  EXPECT_EQ(0u, actual);
  EXPECT_EQ(wrPermErr, FSSetForkSize(readOnly, fsFromStart, 0));
  EXPECT_EQ(noErr, FSCloseFork(readOnly));
  FSIORefNum writeOnly = 0;
  ASSERT_EQ(noErr, FSOpenFork(&ref, 0, nullptr, fsWrPerm, &writeOnly));
  char c;
  EXPECT_EQ(permErr, FSReadFork(writeOnly, fsFromStart, 0, 1, &c, nullptr));
  EXPECT_EQ(noErr, FSCloseFork(writeOnly));
  EXPECT_EQ("data", readFile(dir / "f"));
}

TEST_F(FilesTest, ForkCallsRefuseWhatIsNotAnOpenDataFork) {
  writeFile(dir / "f", "data");
  FSRef ref = refFor(dir / "f");
  FSIORefNum fork = 0;
  std::u16string rsrc = u"RESOURCE_FORK";
  EXPECT_EQ(errFSForkNotFound, FSOpenFork(&ref, rsrc.size(), units(rsrc), fsRdPerm, &fork));
  EXPECT_EQ(notAFileErr, FSOpenFork(&dirRef, 0, nullptr, fsRdPerm, &fork));
  EXPECT_EQ(0, fork);
  ASSERT_EQ(noErr, FSOpenFork(&ref, 0, nullptr, fsRdPerm, &fork));
  ASSERT_EQ(noErr, FSCloseFork(fork));
  char buffer[4];
  SInt64 size;
  EXPECT_EQ(rfNumErr, FSCloseFork(fork));
  EXPECT_EQ(rfNumErr, FSReadFork(fork, fsFromStart, 0, 4, buffer, nullptr));
  EXPECT_EQ(rfNumErr, FSWriteFork(fork, fsFromStart, 0, 4, buffer, nullptr));
  EXPECT_EQ(rfNumErr, FSGetForkSize(fork, &size));
  EXPECT_EQ(rfNumErr, FSGetForkSize(0, &size));
}

TEST_F(FilesTest, FlushVolFlushesVolumesItKnows) {
  writeFile(dir / "f", "x");
  FSRef ref = refFor(dir / "f");
  FSCatalogInfo info{};
  ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr));
  EXPECT_EQ(noErr, FlushVol(nullptr, info.volume));
  EXPECT_EQ(noErr, FlushVol(nullptr, 0));
  EXPECT_EQ(nsvErr, FlushVol(nullptr, -1));  // volume numbers are given out from -100 down
}

// ---- The Desktop ------------------------------------------------------------------------------

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override { home = fs::canonical(std::getenv("HOME")); }
  OSErr find(Boolean create, FSRef* ref) { return FSFindFolder(kUserDomain, kDesktopFolderType, create, ref); }
  fs::path home;
};

TEST_F(DesktopTest, IsTheXdgDesktopFolderCreatedWhenMissing) {
  fs::path desk = fs::canonical(makeTempDir("desk")) / "My Desktop";
  ScopedEnv env("XDG_DESKTOP_DIR", desk.c_str());
  FSRef ref{};
  EXPECT_EQ(fnfErr, find(kDontCreateFolder, &ref));
  EXPECT_FALSE(fs::exists(desk));
  ASSERT_EQ(noErr, find(kCreateFolder, &ref));
  EXPECT_TRUE(fs::is_directory(desk));
  EXPECT_EQ(desk.string(), pathOf(ref));
  ASSERT_EQ(noErr, FSFindFolder(kOnSystemDisk, kDesktopFolderType, kDontCreateFolder, &ref));
  EXPECT_EQ(desk.string(), pathOf(ref));
}

TEST_F(DesktopTest, FollowsUserDirsThenFallsBackToHomeDesktop) {
  ScopedEnv noEnv("XDG_DESKTOP_DIR", nullptr);
  fs::path config = fs::canonical(makeTempDir("config"));
  ScopedEnv configHome("XDG_CONFIG_HOME", config.c_str());
  fs::path absolute = fs::canonical(makeTempDir("abs")) / "Bureau";
  const struct {
    std::string userDirs;  // empty: no file
    fs::path expected;
  } cases[] = {
      {"# comment\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n", home / "Schreibtisch"},
      {"XDG_DESKTOP_DIR=\"" + absolute.string() + "\"\n", absolute},
      {"XDG_DESKTOP_DIR=\"$HOME/With \\\"Quote\\\"\"\n", home / "With \"Quote\""},
      {"XDG_DESKTOP_DIR=relative/not/allowed\n", home / "Desktop"},
      {"", home / "Desktop"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.userDirs);
    fs::remove(config / "user-dirs.dirs");
    if (!c.userDirs.empty()) writeFile(config / "user-dirs.dirs", c.userDirs);
    FSRef ref{};
    ASSERT_EQ(noErr, find(kCreateFolder, &ref));
    EXPECT_EQ(c.expected.string(), pathOf(ref));
  }
}

TEST_F(DesktopTest, SomethingElseInItsPlaceOrAnUnknownFolderIsAnError) {
  fs::path file = fs::canonical(makeTempDir("deskfile")) / "Desktop";
  writeFile(file, "not a folder");
  ScopedEnv env("XDG_DESKTOP_DIR", file.c_str());
  FSRef ref{};
  EXPECT_EQ(errFSNotAFolder, find(kCreateFolder, &ref));
  EXPECT_EQ("not a folder", readFile(file));
  EXPECT_EQ(fnfErr, FSFindFolder(kUserDomain, FOUR_CHAR_CODE('z', 'z', 'z', 'z'), kCreateFolder, &ref));
}

// ---- Gestalt, processors, date and time -------------------------------------------------------

TEST(Gestalt, AnswersTheSystemValuesOfTheLogHeader) {
  std::ifstream release("/proc/sys/kernel/osrelease");
  std::string text;
  release >> text;
  int major = 0, minor = 0, bugFix = 0;
  std::sscanf(text.c_str(), "%d.%d.%d", &major, &minor, &bugFix);
  SInt32 value = -1;
  ASSERT_EQ(noErr, Gestalt(gestaltSystemVersionMajor, &value));
  EXPECT_EQ(major, value);
  ASSERT_EQ(noErr, Gestalt(gestaltSystemVersionMinor, &value));
  EXPECT_EQ(minor, value);
  ASSERT_EQ(noErr, Gestalt(gestaltSystemVersionBugFix, &value));
  EXPECT_EQ(bugFix, value);

  struct sysinfo si;
  ASSERT_EQ(0, sysinfo(&si));
  ASSERT_EQ(noErr, Gestalt(gestaltPhysicalRAMSizeInMegabytes, &value));
  EXPECT_EQ(SInt32(UInt64(si.totalram) * si.mem_unit / (1024 * 1024)), value);

  std::string cpuinfo = readFile("/proc/cpuinfo");
  if (cpuinfo.find("cpu MHz") != std::string::npos) {
    ASSERT_EQ(noErr, Gestalt(gestaltProcClkSpeedMHz, &value));
    EXPECT_GT(value, 0);
  }
  value = 1234;
  EXPECT_EQ(gestaltUndefSelectorErr, Gestalt(FOUR_CHAR_CODE('n', 'o', 'p', 'e'), &value));
  EXPECT_EQ(1234, value);
  EXPECT_EQ(ItemCount(get_nprocs()), MPProcessors());
}

TEST(DateTime, GetDateTimeIsLocalSecondsSince1904) {
  ScopedEnv tz("TZ", "XYZ-2");  // two hours east of UTC
  time_t before = time(nullptr);
  UInt32 secs = 0;
  GetDateTime(&secs);
  time_t after = time(nullptr);
  EXPECT_GE(secs, UInt32(before + 7200 + 2082844800LL));
  EXPECT_LE(secs, UInt32(after + 7200 + 2082844800LL));
}

TEST(DateTime, DateAndTimeTextsFollowTheRegionalSettings) {
  // 2024-02-06 13:35:07 local time, as seconds since 1904.
  const UInt32 when = UInt32(1707226507LL + 2082844800LL);
  const struct {
    const char* locale;
    std::string shortDate, longDate, withSeconds, withoutSeconds;
  } cases[] = {
      {"en_US.UTF-8", "2/6/24", "Tuesday, February 6, 2024", "1:35:07 PM", "1:35 PM"},
      {"de_DE.UTF-8", "06.02.24", "Dienstag, 6. Februar 2024", "13:35:07", "13:35"},
      {"fr_FR", "06/02/2024", "mardi 6 f\x8Evrier 2024", "13:35:07", "13:35"},  // MacRoman
      {"C", "2/6/24", "Tuesday, February 6, 2024", "1:35:07 PM", "1:35 PM"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.locale);
    ScopedEnv all("LC_ALL", c.locale);
    Str255 text;
    auto str = [&] { return std::string(reinterpret_cast<char*>(text + 1), text[0]); };
    DateString(when, shortDate, text, nullptr);
    EXPECT_EQ(c.shortDate, str());
    DateString(when, longDate, text, nullptr);
    EXPECT_EQ(c.longDate, str());
    TimeString(when, TRUE, text, nullptr);
    EXPECT_EQ(c.withSeconds, str());
    TimeString(when, FALSE, text, nullptr);
    EXPECT_EQ(c.withoutSeconds, str());
  }
}

TEST(TickCount, CountsSixtiethsOfTheMonotonicClockIn32Bits) {
  auto ticksNow = [] {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return UInt32((UInt64(ts.tv_sec) * 60 + UInt64(ts.tv_nsec) * 60 / 1000000000u) & 0xFFFFFFFFu);
  };
  UInt32 before = ticksNow();
  UInt32 ticks = TickCount();
  UInt32 after = ticksNow();
  EXPECT_LE(UInt32(ticks - before), UInt32(after - before));  // within the bracket, modulo 2^32
}

}  // namespace
