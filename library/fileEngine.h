// The file engine: plain functions over file-system references (FSRef), FSSpec records, paths,
// names and open forks.
//
// Operations that return a status pass the platform's status code on unchanged; operations that
// return a value answer 0, false or null when the platform call fails. Strings they return are
// new and the caller releases them. The engine adds only these statuses of its own: -50 when a
// URL yields no reference, -108 when a buffer cannot be allocated, and -192 for a read or write
// that the platform reports as successful but that moved fewer bytes than asked.
#pragma once

#include "CoreFoundation.h"
#include "CoreServices.h"
#include "Resources.h"
#include "MacTypes.h"

// A short transfer: the platform reported success but moved fewer bytes than asked.
enum : OSErr { feShortTransferErr = -192 };

// The name of the data fork that every data-fork open passes; empty until feInitialize.
extern HFSUniStr255 forkName;

// Sets forkName to the data fork's name; the status of FSGetDataForkName.
OSErr feInitialize(void);

// ---- References and records
// A reference to the existing item at a POSIX path. 0 exactly when the reference was made;
// -108 when the path buffer cannot be allocated; -50 when the path holds a zero character;
// otherwise the status of FSPathMakeRef.
OSStatus feMakeFSRefFromPath(CFStringRef path, FSRef* ref);
// 0 when the URL names an existing item, else -50.
OSStatus feGetFSRefFromCFURL(CFURLRef url, FSRef* ref);
// The child of a folder by name; fnfErr when there is none.
OSStatus feMakeFSRefFromParent(const FSRef* parent, CFStringRef name, FSRef* ref);
// The directory with the given ID on the volume.
OSStatus feMakeFSRefFromNodeID(SInt16 vRefNum, SInt32 dirID, FSRef* ref);
// The item's parent folder.
OSStatus feGetParentRef(const FSRef* ref, FSRef* parent);
OSStatus feMakeFSSpec(SInt16 vRefNum, SInt32 dirID, ConstStr255Param name, FSSpec* fsRec);
// Fills the record's fields as given (the 64 name bytes copied as they are); asks nothing.
void feMakeFastFSSpec(SInt16 vRefNum, SInt32 parID, const UInt8* name, FSSpec* fsRec);
OSStatus feMakeFSSpecFromFSRef(const FSRef* ref, FSSpec* fsRec);

// ---- Paths and names
// The item's path in the given style, or null.
CFStringRef feGetPathFromFSRef(const FSRef* ref, CFURLPathStyle pathStyle);
// The directory's path in the colon-separated style, or null.
CFStringRef feGetPathCFString(SInt16 vRefNum, SInt32 dirID);
// For 13, the POSIX path of the user's Desktop (created when missing); null for other codes.
CFStringRef feGetPathOfSpecialFolder(SInt32 folderCode);
// The item's Unicode name, or null.
CFStringRef feGetItemNameFromRef(const FSRef* ref);
// Makes a file name safe in place: separators and reserved characters replaced, a leading full
// stop and a trailing blank or full stop changed. 0; -1 for an empty name.
OSStatus feCheckFileNameRef(HFSUniStr255* name);
// The first of "base 1suffix" .. "base 100suffix" that the folder does not hold (the last one
// when all are taken).
CFStringRef feGetUniqueFileName(const FSRef* parent, CFStringRef baseName, CFStringRef suffix);

// ---- Volumes and directory IDs
// The folder's own directory ID; 2 together with the failure status when it cannot be read.
OSStatus feGetDirID(FSSpec folder, SInt32* dirID);
OSStatus feGetVolRefAndDirIDFromPath(const char* path, SInt16* vRefNum, SInt32* nodeID);
// The item's volume reference number, or 0.
SInt16 feGetVolumeRefFromFSRef(const FSRef* ref);
// How many mounted volumes share the volume's disk; at least 1.
SInt32 feNumberOfVolumesOnDisk(SInt16 vRefNum);

// ---- Questions about an item and folder creation
Boolean feItemExists(const FSRef* parent, CFStringRef name);
// True when the item is a folder; false when the catalog cannot be read.
Boolean feIsFolder(const FSRef* ref);
// The data fork's logical size; 0 when the catalog cannot be read.
UInt64 feGetFileDataSize(const FSRef* ref);
// The content modification date, seconds since 1904 (low 32 bits); 0 on failure.
UInt32 feGetFileModificationDate(const FSRef* ref);
OSStatus feGetFileTypeAndCreator(const FSRef* ref, OSType* type, OSType* creator);
Boolean feHasCustomIcon(const FSRef* ref);
OSStatus feCreateFolder(const FSRef* parent, CFStringRef name, FSRef* newFolder);

// ---- Opening and creating
// Opens the data fork (dataFork true) for reading, or reading and writing when write is true.
// Without resource fork support a resource-fork open fails with the Resource Manager's status.
OSStatus feOpenExistingFile(FSSpec file, SInt16* refNum, Boolean write, Boolean dataFork);
OSStatus feOpenExistingFileRef(const FSRef* file, SInt16* refNum, Boolean write, Boolean dataFork);
// Creates a file with the given type and creator and opens its data fork for reading and writing.
OSStatus feCreateAndOpenDataFileUnicode(const FSRef* parent, const HFSUniStr255* name, SInt16* refNum,
                                        FSRef* newFile, OSType type, OSType creator);
// Opens the file at a POSIX path for reading and writing, creating it empty when missing; an
// existing file keeps its contents.
OSStatus feCreateAndOpenTextFile(CFStringRef path, SInt16* refNum);
// Creates a file with the given type and creator and opens it; -48 (and nothing opened) when it
// exists.
OSStatus feCreateNewFile(FSSpec file, SInt16* refNum, Boolean dataFork, OSType type, OSType creator);

// ---- Reading and writing an open fork (uncached)
OSStatus feReadFromFile(SInt16 refNum, SInt64 offset, UInt32 count, void* buffer);
OSStatus feWriteToFile(SInt16 refNum, SInt64 offset, UInt32 count, const void* buffer);
OSStatus feAppendToFile(SInt16 refNum, UInt32 count, const void* buffer);
OSStatus feGetEOF(SInt16 refNum, SInt64* size);
OSStatus feSetEOF(SInt16 refNum, SInt64 size);
// Copies count bytes between two open forks through one buffer of at most 16 MiB.
OSStatus feCopyFileData(SInt16 source, SInt64 sourceOffset, UInt64 count, SInt16 destination,
                        SInt64 destinationOffset);

// ---- Whole files and folders
OSStatus feRenameFile(FSSpec file, ConstStr255Param newName);
OSStatus feRenameFolder(FSSpec folder, ConstStr255Param newName);
// Sets (invisible true) or clears the invisible Finder flag, keeping every other flag.
OSStatus feMakeFileInvisible(FSSpec file, Boolean invisible);
// Deletes the item at a UTF-8 POSIX path; the status of the path lookup, else of the deletion.
OSStatus feDeleteFileAtPath(const char* path);
// Moves the file into its volume's Trash, or deletes it when that cannot be done.
OSStatus feDeleteFile(FSSpec file);
// Moves the item into its volume's Trash; when the move fails it is deleted.
OSStatus feMoveFileToTrash(const FSRef* file);
OSStatus feMoveFolderToTrash(const FSRef* folder);

// ---- Resource forks
// Gives the file the version resources of the running program: makes sure it has a resource fork
// (creating the file with that type and creator when it is missing), then copies 'vers' 1 and 3
// of the current resource chain into it as 'vers' 1 and 2, unless it has a 'vers' 1 of its own.
// The current resource file is the same afterwards.
void feAddVersRessource(FSSpec file, OSType type, OSType creator);
// Creates the destination's resource fork and copies the source's whole resource fork into it,
// with the source's Finder type and creator; 0 or the first failing status (-48 when the
// destination has a resource fork already, -109 when the copy buffer cannot be had).
OSStatus feCopyRessourceFile(FSSpec source, FSSpec destination);
// True when the item is an alias file that resolved; the FSSpec then names its target. False,
// the FSSpec unchanged, in every other case.
Boolean feResolveAlias(FSSpec* fsRec);
