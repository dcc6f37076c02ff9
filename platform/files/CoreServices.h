// CoreServices on POSIX: the File Manager by reference (FSRef, catalog information, forks,
// creation), the Folder Manager's Desktop, Gestalt, the processor count, local date and time
// texts and the tick counter, with the platform's names, types and status codes.
//
// How the emulation works:
// - An FSRef is a plain 80-byte value. It holds an index into a process-wide table of canonical
//   absolute paths, plus the device, inode and (where the file system reports one) birth time
//   of the item it was made for. Every call that takes an FSRef looks the path up again and
//   checks that it still names that same device and inode; when it does not (the item was
//   deleted, renamed or replaced) the call fails with fnfErr, as for a vanished item. FSRefs are
//   only meaningful inside the process that made them. FSPathMakeRef resolves symbolic links
//   (as realpath does); FSMakeFSRefUnicode names the child itself, a symbolic link included.
// - Unicode names are stored as UTF-8 exactly as given (no normalization, case-sensitive).
//   A "/" inside a Unicode name is stored as ":" on disk and read back as "/", so a name can
//   never reach outside its folder; "." and ".." are refused with bdNamErr.
// - Finder information (type, creator, flags and the extended Finder information) lives in an
//   AppleDouble version 2 sidecar file "._name" beside the item: a Finder-information entry
//   (id 9, 32 bytes, big-endian) and a resource-fork entry (id 2, empty while the item has no
//   resource fork). Writing Finder information changes only the Finder-information entry of an
//   existing sidecar and keeps its other entries; a "._name" that is not AppleDouble is never
//   overwritten (ioErr). An item without a sidecar has all-zero Finder information. Code that
//   moves or deletes items moves or deletes their sidecars along with them.
// - Catalog information comes from statx: node IDs are the low 32 bits of the inode number,
//   except that a volume's root directory has node ID 2 (fsRtDirID) and parent ID 1
//   (fsRtParID); volume reference numbers are given out per device, from -100 downwards, in
//   the order the process first meets each device. Dates are seconds since 1904 UTC; the
//   creation date is the birth time, or the older of the modification and change times where
//   the file system keeps no birth time. Permissions are the owner, group and full st_mode; the
//   user's access and privileges come from access checks for the effective user.
// - Forks: FSOpenFork opens the data fork only (FSGetDataForkName gives the empty name); resource
//   forks are reached through the Resource Manager (Resources.h). Fork reference
//   numbers are positive SInt16 values given out by this layer, each with its own file
//   descriptor and mark. Writing from the logical end with offset 0 is an atomic append, so
//   concurrent appenders never overwrite each other's bytes. Deny modes are not enforced.
// - FlushVol flushes the file system of a volume (syncfs), of the current folder for 0; an
//   unknown number is nsvErr.
// - FSFindFolder serves the Desktop ('desk') of the user: $XDG_DESKTOP_DIR when it is an absolute
//   path, else XDG_DESKTOP_DIR of $XDG_CONFIG_HOME/user-dirs.dirs (default ~/.config), else
//   $HOME/Desktop; it is created (with its parents) when missing and creation is asked for.
// - Gestalt answers 'sys1', 'sys2', 'sys3' with the running kernel's version numbers, 'ramm' with
//   the physical memory in megabytes and 'mclk' with the processor clock in MHz.
// - GetDateTime gives local seconds since 1904; DateString and TimeString format them with ICU in
//   the locale of LC_ALL, LC_TIME or LANG, as MacRoman Pascal strings. TickCount counts 1/60
//   seconds of the monotonic clock and wraps at 32 bits.
// - Volumes are the mounted file systems of /proc/self/mountinfo. The process numbers every
//   device listed there when it first asks, from -100 downwards in mountinfo's order; devices
//   mounted later get the next numbers; a number never changes or passes to another device while
//   the process runs. FSGetVolumeInfo by index lists the volumes mounted at the time of the call in
//   the order of their numbers. A volume's name is "Root" for the root file system, else the file
//   system's label (from /dev/disk/by-label), else the last component of its mount point.
// - Disk IDs (FSCopyDiskIDForVolume) are made from /sys/class/block: the whole disks, sorted by
//   name, are disk0, disk1, ...; partition M of disk N is "diskNsM", a file system on a whole disk
//   is "diskN". A file system without a block device (tmpfs, proc, overlay, network) has none.
// - Directory IDs: a volume's root folder is 2 (fsRtDirID) with parent 1. Other folders get the
//   low 32 bits of their inode number (another ID when that is taken or reserved) from a
//   process-wide registry that remembers the 16384 most recently used folders; a folder keeps its
//   ID while it is remembered. An ID whose folder was forgotten, or is no longer at the path where
//   it was last seen, gives dirNFErr.
// - FSSpec records name an item by volume, parent directory ID and a Str63 name in MacRoman. A
//   name that is empty where one is needed, longer than 63 bytes, holds a colon or cannot be
//   written in MacRoman gives bdNamErr, whichever way it is converted. A "/" in a MacRoman name is
//   the same character as in a Unicode name (stored as ":" on disk).
// - The FSRef path table keeps the 65536 most recently used paths; a reference whose path was
//   dropped to make room fails with errFSBadFSRef.
// - The Trash ('trsh') is the freedesktop.org Trash. The home Trash, $XDG_DATA_HOME/Trash
//   (default ~/.local/share/Trash), serves the volume that holds it; another volume's Trash is
//   $topdir/.Trash/$uid when the administrator made a sticky $topdir/.Trash, else
//   $topdir/.Trash-$uid. Memory and virtual file systems (tmpfs, ramfs, proc, sysfs, devtmpfs,
//   ...) and read-only ones have no Trash (fnfErr). The Trash folder that FSFindFolder gives is
//   the Trash's "files" folder; moving an item into it (FSMoveObject, FSpCatMove) writes its
//   ".trashinfo" in "info" with its original path and the deletion date, so that desktop file
//   managers can restore it. An item whose name is already in the Trash is refused with dupFNErr,
//   as any move onto a taken name.
// - FNNotify does nothing: desktop file managers watch their folders themselves.
// - Transfers with noCacheMask leave nothing in the page cache: written bytes are synced first,
//   then the range is dropped (posix_fadvise POSIX_FADV_DONTNEED).
// - Deleting a folder that is not empty is refused with fBsyErr.
#pragma once

#include "CFURL.h"
#include "MacTypes.h"

// ---------------------------------------------------------------------------------------------
// Status codes of the File Manager and its neighbours.
enum : OSErr {
  dirFulErr = -33,
  dskFulErr = -34,
  nsvErr = -35,
  ioErr = -36,
  bdNamErr = -37,
  fnOpnErr = -38,
  eofErr = -39,
  posErr = -40,
  tmfoErr = -42,
  fnfErr = -43,
  wPrErr = -44,
  fLckdErr = -45,
  vLckdErr = -46,
  fBsyErr = -47,
  dupFNErr = -48,
  opWrErr = -49,
  rfNumErr = -51,
  permErr = -54,
  wrPermErr = -61,
  dirNFErr = -120,
  badMovErr = -122,
  resFNotFound = -193,
  buffersTooSmall = -607,
  notAFileErr = -1302,
  errFSBadFSRef = -1401,
  errFSBadForkName = -1402,
  errFSBadBuffer = -1403,
  errFSBadForkRef = -1404,
  errFSBadInfoBitmap = -1405,
  errFSMissingCatInfo = -1406,
  errFSNotAFolder = -1407,
  errFSForkNotFound = -1409,
  errFSNameTooLong = -1410,
  errFSMissingName = -1411,
  errFSBadPosMode = -1412,
  diffVolErr = -1303,
  afpAccessDenied = -5000,
  gestaltUndefSelectorErr = -5551,
};

// ---------------------------------------------------------------------------------------------
// References, records and catalog information.

struct FSRef {
  UInt8 hidden[80];
};
typedef FSRef* FSRefPtr;

typedef SInt16 FSVolumeRefNum;
typedef SInt16 FSIORefNum;
typedef UInt32 FSCatalogInfoBitmap;

struct FSSpec {
  SInt16 vRefNum;
  SInt32 parID;
  Str63 name;
};
typedef FSSpec* FSSpecPtr;
typedef const FSSpec* ConstFSSpecPtr;

typedef SInt16 ScriptCode;
enum : ScriptCode { smSystemScript = -1 };

// Seconds since the start of 1904 (UTC) in 48 bits, and fractions of a second in 1/65536.
struct UTCDateTime {
  UInt16 highSeconds;
  UInt32 lowSeconds;
  UInt16 fraction;
};

struct FSPermissionInfo {
  UInt32 userID;
  UInt32 groupID;
  UInt8 reserved1;
  UInt8 userAccess;  // kioACAccess... bits for the effective user
  UInt16 mode;       // st_mode: file type and permission bits
  UInt32 reserved2;
};

struct Point {
  SInt16 v;
  SInt16 h;
};

// The first 16 bytes of Finder information of a file, in host byte order. FSCatalogInfo keeps
// them as bytes; copy them into a FileInfo (memcpy) to read the fields.
struct FileInfo {
  OSType fileType;
  OSType fileCreator;
  UInt16 finderFlags;
  Point location;
  UInt16 reservedField;
};
typedef FileInfo FInfo;

struct ExtendedFileInfo {
  SInt16 reserved1[4];
  UInt16 extendedFinderFlags;
  SInt16 reserved2;
  SInt32 putAwayFolderID;
};

struct FSCatalogInfo {
  UInt16 nodeFlags;
  FSVolumeRefNum volume;
  UInt32 parentDirID;
  UInt32 nodeID;
  UInt8 sharingFlags;
  UInt8 userPrivileges;
  UInt8 reserved1;
  UInt8 reserved2;
  UTCDateTime createDate;
  UTCDateTime contentModDate;
  UTCDateTime attributeModDate;
  UTCDateTime accessDate;
  UTCDateTime backupDate;
  FSPermissionInfo permissions;
  UInt8 finderInfo[16];     // FileInfo, host byte order
  UInt8 extFinderInfo[16];  // ExtendedFileInfo, host byte order
  UInt64 dataLogicalSize;
  UInt64 dataPhysicalSize;
  UInt64 rsrcLogicalSize;
  UInt64 rsrcPhysicalSize;
  UInt32 valence;
  TextEncoding textEncodingHint;
};
typedef FSCatalogInfo* FSCatalogInfoPtr;

enum : FSCatalogInfoBitmap {
  kFSCatInfoNone = 0x00000000,
  kFSCatInfoTextEncoding = 0x00000001,
  kFSCatInfoNodeFlags = 0x00000002,
  kFSCatInfoVolume = 0x00000004,
  kFSCatInfoParentDirID = 0x00000008,
  kFSCatInfoNodeID = 0x00000010,
  kFSCatInfoCreateDate = 0x00000020,
  kFSCatInfoContentMod = 0x00000040,
  kFSCatInfoAttrMod = 0x00000080,
  kFSCatInfoAccessDate = 0x00000100,
  kFSCatInfoBackupDate = 0x00000200,
  kFSCatInfoPermissions = 0x00000400,
  kFSCatInfoFinderInfo = 0x00000800,
  kFSCatInfoFinderXInfo = 0x00001000,
  kFSCatInfoValence = 0x00002000,
  kFSCatInfoDataSizes = 0x00004000,
  kFSCatInfoRsrcSizes = 0x00008000,
  kFSCatInfoSharingFlags = 0x00010000,
  kFSCatInfoUserPrivs = 0x00020000,
  kFSCatInfoUserAccess = 0x00080000,
  kFSCatInfoAllDates = 0x000003E0,
  kFSCatInfoGettableInfo = 0x0003FFFF,
};

// Node flags.
enum : UInt16 {
  kFSNodeLockedMask = 0x0001,
  kFSNodeResOpenMask = 0x0004,
  kFSNodeDataOpenMask = 0x0008,
  kFSNodeIsDirectoryMask = 0x0010,
  kFSNodeForkOpenMask = 0x0080,
  kFSNodeHardLinkMask = 0x0100,
};

// User privileges (FSCatalogInfo.userPrivileges).
enum : UInt8 {
  kioACUserNoSeeFolderMask = 0x01,
  kioACUserNoSeeFilesMask = 0x02,
  kioACUserNoMakeChangesMask = 0x04,
  kioACUserNotOwnerMask = 0x80,
};

// The effective user's access (FSPermissionInfo.userAccess).
enum : UInt8 {
  kioACAccessUserSearchMask = 0x01,
  kioACAccessUserReadMask = 0x02,
  kioACAccessUserWriteMask = 0x04,
  kioACAccessOwnerMask = 0x80,
};

// Finder flags.
enum : UInt16 {
  kIsOnDesk = 0x0001,
  kHasBeenInited = 0x0100,
  kHasCustomIcon = 0x0400,
  kIsStationery = 0x0800,
  kNameLocked = 0x1000,
  kHasBundle = 0x2000,
  kIsInvisible = 0x4000,
  kIsAlias = 0x8000,
};

enum : UInt32 {
  fsRtParID = 1,
  fsRtDirID = 2,
};

enum : TextEncoding {
  kTextEncodingUnknown = 0xFFFF,
  kTextEncodingUnicodeDefault = 0x0100,
};

// ---------------------------------------------------------------------------------------------
// Fork access: permissions and position modes.
enum : SInt8 {
  fsCurPerm = 0x00,
  fsRdPerm = 0x01,
  fsWrPerm = 0x02,
  fsRdWrPerm = 0x03,
  fsRdWrShPerm = 0x04,
  fsRdDenyPerm = 0x10,
  fsWrDenyPerm = 0x20,
};

enum : UInt16 {
  fsAtMark = 0,
  fsFromStart = 1,
  fsFromLEOF = 2,
  fsFromMark = 3,
  pleaseCacheMask = 0x0010,
  noCacheMask = 0x0020,
  rdVerifyMask = 0x0040,
};

// ---------------------------------------------------------------------------------------------
// References and paths.

// An existing item's reference from a zero-terminated UTF-8 POSIX path (symbolic links
// resolved). isDirectory may be null. fnfErr when nothing is there.
OSStatus FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory);

// The item's absolute POSIX path, zero-terminated UTF-8, into a buffer of maxPathSize bytes;
// buffersTooSmall when it does not fit.
OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize);

// A child's reference from its parent folder and Unicode name; fnfErr when there is no such
// child. The text encoding hint is accepted and not needed.
OSErr FSMakeFSRefUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                         TextEncoding textEncodingHint, FSRef* newRef);

// Creates an empty file in the parent folder; dupFNErr when the name is taken. Of the catalog
// information only Finder information (kFSCatInfoFinderInfo, kFSCatInfoFinderXInfo) and the
// text encoding hint may be given; other bits are errFSBadInfoBitmap. newRef may be null;
// newSpec (may be null) receives the new file's FSSpec.
OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                          FSRef* newRef, FSSpecPtr newSpec);

// Catalog information of an item: the fields whichInfo asks for (others are left zero), its
// Unicode name, and its parent's reference (all zero for the root of the file system). Each
// output may be null; fsSpec receives the item's FSSpec (bdNamErr when its name has no Str63 form).
OSErr FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo,
                       FSCatalogInfo* catalogInfo, HFSUniStr255* outName, FSSpecPtr fsSpec,
                       FSRef* parentRef);

// A new file URL for the item (a directory URL for a folder), or null when the reference does
// not name an item. The caller releases it.
CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const FSRef* fsRef);

// A reference to the existing item a file URL names; false for other URLs and missing items.
Boolean CFURLGetFSRef(CFURLRef url, FSRef* fsRef);

// ---------------------------------------------------------------------------------------------
// FSSpec records.

// A record for the item named by volume, directory and name: an empty name names the directory
// itself. vRefNum 0 is the volume of the current folder; dirID 0 the volume's root (the current
// folder for vRefNum 0). noErr when the item exists; fnfErr, with the record filled in, when the
// folder exists but the item does not; dirNFErr or nsvErr when the folder or volume is unknown.
OSErr FSMakeFSSpec(SInt16 vRefNum, SInt32 dirID, ConstStr255Param fileName, FSSpec* fsRec);

// A reference to the existing item the record names; with an empty name, the directory parID.
OSErr FSpMakeFSRef(const FSSpec* source, FSRef* newRef);

// Finder information of a file (host byte order); fnfErr when missing, notAFileErr for a folder.
OSErr FSpGetFInfo(const FSSpec* fsRec, FInfo* fndrInfo);
OSErr FSpSetFInfo(const FSSpec* fsRec, const FInfo* fndrInfo);

// Creates an empty file with the type and creator (in its Finder information); dupFNErr when the
// name is taken. The script code is accepted and not needed.
OSErr FSpCreate(const FSSpec* fsRec, OSType creator, OSType fileType, ScriptCode scriptTag);

// Renames an item in its folder; dupFNErr when the new name is taken.
OSErr FSpRename(const FSSpec* fsRec, ConstStr255Param newName);

// Deletes a file or an empty folder (fBsyErr for a folder that is not empty).
OSErr FSpDelete(const FSSpec* fsRec);

// Moves an item into the folder that dest names, on the same volume; dupFNErr when the name is
// taken there, diffVolErr across volumes.
OSErr FSpCatMove(const FSSpec* source, const FSSpec* dest);

// ---------------------------------------------------------------------------------------------
// The catalog parameter block (PBGetCatInfoSync). Both views share their leading fields.

struct HFileInfo {
  void* qLink;
  SInt16 qType;
  SInt16 ioTrap;
  Ptr ioCmdAddr;
  void* ioCompletion;
  OSErr ioResult;
  StringPtr ioNamePtr;  // in: the name (ioFDirIndex 0); out: the item's name, when not null
  SInt16 ioVRefNum;
  SInt16 ioFRefNum;
  SInt8 ioFVersNum;
  SInt8 filler1;
  SInt16 ioFDirIndex;  // 0: look up by name; > 0: the n-th child; < 0: the directory ioDirID
  SInt8 ioFlAttrib;    // 0x10 for a folder
  SInt8 ioACUser;
  FInfo ioFlFndrInfo;
  SInt32 ioDirID;  // in: the parent directory; out: the file's number
  UInt16 ioFlStBlk;
  SInt32 ioFlLgLen;
  SInt32 ioFlPyLen;
  UInt16 ioFlRStBlk;
  SInt32 ioFlRLgLen;
  SInt32 ioFlRPyLen;
  UInt32 ioFlCrDat;
  UInt32 ioFlMdDat;
  UInt32 ioFlBkDat;
  SInt32 ioFlParID;
};

struct DirInfo {
  void* qLink;
  SInt16 qType;
  SInt16 ioTrap;
  Ptr ioCmdAddr;
  void* ioCompletion;
  OSErr ioResult;
  StringPtr ioNamePtr;
  SInt16 ioVRefNum;
  SInt16 ioFRefNum;
  SInt8 ioFVersNum;
  SInt8 filler1;
  SInt16 ioFDirIndex;
  SInt8 ioFlAttrib;
  SInt8 ioACUser;
  UInt8 ioDrUsrWds[16];
  SInt32 ioDrDirID;  // in: the parent directory; out: the folder's own ID
  UInt16 ioDrNmFls;  // the number of items in the folder
  SInt16 filler3[9];
  UInt32 ioDrCrDat;
  UInt32 ioDrMdDat;
  UInt32 ioDrBkDat;
  UInt8 ioDrFndrInfo[16];
  SInt32 ioDrParID;
};

union CInfoPBRec {
  HFileInfo hFileInfo;
  DirInfo dirInfo;
};
typedef CInfoPBRec* CInfoPBPtr;

enum : SInt8 { kioFlAttribDirMask = 0x10 };

// Catalog information of the item the block names; the status is also stored in ioResult.
OSErr PBGetCatInfoSync(CInfoPBPtr paramBlock);

// ---------------------------------------------------------------------------------------------
// Moving, deleting and making folders by reference.

// Moves an item into a folder on the same volume, under its own name; dupFNErr when the name is
// taken there, diffVolErr across volumes. newRef (may be null) receives the moved item.
OSErr FSMoveObject(const FSRef* ref, const FSRef* destDirectory, FSRef* newRef);

// Deletes a file or an empty folder; fBsyErr for a folder that is not empty.
OSErr FSDeleteObject(const FSRef* ref);

// Creates a folder. Catalog information may not be set (errFSBadInfoBitmap); each output may be
// null.
OSErr FSCreateDirectoryUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                               FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                               FSRef* newRef, FSSpecPtr newSpec, UInt32* newDirID);

// ---------------------------------------------------------------------------------------------
// Volumes.

typedef UInt32 FSVolumeInfoBitmap;
enum : FSVolumeInfoBitmap {
  kFSVolInfoNone = 0,
  kFSVolInfoBlocks = 0x0004,
  kFSVolInfoSizes = 0x0020,
  kFSVolInfoFSInfo = 0x0800,
};
enum : FSVolumeRefNum { kFSInvalidVolumeRefNum = 0 };

struct FSVolumeInfo {
  UInt32 blockSize;
  UInt32 totalBlocks;
  UInt32 freeBlocks;
  UInt64 totalBytes;
  UInt64 freeBytes;
  UInt16 signature;
  UInt16 filesystemID;
};

// The volume volume (volumeIndex 0), or the volumeIndex-th mounted volume (from 1, volume
// kFSInvalidVolumeRefNum); nsvErr past the last one. Each output may be null: actualVolume, the
// sizes that whichInfo asks for, the volume's name and a reference to its root folder.
OSErr FSGetVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex, FSVolumeRefNum* actualVolume,
                      FSVolumeInfoBitmap whichInfo, FSVolumeInfo* info, HFSUniStr255* volumeName,
                      FSRef* rootDirectory);

// The BSD name of the volume's disk ("diskNsM"), a new string the caller releases; null (with
// noErr) for a volume without a block device. nsvErr for an unknown volume.
OSStatus FSCopyDiskIDForVolume(FSVolumeRefNum vRefNum, CFStringRef* diskID);

// Tells the desktop that a folder changed: does nothing here (file managers watch folders).
typedef UInt32 FNMessage;
enum : FNMessage { kFNDirectoryModifiedMessage = 1 };
enum : UInt32 { kNilOptions = 0 };
OSStatus FNNotify(const FSRef* ref, FNMessage message, UInt32 flags);

// ---------------------------------------------------------------------------------------------
// Forks.

// The name of the data fork: the empty name.
OSErr FSGetDataForkName(HFSUniStr255* dataForkName);

OSErr FSOpenFork(const FSRef* ref, UniCharCount forkNameLength, const UniChar* forkName,
                 SInt8 permissions, FSIORefNum* forkRefNum);

// Reads from the position that positionMode and positionOffset give (fsAtMark, fsFromStart,
// fsFromLEOF, fsFromMark; cache bits are accepted). eofErr when fewer bytes than asked for were
// there; actualCount (may be null) receives the count read. The mark moves past the bytes read.
OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                 ByteCount requestCount, void* buffer, ByteCount* actualCount);

// Writes at the position given as for FSReadFork, extending the fork as needed; actualCount
// (may be null) receives the count written. The mark moves past the bytes written.
OSErr FSWriteFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                  ByteCount requestCount, const void* buffer, ByteCount* actualCount);

OSErr FSGetForkSize(FSIORefNum forkRefNum, SInt64* forkSize);

// Sets the logical end of the fork to the position given as for FSReadFork.
OSErr FSSetForkSize(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset);

OSErr FSCloseFork(FSIORefNum forkRefNum);

struct FSForkInfo {
  SInt8 flags;
  SInt8 permissions;
  FSVolumeRefNum volume;
  UInt32 reserved2;
  UInt32 nodeID;
  UInt32 forkID;
  UInt64 currentPosition;
  UInt64 logicalEOF;
  UInt64 physicalEOF;
  UInt64 process;
};

// Information about an open fork; desiredRefNum is the fork (iterating with forkIterator is
// not served: paramErr). Each output may be null; the file's reference goes to ref.
OSErr FSGetForkCBInfo(FSIORefNum desiredRefNum, FSVolumeRefNum volume, SInt16* iterator,
                      FSIORefNum* actualRefNum, FSForkInfo* forkInfo, FSRef* ref, HFSUniStr255* outForkName);

// Flushes a volume's file system; volName must be null.
OSErr FlushVol(ConstStr63Param volName, FSVolumeRefNum vRefNum);

// ---------------------------------------------------------------------------------------------
// Folders.

enum : FSVolumeRefNum {
  kOnSystemDisk = -32768,
  kOnAppropriateDisk = -32767,
  kUserDomain = -32763,
};

enum : OSType {
  kDesktopFolderType = FOUR_CHAR_CODE('d', 'e', 's', 'k'),
  kTrashFolderType = FOUR_CHAR_CODE('t', 'r', 's', 'h'),
};

enum : Boolean {
  kDontCreateFolder = 0,
  kCreateFolder = 1,
};

// A reference to a special folder. Served: kDesktopFolderType in kUserDomain (also asked for
// as kOnSystemDisk or kOnAppropriateDisk), and kTrashFolderType of a volume (kUserDomain,
// kOnSystemDisk and kOnAppropriateDisk stand for the home Trash). fnfErr when the folder is
// missing and must not be created, for a volume without a Trash, or for folder types not
// served; errFSNotAFolder when something else is in its place.
OSErr FSFindFolder(FSVolumeRefNum vRefNum, OSType folderType, Boolean createFolder,
                   FSRef* foundRef);

// The same folder as volume reference number and directory ID.
OSErr FindFolder(FSVolumeRefNum vRefNum, OSType folderType, Boolean createFolder,
                 FSVolumeRefNum* foundVRefNum, SInt32* foundDirID);

// ---------------------------------------------------------------------------------------------
// Gestalt, processors, date and time.

enum : OSType {
  gestaltSystemVersionMajor = FOUR_CHAR_CODE('s', 'y', 's', '1'),
  gestaltSystemVersionMinor = FOUR_CHAR_CODE('s', 'y', 's', '2'),
  gestaltSystemVersionBugFix = FOUR_CHAR_CODE('s', 'y', 's', '3'),
  gestaltPhysicalRAMSizeInMegabytes = FOUR_CHAR_CODE('r', 'a', 'm', 'm'),
  gestaltProcClkSpeedMHz = FOUR_CHAR_CODE('m', 'c', 'l', 'k'),
};

// The value of a selector; gestaltUndefSelectorErr (response untouched) when it has none.
OSErr Gestalt(OSType selector, SInt32* response);

// The number of processors online.
ItemCount MPProcessors(void);

// Local date and time as seconds since the start of 1904.
void GetDateTime(UInt32* secs);

typedef SInt8 DateForm;
enum : DateForm {
  shortDate = 0,
  longDate = 1,
  abbrevDate = 2,
};

// A local date and time (seconds since 1904, as GetDateTime gives) as text in the user's
// regional form: the date in the given form, the time with or without seconds. intlHandle is
// not used.
void DateString(UInt32 dateTime, DateForm longFlag, Str255 result, Handle intlHandle);
void TimeString(UInt32 dateTime, Boolean wantSeconds, Str255 result, Handle intlHandle);

// Ticks (1/60 second) since an arbitrary fixed start; wraps at 32 bits.
UInt32 TickCount(void);
