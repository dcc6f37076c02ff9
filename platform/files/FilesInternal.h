// Shared inside platform/files: resolving FSRefs, the volume table, name conversion, the
// AppleDouble sidecar and the open-fork registry. Not installed.
#pragma once

#include <sys/stat.h>

#include <cstddef>

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

// How many paths the FSRef table holds now, and its capacity (0: the normal 65536). A lower
// capacity lets tests fill the table with a few files.
size_t pathTableSize();
void setPathTableCapacity(size_t capacity);

// Looks the reference up again: errFSBadFSRef for something that is not an FSRef, fnfErr when
// its path no longer names the same item.
OSErr resolveRef(const FSRef* ref, Item* item);

// The folder part and the last component of a canonical path ("/" for the root's parent).
std::string parentPath(const std::string& path);
std::string lastComponent(const std::string& path);

// A Unicode name as the component stored on disk (UTF-8, "/" stored as ":"). Fails with
// errFSMissingName, bdNamErr or errFSNameTooLong.
OSErr componentFromUnicode(UniCharCount length, const UniChar* name, std::string* component);

// The path of the item with a Unicode name in the folder a reference names (the item need not
// exist). Fails with resolveRef's errors, errFSNotAFolder, or componentFromUnicode's.
OSErr childPathInFolder(const FSRef* parentRef, UniCharCount length, const UniChar* name, std::string* path);

// A component read from disk as a Unicode name (":" shown as "/"); invalid UTF-8 becomes U+FFFD.
void unicodeFromComponent(const std::string& component, HFSUniStr255* name);

// One line of /proc/self/mountinfo.
struct MountInfo {
  UInt64 device;           // major in the high half, minor in the low half
  std::string root;        // the folder of the file system that is mounted
  std::string mountPoint;  // where it is mounted
  std::string fsType;
  std::string source;
};

// The mounted file systems, in the order of /proc/self/mountinfo. Every device listed has a
// volume reference number from then on.
std::vector<MountInfo> readMounts();

// The volume reference number of a device: the volumes mounted when the process first asks are
// numbered from -100 downwards in the order of mountinfo, later ones after them; a number is never
// given to another device. dirOnDevice is a folder on it, for a device that mountinfo does not list.
FSVolumeRefNum volumeRefNum(UInt64 device, const std::string& dirOnDevice);

// The volume's root folder (its mount point); false for a number never given out.
bool volumeFolder(FSVolumeRefNum vRefNum, std::string* folder);

struct VolumeDetails {
  UInt64 device;
  std::string mountPoint;
  std::string fsType;
  std::string source;
};
bool volumeDetails(FSVolumeRefNum vRefNum, VolumeDetails* details);

// The index-th (from 1) volume mounted now, in the order of the numbers.
bool mountedVolumeAt(ItemCount index, FSVolumeRefNum* vRefNum);

// The name of the root file system's volume.
inline constexpr const char* kRootVolumeName = "Root";

// The volume's name: "Root" for the root file system, else the file system's label, else the
// last component of its mount point. Empty for an unknown number.
std::string volumeName(FSVolumeRefNum vRefNum);

// The mount point of the volume that holds path (the deepest one above it), and its number.
// Empty when nothing of the path exists.
std::string volumeOfPath(const std::string& path, FSVolumeRefNum* vRefNum);

// The directory ID of a folder: 2 for a volume's root, else an ID that stays the same for that
// folder while the registry remembers it (it keeps the most recently used 16384 folders).
UInt32 directoryID(const std::string& path, const struct statx& st, bool isVolumeRoot);

// The path of a directory by volume and ID: nsvErr for an unknown volume, dirNFErr for an ID the
// registry does not know or whose folder is no longer where it was last seen.
OSErr directoryPath(FSVolumeRefNum vRefNum, UInt32 dirID, std::string* path);
size_t directoryRegistrySize();
void setDirectoryRegistryCapacity(size_t capacity);  // 0: the normal 16384

// True when the item at the canonical path is the root folder of its volume.
bool isVolumeRoot(const std::string& path, const struct statx& st);

// The "diskN" (whole disk) or "diskNsM" (slice M) name of a block device; disks are numbered
// in the order of their names in /sys/class/block. False for devices that are no block device.
bool diskIDForDevice(UInt64 device, std::string* diskID);

// The device of a statx, major in the high half.
inline UInt64 deviceOf(const struct statx& st) { return (UInt64(st.stx_dev_major) << 32) | st.stx_dev_minor; }

// A Str63 name (MacRoman) as the component stored on disk; bdNamErr for a colon, an empty or
// over-long name. And back: bdNamErr when the name has no MacRoman form of at most 63 bytes.
OSErr componentFromPascal(ConstStr255Param name, size_t maxLength, std::string* component);
OSErr pascalFromComponent(const std::string& component, Str63 name);

// The path of the child named component in folder.
std::string childPath(const std::string& folder, const std::string& component);

// Moves an item's AppleDouble sidecar along with it, and removes one with it.
void moveSidecar(const std::string& from, const std::string& to);
void removeSidecar(const std::string& itemPath);

// The path of the item an FSSpec names (it need not exist) and whether it exists. dirNFErr or
// nsvErr when its folder cannot be found.
OSErr specPath(const FSSpec* fsRec, std::string* path, bool* exists);

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
// An absolute POSIX path in the colon-separated style (see CFURL.h); empty when no volume holds it.
std::string hfsPathFromPOSIX(const std::string& path);

// The number of items in a folder, sidecars not counted.
UInt32 countChildren(const std::string& path);
// Removes the sidecars left in a folder that holds nothing else.
void removeOrphanSidecars(const std::string& folder);

// The FSSpec of an existing item.
OSErr fillSpec(const std::string& path, const struct statx& st, FSSpec* fsRec);

// The Trash folder (with files/ and info/) of the volume that holds path, made when create is set,
// and the folder its records' paths are relative to (empty: absolute paths). fnfErr for a volume
// without a Trash, or when it is missing and create is not set.
OSErr trashOfPath(const std::string& path, bool create, std::string* trash, std::string* topdir);
// True when folder is the files/ folder of its volume's Trash; trash receives the Trash folder.
bool isTrashFilesFolder(const std::string& folder, std::string* trash);
// Moves an item into the Trash with its record; dupFNErr when its name is taken there.
OSErr moveToTrash(const std::string& from, const struct statx& st, const std::string& trash, FSRef* newRef);

}  // namespace velm_files
