// The host side of an export: the API manager and export manager velm-export hands to the
// plug-in, and the run of one export through the plug-in's ApertureExportPlugIn operations.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "ApertureExportPlugIn.h"
#include "ExportSettings.h"
#include "PhotoLibrary.h"

// What one photo of an export came to.
struct PhotoOutcome {
  enum State { NotExported, Uploaded, Failed } state = NotExported;
  SInt32 code = 0;       // the plug-in's code for a failure
  std::string address;   // the photo's page, when uploaded
  std::string reason;    // why it failed, in plain words
};

// What the plug-in may ask of the host during an export of the library's photos, and where it
// reports each photo's outcome.
class HostExportManager : public ApertureExportManager, public ApertureExportResults {
 public:
  explicit HostExportManager(const PhotoLibrary& library) : library_(library) {}

  unsigned imageCount() override { return static_cast<unsigned>(library_.count()); }
  CFRef<CFDictionaryRef> propertiesWithoutThumbnailForImageAtIndex(unsigned index) override;
  void shouldBeginExport() override { began = true; }
  void shouldFinishExport() override { finished = true; }
  void shouldCancelExport() override { cancelled = true; }

  void exportManagerDidExportImageAtIndex(unsigned index, SInt32 code, CFStringRef address,
                                          CFStringRef reason) override;
  // Called on the export's thread with each outcome as it is reported.
  std::function<void(unsigned index, const PhotoOutcome&)> onOutcome;

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

// Sets the process's memory allocator up for exports of many photos; call it once, first thing
// in main, before any thread starts. Each photo takes the same large blocks again (its bytes,
// the copy with its metadata, the decoder's lines): they come from the heap (up to 32 MiB) and
// stay there (up to 128 MiB freed) for the next photo, which would otherwise map them afresh
// and fault them in page by page. Threads share two allocation arenas, so the blocks one
// photo's decoding threads free are the ones the next photo's take.
void tuneMemoryForExports();

// Runs the images of an export the plug-in agreed to begin: for each one the host asks the
// plug-in, renders the version (renderVersion, with `settings`) into the plug-in's destination
// folder under the version's name and tells the plug-in; then it reports the end. Stops early
// (without the end) when the export manager was told to cancel. `failure` receives what the
// host itself could not do; `starting`, when given, each photo just before the plug-in is told
// about it.
void runExportImages(ApertureExportPlugIn& plugIn, const PhotoLibrary& library, HostExportManager& manager,
                     const std::function<void(unsigned index, const std::string&)>& failure,
                     const std::function<void(unsigned index)>& starting = {},
                     const ExportSettings& settings = {});
