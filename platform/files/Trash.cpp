// The Trash: the freedesktop.org Trash of each volume, with .trashinfo records that desktop file
// managers read to show and restore items.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "FilesInternal.h"

namespace velm_files {
namespace {

// File systems that keep nothing across a restart or are views of the kernel: no Trash.
bool hasNoTrash(const std::string& fsType) {
  static const std::set<std::string> kinds = {
      "tmpfs", "ramfs", "devtmpfs", "proc", "sysfs", "devpts", "cgroup", "cgroup2", "securityfs", "debugfs",
      "tracefs", "pstore", "bpf", "mqueue", "hugetlbfs", "configfs", "fusectl", "autofs", "binfmt_misc",
      "efivarfs", "nsfs", "squashfs", "iso9660", "rpc_pipefs"};
  return kinds.count(fsType) > 0;
}

std::string dataHome() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.local/share";
  return std::string();
}

// The device that holds path, or the nearest of its folders that exists.
bool deviceHolding(std::string path, UInt64* device) {
  struct statx st;
  while (statItem(path, &st) != 0) {
    if (path == "/" || path.empty()) return false;
    path = parentPath(path);
  }
  *device = deviceOf(st);
  return true;
}

// Makes a folder of the Trash, owner only; an existing one must be a real folder.
bool makeTrashFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeTrashFolders(const std::string& trash, const std::string& topdirTrash) {
  if (!topdirTrash.empty() && !makeTrashFolder(topdirTrash)) return false;
  return makeTrashFolder(trash) && makeTrashFolder(trash + "/files") && makeTrashFolder(trash + "/info");
}

// Percent-escapes a path for the Path key: every byte but the unreserved ones and "/".
std::string escapePath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace

// The Trash folder (holding files/ and info/) of the volume that holds path, and the folder that
// the Path keys of its records are relative to ("" for absolute paths, in the home Trash).
OSErr trashOfPath(const std::string& path, bool create, std::string* trash, std::string* topdir) {
  std::string home = dataHome();
  UInt64 device = 0, homeDevice = 0;
  if (!deviceHolding(path, &device)) return fnfErr;
  if (!home.empty() && deviceHolding(home, &homeDevice) && device == homeDevice) {
    *trash = home + "/Trash";
    topdir->clear();
    if (create) {
      // The data folder itself may be missing in a fresh account.
      std::error_code ec;
      std::filesystem::create_directories(home, ec);
      if (ec) return osErrFromErrno(ec.value());
      if (!makeTrashFolders(*trash, std::string())) return osErrFromErrno(errno);
    }
  } else {
    FSVolumeRefNum n = 0;
    std::string mountPoint = volumeOfPath(path, &n);
    VolumeDetails d;
    if (mountPoint.empty() || !volumeDetails(n, &d) || hasNoTrash(d.fsType)) return fnfErr;
    struct statvfs vfs;
    if (statvfs(mountPoint.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY)) return fnfErr;
    const std::string uid = std::to_string(geteuid());
    std::string shared = childPath(mountPoint, ".Trash");
    struct stat st;
    // The administrator's shared Trash is used only when it is a real, sticky folder.
    bool useShared = lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX);
    *trash = useShared ? shared + "/" + uid : childPath(mountPoint, ".Trash-" + uid);
    *topdir = mountPoint;
    if (create && !makeTrashFolders(*trash, std::string())) return osErrFromErrno(errno);
  }
  struct stat st;
  std::string files = *trash + "/files";
  if (lstat(files.c_str(), &st) != 0) return errno == ENOENT ? OSErr(fnfErr) : osErrFromErrno(errno);
  if (!S_ISDIR(st.st_mode)) return errFSNotAFolder;
  return noErr;
}

bool isTrashFilesFolder(const std::string& folder, std::string* trash) {
  if (lastComponent(folder) != "files") return false;
  std::string t, topdir;
  if (trashOfPath(folder, false, &t, &topdir) != noErr) return false;
  if (t + "/files" != folder) return false;
  *trash = t;
  return true;
}

OSErr moveToTrash(const std::string& from, const struct statx& st, const std::string& trash, FSRef* newRef) {
  std::string t, topdir;
  OSErr err = trashOfPath(from, false, &t, &topdir);
  if (err != noErr) return err;
  if (t != trash) return diffVolErr;
  const std::string name = lastComponent(from);
  const std::string side = sidecarPath(from);
  struct stat sideSt;
  const bool withSidecar = !side.empty() && lstat(side.c_str(), &sideSt) == 0 && S_ISREG(sideSt.st_mode);

  // Every name the move needs must be free in the Trash, or nothing is moved.
  std::string names[2] = {name, withSidecar ? lastComponent(side) : std::string()};
  for (const std::string& n : names) {
    if (n.empty()) continue;
    struct stat taken;
    if (lstat((trash + "/files/" + n).c_str(), &taken) == 0) return dupFNErr;
    if (lstat((trash + "/info/" + n + ".trashinfo").c_str(), &taken) == 0) return dupFNErr;
  }

  char date[32];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);

  // The record comes first and is made exclusively: it claims the name in the Trash.
  auto trashOne = [&](const std::string& item, const std::string& n) -> OSErr {
    std::string info = trash + "/info/" + n + ".trashinfo";
    int fd = open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return errno == EEXIST ? OSErr(dupFNErr) : osErrFromErrno(errno);
    std::string original = topdir.empty() ? item : item.substr(topdir == "/" ? 1 : topdir.size() + 1);
    std::string text = "[Trash Info]\nPath=" + escapePath(original) + "\nDeletionDate=" + date + "\n";
    bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int closed = close(fd);
    if (!written || closed != 0) {
      unlink(info.c_str());
      return ioErr;
    }
    std::string to = trash + "/files/" + n;
    if (renameat2(AT_FDCWD, item.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0) {
      int e = errno;
      unlink(info.c_str());
      return osErrFromErrno(e);
    }
    return noErr;
  };
  err = trashOne(from, name);
  if (err != noErr) return err;
  if (withSidecar) trashOne(side, lastComponent(side));
  if (newRef) makeRef(trash + "/files/" + name, st, newRef);
  return noErr;
}

}  // namespace velm_files
