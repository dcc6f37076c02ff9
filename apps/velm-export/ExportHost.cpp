#include "Text.h"
#include "ExportHost.h"

#include <filesystem>
#include <fstream>
#include <iterator>

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

bool readWhole(const std::string& path, std::string& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

bool writeWhole(const fs::path& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  f.close();
  return !f.fail();
}

}  // namespace

void runExportImages(ApertureExportPlugIn& plugIn, const PhotoLibrary& library, HostExportManager& manager,
                     const std::function<void(unsigned index, const std::string&)>& failure,
                     const std::function<void(unsigned index)>& starting) {
  const std::string destination = utf8(plugIn.destinationPath());
  plugIn.exportManagerWillBeginExportToPath(plugIn.destinationPath());
  for (unsigned index = 0; index < library.count(); ++index) {
    if (manager.cancelled) return;
    if (!plugIn.exportManagerShouldExportImageAtIndex(index)) continue;
    plugIn.exportManagerWillExportImageAtIndex(index);
    PhotoLibrary::Photo photo = library.photo(index);
    // The version is "rendered" as the photo's own file, named after the version.
    std::string relative = photo.versionName + photo.extension;
    std::string bytes;
    if (!readWhole(photo.path, bytes)) {
      failure(index, photo.path + ": cannot be read");
      continue;
    }
    CFRef<CFDataRef> data(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                       static_cast<CFIndex>(bytes.size())));
    CFRef<CFStringRef> relativePath = cfString(relative);
    if (!plugIn.exportManagerShouldWriteImageData(data.get(), relativePath.get(), index)) continue;
    if (destination.empty() || !writeWhole(fs::path(destination) / relative, bytes)) {
      failure(index, relative + ": cannot be written into the export folder " + destination);
      continue;
    }
    if (starting) starting(index);
    plugIn.exportManagerDidWriteImageDataToRelativePath(relativePath.get(), index);
  }
  if (!manager.cancelled) plugIn.exportManagerDidFinishExport();
}
