// Reading alias records (see Aliases.h), for ResolveAlias and its fuzz target. Not installed.
#pragma once

#include <string>
#include <vector>

#include "MacTypes.h"

namespace velm_files {

struct AliasInfo {
  UInt16 kind = 0;             // 0 file, 1 folder
  std::string volumeName;      // MacRoman, from the header
  std::string fileName;        // MacRoman, from the header
  UInt32 parentDirID = 0;
  bool hasPosixPath = false;
  std::string posixPath;       // tag 18, UTF-8
  bool hasMountPoint = false;
  std::string mountPoint;      // tag 19, UTF-8
  bool hasColonPath = false;
  std::string colonPath;       // tag 2, MacRoman
};

// noErr, or paramErr when the bytes are not a sound version 2 alias record.
OSErr readAliasRecord(const UInt8* bytes, size_t size, AliasInfo* info);

// The POSIX paths (UTF-8) where the target may be, in the order they are tried; mountPoints are
// the mount points of this machine.
std::vector<std::string> aliasCandidatePaths(const AliasInfo& info,
                                             const std::vector<std::string>& mountPoints);

// The mount points of this machine, from /proc/self/mountinfo.
std::vector<std::string> currentMountPoints();

// Resolves a record to the path of an existing item: noErr, paramErr or fnfErr.
OSErr resolveAliasRecord(const UInt8* bytes, size_t size, std::string* path);

}  // namespace velm_files
