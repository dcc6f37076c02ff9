// FSSpec records, directory IDs, the catalog parameter block, moves and deletions, volumes, disk
// IDs and the colon-separated path style.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "CFRef.h"
#include "CoreFoundation.h"
#include "CoreServices.h"
#include "FilesInternal.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using velmtest::makeTempDir;
using velmtest::readFile;
using velmtest::writeFile;

namespace {

std::string pathOf(const FSRef& ref) {
  UInt8 buffer[4096];
  if (FSRefMakePath(&ref, buffer, sizeof buffer) != noErr) return "<no path>";
  return reinterpret_cast<const char*>(buffer);
}

// A Pascal string from bytes (MacRoman).
std::vector<UInt8> pascal(const std::string& bytes) {
  std::vector<UInt8> p(1 + bytes.size());
  p[0] = static_cast<UInt8>(bytes.size());
  std::memcpy(p.data() + 1, bytes.data(), bytes.size());
  return p;
}

std::string nameOf(const FSSpec& fsRec) { return std::string(reinterpret_cast<const char*>(fsRec.name + 1), fsRec.name[0]); }

std::string utf8(CFStringRef s) {
  if (!s) return "<null>";
  char buffer[4096];
  if (!CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8)) return "<unconvertible>";
  return buffer;
}

class SpecTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::canonical(makeTempDir("fsRec"));
    FSRef ref = refFor(dir);
    FSCatalogInfo info;
    ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, kFSCatInfoVolume | kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr));
    vRefNum = info.volume;
    dirID = static_cast<SInt32>(info.nodeID);
  }

  FSRef refFor(const fs::path& p) {
    FSRef ref{};
    EXPECT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), &ref, nullptr)) << p;
    return ref;
  }

  FSSpec specFor(const std::string& name, OSErr expected = noErr) {
    FSSpec fsRec{};
    auto p = pascal(name);
    EXPECT_EQ(expected, FSMakeFSSpec(vRefNum, dirID, p.data(), &fsRec)) << name;
    return fsRec;
  }

  fs::path dir;
  SInt16 vRefNum = 0;
  SInt32 dirID = 0;
};

TEST_F(SpecTest, RecordsRoundTripThroughReferences) {
  writeFile(dir / "photo.jpg", "x");
  FSSpec fsRec = specFor("photo.jpg");
  EXPECT_EQ(vRefNum, fsRec.vRefNum);
  EXPECT_EQ(dirID, fsRec.parID);
  EXPECT_EQ("photo.jpg", nameOf(fsRec));
  FSRef ref{};
  ASSERT_EQ(noErr, FSpMakeFSRef(&fsRec, &ref));
  EXPECT_EQ((dir / "photo.jpg").string(), pathOf(ref));

  FSSpec back{};
  ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, nullptr, &back, nullptr));
  EXPECT_EQ(0, std::memcmp(&fsRec, &back, sizeof fsRec));

  // A missing item still gets its record (to create it by), but no reference.
  FSSpec missing = specFor("new.jpg", fnfErr);
  EXPECT_EQ(dirID, missing.parID);
  EXPECT_EQ("new.jpg", nameOf(missing));
  EXPECT_EQ(fnfErr, FSpMakeFSRef(&missing, &ref));

  // No name: the folder itself, named in its own parent.
  FSSpec self{};
  ASSERT_EQ(noErr, FSMakeFSSpec(vRefNum, dirID, nullptr, &self));
  EXPECT_EQ(dir.filename().string(), nameOf(self));
  ASSERT_EQ(noErr, FSpMakeFSRef(&self, &ref));
  EXPECT_EQ(dir.string(), pathOf(ref));
  FSSpec empty{};
  empty.vRefNum = vRefNum;
  empty.parID = dirID;
  ASSERT_EQ(noErr, FSpMakeFSRef(&empty, &ref));
  EXPECT_EQ(dir.string(), pathOf(ref));
}

TEST_F(SpecTest, NamesAreMacRomanAndBadOnesAreRefused) {
  // é is 0x8E in MacRoman and C3 A9 on disk; "/" in a name is stored as ":".
  writeFile(dir / "caf\xC3\xA9", "x");
  FSSpec cafe = specFor("caf\x8E");
  FSRef ref{};
  ASSERT_EQ(noErr, FSpMakeFSRef(&cafe, &ref));
  EXPECT_EQ((dir / "caf\xC3\xA9").string(), pathOf(ref));
  FSSpec slash = specFor("a/b", fnfErr);
  ASSERT_EQ(noErr, FSpCreate(&slash, 0, 0, smSystemScript));
  EXPECT_TRUE(fs::exists(dir / "a:b"));

  const struct {
    const char* what;
    std::string name;
  } bad[] = {{"colon", "a:b"}, {"64 bytes", std::string(64, 'n')}, {"zero byte", std::string("a\0b", 3)}};
  for (const auto& c : bad) {
    FSSpec fsRec{};
    auto p = pascal(c.name);
    EXPECT_EQ(bdNamErr, FSMakeFSSpec(vRefNum, dirID, p.data(), &fsRec)) << c.what;
  }
  // Names on disk that have no Str63 form.
  for (const char* onDisk : {"\xD0\xB6urnal", "\xE2\x82\xAC\xE2\x82\xAC" /* fits */}) {
    writeFile(dir / onDisk, "x");
    FSRef r = refFor(dir / onDisk);
    FSSpec fsRec{};
    OSErr err = FSGetCatalogInfo(&r, kFSCatInfoNone, nullptr, nullptr, &fsRec, nullptr);
    if (std::string(onDisk)[0] == '\xD0') EXPECT_EQ(bdNamErr, err) << "Cyrillic has no MacRoman form";
    else EXPECT_EQ(noErr, err) << "the euro sign is 0xDB in MacRoman";
  }
  std::string longName(64, 'l');
  writeFile(dir / longName, "x");
  FSRef r = refFor(dir / longName);
  FSSpec fsRec{};
  EXPECT_EQ(bdNamErr, FSGetCatalogInfo(&r, kFSCatInfoNone, nullptr, nullptr, &fsRec, nullptr));
}

TEST_F(SpecTest, DirectoryIDsAreStableAndTheRootIsTwo) {
  fs::create_directories(dir / "a" / "b");
  FSRef b = refFor(dir / "a" / "b");
  FSCatalogInfo first, second;
  ASSERT_EQ(noErr, FSGetCatalogInfo(&b, kFSCatInfoNodeID | kFSCatInfoParentDirID, &first, nullptr, nullptr, nullptr));
  FSRef b2 = refFor(dir / "a" / "b");
  ASSERT_EQ(noErr, FSGetCatalogInfo(&b2, kFSCatInfoNodeID | kFSCatInfoParentDirID, &second, nullptr, nullptr, nullptr));
  EXPECT_EQ(first.nodeID, second.nodeID);
  EXPECT_GT(first.nodeID, 16u);

  // The ID leads back to the folder, its parent ID to the parent.
  FSSpec fsRec{};
  fsRec.vRefNum = vRefNum;
  fsRec.parID = static_cast<SInt32>(first.nodeID);
  FSRef back{};
  ASSERT_EQ(noErr, FSpMakeFSRef(&fsRec, &back));
  EXPECT_EQ((dir / "a" / "b").string(), pathOf(back));
  fsRec.parID = static_cast<SInt32>(first.parentDirID);
  ASSERT_EQ(noErr, FSpMakeFSRef(&fsRec, &back));
  EXPECT_EQ((dir / "a").string(), pathOf(back));

  // The volume's root: ID 2, parent 1.
  std::string mount = velm_files::volumeOfPath(dir.string(), nullptr);
  FSRef root = refFor(mount);
  FSCatalogInfo rootInfo;
  ASSERT_EQ(noErr, FSGetCatalogInfo(&root, kFSCatInfoNodeID | kFSCatInfoParentDirID, &rootInfo, nullptr, nullptr, nullptr));
  EXPECT_EQ(2u, rootInfo.nodeID);
  EXPECT_EQ(1u, rootInfo.parentDirID);

  // Unknown IDs, and a folder that moved away from where its ID last saw it.
  fsRec.parID = 0x7FFFFFF0;
  EXPECT_EQ(dirNFErr, FSpMakeFSRef(&fsRec, &back));
  fs::rename(dir / "a" / "b", dir / "moved");
  fsRec.parID = static_cast<SInt32>(first.nodeID);
  EXPECT_EQ(dirNFErr, FSpMakeFSRef(&fsRec, &back));
  EXPECT_EQ(dirNFErr, FSMakeFSSpec(vRefNum, static_cast<SInt32>(first.nodeID), nullptr, &fsRec));
}

TEST_F(SpecTest, CreateFinderInfoRenameAndDelete) {
  FSSpec fsRec = specFor("note.txt", fnfErr);
  ASSERT_EQ(noErr, FSpCreate(&fsRec, FOUR_CHAR_CODE('t', 't', 'x', 't'), FOUR_CHAR_CODE('T', 'E', 'X', 'T'), smSystemScript));
  EXPECT_EQ(dupFNErr, FSpCreate(&fsRec, 0, 0, smSystemScript));
  FInfo info{};
  ASSERT_EQ(noErr, FSpGetFInfo(&fsRec, &info));
  EXPECT_EQ(FOUR_CHAR_CODE('T', 'E', 'X', 'T'), info.fileType);
  EXPECT_EQ(FOUR_CHAR_CODE('t', 't', 'x', 't'), info.fileCreator);
  info.finderFlags = kIsInvisible | kHasCustomIcon;
  ASSERT_EQ(noErr, FSpSetFInfo(&fsRec, &info));

  // The Finder information goes along with a rename; a taken name is refused.
  writeFile(dir / "taken", "keep");
  EXPECT_EQ(dupFNErr, FSpRename(&fsRec, pascal("taken").data()));
  EXPECT_EQ("keep", readFile(dir / "taken"));
  ASSERT_EQ(noErr, FSpRename(&fsRec, pascal("renamed.txt").data()));
  EXPECT_FALSE(fs::exists(dir / "._note.txt"));
  FSSpec renamed = specFor("renamed.txt");
  FInfo after{};
  ASSERT_EQ(noErr, FSpGetFInfo(&renamed, &after));
  EXPECT_EQ(FOUR_CHAR_CODE('T', 'E', 'X', 'T'), after.fileType);
  EXPECT_EQ(kIsInvisible | kHasCustomIcon, after.finderFlags);

  // Deleting takes the sidecar too; a folder that is not empty stays.
  ASSERT_EQ(noErr, FSpDelete(&renamed));
  EXPECT_FALSE(fs::exists(dir / "renamed.txt"));
  EXPECT_FALSE(fs::exists(dir / "._renamed.txt"));
  EXPECT_EQ(fnfErr, FSpDelete(&renamed));
  fs::create_directory(dir / "full");
  writeFile(dir / "full" / "item", "x");
  FSSpec full = specFor("full");
  EXPECT_EQ(fBsyErr, FSpDelete(&full));
  FSRef fullRef = refFor(dir / "full");
  EXPECT_EQ(fBsyErr, FSDeleteObject(&fullRef));
  EXPECT_TRUE(fs::exists(dir / "full" / "item"));
  fs::remove(dir / "full" / "item");
  EXPECT_EQ(noErr, FSDeleteObject(&fullRef));
  EXPECT_FALSE(fs::exists(dir / "full"));
}

TEST_F(SpecTest, MovesGoIntoFoldersAndNeverReplace) {
  fs::create_directory(dir / "into");
  writeFile(dir / "item", "moving");
  writeFile(dir / "into" / "clash", "stays");
  writeFile(dir / "clash", "also stays");
  FSSpec item = specFor("item"), into = specFor("into"), clash = specFor("clash");
  ASSERT_EQ(noErr, FSpCatMove(&item, &into));
  EXPECT_EQ("moving", readFile(dir / "into" / "item"));
  EXPECT_EQ(dupFNErr, FSpCatMove(&clash, &into));
  EXPECT_EQ("stays", readFile(dir / "into" / "clash"));
  EXPECT_EQ("also stays", readFile(dir / "clash"));

  FSRef clashRef = refFor(dir / "clash"), intoRef = refFor(dir / "into"), dirRef = refFor(dir);
  EXPECT_EQ(dupFNErr, FSMoveObject(&clashRef, &intoRef, nullptr));
  // A folder cannot go into itself.
  EXPECT_EQ(badMovErr, FSMoveObject(&dirRef, &intoRef, nullptr));
  FSRef movedRef = refFor(dir / "into" / "item"), newRef{};
  ASSERT_EQ(noErr, FSMoveObject(&movedRef, &dirRef, &newRef));
  EXPECT_EQ((dir / "item").string(), pathOf(newRef));

  // Across volumes a move is refused and nothing changes.
  fs::path shm = "/dev/shm";
  struct stat a, b;
  if (stat(shm.c_str(), &a) == 0 && stat(dir.c_str(), &b) == 0 && a.st_dev != b.st_dev && access(shm.c_str(), W_OK) == 0) {
    fs::path other = fs::path(mkdtemp(const_cast<char*>((shm / "velm-fsRec-XXXXXX").string().c_str())));
    FSRef otherRef = refFor(other), itemRef = refFor(dir / "item");
    EXPECT_EQ(diffVolErr, FSMoveObject(&itemRef, &otherRef, nullptr));
    EXPECT_TRUE(fs::exists(dir / "item"));
    fs::remove_all(other);
  }
}

TEST_F(SpecTest, CatalogParameterBlockDescribesFilesAndFolders) {
  fs::create_directory(dir / "sub");
  writeFile(dir / "sub" / "one", "12345");
  writeFile(dir / "sub" / "two", "");
  FSRef subRef = refFor(dir / "sub");
  FSCatalogInfo info;
  ASSERT_EQ(noErr, FSGetCatalogInfo(&subRef, kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr));

  auto name = pascal("sub");
  CInfoPBRec pb{};
  pb.dirInfo.ioNamePtr = name.data();
  pb.dirInfo.ioVRefNum = vRefNum;
  pb.dirInfo.ioDrDirID = dirID;
  ASSERT_EQ(noErr, PBGetCatInfoSync(&pb));
  EXPECT_EQ(noErr, pb.dirInfo.ioResult);
  EXPECT_TRUE(pb.dirInfo.ioFlAttrib & kioFlAttribDirMask);
  EXPECT_EQ(SInt32(info.nodeID), pb.dirInfo.ioDrDirID);
  EXPECT_EQ(dirID, pb.dirInfo.ioDrParID);
  EXPECT_EQ(2, pb.dirInfo.ioDrNmFls);

  auto one = pascal("one");
  CInfoPBRec file{};
  file.hFileInfo.ioNamePtr = one.data();
  file.hFileInfo.ioVRefNum = vRefNum;
  file.hFileInfo.ioDirID = SInt32(info.nodeID);
  ASSERT_EQ(noErr, PBGetCatInfoSync(&file));
  EXPECT_FALSE(file.hFileInfo.ioFlAttrib & kioFlAttribDirMask);
  EXPECT_EQ(5, file.hFileInfo.ioFlLgLen);
  EXPECT_EQ(SInt32(info.nodeID), file.hFileInfo.ioFlParID);

  auto none = pascal("none");
  CInfoPBRec missing{};
  missing.hFileInfo.ioNamePtr = none.data();
  missing.hFileInfo.ioVRefNum = vRefNum;
  missing.hFileInfo.ioDirID = dirID;
  EXPECT_EQ(fnfErr, PBGetCatInfoSync(&missing));
  EXPECT_EQ(fnfErr, missing.hFileInfo.ioResult);
}

// ---- Volumes and disks --------------------------------------------------------------------------

// The mounted devices, read independently of the code under test.
std::set<std::string> mountedDevices() {
  std::set<std::string> devices;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string id, parent, majorMinor;
    f >> id >> parent >> majorMinor;
    devices.insert(majorMinor);
  }
  return devices;
}

TEST(Volumes, EveryMountedDeviceIsListedOnceWithAStableNumber) {
  std::vector<FSVolumeRefNum> first, second;
  for (auto* list : {&first, &second}) {
    for (ItemCount i = 1;; ++i) {
      FSVolumeRefNum n = 0;
      if (FSGetVolumeInfo(kFSInvalidVolumeRefNum, i, &n, kFSVolInfoNone, nullptr, nullptr, nullptr) != noErr) break;
      list->push_back(n);
      ASSERT_LT(i, 10000u);
    }
  }
  EXPECT_EQ(first, second);
  EXPECT_EQ(mountedDevices().size(), first.size());
  EXPECT_EQ(first.size(), std::set<FSVolumeRefNum>(first.begin(), first.end()).size());
  FSVolumeRefNum none = 0;
  EXPECT_EQ(nsvErr, FSGetVolumeInfo(kFSInvalidVolumeRefNum, first.size() + 1, &none, kFSVolInfoNone, nullptr, nullptr, nullptr));
  EXPECT_EQ(nsvErr, FSGetVolumeInfo(12345, 0, &none, kFSVolInfoNone, nullptr, nullptr, nullptr));

  // The volume of "/" is named Root, and its root folder is "/".
  FSRef rootRef{};
  ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>("/"), &rootRef, nullptr));
  FSCatalogInfo info;
  ASSERT_EQ(noErr, FSGetCatalogInfo(&rootRef, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr));
  HFSUniStr255 name{};
  FSRef volumeRoot{};
  FSVolumeInfo sizes{};
  ASSERT_EQ(noErr, FSGetVolumeInfo(info.volume, 0, nullptr, kFSVolInfoSizes, &sizes, &name, &volumeRoot));
  EXPECT_EQ(u"Root", std::u16string(reinterpret_cast<const char16_t*>(name.unicode), name.length));
  EXPECT_EQ("/", pathOf(volumeRoot));
  EXPECT_GT(sizes.totalBytes, 0u);
}

// The disk ID of a block device from sysfs, computed here on its own.
std::string expectedDiskID(const std::string& majorMinor) {
  fs::path node = fs::canonical("/sys/dev/block/" + majorMinor);
  std::string slice;
  fs::path disk = node;
  if (fs::exists(node / "partition")) {
    slice = "s" + readFile(node / "partition");
    while (!slice.empty() && (slice.back() == '\n')) slice.pop_back();
    disk = node.parent_path();
  }
  std::vector<std::string> disks;
  for (const auto& e : fs::directory_iterator("/sys/class/block"))
    if (!fs::exists(e.path() / "partition")) disks.push_back(e.path().filename().string());
  std::sort(disks.begin(), disks.end());
  auto at = std::find(disks.begin(), disks.end(), disk.filename().string());
  return "disk" + std::to_string(at - disks.begin()) + slice;
}

TEST(Volumes, DiskIDsComeFromBlockDevicesOnly) {
  bool sawBlock = false, sawVirtual = false;
  for (ItemCount i = 1;; ++i) {
    FSVolumeRefNum n = 0;
    FSRef root{};
    if (FSGetVolumeInfo(kFSInvalidVolumeRefNum, i, &n, kFSVolInfoNone, nullptr, nullptr, nullptr) != noErr) break;
    velm_files::VolumeDetails d;
    ASSERT_TRUE(velm_files::volumeDetails(n, &d));
    CFStringRef id = nullptr;
    ASSERT_EQ(noErr, FSCopyDiskIDForVolume(n, &id)) << d.mountPoint;
    CFRef<CFStringRef> diskID(id);
    std::string majorMinor = std::to_string(d.device >> 32) + ":" + std::to_string(d.device & 0xFFFFFFFF);
    if ((d.device >> 32) == 0 || !fs::exists("/sys/dev/block/" + majorMinor)) {
      EXPECT_EQ(nullptr, diskID.get()) << d.mountPoint << " " << d.fsType;
      sawVirtual = true;
    } else {
      ASSERT_NE(nullptr, diskID.get()) << d.mountPoint;
      EXPECT_TRUE(std::regex_match(utf8(diskID.get()), std::regex("disk[0-9]+(s[0-9]+)?"))) << utf8(diskID.get());
      EXPECT_EQ(expectedDiskID(majorMinor), utf8(diskID.get())) << d.mountPoint;
      sawBlock = true;
    }
    (void)root;
  }
  EXPECT_TRUE(sawVirtual) << "proc and sysfs are always mounted";
  if (!sawBlock) GTEST_SKIP() << "no file system on a block device is mounted here";
}

TEST(PathStyles, ColonSeparatedPathsStartWithTheVolumeName) {
  fs::path dir = fs::canonical(makeTempDir("hfs"));
  fs::create_directory(dir / "with:colon");
  writeFile(dir / "with:colon" / "f.txt", "x");
  FSVolumeRefNum n = 0;
  std::string mount = velm_files::volumeOfPath(dir.string(), &n);
  std::string name = mount == "/" ? "Root" : fs::path(mount).filename().string();
  std::string rest = dir.string().substr(mount == "/" ? 1 : mount.size() + 1);
  std::replace(rest.begin(), rest.end(), '/', ':');

  const struct {
    std::string posix;
    bool isDir;
    std::string hfs;
  } cases[] = {
      {(dir / "with:colon" / "f.txt").string(), false, name + ":" + rest + ":with/colon:f.txt"},
      {dir.string() + "/", true, name + ":" + rest},
      {mount, true, name + ":"},
  };
  for (const auto& c : cases) {
    CFRef<CFStringRef> posix(CFStringCreateWithCString(nullptr, c.posix.c_str(), kCFStringEncodingUTF8));
    CFRef<CFURLRef> url(CFURLCreateWithFileSystemPath(nullptr, posix.get(), kCFURLPOSIXPathStyle, c.isDir));
    CFRef<CFStringRef> hfs(CFURLCopyFileSystemPath(url.get(), kCFURLHFSPathStyle));
    EXPECT_EQ(c.hfs, utf8(hfs.get())) << c.posix;
    CFRef<CFStringRef> same(CFURLCopyFileSystemPath(url.get(), kCFURLPOSIXPathStyle));
    EXPECT_NE(c.hfs, utf8(same.get()));
  }
}

// ---- Bounded tables ------------------------------------------------------------------------------

TEST(BoundedTables, ReferencesAndDirectoryIDsDoNotGrowWithoutLimit) {
  // More distinct paths than the reference table keeps: the oldest reference goes stale and the
  // table stays at its capacity. The capacity is lowered so that a few files fill it.
  fs::path dir = fs::canonical(makeTempDir("bounded"));
  const size_t capacity = velm_files::pathTableSize() + 32;
  velm_files::setPathTableCapacity(capacity);
  const int kFiles = 64;
  FSRef first{}, last{};
  for (int i = 0; i < kFiles; ++i) {
    std::string p = (dir / std::to_string(i)).string();
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    FSRef ref{};
    ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), i == 0 ? &first : &ref, nullptr));
    if (i == kFiles - 1) last = ref;
  }
  EXPECT_LE(velm_files::pathTableSize(), capacity);
  EXPECT_EQ(errFSBadFSRef, FSGetCatalogInfo(&first, kFSCatInfoNone, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ((dir / std::to_string(kFiles - 1)).string(), pathOf(last));
  // A path made again gets a fresh slot and works.
  std::string firstPath = (dir / "0").string();
  ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(firstPath.c_str()), &first, nullptr));
  EXPECT_EQ(firstPath, pathOf(first));
  velm_files::setPathTableCapacity(0);

  // More folders than the directory registry remembers: the oldest ID is forgotten.
  fs::path folders = fs::canonical(makeTempDir("folders"));
  const size_t folderCapacity = velm_files::directoryRegistrySize() + 16;
  velm_files::setDirectoryRegistryCapacity(folderCapacity);
  FSVolumeRefNum volume = 0;
  UInt32 firstID = 0;
  for (int i = 0; i < 40; ++i) {
    std::string p = (folders / std::to_string(i)).string();
    ASSERT_EQ(0, mkdir(p.c_str(), 0700));
    FSRef ref{};
    ASSERT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(p.c_str()), &ref, nullptr));
    FSCatalogInfo info;
    ASSERT_EQ(noErr, FSGetCatalogInfo(&ref, kFSCatInfoNodeID | kFSCatInfoVolume, &info, nullptr, nullptr, nullptr));
    if (i == 0) {
      firstID = info.nodeID;
      volume = info.volume;
    }
  }
  EXPECT_LE(velm_files::directoryRegistrySize(), folderCapacity);
  FSSpec fsRec{};
  fsRec.vRefNum = volume;
  fsRec.parID = static_cast<SInt32>(firstID);
  FSRef forgotten{};
  EXPECT_EQ(dirNFErr, FSpMakeFSRef(&fsRec, &forgotten));
  velm_files::setDirectoryRegistryCapacity(0);
}

}  // namespace
