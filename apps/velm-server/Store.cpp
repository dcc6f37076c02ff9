#include "Store.h"

#include <sqlite3.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <system_error>

#include "Protocol.h"

namespace velmserver {

namespace {

const char* const kSchema = R"sql(
PRAGMA foreign_keys = ON;
CREATE TABLE IF NOT EXISTS users (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  password_md5 TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS albums (
  id INTEGER PRIMARY KEY,
  user_id INTEGER NOT NULL REFERENCES users(id),
  name TEXT NOT NULL,
  page_key TEXT NOT NULL UNIQUE,
  created INTEGER NOT NULL,
  UNIQUE (user_id, name)
);
CREATE TABLE IF NOT EXISTS photos (
  id INTEGER PRIMARY KEY,
  user_id INTEGER NOT NULL REFERENCES users(id),
  album_id INTEGER REFERENCES albums(id),
  page_key TEXT NOT NULL UNIQUE,
  caption TEXT NOT NULL,
  description TEXT NOT NULL,
  tags TEXT NOT NULL,
  object_latitude REAL NOT NULL,
  object_longitude REAL NOT NULL,
  latitude REAL NOT NULL,
  longitude REAL NOT NULL,
  privacy INTEGER NOT NULL,
  file_name TEXT NOT NULL,
  size INTEGER NOT NULL,
  created INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS photos_by_album ON photos(album_id);
)sql";

// One prepared statement, finalized on every path.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  Statement& bind(int i, const std::string& text) {
    if (stmt_)
      sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& bind(int i, int64_t value) {
    if (stmt_) sqlite3_bind_int64(stmt_, i, value);
    return *this;
  }
  Statement& bind(int i, double value) {
    if (stmt_) sqlite3_bind_double(stmt_, i, value);
    return *this;
  }
  Statement& bindNull(int i) {
    if (stmt_) sqlite3_bind_null(stmt_, i);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_ERROR; }
  std::string text(int col) const {
    const auto* p = sqlite3_column_text(stmt_, col);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string();
  }
  int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
  double real(int col) const { return sqlite3_column_double(stmt_, col); }
  bool isNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

const char* const kPhotoColumns =
    "SELECT p.id, p.user_id, u.name, p.album_id, a.name, a.page_key, p.page_key, p.caption, "
    "p.description, p.tags, p.object_latitude, p.object_longitude, p.latitude, p.longitude, "
    "p.privacy, p.file_name, p.size FROM photos p JOIN users u ON u.id = p.user_id "
    "LEFT JOIN albums a ON a.id = p.album_id ";

Photo photoFromRow(const Statement& s) {
  Photo p;
  p.id = s.integer(0);
  p.userId = s.integer(1);
  p.userName = s.text(2);
  if (!s.isNull(3)) p.albumId = s.integer(3);
  p.albumName = s.text(4);
  p.albumKey = s.text(5);
  p.key = s.text(6);
  p.caption = s.text(7);
  p.description = s.text(8);
  p.tags = s.text(9);
  p.objectLatitude = s.real(10);
  p.objectLongitude = s.real(11);
  p.latitude = s.real(12);
  p.longitude = s.real(13);
  p.privacy = static_cast<int>(s.integer(14));
  p.fileName = s.text(15);
  p.size = s.integer(16);
  return p;
}

int64_t now() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

std::unique_ptr<Store> Store::open(const std::filesystem::path& dir, std::string* message) {
  std::error_code ec;
  std::filesystem::create_directories(dir / "photos", ec);
  if (ec) {
    *message = "cannot create " + (dir / "photos").string() + ": " + ec.message();
    return nullptr;
  }
  sqlite3* db = nullptr;
  std::string path = (dir / "velm.sqlite").string();
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    *message = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 5000);
  std::unique_ptr<Store> store(new Store(db, dir));
  // A write-ahead log with synchronous=NORMAL commits without waiting for the disk: every
  // upload is one short transaction, and a full sync per commit would cost more than storing
  // the photo. The database stays consistent after a crash; at worst the last uploads before a
  // power loss are gone, as their photo files may be.
  if (!store->exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL;")) {
    *message = "cannot set up " + path + ": " + sqlite3_errmsg(db);
    return nullptr;
  }
  if (!store->exec(kSchema)) {
    *message = "cannot set up " + path + ": " + sqlite3_errmsg(db);
    return nullptr;
  }
  return store;
}

Store::~Store() { sqlite3_close(db_); }

bool Store::exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool Store::setUser(const std::string& name, const std::string& passwordMd5, bool* created) {
  std::lock_guard lock(mutex_);
  Statement update(db_, "UPDATE users SET password_md5 = ?1 WHERE name = ?2");
  if (update.bind(1, passwordMd5).bind(2, name).step() != SQLITE_DONE) return false;
  if (sqlite3_changes(db_) > 0) {
    *created = false;
    return true;
  }
  Statement insert(db_, "INSERT INTO users (name, password_md5) VALUES (?1, ?2)");
  if (insert.bind(1, name).bind(2, passwordMd5).step() != SQLITE_DONE) return false;
  *created = true;
  return true;
}

std::optional<User> Store::findUser(const std::string& name) {
  std::lock_guard lock(mutex_);
  Statement s(db_, "SELECT id, name, password_md5 FROM users WHERE name = ?1");
  if (s.bind(1, name).step() != SQLITE_ROW) return std::nullopt;
  return User{s.integer(0), s.text(1), s.text(2)};
}

std::optional<Album> Store::findAlbumLocked(int64_t userId, const std::string& name) {
  Statement s(db_, "SELECT id, user_id, name, page_key FROM albums WHERE user_id = ?1 AND name = ?2");
  if (s.bind(1, userId).bind(2, name).step() != SQLITE_ROW) return std::nullopt;
  Album a;
  a.id = s.integer(0);
  a.userId = s.integer(1);
  a.name = s.text(2);
  a.key = s.text(3);
  return a;
}

Store::Outcome Store::insertAlbumLocked(int64_t userId, const std::string& name, Album* album) {
  if (auto existing = findAlbumLocked(userId, name)) {
    *album = *existing;
    return Outcome::Exists;
  }
  std::string key = randomHex(12);
  if (key.empty()) return Outcome::Failed;
  Statement s(db_, "INSERT INTO albums (user_id, name, page_key, created) VALUES (?1, ?2, ?3, ?4)");
  if (s.bind(1, userId).bind(2, name).bind(3, key).bind(4, now()).step() != SQLITE_DONE)
    return Outcome::Failed;
  album->id = sqlite3_last_insert_rowid(db_);
  album->userId = userId;
  album->name = name;
  album->key = key;
  album->photoCount = 0;
  return Outcome::Done;
}

Store::Outcome Store::createAlbum(int64_t userId, const std::string& name, Album* album) {
  std::lock_guard lock(mutex_);
  return insertAlbumLocked(userId, name, album);
}

bool Store::albums(int64_t userId, std::vector<Album>* out) {
  std::lock_guard lock(mutex_);
  Statement s(db_,
              "SELECT a.id, a.user_id, a.name, a.page_key, "
              "(SELECT COUNT(*) FROM photos p WHERE p.album_id = a.id) "
              "FROM albums a WHERE a.user_id = ?1 ORDER BY a.id");
  if (!s.ok()) return false;
  s.bind(1, userId);
  out->clear();
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) {
    Album a;
    a.id = s.integer(0);
    a.userId = s.integer(1);
    a.name = s.text(2);
    a.key = s.text(3);
    a.photoCount = s.integer(4);
    out->push_back(std::move(a));
  }
  return rc == SQLITE_DONE;
}

std::optional<Album> Store::albumByKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  Statement s(db_,
              "SELECT a.id, a.user_id, a.name, a.page_key, "
              "(SELECT COUNT(*) FROM photos p WHERE p.album_id = a.id) "
              "FROM albums a WHERE a.page_key = ?1");
  if (s.bind(1, key).step() != SQLITE_ROW) return std::nullopt;
  Album a;
  a.id = s.integer(0);
  a.userId = s.integer(1);
  a.name = s.text(2);
  a.key = s.text(3);
  a.photoCount = s.integer(4);
  return a;
}

bool Store::photosInAlbum(int64_t albumId, std::vector<Photo>* out) {
  std::lock_guard lock(mutex_);
  Statement s(db_, (std::string(kPhotoColumns) + "WHERE p.album_id = ?1 ORDER BY p.id").c_str());
  if (!s.ok()) return false;
  s.bind(1, albumId);
  out->clear();
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) out->push_back(photoFromRow(s));
  return rc == SQLITE_DONE;
}

std::optional<Photo> Store::photoByKey(const std::string& key) {
  std::lock_guard lock(mutex_);
  Statement s(db_, (std::string(kPhotoColumns) + "WHERE p.page_key = ?1").c_str());
  if (s.bind(1, key).step() != SQLITE_ROW) return std::nullopt;
  return photoFromRow(s);
}

std::filesystem::path Store::photoFile(const std::string& key) const {
  return dir_ / "photos" / (key + ".jpg");
}

bool Store::addPhoto(Photo* photo, std::string_view jpeg) {
  std::string key = randomHex(12);
  if (key.empty()) return false;

  // The file goes first, under a temporary name, so that no record ever names a missing or
  // half-written file; the rename makes it appear whole.
  std::filesystem::path final = photoFile(key);
  std::filesystem::path temporary = final;
  temporary += ".part";
  {
    std::ofstream f(temporary, std::ios::binary | std::ios::trunc);
    f.write(jpeg.data(), static_cast<std::streamsize>(jpeg.size()));
    f.flush();
    if (!f) {
      f.close();
      std::error_code ec;
      std::filesystem::remove(temporary, ec);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, final, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
    return false;
  }

  std::lock_guard lock(mutex_);
  bool ok = exec("BEGIN IMMEDIATE");
  std::optional<int64_t> albumId;
  Album album;
  if (ok && !photo->albumName.empty()) {
    Outcome outcome = insertAlbumLocked(photo->userId, photo->albumName, &album);
    ok = outcome != Outcome::Failed;
    albumId = album.id;
  }
  if (ok) {
    Statement s(db_,
                "INSERT INTO photos (user_id, album_id, page_key, caption, description, tags, "
                "object_latitude, object_longitude, latitude, longitude, privacy, file_name, "
                "size, created) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)");
    s.bind(1, photo->userId);
    if (albumId)
      s.bind(2, *albumId);
    else
      s.bindNull(2);
    s.bind(3, key).bind(4, photo->caption).bind(5, photo->description).bind(6, photo->tags);
    s.bind(7, photo->objectLatitude).bind(8, photo->objectLongitude);
    s.bind(9, photo->latitude).bind(10, photo->longitude);
    s.bind(11, static_cast<int64_t>(photo->privacy)).bind(12, photo->fileName);
    s.bind(13, static_cast<int64_t>(jpeg.size())).bind(14, now());
    ok = s.step() == SQLITE_DONE;
  }
  if (ok) {
    photo->id = sqlite3_last_insert_rowid(db_);
    ok = exec("COMMIT");
  }
  if (!ok) {
    exec("ROLLBACK");
    std::filesystem::remove(final, ec);
    return false;
  }
  photo->key = key;
  photo->size = static_cast<int64_t>(jpeg.size());
  photo->albumId = albumId;
  if (albumId) photo->albumKey = album.key;
  return true;
}

}  // namespace velmserver
