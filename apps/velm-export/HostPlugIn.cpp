#include "HostPlugIn.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QWidget>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "AppKitQt.h"
#include "CoreFoundation.h"
#include "Renderer.h"
#include "Text.h"

namespace fs = std::filesystem;

namespace velmexport {

std::string serviceInUse() {
  CFRef<CFStringRef> base(VelmCopyServiceBaseURL());
  return utf8(base.get());
}

void rememberService(const std::string& address) {
  CFRef<CFStringRef> value = cfString(address);
  if (!value) return;
  CFPreferencesSetAppValue(CFSTR("VelmServiceURL"), value.get(), kCFPreferencesCurrentApplication);
  CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication);
}

std::string defaultBundlePath() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return (exe.parent_path().parent_path() / "lib" / "velm" / "Velm.bundle").string();
}

bool collectPhotos(const std::vector<std::string>& names, bool recursive, std::vector<std::string>* photos,
                   std::vector<std::string>* notPhotos, std::string* error) {
  auto consider = [&](const std::string& path) {
    if (PhotoLibrary::isPhoto(path) || isRawPhoto(path))
      photos->push_back(path);
    else
      notPhotos->push_back(path);
  };
  for (const auto& arg : names) {
    struct stat st {};
    if (stat(arg.c_str(), &st) != 0) {
      *error = arg + ": no such file";
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      if (!recursive) {
        *error = arg + ": a folder (use --recursive to export the photos in it)";
        return false;
      }
      std::vector<std::string> found;
      std::error_code ec;
      fs::recursive_directory_iterator it(arg, fs::directory_options::skip_permission_denied, ec), end;
      for (; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') {  // hidden files and folders, AppleDouble files too
          if (it->is_directory(ec)) it.disable_recursion_pending();
          continue;
        }
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char ch) { return std::tolower(ch); });
        if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".xmp") == 0) continue;
        if (it->is_regular_file(ec)) found.push_back(it->path().string());
      }
      std::sort(found.begin(), found.end());
      for (const auto& f : found) consider(f);
      continue;
    }
    if (!S_ISREG(st.st_mode) || access(arg.c_str(), R_OK) != 0) {
      *error = arg + ": not a readable file";
      return false;
    }
    consider(arg);
  }
  return true;
}

bool SettingsPanel::find(QWidget* panelView, std::string* missing) {
  view = panelView;
  if (!view) {
    *missing = "view";
    return false;
  }
  name = view->findChild<QLineEdit*>("velmName");
  password = view->findChild<QLineEdit*>("velmPassword");
  album = view->findChild<QLineEdit*>("velmAlbumName");
  remember = view->findChild<QAbstractButton*>("useKeychainCheckbox");
  useAlbum = view->findChild<QAbstractButton*>("createAlbumCheckbox");
  size = view->findChild<QComboBox*>("sizePopUp");
  privacy = view->findChild<QComboBox*>("privacyPopUp");
  const std::pair<const char*, bool> needs[] = {
      {"velmName", name != nullptr},           {"velmPassword", password != nullptr},
      {"useKeychainCheckbox", remember != nullptr}, {"sizePopUp", size != nullptr},
      {"privacyPopUp", privacy != nullptr},    {"velmAlbumName", album != nullptr},
      {"createAlbumCheckbox", useAlbum != nullptr},
  };
  for (const auto& [outlet, present] : needs)
    if (!present) {
      *missing = outlet;
      return false;
    }
  return true;
}

void SettingsPanel::fill(const PanelChoices& c) {
  if (c.account) {
    // The remembered password belongs to the remembered account only.
    if (name->text().toStdString() != *c.account) password->clear();
    name->setText(QString::fromStdString(*c.account));
  }
  if (c.password) setPassword(*c.password);
  if (c.remember) remember->setChecked(*c.remember);
  if (c.sizeIndex) size->setCurrentIndex(*c.sizeIndex);
  if (c.privacyIndex) privacy->setCurrentIndex(*c.privacyIndex);
  if (c.album) {
    album->setText(QString::fromStdString(*c.album));
    useAlbum->setChecked(!c.album->empty());
  }
}

std::string SettingsPanel::account() const { return name->text().toStdString(); }
bool SettingsPanel::hasPassword() const { return !password->text().isEmpty(); }
void SettingsPanel::setPassword(const std::string& p) { password->setText(QString::fromStdString(p)); }
std::string SettingsPanel::albumName() const { return useAlbum->isChecked() ? album->text().toStdString() : ""; }
std::string SettingsPanel::sizeName() const { return size->currentText().toStdString(); }
int SettingsPanel::sizePixels() const {
  int i = size->currentIndex();
  return i >= 0 && i < static_cast<int>(std::size(kSizes)) ? kSizes[i] : 0;
}
std::string SettingsPanel::privacyName() const { return privacy->currentText().toStdString(); }

LoadedPlugIn::~LoadedPlugIn() { unload(); }

bool LoadedPlugIn::load(const std::string& bundlePath, std::string* error) {
  CFRef<CFStringRef> path = cfString(bundlePath);
  CFBundleRef bundle = path ? PlugInLoadBundle(path.get()) : nullptr;
  if (!bundle) {
    *error = "cannot load the plug-in bundle " + bundlePath;
    return false;
  }
  plugIn_ = PlugInCreatePrincipalObject(bundle, &api_);
  if (!plugIn_) {
    *error = "the plug-in in " + bundlePath + " could not be created";
    return false;
  }
  std::string missing;
  if (!panel_.find(NSViewGetQWidget(plugIn_->settingsView()), &missing)) {
    *error = "the plug-in's settings panel has no " + missing;
    plugIn_.reset();
    return false;
  }
  return true;
}

bool LoadedPlugIn::beginExport() {
  if (!plugIn_) return false;
  plugIn_->exportManagerShouldBeginExport();
  return api_.exportManager->began;
}

void LoadedPlugIn::unload() {
  panel_ = SettingsPanel{};  // the panel's widgets go with the plug-in
  plugIn_.reset();
}

}  // namespace velmexport
