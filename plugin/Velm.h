// Velm: the export plug-in's principal object.
//
// The host creates it with initWithAPIManager: (through the bundle's factory VelmCreatePlugIn),
// asks for its settings panel and drives the export through the ApertureExportPlugIn
// operations. The panel is the interface file "Velm" of the plug-in's bundle; its outlets and
// actions are connected by name (setValue, tryToPerform). Settings are kept in the host
// application's preferences and the account's password in the keychain.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "AppKit.h"
#include "ApertureExportPlugIn.h"
#include "CFRef.h"
#include "CoreFoundation.h"
#include "Foundation.h"
#include "VelmClient.h"

// The plug-in bundle's identifier (Info.plist), which chooses its string tables.
extern const CFStringRef kVelmBundleIdentifier;
// Preference keys and the keychain item's service name.
extern const CFStringRef kVelmAccountNamePrefsKey;   // "VelmUploaderAccountNamePrefsKey"
extern const CFStringRef kVelmPrivacySizeKey;         // "VelmPrivacySizeKey"
extern const CFStringRef kVelmPrivacyPrefsKey;        // "VelmPrivacyPrefsKey"
extern const CFStringRef kVelmStoreURLinIPTCKey;      // "VelmStoreURLinIPTC"
extern const CFStringRef kVelmKeychainServiceName;    // "Orbandel velm Password"

// Creates a new, private (0700) export folder for one plug-in object at path ("/.../NAME/"),
// exclusively: when something is already there (the folder of another object, of an earlier
// run whose object had the same address, a file, a link), it is left alone and the folder is
// made under NAME-2, NAME-3, ... instead. Returns the new folder's path ending in "/" (a new
// string), or path itself when no folder could be made.
CFStringRef VelmCreateExportFolder(CFStringRef path);

class Velm : public NSObject, public ApertureExportPlugIn {
 public:
  // initWithAPIManager: a new object, or null when the host gives no export manager.
  static Velm* initWithAPIManager(PROAPIManager* apiManager);
  ~Velm() override;
  Velm(const Velm&) = delete;
  Velm& operator=(const Velm&) = delete;

  // ---- The host's plug-in interface
  NSView* settingsView() override;
  NSView* firstView() override { return firstViewOutlet; }
  NSView* lastView() override { return lastViewOutlet; }
  void willBeActivated() override {}
  void willBeDeactivated() override {}
  Boolean allowsOnlyPlugInPresets() override { return false; }
  Boolean allowsMasterExport() override { return false; }
  Boolean allowsVersionExport() override { return allowsMasterExport(); }
  Boolean wantsFileNamingControls() override { return false; }
  void exportManagerExportTypeDidChange() override {}
  Boolean wantsDestinationPathPrompt() override { return false; }
  CFStringRef destinationPath() override { return tempDirectoryPath.get(); }
  CFStringRef defaultDirectory() override { return nullptr; }
  void exportManagerShouldBeginExport() override;
  void exportManagerWillBeginExportToPath(CFStringRef) override {}
  Boolean exportManagerShouldExportImageAtIndex(unsigned) override { return true; }
  void exportManagerWillExportImageAtIndex(unsigned) override {}
  Boolean exportManagerShouldWriteImageData(CFDataRef, CFStringRef, unsigned) override { return true; }
  void exportManagerDidWriteImageDataToRelativePath(CFStringRef relativePath, unsigned index) override;
  void exportManagerDidFinishExport() override;
  void exportManagerShouldCancelExport() override;
  ExportProgress* progress() override { return &exportProgress; }
  void lockProgress() override;
  void unlockProgress() override;
  void _incrementUploadProgress(SInt32 amount);

  // ---- The export
  // The strings of the array joined with the divider between neighbours; a new string (empty
  // for an absent or empty array).
  CFStringRef makeStringFromArray(CFArrayRef array, CFStringRef divider);
  // Writes the page address into the version's IPTC caption in the host, when the write-back
  // switch is on; failures go to the system log.
  void setResultURLForImage(CFStringRef versionName, CFStringRef url);

  // ---- The settings panel
  void myAwakeFromNib();
  void velmButton(NSObject* sender);
  void velmPrintfolioButton(NSObject* sender);
  void orbandelButton(NSObject* sender);
  void velmPrintfolioVideo(NSObject* sender);
  void loadAlbumList(NSObject* sender);
  void albumHit(NSObject* sender);
  void getNameAndPassword();
  void getTargetSize();
  void getPrivacyStatus();
  void getAlbumName();
  // The key's entry in the plug-in bundle's "Localizable" table, or the default; a new string.
  CFStringRef _localizedStringForKey(CFStringRef key, CFStringRef defaultValue);

  // Outlets by name, actions by selector (the interface file's connections).
  bool setValue(NSObject* value, const char* key) override;
  bool tryToPerform(const char* action, NSObject* sender) override;

  // ---- Instance variables, in declaration order. The outlets settingsView, firstView and
  // lastView are held as settingsViewOutlet, firstViewOutlet and lastViewOutlet (their accessors
  // above bear the names).
  PROAPIManager* _apiManager = nullptr;
  std::shared_ptr<ApertureExportManager> _exportManager;
  // The host's listener for each image's outcome, when it offers one.
  std::shared_ptr<ApertureExportResults> _exportResults;
  std::unique_ptr<NSLock> _progressLock;
  std::vector<std::unique_ptr<NSObject>> _topLevelNibObjects;
  ExportProgress exportProgress{};
  NSView* settingsViewOutlet = nullptr;
  NSView* firstViewOutlet = nullptr;
  NSView* lastViewOutlet = nullptr;
  NSTextField* velmName = nullptr;
  NSTextField* velmPassword = nullptr;
  NSButton* useKeychainCheckbox = nullptr;
  NSPopUpButton* sizePopUp = nullptr;
  NSPopUpButton* privacyPopUp = nullptr;
  NSTextField* velmAlbumName = nullptr;
  NSButton* createAlbumCheckbox = nullptr;
  NSPopUpButton* albumToolMenu = nullptr;
  CFRef<CFStringRef> mAccountName;
  CFRef<CFStringRef> mAccountPwd;
  SInt32 mSize = 0;
  SInt32 mPrivacy = 0;
  CFRef<CFStringRef> mAlbumName;
  CFRef<CFStringRef> tempDirectoryPath;
  std::unique_ptr<VelmClient> myVelmClient;
  SInt32 imagesWithGPS = 0;
  SInt32 imagesNoGPS = 0;
  UInt32 storeURLInIPTC = 0;

  // Whether this export was asked to cancel; a second request also stops the upload in
  // progress. Set from the host's display thread while the export runs.
  std::atomic<bool> cancelRequested{false};

 private:
  Velm() = default;
  // The account name from the preferences and its password from the keychain.
  void loadStoredAccount();
};
