#include "Text.h"
#include "ExportHost.h"
#include "Renderer.h"

#include <malloc.h>
#include <unistd.h>

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

void tuneMemoryForExports() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 128 << 20);
  mallopt(M_ARENA_MAX, 2);
}

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
    std::string why, bytes;
    if (!renderVersion(library, index, target, settings, &why, &bytes)) {
      failure(index, why);
      continue;
    }
    // The plug-in gets the bytes just written to the file, without reading them back.
    CFRef<CFDataRef> data(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                       static_cast<CFIndex>(bytes.size())));
    std::string().swap(bytes);
    if (!data) {
      unlink(target.c_str());
      failure(index, relative + ": not enough memory to hand it to the plug-in");
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
