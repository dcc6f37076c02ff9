// The plug-in object: construction and teardown, the settings panel and its reading, the
// export's preparation and ending.
#include "Velm.h"

#include <sys/stat.h>

#include <cerrno>

#include <filesystem>
#include <string>
#include <system_error>

#include "ImageIO.h"
#include "NSAppleScript.h"
#include "NSLog.h"
#include "NSURL.h"
#include "NSWorkspace.h"
#include "NSNib.h"
#include "PlugInBundle.h"
#include "RZMCoreFunctions.h"
#include "cocoaUtils.h"
#include "fileEngine.h"
#include "gps.h"
#include "resizePhotoFileAs.h"
#include "stringEngine.h"

namespace fs = std::filesystem;

const CFStringRef kVelmBundleIdentifier = CFSTR("com.orbandel.velm.uploader");
const CFStringRef kVelmAccountNamePrefsKey = CFSTR("VelmUploaderAccountNamePrefsKey");
const CFStringRef kVelmPrivacySizeKey = CFSTR("VelmPrivacySizeKey");
const CFStringRef kVelmPrivacyPrefsKey = CFSTR("VelmPrivacyPrefsKey");
const CFStringRef kVelmStoreURLinIPTCKey = CFSTR("VelmStoreURLinIPTC");
const CFStringRef kVelmKeychainServiceName = CFSTR("Orbandel velm Password");

namespace {

const CFStringRef kVelmHomePage = CFSTR("http://www.velm.com/");
const CFStringRef kOrbandelHomePage = CFSTR("http://www.orbandel.com/");

std::string utf8(CFStringRef s) {
  if (!s) return {};
  CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8) + 1;
  std::string out(static_cast<size_t>(size), '\0');
  if (!CFStringGetCString(s, out.data(), size, kCFStringEncodingUTF8)) return {};
  out.resize(std::char_traits<char>::length(out.c_str()));
  return out;
}

// A menu index stored under key (0 when none is stored).
NSInteger storedIndex(CFStringRef key) {
  UInt32 index = 0;
  prefLoadUInt32(key, &index);
  return static_cast<SInt32>(index);
}

// The plug-in's numbered texts, looked up in its own string tables; the tables are chosen here
// too, so that a host that never showed the panel still gets the pages.
CFStringRef copyNumberedText(SInt16 table, SInt16 index) {
  initStringBundle(kVelmBundleIdentifier);
  return iuGetIndCFString(table, index);
}

void openPage(CFStringRef address) {
  if (auto url = NSURL::URLWithString(address)) NSWorkspace::sharedWorkspace()->openURL(*url);
}

// The text of a field as a new reference; absent for an absent field.
CFRef<CFStringRef> textOf(NSTextField* field) { return field ? field->stringValue() : CFRef<CFStringRef>(); }

bool isOn(NSButton* box) { return box && box->state() == NSOnState; }

}  // namespace

CFStringRef VelmCreateExportFolder(CFStringRef path) {
  std::string base = utf8(path);
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base.empty() || base == "/") return CFStringCreateCopy(nullptr, path);
  for (int n = 1; n < 10000; ++n) {
    std::string candidate = n == 1 ? base : base + "-" + std::to_string(n);
    if (mkdir(candidate.c_str(), 0700) == 0) {
      candidate += "/";
      return CFStringCreateWithCString(nullptr, candidate.c_str(), kCFStringEncodingUTF8);
    }
    if (errno != EEXIST) break;
  }
  return CFStringCreateCopy(nullptr, path);
}

Velm* Velm::initWithAPIManager(PROAPIManager* apiManager) {
  if (!apiManager) return nullptr;
  std::unique_ptr<Velm> self(new Velm());
  self->_apiManager = apiManager;
  self->_exportManager = std::dynamic_pointer_cast<ApertureExportManager>(
      apiManager->apiForProtocol(typeid(ApertureExportManager)));
  if (!self->_exportManager) return nullptr;
  self->_exportResults = std::dynamic_pointer_cast<ApertureExportResults>(
      apiManager->apiForProtocol(typeid(ApertureExportResults)));
  self->_progressLock = std::make_unique<NSLock>();

  self->storeURLInIPTC = 1;
  prefLoadUInt32(kVelmStoreURLinIPTCKey, &self->storeURLInIPTC);

  CFRef<CFStringRef> folder(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@/VelmUploader-%lx/"),
                                                    NSTemporaryDirectory(),
                                                    reinterpret_cast<unsigned long>(self.get())));
  self->tempDirectoryPath.reset(VelmCreateExportFolder(folder.get()));

  // The client with the stored account, so that an export works even when the host never
  // asks for the panel.
  self->loadStoredAccount();
  self->myVelmClient = std::make_unique<VelmClient>();
  self->myVelmClient->setName(self->mAccountName.get(), self->mAccountPwd.get());
  return self.release();
}

Velm::~Velm() {
  if (myVelmClient) myVelmClient->stopCurrentOperation();
  // The folder and what the host wrote into it go: nothing of an export stays behind.
  if (tempDirectoryPath) {
    std::error_code ignored;
    fs::path folder = fs::path(utf8(tempDirectoryPath.get())).parent_path();
    if (fs::is_directory(fs::symlink_status(folder, ignored))) fs::remove_all(folder, ignored);
  }
  myVelmClient.reset();
  _topLevelNibObjects.clear();  // the panel's views and their widgets
  _progressLock.reset();
  _exportManager.reset();
  if (exportProgress.message) CFRelease(exportProgress.message);
}

// ---- The settings panel

NSView* Velm::settingsView() {
  if (!settingsViewOutlet) {
    NSNib nib(CFSTR("Velm"), NSBundleForClass("Velm"));
    std::vector<std::unique_ptr<NSObject>> topLevelObjects;
    if (nib.instantiateNibWithOwner(this, &topLevelObjects)) _topLevelNibObjects = std::move(topLevelObjects);
    myAwakeFromNib();
  }
  return settingsViewOutlet;
}

void Velm::myAwakeFromNib() {
  initStringBundle(kVelmBundleIdentifier);
  cocoaUtils::translateOneView(settingsViewOutlet);

  loadStoredAccount();
  if (velmName) velmName->setStringValue(mAccountName ? mAccountName.get() : CFSTR(""));
  if (velmPassword) velmPassword->setStringValue(mAccountPwd ? mAccountPwd.get() : CFSTR(""));

  UInt32 sizeIndex = 0;
  prefLoadUInt32(kVelmPrivacySizeKey, &sizeIndex);
  if (sizePopUp) sizePopUp->selectItemAtIndex(static_cast<SInt32>(sizeIndex));
  UInt32 privacyIndex = 0;
  prefLoadUInt32(kVelmPrivacyPrefsKey, &privacyIndex);
  if (privacyPopUp) privacyPopUp->selectItemAtIndex(static_cast<SInt32>(privacyIndex));

  if (velmAlbumName) velmAlbumName->setStringValue(mAlbumName ? mAlbumName.get() : CFSTR(""));

  if (!myVelmClient) myVelmClient = std::make_unique<VelmClient>();
  myVelmClient->setName(mAccountName.get(), mAccountPwd.get());
}

void Velm::loadStoredAccount() {
  CFStringRef name = nullptr;
  prefLoadString(kVelmAccountNamePrefsKey, &name);
  mAccountName.reset(name);
  if (mAccountName)
    mAccountPwd.reset(securityLoadPassword(kVelmKeychainServiceName, mAccountName.get()));
  else
    mAccountPwd.reset();
}

void Velm::velmButton(NSObject*) { openPage(kVelmHomePage); }

void Velm::orbandelButton(NSObject*) { openPage(kOrbandelHomePage); }

void Velm::velmPrintfolioButton(NSObject*) {
  CFStringRef address = copyNumberedText(999, 1);
  openPage(address);
  uCFRelease(address);
}

void Velm::velmPrintfolioVideo(NSObject*) {
  CFStringRef address = copyNumberedText(999, 4);
  openPage(address);
  uCFRelease(address);
}

void Velm::loadAlbumList(NSObject*) {
  getNameAndPassword();
  if (!myVelmClient) return;
  myVelmClient->setName(mAccountName.get(), mAccountPwd.get());
  NSMenu* menu = albumToolMenu ? albumToolMenu->menu() : nullptr;
  while (menu && menu->numberOfItems() > 3) menu->removeItemAtIndex(3);
  SInt32 error = 0;
  CFArrayRef albums = myVelmClient->getAlbumListSync(&error);
  if (!menu || !albums) return;
  for (CFIndex i = 0; i < CFArrayGetCount(albums); ++i) {
    auto name = static_cast<CFStringRef>(CFArrayGetValueAtIndex(albums, i));
    if (!name || CFGetTypeID(name) != CFStringGetTypeID()) continue;
    NSMenuItem* item = menu->addItemWithTitle(name, "albumHit:", "");
    item->setTarget(this);
  }
}

void Velm::albumHit(NSObject* sender) {
  auto* item = dynamic_cast<NSMenuItem*>(sender);
  if (item && velmAlbumName) velmAlbumName->setStringValue(item->title().get());
}

void Velm::getNameAndPassword() {
  // Without the panel the account stays the stored one.
  if (!velmName && !velmPassword) return;
  mAccountName = textOf(velmName);
  mAccountPwd = textOf(velmPassword);
  // Only what the user asked to keep, and only a whole account: an empty name or password
  // would replace the remembered account with one that cannot sign in.
  bool complete = mAccountName && CFStringGetLength(mAccountName.get()) > 0 && mAccountPwd &&
                  CFStringGetLength(mAccountPwd.get()) > 0;
  if (isOn(useKeychainCheckbox) && complete) {
    prefStoreString(kVelmAccountNamePrefsKey, mAccountName.get());
    securityStorePassword(kVelmKeychainServiceName, mAccountName.get(), mAccountPwd.get());
  }
}

void Velm::getTargetSize() {
  // Without the panel the stored choice counts, as the panel would have shown it.
  NSInteger index = sizePopUp ? sizePopUp->indexOfSelectedItem() : storedIndex(kVelmPrivacySizeKey);
  static const SInt32 sizes[] = {0, 1600, 1200, 800, 640};
  mSize = index >= 0 && index < 5 ? sizes[index] : 0;
  if (sizePopUp) prefStoreUInt32(kVelmPrivacySizeKey, static_cast<UInt32>(static_cast<SInt32>(index)));
}

void Velm::getPrivacyStatus() {
  // Without the panel the stored choice counts, as the panel would have shown it.
  NSInteger index = privacyPopUp ? privacyPopUp->indexOfSelectedItem() : storedIndex(kVelmPrivacyPrefsKey);
  static const SInt32 levels[] = {0, 500, 800, 1000};
  mPrivacy = index >= 0 && index < 4 ? levels[index] : 1000;
  if (privacyPopUp) prefStoreUInt32(kVelmPrivacyPrefsKey, static_cast<UInt32>(static_cast<SInt32>(index)));
}

void Velm::getAlbumName() {
  if (isOn(createAlbumCheckbox))
    mAlbumName = textOf(velmAlbumName);
  else
    mAlbumName.reset();
}

CFStringRef Velm::_localizedStringForKey(CFStringRef key, CFStringRef defaultValue) {
  return CFBundleCopyLocalizedString(NSBundleForClass("Velm"), key, defaultValue, CFSTR("Localizable"));
}

bool Velm::setValue(NSObject* value, const char* key) {
  std::string k = key ? key : "";
  auto view = [&](NSView*& outlet) {
    outlet = dynamic_cast<NSView*>(value);
    return outlet != nullptr;
  };
  auto typed = [&](auto*& outlet) {
    outlet = dynamic_cast<std::remove_reference_t<decltype(outlet)>>(value);
    return outlet != nullptr;
  };
  if (k == "settingsView") return view(settingsViewOutlet);
  if (k == "firstView") return view(firstViewOutlet);
  if (k == "lastView") return view(lastViewOutlet);
  if (k == "velmName") return typed(velmName);
  if (k == "velmPassword") return typed(velmPassword);
  if (k == "useKeychainCheckbox") return typed(useKeychainCheckbox);
  if (k == "sizePopUp") return typed(sizePopUp);
  if (k == "privacyPopUp") return typed(privacyPopUp);
  if (k == "velmAlbumName") return typed(velmAlbumName);
  if (k == "createAlbumCheckbox") return typed(createAlbumCheckbox);
  if (k == "albumToolMenu") return typed(albumToolMenu);
  return false;
}

bool Velm::tryToPerform(const char* action, NSObject* sender) {
  std::string a = action ? action : "";
  if (a == "velmButton:") velmButton(sender);
  else if (a == "velmPrintfolioButton:") velmPrintfolioButton(sender);
  else if (a == "orbandelButton:") orbandelButton(sender);
  else if (a == "velmPrintfolioVideo:") velmPrintfolioVideo(sender);
  else if (a == "loadAlbumList:") loadAlbumList(sender);
  else if (a == "albumHit:") albumHit(sender);
  else return false;
  return true;
}

// ---- The export's frame

void Velm::lockProgress() {
  if (!_progressLock) _progressLock = std::make_unique<NSLock>();
  _progressLock->lock();
}

void Velm::unlockProgress() {
  if (_progressLock) _progressLock->unlock();
}

void Velm::_incrementUploadProgress(SInt32 amount) {
  lockProgress();
  exportProgress.currentValue += static_cast<UInt32>(amount);
  unlockProgress();
}

void Velm::exportManagerShouldBeginExport() {
  getNameAndPassword();
  getPrivacyStatus();
  getTargetSize();
  getAlbumName();
  if (!myVelmClient) myVelmClient = std::make_unique<VelmClient>();
  myVelmClient->setName(mAccountName.get(), mAccountPwd.get());
  myVelmClient->setAlbumName(mAlbumName.get());
  myVelmClient->setPrivacy(mPrivacy);
  unsigned count = _exportManager->imageCount();
  lockProgress();
  exportProgress.totalValue = count;
  exportProgress.currentValue = 0;
  unlockProgress();
  imagesWithGPS = 0;
  imagesNoGPS = 0;
  cancelRequested = false;
  _exportManager->shouldBeginExport();
}

namespace {

// A value of type `type` under key, or null.
CFTypeRef typedValue(CFDictionaryRef dictionary, CFStringRef key, CFTypeID type) {
  if (!dictionary || CFGetTypeID(dictionary) != CFDictionaryGetTypeID()) return nullptr;
  CFTypeRef value = CFDictionaryGetValue(dictionary, key);
  return value && CFGetTypeID(value) == type ? value : nullptr;
}

}  // namespace

void Velm::exportManagerDidWriteImageDataToRelativePath(CFStringRef relativePath, unsigned index) {
  GpsInfoRecord gps{};
  CFRef<CFStringRef> path(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@%@"), tempDirectoryPath.get(), relativePath));

  // The position, signed by its hemisphere letters; 0 and 0 without one.
  double latitude = 0.0;
  double longitude = 0.0;
  if (gpsGetCoordinatesFromFilePath(path.get(), &gps) == 0) {
    latitude = gps.latitudeRef == 'N' ? gps.latitude : -gps.latitude;
    longitude = gps.longitudeRef == 'W' ? -gps.longitude : gps.longitude;
  }
  gpsReleaseInfoRecord(&gps);

  // The photo to upload: absent when the file cannot be read as an image.
  CFRef<CFMutableDataRef> data;
  FSRef ref;
  if (feMakeFSRefFromPath(path.get(), &ref) == noErr) data.reset(resizePhotoFileAs(&ref, mSize, kUTTypeJPEG));

  // Name, caption and keywords from the host; held while the upload runs.
  CFRef<CFDictionaryRef> properties = _exportManager->propertiesWithoutThumbnailForImageAtIndex(index);
  CFStringRef name = nullptr;
  CFStringRef description = nullptr;
  CFRef<CFStringRef> keywords;
  if (properties) {
    name = static_cast<CFStringRef>(typedValue(properties.get(), kExportKeyVersionName, CFStringGetTypeID()));
    auto iptc = static_cast<CFDictionaryRef>(
        typedValue(properties.get(), kExportKeyIPTCProperties, CFDictionaryGetTypeID()));
    description = static_cast<CFStringRef>(typedValue(iptc, CFSTR("Caption/Abstract"), CFStringGetTypeID()));
    keywords.reset(makeStringFromArray(
        static_cast<CFArrayRef>(typedValue(properties.get(), kExportKeyKeywords, CFArrayGetTypeID())), CFSTR(",")));
  }

  CFStringRef message = CFStringCreateWithFormat(nullptr, nullptr, CFSTR("Velm upload: %@"), name);
  lockProgress();
  std::swap(exportProgress.message, message);
  unlockProgress();
  if (message) CFRelease(message);

  SInt32 result = myVelmClient ? myVelmClient->uploadFileSync(data.get(), name, description, keywords.get(), latitude,
                                                              longitude)
                               : 100;
  data.reset();

  if (result != 0) {
    NSLog(CFSTR("Error uploading %@ to Velm: %@"), name,
          myVelmClient ? myVelmClient->getResultDataString() : nullptr);
    if (_exportResults) {
      CFRef<CFStringRef> reason(myVelmClient ? myVelmClient->copyResultDescription(result)
                                             : CFStringCreateCopy(nullptr, CFSTR("no answer from the service")));
      _exportResults->exportManagerDidExportImageAtIndex(index, result, nullptr, reason.get());
    }
  } else {
    if (latitude == 0.0 && longitude == 0.0)
      ++imagesNoGPS;
    else
      ++imagesWithGPS;
    setResultURLForImage(name, myVelmClient->getResultURL());
    if (_exportResults) _exportResults->exportManagerDidExportImageAtIndex(index, 0, myVelmClient->getResultURL(), nullptr);
  }
  properties.reset();
  _incrementUploadProgress(1);
}

CFStringRef Velm::makeStringFromArray(CFArrayRef array, CFStringRef divider) {
  CFMutableStringRef text = CFStringCreateMutable(nullptr, 0);
  CFIndex count = array ? CFArrayGetCount(array) : 0;
  for (CFIndex i = 0; i < count; ++i) {
    auto item = static_cast<CFTypeRef>(CFArrayGetValueAtIndex(array, i));
    if (item && CFGetTypeID(item) == CFStringGetTypeID()) CFStringAppend(text, static_cast<CFStringRef>(item));
    if (i + 1 < count) CFStringAppend(text, divider);
  }
  return text;
}

// ---- The caption write-back

namespace {

// The script that stores a page address in the version's caption: a new caption when it has
// none, else appended after two returns. Its slots: version name, address, address.
const CFStringRef kCaptionScript = CFSTR(
    "tell application \"Aperture\"  \r tell image version \"%@\" \r try \r set myComment to value of IPTC tag "
    "\"Caption/Abstract\" \r \ton error  \r set myComment to \"\" \r end try \r if (myComment = \"\") then \r "
    "\tmake new IPTC tag with properties {name:\"Caption/Abstract\", value:\"%@\"} \r else \r set value of IPTC tag "
    "\"Caption/Abstract\" to myComment & return & return & \"%@\" \r end if \r end tell \r end tell");

constexpr CFIndex kMaxPageAddressLength = 2048;

// Whether an address from the service may go into a caption: an http or https address of at
// most 2,048 characters without control characters. Anything else is not a page address.
bool isPageAddress(CFStringRef url) {
  if (!url) return false;
  CFIndex n = CFStringGetLength(url);
  if (n == 0 || n > kMaxPageAddressLength) return false;
  if (!ORBStringBeginsWith(url, CFSTR("http://"), 0) && !ORBStringBeginsWith(url, CFSTR("https://"), 0)) return false;
  for (CFIndex i = 0; i < n; ++i) {
    UniChar c = CFStringGetCharacterAtIndex(url, i);
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029) return false;
  }
  return true;
}

}  // namespace

void Velm::setResultURLForImage(CFStringRef versionName, CFStringRef url) {
  if (storeURLInIPTC == 0) return;
  if (!url) return;  // success without a page address: nothing to write
  if (!isPageAddress(url)) {
    CFIndex length = CFStringGetLength(url);
    CFRef<CFStringRef> shown(length > 200 ? CFStringCreateWithSubstring(nullptr, url, CFRangeMake(0, 200))
                                          : CFStringCreateCopy(nullptr, url));
    NSLog(CFSTR("Velm: the service answered %@ with an address that is not a web page, not written into its caption "
                "(%ld characters): %@"),
          versionName, static_cast<long>(length), shown.get());
    return;
  }
  // Each value becomes the inside of a string literal: no mark in it can end the literal.
  CFRef<CFStringRef> name(NSAppleScriptCopyStringLiteralBody(versionName));
  CFRef<CFStringRef> address(NSAppleScriptCopyStringLiteralBody(url));
  CFRef<CFStringRef> source(
      CFStringCreateWithFormat(nullptr, nullptr, kCaptionScript, name.get(), address.get(), address.get()));
  NSAppleScript script;
  script.initWithSource(source.get());
  CFRef<CFDictionaryRef> error;
  CFRef<CFTypeRef> result(script.executeAndReturnError(error.receive()));
  if (!result)
    NSLog(CFSTR("AppleScript Error: %@"),
          error ? CFDictionaryGetValue(error.get(), NSAppleScriptErrorMessage) : nullptr);
}

void Velm::exportManagerDidFinishExport() {
  lockProgress();
  exportProgress.currentValue = 0;
  unlockProgress();
  CFStringRef address = copyNumberedText(999, imagesNoGPS ? 3 : 2);
  openPage(address);
  uCFRelease(address);
  _exportManager->shouldFinishExport();
}

void Velm::exportManagerShouldCancelExport() {
  // Asked a second time during one export: the user will not wait for the current photo, so
  // its upload is stopped as well.
  if (cancelRequested.exchange(true) && myVelmClient) myVelmClient->stopCurrentOperation();
  _exportManager->shouldCancelExport();
}
