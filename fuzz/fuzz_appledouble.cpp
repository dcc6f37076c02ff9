// libFuzzer target for AppleDouble sidecars ("._name") as the File Manager reads them: the
// Finder information and the resource fork's size of an item, and the Finder information
// written into a sidecar that is already there (whatever else it holds is kept).
//
// The input is the sidecar file.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CoreServices.h"

namespace {

const std::string& folder() {
  static const std::string path = [] {
    std::string templ = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/fuzz-appledouble-XXXXXX";
    if (!mkdtemp(templ.data())) std::abort();
    return templ;
  }();
  return path;
}

bool writeFile(const std::string& path, const uint8_t* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = size == 0 || write(fd, data, size) == static_cast<ssize_t>(size);
  close(fd);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string item = folder() + "/item";
  const std::string sidecar = folder() + "/._item";
  if (!writeFile(item, nullptr, 0) || !writeFile(sidecar, data, size)) std::abort();

  FSRef ref;
  if (FSPathMakeRef(reinterpret_cast<const UInt8*>(item.c_str()), &ref, nullptr) == noErr) {
    FSCatalogInfo info;
    (void)FSGetCatalogInfo(&ref, kFSCatInfoGettableInfo, &info, nullptr, nullptr, nullptr);
  }

  // A new item where a sidecar is left over: its Finder information goes into that sidecar.
  unlink(item.c_str());
  FSRef parent;
  if (FSPathMakeRef(reinterpret_cast<const UInt8*>(folder().c_str()), &parent, nullptr) == noErr) {
    FSCatalogInfo info;
    std::memset(&info, 0, sizeof info);
    std::memcpy(info.finderInfo, "JPEGVelm", 8);
    const UniChar name[] = {'i', 't', 'e', 'm'};
    FSRef created;
    if (FSCreateFileUnicode(&parent, 4, name, kFSCatInfoFinderInfo, &info, &created, nullptr) == noErr) {
      FSCatalogInfo back;
      if (FSGetCatalogInfo(&created, kFSCatInfoFinderInfo | kFSCatInfoRsrcSizes, &back, nullptr, nullptr, nullptr) ==
              noErr &&
          std::memcmp(back.finderInfo, "JPEGVelm", 8) != 0)
        std::abort();  // what was written must read back
    }
  }
  unlink(item.c_str());
  unlink(sidecar.c_str());
  return 0;
}
