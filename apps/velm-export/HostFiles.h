// Files the host writes beside the user's photos and into the plug-in's export folder.
#pragma once

#include <sys/types.h>

#include <string>

namespace velmexport {

// The process's file mode creation mask, read without changing it (umask() would change it
// for every thread for a moment).
mode_t currentUmask();

// Replaces the file at path with bytes through a temporary file that this call creates itself
// in the same folder (mkstemp: a new name, opened exclusively, never through a link someone
// planted) and renames over path when complete, so that readers see the old file or the new one
// and nothing outside the folder is written. A file already at path keeps its permissions; a new
// one gets newMode under the umask. With `sync` the bytes reach the disk before the rename.
// False, with path untouched and errno set, when it cannot.
bool replaceFile(const std::string& path, const std::string& bytes, mode_t newMode, bool sync);

}  // namespace velmexport
