#include "Renderer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ImageIO.h"
#include "Text.h"

namespace fs = std::filesystem;
using velmexport::cfString;

namespace {

bool readWhole(const std::string& path, std::string& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

// Writes bytes to a new file at path: through a temporary file made exclusively beside it,
// renamed over path when complete, so that no link planted at either name is followed.
bool writeNew(const std::string& path, const std::string& bytes) {
  std::string pattern = (fs::path(path).parent_path() / ("." + fs::path(path).filename().string() + ".XXXXXX")).string();
  int fd = mkstemp(pattern.data());
  if (fd < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = close(fd) == 0 && ok;
  if (ok) ok = std::rename(pattern.c_str(), path.c_str()) == 0;
  if (!ok) unlink(pattern.c_str());
  return ok;
}

long numberOf(CFDictionaryRef d, CFStringRef key) {
  auto n = static_cast<CFNumberRef>(d ? CFDictionaryGetValue(d, key) : nullptr);
  long v = 0;
  if (n && CFGetTypeID(n) == CFNumberGetTypeID()) CFNumberGetValue(n, kCFNumberLongType, &v);
  return v;
}

}  // namespace

std::string renderedExtension(const PhotoLibrary::Photo& photo) { return photo.extension; }

bool renderVersion(const PhotoLibrary& library, size_t index, const std::string& destination,
                   const ExportSettings& settings, std::string* error) {
  (void)settings;
  PhotoLibrary::Photo photo = library.photo(index);
  std::string bytes;
  if (photo.path.empty() || !readWhole(photo.path, bytes)) {
    if (error) *error = photo.path + ": cannot be read";
    return false;
  }
  if (!writeNew(destination, bytes)) {
    if (error) *error = destination + ": cannot be written (" + strerror(errno) + ")";
    return false;
  }
  return true;
}

bool renderedSize(const std::string& path, int maxSize, int* width, int* height) {
  CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.data()),
                                                              static_cast<CFIndex>(path.size()), false));
  CFRef<CGImageSourceRef> source(url ? CGImageSourceCreateWithURL(url.get(), nullptr) : nullptr);
  if (!source || CGImageSourceGetCount(source.get()) == 0) return false;
  CFRef<CFDictionaryRef> props(CGImageSourceCopyPropertiesAtIndex(source.get(), 0, nullptr));
  long w = numberOf(props.get(), kCGImagePropertyPixelWidth), h = numberOf(props.get(), kCGImagePropertyPixelHeight);
  if (w <= 0 || h <= 0) return false;
  long longest = std::max(w, h);
  if (maxSize > 0) {
    if (numberOf(props.get(), kCGImagePropertyOrientation) >= 5) std::swap(w, h);
    if (longest > maxSize) {
      double scale = static_cast<double>(maxSize) / static_cast<double>(longest);
      w = std::max(1L, std::lround(static_cast<double>(w) * scale));
      h = std::max(1L, std::lround(static_cast<double>(h) * scale));
    }
  }
  *width = static_cast<int>(w);
  *height = static_cast<int>(h);
  return true;
}
