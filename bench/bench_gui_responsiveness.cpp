// How long velm-export-gui's display thread goes without handling its events while large
// photos (6000 by 4000) are added (thumbnails) and exported at 1600 pixels to velm-server on
// loopback: the largest gap between ticks of a 1 ms timer of the display thread. The reference
// in the same run is the same export run on the display thread itself, which the window never
// does: the gap it would make is the export's whole time.
//
//   bench_gui_responsiveness [PHOTOS]     (default: 8)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchPhoto.h"
#include "BenchServer.h"
#include "ExportSession.h"
#include "ExportWindow.h"
#include "HostPlugIn.h"
#include "NSAppleScript.h"
#include "NSWorkspace.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

// The gaps between ticks of a 1 ms timer while `work` runs in the event loop until `done`.
struct Gaps {
  double largest = 0;
  std::vector<double> all;
  double percentile(double p) {
    if (all.empty()) return 0;
    std::sort(all.begin(), all.end());
    return all[std::min(all.size() - 1, static_cast<size_t>(p * all.size()))];
  }
};

template <class Done>
Gaps measure(Done done) {
  Gaps g;
  QTimer tick;
  tick.setInterval(1);
  QElapsedTimer clock;
  clock.start();
  qint64 last = clock.nsecsElapsed();
  QObject::connect(&tick, &QTimer::timeout, [&] {
    qint64 now = clock.nsecsElapsed();
    double gap = (now - last) / 1e6;
    g.all.push_back(gap);
    g.largest = std::max(g.largest, gap);
    last = now;
  });
  tick.start();
  while (!done()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  return g;
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 8;
  fs::path work = fs::temp_directory_path() / ("velm-bench-gui-" + std::to_string(getpid()));
  fs::create_directories(work);
  setenv("HOME", (work / "home").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (work / "config").c_str(), 1);
  setenv("XDG_DATA_HOME", (work / "data").c_str(), 1);
  setenv("XDG_CACHE_HOME", (work / "cache").c_str(), 1);
  setenv("CF_MAIN_BUNDLE_PATH", VELM_EXPORT_GUI_SHARE, 1);
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  Exiv2::XmpParser::initialize();
  QApplication app(argc, argv);

  fs::path big = work / "big.jpg";
  if (!bench::makeLargePhoto(big)) {
    fprintf(stderr, "bench_gui_responsiveness: cannot make the test photo (needs vips)\n");
    return 1;
  }
  QStringList photos;
  for (int i = 0; i < count; ++i) {
    fs::path p = work / ("photo-" + std::to_string(i) + ".jpg");
    fs::copy_file(big, p);
    photos << QString::fromStdString(p.string());
  }
  bench::Server server;
  if (!bench::startServer(work / "server", server)) {
    fprintf(stderr, "bench_gui_responsiveness: velm-server did not start\n");
    return 1;
  }

  int rc = 0;
  {
    velmexport::ExportWindow window(VELM_BUNDLE_DIR);
    if (!window.hasPlugIn()) {
      fprintf(stderr, "bench_gui_responsiveness: %s\n", window.loadError().toLocal8Bit().constData());
      return 1;
    }
    window.show();
    // The first frame (fonts, the panel's layout) is drawn before anything is measured.
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents();
    int described = 0;
    QObject::connect(&window, &velmexport::ExportWindow::photoDescribed, [&] { ++described; });
    auto t0 = Clock::now();
    window.addPaths(photos);
    Gaps adding = measure([&] { return described == count; });
    double addSeconds = std::chrono::duration<double>(Clock::now() - t0).count();

    window.findChild<QLineEdit*>("velmName")->setText("bench");
    window.findChild<QLineEdit*>("velmPassword")->setText("secret");
    window.findChild<QLineEdit*>("serviceField")->setText(QString::fromStdString(server.url));
    window.findChild<QAbstractButton*>("republishBox")->setChecked(true);
    window.findChild<QComboBox*>("sizePopUp")->setCurrentIndex(1);  // 1600, as the reference below
    bool finished = false;
    QObject::connect(&window, &velmexport::ExportWindow::exportFinished, [&] { finished = true; });
    t0 = Clock::now();
    window.findChild<QPushButton*>("exportButton")->click();
    Gaps exporting = measure([&] { return finished; });
    double exportSeconds = std::chrono::duration<double>(Clock::now() - t0).count();

    printf("%d photos of 6000 x 4000, exported at 1600 pixels\n", count);
    printf("%-44s %10s %10s %10s\n", "", "total s", "p99 gap ms", "max gap ms");
    printf("%-44s %10.2f %10.1f %10.1f\n", "window: adding (thumbnails in the background)", addSeconds,
           adding.percentile(0.99), adding.largest);
    printf("%-44s %10.2f %10.1f %10.1f\n", "window: export (on its own thread)", exportSeconds,
           exporting.percentile(0.99), exporting.largest);
    if (exporting.largest >= 100 || adding.largest >= 100) rc = 1;
  }

  // The reference: the same export on the display thread.
  {
    PhotoLibrary library;
    for (const auto& p : photos) library.add(p.toStdString(), nullptr);
    velmexport::LoadedPlugIn loaded(library);
    std::string why;
    if (!loaded.load(VELM_BUNDLE_DIR, &why)) return 1;
    velmexport::PanelChoices choices;
    choices.account = "bench";
    choices.password = "secret";
    choices.sizeIndex = 1;
    loaded.panel().fill(choices);
    setenv("VELM_SERVICE_URL", server.url.c_str(), 1);
    NSWorkspace::setURLHandlerForAllPages([](CFStringRef) {});
    NSAppleScriptSetScriptingTarget(&library);
    loaded.beginExport();
    ExportSession session(loaded.plugIn(), library, loaded.manager());
    auto t0 = Clock::now();
    session.run({});
    double blocked = std::chrono::duration<double>(Clock::now() - t0).count();
    NSAppleScriptSetScriptingTarget(nullptr);
    printf("%-44s %10.2f %10s %10.1f\n", "reference: export on the display thread", blocked, "-", blocked * 1000);
  }
  std::error_code ec;
  fs::remove_all(work, ec);
  return rc;
}
