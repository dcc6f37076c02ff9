// main() of every test binary: a private HOME and private XDG folders, so that no test
// touches the real user's files, keychain, preferences or Desktop.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "TestSupport.h"

namespace velmtest {
namespace {
std::filesystem::path gSandbox;
}

const std::filesystem::path& sandboxDir() { return gSandbox; }

}  // namespace velmtest

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "velm-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    perror("mkdtemp");
    return 2;
  }
  velmtest::gSandbox = pattern;
  const fs::path& s = velmtest::gSandbox;
  const std::pair<const char*, const char*> dirs[] = {
      {"HOME", "home"},
      {"XDG_CONFIG_HOME", "home/.config"},
      {"XDG_DATA_HOME", "home/.local/share"},
      {"XDG_CACHE_HOME", "home/.cache"},
      {"XDG_STATE_HOME", "home/.local/state"},
      {"XDG_RUNTIME_DIR", "runtime"},
      {"TMPDIR", "tmpdir"},
  };
  for (const auto& [var, sub] : dirs) {
    fs::create_directories(s / sub);
    setenv(var, (s / sub).c_str(), 1);
  }
  fs::permissions(s / "runtime", fs::perms::owner_all, fs::perm_options::replace);
  fs::permissions(s / "tmpdir", fs::perms::owner_all, fs::perm_options::replace);
  // The Desktop is the XDG Desktop folder; keep it inside the sandbox too.
  setenv("XDG_DESKTOP_DIR", (s / "home/Desktop").c_str(), 1);
  // No session bus and no display of the real user.
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");

  testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();

  std::error_code ec;
  if (!std::getenv("VELM_KEEP_TEST_DIR")) fs::remove_all(s, ec);
  return rc;
}
