// Helpers shared by the tests.
#pragma once
#include <filesystem>
#include <optional>
#include <string>

namespace velmtest {

// The private folder that HOME and the XDG folders point into for this test process.
const std::filesystem::path& sandboxDir();

// A fresh, empty folder inside the sandbox, unique per call.
std::filesystem::path makeTempDir(const std::string& hint = "t");

// Runs a shell command and returns its standard output; status receives the exit status.
std::string runCommand(const std::string& command, int* status = nullptr);

// Writes bytes to a file, replacing it.
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// Sets an environment variable (null unsets it) for the life of the object, then restores the
// old value. Time-zone changes take effect at once.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace velmtest
