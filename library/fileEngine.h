// The file engine: plain functions over file-system references (FSRef), paths and names.
//
// Operations that return a status pass the platform's status code on unchanged; operations that
// return a value answer 0, false or null when the platform call fails. Strings they return are
// new and the caller releases them.
#pragma once

#include "CoreFoundation.h"
#include "CoreServices.h"
#include "MacTypes.h"

// ---- References and paths
// A reference to the existing item at a POSIX path. 0 exactly when the reference was made;
// -108 when the path buffer cannot be allocated; -50 when the path holds a zero character;
// otherwise the status of FSPathMakeRef.
OSStatus feMakeFSRefFromPath(CFStringRef path, FSRef* ref);
// The item's path in the given style, or null.
CFStringRef feGetPathFromFSRef(const FSRef* ref, CFURLPathStyle pathStyle);
// The item's Unicode name, or null.
CFStringRef feGetItemNameFromRef(const FSRef* ref);

// ---- Questions about an item
// True when the item is a folder; false when the catalog cannot be read.
Boolean feIsFolder(const FSRef* ref);
// The data fork's logical size; 0 when the catalog cannot be read.
UInt64 feGetFileDataSize(const FSRef* ref);
