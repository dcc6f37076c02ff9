// The Resource Manager over AppleDouble resource forks, handles, plain resource forks and alias
// records, checked against an independent reader and writer of the published layouts.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "AliasRecord.h"
#include "ResourceFork.h"
#include "ResourceForkTestSupport.h"
#include "ResourcesInternal.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace velmtest;

namespace {

constexpr ResType kVers = FOUR_CHAR_CODE('v', 'e', 'r', 's');
constexpr ResType kStr = FOUR_CHAR_CODE('S', 'T', 'R', ' ');
constexpr ResType kAlis = FOUR_CHAR_CODE('a', 'l', 'i', 's');

std::string bytesOf(Handle h) { return std::string(*h, size_t(GetHandleSize(h))); }

class ResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = fs::canonical(makeTempDir("rsrc")); }

  // A file with the given resource fork (written by the independent writer) in its sidecar.
  std::string fileWithFork(const std::string& name, const std::string& fork) {
    writeFile(dir / name, "data fork");
    std::string finder = "TEXTttxt" + std::string(24, '\0');
    writeFile(dir / ("._" + name), writeTestAppleDouble({{9, finder}, {2, fork}}));
    return (dir / name).string();
  }
  std::string sidecar(const std::string& name) { return readFile(dir / ("._" + name)); }

  fs::path dir;
};

// ---------------------------------------------------------------------------------------------
// The format, both ways.

TEST_F(ResourcesTest, ReadsAForkWrittenByTheIndependentWriter) {
  std::vector<TestResource> resources = {
      {"STR ", 128, 0, std::string("greeting"), std::string("\x05hello", 6)},
      {"vers", 1, resPurgeable, std::nullopt, std::string("\x01\x20\x80\x00\x00\x00", 6)},
      {"STR ", -5, 0, std::string(""), ""},
  };
  std::string path = fileWithFork("a.txt", writeTestResourceFork(resources));
  ResFileRefNum ref = velm_files::openResFileAtPath(path, fsRdPerm);
  ASSERT_NE(-1, ref) << ResError();
  EXPECT_EQ(ref, CurResFile());
  EXPECT_EQ(2, Count1Resources(kStr));

  Handle greeting = Get1Resource(kStr, 128);
  ASSERT_NE(nullptr, greeting);
  EXPECT_EQ(std::string("\x05hello", 6), bytesOf(greeting));
  ResID id = 0;
  ResType type = 0;
  Str255 name;
  GetResInfo(greeting, &id, &type, name);
  EXPECT_EQ(128, id);
  EXPECT_EQ(kStr, type);
  EXPECT_EQ("greeting", std::string(reinterpret_cast<char*>(name + 1), name[0]));
  EXPECT_EQ(greeting, Get1Resource(kStr, 128)) << "the same handle until it is released";

  Handle empty = Get1Resource(kStr, -5);
  ASSERT_NE(nullptr, empty);
  EXPECT_EQ(0, GetHandleSize(empty));
  EXPECT_EQ(nullptr, Get1Resource(kStr, 129));
  EXPECT_EQ(resNotFound, ResError());
  CloseResFile(ref);
  EXPECT_EQ(noErr, ResError());
}

TEST_F(ResourcesTest, WrittenForksAreReadByTheIndependentReaderAndLsar) {
  std::string path = fileWithFork("w.txt", "");
  ASSERT_EQ(noErr, velm_files::createResFileAtPath(path));
  EXPECT_EQ(dupFNErr, velm_files::createResFileAtPath(path)) << "a fork exists now";
  ResFileRefNum ref = velm_files::openResFileAtPath(path, fsRdWrPerm);
  ASSERT_NE(-1, ref) << ResError();

  Handle one = NewHandle(0);
  ASSERT_EQ(noErr, PtrToHand("first", &one, 5));
  Handle two = nullptr;
  ASSERT_EQ(noErr, PtrToHand(std::string(700, 'x').data(), &two, 700));
  Handle three = nullptr;
  ASSERT_EQ(noErr, PtrToHand("\x03" "abc", &three, 4));
  AddResource(one, kStr, 1, reinterpret_cast<const unsigned char*>("\x04name"));
  ASSERT_EQ(noErr, ResError());
  AddResource(two, kVers, 2, reinterpret_cast<const unsigned char*>("\x00"));
  ASSERT_EQ(noErr, ResError());
  AddResource(three, kStr, -2, nullptr);
  ASSERT_EQ(noErr, ResError());
  AddResource(three, kStr, 3, nullptr);
  EXPECT_EQ(addResFailed, ResError()) << "a handle is one resource only";
  ReleaseResource(one);
  EXPECT_EQ(resAttrErr, ResError()) << "an added resource stays until it is written";
  CloseResFile(ref);
  ASSERT_EQ(noErr, ResError());

  std::string fork = entryOf(sidecar("w.txt"), 2);
  auto read = readTestResourceFork(fork);
  ASSERT_TRUE(read.has_value());
  std::vector<TestResource> expected = {
      {"STR ", 1, 0, std::string("name"), "first"},
      {"STR ", -2, 0, std::nullopt, "\x03" "abc"},
      {"vers", 2, 0, std::string(""), std::string(700, 'x')},
  };
  EXPECT_EQ(expected, *read);
  EXPECT_EQ("TEXTttxt", entryOf(sidecar("w.txt"), 9).substr(0, 8)) << "Finder information kept";

  int status = 0;
  std::string listing = runCommand("lsar -j '" + (dir / "._w.txt").string() + "' 2>&1", &status);
  EXPECT_EQ(0, status) << listing;
  EXPECT_NE(std::string::npos, listing.find("\"XADFileSize\": " + std::to_string(fork.size()))) << listing;
  EXPECT_NE(std::string::npos, listing.find("\"XADIsResourceFork\": 1")) << listing;
}

TEST_F(ResourcesTest, WritingKeepsEveryOtherSidecarEntryAndTheFiller) {
  // As the original platform writes them: Finder information with extended attributes after
  // its 32 bytes, an entry this layer does not know, the resource fork last.
  std::string finder = "JPEG8BIM" + std::string(24, '\0') + "ATTR\x01\x02\x03 extended attributes";
  std::string comment = "a comment entry";
  std::string filler = "Mac OS X        ";
  writeFile(dir / "k.jpg", "jpeg");
  writeFile(dir / "._k.jpg", writeTestAppleDouble({{9, finder}, {4, comment}, {2, writeTestResourceFork({})}}, filler));
  ResFileRefNum ref = velm_files::openResFileAtPath((dir / "k.jpg").string(), fsCurPerm);
  ASSERT_NE(-1, ref) << ResError();
  Handle h = nullptr;
  ASSERT_EQ(noErr, PtrToHand("v", &h, 1));
  AddResource(h, kVers, 1, nullptr);
  CloseResFile(ref);
  ASSERT_EQ(noErr, ResError());

  std::string after = sidecar("k.jpg");
  EXPECT_EQ(filler, after.substr(8, 16));
  auto entries = readTestAppleDouble(after);
  ASSERT_EQ(3u, entries.size());
  EXPECT_EQ(std::make_pair(9u, finder), entries[0]);
  EXPECT_EQ(std::make_pair(4u, comment), entries[1]);
  EXPECT_EQ(2u, entries[2].first);
  auto read = readTestResourceFork(entries[2].second);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ((std::vector<TestResource>{{"vers", 1, 0, std::nullopt, "v"}}), *read);
}

TEST_F(ResourcesTest, AFileThatIsOnlyReadIsNotWritten) {
  std::string fork = writeTestResourceFork({{"STR ", 1, 0, std::nullopt, "x"}});
  std::string path = fileWithFork("r.txt", fork);
  std::string before = sidecar("r.txt");
  ResFileRefNum ref = velm_files::openResFileAtPath(path, fsRdPerm);
  ASSERT_NE(-1, ref);
  Handle h = nullptr;
  ASSERT_EQ(noErr, PtrToHand("y", &h, 1));
  AddResource(h, kStr, 2, nullptr);
  EXPECT_EQ(addResFailed, ResError());
  DisposeHandle(h);
  Handle got = Get1Resource(kStr, 1);
  ASSERT_NE(nullptr, got);
  DetachResource(got);
  EXPECT_EQ(noErr, ResError());
  CloseResFile(ref);
  EXPECT_EQ(before, sidecar("r.txt"));
  EXPECT_EQ("x", bytesOf(got)) << "a detached resource belongs to the caller and outlives its file";
  DisposeHandle(got);
}

// ---------------------------------------------------------------------------------------------
// Malformed forks are refused, never followed.

struct BadFork {
  const char* what;
  std::string bytes;
};

std::string withBE(std::string fork, size_t at, uint32_t value, int width) {
  std::string v;
  putBE(v, value, width);
  return fork.replace(at, size_t(width), v);
}

std::vector<BadFork> badForks() {
  const std::string good = writeTestResourceFork({{"STR ", 1, 0, std::string("n"), "abcd"},
                                                  {"vers", 1, 0, std::nullopt, "ef"}});
  const size_t map = getBE(good, 4, 4);
  const size_t typeList = map + 28;
  return {
      {"shorter than its header", good.substr(0, 10)},
      {"data offset past the end", withBE(good, 0, 0xFFFFFF00u, 4)},
      {"map length past the end", withBE(good, 12, uint32_t(good.size()), 4)},
      {"data and map lengths that overflow 32 bits", withBE(withBE(good, 4, 0xFFFFFFF0u, 4), 12, 0x20, 4)},
      {"type list offset past the map", withBE(good, map + 24, 0xFFF0, 2)},
      {"more types than the map holds", withBE(good, typeList, 0x4000, 2)},
      {"a reference list past the map", withBE(good, typeList + 2 + 6, 0xFFF0, 2)},
      {"two types sharing one reference list", withBE(good, typeList + 2 + 8 + 6, getBE(good, typeList + 2 + 6, 2), 2)},
      {"a reference list holding every following list", withBE(good, typeList + 2 + 4, 0xFFFF, 2)},
      {"resource data past the data area", withBE(good, typeList + 2 + 16 + 5, 0xFFFFFF, 3)},
      {"a resource length past the data area", withBE(good, 256, 0xFFFFFFFFu, 4)},
      {"a name past the map", withBE(good, typeList + 2 + 16 + 2, 0xFF00, 2)},
      {"a map too short for its own header", withBE(good, 12, 20, 4)},
  };
}

TEST_F(ResourcesTest, MalformedForksFailWithMapReadErrAndAreLeftAlone) {
  for (const BadFork& bad : badForks()) {
    SCOPED_TRACE(bad.what);
    std::string path = fileWithFork("bad.txt", bad.bytes);
    std::string before = sidecar("bad.txt");
    EXPECT_EQ(-1, velm_files::openResFileAtPath(path, fsCurPerm));
    EXPECT_EQ(mapReadErr, ResError());
    EXPECT_EQ(before, sidecar("bad.txt"));
    velm_files::ResourceMapInfo map;
    EXPECT_EQ(mapReadErr, velm_files::readResourceMap(reinterpret_cast<const UInt8*>(bad.bytes.data()),
                                                       bad.bytes.size(), &map));
  }
}

TEST_F(ResourcesTest, OpeningWhatHasNoForkFails) {
  writeFile(dir / "plain.txt", "no sidecar");
  EXPECT_EQ(-1, velm_files::openResFileAtPath((dir / "plain.txt").string(), fsCurPerm));
  EXPECT_EQ(eofErr, ResError());
  EXPECT_EQ(-1, velm_files::openResFileAtPath((dir / "missing.txt").string(), fsCurPerm));
  EXPECT_EQ(fnfErr, ResError());
  writeFile(dir / "odd.txt", "x");
  writeFile(dir / "._odd.txt", "not AppleDouble at all");
  EXPECT_EQ(-1, velm_files::openResFileAtPath((dir / "odd.txt").string(), fsCurPerm));
  EXPECT_NE(noErr, ResError());
  EXPECT_NE(noErr, velm_files::createResFileAtPath((dir / "odd.txt").string()));
  EXPECT_EQ("not AppleDouble at all", sidecar("odd.txt"));
}

// ---------------------------------------------------------------------------------------------
// The chain.

TEST_F(ResourcesTest, GetResourceSearchesTheCurrentFileAndThoseOpenedBeforeIt) {
  std::string lower = fileWithFork("lower", writeTestResourceFork({{"STR ", 1, 0, std::nullopt, "lower 1"},
                                                                    {"STR ", 2, 0, std::nullopt, "lower 2"}}));
  std::string upper = fileWithFork("upper", writeTestResourceFork({{"STR ", 1, 0, std::nullopt, "upper 1"},
                                                                    {"STR ", 3, 0, std::nullopt, "upper 3"}}));
  const ResFileRefNum own = CurResFile();
  ResFileRefNum a = velm_files::openResFileAtPath(lower, fsRdPerm);
  ResFileRefNum b = velm_files::openResFileAtPath(upper, fsRdPerm);
  ASSERT_NE(-1, a);
  ASSERT_NE(-1, b);
  EXPECT_NE(a, b);
  EXPECT_EQ(b, CurResFile());
  EXPECT_EQ("upper 1", bytesOf(GetResource(kStr, 1)));
  EXPECT_EQ("lower 2", bytesOf(GetResource(kStr, 2)));
  EXPECT_EQ(nullptr, Get1Resource(kStr, 2)) << "Get1Resource looks in the current file only";

  UseResFile(a);
  EXPECT_EQ(a, CurResFile());
  EXPECT_EQ("lower 1", bytesOf(GetResource(kStr, 1)));
  EXPECT_EQ(nullptr, GetResource(kStr, 3)) << "files opened after the current one are not searched";
  EXPECT_EQ(resNotFound, ResError());

  UseResFile(12345);
  EXPECT_EQ(resFNotFound, ResError());
  EXPECT_EQ(a, CurResFile());

  // Closing a file that is not current keeps the current one; closing the current one makes
  // the file below it current.
  CloseResFile(b);
  EXPECT_EQ(a, CurResFile());
  ResFileRefNum c = velm_files::openResFileAtPath(upper, fsRdPerm);
  ASSERT_NE(-1, c);
  CloseResFile(c);
  EXPECT_EQ(a, CurResFile());
  CloseResFile(a);
  EXPECT_EQ(own, CurResFile());
  CloseResFile(a);
  EXPECT_EQ(resFNotFound, ResError());
  CloseResFile(0);
  EXPECT_EQ(noErr, ResError()) << "the program's own file is never closed";
  EXPECT_EQ(own, CurResFile());
}

TEST_F(ResourcesTest, OpeningAResourceFileTwice) {
  std::string path = fileWithFork("twice", writeTestResourceFork({{"STR ", 1, 0, std::nullopt, "x"}}));
  std::string other = fileWithFork("other", writeTestResourceFork({}));
  ResFileRefNum rw = velm_files::openResFileAtPath(path, fsRdWrPerm);
  ASSERT_NE(-1, rw);
  ResFileRefNum top = velm_files::openResFileAtPath(other, fsRdWrPerm);
  ASSERT_NE(-1, top);

  // With write access: the same path, and the current file stays.
  EXPECT_EQ(rw, velm_files::openResFileAtPath(path, fsRdWrPerm));
  EXPECT_EQ(noErr, ResError());
  EXPECT_EQ(rw, velm_files::openResFileAtPath(path, fsCurPerm));
  EXPECT_EQ(top, CurResFile());

  // Read-only: a path of its own, made current.
  ResFileRefNum ro = velm_files::openResFileAtPath(path, fsRdPerm);
  ASSERT_NE(-1, ro);
  EXPECT_NE(rw, ro);
  EXPECT_EQ(ro, CurResFile());
  CloseResFile(ro);
  EXPECT_EQ(top, CurResFile());
  CloseResFile(rw);
  EXPECT_EQ(noErr, ResError());
  CloseResFile(rw);
  EXPECT_EQ(resFNotFound, ResError()) << "one close closes the shared path";
  CloseResFile(top);
}

// ---------------------------------------------------------------------------------------------
// The program's own resource file.

TEST_F(ResourcesTest, TheProgramsOwnFileIsAtTheBottomOfTheChain) {
  fs::path bundle = dir / "tool";
  fs::create_directories(bundle);
  writeFile(bundle / "tool.rsrc", writeTestResourceFork({{"vers", 1, 0, std::nullopt, "own 1"},
                                                          {"vers", 3, 0, std::nullopt, "own 3"}}));
  ScopedEnv mainBundle("CF_MAIN_BUNDLE_PATH", bundle.c_str());
  const ResFileRefNum own = CurResFile();
  EXPECT_EQ("own 1", bytesOf(GetResource(kVers, 1)));
  std::string path = fileWithFork("f", writeTestResourceFork({{"vers", 1, 0, std::nullopt, "file 1"}}));
  ResFileRefNum ref = velm_files::openResFileAtPath(path, fsRdPerm);
  ASSERT_NE(-1, ref);
  EXPECT_EQ("file 1", bytesOf(GetResource(kVers, 1)));
  EXPECT_EQ("own 3", bytesOf(GetResource(kVers, 3)));
  UseResFile(0);
  EXPECT_EQ(own, CurResFile());
  Handle h = nullptr;
  ASSERT_EQ(noErr, PtrToHand("z", &h, 1));
  AddResource(h, kVers, 9, nullptr);
  EXPECT_EQ(addResFailed, ResError()) << "the program's own file is read-only";
  DisposeHandle(h);
  CloseResFile(ref);
}

TEST_F(ResourcesTest, VelmExportCarriesVersionResourcesOfTheProjectVersion) {
  for (const fs::path file : {fs::path(VELM_BINARY_DIR) / "share/velm-export/velm-export.rsrc",
                              fs::path(VELM_BINARY_DIR) / "lib/velm/Velm.bundle/Contents/Resources/Velm.rsrc"}) {
    SCOPED_TRACE(file.string());
    auto read = readTestResourceFork(readFile(file));
    ASSERT_TRUE(read.has_value());
    std::string version = VELM_VERSION;
    int major = std::stoi(version), minor = std::stoi(version.substr(version.find('.') + 1)),
        bugFix = std::stoi(version.substr(version.rfind('.') + 1));
    std::vector<int> ids;
    for (const TestResource& r : *read) {
      ASSERT_EQ("vers", r.type);
      ids.push_back(r.id);
      const std::string& v = r.data;
      ASSERT_GE(v.size(), 8u);
      EXPECT_EQ((major / 10) * 16 + major % 10, uint8_t(v[0]));
      EXPECT_EQ(minor * 16 + bugFix, uint8_t(v[1]));
      EXPECT_EQ(0x80, uint8_t(v[2])) << "final stage";
      EXPECT_EQ(0, v[3]);
      EXPECT_EQ(std::string(2, '\0'), v.substr(4, 2)) << "region code";
      size_t shortLength = uint8_t(v[6]);
      EXPECT_EQ(version, v.substr(7, shortLength));
      size_t longLength = uint8_t(v[7 + shortLength]);
      EXPECT_EQ(v.size(), 8 + shortLength + longLength);
      EXPECT_NE(std::string::npos, v.substr(8 + shortLength).find(version));
    }
    EXPECT_EQ((std::vector<int>{1, 2, 3}), ids);
  }
}

// ---------------------------------------------------------------------------------------------
// Plain resource forks.

TEST_F(ResourcesTest, APlainForkReadsAndWritesTheWholeForkBytes) {
  writeFile(dir / "p.txt", "data");
  SInt16 ref = 0;
  ASSERT_EQ(noErr, velm_files::openRFAtPath((dir / "p.txt").string(), fsRdWrPerm, &ref));
  long eof = -1;
  ASSERT_EQ(noErr, GetEOF(ref, &eof));
  EXPECT_EQ(0, eof);
  std::string bytes(1000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7);
  ParamBlockRec pb{};
  pb.ioParam.ioRefNum = ref;
  pb.ioParam.ioBuffer = bytes.data();
  pb.ioParam.ioReqCount = long(bytes.size());
  pb.ioParam.ioPosMode = fsFromStart;
  ASSERT_EQ(noErr, PBWriteSync(&pb));
  EXPECT_EQ(1000, pb.ioParam.ioActCount);
  ASSERT_EQ(noErr, FSClose(ref));
  EXPECT_EQ(bytes, entryOf(sidecar("p.txt"), 2));
  EXPECT_EQ("data", readFile(dir / "p.txt"));

  ASSERT_EQ(noErr, velm_files::openRFAtPath((dir / "p.txt").string(), fsRdPerm, &ref));
  std::string back(1200, '?');
  pb = ParamBlockRec{};
  pb.ioParam.ioRefNum = ref;
  pb.ioParam.ioBuffer = back.data();
  pb.ioParam.ioReqCount = 1200;
  pb.ioParam.ioPosMode = fsFromStart;
  pb.ioParam.ioPosOffset = 0;
  EXPECT_EQ(eofErr, PBReadSync(&pb)) << "a read past the end";
  EXPECT_EQ(1000, pb.ioParam.ioActCount);
  EXPECT_EQ(bytes, back.substr(0, 1000));
  pb.ioParam.ioReqCount = 1;
  EXPECT_EQ(wrPermErr, PBWriteSync(&pb));
  EXPECT_EQ(noErr, FSClose(ref));
  EXPECT_EQ(rfNumErr, FSClose(ref));
}

// ---------------------------------------------------------------------------------------------
// Handles.

TEST(HandlesTest, SizesGrowZeroFilledAndStaleHandlesAreRefused) {
  Handle h = NewHandleClear(3);
  ASSERT_NE(nullptr, h);
  EXPECT_EQ(3, GetHandleSize(h));
  std::memcpy(*h, "abc", 3);
  SetHandleSize(h, 6);
  ASSERT_EQ(noErr, MemError());
  EXPECT_EQ(std::string("abc\0\0\0", 6), std::string(*h, 6));
  DisposeHandle(h);
  EXPECT_EQ(0, GetHandleSize(h));
  EXPECT_EQ(nilHandleErr, MemError());
  DisposeHandle(h);
  EXPECT_EQ(nilHandleErr, MemError());
  EXPECT_EQ(nullptr, NewHandle(-1));
  EXPECT_EQ(memFullErr, MemError());
  Ptr p = NewPtrClear(16);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(std::string(16, '\0'), std::string(p, 16));
  DisposePtr(p);
}

// ---------------------------------------------------------------------------------------------
// Alias records.

class AliasRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::canonical(makeTempDir("alias"));
    fs::create_directories(dir / "Photos");
    writeFile(dir / "Photos" / "a:b.jpg", "target");
  }
  OSErr resolve(const std::string& record, std::string* path) {
    return velm_files::resolveAliasRecord(reinterpret_cast<const UInt8*>(record.data()), record.size(), path);
  }
  fs::path dir;
};

TEST_F(AliasRecordTest, ResolvesByPosixPathThenByColonPath) {
  const std::string target = (dir / "Photos" / "a:b.jpg").string();
  // The colon-separated path of this folder, from the root file system's volume name on.
  std::string colon = "Macintosh HD";
  for (const auto& part : fs::path(target).relative_path()) {
    std::string name = part.string();
    for (char& c : name)
      if (c == ':') c = '/';
    colon += ":" + name;
  }
  struct Case {
    const char* what;
    std::vector<std::pair<int16_t, std::string>> tags;
  };
  const Case cases[] = {
      {"POSIX path from the root", {{18, target}, {19, "/"}}},
      {"POSIX path below its mount point", {{18, target.substr(dir.string().size())}, {19, dir.string()}}},
      {"colon path when the POSIX path is gone", {{2, colon}, {18, "/no/such/file"}}},
      {"colon path alone", {{2, colon}}},
      {"colon path below the recorded mount point", {{2, "Photos Disk:Photos:a/b.jpg"}, {19, dir.string()}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string volume = std::string(c.tags[0].second).rfind("Photos Disk", 0) == 0 ? "Photos Disk" : "Macintosh HD";
    std::string path;
    EXPECT_EQ(noErr, resolve(writeTestAliasRecord(volume, "a/b.jpg", c.tags), &path));
    EXPECT_EQ(target, path);
  }
}

TEST_F(AliasRecordTest, MissingTargetsAndDamagedRecordsFail) {
  std::string path = "unchanged";
  EXPECT_EQ(fnfErr, resolve(writeTestAliasRecord("Macintosh HD", "gone", {{18, "/no/such/item"}, {2, "Macintosh HD:no:such"}}), &path));
  const std::string good = writeTestAliasRecord("Macintosh HD", "x", {{18, (dir / "Photos").string()}});
  ASSERT_EQ(noErr, resolve(good, &path));
  struct Case {
    const char* what;
    std::string record;
  };
  std::string version3 = good;
  version3[7] = 3;
  std::string longTag = good;
  longTag[150 + 2] = char(0x7F);  // the first tag claims more than the record holds
  std::string bigSize = good;
  bigSize[4] = char(0x7F);
  std::string longName = good;
  longName[10] = char(40);  // a volume name longer than its field
  std::string relative = writeTestAliasRecord("Macintosh HD", "x", {{18, "relative/path"}, {19, "nowhere"}});
  std::string zero = writeTestAliasRecord("Macintosh HD", "x", {{18, std::string("/tmp\0/x", 7)}});
  const Case cases[] = {
      {"shorter than its header", good.substr(0, 100)},
      {"another version", version3},
      {"a tag longer than the record", longTag},
      {"a record size past the bytes", bigSize},
      {"a name longer than its field", longName},
      {"a cut tag header", good.substr(0, good.size() - 2).replace(4, 2, std::string{char(0), char(good.size() - 2)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    path = "unchanged";
    EXPECT_EQ(paramErr, resolve(c.record, &path));
    EXPECT_EQ("unchanged", path);
  }
  EXPECT_EQ(fnfErr, resolve(relative, &path)) << "relative paths are never tried";
  EXPECT_EQ(fnfErr, resolve(zero, &path)) << "a path with a zero byte is never tried";
}

}  // namespace
