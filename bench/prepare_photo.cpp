// prepare-photo SIZE FILE...: prepares each photo at SIZE pixels as the plug-in does before an
// upload, and exits; 1 when one cannot be prepared. bench_resizePhoto times this program and
// takes its peak memory: a process that does nothing but prepare photos.
#include <cstdlib>

#include "CoreServices.h"
#include "ImageIO.h"
#include "resizePhotoFileAs.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  SInt32 size = std::atoi(argv[1]);
  for (int i = 2; i < argc; ++i) {
    FSRef ref;
    if (FSPathMakeRef(reinterpret_cast<const UInt8*>(argv[i]), &ref, nullptr) != noErr) return 1;
    CFRef<CFMutableDataRef> jpeg(resizePhotoFileAs(&ref, size, kUTTypeJPEG));
    if (!jpeg || CFDataGetLength(jpeg.get()) == 0) return 1;
  }
  return 0;
}
