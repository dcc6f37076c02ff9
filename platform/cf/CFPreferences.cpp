// CoreFoundation preferences: one XML property list per application, written atomically.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>

#include "CFInternal.h"
#include "NSLog.h"

using namespace cfimpl;
namespace fs = std::filesystem;

const CFStringRef kCFPreferencesCurrentApplication = CFSTR("kCFPreferencesCurrentApplication");

namespace {

std::mutex gPrefsLock;

struct Domain {
  CFRef<CFMutableDictionaryRef> values;
  struct timespec mtime {};
  ino_t inode = 0;
  off_t size = -1;
};

std::map<std::string, Domain>& domains() {
  static auto* d = new std::map<std::string, Domain>();
  return *d;
}

std::string applicationName(CFStringRef applicationID) {
  std::string name;
  if (applicationID && !CFEqual(applicationID, kCFPreferencesCurrentApplication)) {
    toUTF8(units(applicationID), name);
  } else {
    CFStringRef id = CFBundleGetIdentifier(CFBundleGetMainBundle());
    if (id) toUTF8(units(id), name);
    if (name.empty()) {
      std::error_code ec;
      name = fs::read_symlink("/proc/self/exe", ec).filename().string();
    }
  }
  // A name becomes one file name: no folders, no hidden files.
  for (auto& c : name)
    if (c == '/' || c == '\0') c = '_';
  if (name.empty() || name[0] == '.') name.insert(0, "_");
  return name;
}

fs::path folder() {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  fs::path base;
  if (xdg && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = getenv("HOME");
    base = fs::path(home && *home ? home : "/tmp") / ".config";
  }
  return base / "preferences";
}

CFMutableDictionaryRef emptyDict() {
  return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
}

enum class Read {
  Current,      // the values are those of the file (or there is no file)
  Passing,      // the file could not be opened or read just now; the values are the last ones read
  Unreadable,   // the file's bytes are no property list dictionary
};

// Re-reads the file when it changed since it was last read (another process may write it).
// An entry that cannot be read is left out and logged, the others are kept. A file that is no
// dictionary at all is set aside as <file>.unreadable-<time>, but only by a caller that holds the
// domain's file lock (setAside); others get Unreadable and retry under the lock. A failure to
// open or read the file (too many open files, no permission) sets nothing aside and keeps the
// values as they were; the file is read again next time.
Read refresh(Domain& d, const fs::path& file, bool setAside) {
  if (!d.values) d.values.reset(emptyDict());
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) return Read::Passing;
    if (d.size != -1) d.values.reset(emptyDict());
    d.size = -1;
    d.inode = 0;
    return Read::Current;
  }
  if (d.size != -1 && d.inode == st.st_ino && d.size == st.st_size && d.mtime.tv_sec == st.st_mtim.tv_sec &&
      d.mtime.tv_nsec == st.st_mtim.tv_nsec)
    return Read::Current;
  int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return Read::Passing;
  struct stat opened {};
  std::string bytes;
  bool ok = fstat(fd, &opened) == 0;
  char buf[65536];
  while (ok) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  if (!ok) return Read::Passing;

  CFRef<CFDataRef> data(
      CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
  std::vector<std::string> dropped;
  CFRef<CFPropertyListRef> pl(propertyListCreateLenient(data.get(), kCFPropertyListMutableContainers, dropped));
  if (isA(pl.get(), kTypeDictionary)) {
    for (const auto& key : dropped) {
      CFRef<CFStringRef> name(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(key.data()),
                                                      static_cast<CFIndex>(key.size()), kCFStringEncodingUTF8, false));
      NSLog(CFSTR("Preferences %s: the value of \"%@\" cannot be read and is left out"), file.c_str(),
            name ? name.get() : CFSTR("(a key that is no text)"));
    }
    d.values.reset(static_cast<CFMutableDictionaryRef>(const_cast<void*>(CFRetain(pl.get()))));
    d.inode = opened.st_ino;
    d.size = opened.st_size;
    d.mtime = opened.st_mtim;
    return Read::Current;
  }
  if (!setAside) return Read::Unreadable;
  // Unreadable: keep the file for inspection under another name, start empty.
  char suffix[64];
  snprintf(suffix, sizeof suffix, ".unreadable-%ld", static_cast<long>(time(nullptr)));
  std::error_code ec;
  fs::rename(file, file.string() + suffix, ec);
  NSLog(CFSTR("Preferences %s cannot be read; set aside as %s%s"), file.c_str(), file.c_str(), suffix);
  d.values.reset(emptyDict());
  d.size = -1;
  d.inode = 0;
  return Read::Current;
}

bool writeAtomically(const fs::path& file, CFDictionaryRef values) {
  CFRef<CFDataRef> data(CFPropertyListCreateData(nullptr, values, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
  if (!data) return false;
  std::string tmp = file.string() + ".XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) return false;
  fchmod(fd, 0600);
  const UInt8* p = CFDataGetBytePtr(data.get());
  size_t left = static_cast<size_t>(CFDataGetLength(data.get()));
  bool ok = true;
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok) ok = rename(tmp.c_str(), file.c_str()) == 0;
  if (!ok) {
    unlink(tmp.c_str());
    return false;
  }
  int dir = open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

// Holds an advisory lock on the domain's lock file so that processes sharing a domain do not
// lose each other's writes.
class FileLock {
 public:
  explicit FileLock(const fs::path& path) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) held_ = flock(fd_, LOCK_EX) == 0;
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);
  }
  bool held() const { return held_; }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
  bool held_ = false;
};

}  // namespace

void CFPreferencesSetAppValue(CFStringRef key, CFTypeRef value, CFStringRef applicationID) {
  if (!key) return;
  std::string app = applicationName(applicationID);
  fs::path dir = folder();
  std::error_code ec;
  fs::create_directories(dir, ec);
  fs::path file = dir / (app + ".plist");
  std::lock_guard<std::mutex> lock(gPrefsLock);
  FileLock fileLock(dir / ("." + app + ".lock"));
  Domain& d = domains()[app];
  // Values that could not be read just now must not be overwritten by a file without them.
  if (refresh(d, file, fileLock.held()) != Read::Current) return;
  CFRef<CFMutableDictionaryRef> updated(CFDictionaryCreateMutableCopy(nullptr, 0, d.values.get()));
  if (value)
    CFDictionarySetValue(updated.get(), key, value);
  else
    CFDictionaryRemoveValue(updated.get(), key);
  if (!writeAtomically(file, updated.get())) return;  // refused: the stored values stay as they were
  d.values = updated;
  refresh(d, file, fileLock.held());
}

CFTypeRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID) {
  if (!key) return nullptr;
  std::string app = applicationName(applicationID);
  fs::path file = folder() / (app + ".plist");
  std::lock_guard<std::mutex> lock(gPrefsLock);
  Domain& d = domains()[app];
  if (refresh(d, file, false) == Read::Unreadable) {
    FileLock fileLock(folder() / ("." + app + ".lock"));
    refresh(d, file, fileLock.held());
  }
  CFTypeRef v = CFDictionaryGetValue(d.values.get(), key);
  return v ? CFRetain(v) : nullptr;
}

Boolean CFPreferencesAppSynchronize(CFStringRef) { return true; }
