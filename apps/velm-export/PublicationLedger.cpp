#include "PublicationLedger.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The schema of version 1. Runs keep every photo's outcome so that a later run can take up
// the ones that failed; publications are what was uploaded, found by their bytes' MD5.
const char* const kSchema =
    "CREATE TABLE publications ("
    "  id INTEGER PRIMARY KEY,"
    "  path TEXT NOT NULL,"
    "  md5 TEXT NOT NULL,"
    "  service TEXT NOT NULL,"
    "  account TEXT NOT NULL,"
    "  address TEXT NOT NULL,"
    "  published_at INTEGER NOT NULL,"
    "  run INTEGER REFERENCES runs(id));"
    "CREATE INDEX publications_by_md5 ON publications(md5, service, account);"
    "CREATE TABLE runs ("
    "  id INTEGER PRIMARY KEY,"
    "  service TEXT NOT NULL,"
    "  account TEXT NOT NULL,"
    "  started_at INTEGER NOT NULL);"
    "CREATE TABLE run_photos ("
    "  run INTEGER NOT NULL REFERENCES runs(id),"
    "  path TEXT NOT NULL,"
    "  md5 TEXT NOT NULL,"
    "  state TEXT NOT NULL CHECK (state IN ('uploaded', 'failed', 'not exported')),"
    "  code INTEGER NOT NULL,"
    "  message TEXT NOT NULL);"
    "CREATE INDEX run_photos_by_run ON run_photos(run);"
    "PRAGMA user_version = 1;";

// One prepared statement, finalized on every path.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (db) prepared_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr);
  }
  ~Statement() { sqlite3_finalize(s_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  explicit operator bool() const { return s_ != nullptr; }
  Statement& bind(int i, const std::string& v) {
    if (s_) sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bind(int i, int64_t v) {
    if (s_) sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int step() { return s_ ? sqlite3_step(s_) : prepared_ != SQLITE_OK ? prepared_ : SQLITE_ERROR; }
  std::string text(int column) const {
    const unsigned char* t = sqlite3_column_text(s_, column);
    return t ? std::string(reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(s_, column)))
             : std::string();
  }
  int64_t integer(int column) const { return sqlite3_column_int64(s_, column); }

 private:
  sqlite3_stmt* s_ = nullptr;
  int prepared_ = SQLITE_ERROR;
};

const char* stateName(PublicationLedger::PhotoState state) {
  switch (state) {
    case PublicationLedger::PhotoState::Uploaded: return "uploaded";
    case PublicationLedger::PhotoState::Failed: return "failed";
    case PublicationLedger::PhotoState::NotExported: break;
  }
  return "not exported";
}

// Makes the folder (and its parents) when missing; a new folder is the user's alone.
bool makeFolder(const fs::path& folder) {
  std::error_code ec;
  if (fs::is_directory(folder, ec)) return true;
  if (!folder.parent_path().empty() && folder.parent_path() != folder && !makeFolder(folder.parent_path()))
    return false;
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace

PublicationLedger::~PublicationLedger() { close(); }

void PublicationLedger::close() {
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
  emptyReadOnly_ = false;
}

std::string PublicationLedger::defaultPath() {
  fs::path base;
  if (const char* data = getenv("XDG_DATA_HOME"); data && *data == '/') base = data;
  else if (const char* home = getenv("HOME"); home && *home) base = fs::path(home) / ".local" / "share";
  else base = fs::path(".local") / "share";
  return (base / "velm-export" / "ledger.sqlite").string();
}

std::string PublicationLedger::lastError() const { return db_ ? sqlite3_errmsg(db_) : "not open"; }

bool PublicationLedger::open(const std::string& path, Access access, std::string* error) {
  close();
  path_ = path;
  auto fail = [&](const std::string& why) {
    if (error) *error = "the publication ledger " + path + " " + why;
    close();
    return false;
  };
  struct stat st {};
  bool exists = lstat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return fail("is not a regular file");
  if (!exists && access == Access::ReadOnly) {
    emptyReadOnly_ = true;  // nothing known yet, and nothing is made
    return true;
  }
  if (!exists) {
    if (!makeFolder(fs::path(path).parent_path()))
      return fail("cannot be made (" + std::string(strerror(errno)) + ")");
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) return fail("cannot be made (" + std::string(strerror(errno)) + ")");
    if (fd >= 0) ::close(fd);
  }
  int flags = SQLITE_OPEN_NOFOLLOW | (access == Access::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE);
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK)
    return fail("cannot be opened (" + lastError() + ")");
  // Another velm-export writing its rows holds the lock only for a moment.
  sqlite3_busy_timeout(db_, 5000);
  sqlite3_exec(db_, "PRAGMA foreign_keys = ON;", nullptr, nullptr, nullptr);
  if (!prepareSchema(error)) {
    close();
    return false;
  }
  return true;
}

bool PublicationLedger::prepareSchema(std::string* error) {
  auto say = [&](const std::string& why) {
    if (error) *error = "the publication ledger " + path_ + " " + why;
    return false;
  };
  // Says what went wrong (with SQLite's words, taken before the rollback clears them) and
  // leaves the file as it is.
  auto problem = [&](int rc) {
    std::string words = sqlite3_errmsg(db_);
    sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
    if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) return say("is in use by another program (" + words + ")");
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT) return say("is damaged or is no ledger (" + words + ")");
    return say("cannot be read (" + words + ")");
  };
  auto refuse = [&](const std::string& why) {
    sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
    return say(why);
  };
  // A write lock from the start, so that two programs never both make the schema.
  bool writable = !sqlite3_db_readonly(db_, "main");
  int rc = sqlite3_exec(db_, writable ? "BEGIN IMMEDIATE;" : "BEGIN;", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return problem(rc);
  Statement version(db_, "PRAGMA user_version;");
  rc = version.step();
  if (rc != SQLITE_ROW) return problem(rc);
  int64_t found = version.integer(0);
  Statement tables(db_, "SELECT count(*) FROM sqlite_master;");
  rc = tables.step();
  if (rc != SQLITE_ROW) return problem(rc);
  int64_t objects = tables.integer(0);
  if (found > kSchemaVersion) return refuse("was written by a newer velm-export (schema " + std::to_string(found) + ")");
  if (found == 0 && objects > 0) return refuse("is a database of another program, not a ledger");
  if (found == kSchemaVersion) {
    Statement check(db_, "PRAGMA quick_check;");
    rc = check.step();
    if (rc != SQLITE_ROW) return problem(rc);
    if (check.text(0) != "ok") return refuse("is damaged (" + check.text(0) + ")");
  }
  if (found == 0 && writable) {
    rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return problem(rc);
  }
  rc = sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return problem(rc);
  return true;
}

std::optional<PublicationLedger::Publication> PublicationLedger::find(const std::string& md5,
                                                                      const std::string& service,
                                                                      const std::string& account) const {
  Statement q(db_,
              "SELECT path, address, published_at FROM publications WHERE md5 = ?1 AND service = ?2 AND account = ?3 "
              "ORDER BY published_at DESC, id DESC LIMIT 1;");
  if (!q) return std::nullopt;
  q.bind(1, md5).bind(2, service).bind(3, account);
  if (q.step() != SQLITE_ROW) return std::nullopt;
  return Publication{q.text(0), md5, service, account, q.text(1), q.integer(2)};
}

std::vector<std::string> PublicationLedger::addresses(const std::string& service) const {
  std::vector<std::string> out;
  Statement q(db_, "SELECT DISTINCT address FROM publications WHERE service = ?1 ORDER BY id DESC;");
  if (!q) return out;
  q.bind(1, service);
  while (q.step() == SQLITE_ROW) out.push_back(q.text(0));
  return out;
}

int64_t PublicationLedger::beginRun(const std::string& service, const std::string& account) {
  Statement q(db_, "INSERT INTO runs (service, account, started_at) VALUES (?1, ?2, ?3);");
  if (!q) return 0;
  q.bind(1, service).bind(2, account).bind(3, static_cast<int64_t>(time(nullptr)));
  return q.step() == SQLITE_DONE ? sqlite3_last_insert_rowid(db_) : 0;
}

bool PublicationLedger::record(int64_t run, const Publication& photo, PhotoState state, int32_t code,
                               const std::string& message) {
  if (!db_) return false;
  // Both rows or neither.
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
  bool ok = true;
  if (run > 0) {
    Statement q(db_, "INSERT INTO run_photos (run, path, md5, state, code, message) VALUES (?1, ?2, ?3, ?4, ?5, ?6);");
    q.bind(1, run).bind(2, photo.path).bind(3, photo.md5).bind(4, std::string(stateName(state)))
        .bind(5, static_cast<int64_t>(code)).bind(6, message);
    ok = q.step() == SQLITE_DONE;
  }
  if (ok && state == PhotoState::Uploaded) {
    Statement q(db_,
                "INSERT INTO publications (path, md5, service, account, address, published_at, run) "
                "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7);");
    q.bind(1, photo.path).bind(2, photo.md5).bind(3, photo.service).bind(4, photo.account).bind(5, photo.address)
        .bind(6, photo.time ? photo.time : static_cast<int64_t>(time(nullptr)));
    if (run > 0) q.bind(7, run);
    ok = q.step() == SQLITE_DONE;
  }
  ok = ok && sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!ok) sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
  return ok;
}

std::vector<std::string> PublicationLedger::lastFailedRun(const std::string& service, const std::string& account,
                                                          int64_t* run) const {
  std::vector<std::string> out;
  if (run) *run = 0;
  Statement last(db_,
                 "SELECT r.id FROM runs r WHERE r.service = ?1 AND r.account = ?2 AND EXISTS (SELECT 1 FROM "
                 "run_photos p WHERE p.run = r.id AND p.state <> 'uploaded') ORDER BY r.id DESC LIMIT 1;");
  if (!last) return out;
  last.bind(1, service).bind(2, account);
  if (last.step() != SQLITE_ROW) return out;
  int64_t id = last.integer(0);
  if (run) *run = id;
  Statement photos(db_, "SELECT path FROM run_photos WHERE run = ?1 AND state <> 'uploaded' ORDER BY rowid;");
  photos.bind(1, id);
  while (photos.step() == SQLITE_ROW) out.push_back(photos.text(0));
  return out;
}
