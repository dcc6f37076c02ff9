// Alias records and their resolution.
//
// An alias record is the platform's version 2 record: a 150-byte header (creator code, record
// size, version 2, kind (0 file, 1 folder), the volume's name (a Pascal string in 28 bytes), its
// creation date and signature, the parent folder's ID, the target's name (a Pascal string in 64
// bytes), its node ID, creation date, type and creator, and the levels of the relative path),
// then tagged items (a 16-bit tag, a 16-bit length, the data padded to an even length) ending
// with tag -1. All numbers are big-endian. Of the tags, resolution uses 18 (the target's POSIX
// path, UTF-8, from its volume's mount point), 19 (that mount point) and 2 (the colon-separated
// path from the volume name on, MacRoman).
//
// ResolveAlias finds the target on this machine, in this order: the POSIX path below the
// recorded mount point (the root when none is recorded); then the colon-separated path, below
// the recorded mount point, below each mounted file system whose mount point's last component
// is the record's volume name, and below the root. The first that names an existing item wins;
// a "/" inside a colon-separated path's name is a ":" on disk. The record is outside bytes: a
// record whose size, version or tags do not add up is refused with paramErr, and no path is
// taken from it that is not absolute or that holds a zero byte. A record whose target exists in
// none of these places gives fnfErr. Record IDs and dates are not compared: a target that was
// replaced by an item of the same path resolves to that item, and wasChanged is always false.
#pragma once

#include "CoreServices.h"
#include "MacMemory.h"
#include "MacTypes.h"

struct AliasRecord {
  OSType userType;
  UInt16 aliasSize;
};
typedef AliasRecord* AliasPtr;
typedef AliasPtr* AliasHandle;

enum : OSType {
  rAliasType = FOUR_CHAR_CODE('a', 'l', 'i', 's'),
};

// Resolves the alias into target; fromFile (relative resolution) is not used and may be null.
OSErr ResolveAlias(const FSSpec* fromFile, AliasHandle alias, FSSpec* target, Boolean* wasChanged);
