// MD5 digests against the RFC 1321 test suite and the openssl command.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "TestSupport.h"
#include "checkSum.h"
#include "stringEngine.h"

namespace {

std::string take(CFStringRef s) {
  char buf[64] = "<null>";
  if (s) CFStringGetCString(s, buf, sizeof buf, kCFStringEncodingUTF8);
  ORBStringRelease(&s);
  return buf;
}

TEST(MD5, Rfc1321SuiteInLowerCase) {
  const std::pair<const char*, const char*> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (auto [text, digest] : suite) {
    EXPECT_EQ(take(csMakeMD5OfData(text, static_cast<UInt32>(strlen(text)))), digest) << text;
    CFStringRef s = ORBStringFromUTF8(text, static_cast<SInt32>(strlen(text)));
    EXPECT_EQ(take(csMakeMD5OfString(s)), digest) << text;
    ORBStringRelease(&s);
  }
}

TEST(MD5, StringsHashTheirUtf8Bytes) {
  CFStringRef e = ORBStringFromUTF8("\xC3\xA9", 2);
  EXPECT_EQ(take(csMakeMD5OfString(e)), take(csMakeMD5OfData("\xC3\xA9", 2)));
  ORBStringRelease(&e);
  const std::string empty = "d41d8cd98f00b204e9800998ecf8427e";
  EXPECT_EQ(take(csMakeMD5OfString(nullptr)), empty);
  const UniChar lone[] = {0xD800};
  CFStringRef bad = ORBStringFromUTF16(lone, 1);
  EXPECT_EQ(take(csMakeMD5OfString(bad)), empty);
  ORBStringRelease(&bad);
}

TEST(MD5, AgreesWithOpensslOnRandomBuffers) {
  std::mt19937 rng(1321);
  auto dir = velmtest::makeTempDir("md5");
  for (size_t size : {1ul, 55ul, 56ul, 63ul, 64ul, 65ul, 1000ul, 100000ul, 1048577ul}) {
    std::string buf(size, '\0');
    for (auto& c : buf) c = static_cast<char>(rng());
    auto file = dir / ("buf" + std::to_string(size));
    velmtest::writeFile(file, buf);
    int status = -1;
    std::string out = velmtest::runCommand("openssl dgst -md5 -r " + file.string(), &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(take(csMakeMD5OfData(buf.data(), static_cast<UInt32>(buf.size()))), out.substr(0, 32)) << size;
  }
}

TEST(Checksums, CompareAndText) {
  Checksum a{{0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0, 0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72}};
  Checksum b = a;
  EXPECT_EQ(csIsSameChecksum(&a, &a), 1);
  EXPECT_EQ(csIsSameChecksum(&a, &b), 1);
  b.bytes[15] ^= 1;
  EXPECT_EQ(csIsSameChecksum(&a, &b), 0);
  b = a;
  b.bytes[0] ^= 0x80;
  EXPECT_EQ(csIsSameChecksum(&a, &b), 0);
  EXPECT_EQ(take(csMakeStringFromChecksum(&a)), "900150983cd24fb0d6963f7d28e17f72");
  csTester();  // writes to the log; must not crash
}

}  // namespace

// ---- File checksums -------------------------------------------------------------------------

namespace {

using velmtest::makeTempDir;
using velmtest::runCommand;

struct Progress {
  int calls = 0;
  std::function<void()> action;
};

void countCall(void* argument) {
  auto* p = static_cast<Progress*>(argument);
  ++p->calls;
  if (p->action) p->action();
}

// A sparse file of the size with a few marked bytes, so that every window has its own contents.
std::filesystem::path sparseFile(const std::filesystem::path& dir, const std::string& name, UInt64 size) {
  std::filesystem::path path = dir / name;
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(0, ftruncate(fd, static_cast<off_t>(size)));
  for (UInt64 at = 0; at < size; at += 7 * 1024 * 1024 + 13) {
    std::string mark = "mark@" + std::to_string(at);
    UInt64 room = size - at < mark.size() ? size - at : mark.size();
    EXPECT_EQ(ssize_t(room), pwrite(fd, mark.data(), room, static_cast<off_t>(at)));
  }
  if (size > 0) {
    EXPECT_EQ(1, pwrite(fd, "!", 1, static_cast<off_t>(size - 1)));
  }
  close(fd);
  return path;
}

std::string opensslMD5(const std::filesystem::path& path) {
  int status = -1;
  std::string out = runCommand("openssl dgst -md5 -r '" + path.string() + "'", &status);
  EXPECT_EQ(0, status);
  return out.substr(0, 32);
}

FSRef refTo(const std::filesystem::path& path) {
  FSRef ref{};
  EXPECT_EQ(noErr, FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &ref, nullptr));
  return ref;
}

TEST(FileChecksum, AgreesWithOpensslAcrossWindowBoundaries) {
  const std::filesystem::path dir = makeTempDir("cs");
  constexpr UInt64 MiB = 1024 * 1024;
  const struct {
    const char* what;
    UInt64 size;
    int callbacks;
  } cases[] = {
      {"empty", 0, 0},
      {"a few bytes", 3, 0},
      {"exactly one window", 64 * MiB, 0},
      {"one byte into the second window", 64 * MiB + 1, 1},
      {"64, 64, 64 and 8 MiB", 200 * MiB, 3},
  };
  for (const auto& c : cases) {
    std::filesystem::path path = sparseFile(dir, "f", c.size);
    Checksum digest;
    std::memset(&digest, 0xEE, sizeof digest);
    Progress progress;
    ASSERT_EQ(0, csGetCheckSum(refTo(path), &digest, countCall, &progress)) << c.what;
    EXPECT_EQ(opensslMD5(path), take(csMakeStringFromChecksum(&digest))) << c.what;
    EXPECT_EQ(c.callbacks, progress.calls) << c.what;
    // Without a callback the same digest comes out.
    Checksum again;
    ASSERT_EQ(0, csGetCheckSum(refTo(path), &again, nullptr, nullptr)) << c.what;
    EXPECT_EQ(1, csIsSameChecksum(&digest, &again)) << c.what;
  }
}

TEST(FileChecksum, FailuresLeaveTheDigestUntouched) {
  const std::filesystem::path dir = makeTempDir("csfail");
  Checksum untouched;
  std::memset(&untouched, 0x5A, sizeof untouched);

  // A reference whose file is gone: the path lookup's status.
  velmtest::writeFile(dir / "gone", "x");
  FSRef gone = refTo(dir / "gone");
  std::filesystem::remove(dir / "gone");
  Checksum digest = untouched;
  EXPECT_EQ(fnfErr, csGetCheckSum(gone, &digest, nullptr, nullptr));
  EXPECT_EQ(1, csIsSameChecksum(&digest, &untouched));

  // A file that cannot be opened.
  if (geteuid() != 0) {
    velmtest::writeFile(dir / "locked", "secret");
    std::filesystem::permissions(dir / "locked", std::filesystem::perms::none);
    EXPECT_EQ(-1, csGetCheckSum(refTo(dir / "locked"), &digest, nullptr, nullptr));
    EXPECT_EQ(1, csIsSameChecksum(&digest, &untouched));
  }
}

TEST(FileChecksum, AFileCutWhileItIsHashedIsAnErrorNotACrash) {
  const std::filesystem::path dir = makeTempDir("csshrink");
  constexpr UInt64 MiB = 1024 * 1024;
  std::filesystem::path path = sparseFile(dir, "shrinks", 130 * MiB);
  Checksum untouched;
  std::memset(&untouched, 0x5A, sizeof untouched);
  Checksum digest = untouched;
  // After the first window the file loses most of the second one: its pages are gone when they
  // are read.
  Progress progress;
  progress.action = [&] { ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(64 * MiB + 10))); };
  EXPECT_EQ(eofErr, csGetCheckSum(refTo(path), &digest, countCall, &progress));
  EXPECT_EQ(1, progress.calls);
  EXPECT_EQ(1, csIsSameChecksum(&digest, &untouched));
  // The file is hashed as it is now afterwards.
  ASSERT_EQ(0, csGetCheckSum(refTo(path), &digest, nullptr, nullptr));
  EXPECT_EQ(opensslMD5(path), take(csMakeStringFromChecksum(&digest)));
}

}  // namespace
