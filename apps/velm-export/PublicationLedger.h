// The publication ledger of velm-export: which photo went to which service and account, at
// which page address and when, and the runs of earlier exports with the photos each left
// failed or unexported.
//
// A small SQLite database, by default $XDG_DATA_HOME/velm-export/ledger.sqlite (else
// ~/.local/share/velm-export/ledger.sqlite), made readable by the user only. Photos are known
// by the MD5 of their bytes, so a copy or a renamed file is known too. Every row is committed
// as soon as it is recorded: an export that stops half way keeps what it uploaded.
//
// The database is a file other programs (and damaged disks) may touch: a file that is no
// ledger, a ledger of a newer schema, or one locked by another program is never written,
// moved or replaced; open() says what is wrong and the caller decides whether to go on
// without it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

class PublicationLedger {
 public:
  // The schema this program writes (PRAGMA user_version of the database).
  static constexpr int kSchemaVersion = 1;

  PublicationLedger() = default;
  ~PublicationLedger();
  PublicationLedger(const PublicationLedger&) = delete;
  PublicationLedger& operator=(const PublicationLedger&) = delete;

  // $XDG_DATA_HOME/velm-export/ledger.sqlite, else ~/.local/share/velm-export/ledger.sqlite.
  static std::string defaultPath();

  enum class Access { ReadWrite, ReadOnly };
  // Opens the ledger at path. ReadWrite creates it (and its folder, mode 0700) when missing,
  // the file with mode 0600. ReadOnly never creates anything: a missing ledger opens as an
  // empty one. False, with a sentence in `error` that names the file, when the file is no
  // ledger, is locked by another program, or cannot be read or made.
  bool open(const std::string& path, Access access, std::string* error);
  bool isOpen() const { return db_ != nullptr || emptyReadOnly_; }
  const std::string& path() const { return path_; }

  struct Publication {
    std::string path;     // the photo's path when it was uploaded
    std::string md5;      // lower-case hex MD5 of its bytes
    std::string service;  // the service's address, without trailing slashes
    std::string account;
    std::string address;  // the photo's page
    int64_t time = 0;     // seconds since 1970
  };
  // The latest upload of bytes with this MD5 to the service and account.
  std::optional<Publication> find(const std::string& md5, const std::string& service, const std::string& account) const;
  // Every page address recorded for the service (any account), newest first.
  std::vector<std::string> addresses(const std::string& service) const;

  // Runs: begun before the first photo, each photo's outcome recorded as it is known.
  enum class PhotoState { Uploaded, Failed, NotExported };
  // A new run's number; 0 when it cannot be recorded.
  int64_t beginRun(const std::string& service, const std::string& account);
  // One photo's outcome in a run; an upload also becomes a publication. False when the row
  // could not be written.
  bool record(int64_t run, const Publication& photo, PhotoState state, int32_t code, const std::string& message);

  // The photos (paths, in the run's order) that failed or were not exported in the latest run
  // to the service and account that had any; empty when there is none.
  std::vector<std::string> lastFailedRun(const std::string& service, const std::string& account,
                                         int64_t* run = nullptr) const;

  // The last SQLite error, for messages.
  std::string lastError() const;

 private:
  bool prepareSchema(std::string* error);
  void close();

  sqlite3* db_ = nullptr;
  bool emptyReadOnly_ = false;
  std::string path_;
};
