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
// - Forks: only the data fork exists (FSGetDataForkName gives the empty name). Fork reference
//   numbers are positive SInt16 values given out by this layer, each with its own file
//   descriptor and mark. Writing from the logical end with offset 0 is an atomic append, so
//   concurrent appenders never overwrite each other's bytes. Deny modes are not enforced.
// - FlushVol flushes the file system of a volume reference number this process has met
//   (syncfs), or of the current folder for 0; any other number is nsvErr.
// - FSFindFolder serves the Desktop ('desk') of the user: $XDG_DESKTOP_DIR when it is an absolute
//   path, else XDG_DESKTOP_DIR of $XDG_CONFIG_HOME/user-dirs.dirs (default ~/.config), else
//   $HOME/Desktop; it is created (with its parents) when missing and creation is asked for.
// - Gestalt answers 'sys1', 'sys2', 'sys3' with the running kernel's version numbers, 'ramm' with
//   the physical memory in megabytes and 'mclk' with the processor clock in MHz.
// - GetDateTime gives local seconds since 1904; DateString and TimeString format them with ICU in
//   the locale of LC_ALL, LC_TIME or LANG, as MacRoman Pascal strings. TickCount counts 1/60
//   seconds of the monotonic clock and wraps at 32 bits.
// FSSpec records are declared for the callers that pass them, but no call fills one yet: a
// non-null FSSpec output is refused with paramErr before anything is done.
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
// newSpec must be null.
OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                          FSRef* newRef, FSSpecPtr newSpec);

// Catalog information of an item: the fields whichInfo asks for (others are left zero), its
// Unicode name, and its parent's reference (all zero for the root of the file system). Each
// output may be null; fsSpec must be null.
OSErr FSGetCatalogInfo(const FSRef* ref, FSCatalogInfoBitmap whichInfo,
                       FSCatalogInfo* catalogInfo, HFSUniStr255* outName, FSSpecPtr fsSpec,
                       FSRef* parentRef);

// A new file URL for the item (a directory URL for a folder), or null when the reference does
// not name an item. The caller releases it.
CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const FSRef* fsRef);

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
};

enum : Boolean {
  kDontCreateFolder = 0,
  kCreateFolder = 1,
};

// A reference to a special folder. Served: kDesktopFolderType in kUserDomain (also asked for
// as kOnSystemDisk or kOnAppropriateDisk). fnfErr when the folder is missing and must not be
// created, or for folder types not served; errFSNotAFolder when something else is in its place.
OSErr FSFindFolder(FSVolumeRefNum vRefNum, OSType folderType, Boolean createFolder,
                   FSRef* foundRef);

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
