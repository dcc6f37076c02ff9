#include "Sandbox.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

namespace velmtest {

std::filesystem::path enterSandbox() {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::string pattern = (fs::temp_directory_path(ec) / "velm-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    perror("mkdtemp");
    return {};
  }
  fs::path s = pattern;
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
    fs::create_directories(s / sub, ec);
    setenv(var, (s / sub).c_str(), 1);
  }
  fs::permissions(s / "runtime", fs::perms::owner_all, fs::perm_options::replace, ec);
  fs::permissions(s / "tmpdir", fs::perms::owner_all, fs::perm_options::replace, ec);
  // The Desktop is the XDG Desktop folder; keep it inside the sandbox too.
  setenv("XDG_DESKTOP_DIR", (s / "home/Desktop").c_str(), 1);
  // No session bus and no display of the real user.
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  return s;
}

void leaveSandbox(const std::filesystem::path& sandbox) {
  std::error_code ec;
  if (!sandbox.empty() && !std::getenv("VELM_KEEP_TEST_DIR")) std::filesystem::remove_all(sandbox, ec);
}

}  // namespace velmtest
