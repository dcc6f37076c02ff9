// The scratch folder and files of the fuzz targets that hand their input over as a file.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <string>

namespace fuzzscratch {

// A folder of this process's own under $TMPDIR (or /tmp), made on the first call and named
// after `name` then; the same folder on every later call.
inline const std::string& folder(const char* name) {
  static const std::string path = [name] {
    std::string templ = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/fuzz-" + name + "-XXXXXX";
    if (!mkdtemp(templ.data())) std::abort();
    return templ;
  }();
  return path;
}

// The bytes as the whole content of the file at path, created or emptied, never through a
// link. A file that cannot be written stops the target: it would test nothing.
inline void writeFile(const std::string& path, const void* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))) std::abort();
  close(fd);
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  writeFile(path, bytes.data(), bytes.size());
}

}  // namespace fuzzscratch
