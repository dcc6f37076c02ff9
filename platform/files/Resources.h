// The Resource Manager over resource forks kept in AppleDouble sidecars, and resource forks
// opened as plain forks.
//
// How the emulation works:
// - A file's resource fork is entry 2 of its AppleDouble sidecar "._name" (see CoreServices.h),
//   in the platform's resource-file format (ResourceFork.h). Writing a fork replaces the
//   sidecar atomically (a new file beside it, renamed into place) and keeps every other entry
//   byte for byte, with the sidecar's header filler. A "._name" that is not AppleDouble is never
//   overwritten.
// - Opening a resource file reads its whole map and data into memory; CloseResFile and
//   UpdateResFile write the whole fork back when something was added, nothing otherwise. A
//   malformed fork is refused with mapReadErr; nothing in it is trusted.
// - The resource chain: files are put on top of the chain as they are opened. The bottom is
//   the running program's own resource file: "<name>.rsrc" in the resources folder of the main
//   bundle (CFBundleGetMainBundle), where <name> is the bundle's CFBundleExecutable or else the
//   bundle folder's name, without its extension; it is read once, read-only, from the data fork
//   of that file, and is empty when there is none. It is never closed; reference number 0
//   stands for it (as the system file on the original platform). GetResource searches the
//   current file and the files opened before it, down to the bottom; files opened after the
//   current one are not searched. Get1Resource searches the current file only.
// - Opening a resource fork that this process has open already (the same device and inode):
//   asked for with write access (fsCurPerm, fsWrPerm, fsRdWrPerm or fsRdWrShPerm) while an
//   access path with write access is open, the existing reference number is returned and the
//   current file is not changed, and one CloseResFile closes that path for every opener. With
//   fsRdPerm, or while only read-only paths are open, a new access path with its own copy of
//   the map is opened and made current. fsCurPerm gives write access when the sidecar (or the
//   folder, for a new sidecar) is writable, else read-only access.
// - CloseResFile writes the file (as UpdateResFile), frees the handles of its resources that
//   were not detached and removes it from the chain; when it was the current file, the file
//   below it (opened before it) becomes current. CloseResFile(0) does nothing. UseResFile of a
//   number that is not open fails with resFNotFound and keeps the current file.
// - Handles: GetResource hands out the same handle for a resource until it is released or
//   detached. DetachResource and ReleaseResource refuse (resAttrErr) a resource whose
//   resChanged attribute is set, so that added resources stay until the file is written.
//   AddResource refuses (addResFailed) a null handle, a handle that is a resource already, and a
//   current file that is read-only or the program's own.
// - Fork reference numbers of resource files and of plain resource forks come from the same
//   numbering as data forks, so that FSClose, GetEOF, PBReadSync and PBWriteSync take either.
//   A plain resource fork (FSpOpenRF) is read into memory when it is opened and written back
//   when it is closed, when a write changed it.
// - ResError is kept per thread; the chain and the current file are process-wide, guarded by a
//   lock.
#pragma once

#include "CoreServices.h"
#include "MacMemory.h"
#include "MacTypes.h"

typedef SInt16 ResID;
typedef SInt16 ResAttributes;
typedef SInt16 ResFileRefNum;
typedef SInt16 ResFileAttributes;
typedef SInt16 ScriptCode;

enum : OSErr {
  resNotFound = -192,  // resFNotFound (-193) is with the File Manager's codes
  addResFailed = -194,
  rmvResFailed = -196,
  resAttrErr = -198,
  mapReadErr = -199,
};

// Resource attributes.
enum : UInt8 {
  resSysHeap = 64,
  resPurgeable = 32,
  resLocked = 16,
  resProtected = 8,
  resPreload = 4,
  resChanged = 2,
};

// Resource map attributes.
enum : UInt16 {
  mapReadOnly = 128,
  mapCompact = 64,
  mapChanged = 32,
};

// The status of the last Resource Manager call on this thread.
OSErr ResError(void);

ResFileRefNum CurResFile(void);
void UseResFile(ResFileRefNum refNum);

// Creates the file when it is missing (with that creator and type) and gives it an empty
// resource fork; dupFNErr when it has a resource fork already. The result is in ResError.
void FSpCreateResFile(const FSSpec* fsRec, OSType creator, OSType fileType, ScriptCode scriptTag);

// Opens the file's resource fork as a resource file and makes it current; -1 on failure, with
// the status in ResError (eofErr for a file without a resource fork, fnfErr for a missing file).
ResFileRefNum FSpOpenResFile(const FSSpec* fsRec, SInt8 permission);

// Writes the file when it changed, then closes it (see above).
void CloseResFile(ResFileRefNum refNum);
void UpdateResFile(ResFileRefNum refNum);

Handle GetResource(ResType theType, ResID theID);
Handle Get1Resource(ResType theType, ResID theID);
// Number of resources of a type in the current file.
SInt16 Count1Resources(ResType theType);
// The handle's resource type, ID and name (each output may be null).
void GetResInfo(Handle theResource, ResID* theID, ResType* theType, Str255 name);
void DetachResource(Handle theResource);
void ReleaseResource(Handle theResource);
// Makes the handle a new resource of the current file, marked changed (written on close).
void AddResource(Handle theData, ResType theType, ResID theID, ConstStr255Param name);

// ---------------------------------------------------------------------------------------------
// Resource forks as plain forks, and the classic file calls on fork reference numbers.

// Opens the file's resource fork as a plain fork (empty when the file has none yet).
OSErr FSpOpenRF(const FSSpec* fsRec, SInt8 permission, SInt16* refNum);
OSErr GetEOF(SInt16 refNum, long* logEOF);
// Sets the fork's logical end: a plain resource fork or a data fork.
OSErr SetEOF(SInt16 refNum, long logEOF);
// Closes a fork: a data fork, a plain resource fork (written back when changed) or a resource
// file (as CloseResFile).
OSErr FSClose(SInt16 refNum);

typedef void (*IOCompletionUPP)(void* paramBlock);

struct IOParam {
  void* qLink;
  SInt16 qType;
  SInt16 ioTrap;
  Ptr ioCmdAddr;
  IOCompletionUPP ioCompletion;
  OSErr ioResult;
  StringPtr ioNamePtr;
  SInt16 ioVRefNum;
  SInt16 ioRefNum;
  SInt8 ioVersNum;
  SInt8 ioPermssn;
  Ptr ioMisc;
  Ptr ioBuffer;
  long ioReqCount;
  long ioActCount;
  SInt16 ioPosMode;
  long ioPosOffset;
};

union ParamBlockRec {
  IOParam ioParam;
};
typedef ParamBlockRec* ParmBlkPtr;

// One transfer of ioReqCount bytes at the position that ioPosMode and ioPosOffset give;
// ioActCount receives the count moved and ioResult the status (eofErr for a read past the end).
// A completion routine is not called: the call is synchronous.
OSErr PBReadSync(ParmBlkPtr paramBlock);
OSErr PBWriteSync(ParmBlkPtr paramBlock);
