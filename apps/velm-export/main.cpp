// velm-export: exports photos to the Velm service through the Velm plug-in bundle.
//
//   velm-export [--service URL] [--account NAME] [--password-stdin] [--remember]
//               [--size 0|1600|1200|800|640] [--privacy 0|500|800|1000] [--album NAME]
//               [--bundle PATH] PHOTO...
//
// The plug-in's settings panel is filled from the options; what an option leaves out comes from
// the stored settings, as the panel shows them. The export runs on a second thread while this
// one shows the progress. Each photo's caption is kept in an XMP sidecar beside it.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <exiv2/exiv2.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Text.h"
#include "AppKitQt.h"
#include "ExportHost.h"
#include "NSLog.h"
#include "NSWorkspace.h"
#include "PhotoLibrary.h"
#include "PlugInBundle.h"

namespace fs = std::filesystem;

using velmexport::cfString;
using velmexport::utf8;

namespace {

struct Options {
  std::optional<std::string> service, account, album, bundle;
  bool passwordFromStdin = false, remember = false;
  std::optional<int> sizeIndex, privacyIndex;
  std::vector<std::string> photos;
};

const int kSizes[] = {0, 1600, 1200, 800, 640};        // the size menu's items, in order
const int kPrivacies[] = {0, 500, 800, 1000};           // the privacy menu's items, in order

void usage(FILE* to) {
  fprintf(to,
          "usage: velm-export [--service URL] [--account NAME] [--password-stdin] [--remember]\n"
          "                   [--size 0|1600|1200|800|640] [--privacy 0|500|800|1000] [--album NAME]\n"
          "                   [--bundle PATH] PHOTO...\n");
}

template <size_t N>
std::optional<int> indexOf(const int (&table)[N], const char* text) {
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (!*text || *end) return std::nullopt;
  for (size_t i = 0; i < N; ++i)
    if (table[i] == v) return static_cast<int>(i);
  return std::nullopt;
}

// Parses the command line; exits with status 2 and a message on bad input.
Options parse(int argc, char** argv) {
  static const option longOptions[] = {
      {"service", required_argument, nullptr, 's'}, {"account", required_argument, nullptr, 'a'},
      {"password-stdin", no_argument, nullptr, 'p'}, {"remember", no_argument, nullptr, 'r'},
      {"size", required_argument, nullptr, 'z'},     {"privacy", required_argument, nullptr, 'v'},
      {"album", required_argument, nullptr, 'l'},    {"bundle", required_argument, nullptr, 'b'},
      {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0}};
  Options o;
  int c;
  while ((c = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
    switch (c) {
      case 's': o.service = optarg; break;
      case 'a': o.account = optarg; break;
      case 'p': o.passwordFromStdin = true; break;
      case 'r': o.remember = true; break;
      case 'l': o.album = optarg; break;
      case 'b': o.bundle = optarg; break;
      case 'z':
        if (!(o.sizeIndex = indexOf(kSizes, optarg))) {
          fprintf(stderr, "velm-export: --size must be 0, 1600, 1200, 800 or 640, not \"%s\"\n", optarg);
          exit(2);
        }
        break;
      case 'v':
        if (!(o.privacyIndex = indexOf(kPrivacies, optarg))) {
          fprintf(stderr, "velm-export: --privacy must be 0, 500, 800 or 1000, not \"%s\"\n", optarg);
          exit(2);
        }
        break;
      case 'h': usage(stdout); exit(0);
      default: usage(stderr); exit(2);
    }
  }
  for (int i = optind; i < argc; ++i) o.photos.push_back(argv[i]);
  return o;
}

// The bundle beside this program: PREFIX/lib/velm/Velm.bundle for PREFIX/bin/velm-export.
std::string defaultBundlePath() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return (exe.parent_path().parent_path() / "lib" / "velm" / "Velm.bundle").string();
}

// Puts the options into the panel's controls, found by their outlet names.
bool fillPanel(QWidget* panel, const Options& o, const std::optional<std::string>& password, std::string* missing) {
  auto field = [&](const char* name) { return panel->findChild<QLineEdit*>(name); };
  auto button = [&](const char* name) { return panel->findChild<QAbstractButton*>(name); };
  auto menu = [&](const char* name) { return panel->findChild<QComboBox*>(name); };
  const std::pair<const char*, bool> needs[] = {
      {"velmName", field("velmName") != nullptr},
      {"velmPassword", field("velmPassword") != nullptr},
      {"useKeychainCheckbox", button("useKeychainCheckbox") != nullptr},
      {"sizePopUp", menu("sizePopUp") != nullptr},
      {"privacyPopUp", menu("privacyPopUp") != nullptr},
      {"velmAlbumName", field("velmAlbumName") != nullptr},
      {"createAlbumCheckbox", button("createAlbumCheckbox") != nullptr},
  };
  for (const auto& [name, present] : needs)
    if (!present) {
      *missing = name;
      return false;
    }
  if (o.account) field("velmName")->setText(QString::fromStdString(*o.account));
  if (password) field("velmPassword")->setText(QString::fromStdString(*password));
  button("useKeychainCheckbox")->setChecked(o.remember);
  if (o.sizeIndex) menu("sizePopUp")->setCurrentIndex(*o.sizeIndex);
  if (o.privacyIndex) menu("privacyPopUp")->setCurrentIndex(*o.privacyIndex);
  if (o.album) {
    field("velmAlbumName")->setText(QString::fromStdString(*o.album));
    button("createAlbumCheckbox")->setChecked(!o.album->empty());
  }
  return true;
}

std::atomic<bool> gInterrupted{false};
void onInterrupt(int) { gInterrupted = true; }

std::mutex gOutput;
void say(const std::string& line) {
  std::lock_guard<std::mutex> g(gOutput);
  std::cout << line << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parse(argc, argv);
  std::optional<std::string> password;
  if (options.passwordFromStdin) {
    std::string line;
    std::getline(std::cin, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    password = line;
  }
  if (options.service) setenv("VELM_SERVICE_URL", options.service->c_str(), 1);

  // Libraries that must be set up before any second thread runs.
  Exiv2::XmpParser::initialize();

  PhotoLibrary library;
  for (const auto& p : options.photos) {
    std::string why;
    if (!library.add(p, &why)) {
      fprintf(stderr, "velm-export: %s\n", why.c_str());
      return 2;
    }
  }

  // Headless: the panel is built but never shown.
  if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);

  NSWorkspace::setURLHandler([](CFStringRef address) { say("End page: " + utf8(address)); });
  NSAppleScriptSetScriptingTarget(&library);

  std::string bundlePath = options.bundle.value_or(defaultBundlePath());
  CFBundleRef bundle = PlugInLoadBundle(cfString(bundlePath).get());
  if (!bundle) {
    fprintf(stderr, "velm-export: cannot load the plug-in bundle %s\n", bundlePath.c_str());
    return 1;
  }
  HostAPIManager api(library);
  std::unique_ptr<ApertureExportPlugIn> plugIn = PlugInCreatePrincipalObject(bundle, &api);
  if (!plugIn) {
    fprintf(stderr, "velm-export: the plug-in in %s could not be created\n", bundlePath.c_str());
    return 1;
  }
  QWidget* panel = NSViewGetQWidget(plugIn->settingsView());
  std::string missing;
  if (!panel || !fillPanel(panel, options, password, &missing)) {
    fprintf(stderr, "velm-export: the plug-in's settings panel has no %s\n",
            missing.empty() ? "view" : missing.c_str());
    return 1;
  }

  // The plug-in reads its panel here, on the thread that owns it.
  HostExportManager& manager = *api.exportManager;
  plugIn->exportManagerShouldBeginExport();
  if (!manager.began) {
    fprintf(stderr, "velm-export: the plug-in did not begin the export\n");
    return 1;
  }

  signal(SIGINT, onInterrupt);
  signal(SIGTERM, onInterrupt);
  std::atomic<bool> done{false};
  std::thread worker([&] {
    runExportImages(*plugIn, library, manager, [](const std::string& m) { say("velm-export: " + m); });
    done = true;
  });

  // The progress record, read under the plug-in's lock, shown when it changes.
  std::string shown;
  bool cancelAsked = false;
  while (!done) {
    plugIn->lockProgress();
    ExportProgress* p = plugIn->progress();
    std::string message = utf8(p->message);
    std::string line =
        "[" + std::to_string(p->currentValue) + "/" + std::to_string(p->totalValue) + "] " + message;
    plugIn->unlockProgress();  // nothing of the record is touched after this
    if (line != shown && !message.empty()) say(line);
    shown = line;
    if (gInterrupted && !cancelAsked) {
      cancelAsked = true;
      say("Cancelling after the current photo...");
      plugIn->exportManagerShouldCancelExport();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  worker.join();

  for (size_t i = 0; i < library.count(); ++i) {
    std::string caption = library.caption(i);
    for (auto& c : caption)
      if (c == '\r' || c == '\n') c = ' ';
    say(library.photo(i).versionName + ": " + caption);
  }
  plugIn.reset();  // the plug-in empties its export folder
  NSAppleScriptSetScriptingTarget(nullptr);
  return manager.cancelled ? 130 : 0;
}
