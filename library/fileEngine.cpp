// The file engine: references, paths and names.
#include "fileEngine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <utility>

#include "Aliases.h"
#include "RZMCoreFunctions.h"
#include "Resources.h"
#include "myDebug.h"
#include "stringEngine.h"

HFSUniStr255 forkName = {};

OSErr feInitialize(void) { return FSGetDataForkName(&forkName); }

// ---------------------------------------------------------------------------------------------
// References and paths

OSStatus feMakeFSRefFromPath(CFStringRef path, FSRef* ref) {
  // A zero inside the path would cut it short and name another item.
  if (ORBStringCountCharAppearances(path, 0) > 0) return paramErr;
  UInt32 size = ORBStringGetUTF8Size(path);
  char* buffer = static_cast<char*>(std::calloc(size_t(size) + 2, 1));
  if (!buffer) return memFullErr;
  UInt32 count = 0;
  ORBStringCopyToUTF8(path, buffer, &count);
  OSStatus err = FSPathMakeRef(reinterpret_cast<const UInt8*>(buffer), ref, nullptr);
  std::free(buffer);
  return err;
}

OSStatus feGetFSRefFromCFURL(CFURLRef url, FSRef* ref) { return CFURLGetFSRef(url, ref) ? noErr : paramErr; }

namespace {

// A name as the Unicode file name record (cut to 255 units).
HFSUniStr255 hfsName(CFStringRef name) {
  HFSUniStr255 unicode;
  std::memset(&unicode, 0, sizeof unicode);
  utMakeHFSStringFromCFString(name, &unicode);
  return unicode;
}

}  // namespace

OSStatus feMakeFSRefFromParent(const FSRef* parent, CFStringRef name, FSRef* ref) {
  HFSUniStr255 unicode = hfsName(name);
  return FSMakeFSRefUnicode(parent, unicode.length, unicode.unicode, kTextEncodingUnknown, ref);
}

OSStatus feMakeFSRefFromNodeID(SInt16 vRefNum, SInt32 dirID, FSRef* ref) {
  FSSpec fsRec;
  std::memset(&fsRec, 0, sizeof fsRec);
  fsRec.vRefNum = vRefNum;
  fsRec.parID = dirID;
  return FSpMakeFSRef(&fsRec, ref);
}

OSStatus feGetParentRef(const FSRef* ref, FSRef* parent) {
  return FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, nullptr, nullptr, parent);
}

OSStatus feMakeFSSpec(SInt16 vRefNum, SInt32 dirID, ConstStr255Param name, FSSpec* fsRec) {
  return FSMakeFSSpec(vRefNum, dirID, name, fsRec);
}

void feMakeFastFSSpec(SInt16 vRefNum, SInt32 parID, const UInt8* name, FSSpec* fsRec) {
  fsRec->vRefNum = vRefNum;
  fsRec->parID = parID;
  std::memcpy(fsRec->name, name, sizeof fsRec->name);
}

OSStatus feMakeFSSpecFromFSRef(const FSRef* ref, FSSpec* fsRec) {
  return FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, nullptr, fsRec, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Paths and names

CFStringRef feGetPathFromFSRef(const FSRef* ref, CFURLPathStyle pathStyle) {
  CFRef<CFURLRef> url(CFURLCreateFromFSRef(kCFAllocatorDefault, ref));
  if (!url) return nullptr;
  return CFURLCopyFileSystemPath(url.get(), pathStyle);
}

CFStringRef feGetItemNameFromRef(const FSRef* ref) {
  HFSUniStr255 name;
  if (FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, &name, nullptr, nullptr) != noErr) return nullptr;
  CFStringRef s = nullptr;
  utMakeCFStringFromHFSString(&name, &s);
  return s;
}

CFStringRef feGetPathCFString(SInt16 vRefNum, SInt32 dirID) {
  FSRef ref;
  if (feMakeFSRefFromNodeID(vRefNum, dirID, &ref) != noErr) return nullptr;
  return feGetPathFromFSRef(&ref, kCFURLHFSPathStyle);
}

CFStringRef feGetPathOfSpecialFolder(SInt32 folderCode) {
  if (folderCode != 13) return nullptr;
  FSRef desktop;
  if (FSFindFolder(kUserDomain, kDesktopFolderType, kCreateFolder, &desktop) != noErr) return nullptr;
  return feGetPathFromFSRef(&desktop, kCFURLPOSIXPathStyle);
}

OSStatus feCheckFileNameRef(HFSUniStr255* name) {
  if (name->length == 0) return -1;
  for (UInt16 i = 0; i < name->length; ++i) {
    UniChar& c = name->unicode[i];
    switch (c) {
      case 0:
        // The name ends at a zero unit; the rules for its first and last character do not apply.
        name->length = i;
        return noErr;
      case ':':
        c = ';';
        break;
      case '/':
      case '*':
      case '?':
      case '<':
      case '>':
      case '|':
      case '"':
        c = '-';
        break;
      default:
        break;
    }
  }
  if (name->unicode[0] == '.') name->unicode[0] = ',';
  UniChar& last = name->unicode[name->length - 1];
  if (last == ' ' || last == '.') last = '-';
  return noErr;
}

CFStringRef feGetUniqueFileName(const FSRef* parent, CFStringRef baseName, CFStringRef suffix) {
  CFStringRef candidate = nullptr;
  for (long n = 1; n <= 100; ++n) {
    if (candidate) CFRelease(candidate);
    candidate = ORBStringCreateWithFormat(CFSTR("%@ %li%@"), baseName, n, suffix ? suffix : CFSTR(""));
    FSRef ref;
    if (feMakeFSRefFromParent(parent, candidate, &ref) != noErr) break;
  }
  return candidate;
}

// ---------------------------------------------------------------------------------------------
// Volumes and directory IDs

OSStatus feGetDirID(FSSpec folder, SInt32* dirID) {
  CInfoPBRec pb;
  std::memset(&pb, 0, sizeof pb);
  pb.dirInfo.ioNamePtr = folder.name;
  pb.dirInfo.ioVRefNum = folder.vRefNum;
  pb.dirInfo.ioDrDirID = folder.parID;
  pb.dirInfo.ioFDirIndex = 0;
  OSErr err = PBGetCatInfoSync(&pb);
  *dirID = err == noErr ? pb.dirInfo.ioDrDirID : SInt32(fsRtDirID);
  return err;
}

OSStatus feGetVolRefAndDirIDFromPath(const char* path, SInt16* vRefNum, SInt32* nodeID) {
  FSRef ref;
  OSStatus err = FSPathMakeRef(reinterpret_cast<const UInt8*>(path), &ref, nullptr);
  if (err != noErr) return err;
  FSCatalogInfo info;
  if (FSGetCatalogInfo(&ref, kFSCatInfoVolume | kFSCatInfoNodeID, &info, nullptr, nullptr, nullptr) == noErr) {
    *vRefNum = info.volume;
    *nodeID = static_cast<SInt32>(info.nodeID);
  }
  return err;
}

SInt16 feGetVolumeRefFromFSRef(const FSRef* ref) {
  FSCatalogInfo info;
  if (FSGetCatalogInfo(ref, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr) != noErr) return 0;
  return info.volume;
}

SInt32 feNumberOfVolumesOnDisk(SInt16 vRefNum) {
  CFStringRef id = nullptr;
  OSStatus err = FSCopyDiskIDForVolume(vRefNum, &id);
  if (err != noErr) {
    debugAssertFailed(static_cast<SInt16>(err), "fileEngine", __LINE__);
    return 1;
  }
  CFRef<CFStringRef> diskID(id);
  if (!diskID || !CFStringHasPrefix(diskID.get(), CFSTR("disk"))) return 1;
  CFIndex length = CFStringGetLength(diskID.get());
  CFRef<CFStringRef> prefix(CFStringCreateWithSubstring(nullptr, diskID.get(), CFRangeMake(0, length < 6 ? length : 6)));
  SInt32 count = 0;
  for (ItemCount index = 1;; ++index) {
    FSVolumeRefNum volume = 0;
    if (FSGetVolumeInfo(kFSInvalidVolumeRefNum, index, &volume, kFSVolInfoNone, nullptr, nullptr, nullptr) != noErr)
      break;
    CFStringRef other = nullptr;
    err = FSCopyDiskIDForVolume(volume, &other);
    if (err != noErr) {
      debugAssertFailed(static_cast<SInt16>(err), "fileEngine", __LINE__);
      break;
    }
    CFRef<CFStringRef> otherID(other);
    if (otherID && CFStringHasPrefix(otherID.get(), prefix.get())) ++count;
  }
  return count;
}

// ---------------------------------------------------------------------------------------------
// Questions about an item

Boolean feIsFolder(const FSRef* ref) {
  FSCatalogInfo info;
  if (FSGetCatalogInfo(ref, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr) != noErr) return false;
  return (info.nodeFlags & kFSNodeIsDirectoryMask) != 0;
}

UInt64 feGetFileDataSize(const FSRef* ref) {
  FSCatalogInfo info;
  if (FSGetCatalogInfo(ref, kFSCatInfoDataSizes, &info, nullptr, nullptr, nullptr) != noErr) return 0;
  return info.dataLogicalSize;
}

Boolean feItemExists(const FSRef* parent, CFStringRef name) {
  HFSUniStr255 unicode = hfsName(name);
  FSRef ref;
  return FSMakeFSRefUnicode(parent, unicode.length, unicode.unicode, kTextEncodingUnicodeDefault, &ref) == noErr;
}

UInt32 feGetFileModificationDate(const FSRef* ref) {
  FSCatalogInfo info;
  if (FSGetCatalogInfo(ref, kFSCatInfoContentMod, &info, nullptr, nullptr, nullptr) != noErr) return 0;
  return info.contentModDate.lowSeconds;
}

OSStatus feGetFileTypeAndCreator(const FSRef* ref, OSType* type, OSType* creator) {
  *type = 0;
  *creator = 0;
  FSCatalogInfo info;
  OSErr err = FSGetCatalogInfo(ref, kFSCatInfoFinderInfo, &info, nullptr, nullptr, nullptr);
  if (err != noErr) return err;
  FileInfo finder;
  std::memcpy(&finder, info.finderInfo, sizeof finder);
  *type = finder.fileType;
  *creator = finder.fileCreator;
  return noErr;
}

Boolean feHasCustomIcon(const FSRef* ref) {
  FSCatalogInfo info;
  if (FSGetCatalogInfo(ref, kFSCatInfoFinderInfo, &info, nullptr, nullptr, nullptr) != noErr) return false;
  FileInfo finder;
  std::memcpy(&finder, info.finderInfo, sizeof finder);
  return (finder.finderFlags & kHasCustomIcon) != 0;
}

OSStatus feCreateFolder(const FSRef* parent, CFStringRef name, FSRef* newFolder) {
  HFSUniStr255 unicode = hfsName(name);
  return FSCreateDirectoryUnicode(parent, unicode.length, unicode.unicode, kFSCatInfoNone, nullptr, newFolder,
                                  nullptr, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Reading and writing an open fork. Every transfer is positioned and bypasses the cache.

namespace {

constexpr UInt16 kFromStartUncached = fsFromStart | noCacheMask;  // 0x21
constexpr UInt16 kFromEndUncached = fsFromLEOF | noCacheMask;     // 0x22

// A transfer the platform calls successful but that moved fewer bytes than asked is a failure.
OSStatus transferStatus(OSErr err, ByteCount asked, ByteCount moved) {
  if (err != noErr) return err;
  return moved < asked ? OSStatus(feShortTransferErr) : OSStatus(noErr);
}

}  // namespace

OSStatus feReadFromFile(SInt16 refNum, SInt64 offset, UInt32 count, void* buffer) {
  ByteCount moved = 0;
  OSErr err = FSReadFork(refNum, kFromStartUncached, offset, count, buffer, &moved);
  return transferStatus(err, count, moved);
}

OSStatus feWriteToFile(SInt16 refNum, SInt64 offset, UInt32 count, const void* buffer) {
  ByteCount moved = 0;
  OSErr err = FSWriteFork(refNum, kFromStartUncached, offset, count, buffer, &moved);
  return transferStatus(err, count, moved);
}

OSStatus feAppendToFile(SInt16 refNum, UInt32 count, const void* buffer) {
  ByteCount moved = 0;
  OSErr err = FSWriteFork(refNum, kFromEndUncached, 0, count, buffer, &moved);
  return transferStatus(err, count, moved);
}

OSStatus feGetEOF(SInt16 refNum, SInt64* size) { return FSGetForkSize(refNum, size); }

OSStatus feSetEOF(SInt16 refNum, SInt64 size) { return FSSetForkSize(refNum, fsFromStart, size); }

OSStatus feCopyFileData(SInt16 source, SInt64 sourceOffset, UInt64 count, SInt16 destination,
                        SInt64 destinationOffset) {
  const UInt64 bufferSize = count <= 0xFFFFFF ? count : 0x1000000;
  // A count of 0 still asks for its (empty) buffer; malloc(0) may answer null, which is no failure.
  void* buffer = std::malloc(bufferSize ? bufferSize : 1);
  if (!buffer) return memFullErr;
  OSStatus err = noErr;
  UInt64 done = 0;
  while (done < count) {
    UInt32 chunk = static_cast<UInt32>(count - done < bufferSize ? count - done : bufferSize);
    err = feReadFromFile(source, sourceOffset + SInt64(done), chunk, buffer);
    if (err != noErr) break;
    err = feWriteToFile(destination, destinationOffset + SInt64(done), chunk, buffer);
    if (err != noErr) break;
    done += chunk;
  }
  std::free(buffer);
  return err;
}

// ---------------------------------------------------------------------------------------------
// Version resources

namespace {

constexpr ResType kVersionType = FOUR_CHAR_CODE('v', 'e', 'r', 's');
const unsigned char kEmptyName[1] = {0};

// A version resource of the current chain as a free copy owned by the caller, or null. A
// resource that cannot be detached (one added and not yet written) is copied instead, so that
// the caller never disposes of a block the chain still owns.
Handle detachedVersion(ResID id) {
  Handle h = GetResource(kVersionType, id);
  if (!h) return nullptr;
  DetachResource(h);
  if (ResError() == noErr) return h;
  Handle copy = nullptr;
  if (PtrToHand(*h, &copy, GetHandleSize(h)) != noErr) return nullptr;
  return copy;
}

// Adds the copy of 'vers' 1 as 'vers' 1 and the copy of 'vers' 3 as 'vers' 2 to the current
// resource file, unless it has a 'vers' 1 of its own. Takes over both copies.
void addVersionResources(Handle vers1, Handle vers3) {
  Handle own = Get1Resource(kVersionType, 1);
  if (own) {
    ReleaseResource(own);
    DisposeHandle(vers1);
    DisposeHandle(vers3);
    return;
  }
  const std::pair<Handle, ResID> copies[] = {{vers1, 1}, {vers3, 2}};
  for (const auto& [h, id] : copies) {
    if (!h) continue;
    AddResource(h, kVersionType, id, kEmptyName);
    if (ResError() == noErr) ReleaseResource(h);  // stays in memory until the file is written
    else DisposeHandle(h);
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Opening and creating

namespace {

SInt8 permissionFor(Boolean write) { return write == 1 ? fsRdWrPerm : fsRdPerm; }

OSStatus openDataFork(const FSRef* file, SInt16* refNum, Boolean write) {
  return FSOpenFork(file, forkName.length, forkName.unicode, permissionFor(write), refNum);
}

// Opens the resource fork of a file as a resource file, which becomes the current one: ResError's
// status, or -1 when it reports none but no file was opened.
OSStatus openResourceFile(const FSSpec* fsRec, SInt16* refNum, Boolean write) {
  *refNum = FSpOpenResFile(fsRec, permissionFor(write));
  OSErr err = ResError();
  if (err != noErr) return err;
  return *refNum == -1 ? OSStatus(-1) : OSStatus(noErr);
}

}  // namespace

OSStatus feOpenExistingFile(FSSpec file, SInt16* refNum, Boolean write, Boolean dataFork) {
  if (!dataFork) return openResourceFile(&file, refNum, write);
  FSRef ref;
  OSErr err = FSpMakeFSRef(&file, &ref);
  if (err != noErr) return err;
  return openDataFork(&ref, refNum, write);
}

OSStatus feOpenExistingFileRef(const FSRef* file, SInt16* refNum, Boolean write, Boolean dataFork) {
  if (!dataFork) {
    FSSpec fsRec;
    OSErr err = FSGetCatalogInfo(file, kFSCatInfoNone, nullptr, nullptr, &fsRec, nullptr);
    if (err != noErr) return err;
    return openResourceFile(&fsRec, refNum, write);
  }
  return openDataFork(file, refNum, write);
}

OSStatus feCreateAndOpenDataFileUnicode(const FSRef* parent, const HFSUniStr255* name, SInt16* refNum,
                                        FSRef* newFile, OSType type, OSType creator) {
  if (!name) return paramErr;
  FSCatalogInfo info;
  std::memset(&info, 0, sizeof info);
  FileInfo finder{};
  finder.fileType = type;
  finder.fileCreator = creator;
  std::memcpy(info.finderInfo, &finder, sizeof finder);
  FSRef made;
  if (!newFile) newFile = &made;
  OSErr err = FSCreateFileUnicode(parent, name->length, name->unicode, kFSCatInfoFinderInfo, &info, newFile, nullptr);
  if (err != noErr) return err;
  OSStatus openErr = openDataFork(newFile, refNum, true);
  if (openErr != noErr) debugAssertFailed(static_cast<SInt16>(openErr), "fileEngine", __LINE__);
  return openErr;
}

OSStatus feCreateAndOpenTextFile(CFStringRef path, SInt16* refNum) {
  if (ORBStringCountCharAppearances(path, 0) > 0) return paramErr;
  UInt32 size = ORBStringGetUTF8Size(path);
  char* buffer = static_cast<char*>(std::calloc(size_t(size) + 2, 1));
  if (!buffer) return memFullErr;
  UInt32 count = 0;
  ORBStringCopyToUTF8(path, buffer, &count);
  // Text files are not programs: read and write for everyone the umask allows. A failure here is
  // found out by the lookup below.
  int fd = open(buffer, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd >= 0) close(fd);
  FSRef ref;
  OSStatus err = FSPathMakeRef(reinterpret_cast<const UInt8*>(buffer), &ref, nullptr);
  std::free(buffer);
  if (err != noErr) return err;
  return feOpenExistingFileRef(&ref, refNum, true, true);
}

OSStatus feCreateNewFile(FSSpec file, SInt16* refNum, Boolean dataFork, OSType type, OSType creator) {
  if (dataFork) {
    OSErr err = FSpCreate(&file, creator, type, smSystemScript);
    if (err != noErr && err != dupFNErr) return err;
    const bool existed = err == dupFNErr;
    feAddVersRessource(file, type, creator);
    // An existing file keeps its data and is not opened.
    if (existed) return dupFNErr;
    FSRef ref;
    err = FSpMakeFSRef(&file, &ref);
    if (err != noErr) return err;
    return openDataFork(&ref, refNum, true);
  }

  FSpCreateResFile(&file, creator, type, smSystemScript);
  OSErr err = ResError();
  if (err != noErr && err != dupFNErr) return err;
  Handle vers1 = detachedVersion(1);
  Handle vers3 = detachedVersion(3);
  *refNum = FSpOpenResFile(&file, fsRdWrPerm);
  err = ResError();
  if (err != noErr || *refNum == -1) {
    DisposeHandle(vers1);
    DisposeHandle(vers3);
    return err != noErr ? OSStatus(err) : OSStatus(-1);
  }
  // A file already open with write access is not made current by the open: make it current, so
  // that the resources go into this file and the caller finds it current, as for a new one.
  UseResFile(*refNum);
  addVersionResources(vers1, vers3);
  return noErr;
}

// ---------------------------------------------------------------------------------------------
// Whole files and folders

OSStatus feRenameFile(FSSpec file, ConstStr255Param newName) { return FSpRename(&file, newName); }

OSStatus feRenameFolder(FSSpec folder, ConstStr255Param newName) { return FSpRename(&folder, newName); }

OSStatus feMakeFileInvisible(FSSpec file, Boolean invisible) {
  FInfo info;
  OSErr err = FSpGetFInfo(&file, &info);
  if (err != noErr) return err;
  if (invisible == 1) info.finderFlags |= kIsInvisible;
  else info.finderFlags &= static_cast<UInt16>(~kIsInvisible);
  return FSpSetFInfo(&file, &info);
}

OSStatus feDeleteFileAtPath(const char* path) {
  FSRef ref;
  OSStatus err = FSPathMakeRef(reinterpret_cast<const UInt8*>(path), &ref, nullptr);
  if (err != noErr) return err;
  // The caller learns when the item stays, for example a folder that is not empty.
  return FSDeleteObject(&ref);
}

OSStatus feDeleteFile(FSSpec file) {
  SInt16 trashVolume = 0;
  SInt32 trashDirID = 0;
  FSSpec trash;
  OSErr err = FindFolder(file.vRefNum, kTrashFolderType, kCreateFolder, &trashVolume, &trashDirID);
  if (err == noErr) err = FSMakeFSSpec(trashVolume, trashDirID, reinterpret_cast<const UInt8*>(""), &trash);
  if (err == noErr) err = FSpCatMove(&file, &trash);
  if (err != noErr) return FSpDelete(&file);
  FSRef trashRef;
  if (FSpMakeFSRef(&trash, &trashRef) == noErr) FNNotify(&trashRef, kFNDirectoryModifiedMessage, kNilOptions);
  return noErr;
}

namespace {

// The Trash of the item's volume (volume 0 when the catalog cannot tell).
OSErr findTrashOf(const FSRef* item, FSRef* trash) {
  FSCatalogInfo info;
  SInt16 volume = 0;
  if (FSGetCatalogInfo(item, kFSCatInfoVolume, &info, nullptr, nullptr, nullptr) == noErr) volume = info.volume;
  return FSFindFolder(volume, kTrashFolderType, kCreateFolder, trash);
}

}  // namespace

OSStatus feMoveFileToTrash(const FSRef* file) {
  FSRef trash;
  OSErr err = findTrashOf(file, &trash);
  if (err != noErr) return err;
  if (FSMoveObject(file, &trash, nullptr) != noErr) return FSDeleteObject(file);
  return noErr;
}

OSStatus feMoveFolderToTrash(const FSRef* folder) {
  FSRef trash;
  if (findTrashOf(folder, &trash) != noErr || FSMoveObject(folder, &trash, nullptr) != noErr)
    return FSDeleteObject(folder);
  return noErr;
}

// ---------------------------------------------------------------------------------------------
// Resource forks

void feAddVersRessource(FSSpec file, OSType type, OSType creator) {
  FSpCreateResFile(&file, creator, type, smSystemScript);
  OSErr err = ResError();
  if (err != noErr && err != dupFNErr) return;
  const SInt16 saved = CurResFile();
  Handle vers1 = detachedVersion(1);
  Handle vers3 = detachedVersion(3);
  SInt16 ref = FSpOpenResFile(&file, fsCurPerm);
  if (ref == -1) {
    DisposeHandle(vers1);
    DisposeHandle(vers3);
    UseResFile(saved);
    return;
  }
  UseResFile(ref);
  addVersionResources(vers1, vers3);
  CloseResFile(ref);
  UseResFile(saved);
}

OSStatus feCopyRessourceFile(FSSpec source, FSSpec destination) {
  FInfo info;
  OSErr err = FSpGetFInfo(&source, &info);
  if (err != noErr) return err;
  FSpCreateResFile(&destination, info.fileCreator, info.fileType, smSystemScript);
  err = ResError();
  if (err != noErr) return err;
  SInt16 from = 0, to = 0;
  err = FSpOpenRF(&source, fsRdPerm, &from);
  if (err != noErr) return err;
  err = FSpOpenRF(&destination, fsRdWrPerm, &to);
  if (err != noErr) {
    FSClose(from);
    return err;
  }
  long size = 0;
  err = GetEOF(from, &size);
  Ptr block = err == noErr ? NewPtrClear(size) : nullptr;
  if (!block) {
    FSClose(from);
    FSClose(to);
    return err != noErr ? OSStatus(err) : OSStatus(nilHandleErr);
  }
  ParamBlockRec pb;
  std::memset(&pb, 0, sizeof pb);
  pb.ioParam.ioRefNum = from;
  pb.ioParam.ioBuffer = block;
  pb.ioParam.ioReqCount = size;
  pb.ioParam.ioPosMode = fsFromStart;
  pb.ioParam.ioPosOffset = 0;
  pb.ioParam.ioCompletion = nullptr;
  OSErr readErr = PBReadSync(&pb);
  OSErr writeErr = noErr;
  if (readErr == noErr) {
    pb.ioParam.ioRefNum = to;
    writeErr = PBWriteSync(&pb);
    // The new fork began as an empty resource map: a shorter source must not keep its tail.
    if (writeErr == noErr) writeErr = SetEOF(to, size);
  }
  FSClose(from);
  // The fork reaches the disk when it is closed: a failure there is the write's failure.
  OSErr closeErr = FSClose(to);
  if (writeErr == noErr) writeErr = closeErr;
  DisposePtr(block);
  return readErr != noErr ? readErr : writeErr;
}

Boolean feResolveAlias(FSSpec* fsRec) {
  if (!fsRec) return false;
  FInfo info;
  if (FSpGetFInfo(fsRec, &info) != noErr || !(info.finderFlags & kIsAlias)) return false;
  SInt16 ref = FSpOpenResFile(fsRec, fsCurPerm);
  if (ref == -1) return false;
  UseResFile(ref);
  Boolean resolved = false;
  // The record must be the file's own: one lower in the chain names some other target.
  Handle record = Get1Resource(rAliasType, 0);
  if (record && ResError() == noErr) {
    DetachResource(record);
    const bool detached = ResError() == noErr;
    FSSpec target;
    Boolean changed = false;
    if (ResolveAlias(nullptr, reinterpret_cast<AliasHandle>(record), &target, &changed) == noErr) {
      *fsRec = target;
      resolved = true;
    }
    if (detached) DisposeHandle(record);
  }
  CloseResFile(ref);
  return resolved;
}
