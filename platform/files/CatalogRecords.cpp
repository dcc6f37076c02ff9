// FSSpec records: volume, parent directory ID and MacRoman name; the catalog parameter block;
// moving, renaming and deleting items; volumes and their disks.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "FilesInternal.h"

namespace velm_files {
namespace {

// A MacRoman converter that refuses what it cannot map, opened per call (converters are not
// thread-safe and opening one from ICU's cache is cheap).
struct MacRoman {
  UConverter* cnv = nullptr;
  MacRoman() {
    UErrorCode ec = U_ZERO_ERROR;
    cnv = ucnv_open("macintosh", &ec);
    if (U_FAILURE(ec)) {
      cnv = nullptr;
      return;
    }
    ucnv_setToUCallBack(cnv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &ec);
    ucnv_setFromUCallBack(cnv, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &ec);
  }
  ~MacRoman() {
    if (cnv) ucnv_close(cnv);
  }
};

// Renames without ever replacing an item already at the target.
int renameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // File systems without RENAME_NOREPLACE: a hard link fails on a taken name (files only).
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) return EEXIST;
  if (rename(from.c_str(), to.c_str()) != 0) return errno;
  return 0;
}

OSErr deletionError(int err) { return err == ENOTEMPTY || err == EEXIST ? OSErr(fBsyErr) : osErrFromErrno(err); }

// The FSSpec of an existing item at a canonical path.
OSErr specForItem(const std::string& path, const struct statx& st, FSSpec* fsRec) {
  std::memset(fsRec, 0, sizeof *fsRec);
  if (path == "/" || isVolumeRoot(path, st)) {
    fsRec->vRefNum = volumeRefNum(deviceOf(st), path);
    fsRec->parID = fsRtParID;
    std::string name = volumeName(fsRec->vRefNum);
    for (char& c : name)
      if (c == ':') c = '/';
    return pascalFromComponent(name, fsRec->name);
  }
  std::string folder = parentPath(path);
  struct statx parent;
  int e = statItem(folder, &parent);
  if (e != 0) return osErrFromErrno(e);
  fsRec->vRefNum = volumeRefNum(deviceOf(parent), folder);
  fsRec->parID = static_cast<SInt32>(directoryID(folder, parent, isVolumeRoot(folder, parent)));
  return pascalFromComponent(lastComponent(path), fsRec->name);
}

}  // namespace

std::string childPath(const std::string& folder, const std::string& component) {
  return (folder == "/" ? std::string() : folder) + "/" + component;
}

OSErr componentFromPascal(ConstStr255Param name, size_t maxLength, std::string* component) {
  if (!name || name[0] == 0 || name[0] > maxLength) return bdNamErr;
  for (int i = 1; i <= name[0]; ++i)
    if (name[i] == ':') return bdNamErr;
  MacRoman mac;
  if (!mac.cnv) return bdNamErr;
  UChar units[256];
  UErrorCode ec = U_ZERO_ERROR;
  int32_t n = ucnv_toUChars(mac.cnv, units, 256, reinterpret_cast<const char*>(name + 1), name[0], &ec);
  if (U_FAILURE(ec)) return bdNamErr;
  OSErr err = componentFromUnicode(static_cast<UniCharCount>(n), reinterpret_cast<const UniChar*>(units), component);
  return err == noErr ? OSErr(noErr) : OSErr(bdNamErr);
}

OSErr pascalFromComponent(const std::string& component, Str63 name) {
  std::memset(name, 0, sizeof(Str63));
  if (component.empty()) return bdNamErr;
  HFSUniStr255 unicode;
  unicodeFromComponent(component, &unicode);
  MacRoman mac;
  if (!mac.cnv) return bdNamErr;
  char bytes[512];
  UErrorCode ec = U_ZERO_ERROR;
  int32_t n = ucnv_fromUChars(mac.cnv, bytes, sizeof bytes, reinterpret_cast<const UChar*>(unicode.unicode),
                              unicode.length, &ec);
  if (U_FAILURE(ec) || n <= 0 || n > 63) return bdNamErr;
  name[0] = static_cast<unsigned char>(n);
  std::memcpy(name + 1, bytes, static_cast<size_t>(n));
  return noErr;
}

OSErr specPath(const FSSpec* fsRec, std::string* path, bool* exists) {
  if (!fsRec) return paramErr;
  std::string folder;
  std::string component;
  if (fsRec->parID == SInt32(fsRtParID)) {
    // The volume's root folder, named by the volume's name.
    OSErr err = directoryPath(fsRec->vRefNum, fsRtDirID, &folder);
    if (err != noErr) return err;
    *path = folder;
  } else {
    OSErr err = directoryPath(fsRec->vRefNum, static_cast<UInt32>(fsRec->parID), &folder);
    if (err != noErr) return err;
    if (fsRec->name[0] == 0) {
      *path = folder;
    } else {
      err = componentFromPascal(fsRec->name, 63, &component);
      if (err != noErr) return err;
      *path = childPath(folder, component);
    }
  }
  struct statx st;
  *exists = statItem(*path, &st) == 0;
  return noErr;
}

// The path and status of the item a record names; fnfErr when there is none.
OSErr existingItem(const FSSpec* fsRec, std::string* path, struct statx* st) {
  bool exists = false;
  OSErr err = specPath(fsRec, path, &exists);
  if (err != noErr) return err;
  if (!exists) return fnfErr;
  int e = statItem(*path, st);
  return e == 0 ? OSErr(noErr) : osErrFromErrno(e);
}

OSErr fillSpec(const std::string& path, const struct statx& st, FSSpec* fsRec) { return specForItem(path, st, fsRec); }

OSErr moveItem(const std::string& from, const struct statx& st, const std::string& folder, FSRef* newRef);
OSErr deleteItem(const std::string& path, const struct statx& st);

OSErr moveItem(const std::string& from, const struct statx& st, const std::string& folder, FSRef* newRef) {
  struct statx dest;
  int e = statItem(folder, &dest);
  if (e != 0) return e == ENOENT ? OSErr(dirNFErr) : osErrFromErrno(e);
  if (!S_ISDIR(dest.stx_mode)) return dirNFErr;
  if (deviceOf(dest) != deviceOf(st)) return diffVolErr;
  // Moving a folder into itself or below itself.
  if (folder == from || folder.compare(0, from.size() + 1, from + "/") == 0) return badMovErr;
  std::string trash;
  if (isTrashFilesFolder(folder, &trash)) return moveToTrash(from, st, trash, newRef);
  std::string to = childPath(folder, lastComponent(from));
  if (to == from) {
    if (newRef) makeRef(from, st, newRef);
    return noErr;
  }
  e = renameNoReplace(from, to);
  if (e != 0) return osErrFromErrno(e);
  moveSidecar(from, to);
  if (newRef) makeRef(to, st, newRef);
  return noErr;
}

OSErr deleteItem(const std::string& path, const struct statx& st) {
  if (path == "/" || isVolumeRoot(path, st)) return fBsyErr;
  if (S_ISDIR(st.stx_mode)) {
    // Sidecars of items that are gone do not keep a folder alive.
    if (countChildren(path) == 0) removeOrphanSidecars(path);
    if (rmdir(path.c_str()) != 0) return deletionError(errno);
  } else if (unlink(path.c_str()) != 0) {
    return deletionError(errno);
  }
  removeSidecar(path);
  return noErr;
}

}  // namespace velm_files

using namespace velm_files;

// ---- FSSpec records ----------------------------------------------------------------------------

OSErr FSMakeFSSpec(SInt16 vRefNum, SInt32 dirID, ConstStr255Param fileName, FSSpec* fsRec) {
  if (!fsRec) return paramErr;
  std::string folder;
  if (vRefNum == 0 && dirID == 0) {
    char* cwd = realpath(".", nullptr);
    if (!cwd) return osErrFromErrno(errno);
    folder = cwd;
    std::free(cwd);
  } else {
    if (vRefNum == 0) {
      char* cwd = realpath(".", nullptr);
      if (!cwd) return osErrFromErrno(errno);
      volumeOfPath(cwd, &vRefNum);
      std::free(cwd);
    }
    OSErr err = directoryPath(vRefNum, dirID == 0 ? UInt32(fsRtDirID) : static_cast<UInt32>(dirID), &folder);
    if (err != noErr) return err;
  }
  struct statx st;
  int e = statItem(folder, &st);
  if (e != 0) return e == ENOENT ? OSErr(dirNFErr) : osErrFromErrno(e);
  if (!S_ISDIR(st.stx_mode)) return dirNFErr;
  if (!fileName || fileName[0] == 0) return specForItem(folder, st, fsRec);

  std::string component;
  OSErr err = componentFromPascal(fileName, 63, &component);
  if (err != noErr) return err;
  FSSpec made;
  std::memset(&made, 0, sizeof made);
  made.vRefNum = volumeRefNum(deviceOf(st), folder);
  made.parID = static_cast<SInt32>(directoryID(folder, st, isVolumeRoot(folder, st)));
  std::memcpy(made.name, fileName, size_t(fileName[0]) + 1);
  *fsRec = made;
  struct statx child;
  return statItem(childPath(folder, component), &child) == 0 ? OSErr(noErr) : OSErr(fnfErr);
}

OSErr FSpMakeFSRef(const FSSpec* source, FSRef* newRef) {
  if (!source || !newRef) return paramErr;
  std::string path;
  struct statx st;
  OSErr err = existingItem(source, &path, &st);
  if (err != noErr) return err;
  makeRef(path, st, newRef);
  return noErr;
}

OSErr FSpGetFInfo(const FSSpec* fsRec, FInfo* fndrInfo) {
  if (!fndrInfo) return paramErr;
  FSRef ref;
  OSErr err = FSpMakeFSRef(fsRec, &ref);
  if (err != noErr) return err;
  FSCatalogInfo info;
  err = FSGetCatalogInfo(&ref, kFSCatInfoNodeFlags | kFSCatInfoFinderInfo, &info, nullptr, nullptr, nullptr);
  if (err != noErr) return err;
  if (info.nodeFlags & kFSNodeIsDirectoryMask) return notAFileErr;
  std::memcpy(fndrInfo, info.finderInfo, sizeof *fndrInfo);
  return noErr;
}

OSErr FSpSetFInfo(const FSSpec* fsRec, const FInfo* fndrInfo) {
  if (!fndrInfo) return paramErr;
  std::string path;
  struct statx st;
  OSErr err = existingItem(fsRec, &path, &st);
  if (err != noErr) return err;
  if (S_ISDIR(st.stx_mode)) return notAFileErr;
  // The extended Finder information stays as it is.
  UInt8 disk[32];
  readSidecar(path, disk, nullptr);
  UInt8 finderInfo[16], extFinderInfo[16];
  finderInfoToHost(disk, false, finderInfo, extFinderInfo);
  std::memcpy(finderInfo, fndrInfo, sizeof *fndrInfo);
  finderInfoToDisk(finderInfo, extFinderInfo, false, disk);
  return writeFinderInfo(path, disk);
}

OSErr FSpCreate(const FSSpec* fsRec, OSType creator, OSType fileType, ScriptCode) {
  if (!fsRec || fsRec->name[0] == 0) return bdNamErr;
  std::string path;
  bool exists = false;
  OSErr err = specPath(fsRec, &path, &exists);
  if (err != noErr) return err;
  if (exists) return dupFNErr;
  FSRef parent;
  std::string folder = parentPath(path);
  OSStatus s = FSPathMakeRef(reinterpret_cast<const UInt8*>(folder.c_str()), &parent, nullptr);
  if (s != noErr) return static_cast<OSErr>(s);
  HFSUniStr255 name;
  unicodeFromComponent(lastComponent(path), &name);
  FSCatalogInfo info;
  std::memset(&info, 0, sizeof info);
  FileInfo finder{};
  finder.fileType = fileType;
  finder.fileCreator = creator;
  std::memcpy(info.finderInfo, &finder, sizeof finder);
  return FSCreateFileUnicode(&parent, name.length, name.unicode, kFSCatInfoFinderInfo, &info, nullptr, nullptr);
}

OSErr FSpRename(const FSSpec* fsRec, ConstStr255Param newName) {
  std::string path;
  struct statx st;
  OSErr err = existingItem(fsRec, &path, &st);
  if (err != noErr) return err;
  std::string component;
  err = componentFromPascal(newName, 63, &component);
  if (err != noErr) return err;
  if (path == "/" || isVolumeRoot(path, st)) return fBsyErr;  // volumes are not renamed here
  std::string to = childPath(parentPath(path), component);
  if (to == path) return noErr;
  int e = renameNoReplace(path, to);
  if (e != 0) return osErrFromErrno(e);
  moveSidecar(path, to);
  return noErr;
}

OSErr FSpDelete(const FSSpec* fsRec) {
  std::string path;
  struct statx st;
  OSErr err = existingItem(fsRec, &path, &st);
  if (err != noErr) return err;
  return deleteItem(path, st);
}

OSErr FSpCatMove(const FSSpec* source, const FSSpec* dest) {
  std::string from, folder;
  struct statx st;
  OSErr err = existingItem(source, &from, &st);
  if (err != noErr) return err;
  bool exists = false;
  err = specPath(dest, &folder, &exists);
  if (err != noErr) return err;
  if (!exists) return dirNFErr;
  return moveItem(from, st, folder, nullptr);
}

// ---- The catalog parameter block --------------------------------------------------------------

OSErr PBGetCatInfoSync(CInfoPBPtr pb) {
  if (!pb) return paramErr;
  HFileInfo& f = pb->hFileInfo;
  DirInfo& d = pb->dirInfo;
  auto finish = [&](OSErr err) {
    f.ioResult = err;
    return err;
  };
  if (f.ioFDirIndex > 0) return finish(paramErr);  // listing by index is not served
  FSSpec fsRec;
  std::memset(&fsRec, 0, sizeof fsRec);
  fsRec.vRefNum = f.ioVRefNum;
  fsRec.parID = f.ioDirID;
  if (f.ioFDirIndex == 0 && f.ioNamePtr && f.ioNamePtr[0] > 0) {
    if (f.ioNamePtr[0] > 63) return finish(bdNamErr);
    std::memcpy(fsRec.name, f.ioNamePtr, size_t(f.ioNamePtr[0]) + 1);
  }
  if (fsRec.vRefNum == 0) {
    char* cwd = realpath(".", nullptr);
    if (!cwd) return finish(osErrFromErrno(errno));
    volumeOfPath(cwd, &fsRec.vRefNum);
    std::free(cwd);
  }
  if (fsRec.parID == 0) fsRec.parID = fsRtDirID;
  FSRef ref;
  OSErr err = FSpMakeFSRef(&fsRec, &ref);
  if (err != noErr) return finish(err);
  FSCatalogInfo info;
  err = FSGetCatalogInfo(&ref,
                         kFSCatInfoNodeFlags | kFSCatInfoVolume | kFSCatInfoParentDirID | kFSCatInfoNodeID |
                             kFSCatInfoAllDates | kFSCatInfoFinderInfo | kFSCatInfoDataSizes |
                             kFSCatInfoRsrcSizes | kFSCatInfoValence,
                         &info, nullptr, nullptr, nullptr);
  if (err != noErr) return finish(err);
  auto seconds = [](const UTCDateTime& t) { return t.lowSeconds; };
  const bool isDir = (info.nodeFlags & kFSNodeIsDirectoryMask) != 0;
  f.ioVRefNum = info.volume;
  f.ioFRefNum = 0;
  f.ioFlAttrib = isDir ? SInt8(kioFlAttribDirMask) : SInt8(0);
  f.ioACUser = 0;
  if (isDir) {
    std::memcpy(d.ioDrUsrWds, info.finderInfo, 16);
    d.ioDrDirID = static_cast<SInt32>(info.nodeID);
    d.ioDrNmFls = static_cast<UInt16>(info.valence > 0xFFFF ? 0xFFFF : info.valence);
    d.ioDrCrDat = seconds(info.createDate);
    d.ioDrMdDat = seconds(info.contentModDate);
    d.ioDrBkDat = seconds(info.backupDate);
    std::memcpy(d.ioDrFndrInfo, info.extFinderInfo, 16);
    d.ioDrParID = static_cast<SInt32>(info.parentDirID);
  } else {
    std::memcpy(&f.ioFlFndrInfo, info.finderInfo, sizeof f.ioFlFndrInfo);
    f.ioDirID = static_cast<SInt32>(info.nodeID);
    auto clamp = [](UInt64 v) { return static_cast<SInt32>(v > 0x7FFFFFFF ? 0x7FFFFFFF : v); };
    f.ioFlLgLen = clamp(info.dataLogicalSize);
    f.ioFlPyLen = clamp(info.dataPhysicalSize);
    f.ioFlRLgLen = clamp(info.rsrcLogicalSize);
    f.ioFlRPyLen = clamp(info.rsrcPhysicalSize);
    f.ioFlCrDat = seconds(info.createDate);
    f.ioFlMdDat = seconds(info.contentModDate);
    f.ioFlBkDat = seconds(info.backupDate);
    f.ioFlParID = static_cast<SInt32>(info.parentDirID);
  }
  // The item's name goes back to the caller when it was not given by name.
  if (f.ioFDirIndex != 0 && f.ioNamePtr) {
    FSSpec named;
    if (FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, nullptr, &named, nullptr) == noErr)
      std::memcpy(f.ioNamePtr, named.name, size_t(named.name[0]) + 1);
  }
  return finish(noErr);
}

// ---- Moving, deleting and making folders by reference -----------------------------------------

OSErr FSMoveObject(const FSRef* ref, const FSRef* destDirectory, FSRef* newRef) {
  Item item, dest;
  OSErr err = resolveRef(ref, &item);
  if (err != noErr) return err;
  err = resolveRef(destDirectory, &dest);
  if (err != noErr) return err;
  if (!S_ISDIR(dest.st.stx_mode)) return errFSNotAFolder;
  return moveItem(item.path, item.st, dest.path, newRef);
}

OSErr FSDeleteObject(const FSRef* ref) {
  Item item;
  OSErr err = resolveRef(ref, &item);
  if (err != noErr) return err;
  return deleteItem(item.path, item.st);
}

OSErr FSCreateDirectoryUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                               FSCatalogInfoBitmap whichInfo, const FSCatalogInfo*, FSRef* newRef,
                               FSSpecPtr newSpec, UInt32* newDirID) {
  if (whichInfo != kFSCatInfoNone) return errFSBadInfoBitmap;
  std::string path;
  OSErr err = childPathInFolder(parentRef, nameLength, name, &path);
  if (err != noErr) return err;
  if (mkdir(path.c_str(), 0777) != 0) return osErrFromErrno(errno);
  struct statx st;
  int e = statItem(path, &st);
  if (e != 0) return osErrFromErrno(e);
  if (newRef) makeRef(path, st, newRef);
  if (newDirID) *newDirID = directoryID(path, st, false);
  if (newSpec) {
    err = specForItem(path, st, newSpec);
    if (err != noErr) return err;
  }
  return noErr;
}

// ---- Volumes ------------------------------------------------------------------------------------

OSErr FSGetVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex, FSVolumeRefNum* actualVolume,
                      FSVolumeInfoBitmap whichInfo, FSVolumeInfo* info, HFSUniStr255* volumeNameOut,
                      FSRef* rootDirectory) {
  FSVolumeRefNum n = volume;
  if (volumeIndex > 0) {
    if (!mountedVolumeAt(volumeIndex, &n)) return nsvErr;
  }
  VolumeDetails d;
  if (!volumeDetails(n, &d)) return nsvErr;
  if (actualVolume) *actualVolume = n;
  if (info) {
    std::memset(info, 0, sizeof *info);
    if (whichInfo & (kFSVolInfoBlocks | kFSVolInfoSizes)) {
      struct statvfs vfs;
      if (statvfs(d.mountPoint.c_str(), &vfs) == 0) {
        UInt64 block = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
        info->blockSize = static_cast<UInt32>(block);
        info->totalBlocks = static_cast<UInt32>(vfs.f_blocks > 0xFFFFFFFFu ? 0xFFFFFFFFu : vfs.f_blocks);
        info->freeBlocks = static_cast<UInt32>(vfs.f_bavail > 0xFFFFFFFFu ? 0xFFFFFFFFu : vfs.f_bavail);
        info->totalBytes = UInt64(vfs.f_blocks) * block;
        info->freeBytes = UInt64(vfs.f_bavail) * block;
      }
    }
  }
  if (volumeNameOut) {
    std::string name = volumeName(n);
    for (char& c : name)
      if (c == '/') c = ':';  // shown as "/" again by the conversion
    unicodeFromComponent(name, volumeNameOut);
  }
  if (rootDirectory) {
    struct statx st;
    int e = statItem(d.mountPoint, &st);
    if (e != 0) return osErrFromErrno(e);
    makeRef(d.mountPoint, st, rootDirectory);
  }
  return noErr;
}

OSStatus FSCopyDiskIDForVolume(FSVolumeRefNum vRefNum, CFStringRef* diskID) {
  if (!diskID) return paramErr;
  *diskID = nullptr;
  VolumeDetails d;
  if (!volumeDetails(vRefNum, &d)) return nsvErr;
  std::string id;
  if (!diskIDForDevice(d.device, &id)) return noErr;
  *diskID = CFStringCreateWithCString(nullptr, id.c_str(), kCFStringEncodingASCII);
  return *diskID ? OSStatus(noErr) : OSStatus(memFullErr);
}

OSStatus FNNotify(const FSRef*, FNMessage, UInt32) { return noErr; }
