// The file engine's resource-fork operations through the real file system: version resources,
// resource fork copies, resource files opened and created, and alias files. Resource forks are
// written and read back with an independent implementation of the published layouts.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ResourceForkTestSupport.h"
#include "TestSupport.h"
#include "fileEngine.h"

namespace fs = std::filesystem;
using namespace velmtest;

namespace {

constexpr ResType kVers = FOUR_CHAR_CODE('v', 'e', 'r', 's');
constexpr OSType kType = FOUR_CHAR_CODE('T', 'E', 'X', 'T');
constexpr OSType kCreator = FOUR_CHAR_CODE('R', 'Z', 'M', '!');

CFRef<CFStringRef> cf(const std::string& utf8) {
  return CFRef<CFStringRef>(CFStringCreateWithCString(nullptr, utf8.c_str(), kCFStringEncodingUTF8));
}

std::string finderInfo(const std::string& typeCreator, uint16_t flags) {
  std::string f = typeCreator;
  putBE(f, flags, 2);
  f.append(22, '\0');
  return f;
}

class ResourceForkTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = fs::canonical(makeTempDir("fork")); }

  // The program's own resource file: a main bundle holding the given resources.
  void ownResources(const std::vector<TestResource>& resources) {
    fs::path bundle = dir / "program";
    fs::create_directories(bundle);
    writeFile(bundle / "program.rsrc", writeTestResourceFork(resources));
    setenv("CF_MAIN_BUNDLE_PATH", bundle.c_str(), 1);
  }

  // An FSSpec for a name in the test folder, whether the item exists or not.
  FSSpec fsRec(const std::string& name) {
    FSRef folder;
    EXPECT_EQ(noErr, feMakeFSRefFromPath(cf(dir.string()), &folder));
    FSSpec folderSpec;
    EXPECT_EQ(noErr, feMakeFSSpecFromFSRef(&folder, &folderSpec));
    SInt32 dirID = 0;
    EXPECT_EQ(noErr, feGetDirID(folderSpec, &dirID));
    Str63 pascal = {};
    pascal[0] = UInt8(name.size());
    std::memcpy(pascal + 1, name.data(), name.size());
    FSSpec out;
    feMakeFastFSSpec(folderSpec.vRefNum, dirID, pascal, &out);
    return out;
  }

  void withFork(const std::string& name, const std::string& fork, uint16_t flags = 0) {
    if (!fs::exists(dir / name)) writeFile(dir / name, "data of " + name);
    writeFile(dir / ("._" + name), writeTestAppleDouble({{9, finderInfo("TEXTttxt", flags)}, {2, fork}}));
  }
  std::string sidecar(const std::string& name) { return readFile(dir / ("._" + name)); }
  std::vector<TestResource> resourcesOf(const std::string& name) {
    auto read = readTestResourceFork(entryOf(sidecar(name), 2));
    EXPECT_TRUE(read.has_value()) << name;
    return read.value_or(std::vector<TestResource>{});
  }

  fs::path dir;
  const std::string vers1 = std::string("\x01\x23\x80\x00\x00\x00\x05" "1.2.3\x0b" "program 1.2", 19);
  const std::string vers3 = std::string("\x01\x23\x80\x00\x00\x00\x05" "1.2.3\x0b" "product 1.2", 19);
};

// ---------------------------------------------------------------------------------------------
// Version resources

TEST_F(ResourceForkTest, AddVersionResourcesToAMissingFileCreatesIt) {
  ownResources({{"vers", 1, 0, std::nullopt, vers1}, {"vers", 3, 0, std::nullopt, vers3}});
  const SInt16 before = CurResFile();
  feAddVersRessource(fsRec("new.txt"), kType, kCreator);
  EXPECT_EQ(before, CurResFile());
  ASSERT_TRUE(fs::exists(dir / "new.txt"));
  EXPECT_EQ(0u, fs::file_size(dir / "new.txt"));
  EXPECT_EQ("TEXTRZM!", entryOf(sidecar("new.txt"), 9).substr(0, 8));
  std::vector<TestResource> expected = {{"vers", 1, 0, std::string(""), vers1},
                                        {"vers", 2, 0, std::string(""), vers3}};
  EXPECT_EQ(expected, resourcesOf("new.txt"));
}

TEST_F(ResourceForkTest, AddVersionResourcesLeavesAFileWithItsOwnVers1ByteForByte) {
  ownResources({{"vers", 1, 0, std::nullopt, vers1}, {"vers", 3, 0, std::nullopt, vers3}});
  withFork("own.txt", writeTestResourceFork({{"vers", 1, 0, std::nullopt, "mine"}, {"STR ", 5, 0, std::nullopt, "s"}}));
  const std::string before = sidecar("own.txt");
  feAddVersRessource(fsRec("own.txt"), kType, kCreator);
  EXPECT_EQ(before, sidecar("own.txt"));
}

TEST_F(ResourceForkTest, AddVersionResourcesAddsOnlyWhatTheChainHolds) {
  ownResources({{"vers", 1, 0, std::nullopt, vers1}});
  writeFile(dir / "plain.txt", "keep me");
  feAddVersRessource(fsRec("plain.txt"), kType, kCreator);
  EXPECT_EQ("keep me", readFile(dir / "plain.txt"));
  EXPECT_EQ((std::vector<TestResource>{{"vers", 1, 0, std::string(""), vers1}}), resourcesOf("plain.txt"));
}

TEST_F(ResourceForkTest, TheBuiltProgramsVersionResourcesAreTheOnesCopied) {
  fs::path built = fs::path(VELM_BINARY_DIR) / "share/velm-export";
  setenv("CF_MAIN_BUNDLE_PATH", built.c_str(), 1);
  auto own = readTestResourceFork(readFile(built / "velm-export.rsrc"));
  ASSERT_TRUE(own.has_value());
  ASSERT_EQ(3u, own->size());
  feAddVersRessource(fsRec("stamped.txt"), kType, kCreator);
  std::vector<TestResource> expected = {{"vers", 1, 0, std::string(""), (*own)[0].data},
                                        {"vers", 2, 0, std::string(""), (*own)[2].data}};
  EXPECT_EQ(expected, resourcesOf("stamped.txt"));
}

// ---------------------------------------------------------------------------------------------
// Copying a resource fork

TEST_F(ResourceForkTest, CopyRessourceFileCopiesTheForkByteForByte) {
  for (size_t size : {size_t(1000), size_t(100)}) {
    SCOPED_TRACE(size);
    std::string fork(size, '\0');
    for (size_t i = 0; i < size; ++i) fork[i] = char(i * 13 + 1);
    writeFile(dir / "src", "source data");
    writeFile(dir / "._src", writeTestAppleDouble({{9, finderInfo("JPEG8BIM", 0x0400)}, {2, fork}}));
    fs::remove(dir / "dst");
    fs::remove(dir / "._dst");
    ASSERT_EQ(noErr, feCopyRessourceFile(fsRec("src"), fsRec("dst")));
    EXPECT_EQ(fork, entryOf(sidecar("dst"), 2));
    EXPECT_EQ("JPEG8BIM", entryOf(sidecar("dst"), 9).substr(0, 8));
    EXPECT_EQ(std::string(2, '\0'), entryOf(sidecar("dst"), 9).substr(8, 2)) << "only type and creator";
    EXPECT_EQ(0u, fs::file_size(dir / "dst")) << "the data fork is not copied";
  }
}

TEST_F(ResourceForkTest, CopyRessourceFileRefusesADestinationWithAFork) {
  withFork("src", writeTestResourceFork({{"STR ", 1, 0, std::nullopt, "source"}}));
  withFork("dst", writeTestResourceFork({{"STR ", 1, 0, std::nullopt, "dest"}}));
  const std::string before = sidecar("dst");
  EXPECT_EQ(dupFNErr, feCopyRessourceFile(fsRec("src"), fsRec("dst")));
  EXPECT_EQ(before, sidecar("dst"));
  EXPECT_EQ(fnfErr, feCopyRessourceFile(fsRec("missing"), fsRec("other")));
  EXPECT_FALSE(fs::exists(dir / "other"));
}

// ---------------------------------------------------------------------------------------------
// Creating and opening resource files

TEST_F(ResourceForkTest, CreateNewFileWithTheDataForkFlag) {
  ownResources({{"vers", 1, 0, std::nullopt, vers1}, {"vers", 3, 0, std::nullopt, vers3}});
  SInt16 ref = 0;
  ASSERT_EQ(noErr, feCreateNewFile(fsRec("d.txt"), &ref, true, kType, kCreator));
  ASSERT_EQ(noErr, feWriteToFile(ref, 0, 5, "hello"));
  EXPECT_EQ(noErr, FSCloseFork(ref));
  EXPECT_EQ("hello", readFile(dir / "d.txt"));
  EXPECT_EQ(2u, resourcesOf("d.txt").size());

  // An existing name: -48, nothing opened, the data kept, version resources added.
  writeFile(dir / "e.txt", "existing");
  ref = 0;
  EXPECT_EQ(dupFNErr, feCreateNewFile(fsRec("e.txt"), &ref, true, kType, kCreator));
  EXPECT_EQ("existing", readFile(dir / "e.txt"));
  EXPECT_EQ((std::vector<TestResource>{{"vers", 1, 0, std::string(""), vers1}, {"vers", 2, 0, std::string(""), vers3}}),
            resourcesOf("e.txt"));
}

TEST_F(ResourceForkTest, CreateNewFileAsAResourceFile) {
  ownResources({{"vers", 1, 0, std::nullopt, vers1}, {"vers", 3, 0, std::nullopt, vers3}});
  SInt16 ref = 0;
  ASSERT_EQ(noErr, feCreateNewFile(fsRec("r.rsrc"), &ref, false, kType, kCreator));
  EXPECT_EQ(ref, CurResFile()) << "left open and current";
  Handle h = Get1Resource(kVers, 2);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(vers3, std::string(*h, size_t(GetHandleSize(h))));
  CloseResFile(ref);
  ASSERT_EQ(noErr, ResError());
  EXPECT_EQ(2u, resourcesOf("r.rsrc").size());
  EXPECT_EQ("TEXTRZM!", entryOf(sidecar("r.rsrc"), 9).substr(0, 8));

  // Again on the same name: the file has its 'vers' 1, and gets no second one.
  const std::string before = sidecar("r.rsrc");
  ASSERT_EQ(noErr, feCreateNewFile(fsRec("r.rsrc"), &ref, false, kType, kCreator));
  CloseResFile(ref);
  EXPECT_EQ(before, sidecar("r.rsrc"));
}

TEST_F(ResourceForkTest, OpenExistingResourceForks) {
  writeFile(dir / "nofork.txt", "x");
  SInt16 ref = 0;
  EXPECT_EQ(eofErr, feOpenExistingFile(fsRec("nofork.txt"), &ref, false, false));
  EXPECT_EQ(fnfErr, feOpenExistingFile(fsRec("missing.txt"), &ref, false, false));

  withFork("fork.txt", writeTestResourceFork({{"STR ", 7, 0, std::nullopt, "seven"}}));
  ASSERT_EQ(noErr, feOpenExistingFile(fsRec("fork.txt"), &ref, false, false));
  EXPECT_EQ(ref, CurResFile());
  EXPECT_NE(nullptr, Get1Resource(FOUR_CHAR_CODE('S', 'T', 'R', ' '), 7));
  CloseResFile(ref);

  FSRef fileRef;
  ASSERT_EQ(noErr, feMakeFSRefFromPath(cf((dir / "fork.txt").string()), &fileRef));
  ASSERT_EQ(noErr, feOpenExistingFileRef(&fileRef, &ref, true, false));
  EXPECT_EQ(ref, CurResFile());
  CloseResFile(ref);
}

// ---------------------------------------------------------------------------------------------
// Alias files

class AliasFileTest : public ResourceForkTest {
 protected:
  void SetUp() override {
    ResourceForkTest::SetUp();
    fs::create_directories(dir / "Pictures");
    target = dir / "Pictures" / "Holiday.jpg";
    writeFile(target, "the target");
  }
  // An alias file as the original platform copies it to a foreign file system: the Finder
  // information (alias bit set) followed by extended attributes inside entry 9, the header
  // filler "Mac OS X", the resource fork last.
  void aliasFile(const std::string& name, const std::string& record, uint16_t flags = 0x8000) {
    std::string fork = writeTestResourceFork({{"alis", 0, 0, std::string(""), record}});
    writeFile(dir / name, "");
    std::string finder = finderInfo("alisMACS", flags) + std::string("\0\0ATTR\0\0\0\0", 10) + std::string(40, '\0');
    writeFile(dir / ("._" + name), writeTestAppleDouble({{9, finder}, {2, fork}}, "Mac OS X        "));
  }
  std::string recordFor(const fs::path& path) {
    return writeTestAliasRecord("Macintosh HD", path.filename().string(), {{18, path.string()}, {19, "/"}});
  }
  fs::path target;
};

TEST_F(AliasFileTest, ResolvesToTheTarget) {
  aliasFile("Holiday alias", recordFor(target));
  FSSpec s = fsRec("Holiday alias");
  ASSERT_TRUE(feResolveAlias(&s));
  FSRef targetRef;
  ASSERT_EQ(noErr, feMakeFSRefFromPath(cf(target.string()), &targetRef));
  FSSpec expected;
  ASSERT_EQ(noErr, feMakeFSSpecFromFSRef(&targetRef, &expected));
  EXPECT_EQ(expected.vRefNum, s.vRefNum);
  EXPECT_EQ(expected.parID, s.parID);
  EXPECT_EQ(0, std::memcmp(expected.name, s.name, size_t(expected.name[0]) + 1));
}

TEST_F(AliasFileTest, AnythingElseLeavesTheSpecUntouched) {
  std::string damaged = recordFor(target);
  damaged[6] = 9;  // version
  aliasFile("not an alias", recordFor(target), 0);
  aliasFile("missing target", recordFor(dir / "Pictures" / "gone.jpg"));
  aliasFile("damaged", damaged);
  writeFile(dir / "no fork", "");
  writeFile(dir / "._no fork", writeTestAppleDouble({{9, finderInfo("alisMACS", 0x8000)}}));
  // A program whose own resources hold an alias record must not lend it to a file without one.
  ownResources({{"alis", 0, 0, std::nullopt, recordFor(target)}});
  withFork("no record", writeTestResourceFork({{"STR ", 0, 0, std::nullopt, "x"}}), 0x8000);
  for (const char* name : {"not an alias", "missing target", "damaged", "no fork", "no record", "nothing here"}) {
    SCOPED_TRACE(name);
    FSSpec s = fsRec(name);
    const FSSpec before = s;
    const SInt16 current = CurResFile();
    EXPECT_FALSE(feResolveAlias(&s));
    EXPECT_EQ(0, std::memcmp(&before, &s, sizeof s));
    EXPECT_EQ(current, CurResFile());
  }
}

}  // namespace
