// mkvers OUTPUT MAJOR MINOR BUGFIX FILE-NAME PRODUCT-NAME: writes a resource file (in its data
// fork) holding the version resources of a program or bundle, built from the project's version:
//   'vers' 1  the file's version ("FILE-NAME VERSION" as its long version string),
//   'vers' 2  the product's version ("PRODUCT-NAME VERSION"),
//   'vers' 3  the product's version again, the one handed on to files the program creates.
// Each in the published 'vers' layout: the major version in BCD, the minor and bug-fix versions
// in one BCD byte, the release stage (final), the pre-release revision (0), the region code (0),
// the short and the long version string (Pascal strings, MacRoman).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ResourceFork.h"

namespace {

UInt8 bcd(int value) { return UInt8(((value / 10) % 10) << 4 | (value % 10)); }

std::vector<UInt8> versResource(int major, int minor, int bugFix, const std::string& shortVersion,
                                const std::string& longVersion) {
  std::vector<UInt8> v = {bcd(major), UInt8((minor % 10) << 4 | (bugFix % 10)), 0x80, 0, 0, 0};
  v.push_back(UInt8(shortVersion.size()));
  v.insert(v.end(), shortVersion.begin(), shortVersion.end());
  v.push_back(UInt8(longVersion.size()));
  v.insert(v.end(), longVersion.begin(), longVersion.end());
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: mkvers OUTPUT MAJOR MINOR BUGFIX FILE-NAME PRODUCT-NAME\n");
    return 2;
  }
  const int major = std::atoi(argv[2]), minor = std::atoi(argv[3]), bugFix = std::atoi(argv[4]);
  if (major < 0 || major > 99 || minor < 0 || minor > 9 || bugFix < 0 || bugFix > 9) {
    std::fprintf(stderr, "mkvers: the 'vers' layout holds versions up to 99.9.9\n");
    return 2;
  }
  const std::string version = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(bugFix);
  const std::string fileLong = std::string(argv[5]) + " " + version;
  const std::string productLong = std::string(argv[6]) + " " + version;
  if (fileLong.size() > 255 || productLong.size() > 255) {
    std::fprintf(stderr, "mkvers: a version string is longer than 255 bytes\n");
    return 2;
  }
  const std::vector<UInt8> vers1 = versResource(major, minor, bugFix, version, fileLong);
  const std::vector<UInt8> vers2 = versResource(major, minor, bugFix, version, productLong);
  std::vector<velm_files::ResourceData> resources;
  for (auto [id, bytes] : {std::pair<SInt16, const std::vector<UInt8>*>{1, &vers1}, {2, &vers2}, {3, &vers2}}) {
    velm_files::ResourceData r;
    r.type = FOUR_CHAR_CODE('v', 'e', 'r', 's');
    r.id = id;
    r.data = bytes->data();
    r.length = bytes->size();
    resources.push_back(r);
  }
  std::vector<UInt8> fork;
  if (velm_files::writeResourceFork(resources, 0, &fork) != noErr) {
    std::fprintf(stderr, "mkvers: the resources do not fit a resource file\n");
    return 1;
  }
  const std::string output = argv[1];
  const std::string temp = output + ".tmp";
  FILE* f = std::fopen(temp.c_str(), "wb");
  if (!f) {
    std::perror(temp.c_str());
    return 1;
  }
  bool ok = std::fwrite(fork.data(), 1, fork.size(), f) == fork.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok || std::rename(temp.c_str(), output.c_str()) != 0) {
    std::perror(output.c_str());
    std::remove(temp.c_str());
    return 1;
  }
  return 0;
}
