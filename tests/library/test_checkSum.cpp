// MD5 digests against the RFC 1321 test suite and the openssl command.
#include <gtest/gtest.h>

#include <cstring>
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
