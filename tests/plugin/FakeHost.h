// A small host for the plug-in: an API manager handing out an export manager that records what
// the plug-in tells it, Qt running offscreen, and the built Velm.bundle loaded.
#pragma once

#include <QApplication>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ApertureExportPlugIn.h"
#include "PlugInBundle.h"

namespace velmtest {

class FakeExportManager : public ApertureExportManager {
 public:
  unsigned imageCount() override { return count; }
  CFRef<CFDictionaryRef> propertiesWithoutThumbnailForImageAtIndex(unsigned) override { return {}; }
  void shouldBeginExport() override { calls.push_back("shouldBeginExport"); }
  void shouldFinishExport() override { calls.push_back("shouldFinishExport"); }
  void shouldCancelExport() override { calls.push_back("shouldCancelExport"); }
  unsigned count = 0;
  std::vector<std::string> calls;
};

class FakeAPIManager : public PROAPIManager {
 public:
  std::shared_ptr<PROAPIObject> apiForProtocol(const Protocol& protocol) override {
    if (protocol == typeid(ApertureExportManager) && exportManager) return exportManager;
    return nullptr;
  }
  std::shared_ptr<FakeExportManager> exportManager = std::make_shared<FakeExportManager>();
};

// The process's QApplication, offscreen.
inline QApplication& offscreenApplication() {
  static int argc = 1;
  static char name[] = "velm-host";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    return new QApplication(argc, argv);
  }();
  return *app;
}

// The built bundle, loaded once per process.
inline CFBundleRef velmBundle() {
  static CFBundleRef bundle = [] {
    CFRef<CFStringRef> path(CFStringCreateWithCString(nullptr, VELM_BUNDLE_DIR, kCFStringEncodingUTF8));
    return PlugInLoadBundle(path.get());
  }();
  return bundle;
}

}  // namespace velmtest
