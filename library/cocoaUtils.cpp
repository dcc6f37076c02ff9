#include "cocoaUtils.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "CFRef.h"
#include "NSAutoreleasePool.h"
#include "NSImage.h"
#include "NSLog.h"
#include "RZMCoreFunctions.h"
#include "fileEngine.h"
#include "stringEngine.h"

namespace {

bool present(const CFRef<CFStringRef>& s) { return s && CFStringGetLength(s.get()) > 0; }

// Sets one text under a guard: an exception from the toolkit is dropped and counts as not done.
template <typename Setter>
bool guarded(Setter set) {
  try {
    set();
    return true;
  } catch (...) {
    return false;
  }
}

CFRef<CFStringRef> translated(CFStringRef text) { return CFRef<CFStringRef>(cocoaUtils::translateADialogString(text)); }

}  // namespace

CFStringRef cocoaUtils::translateADialogString(CFStringRef text) {
  if (!text) return nullptr;
  auto unchanged = [&] { return static_cast<CFStringRef>(CFRetain(text)); };
  if (CFStringGetLength(text) < 3) return unchanged();
  UniChar first = CFStringGetCharacterAtIndex(text, 0);
  UniChar second = CFStringGetCharacterAtIndex(text, 1);
  SInt16 table;
  if (first == '#' && second == '#')
    table = 1100;
  else if (first == '+' && second == '#')
    table = 1001;
  else
    return unchanged();
  CFRef<CFStringRef> rest(CFStringCreateWithSubstring(nullptr, text, CFRangeMake(2, CFStringGetLength(text) - 2)));
  SInt32 value = CFStringGetIntValue(rest.get());
  if (value == 0) return unchanged();
  CFStringRef entry = iuGetIndCFString(table, static_cast<SInt16>(value));
  // Without a string bundle there is nothing to translate with: keep the text rather than lose it.
  return entry ? entry : unchanged();
}

void cocoaUtils::translateOneView(NSView* view) {
  if (!view) return;

  guarded([&] {
    CFRef<CFStringRef> tip = view->toolTip();
    if (tip) view->setToolTip(translated(tip.get()).get());
  });

  bool handled = false;
  if (auto* popUp = dynamic_cast<NSPopUpButton*>(view)) {
    if (NSMenu* menu = popUp->menu()) {
      NSInteger count = menu->numberOfItems();
      for (NSInteger i = 0; i < count; ++i) {
        NSMenuItem* item = menu->itemAtIndex(i);
        if (!item) continue;
        CFRef<CFStringRef> title = item->title();
        if (present(title)) guarded([&] { item->setTitle(translated(title.get()).get()); });
      }
    }
    handled = true;
  }

  if (auto* field = dynamic_cast<NSTextField*>(view)) {
    guarded([&] {
      CFRef<CFStringRef> placeholder = field->placeholderString();
      if (placeholder) field->setPlaceholderString(translated(placeholder.get()).get());
    });
  }

  if (!handled) {
    bool done = false;
    if (auto* box = dynamic_cast<NSBox*>(view)) {
      CFRef<CFStringRef> title = box->title();
      if (present(title)) done = guarded([&] { box->setTitle(translated(title.get()).get()); });
    }
    if (!done) {
      if (auto* button = dynamic_cast<NSButton*>(view)) {
        CFRef<CFStringRef> title = button->title();
        if (present(title)) done = guarded([&] { button->setTitle(translated(title.get()).get()); });
      }
    }
    if (!done) {
      if (auto* control = dynamic_cast<NSControl*>(view)) {
        CFRef<CFStringRef> value = control->stringValue();
        if (present(value)) guarded([&] { control->setStringValue(translated(value.get()).get()); });
      }
    }
  }

  // Depth first; the subviews are counted again before each step.
  for (size_t i = 0;; ++i) {
    std::vector<NSView*> subviews = view->subviews();
    if (i >= subviews.size()) break;
    if (subviews[i]) translateOneView(subviews[i]);
  }
}

void cocoaUtils::translateWindow(NSWindow* window) {
  if (window) translateOneView(window->contentView());
}

// ---------------------------------------------------------------------------------------------
// Paths and text files

CFStringRef cocoaUtils::cuGetPathFromFSRef(const FSRef* ref) {
  UInt8 path[2048];
  if (FSRefMakePath(ref, path, sizeof path) != noErr) return nullptr;
  return CFStringCreateWithCString(nullptr, reinterpret_cast<const char*>(path), kCFStringEncodingUTF8);
}

SInt16 cuCreateAndOpenTextFile(CFStringRef path, SInt16* refNum) {
  constexpr SInt16 kCannotCreate = -68;
  std::string target;
  {
    UInt32 size = ORBStringGetUTF8Size(path);
    if (size == 0 || ORBStringCountCharAppearances(path, 0) > 0) return kCannotCreate;
    target.resize(size);
    UInt32 count = 0;
    ORBStringCopyToUTF8(path, target.data(), &count);
    target.resize(count);
  }
  // The empty file is made exclusively beside the target and renamed over it.
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : target.substr(0, slash);
  std::string pattern = folder + "/.velm-new-XXXXXX";
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return kCannotCreate;
  mode_t mask = umask(0);
  umask(mask);
  bool made = fchmod(fd, 0666 & ~mask) == 0;
  made = close(fd) == 0 && made;
  if (!made || rename(pattern.c_str(), target.c_str()) != 0) {
    unlink(pattern.c_str());
    return kCannotCreate;
  }
  FSRef ref;
  OSStatus err = FSPathMakeRef(reinterpret_cast<const UInt8*>(target.c_str()), &ref, nullptr);
  if (err != noErr) return static_cast<SInt16>(err);
  return static_cast<SInt16>(feOpenExistingFileRef(&ref, refNum, true, true));
}

// ---------------------------------------------------------------------------------------------
// Images

NSImage* cocoaUtils::earthMapImage(double, double) { return nullptr; }

CGImageRef cocoaUtils::cuConvertNSImageToCGImageRef(NSImage* image) {
  if (!image) return nullptr;
  CFRef<CFDataRef> tiff = image->TIFFRepresentation();
  if (!tiff) return nullptr;
  CFRef<CGImageSourceRef> source(CGImageSourceCreateWithData(tiff.get(), nullptr));
  if (!source) return nullptr;
  return CGImageSourceCreateImageAtIndex(source.get(), 0, nullptr);
}

NSImage* cocoaUtils::convertCGImageRefToNSImage(CGImageRef image) {
  try {
    double width = static_cast<double>(CGImageGetWidth(image));
    double height = static_cast<double>(CGImageGetHeight(image));
    std::unique_ptr<NSImage, void (*)(NSImage*)> made(new NSImage(NSMakeSize(width, height)),
                                                        [](NSImage* i) { i->release(); });
    made->lockFocus();
    CGContextDrawImage(NSGraphicsContext::currentContext()->graphicsPort(), CGRectMake(0, 0, width, height), image);
    made->unlockFocus();
    made->autorelease();
    return made.release();
  } catch (...) {
    return nullptr;
  }
}

// ---------------------------------------------------------------------------------------------
// ZIP archives

namespace {

namespace fs = std::filesystem;

// The path's UTF-8 bytes; empty for null and for a text holding NUL, which no path can.
std::string utf8Path(CFStringRef s) {
  if (!s) return {};
  for (CFIndex i = 0; i < CFStringGetLength(s); ++i)
    if (CFStringGetCharacterAtIndex(s, i) == 0) return {};
  CFIndex size = CFStringGetLength(s) * 3 + 1;  // UTF-8 takes at most 3 bytes a UTF-16 unit
  std::string out(static_cast<size_t>(size), '\0');
  if (!CFStringGetCString(s, out.data(), size, kCFStringEncodingUTF8)) return {};
  out.resize(strlen(out.c_str()));
  return out;
}

struct ArchiveFree {
  void operator()(struct archive* a) const { archive_write_free(a); }
};
struct EntryFree {
  void operator()(struct archive_entry* e) const { archive_entry_free(e); }
};

class ZipWriter {
 public:
  ZipWriter(int fd, dev_t skipDev, ino_t skipIno) : skipDev_(skipDev), skipIno_(skipIno) {
    a_.reset(archive_write_new());
    ok_ = a_ && archive_write_set_format_zip(a_.get()) == ARCHIVE_OK &&
          archive_write_open_fd(a_.get(), fd) == ARCHIVE_OK;
    if (!ok_) fail("cannot start the archive");
  }

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

  // One item at path under the entry name, a folder with everything in it.
  void addItem(const std::string& path, const std::string& name) {
    if (!ok_) return;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return fail(path + ": " + strerror(errno));
    if (st.st_dev == skipDev_ && st.st_ino == skipIno_) return;  // the archive being written
    if (S_ISDIR(st.st_mode)) {
      addHeader(st, name + "/", nullptr);
      addContents(path, name + "/");
    } else if (S_ISLNK(st.st_mode)) {
      std::vector<char> target(static_cast<size_t>(st.st_size) + 1 > 4096 ? static_cast<size_t>(st.st_size) + 1 : 4096);
      ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
      if (n < 0) return fail(path + ": " + strerror(errno));
      target[static_cast<size_t>(n)] = '\0';
      addHeader(st, name, target.data());
    } else if (S_ISREG(st.st_mode)) {
      addFile(path, name, st);
    } else {
      fail(path + ": not a file, folder or link");
    }
  }

  // The entries of a folder, sorted by name, each followed by its sidecar.
  void addContents(const std::string& folder, const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
      names.push_back(it->path().filename().string());
    if (ec) return fail(folder + ": " + ec.message());
    std::sort(names.begin(), names.end());
    std::set<std::string> present(names.begin(), names.end());
    for (const auto& n : names) {
      if (!ok_) return;
      bool sidecar = n.size() > 2 && n.compare(0, 2, "._") == 0 && present.count(n.substr(2));
      if (sidecar) continue;  // travels with its item
      addItem(folder + "/" + n, prefix + n);
      if (present.count("._" + n)) addItem(folder + "/._" + n, prefix + "._" + n);
    }
  }

  bool finish() {
    if (a_ && archive_write_close(a_.get()) != ARCHIVE_OK && ok_) fail(archive_error_string(a_.get()));
    return ok_;
  }

 private:
  void fail(const std::string& why) {
    if (ok_ || error_.empty()) error_ = why;
    ok_ = false;
  }

  std::unique_ptr<struct archive_entry, EntryFree> entryFor(const struct stat& st, const std::string& name) {
    std::unique_ptr<struct archive_entry, EntryFree> e(archive_entry_new());
    archive_entry_set_pathname_utf8(e.get(), name.c_str());
    archive_entry_copy_stat(e.get(), &st);
    archive_entry_set_uid(e.get(), 0);
    archive_entry_set_gid(e.get(), 0);
    return e;
  }

  void addHeader(const struct stat& st, const std::string& name, const char* linkTarget) {
    auto e = entryFor(st, name);
    if (linkTarget) {
      archive_entry_set_symlink_utf8(e.get(), linkTarget);
      archive_entry_set_size(e.get(), 0);
    } else {
      archive_entry_set_size(e.get(), 0);
    }
    if (archive_write_header(a_.get(), e.get()) != ARCHIVE_OK) fail(name + ": " + archive_error_string(a_.get()));
  }

  void addFile(const std::string& path, const std::string& name, const struct stat& listed) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(path + ": " + strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != listed.st_ino) {
      close(fd);
      return fail(path + ": changed while it was archived");
    }
    auto e = entryFor(st, name);
    if (archive_write_header(a_.get(), e.get()) != ARCHIVE_OK) {
      close(fd);
      return fail(name + ": " + archive_error_string(a_.get()));
    }
    std::vector<char> buf(1 << 16);
    int64_t left = st.st_size;
    while (left > 0) {
      ssize_t n = read(fd, buf.data(), static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(buf.size()))));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        close(fd);
        return fail(path + (n == 0 ? std::string(": shorter than it was") : ": " + std::string(strerror(errno))));
      }
      if (archive_write_data(a_.get(), buf.data(), static_cast<size_t>(n)) != n) {
        close(fd);
        return fail(name + ": " + archive_error_string(a_.get()));
      }
      left -= n;
    }
    close(fd);
    if (archive_write_finish_entry(a_.get()) != ARCHIVE_OK) fail(name + ": " + archive_error_string(a_.get()));
  }

  std::unique_ptr<struct archive, ArchiveFree> a_;
  bool ok_ = false;
  std::string error_;
  dev_t skipDev_;
  ino_t skipIno_;
};

std::string sidecarOf(const std::string& path) {
  fs::path p(path);
  return (p.parent_path() / ("._" + p.filename().string())).string();
}

SInt32 archiveFailed(const std::string& source, const std::string& why) {
  CFRef<CFStringRef> s(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(source.data()),
                                               static_cast<CFIndex>(source.size()), kCFStringEncodingUTF8, false));
  CFRef<CFStringRef> w(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(why.data()),
                                               static_cast<CFIndex>(why.size()), kCFStringEncodingUTF8, false));
  NSLog(CFSTR("ZIP archive of %@ not written: %@"), s ? s.get() : CFSTR("?"), w ? w.get() : CFSTR("?"));
  return 1;
}

}  // namespace

SInt32 cocoaUtils::compressToZIPFile(CFStringRef sourcePath, CFStringRef targetPath, Boolean deleteOriginal) {
  std::string source = utf8Path(sourcePath), target = utf8Path(targetPath);
  if (source.empty() || target.empty()) return archiveFailed(source, "no source or target path");
  while (source.size() > 1 && source.back() == '/') source.pop_back();
  struct stat st {};
  if (lstat(source.c_str(), &st) != 0) return archiveFailed(source, strerror(errno));

  // A new file of our own beside the target; the target is replaced only by a whole archive.
  fs::path targetFile(target);
  std::string folder = targetFile.parent_path().empty() ? "." : targetFile.parent_path().string();
  std::string temporary = folder + "/." + targetFile.filename().string() + ".XXXXXX";
  int fd = mkstemp(temporary.data());
  if (fd < 0) return archiveFailed(source, target + ": " + strerror(errno));
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  struct stat written {};
  fstat(fd, &written);

  ZipWriter zip(fd, written.st_dev, written.st_ino);
  if (S_ISDIR(st.st_mode)) {
    zip.addContents(source, "");
  } else {
    std::string name = fs::path(source).filename().string();
    zip.addItem(source, name);
    struct stat sc {};
    if (lstat(sidecarOf(source).c_str(), &sc) == 0) zip.addItem(sidecarOf(source), "._" + name);
  }
  bool ok = zip.finish();
  std::string why = zip.error();
  if (ok && fsync(fd) != 0) {
    ok = false;
    why = target + ": " + strerror(errno);
  }
  if (close(fd) != 0 && ok) {
    ok = false;
    why = target + ": " + strerror(errno);
  }
  if (ok && rename(temporary.c_str(), target.c_str()) != 0) {
    ok = false;
    why = target + ": " + strerror(errno);
  }
  if (!ok) {
    unlink(temporary.c_str());
    return archiveFailed(source, why);
  }

  if (deleteOriginal) {
    std::error_code ec;
    fs::remove_all(source, ec);
    if (!S_ISDIR(st.st_mode)) fs::remove(sidecarOf(source), ec);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Cocoa in a program that is not a Cocoa application

NSAutoreleasePool* pool = nullptr;

void cocoaUtilsLaunch(void) {
  NSApplicationLoad();
  pool = new NSAutoreleasePool();
}

void cocoaUtilsQuit(void) {
  if (pool) pool->release();
  pool = nullptr;
}
