// One export of velm-export's photos through the plug-in, as the command line and a desktop
// window both run it: the photos' outcomes, the events a display shows, cancelling, and the
// program's exit status.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ExportHost.h"
#include "ExportSettings.h"
#include "PhotoLibrary.h"
#include "PublicationLedger.h"

// Exit statuses of velm-export.
enum ExportExitStatus : int {
  kExitAllUploaded = 0,
  kExitSomeFailed = 1,
  kExitUsage = 2,
  kExitCancelled = 130,
};

class ExportSession {
 public:
  // What a display learns while the export runs; each is called on the export's thread, once
  // per photo and in order: started, then finished.
  struct Events {
    std::function<void(unsigned index, unsigned count, const std::string& name)> started;
    std::function<void(unsigned index, unsigned count, const std::string& name, const PhotoOutcome&)> finished;
    // The export stops early for a reason every further photo would share (the service
    // refused the account); said once.
    std::function<void(const std::string& why)> stopping;
    // Something the export goes on without (an outcome the ledger could not keep); said once.
    std::function<void(const std::string& what)> warning;
  };

  // The plug-in has begun the export (exportManagerShouldBeginExport) with this host.
  ExportSession(ApertureExportPlugIn& plugIn, const PhotoLibrary& library, HostExportManager& manager);

  // The choices the photos are rendered with (no location) and the service and account the
  // ledger records. Before run.
  void setSettings(const ExportSettings& settings) { settings_ = settings; }
  // Records this export in the ledger as one run: each photo's outcome as it is reported, each
  // upload as a publication. Before run; the ledger outlives the session.
  void setLedger(PublicationLedger* ledger) { ledger_ = ledger; }

  // Runs every photo; blocks until the export has ended or stopped.
  void run(const Events& events);

  // Asks the export to stop: the first call after the current photo, a second one at once
  // (the upload in progress is stopped too). Safe from any thread.
  void cancel();
  int cancelRequests() const;

  // After run: each photo's outcome, in the library's order, and the counts.
  std::vector<PhotoOutcome> outcomes() const;
  struct Counts {
    unsigned uploaded = 0, failed = 0, notExported = 0;
  };
  Counts counts() const;
  // 0 when every photo was uploaded, 130 after a cancel, else 1.
  int exitStatus() const;

 private:
  void finish(unsigned index, const PhotoOutcome& outcome);

  ApertureExportPlugIn& plugIn_;
  const PhotoLibrary& library_;
  HostExportManager& manager_;
  Events events_;
  mutable std::mutex lock_;
  std::vector<PhotoOutcome> outcomes_;
  std::vector<bool> reported_;
  int cancels_ = 0;
  bool refused_ = false;
  ExportSettings settings_;
  PublicationLedger* ledger_ = nullptr;
  int64_t run_ = 0;
  bool ledgerWarned_ = false;
};
