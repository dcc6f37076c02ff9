// Setting up an export as every velm-export front end does it: the photos the user named, the
// service in use, the plug-in loaded from its bundle with its settings panel, and the panel
// filled from the user's choices.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ExportHost.h"
#include "PhotoLibrary.h"
#include "PlugInBundle.h"
#include "VelmClient.h"

class QAbstractButton;
class QComboBox;
class QLineEdit;
class QWidget;

namespace velmexport {

// The service's address as the client will use it (VelmCopyServiceBaseURL): VELM_SERVICE_URL,
// the remembered preference "VelmServiceURL", else kVelmDefaultServiceURL; without trailing
// slashes.
std::string serviceInUse();
// Remembers the service's address for later runs (the preference "VelmServiceURL").
void rememberService(const std::string& address);

// The bundle beside the running program: PREFIX/lib/velm/Velm.bundle for PREFIX/bin/PROGRAM.
std::string defaultBundlePath();

// The panel's size and privacy menus, item by item: the longest side in pixels (0 full size)
// and the privacy level.
inline constexpr int kSizes[] = {0, 1600, 1200, 800, 640};
inline constexpr int kPrivacies[] = {0, 500, 800, 1000};

// The photos the user named: files as they are, folders walked when `recursive` (hidden files
// and folders and .xmp sidecars skipped, each folder's files in name order). Files neither the
// image layer nor LibRaw (camera RAW files) can read go to `notPhotos`. False, with `error` set, for a name that does not exist,
// a folder without `recursive`, or a file that cannot be read.
bool collectPhotos(const std::vector<std::string>& names, bool recursive, std::vector<std::string>* photos,
                   std::vector<std::string>* notPhotos, std::string* error);

// What the user chose for the panel; unset fields keep what the panel shows (its remembered
// values).
struct PanelChoices {
  std::optional<std::string> account, password, album;
  std::optional<bool> remember;
  std::optional<int> sizeIndex, privacyIndex;
};

// The plug-in's settings panel, by its outlets.
struct SettingsPanel {
  QWidget* view = nullptr;
  QLineEdit *name = nullptr, *password = nullptr, *album = nullptr;
  QAbstractButton *remember = nullptr, *useAlbum = nullptr;
  QComboBox *size = nullptr, *privacy = nullptr;

  // Finds the controls in the panel's view; false, naming the first missing one, otherwise.
  bool find(QWidget* view, std::string* missing);
  void fill(const PanelChoices& choices);

  std::string account() const;
  bool hasPassword() const;
  void setPassword(const std::string& password);
  // The album the photos go into; "" when none.
  std::string albumName() const;
  std::string sizeName() const;
  // The longest side chosen, in pixels (kSizes); 0 for full size.
  int sizePixels() const;
  std::string privacyName() const;
};

// The plug-in of one export, loaded from its bundle and given the host's API manager. Its
// panel is built (not shown). Destroying it destroys the plug-in, which removes its export
// folder. Lives on the thread that owns the panel's widgets.
class LoadedPlugIn {
 public:
  explicit LoadedPlugIn(PhotoLibrary& library) : api_(library) {}
  ~LoadedPlugIn();
  LoadedPlugIn(const LoadedPlugIn&) = delete;
  LoadedPlugIn& operator=(const LoadedPlugIn&) = delete;

  // Loads the bundle, creates the plug-in and finds its panel. False, with a sentence in
  // `error`, when any of it fails.
  bool load(const std::string& bundlePath, std::string* error);

  ApertureExportPlugIn& plugIn() { return *plugIn_; }
  HostExportManager& manager() { return *api_.exportManager; }
  SettingsPanel& panel() { return panel_; }

  // Asks the plug-in to begin the export (it reads its panel here); false when it did not.
  bool beginExport();
  // Destroys the plug-in now.
  void unload();

 private:
  HostAPIManager api_;
  std::unique_ptr<ApertureExportPlugIn> plugIn_;
  SettingsPanel panel_;
};

}  // namespace velmexport
