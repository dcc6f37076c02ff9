// What velm-server keeps: accounts, albums and photo records in an SQLite database
// (DIR/velm.sqlite), the photos themselves as files (DIR/photos/KEY.jpg).
//
// Accounts keep only the MD5 of their password: the service's token is derived from that
// hash, so the hash is all the server needs (and all that a stolen database reveals).
// One connection serves every request thread, under a mutex.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace velmserver {

struct User {
  int64_t id = 0;
  std::string name;
  std::string passwordMd5;  // 32 lower-case hex digits
};

struct Album {
  int64_t id = 0;
  int64_t userId = 0;
  std::string name;
  std::string key;  // names the album's page
  int64_t photoCount = 0;
};

struct Photo {
  int64_t id = 0;
  int64_t userId = 0;
  std::string userName;
  std::optional<int64_t> albumId;
  std::string albumName;
  std::string albumKey;
  std::string key;  // names the photo's page and file
  std::string caption;
  std::string description;
  std::string tags;
  double objectLatitude = 0, objectLongitude = 0, latitude = 0, longitude = 0;
  int privacy = 0;
  std::string fileName;
  int64_t size = 0;
};

class Store {
 public:
  // Opens (creating when needed) the store in dir; null with a message when it cannot.
  static std::unique_ptr<Store> open(const std::filesystem::path& dir, std::string* message);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Creates the account or replaces its password hash; created tells which. False on failure.
  bool setUser(const std::string& name, const std::string& passwordMd5, bool* created);
  std::optional<User> findUser(const std::string& name);

  enum class Outcome { Done, Exists, Failed };

  // Creates an album of the user; Exists when the user already has one of that name.
  Outcome createAlbum(int64_t userId, const std::string& name, Album* album);
  // The user's albums in the order they were made, each with its photo count.
  bool albums(int64_t userId, std::vector<Album>* out);
  std::optional<Album> albumByKey(const std::string& key);
  bool photosInAlbum(int64_t albumId, std::vector<Photo>* out);

  // Stores a photo: the file first, then its record, and the album named in
  // photo.albumName (created when the user has none of that name). Either all of it is kept
  // or nothing. On success photo gets its id, key and album fields.
  bool addPhoto(Photo* photo, std::string_view jpeg);
  std::optional<Photo> photoByKey(const std::string& key);
  std::filesystem::path photoFile(const std::string& key) const;
  // The folder upload bodies are spooled in while they arrive (beside the photos).
  std::filesystem::path spoolFolder() const { return dir_ / "photos"; }

 private:
  Store(sqlite3* db, std::filesystem::path dir) : db_(db), dir_(std::move(dir)) {}
  bool exec(const char* sql);
  std::optional<Album> findAlbumLocked(int64_t userId, const std::string& name);
  Outcome insertAlbumLocked(int64_t userId, const std::string& name, Album* album);

  std::mutex mutex_;
  sqlite3* db_;
  std::filesystem::path dir_;
};

}  // namespace velmserver
