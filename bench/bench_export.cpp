// Exporting photos of 6000 by 4000 at 1600 pixels through the loaded bundle to velm-server on
// loopback: the share of the time spent outside photo preparation, and the peak memory as the
// number of photos grows (only one prepared photo is held at a time).
//
//   bench_export [COUNT...]     (default: 10 50 200)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchPhoto.h"
#include "BenchServer.h"
#include "AppKitQt.h"
#include "BenchTable.h"
#include "ExportHost.h"
#include "ExportSettings.h"
#include "NSWorkspace.h"
#include "PlugInBundle.h"
#include "Renderer.h"
#include "fileEngine.h"
#include "resizePhotoFileAs.h"
#include "ImageIO.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

long peakKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

CFRef<CFStringRef> cf(const std::string& s) {
  return CFRef<CFStringRef>(CFStringCreateWithCString(nullptr, s.c_str(), kCFStringEncodingUTF8));
}

}  // namespace

int main(int argc, char** argv) {
  tuneMemoryForExports();
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(std::atoi(argv[i]));
  if (counts.empty()) counts = {10, 50, 200};

  fs::path work = fs::temp_directory_path() / ("velm-bench-export-" + std::to_string(getpid()));
  fs::create_directories(work);
  setenv("XDG_CONFIG_HOME", (work / "config").c_str(), 1);
  setenv("XDG_DATA_HOME", (work / "data").c_str(), 1);
  setenv("XDG_CACHE_HOME", (work / "cache").c_str(), 1);
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  Exiv2::XmpParser::initialize();
  QApplication app(argc, argv);
  NSWorkspace::setURLHandler([](CFStringRef) {});

  // A 6000 x 4000 photo with a position, caption and keywords: a sample, enlarged.
  fs::path photo = work / "big.jpg";
  if (!bench::makeLargePhoto(photo)) {
    fprintf(stderr, "bench_export: cannot make the test photo (needs vips)\n");
    return 1;
  }

  bench::Server server;
  if (!bench::startServer(work / "server", server)) {
    fprintf(stderr, "bench_export: velm-server did not start\n");
    return 1;
  }
  setenv("VELM_SERVICE_URL", server.url.c_str(), 1);

  // Preparation alone, warm.
  FSRef ref;
  feMakeFSRefFromPath(cf(photo.string()).get(), &ref);
  CFRef<CFMutableDataRef> warm(resizePhotoFileAs(&ref, 1600, kUTTypeJPEG));
  const int prepRuns = 5;
  auto p0 = Clock::now();
  for (int i = 0; i < prepRuns; ++i) CFRef<CFMutableDataRef> d(resizePhotoFileAs(&ref, 1600, kUTTypeJPEG));
  double prep = seconds(Clock::now() - p0) / prepRuns;
  printf("preparation alone: %.1f ms per photo (%ld KiB prepared)\n", prep * 1000,
         static_cast<long>(CFDataGetLength(warm.get()) / 1024));
  warm.reset();

  std::vector<std::pair<int, double>> peaks;  // photos, peak MiB after their export
  double outsideAt50 = NAN;
  CFBundleRef bundle = PlugInLoadBundle(cf(VELM_BUNDLE_DIR).get());
  printf("%8s %10s %12s %10s %14s %12s\n", "photos", "total s", "per photo ms", "prep ms", "outside prep",
         "peak MiB");
  for (int count : counts) {
    static int run = 0;
    fs::path dir = work / ("photos-" + std::to_string(++run));
    fs::create_directories(dir);
    PhotoLibrary library;
    for (int i = 0; i < count; ++i) {
      fs::path p = dir / ("IMG_" + std::to_string(i) + ".jpg");
      fs::create_hard_link(photo, p);
      library.add(p.string(), nullptr);
    }
    // The files the plug-in prepares are the rendered versions (the photo with the metadata the
    // host merges in, which the preparation reads and writes into the upload), so preparation
    // alone is timed on the same renders.
    fs::path renders = dir / "rendered";
    fs::create_directories(renders);
    std::vector<std::string> rendered;
    for (int i = 0; i < count; ++i) {
      rendered.push_back((renders / renderedFileName(library.photo(i))).string());
      std::string why;
      if (!renderVersion(library, i, rendered.back(), ExportSettings{}, &why)) {
        fprintf(stderr, "bench_export: %s\n", why.c_str());
        return 1;
      }
    }
    // Preparation alone over those renders just before each export, three times for the
    // smaller sets: the fastest of each is the one least disturbed by the rest of the machine,
    // and the share outside preparation is the difference of the two fastest.
    const int rounds = count <= 50 ? 3 : 1;
    double prepEach = INFINITY, total = INFINITY;
    for (int round = 0; round < rounds; ++round) {
      auto q0 = Clock::now();
      for (const std::string& file : rendered) {
        FSRef each;
        feMakeFSRefFromPath(cf(file).get(), &each);
        CFRef<CFMutableDataRef> d(resizePhotoFileAs(&each, 1600, kUTTypeJPEG));
      }
      prepEach = std::min(prepEach, seconds(Clock::now() - q0) / count);
      NSAppleScriptSetScriptingTarget(&library);
      HostAPIManager api(library);
      auto plugIn = PlugInCreatePrincipalObject(bundle, &api);
      QWidget* panel = NSViewGetQWidget(plugIn->settingsView());
      panel->findChild<QLineEdit*>("velmName")->setText("bench");
      panel->findChild<QLineEdit*>("velmPassword")->setText("secret");
      panel->findChild<QComboBox*>("sizePopUp")->setCurrentIndex(1);  // 1600
      plugIn->exportManagerShouldBeginExport();
      auto t0 = Clock::now();
      runExportImages(*plugIn, library, *api.exportManager,
                      [](unsigned, const std::string& m) { fprintf(stderr, "%s\n", m.c_str()); });
      total = std::min(total, seconds(Clock::now() - t0));
      plugIn.reset();
      NSAppleScriptSetScriptingTarget(nullptr);
    }
    double outside = (total - count * prepEach) / total;
    printf("%8d %10.2f %12.1f %10.1f %13.1f%% %12.1f\n", count, total, total * 1000 / count, prepEach * 1000,
           outside * 100, peakKiB() / 1024.0);
    peaks.emplace_back(count, peakKiB() / 1024.0);
    if (count == 50) outsideAt50 = outside * 100;
  }
  std::error_code ec;
  fs::remove_all(work, ec);
  if (std::isfinite(outsideAt50))
    benchtable::row("export of 50 photos at 1600: time outside preparation", "-", outsideAt50, NAN, "%",
                    benchtable::Goal::ValueAtMost, 10);
  // The process's peak after the smallest export against its peak after the largest one.
  if (peaks.size() >= 2)
    benchtable::row("export peak memory, " + std::to_string(peaks.back().first) + " photos",
                    "same, " + std::to_string(peaks.front().first) + " photos", peaks.back().second,
                    peaks.front().second, "MiB", benchtable::Goal::RatioAtMost, 1.1);
  return 0;
}
