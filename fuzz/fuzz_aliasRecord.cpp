// libFuzzer target for the alias record reader.
//
// The input is an alias record. Whatever the reader accepts must give only absolute candidate
// paths without zero bytes, whatever mount points the machine has.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "AliasRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velm_files;
  AliasInfo info;
  if (readAliasRecord(data, size, &info) != noErr) return 0;
  const std::vector<std::string> mounts = {"/", "/media/Backup", "/mnt/Macintosh HD", "/Volumes/USB"};
  for (const std::string& path : aliasCandidatePaths(info, mounts))
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) std::abort();
  return 0;
}
