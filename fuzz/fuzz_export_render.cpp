// libFuzzer target for velm-export's rendering of camera RAW and HEIF files: LibRaw's reading
// and development of the RAW, libheif's reading of a HEIF file's XMP, the decoding and
// re-encoding of the picture with its metadata, and the size photo preparation would give.
//
// The first input byte chooses the file's extension (and with bit 3 whether the position is
// left out); the rest is the file.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ExportSettings.h"
#include "FuzzScratch.h"
#include "HeifMetadata.h"
#include "PhotoLibrary.h"
#include "Renderer.h"

namespace {

const char* const kExtensions[] = {".dng", ".heic", ".cr2", ".nef", ".avif", ".arw", ".orf", ".rw2"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string photo = fuzzscratch::folder("render") + "/photo" + kExtensions[data[0] % 8];
  fuzzscratch::writeFile(photo, data + 1, size - 1);
  (void)heifXmpPacket(photo);
  (void)isRawPhoto(photo);
  int width = 0, height = 0;
  (void)renderedSize(photo, 64, &width, &height);

  PhotoLibrary library;
  std::string why;
  if (library.add(photo, &why)) {
    ExportSettings settings;
    settings.noLocation = (data[0] & 8) != 0;
    const std::string rendered = fuzzscratch::folder("render") + "/rendered" + renderedExtension(library.photo(0));
    (void)renderVersion(library, 0, rendered, settings, &why);
    unlink(rendered.c_str());
  }
  unlink(photo.c_str());
  return 0;
}
