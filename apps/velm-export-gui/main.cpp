// velm-export-gui: the Velm export host as a desktop window.
//
// This file only reads the command line; the window (ExportWindow) drives the host core that
// velm-export shares. Desktop environments start it with the files chosen in a file manager
// ("Open with"), which become the window's first photos.
#include <getopt.h>

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QStringList>
#include <exiv2/exiv2.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ExportHost.h"
#include "ExportWindow.h"
#include "HostPlugIn.h"

using namespace velmexport;

namespace {

void usage(FILE* to) {
  fprintf(to,
          "usage: velm-export-gui [OPTION]... [PHOTO|FOLDER]...\n"
          "Opens a window that uploads photos to the Velm photo service through the Velm plug-in.\n"
          "Photos and folders (with their subfolders) named here are put into the window's list.\n"
          "\n"
          "  --service URL   the service's address (default: the remembered one, else %s)\n"
          "  --bundle PATH   the plug-in bundle (default: lib/velm/Velm.bundle beside bin/)\n"
          "  -h, --help      show this help and exit\n"
          "  --version       show the version and exit\n"
          "\n"
          "Settings are shared with velm-export.\n",
          kVelmDefaultServiceURL);
}

}  // namespace

int main(int argc, char** argv) {
  tuneMemoryForExports();
  static const option longOptions[] = {{"service", required_argument, nullptr, 's'},
                                       {"bundle", required_argument, nullptr, 'b'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {"version", no_argument, nullptr, 'V'},
                                       {nullptr, 0, nullptr, 0}};
  std::string bundle = defaultBundlePath();
  // Qt takes its settings from the environment (QT_QPA_PLATFORM, ...), not from these options.
  std::vector<char*> qtArgs{argv[0]};
  QStringList photos;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "-h", longOptions, nullptr)) != -1) {
    switch (c) {
      case 's': setenv("VELM_SERVICE_URL", optarg, 1); break;
      case 'b': bundle = optarg; break;
      case 'h': usage(stdout); return 0;
      case 'V': printf("velm-export-gui %s\n", VELM_VERSION); return 0;
      case 1: photos << QFile::decodeName(optarg); break;
      default:
        fprintf(stderr, "velm-export-gui: unknown option %s (or it needs a value)\n", argv[optind - 1]);
        fprintf(stderr, "Try 'velm-export-gui --help' for more information.\n");
        return 2;
    }
  }
  for (int i = optind; i < argc; ++i) photos << QFile::decodeName(argv[i]);
  // The window changes the service's address while worker threads run. With the variable in
  // the environment from the start, a change only replaces its value and never moves the
  // environment other threads are reading.
  if (!getenv("VELM_SERVICE_URL")) setenv("VELM_SERVICE_URL", serviceInUse().c_str(), 1);

  // Libraries that must be set up before any second thread runs.
  Exiv2::XmpParser::initialize();
  int qtArgc = static_cast<int>(qtArgs.size());
  QApplication app(qtArgc, qtArgs.data());
  QApplication::setApplicationName("velm-export-gui");
  QApplication::setApplicationVersion(VELM_VERSION);
  QGuiApplication::setDesktopFileName("velm-export-gui");
  QApplication::setWindowIcon(QIcon::fromTheme("velm-export-gui"));

  ExportWindow window(bundle);
  if (!window.hasPlugIn()) fprintf(stderr, "velm-export-gui: %s\n", window.loadError().toLocal8Bit().constData());
  window.show();
  if (!photos.isEmpty()) window.addPaths(photos);
  return app.exec();
}
