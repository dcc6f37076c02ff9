// File Manager references, catalog information and file creation over POSIX paths.
#include <fcntl.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unicode/ustring.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "FilesInternal.h"

namespace velm_files {

OSErr osErrFromErrno(int err) {
  switch (err) {
    case 0: return noErr;
    case ENOENT: return fnfErr;
    case ENOTDIR: return dirNFErr;
    case EEXIST: return dupFNErr;
    case EACCES:
    case EPERM: return afpAccessDenied;
    case EROFS: return vLckdErr;
    case ENOSPC:
    case EDQUOT: return dskFulErr;
    case ENAMETOOLONG: return errFSNameTooLong;
    case EMFILE:
    case ENFILE: return tmfoErr;
    case ENOMEM: return memFullErr;
    case EISDIR: return notAFileErr;
    case EBUSY:
    case ETXTBSY: return fBsyErr;
    case EBADF: return rfNumErr;
    case ENOTEMPTY: return fBsyErr;
    case EXDEV: return diffVolErr;
    case EINVAL: return paramErr;
    case EFBIG: return dskFulErr;
    default: return ioErr;
  }
}

int statItem(const std::string& path, struct statx* st) {
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, st) != 0)
    return errno;
  return 0;
}

std::string parentPath(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// ---- The table of paths that FSRefs point into. ------------------------------------------------
// Each path has a slot; a reference holds the slot's number and generation. The table keeps the
// most recently used kPathCapacity paths: when it is full the least recently used slot is given to
// the new path under a new generation, and references to the old path then fail as stale.

constexpr UInt32 kRefMagic = 0x56524546;  // 'VREF'
constexpr size_t kPathCapacity = 65536;
size_t gPathCapacity = kPathCapacity;

struct PathSlot {
  std::string path;
  UInt32 generation = 0;
  std::list<UInt32>::iterator recent;
};

struct PathTable {
  std::mutex lock;
  std::vector<PathSlot> slots;
  std::unordered_map<std::string, UInt32> index;
  std::list<UInt32> recent;  // slot numbers, most recently used first
};

PathTable& pathTable() {
  static PathTable* table = new PathTable;  // lives as long as the process; FSRefs point into it
  return *table;
}

void internPath(const std::string& path, UInt32* slot, UInt32* generation) {
  PathTable& t = pathTable();
  std::lock_guard<std::mutex> guard(t.lock);
  auto found = t.index.find(path);
  if (found != t.index.end()) {
    PathSlot& s = t.slots[found->second];
    t.recent.splice(t.recent.begin(), t.recent, s.recent);
    *slot = found->second;
    *generation = s.generation;
    return;
  }
  UInt32 i;
  if (t.slots.size() < gPathCapacity) {
    i = static_cast<UInt32>(t.slots.size());
    t.slots.emplace_back();
    t.recent.push_front(i);
    t.slots[i].recent = t.recent.begin();
  } else {
    i = t.recent.back();
    t.index.erase(t.slots[i].path);
    t.recent.splice(t.recent.begin(), t.recent, t.slots[i].recent);
  }
  PathSlot& s = t.slots[i];
  s.path = path;
  s.generation = s.generation + 1 == 0 ? 1 : s.generation + 1;
  t.index.emplace(path, i);
  *slot = i;
  *generation = s.generation;
}

bool lookUpPath(UInt32 i, UInt32 generation, std::string* path) {
  PathTable& t = pathTable();
  std::lock_guard<std::mutex> guard(t.lock);
  if (i >= t.slots.size() || t.slots[i].generation != generation) return false;
  PathSlot& s = t.slots[i];
  t.recent.splice(t.recent.begin(), t.recent, s.recent);
  *path = s.path;
  return true;
}

// The fields of an FSRef, in its 80 bytes.
struct RefFields {
  UInt32 magic;
  UInt32 pathIndex;
  UInt32 generation;
  UInt64 device;
  UInt64 inode;
  SInt64 birthSeconds;  // 0 when the file system keeps no birth time
  UInt32 birthNanoseconds;
  UInt32 fileType;  // S_IFMT bits
};
static_assert(sizeof(RefFields) <= sizeof(FSRef));

// Folders have IDs from the directory registry; files the low half of their inode number.
UInt32 nodeIDOf(const std::string& path, const struct statx& st) {
  if (S_ISDIR(st.stx_mode)) return directoryID(path, st, isVolumeRoot(path, st));
  return static_cast<UInt32>(st.stx_ino);
}

void utcFromTimestamp(const struct statx_timestamp& ts, UTCDateTime* out) {
  // Seconds between the start of 1904 and the start of 1970.
  constexpr SInt64 kOffset1904 = 2082844800;
  SInt64 secs = ts.tv_sec + kOffset1904;
  if (secs < 0) secs = 0;
  out->highSeconds = static_cast<UInt16>((UInt64(secs) >> 32) & 0xFFFF);
  out->lowSeconds = static_cast<UInt32>(UInt64(secs) & 0xFFFFFFFFu);
  out->fraction = static_cast<UInt16>((UInt64(ts.tv_nsec) << 16) / 1000000000u);
}

bool canAccess(const std::string& path, int mode) {
  return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

UInt32 countItems(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (!dir) return 0;
  UInt32 count = 0;
  while (struct dirent* e = readdir(dir)) {
    const char* n = e->d_name;
    if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0) continue;
    if (std::strncmp(n, "._", 2) == 0) continue;  // sidecars belong to their items
    ++count;
  }
  closedir(dir);
  return count;
}

}  // namespace

bool isVolumeRoot(const std::string& path, const struct statx& st) {
  if (path == "/") return true;
  if (st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) return (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  struct statx parent;
  if (statItem(parentPath(path), &parent) != 0) return false;
  return deviceOf(parent) != deviceOf(st);
}

UInt32 countChildren(const std::string& path) { return countItems(path); }

void removeOrphanSidecars(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  std::vector<std::string> sidecars;
  while (struct dirent* e = readdir(dir))
    if (std::strncmp(e->d_name, "._", 2) == 0) sidecars.push_back(e->d_name);
  closedir(dir);
  for (const std::string& name : sidecars) unlinkat(AT_FDCWD, childPath(folder, name).c_str(), 0);
}

void setPathTableCapacity(size_t capacity) {
  PathTable& t = pathTable();
  std::lock_guard<std::mutex> guard(t.lock);
  // Only ever lowered below the slots in use, which then are reused in turn.
  gPathCapacity = capacity == 0 ? kPathCapacity : capacity;
}

size_t pathTableSize() {
  PathTable& t = pathTable();
  std::lock_guard<std::mutex> guard(t.lock);
  return t.index.size();
}

void makeRef(const std::string& path, const struct statx& st, FSRef* ref) {
  RefFields f{};
  f.magic = kRefMagic;
  internPath(path, &f.pathIndex, &f.generation);
  f.device = deviceOf(st);
  f.inode = st.stx_ino;
  if (st.stx_mask & STATX_BTIME) {
    f.birthSeconds = st.stx_btime.tv_sec;
    f.birthNanoseconds = st.stx_btime.tv_nsec;
  }
  f.fileType = st.stx_mode & S_IFMT;
  std::memset(ref->hidden, 0, sizeof ref->hidden);
  std::memcpy(ref->hidden, &f, sizeof f);
}

OSErr resolveRef(const FSRef* ref, Item* item) {
  if (!ref) return paramErr;
  RefFields f;
  std::memcpy(&f, ref->hidden, sizeof f);
  if (f.magic != kRefMagic || !lookUpPath(f.pathIndex, f.generation, &item->path)) return errFSBadFSRef;
  int err = statItem(item->path, &item->st);
  if (err != 0) return err == ENOENT || err == ENOTDIR ? OSErr(fnfErr) : osErrFromErrno(err);
  // The same path with another item behind it: the referenced item is gone.
  if (deviceOf(item->st) != f.device || item->st.stx_ino != f.inode ||
      (item->st.stx_mode & S_IFMT) != f.fileType)
    return fnfErr;
  if (f.birthSeconds != 0 && (item->st.stx_mask & STATX_BTIME) &&
      (item->st.stx_btime.tv_sec != f.birthSeconds || item->st.stx_btime.tv_nsec != f.birthNanoseconds))
    return fnfErr;
  return noErr;
}

OSErr componentFromUnicode(UniCharCount length, const UniChar* name, std::string* component) {
  if (length == 0) return errFSMissingName;
  if (!name || length > 255) return length > 255 ? OSErr(errFSNameTooLong) : OSErr(paramErr);
  std::vector<UChar> units(name, name + length);
  for (UChar& u : units) {
    if (u == 0) return bdNamErr;
    if (u == '/') u = ':';
  }
  char buffer[4 * 255 + 1];
  int32_t size = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(buffer, sizeof buffer, &size, units.data(), static_cast<int32_t>(units.size()), &status);
  if (U_FAILURE(status)) return bdNamErr;  // lone surrogates have no UTF-8 form
  component->assign(buffer, static_cast<size_t>(size));
  if (*component == "." || *component == "..") return bdNamErr;
  if (component->size() > NAME_MAX) return errFSNameTooLong;
  return noErr;
}

OSErr childPathInFolder(const FSRef* parentRef, UniCharCount length, const UniChar* name, std::string* path) {
  Item parent;
  OSErr err = resolveRef(parentRef, &parent);
  if (err != noErr) return err;
  if (!S_ISDIR(parent.st.stx_mode)) return errFSNotAFolder;
  std::string component;
  err = componentFromUnicode(length, name, &component);
  if (err != noErr) return err;
  *path = (parent.path == "/" ? std::string() : parent.path) + "/" + component;
  return noErr;
}

void unicodeFromComponent(const std::string& component, HFSUniStr255* name) {
  std::memset(name, 0, sizeof *name);
  UChar units[512];
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8WithSub(units, 512, &length, component.data(), static_cast<int32_t>(component.size()),
                       0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return;
  if (length > 255) length = 255;
  for (int32_t i = 0; i < length; ++i) name->unicode[i] = units[i] == ':' ? UniChar('/') : units[i];
  name->length = static_cast<UInt16>(length);
}

}  // namespace velm_files

using namespace velm_files;

OSStatus FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory) {
  if (!path || !ref) return paramErr;
  char* resolved = realpath(reinterpret_cast<const char*>(path), nullptr);
  if (!resolved) return osErrFromErrno(errno);
  std::string canonical(resolved);
  std::free(resolved);
  struct statx st;
  int err = statItem(canonical, &st);
  if (err != 0) return osErrFromErrno(err);
  makeRef(canonical, st, ref);
  if (isDirectory) *isDirectory = S_ISDIR(st.stx_mode) ? TRUE : FALSE;
  return noErr;
}

OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize) {
  if (!path || maxPathSize == 0) return paramErr;
  Item item;
  OSErr err = resolveRef(ref, &item);
  if (err != noErr) return err;
  if (item.path.size() + 1 > maxPathSize) return buffersTooSmall;
  std::memcpy(path, item.path.c_str(), item.path.size() + 1);
  return noErr;
}

OSErr FSMakeFSRefUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                         TextEncoding textEncodingHint, FSRef* newRef) {
  if (!newRef) return paramErr;
  std::string path;
  OSErr err = childPathInFolder(parentRef, nameLength, name, &path);
  if (err != noErr) return err;
  struct statx st;
  int e = statItem(path, &st);
  if (e != 0) return osErrFromErrno(e);
  makeRef(path, st, newRef);
  return noErr;
}

OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                          FSRef* newRef, FSSpecPtr newSpec) {
  constexpr FSCatalogInfoBitmap kSettable =
      kFSCatInfoTextEncoding | kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo;
  if (whichInfo & ~kSettable) return errFSBadInfoBitmap;
  if ((whichInfo & (kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo)) && !catalogInfo) return paramErr;
  std::string path;
  OSErr err = childPathInFolder(parentRef, nameLength, name, &path);
  if (err != noErr) return err;

  bool withFinderInfo = (whichInfo & (kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo)) != 0;
  // A leftover sidecar that cannot take the Finder information stops the creation before
  // anything is made.
  if (withFinderInfo) {
    err = checkSidecarWritable(path);
    if (err != noErr) return err;
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return osErrFromErrno(errno);
  struct statx st;
  int e = statx(fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &st);
  close(fd);
  if (e != 0) {
    e = errno;
    unlink(path.c_str());
    return osErrFromErrno(e);
  }
  if (withFinderInfo) {
    UInt8 finderInfo[16] = {};
    UInt8 extFinderInfo[16] = {};
    if (whichInfo & kFSCatInfoFinderInfo) std::memcpy(finderInfo, catalogInfo->finderInfo, 16);
    if (whichInfo & kFSCatInfoFinderXInfo) std::memcpy(extFinderInfo, catalogInfo->extFinderInfo, 16);
    UInt8 disk[32];
    finderInfoToDisk(finderInfo, extFinderInfo, false, disk);
    err = writeFinderInfo(path, disk);
    if (err != noErr) {
      unlink(path.c_str());  // all or nothing: no file without the Finder information asked for
      return err;
    }
  }
  if (newRef) makeRef(path, st, newRef);
  if (newSpec) return fillSpec(path, st, newSpec);
  return noErr;
}

OSErr FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo* catalogInfo,
                       HFSUniStr255* outName, FSSpecPtr fsSpec, FSRef* parentRef) {
  if (whichInfo != kFSCatInfoNone && !catalogInfo) return paramErr;
  Item item;
  OSErr err = resolveRef(ref, &item);
  if (err != noErr) return err;
  const struct statx& st = item.st;
  const bool isDir = S_ISDIR(st.stx_mode);
  const std::string folder = parentPath(item.path);
  const bool isRoot = item.path == "/";

  if (catalogInfo) {
    std::memset(catalogInfo, 0, sizeof *catalogInfo);
    FSCatalogInfo& info = *catalogInfo;
    if (whichInfo & kFSCatInfoTextEncoding) info.textEncodingHint = kTextEncodingUnknown;
    if (whichInfo & kFSCatInfoNodeFlags) {
      if (isDir) info.nodeFlags |= kFSNodeIsDirectoryMask;
      if (!isDir && st.stx_nlink > 1) info.nodeFlags |= kFSNodeHardLinkMask;
      if ((st.stx_attributes_mask & STATX_ATTR_IMMUTABLE) && (st.stx_attributes & STATX_ATTR_IMMUTABLE))
        info.nodeFlags |= kFSNodeLockedMask;
      if (itemHasOpenFork((UInt64(st.stx_dev_major) << 32) | st.stx_dev_minor, st.stx_ino))
        info.nodeFlags |= kFSNodeDataOpenMask | kFSNodeForkOpenMask;
    }
    if (whichInfo & kFSCatInfoVolume)
      info.volume = volumeRefNum((UInt64(st.stx_dev_major) << 32) | st.stx_dev_minor, isDir ? item.path : folder);
    if (whichInfo & kFSCatInfoParentDirID) {
      if (isRoot || isVolumeRoot(item.path, st)) {
        info.parentDirID = fsRtParID;
      } else {
        struct statx parent;
        if (statItem(folder, &parent) == 0) info.parentDirID = nodeIDOf(folder, parent);
      }
    }
    if (whichInfo & kFSCatInfoNodeID) info.nodeID = nodeIDOf(item.path, st);
    if (whichInfo & kFSCatInfoCreateDate) {
      struct statx_timestamp created = st.stx_btime;
      if (!(st.stx_mask & STATX_BTIME)) {
        const auto& m = st.stx_mtime;
        const auto& c = st.stx_ctime;
        bool mOlder = m.tv_sec < c.tv_sec || (m.tv_sec == c.tv_sec && m.tv_nsec <= c.tv_nsec);
        created = mOlder ? m : c;
      }
      utcFromTimestamp(created, &info.createDate);
    }
    if (whichInfo & kFSCatInfoContentMod) utcFromTimestamp(st.stx_mtime, &info.contentModDate);
    if (whichInfo & kFSCatInfoAttrMod) utcFromTimestamp(st.stx_ctime, &info.attributeModDate);
    if (whichInfo & kFSCatInfoAccessDate) utcFromTimestamp(st.stx_atime, &info.accessDate);
    const bool canRead = canAccess(item.path, R_OK);
    const bool canWrite = canAccess(item.path, W_OK);
    const bool owner = st.stx_uid == geteuid();
    if (whichInfo & (kFSCatInfoPermissions | kFSCatInfoUserAccess)) {
      info.permissions.userID = st.stx_uid;
      info.permissions.groupID = st.stx_gid;
      info.permissions.mode = static_cast<UInt16>(st.stx_mode);
      UInt8 access = 0;
      if (owner) access |= kioACAccessOwnerMask;
      if (canRead) access |= kioACAccessUserReadMask;
      if (canWrite) access |= kioACAccessUserWriteMask;
      if (canAccess(item.path, X_OK)) access |= kioACAccessUserSearchMask;
      info.permissions.userAccess = access;
    }
    if (whichInfo & kFSCatInfoUserPrivs) {
      UInt8 privs = 0;
      if (!canRead) privs |= kioACUserNoSeeFolderMask | kioACUserNoSeeFilesMask;
      if (!canWrite) privs |= kioACUserNoMakeChangesMask;
      if (!owner) privs |= kioACUserNotOwnerMask;
      info.userPrivileges = privs;
    }
    if (whichInfo & (kFSCatInfoFinderInfo | kFSCatInfoFinderXInfo | kFSCatInfoRsrcSizes)) {
      UInt8 disk[32];
      UInt64 rsrcLength = 0;
      readSidecar(item.path, disk, &rsrcLength);
      UInt8 finderInfo[16], extFinderInfo[16];
      finderInfoToHost(disk, isDir, finderInfo, extFinderInfo);
      if (whichInfo & kFSCatInfoFinderInfo) std::memcpy(info.finderInfo, finderInfo, 16);
      if (whichInfo & kFSCatInfoFinderXInfo) std::memcpy(info.extFinderInfo, extFinderInfo, 16);
      if ((whichInfo & kFSCatInfoRsrcSizes) && !isDir) {
        UInt64 block = st.stx_blksize ? st.stx_blksize : 4096;
        info.rsrcLogicalSize = rsrcLength;
        info.rsrcPhysicalSize = (rsrcLength + block - 1) / block * block;
      }
    }
    if ((whichInfo & kFSCatInfoDataSizes) && !isDir) {
      info.dataLogicalSize = st.stx_size;
      info.dataPhysicalSize = st.stx_blocks * 512;
    }
    if ((whichInfo & kFSCatInfoValence) && isDir) info.valence = countItems(item.path);
  }
  if (outName) {
    if (isRoot) std::memset(outName, 0, sizeof *outName);
    else unicodeFromComponent(lastComponent(item.path), outName);
  }
  if (fsSpec) {
    err = fillSpec(item.path, st, fsSpec);
    if (err != noErr) return err;
  }
  if (parentRef) {
    std::memset(parentRef->hidden, 0, sizeof parentRef->hidden);
    if (!isRoot) {
      struct statx parent;
      int e = statItem(folder, &parent);
      if (e != 0) return osErrFromErrno(e);
      makeRef(folder, parent, parentRef);
    }
  }
  return noErr;
}

CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const FSRef* fsRef) {
  Item item;
  if (resolveRef(fsRef, &item) != noErr) return nullptr;
  return CFURLCreateFromFileSystemRepresentation(allocator, reinterpret_cast<const UInt8*>(item.path.data()),
                                                 static_cast<CFIndex>(item.path.size()),
                                                 S_ISDIR(item.st.stx_mode) ? TRUE : FALSE);
}

Boolean CFURLGetFSRef(CFURLRef url, FSRef* fsRef) {
  if (!url || !fsRef) return false;
  UInt8 path[PATH_MAX + 1];
  if (!CFURLGetFileSystemRepresentation(url, true, path, sizeof path)) return false;
  return FSPathMakeRef(path, fsRef, nullptr) == noErr;
}
