#include "Text.h"
#include "ExportHost.h"
#include "Renderer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace fs = std::filesystem;

CFRef<CFDictionaryRef> HostExportManager::propertiesWithoutThumbnailForImageAtIndex(unsigned index) {
  return CFRef<CFDictionaryRef>(library_.copyExportProperties(index));
}

std::shared_ptr<PROAPIObject> HostAPIManager::apiForProtocol(const Protocol& protocol) {
  if (protocol == typeid(ApertureExportManager)) return std::static_pointer_cast<ApertureExportManager>(exportManager);
  if (protocol == typeid(ApertureExportResults)) return std::static_pointer_cast<ApertureExportResults>(exportManager);
  return nullptr;
}

void HostExportManager::exportManagerDidExportImageAtIndex(unsigned index, SInt32 code, CFStringRef address,
                                                           CFStringRef reason) {
  PhotoOutcome outcome;
  outcome.state = code == 0 ? PhotoOutcome::Uploaded : PhotoOutcome::Failed;
  outcome.code = code;
  outcome.address = velmexport::utf8(address);
  outcome.reason = velmexport::utf8(reason);
  if (onOutcome) onOutcome(index, outcome);
}

using velmexport::cfString;
using velmexport::utf8;

namespace {

// The file's bytes, read straight into a new data object; null when it cannot be read.
CFRef<CFDataRef> readWhole(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return {};
  CFRef<CFMutableDataRef> data(CFDataCreateMutable(nullptr, 0));
  struct stat st {};
  bool ok = data && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  CFIndex done = 0;
  if (ok && st.st_size > 0) CFDataSetLength(data.get(), static_cast<CFIndex>(st.st_size));
  while (ok) {
    if (done == CFDataGetLength(data.get())) CFDataIncreaseLength(data.get(), 65536);  // the file grew
    ssize_t n = read(fd, CFDataGetMutableBytePtr(data.get()) + done, static_cast<size_t>(CFDataGetLength(data.get()) - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    done += n;
  }
  close(fd);
  if (!ok) return {};
  CFDataSetLength(data.get(), done);
  return CFRef<CFDataRef>(data.release());
}

}  // namespace

void runExportImages(ApertureExportPlugIn& plugIn, const PhotoLibrary& library, HostExportManager& manager,
                     const std::function<void(unsigned index, const std::string&)>& failure,
                     const std::function<void(unsigned index)>& starting, const ExportSettings& settings) {
  const std::string destination = utf8(plugIn.destinationPath());
  plugIn.exportManagerWillBeginExportToPath(plugIn.destinationPath());
  for (unsigned index = 0; index < library.count(); ++index) {
    if (manager.cancelled) return;
    if (!plugIn.exportManagerShouldExportImageAtIndex(index)) continue;
    plugIn.exportManagerWillExportImageAtIndex(index);
    PhotoLibrary::Photo photo = library.photo(index);
    std::string relative = renderedFileName(photo);
    if (destination.empty()) {
      failure(index, relative + ": the plug-in named no export folder");
      continue;
    }
    const std::string target = (fs::path(destination) / relative).string();
    std::string why;
    if (!renderVersion(library, index, target, settings, &why)) {
      failure(index, why);
      continue;
    }
    CFRef<CFDataRef> data = readWhole(target);
    if (!data) {
      unlink(target.c_str());
      failure(index, relative + ": cannot be read back from the export folder " + destination);
      continue;
    }
    CFRef<CFStringRef> relativePath = cfString(relative);
    if (!plugIn.exportManagerShouldWriteImageData(data.get(), relativePath.get(), index)) {
      unlink(target.c_str());
      continue;
    }
    if (starting) starting(index);
    plugIn.exportManagerDidWriteImageDataToRelativePath(relativePath.get(), index);
  }
  if (!manager.cancelled) plugIn.exportManagerDidFinishExport();
}
