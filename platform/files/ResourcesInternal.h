// Shared inside platform/files: the Resource Manager on items named by path. Not installed.
#pragma once

#include <string>

#include "Resources.h"

namespace velm_files {

// The calls of Resources.h for the item at a canonical absolute path (which exists).
OSErr createResFileAtPath(const std::string& itemPath);
ResFileRefNum openResFileAtPath(const std::string& itemPath, SInt8 permission);
OSErr openRFAtPath(const std::string& itemPath, SInt8 permission, SInt16* refNum);

// Sets ResError for this thread.
void setResError(OSErr err);

}  // namespace velm_files
