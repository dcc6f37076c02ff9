// The Folder Manager's special folders: the user's Desktop is the XDG Desktop folder.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "FilesInternal.h"

namespace {

std::string homeFolder() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd pw;
  struct passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return std::string();
}

// The value of XDG_DESKTOP_DIR in a user-dirs.dirs file: a double-quoted "$HOME/..." or absolute
// path, with backslash escapes. Empty when the file does not set it.
std::string desktopFromUserDirs(const std::string& file, const std::string& home) {
  std::ifstream in(file);
  std::string line;
  std::string result;
  while (std::getline(in, line)) {
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] == '#') continue;
    static const std::string key = "XDG_DESKTOP_DIR";
    if (line.compare(i, key.size(), key) != 0) continue;
    i = line.find_first_not_of(" \t", i + key.size());
    if (i == std::string::npos || line[i] != '=') continue;
    i = line.find_first_not_of(" \t", i + 1);
    if (i == std::string::npos || line[i] != '"') continue;
    std::string value;
    bool closed = false;
    for (++i; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        value += line[++i];
      } else if (line[i] == '"') {
        closed = true;
        break;
      } else {
        value += line[i];
      }
    }
    if (!closed) continue;
    if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
      if (home.empty()) continue;
      result = home + value.substr(5);
    } else if (!value.empty() && value[0] == '/') {
      result = value;
    }
    // The last assignment in the file wins, as when the shell reads it.
  }
  return result;
}

std::string desktopFolder() {
  const char* env = std::getenv("XDG_DESKTOP_DIR");
  if (env && env[0] == '/') return env;
  std::string home = homeFolder();
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string configHome = (config && config[0] == '/') ? std::string(config)
                           : home.empty()               ? std::string()
                                                        : home + "/.config";
  if (!configHome.empty()) {
    std::string fromFile = desktopFromUserDirs(configHome + "/user-dirs.dirs", home);
    if (!fromFile.empty()) return fromFile;
  }
  return home.empty() ? std::string() : home + "/Desktop";
}

}  // namespace

namespace {

// The files/ folder of a volume's Trash; the user's domains stand for the home Trash.
OSErr findTrash(FSVolumeRefNum vRefNum, Boolean createFolder, FSRef* foundRef) {
  std::string onVolume;
  if (vRefNum == kUserDomain || vRefNum == kOnSystemDisk || vRefNum == kOnAppropriateDisk) {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string home = homeFolder();
    onVolume = (xdg && xdg[0] == '/') ? std::string(xdg) : home.empty() ? std::string() : home + "/.local/share";
    if (onVolume.empty()) return fnfErr;
  } else if (!velm_files::volumeFolder(vRefNum, &onVolume)) {
    return nsvErr;
  }
  std::string trash, topdir;
  OSErr err = velm_files::trashOfPath(onVolume, createFolder != 0, &trash, &topdir);
  if (err != noErr) return err;
  std::string files = trash + "/files";
  OSStatus s = FSPathMakeRef(reinterpret_cast<const UInt8*>(files.c_str()), foundRef, nullptr);
  return static_cast<OSErr>(s);
}

}  // namespace

OSErr FSFindFolder(FSVolumeRefNum vRefNum, OSType folderType, Boolean createFolder, FSRef* foundRef) {
  if (!foundRef) return paramErr;
  if (folderType == kTrashFolderType) return findTrash(vRefNum, createFolder, foundRef);
  if (folderType != kDesktopFolderType) return fnfErr;
  if (vRefNum != kUserDomain && vRefNum != kOnSystemDisk && vRefNum != kOnAppropriateDisk) return fnfErr;
  std::string path = desktopFolder();
  if (path.empty()) return fnfErr;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return velm_files::osErrFromErrno(errno);
    if (!createFolder) return fnfErr;
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) return velm_files::osErrFromErrno(ec.value());
  }
  Boolean isDirectory = FALSE;
  OSStatus err = FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), foundRef, &isDirectory);
  if (err != noErr) return static_cast<OSErr>(err);
  if (!isDirectory) {
    std::memset(foundRef->hidden, 0, sizeof foundRef->hidden);
    return errFSNotAFolder;
  }
  return noErr;
}

OSErr FindFolder(FSVolumeRefNum vRefNum, OSType folderType, Boolean createFolder, FSVolumeRefNum* foundVRefNum,
                 SInt32* foundDirID) {
  FSRef ref;
  OSErr err = FSFindFolder(vRefNum, folderType, createFolder, &ref);
  if (err != noErr) return err;
  FSCatalogInfo info;
  err = FSGetCatalogInfo(&ref, kFSCatInfoVolume | kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr);
  if (err != noErr) return err;
  if (foundVRefNum) *foundVRefNum = info.volume;
  if (foundDirID) *foundDirID = static_cast<SInt32>(info.nodeID);
  return noErr;
}
