#include "HostFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace velmexport {

mode_t currentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  return 022;
}

bool replaceFile(const std::string& path, const std::string& bytes, mode_t newMode, bool sync) {
  fs::path target(path);
  std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  int fd = mkstemp(pattern.data());
  if (fd < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  struct stat st {};
  mode_t mode = newMode & ~currentUmask();
  if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;
  ok = ok && fchmod(fd, mode) == 0 && (!sync || fsync(fd) == 0);
  ok = close(fd) == 0 && ok;
  if (ok) ok = std::rename(pattern.c_str(), path.c_str()) == 0;
  if (!ok) {
    int saved = errno;
    unlink(pattern.c_str());
    errno = saved;
  }
  return ok;
}

}  // namespace velmexport
