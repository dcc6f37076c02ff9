// The plug-in object: construction and teardown, the settings panel and its reading, the
// export's preparation and ending.
#include "Velm.h"

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "NSLog.h"
#include "NSURL.h"
#include "NSWorkspace.h"
#include "NSNib.h"
#include "PlugInBundle.h"
#include "RZMCoreFunctions.h"
#include "cocoaUtils.h"

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

void openPage(CFStringRef address) {
  if (auto url = NSURL::URLWithString(address)) NSWorkspace::sharedWorkspace()->openURL(*url);
}

// The text of a field as a new reference; absent for an absent field.
CFRef<CFStringRef> textOf(NSTextField* field) { return field ? field->stringValue() : CFRef<CFStringRef>(); }

bool isOn(NSButton* box) { return box && box->state() == NSOnState; }

// Deletes every entry of the folder; the folder stays. Errors are ignored.
void emptyFolder(const fs::path& folder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code ignored;
    fs::remove_all(it->path(), ignored);
  }
}

}  // namespace

void VelmPrepareExportFolder(CFStringRef path) {
  // The folder itself, not "its contents" as a trailing slash would say to the file system.
  fs::path folder = fs::path(utf8(path)).lexically_normal();
  if (!folder.has_filename()) folder = folder.parent_path();
  if (folder.empty() || folder == folder.root_path()) return;
  std::error_code ec;
  fs::file_status st = fs::symlink_status(folder, ec);
  if (!ec && fs::is_directory(st)) {
    emptyFolder(folder);
    return;
  }
  if (!ec && fs::exists(st)) fs::remove(folder, ec);
  fs::create_directory(folder, ec);
}

Velm* Velm::initWithAPIManager(PROAPIManager* apiManager) {
  if (!apiManager) return nullptr;
  std::unique_ptr<Velm> self(new Velm());
  self->_apiManager = apiManager;
  self->_exportManager = std::dynamic_pointer_cast<ApertureExportManager>(
      apiManager->apiForProtocol(typeid(ApertureExportManager)));
  if (!self->_exportManager) return nullptr;
  self->_progressLock = std::make_unique<NSLock>();

  self->storeURLInIPTC = 1;
  prefLoadUInt32(kVelmStoreURLinIPTCKey, &self->storeURLInIPTC);

  self->tempDirectoryPath.reset(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@/VelmUploader-%lx/"),
                                                         NSTemporaryDirectory(),
                                                         reinterpret_cast<unsigned long>(self.get())));
  VelmPrepareExportFolder(self->tempDirectoryPath.get());
  return self.release();
}

Velm::~Velm() {
  if (myVelmClient) myVelmClient->stopCurrentOperation();
  if (tempDirectoryPath) emptyFolder(utf8(tempDirectoryPath.get()));
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

  CFStringRef name = nullptr;
  prefLoadString(kVelmAccountNamePrefsKey, &name);
  mAccountName.reset(name);
  if (velmName) velmName->setStringValue(mAccountName ? mAccountName.get() : CFSTR(""));

  if (mAccountName)
    mAccountPwd.reset(securityLoadPassword(kVelmKeychainServiceName, mAccountName.get()));
  else
    mAccountPwd.reset();
  if (velmPassword) velmPassword->setStringValue(mAccountPwd ? mAccountPwd.get() : CFSTR(""));

  UInt32 sizeIndex = 0;
  prefLoadUInt32(kVelmPrivacySizeKey, &sizeIndex);
  if (sizePopUp) sizePopUp->selectItemAtIndex(static_cast<SInt32>(sizeIndex));
  UInt32 privacyIndex = 0;
  prefLoadUInt32(kVelmPrivacyPrefsKey, &privacyIndex);
  if (privacyPopUp) privacyPopUp->selectItemAtIndex(static_cast<SInt32>(privacyIndex));

  if (velmAlbumName) velmAlbumName->setStringValue(mAlbumName ? mAlbumName.get() : CFSTR(""));

  myVelmClient = std::make_unique<VelmClient>();
  myVelmClient->setName(mAccountName.get(), mAccountPwd.get());
}

void Velm::velmButton(NSObject*) { openPage(kVelmHomePage); }

void Velm::orbandelButton(NSObject*) { openPage(kOrbandelHomePage); }

void Velm::velmPrintfolioButton(NSObject*) {
  CFStringRef address = iuGetIndCFString(999, 1);
  openPage(address);
  uCFRelease(address);
}

void Velm::velmPrintfolioVideo(NSObject*) {
  CFStringRef address = iuGetIndCFString(999, 4);
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
  mAccountName = textOf(velmName);
  mAccountPwd = textOf(velmPassword);
  if (isOn(useKeychainCheckbox)) {
    prefStoreString(kVelmAccountNamePrefsKey, mAccountName.get());
    securityStorePassword(kVelmKeychainServiceName, mAccountName.get(), mAccountPwd.get());
  }
}

void Velm::getTargetSize() {
  // Without the panel nothing was chosen: the full size, and the stored choice stays.
  NSInteger index = sizePopUp ? sizePopUp->indexOfSelectedItem() : -1;
  static const SInt32 sizes[] = {0, 1600, 1200, 800, 640};
  mSize = index >= 0 && index < 5 ? sizes[index] : 0;
  if (sizePopUp) prefStoreUInt32(kVelmPrivacySizeKey, static_cast<UInt32>(static_cast<SInt32>(index)));
}

void Velm::getPrivacyStatus() {
  // Without the panel nothing was chosen: the most private level, and the stored choice stays.
  NSInteger index = privacyPopUp ? privacyPopUp->indexOfSelectedItem() : -1;
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
  if (!myVelmClient) {
    // The host never asked for the panel: a client with the stored account.
    myVelmClient = std::make_unique<VelmClient>();
  }
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
  _exportManager->shouldBeginExport();
}

void Velm::exportManagerDidWriteImageDataToRelativePath(CFStringRef relativePath, unsigned) {
  // Photo preparation and upload come with the image pipeline; until then each image is
  // reported as not uploaded.
  NSLog(CFSTR("Error uploading %@ to Velm: %@"), relativePath, CFSTR("uploading is not available in this build"));
  _incrementUploadProgress(1);
}

void Velm::exportManagerDidFinishExport() {
  lockProgress();
  exportProgress.currentValue = 0;
  unlockProgress();
  CFStringRef address = iuGetIndCFString(999, imagesNoGPS ? 3 : 2);
  openPage(address);
  uCFRelease(address);
  _exportManager->shouldFinishExport();
}

void Velm::exportManagerShouldCancelExport() { _exportManager->shouldCancelExport(); }
