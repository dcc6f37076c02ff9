#include "Foundation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

// A folder we may keep private files in: a real folder (no link), ours, closed to others.
bool isPrivateFolder(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

std::string privateTemporaryFolder() {
  std::string base;
  if (const char* cache = getenv("XDG_CACHE_HOME"); cache && cache[0] == '/') {
    base = cache;
  } else if (const char* home = getenv("HOME"); home && home[0] == '/') {
    base = std::string(home) + "/.cache";
  }
  if (!base.empty()) {
    std::string path = base + "/tmp";
    mkdir(base.c_str(), 0700);
    if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
      if (isPrivateFolder(path)) return path + "/";
    }
  }
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/user-" + std::to_string(geteuid()) + "-XXXXXX";
  if (mkdtemp(pattern.data())) return pattern + "/";
  return {};
}

}  // namespace

CFStringRef NSTemporaryDirectory() {
  static const CFStringRef path = [] {
    std::string p = privateTemporaryFolder();
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(p.data()), static_cast<CFIndex>(p.size()),
                                   kCFStringEncodingUTF8, false);
  }();
  return path;
}
