#include "ExportSession.h"

namespace {

// The service refused the account itself: every further photo would fail the same way.
bool refusesTheAccount(SInt32 code) { return code == 101 || code == 102; }

}  // namespace

ExportSession::ExportSession(ApertureExportPlugIn& plugIn, const PhotoLibrary& library, HostExportManager& manager)
    : plugIn_(plugIn), library_(library), manager_(manager) {
  outcomes_.resize(library.count());
  reported_.resize(library.count(), false);
}

void ExportSession::finish(unsigned index, const PhotoOutcome& outcome) {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (index >= outcomes_.size() || reported_[index]) return;
    outcomes_[index] = outcome;
    reported_[index] = true;
  }
  if (ledger_ && ledger_->isOpen()) {
    // Kept before the display hears of it: a crash after an upload loses nothing of it.
    PublicationLedger::Publication p;
    p.path = library_.photo(index).path;
    p.md5 = library_.checksum(index);
    p.service = settings_.service;
    p.account = settings_.account;
    p.address = outcome.address;
    auto state = outcome.state == PhotoOutcome::Uploaded ? PublicationLedger::PhotoState::Uploaded
                 : outcome.state == PhotoOutcome::Failed ? PublicationLedger::PhotoState::Failed
                                                          : PublicationLedger::PhotoState::NotExported;
    if (!ledger_->record(run_, p, state, outcome.code, outcome.reason) && !ledgerWarned_) {
      ledgerWarned_ = true;
      if (events_.warning)
        events_.warning("the publication ledger " + ledger_->path() + " could not record " + p.path + " (" +
                        ledger_->lastError() + "); a later run will not know it was " +
                        (state == PublicationLedger::PhotoState::Uploaded ? "published" : "tried"));
    }
  }
  unsigned count = static_cast<unsigned>(library_.count());
  if (events_.finished) events_.finished(index, count, library_.photo(index).versionName, outcome);
}

void ExportSession::run(const Events& events) {
  events_ = events;
  const unsigned count = static_cast<unsigned>(library_.count());
  if (ledger_ && ledger_->isOpen()) run_ = ledger_->beginRun(settings_.service, settings_.account);
  manager_.onOutcome = [&](unsigned index, const PhotoOutcome& reported) {
    PhotoOutcome outcome = reported;
    bool stopNow = false;
    {
      std::lock_guard<std::mutex> g(lock_);
      // An upload stopped by a second cancel did not fail: it was not exported.
      if (outcome.state == PhotoOutcome::Failed && cancels_ >= 2) outcome = PhotoOutcome{};
      if (outcome.state == PhotoOutcome::Failed && refusesTheAccount(outcome.code) && !refused_) {
        refused_ = true;
        stopNow = true;
      }
    }
    finish(index, outcome);
    if (stopNow) {
      if (events_.stopping)
        events_.stopping("the service refused the account (" + outcome.reason + "); nothing more is uploaded");
      plugIn_.exportManagerShouldCancelExport();
    }
  };
  runExportImages(
      plugIn_, library_, manager_,
      [&](unsigned index, const std::string& why) {
        PhotoOutcome outcome;
        outcome.state = PhotoOutcome::Failed;
        outcome.reason = why;
        finish(index, outcome);
      },
      [&](unsigned index) {
        if (events_.started) events_.started(index, count, library_.photo(index).versionName);
      },
      settings_);
  // A photo the plug-in was told about but gave no outcome for, or never reached, was not
  // exported.
  for (unsigned i = 0; i < count; ++i) finish(i, PhotoOutcome{});
  manager_.onOutcome = nullptr;
}

void ExportSession::cancel() {
  {
    std::lock_guard<std::mutex> g(lock_);
    ++cancels_;
  }
  plugIn_.exportManagerShouldCancelExport();
}

int ExportSession::cancelRequests() const {
  std::lock_guard<std::mutex> g(lock_);
  return cancels_;
}

std::vector<PhotoOutcome> ExportSession::outcomes() const {
  std::lock_guard<std::mutex> g(lock_);
  return outcomes_;
}

ExportSession::Counts ExportSession::counts() const {
  Counts c;
  for (const auto& o : outcomes()) {
    if (o.state == PhotoOutcome::Uploaded) ++c.uploaded;
    else if (o.state == PhotoOutcome::Failed) ++c.failed;
    else ++c.notExported;
  }
  return c;
}

int ExportSession::exitStatus() const {
  if (cancelRequests() > 0) return kExitCancelled;
  Counts c = counts();
  return c.failed == 0 && c.notExported == 0 ? kExitAllUploaded : kExitSomeFailed;
}
