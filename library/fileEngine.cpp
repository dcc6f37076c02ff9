// The file engine: references, paths and names.
#include "fileEngine.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "RZMCoreFunctions.h"
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
  FSSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.vRefNum = vRefNum;
  spec.parID = dirID;
  return FSpMakeFSRef(&spec, ref);
}

OSStatus feGetParentRef(const FSRef* ref, FSRef* parent) {
  return FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, nullptr, nullptr, parent);
}

OSStatus feMakeFSSpec(SInt16 vRefNum, SInt32 dirID, ConstStr255Param name, FSSpec* spec) {
  return FSMakeFSSpec(vRefNum, dirID, name, spec);
}

void feMakeFastFSSpec(SInt16 vRefNum, SInt32 parID, const UInt8* name, FSSpec* spec) {
  spec->vRefNum = vRefNum;
  spec->parID = parID;
  std::memcpy(spec->name, name, sizeof spec->name);
}

OSStatus feMakeFSSpecFromFSRef(const FSRef* ref, FSSpec* spec) {
  return FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, nullptr, spec, nullptr);
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
// Opening and creating

namespace {

SInt8 permissionFor(Boolean write) { return write == 1 ? fsRdWrPerm : fsRdPerm; }

OSStatus openDataFork(const FSRef* file, SInt16* refNum, Boolean write) {
  return FSOpenFork(file, forkName.length, forkName.unicode, permissionFor(write), refNum);
}

// Opening a file's resource fork as a resource file: the answer for a file that has none (the
// Resource Manager reports the end of an empty fork).
OSStatus openResourceFork(const FSRef* file, SInt16* refNum) {
  *refNum = -1;
  FSCatalogInfo info;
  OSErr err = FSGetCatalogInfo(file, kFSCatInfoNone, &info, nullptr, nullptr, nullptr);
  return err != noErr ? OSStatus(err) : OSStatus(eofErr);
}

}  // namespace

OSStatus feOpenExistingFile(FSSpec file, SInt16* refNum, Boolean write, Boolean dataFork) {
  FSRef ref;
  OSErr err = FSpMakeFSRef(&file, &ref);
  if (!dataFork) {
    if (err != noErr) {
      *refNum = -1;
      return err;
    }
    return openResourceFork(&ref, refNum);
  }
  if (err != noErr) return err;
  return openDataFork(&ref, refNum, write);
}

OSStatus feOpenExistingFileRef(const FSRef* file, SInt16* refNum, Boolean write, Boolean dataFork) {
  if (!dataFork) {
    FSSpec spec;
    OSErr err = FSGetCatalogInfo(file, kFSCatInfoNone, nullptr, nullptr, &spec, nullptr);
    if (err != noErr) return err;
    return openResourceFork(file, refNum);
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
  if (!dataFork) {
    // Resource files cannot be made here: the answer of a file system without resource forks.
    *refNum = -1;
    return eofErr;
  }
  OSErr err = FSpCreate(&file, creator, type, smSystemScript);
  // An existing file keeps its data and is not opened.
  if (err != noErr) return err;
  FSRef ref;
  err = FSpMakeFSRef(&file, &ref);
  if (err != noErr) return err;
  return openDataFork(&ref, refNum, true);
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
