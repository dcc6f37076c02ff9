// Helpers for tests that make and inspect image files with command-line tools.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace velmtest {

// Runs a shell command and fails the test when it does not succeed; returns its output.
inline std::string sh(const std::string& command) {
  int status = 0;
  std::string out = runCommand(command + " 2>&1", &status);
  EXPECT_EQ(status, 0) << command << "\n" << out;
  return out;
}

// A path quoted for the shell.
inline std::string q(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

// Values of tags as exiftool reads them without conversion, one per line ("-" when missing).
inline std::vector<std::string> exiftool(const std::filesystem::path& file, const std::string& tags) {
  std::string out = sh("exiftool -n -s3 -f " + tags + " " + q(file));
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(out.substr(start, end - start));
  return lines;
}

}  // namespace velmtest
