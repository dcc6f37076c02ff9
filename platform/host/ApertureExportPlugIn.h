// The host application's export plug-in interface.
//
// The host creates a plug-in's principal object with its API manager (see PlugInBundle.h),
// shows the plug-in's settings view and calls the ApertureExportPlugIn operations as an export
// goes on; the plug-in reaches the host through the objects the API manager hands out, among
// them the export manager. Protocols are C++ abstract classes; a protocol is named by its type
// (typeid), as @protocol(...) names one on the original platform.
//
// Objects the host hands out are shared (std::shared_ptr): holding one is retaining it.
// Dictionaries come back as new references (CFRef). Texts given to the host are borrowed: they
// stay valid until the plug-in changes them.
#pragma once

#include <memory>
#include <typeinfo>

#include "AppKit.h"
#include "CFRef.h"
#include "CoreFoundation.h"
#include "MacTypes.h"

using Protocol = std::type_info;

// Every object the host hands to plug-ins.
class PROAPIObject {
 public:
  virtual ~PROAPIObject() = default;
};

// The API manager given to initWithAPIManager:.
class PROAPIManager {
 public:
  virtual ~PROAPIManager() = default;
  // The host's object for the protocol (for example typeid(ApertureExportManager)), or null.
  virtual std::shared_ptr<PROAPIObject> apiForProtocol(const Protocol& protocol) = 0;
};

// Keys of an image's properties dictionary.
extern const CFStringRef kExportKeyVersionName;     // text: the image version's name
extern const CFStringRef kExportKeyIPTCProperties;  // dictionary of IPTC texts ("Caption/Abstract", ...)
extern const CFStringRef kExportKeyKeywords;        // array of texts

// What the host does for an export plug-in.
class ApertureExportManager : public virtual PROAPIObject {
 public:
  // The number of images in this export.
  virtual unsigned imageCount() = 0;
  // The image's properties (keys above), or null.
  virtual CFRef<CFDictionaryRef> propertiesWithoutThumbnailForImageAtIndex(unsigned index) = 0;
  // Go ahead with the export / finish it / cancel it.
  virtual void shouldBeginExport() = 0;
  virtual void shouldFinishExport() = 0;
  virtual void shouldCancelExport() = 0;
};

// What a host that lists the outcome of each image offers beside the export manager (asked
// for with apiForProtocol(typeid(ApertureExportResults)); a host may offer none). The plug-in
// reports every image it was told about once, after its work on it has ended.
class ApertureExportResults : public virtual PROAPIObject {
 public:
  // code 0: published, at address (null when the service named none); otherwise the plug-in's
  // failure code with its reason in plain words. Texts are borrowed for the call.
  virtual void exportManagerDidExportImageAtIndex(unsigned index, SInt32 code, CFStringRef address,
                                                  CFStringRef reason) = 0;
};

// The progress the host shows; read between lockProgress and unlockProgress.
struct ExportProgress {
  UInt32 currentValue;
  UInt32 totalValue;
  CFStringRef message;  // owned by the plug-in
  Boolean indeterminateProgress;
};

// What a plug-in's principal object answers.
class ApertureExportPlugIn {
 public:
  virtual ~ApertureExportPlugIn() = default;

  // The settings panel's views (null when it cannot be shown).
  virtual NSView* settingsView() = 0;
  virtual NSView* firstView() = 0;
  virtual NSView* lastView() = 0;
  virtual void willBeActivated() = 0;
  virtual void willBeDeactivated() = 0;

  virtual Boolean allowsOnlyPlugInPresets() = 0;
  virtual Boolean allowsMasterExport() = 0;
  virtual Boolean allowsVersionExport() = 0;
  virtual Boolean wantsFileNamingControls() = 0;
  virtual void exportManagerExportTypeDidChange() = 0;
  virtual Boolean wantsDestinationPathPrompt() = 0;
  // Where the host writes the image files (borrowed).
  virtual CFStringRef destinationPath() = 0;
  virtual CFStringRef defaultDirectory() = 0;

  virtual void exportManagerShouldBeginExport() = 0;
  virtual void exportManagerWillBeginExportToPath(CFStringRef path) = 0;
  virtual Boolean exportManagerShouldExportImageAtIndex(unsigned index) = 0;
  virtual void exportManagerWillExportImageAtIndex(unsigned index) = 0;
  virtual Boolean exportManagerShouldWriteImageData(CFDataRef imageData, CFStringRef relativePath, unsigned index) = 0;
  virtual void exportManagerDidWriteImageDataToRelativePath(CFStringRef relativePath, unsigned index) = 0;
  virtual void exportManagerDidFinishExport() = 0;
  virtual void exportManagerShouldCancelExport() = 0;

  virtual ExportProgress* progress() = 0;
  virtual void lockProgress() = 0;
  virtual void unlockProgress() = 0;
};

// The function a plug-in bundle exports to create its principal object (initWithAPIManager:):
// null when the object cannot be made. The host owns the object and deletes it before it goes.
extern "C" {
typedef ApertureExportPlugIn* (*ApertureExportPlugInFactory)(PROAPIManager* apiManager);
}
