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
#include "FuzzScratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string item = fuzzscratch::folder("appledouble") + "/item";
  const std::string sidecar = fuzzscratch::folder("appledouble") + "/._item";
  fuzzscratch::writeFile(item, nullptr, 0);
  fuzzscratch::writeFile(sidecar, data, size);

  FSRef ref;
  if (FSPathMakeRef(reinterpret_cast<const UInt8*>(item.c_str()), &ref, nullptr) == noErr) {
    FSCatalogInfo info;
    (void)FSGetCatalogInfo(&ref, kFSCatInfoGettableInfo, &info, nullptr, nullptr, nullptr);
  }

  // A new item where a sidecar is left over: its Finder information goes into that sidecar.
  unlink(item.c_str());
  FSRef parent;
  if (FSPathMakeRef(reinterpret_cast<const UInt8*>(fuzzscratch::folder("appledouble").c_str()), &parent, nullptr) == noErr) {
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
