// Shared inside platform/files: resolving FSRefs, the volume table, name conversion, the
// AppleDouble sidecar and the open-fork registry. Not installed.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "CoreServices.h"

namespace velm_files {

// The platform status code for an errno value.
OSErr osErrFromErrno(int err);

// statx of a path, symbolic links not followed. Returns 0 or an errno value.
int statItem(const std::string& path, struct statx* st);

// An FSRef checked against the item it was made for.
struct Item {
  std::string path;  // canonical absolute path
  struct statx st;
};

// Fills ref for the item at path (canonical, absolute) whose statx is st.
void makeRef(const std::string& path, const struct statx& st, FSRef* ref);

// Looks the reference up again: errFSBadFSRef for something that is not an FSRef, fnfErr when
// its path no longer names the same item.
OSErr resolveRef(const FSRef* ref, Item* item);

// The folder part and the last component of a canonical path ("/" for the root's parent).
std::string parentPath(const std::string& path);
std::string lastComponent(const std::string& path);

// A Unicode name as the component stored on disk (UTF-8, "/" stored as ":"). Fails with
// errFSMissingName, bdNamErr or errFSNameTooLong.
OSErr componentFromUnicode(UniCharCount length, const UniChar* name, std::string* component);

// A component read from disk as a Unicode name (":" shown as "/"); invalid UTF-8 becomes U+FFFD.
void unicodeFromComponent(const std::string& component, HFSUniStr255* name);

// The volume reference number of a device, given out on first sight; dirOnDevice is a folder on
// it, kept for FlushVol.
FSVolumeRefNum volumeRefNum(UInt64 device, const std::string& dirOnDevice);

// A folder on the volume, for flushing it; false for a number never given out.
bool volumeFolder(FSVolumeRefNum vRefNum, std::string* folder);

// True when this process has a fork of the item open.
bool itemHasOpenFork(UInt64 device, UInt64 inode);

// AppleDouble sidecars. Finder information is the 32 on-disk bytes (big-endian): 16 of Finder
// information and 16 of extended Finder information.
std::string sidecarPath(const std::string& itemPath);

// Reads the sidecar of an item: its Finder information (zeros when it has none) and the length of
// its resource fork (0 when it has none). A missing or unreadable sidecar gives zeros.
void readSidecar(const std::string& itemPath, UInt8 finderInfo[32], UInt64* rsrcLength);

// Whether Finder information could be written for the item: noErr when its sidecar is missing or
// is a regular AppleDouble file; ioErr otherwise.
OSErr checkSidecarWritable(const std::string& itemPath);

// Writes the Finder-information entry of the item's sidecar, creating the sidecar (with an empty
// resource-fork entry) when it is missing, and keeping every other entry of an existing one.
OSErr writeFinderInfo(const std::string& itemPath, const UInt8 finderInfo[32]);

// Finder information between its on-disk form (big-endian) and FSCatalogInfo's (host order);
// the layout of the fields differs between files and folders.
void finderInfoToHost(const UInt8 disk[32], bool isFolder, UInt8 finderInfo[16],
                      UInt8 extFinderInfo[16]);
void finderInfoToDisk(const UInt8 finderInfo[16], const UInt8 extFinderInfo[16], bool isFolder,
                      UInt8 disk[32]);

// The resource fork of an item, from entry 2 of its sidecar: noErr with an empty fork when there
// is no sidecar or no such entry; ioErr when the sidecar is not AppleDouble.
OSErr readResourceForkBytes(const std::string& itemPath, std::vector<UInt8>* fork);

// Whether the resource fork of the item could be written: the sidecar (or, when there is none,
// the folder) is writable and the sidecar is AppleDouble.
bool resourceForkWritable(const std::string& itemPath);

// Replaces the resource fork of the item atomically, creating the sidecar (with all-zero Finder
// information) when it is missing, and keeping every other entry of an existing one.
OSErr writeResourceForkBytes(const std::string& itemPath, const std::vector<UInt8>& fork);

// Reserves a fork reference number in the numbering of data forks, for forks served elsewhere in
// this layer; 0 when every number is in use. The data-fork calls fail on it (it has no file).
FSIORefNum reserveForkRefNum();
void releaseForkRefNum(FSIORefNum refNum);

}  // namespace velm_files
