// The large photo the export benchmarks work on. VELM_SOURCE_DIR names the source tree.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace bench {

// A 6000 x 4000 JPEG at path with a position, caption and keywords: a sample photo enlarged by
// vips. False when vips cannot make it.
inline bool makeLargePhoto(const std::filesystem::path& path) {
  std::string make = std::string("vips resize '") + VELM_SOURCE_DIR + "/samples/Beach.jpg' '" + path.string() +
                     "[Q=90]' 7.5 --vscale 7.505";
  return std::system(make.c_str()) == 0;
}

}  // namespace bench
