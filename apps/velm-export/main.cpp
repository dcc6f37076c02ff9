// velm-export: exports photos to the Velm service through the Velm plug-in bundle.
//
// This file only reads the command line and prints; the export itself is the host core
// (ExportSession, ExportHost, PhotoLibrary) that a desktop window shares. Results go to
// standard output, progress and the log to standard error.
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <exiv2/exiv2.hpp>

#include <chrono>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ExportHost.h"
#include "ExportReport.h"
#include "ExportSession.h"
#include "HostPlugIn.h"
#include "NSAppleScript.h"
#include "NSWorkspace.h"
#include "PhotoLibrary.h"
#include "PublicationLedger.h"
#include "Publishing.h"
#include "Text.h"


using namespace velmexport;

namespace {

struct Options {
  std::optional<std::string> service, account, album, bundle;
  bool passwordFromStdin = false, remember = false, recursive = false;
  bool republish = false, retryFailed = false, dryRun = false, json = false, noLocation = false;
  std::optional<int> sizeIndex, privacyIndex;
  std::vector<std::string> photos;
};

void usage(FILE* to) {
  fprintf(to,
          "usage: velm-export [OPTION]... PHOTO|FOLDER...\n"
          "Uploads photos to the Velm photo service through the Velm plug-in and prints each photo's page.\n"
          "\n"
          "  --service URL       the service's address (default: the remembered one, else %s)\n"
          "  --account NAME      the account's name (default: the remembered one)\n"
          "  --password-stdin    read the password from the first line of standard input; without it the\n"
          "                      remembered password is used, or it is asked for on the terminal\n"
          "  --remember          remember the account, its password (in the keychain) and --service for\n"
          "                      later runs; without it nothing of the account is stored\n"
          "  --size PIXELS       longest side of the uploaded photos: 0 (full size), 1600, 1200, 800 or 640\n"
          "                      (default: the last one chosen, else 0)\n"
          "  --privacy LEVEL     who may see them, as the panel names the levels: 0 (Public), 500 (Friends\n"
          "                      and family), 800 (Family) or 1000 (Private) (default: the last one\n"
          "                      chosen, else 0)\n"
          "  --album NAME        put the photos into this album, made when missing (default: none)\n"
          "  -r, --recursive     export the photos in folders and their subfolders (hidden files and\n"
          "                      .xmp sidecars are skipped)\n"
          "  --republish         upload photos that are published already once more\n"
          "  --retry-failed      export the photos that failed or were not exported in the last run to\n"
          "                      this service and account that had any (give no photos with it)\n"
          "  --dry-run           show what each upload would carry, and which photos would be left out;\n"
          "                      sends nothing and stores nothing (no password needed)\n"
          "  --json              print the results (or the dry run) as one JSON document\n"
          "  --no-location       upload without positions: no GPS data goes out\n"
          "  --bundle PATH       the plug-in bundle (default: lib/velm/Velm.bundle beside bin/)\n"
          "  -h, --help          show this help and exit\n"
          "  --version           show the version and exit\n"
          "\n"
          "Files that are not photos are named (\"not a photo: FILE\") and left out. Photos are never\n"
          "changed: each page address goes into the caption of the photo's XMP sidecar, PHOTO.ext.xmp\n"
          "or PHOTO.xmp (whichever exists; a new PHOTO.ext.xmp when none does). Camera RAW and HEIC\n"
          "photos are sent as JPEG with their metadata and their sidecar's.\n"
          "A photo whose caption holds a page of the service, or whose bytes the publication ledger\n"
          "($XDG_DATA_HOME/velm-export/ledger.sqlite) knows as uploaded to the service and account,\n"
          "is left out as \"already published: PAGE\"; earlier pages are never sent in captions.\n"
          "Ctrl-C stops after the current photo; a second Ctrl-C stops at once.\n"
          "\n"
          "Standard output: one line per photo, \"NAME: PAGE\", \"NAME: failed: REASON\",\n"
          "\"NAME: not exported\", \"NAME: already published: PAGE\" or\n"
          "\"NAME: left out: the same photo as OTHER\" (the same bytes twice in one export), then\n"
          "\"N uploaded, N failed, N not exported\" (and \", N already published\", \", N left out\").\n"
          "Standard error: what the export does, its progress and the log.\n"
          "\n"
          "Exit status: 0 every photo was uploaded or published already; 1 a photo failed or was not\n"
          "exported, or the publication ledger cannot be used;\n"
          "2 usage error (bad option, no photo, a missing or unreadable file, a folder without\n"
          "--recursive, no account); 130 cancelled.\n",
          kVelmDefaultServiceURL);
}

int sayUsageError(const std::string& message) {
  fprintf(stderr, "velm-export: %s\n", message.c_str());
  fprintf(stderr, "Try 'velm-export --help' for more information.\n");
  return kExitUsage;
}

// For errors found before anything is set up.
[[noreturn]] void usageError(const std::string& message) { exit(sayUsageError(message)); }

template <size_t N>
std::optional<int> indexOf(const int (&table)[N], const char* text) {
  char* end = nullptr;
  long v = strtol(text, &end, 10);
  if (!*text || *end) return std::nullopt;
  for (size_t i = 0; i < N; ++i)
    if (table[i] == v) return static_cast<int>(i);
  return std::nullopt;
}

Options parse(int argc, char** argv) {
  static const option longOptions[] = {
      {"service", required_argument, nullptr, 's'}, {"account", required_argument, nullptr, 'a'},
      {"password-stdin", no_argument, nullptr, 'p'}, {"remember", no_argument, nullptr, 'm'},
      {"size", required_argument, nullptr, 'z'},     {"privacy", required_argument, nullptr, 'v'},
      {"album", required_argument, nullptr, 'l'},    {"bundle", required_argument, nullptr, 'b'},
      {"recursive", no_argument, nullptr, 'r'},      {"help", no_argument, nullptr, 'h'},
      {"republish", no_argument, nullptr, 'R'},      {"retry-failed", no_argument, nullptr, 'F'},
      {"dry-run", no_argument, nullptr, 'n'},        {"json", no_argument, nullptr, 'j'},
      {"no-location", no_argument, nullptr, 'L'},    {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0}};
  Options o;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "hr", longOptions, nullptr)) != -1) {
    switch (c) {
      case 's': o.service = optarg; break;
      case 'a': o.account = optarg; break;
      case 'p': o.passwordFromStdin = true; break;
      case 'm': o.remember = true; break;
      case 'l': o.album = optarg; break;
      case 'b': o.bundle = optarg; break;
      case 'r': o.recursive = true; break;
      case 'R': o.republish = true; break;
      case 'F': o.retryFailed = true; break;
      case 'n': o.dryRun = true; break;
      case 'j': o.json = true; break;
      case 'L': o.noLocation = true; break;
      case 'z':
        if (!(o.sizeIndex = indexOf(kSizes, optarg)))
          usageError(std::string("--size must be 0, 1600, 1200, 800 or 640, not \"") + optarg + "\"");
        break;
      case 'v':
        if (!(o.privacyIndex = indexOf(kPrivacies, optarg)))
          usageError(std::string("--privacy must be 0, 500, 800 or 1000, not \"") + optarg + "\"");
        break;
      case 'h': usage(stdout); exit(0);
      case 'V': printf("velm-export %s\n", VELM_VERSION); exit(0);
      default: {
        std::string arg = optind > 0 && optind <= argc ? argv[optind - 1] : "?";
        if (optopt && std::string(arg).rfind("--", 0) != 0) arg = std::string("-") + static_cast<char>(optopt);
        usageError(c == ':' || (optopt && strchr("", optopt)) ? "option " + arg + " needs a value"
                                                             : "unknown option " + arg + " (or it needs a value)");
      }
    }
  }
  for (int i = optind; i < argc; ++i) o.photos.push_back(argv[i]);
  return o;
}

// Asks for the password on the terminal without echo; nullopt when there is no terminal.
std::optional<std::string> askPassword(const std::string& account) {
  int tty = open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty < 0) return std::nullopt;
  // Echo goes off before the prompt shows, so that nothing typed after it is ever echoed.
  std::string prompt = "Password for " + account + " on the Velm service: ";
  termios old {};
  bool restore = tcgetattr(tty, &old) == 0;
  if (restore) {
    termios quiet = old;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(tty, TCSANOW, &quiet);
  }
  if (write(tty, prompt.data(), prompt.size()) < 0) {
  }
  std::string line;
  char c;
  while (read(tty, &c, 1) == 1 && c != '\n') line.push_back(c);
  if (restore) tcsetattr(tty, TCSANOW, &old);
  close(tty);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string oneLine(std::string s) {
  for (auto& c : s)
    if (c == '\r' || c == '\n' || c == '\t') c = ' ';
  return s;
}

std::string clock(std::chrono::seconds s) {
  long t = static_cast<long>(s.count());
  char buffer[32];
  if (t >= 3600)
    snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60);
  else
    snprintf(buffer, sizeof buffer, "%ld:%02ld", t / 60, t % 60);
  return buffer;
}

// The progress on standard error: a bar redrawn in place on a terminal, plain lines otherwise.
class Progress {
 public:
  explicit Progress(bool terminal) : terminal_(terminal), start_(std::chrono::steady_clock::now()) {}

  void show(unsigned done, unsigned count, const std::string& name) {
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_);
    if (!terminal_) {
      fprintf(stderr, "[%u/%u] %s\n", done, count, name.c_str());
      return;
    }
    const int width = 20;
    int filled = count ? static_cast<int>(width * done / count) : width;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(width, '-');
    std::string left = "";
    if (done > 0 && done < count)
      left = ", about " + clock(std::chrono::seconds(elapsed.count() * (count - done) / done)) + " left";
    std::string shown = name.size() > 40 ? name.substr(0, 39) + "~" : name;
    fprintf(stderr, "\r\033[K[%s] %u/%u %s  %s elapsed%s", bar.c_str(), done, count, shown.c_str(),
            clock(elapsed).c_str(), left.c_str());
    fflush(stderr);
    open_ = true;
  }
  bool terminal() const { return terminal_; }
  // Ends the bar's line before other text goes to standard error.
  void breakLine() {
    if (open_) fputc('\n', stderr);
    open_ = false;
  }

 private:
  bool terminal_;
  bool open_ = false;
  std::chrono::steady_clock::time_point start_;
};

// Events from the export's thread, handed to the main thread through a pipe.
class EventQueue {
 public:
  EventQueue() {
    if (pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
  }
  ~EventQueue() {
    for (int fd : fds_)
      if (fd >= 0) close(fd);
  }
  void post(std::function<void()> event) {
    {
      std::lock_guard<std::mutex> g(lock_);
      events_.push_back(std::move(event));
    }
    char c = 1;
    if (write(fds_[1], &c, 1) < 0) {
    }
  }
  int fd() const { return fds_[0]; }
  void drain() {
    char buffer[64];
    if (read(fds_[0], buffer, sizeof buffer) < 0) {
    }
    std::deque<std::function<void()>> ready;
    {
      std::lock_guard<std::mutex> g(lock_);
      ready.swap(events_);
    }
    for (auto& e : ready) e();
  }

 private:
  int fds_[2];
  std::mutex lock_;
  std::deque<std::function<void()>> events_;
};


// A caption or other text on one line, its line breaks shown as \n.
std::string shown(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    if (s[i] == '\r' || s[i] == '\n') out += "\\n";
    else if (s[i] == '\t') out += ' ';
    else out += s[i];
  }
  return out;
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& k : items) out += (out.empty() ? "" : ", ") + k;
  return out;
}

void printPreview(const std::vector<PhotoPreview>& previews) {
  unsigned sending = 0, leftOut = 0;
  for (const auto& p : previews) {
    if (p.leftOut) {
      ++leftOut;
      printf("%s: left out: %s\n", p.name.c_str(), oneLine(p.why).c_str());
      continue;
    }
    ++sending;
    printf("%s: would upload\n", p.name.c_str());
    printf("  file: %s\n", PhotoLibrary::readableName(p.path).c_str());
    printf("  caption: %s\n", p.caption.empty() ? "none" : ("\"" + shown(p.caption) + "\"").c_str());
    printf("  keywords: %s\n", p.keywords.empty() ? "none" : oneLine(joined(p.keywords)).c_str());
    if (p.hasPosition)
      printf("  position: %.6f, %.6f\n", p.latitude, p.longitude);
    else
      printf("  position: none (sent as 0, 0)\n");
    if (p.width > 0)
      printf("  size: %s (%d x %d)\n", p.size.c_str(), p.width, p.height);
    else
      printf("  size: %s (the photo cannot be read)\n", p.size.c_str());
    printf("  privacy: %s\n", p.privacy.c_str());
    printf("  album: %s\n", p.album.empty() ? "none" : ("\"" + p.album + "\"").c_str());
  }
  printf("dry run: %u would be uploaded, %u left out; nothing was sent or stored\n", sending, leftOut);
}

}  // namespace

int main(int argc, char** argv) {
  tuneMemoryForExports();
  Options options = parse(argc, argv);
  if (options.retryFailed && !options.photos.empty())
    usageError("--retry-failed takes no photos: it exports the ones the last failed run left");
  if (options.photos.empty() && !options.retryFailed) usageError("no photos given");
  std::vector<std::string> photos, notPhotos;
  if (std::string why; !collectPhotos(options.photos, options.recursive, &photos, &notPhotos, &why)) usageError(why);

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
  for (const auto& p : photos) {
    std::string why;
    if (!library.add(p, &why)) usageError(why);
  }

  if (!options.retryFailed) {
    fprintf(stderr, "velm-export: %s %zu photo%s to %s\n", options.dryRun ? "dry run of" : "exporting",
            library.count(), library.count() == 1 ? "" : "s", serviceInUse().c_str());
    for (const auto& p : notPhotos) fprintf(stderr, "velm-export: not a photo: %s\n", p.c_str());
    if (library.count() == 0) usageError("no photos to export");
  }

  // Headless: the panel is built but never shown.
  if (!getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);

  LoadedPlugIn loaded(library);
  if (std::string why; !loaded.load(options.bundle.value_or(defaultBundlePath()), &why)) {
    fprintf(stderr, "velm-export: %s\n", why.c_str());
    return kExitSomeFailed;
  }
  SettingsPanel& panel = loaded.panel();
  PanelChoices choices;
  choices.account = options.account;
  choices.password = password;
  choices.remember = options.remember;
  choices.sizeIndex = options.sizeIndex;
  choices.privacyIndex = options.privacyIndex;
  choices.album = options.album;
  panel.fill(choices);

  // The account, before anything goes out.
  std::string account = panel.account();
  if (account.empty()) {
    loaded.unload();
    return sayUsageError("no account: give it with --account NAME (--remember keeps it for later runs)");
  }

  ExportSettings settings;
  settings.service = serviceInUse();
  settings.account = account;
  settings.republish = options.republish;
  settings.noLocation = options.noLocation;

  // The ledger: a dry run only reads it. One that cannot be used stops the export, unless the
  // run would not rely on it (a dry run, --republish): then it goes on knowing only captions.
  PublicationLedger ledger;
  if (std::string why; !ledger.open(PublicationLedger::defaultPath(),
                                    options.dryRun ? PublicationLedger::Access::ReadOnly
                                                   : PublicationLedger::Access::ReadWrite,
                                    &why)) {
    if (options.retryFailed || !(options.dryRun || options.republish)) {
      fprintf(stderr,
              "velm-export: %s; nothing was exported. It is left as it is: move it away to start a new one, or "
              "give --republish to export without it.\n",
              why.c_str());
      loaded.unload();
      return kExitSomeFailed;
    }
    fprintf(stderr, "velm-export: %s; going on without it: only captions tell published photos%s\n", why.c_str(),
            options.dryRun ? "" : ", and this run's uploads are not recorded");
  }

  if (options.retryFailed) {
    std::vector<std::string> failed = ledger.lastFailedRun(settings.service, account);
    if (failed.empty()) {
      fprintf(stderr, "velm-export: no earlier run to %s as %s left a photo failed or unexported: nothing to retry\n",
              settings.service.c_str(), account.c_str());
      loaded.unload();
      return kExitAllUploaded;
    }
    for (const auto& p : failed) {
      std::string why;
      if (!library.add(p, &why)) fprintf(stderr, "velm-export: left out: %s\n", why.c_str());
    }
    fprintf(stderr, "velm-export: %s %zu photo%s that the last failed run left, to %s\n",
            options.dryRun ? "dry run of" : "exporting", library.count(), library.count() == 1 ? "" : "s",
            settings.service.c_str());
    if (library.count() == 0) {
      loaded.unload();
      return sayUsageError("no photos to export: none of the failed run's photos can be read any more");
    }
  }

  // Photos published already are left out unless asked; no caption sent carries an earlier
  // page of the service.
  PhotoLibrary named;
  for (size_t i = 0; i < library.count(); ++i) named.add(library.photo(i).path, nullptr);
  ServicePages pages(settings.service, ledger.addresses(settings.service));
  std::vector<PublishedCheck> checks = findPublished(named, pages, &ledger, settings);
  library.retain(photosToExport(checks, settings));
  library.setCaptionFilter([pages](const std::string& caption) { return pages.withoutAddresses(caption); });
  size_t published = 0, duplicates = 0;
  for (const auto& c : checks) {
    published += c.published();
    duplicates += c.duplicate();
  }
  const char* again = !options.republish ? ", left out (--republish uploads again)"
                      : options.dryRun   ? ", would be uploaded again (--republish)"
                                         : ", uploaded again (--republish)";
  if (published > 0)
    fprintf(stderr, "velm-export: %zu photo%s published already%s\n", published, published == 1 ? " is" : "s are",
            again);
  if (duplicates > 0)
    fprintf(stderr, "velm-export: %zu photo%s the same as an earlier one of this export%s\n", duplicates,
            duplicates == 1 ? " is" : "s are", again);

  if (options.dryRun) {
    PreviewChoices preview;
    preview.maxSize = panel.sizePixels();
    preview.sizeName = panel.sizeName();
    preview.privacyName = panel.privacyName();
    preview.album = panel.albumName();
    std::vector<PhotoPreview> previews = previewExport(named, checks, library, preview, settings);
    if (options.json)
      fputs(previewJson(previews).c_str(), stdout);
    else
      printPreview(previews);
    fflush(stdout);
    loaded.unload();
    return kExitAllUploaded;
  }

  auto printResults = [&](const std::vector<PhotoOutcome>& outcomes) {
    std::vector<PhotoResult> results = exportResults(named, checks, library, outcomes);
    if (options.json) {
      fputs(resultsJson(results).c_str(), stdout);
    } else {
      for (const auto& r : results) {
        if (r.status == "uploaded")
          printf("%s: %s\n", r.name.c_str(),
                 r.address.empty() ? "uploaded (the service named no page)" : oneLine(r.address).c_str());
        else if (r.status == "failed")
          printf("%s: failed: %s\n", r.name.c_str(), oneLine(r.message).c_str());
        else if (r.status == "already published")
          printf("%s: already published: %s\n", r.name.c_str(), oneLine(r.address).c_str());
        else if (r.status == "left out")
          printf("%s: left out: %s\n", r.name.c_str(), oneLine(r.message).c_str());
        else
          printf("%s: not exported\n", r.name.c_str());
      }
      ResultCounts c = countResults(results);
      printf("%u uploaded, %u failed, %u not exported", c.uploaded, c.failed, c.notExported);
      if (c.alreadyPublished) printf(", %u already published", c.alreadyPublished);
      if (c.leftOut) printf(", %u left out", c.leftOut);
      printf("\n");
    }
    fflush(stdout);
  };

  if (library.count() == 0) {
    printResults({});
    loaded.unload();
    return kExitAllUploaded;
  }

  if (!panel.hasPassword()) {
    std::optional<std::string> typed = options.passwordFromStdin || !isatty(STDIN_FILENO)
                                           ? std::nullopt
                                           : askPassword(account);
    if (!typed || typed->empty()) {
      loaded.unload();
      return sayUsageError("no password for " + account +
                           ": give it with --password-stdin, or run on a terminal to be asked");
    }
    panel.setPassword(*typed);
  }
  if (options.remember && options.service) rememberService(*options.service);

  std::string album = panel.albumName();
  fprintf(stderr, "velm-export: as %s; size: %s; privacy: %s; album: %s%s\n", account.c_str(),
          panel.sizeName().c_str(), panel.privacyName().c_str(),
          album.empty() ? "none" : ("\"" + album + "\"").c_str(), options.noLocation ? "; no positions" : "");

  // Pages the plug-in opens are named on standard error (a desktop session opens them).
  NSWorkspace::setURLHandler([](CFStringRef address) { fprintf(stderr, "End page: %s\n", utf8(address).c_str()); });
  NSAppleScriptSetScriptingTarget(&library);

  // The plug-in reads its panel here, on the thread that owns it.
  HostExportManager& manager = loaded.manager();
  if (!loaded.beginExport()) {
    fprintf(stderr, "velm-export: the plug-in did not begin the export\n");
    return kExitSomeFailed;
  }

  // Ctrl-C and SIGTERM arrive as events of the main thread; the export's thread never sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);

  Progress progress(isatty(STDERR_FILENO));
  EventQueue queue;
  ExportSession session(loaded.plugIn(), library, manager);
  session.setSettings(settings);
  if (ledger.isOpen()) session.setLedger(&ledger);
  bool done = false;
  ExportSession::Events events;
  unsigned finished = 0;
  events.started = [&](unsigned index, unsigned count, const std::string& name) {
    queue.post([&, index, count, name] { progress.show(index + 1, count, name); });
  };
  events.finished = [&](unsigned index, unsigned count, const std::string& name, const PhotoOutcome& outcome) {
    queue.post([&, count, name, outcome] {
      ++finished;
      if (outcome.state == PhotoOutcome::Failed) {
        progress.breakLine();
        fprintf(stderr, "velm-export: %s failed: %s\n", name.c_str(), oneLine(outcome.reason).c_str());
      }
      if (finished == count && progress.terminal()) progress.show(finished, count, "done");
    });
  };
  events.stopping = [&](const std::string& why) {
    queue.post([&, why] {
      progress.breakLine();
      fprintf(stderr, "velm-export: %s\n", oneLine(why).c_str());
    });
  };
  events.warning = [&](const std::string& what) {
    queue.post([&, what] {
      progress.breakLine();
      fprintf(stderr, "velm-export: %s\n", oneLine(what).c_str());
    });
  };
  std::thread worker([&] {
    session.run(events);
    queue.post([&] { done = true; });
  });

  while (!done) {
    pollfd waits[2] = {{queue.fd(), POLLIN, 0}, {signalFd, POLLIN, 0}};
    if (poll(waits, signalFd >= 0 ? 2 : 1, -1) < 0) continue;
    if (waits[0].revents) queue.drain();
    if (signalFd >= 0 && waits[1].revents) {
      signalfd_siginfo info;
      if (read(signalFd, &info, sizeof info) != sizeof info) continue;
      progress.breakLine();
      if (session.cancelRequests() == 0)
        fprintf(stderr, "velm-export: cancelling after the current photo (Ctrl-C again stops at once)\n");
      else
        fprintf(stderr, "velm-export: stopping now\n");
      session.cancel();
    }
  }
  worker.join();
  progress.breakLine();

  printResults(session.outcomes());

  loaded.unload();  // the plug-in removes its export folder
  NSAppleScriptSetScriptingTarget(nullptr);
  if (signalFd >= 0) close(signalFd);
  return session.exitStatus();
}
