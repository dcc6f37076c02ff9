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
#include "HeifMetadata.h"
#include "PhotoLibrary.h"
#include "Renderer.h"

namespace {

const std::string& folder() {
  static const std::string path = [] {
    std::string templ = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/fuzz-render-XXXXXX";
    if (!mkdtemp(templ.data())) std::abort();
    return templ;
  }();
  return path;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  close(fd);
}

const char* const kExtensions[] = {".dng", ".heic", ".cr2", ".nef", ".avif", ".arw", ".orf", ".rw2"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string photo = folder() + "/photo" + kExtensions[data[0] % 8];
  writeFile(photo, data + 1, size - 1);
  (void)heifXmpPacket(photo);
  (void)isRawPhoto(photo);
  int width = 0, height = 0;
  (void)renderedSize(photo, 64, &width, &height);

  PhotoLibrary library;
  std::string why;
  if (library.add(photo, &why)) {
    ExportSettings settings;
    settings.noLocation = (data[0] & 8) != 0;
    const std::string rendered = folder() + "/rendered" + renderedExtension(library.photo(0));
    (void)renderVersion(library, 0, rendered, settings, &why);
    unlink(rendered.c_str());
  }
  unlink(photo.c_str());
  return 0;
}
