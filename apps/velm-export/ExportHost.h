// The host side of an export: the API manager and export manager velm-export hands to the
// plug-in, and the run of one export through the plug-in's ApertureExportPlugIn operations.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "ApertureExportPlugIn.h"
#include "PhotoLibrary.h"

// What the plug-in may ask of the host during an export of the library's photos.
class HostExportManager : public ApertureExportManager {
 public:
  explicit HostExportManager(const PhotoLibrary& library) : library_(library) {}

  unsigned imageCount() override { return static_cast<unsigned>(library_.count()); }
  CFRef<CFDictionaryRef> propertiesWithoutThumbnailForImageAtIndex(unsigned index) override;
  void shouldBeginExport() override { began = true; }
  void shouldFinishExport() override { finished = true; }
  void shouldCancelExport() override { cancelled = true; }

  std::atomic<bool> began{false};
  std::atomic<bool> finished{false};
  std::atomic<bool> cancelled{false};

 private:
  const PhotoLibrary& library_;
};

class HostAPIManager : public PROAPIManager {
 public:
  explicit HostAPIManager(const PhotoLibrary& library) : exportManager(std::make_shared<HostExportManager>(library)) {}
  std::shared_ptr<PROAPIObject> apiForProtocol(const Protocol& protocol) override;

  std::shared_ptr<HostExportManager> exportManager;
};

// Runs the images of an export the plug-in agreed to begin: for each one the host asks the
// plug-in, writes the photo's file into the plug-in's destination folder under the version's
// name and tells the plug-in; then it reports the end. Stops early (without the end) when the
// export manager was told to cancel. `failure` receives what the host itself could not do.
void runExportImages(ApertureExportPlugIn& plugIn, const PhotoLibrary& library, HostExportManager& manager,
                     const std::function<void(const std::string&)>& failure);
