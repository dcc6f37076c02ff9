// AppleDouble version 2 sidecars "._name": Finder information and the resource fork of an item
// on a file system that has neither.
//
// Layout (all numbers big-endian): magic 0x00051607, version 0x00020000, 16 filler bytes, the
// number of entries (16 bits), then per entry its id, offset and length (32 bits each), then the
// entries' data. Entry 9 is Finder information (32 bytes), entry 2 the resource fork.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <iterator>
#include <vector>

#include "FilesInternal.h"

namespace velm_files {
namespace {

constexpr UInt32 kMagic = 0x00051607;
constexpr UInt32 kVersion = 0x00020000;
constexpr UInt32 kEntryResourceFork = 2;
constexpr UInt32 kEntryFinderInfo = 9;
constexpr size_t kHeaderSize = 26;
constexpr size_t kDescriptorSize = 12;
constexpr size_t kFinderInfoSize = 32;
// Sidecars are small; a larger file is not one of ours and is left alone.
constexpr off_t kMaxSidecarSize = 64 * 1024 * 1024;

UInt32 get32(const UInt8* p) {
  return (UInt32(p[0]) << 24) | (UInt32(p[1]) << 16) | (UInt32(p[2]) << 8) | UInt32(p[3]);
}
UInt16 get16(const UInt8* p) { return UInt16((p[0] << 8) | p[1]); }
void put32(UInt8* p, UInt32 v) {
  p[0] = UInt8(v >> 24);
  p[1] = UInt8(v >> 16);
  p[2] = UInt8(v >> 8);
  p[3] = UInt8(v);
}
void put16(UInt8* p, UInt16 v) {
  p[0] = UInt8(v >> 8);
  p[1] = UInt8(v);
}

struct Entry {
  UInt32 id;
  UInt32 offset;
  UInt32 length;
};

struct Sidecar {
  std::vector<UInt8> bytes;
  std::vector<Entry> entries;
};

// Parses a whole sidecar file; false when it is not AppleDouble version 2, an entry lies
// outside the file, or an entry is listed twice (a reader would take one and a writer change
// the other).
bool parse(std::vector<UInt8> bytes, Sidecar* out) {
  if (bytes.size() < kHeaderSize) return false;
  if (get32(&bytes[0]) != kMagic || get32(&bytes[4]) != kVersion) return false;
  size_t count = get16(&bytes[24]);
  if (kHeaderSize + count * kDescriptorSize > bytes.size()) return false;
  std::vector<Entry> entries;
  for (size_t i = 0; i < count; ++i) {
    const UInt8* d = &bytes[kHeaderSize + i * kDescriptorSize];
    Entry e{get32(d), get32(d + 4), get32(d + 8)};
    if (UInt64(e.offset) + e.length > bytes.size()) return false;
    // An entry inside the header or the entry table would overwrite them when written in place.
    if (e.length > 0 && e.offset < kHeaderSize + count * kDescriptorSize) return false;
    for (const Entry& seen : entries)
      if (seen.id == e.id) return false;
    entries.push_back(e);
  }
  out->bytes = std::move(bytes);
  out->entries = std::move(entries);
  return true;
}

// Reads the sidecar at path. Returns noErr with *exists false when there is none, ioErr when
// something other than a regular AppleDouble file is there.
OSErr load(const std::string& path, bool* exists, Sidecar* sidecar) {
  *exists = false;
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return noErr;
    return errno == ELOOP ? OSErr(ioErr) : osErrFromErrno(errno);
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxSidecarSize) {
    close(fd);
    return ioErr;
  }
  std::vector<UInt8> bytes(static_cast<size_t>(st.st_size));
  size_t got = 0;
  while (got < bytes.size()) {
    ssize_t n = pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  bytes.resize(got);
  if (!parse(std::move(bytes), sidecar)) return ioErr;
  *exists = true;
  return noErr;
}

bool writeAll(int fd, const UInt8* data, size_t size, off_t at) {
  while (size > 0) {
    ssize_t n = pwrite(fd, data, size, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
    at += n;
  }
  return true;
}

// Writes a new sidecar beside the old one and renames it into place, so that a failure leaves
// the old sidecar as it was.
OSErr replace(const std::string& path, const std::vector<UInt8>& bytes, mode_t mode) {
  std::string folder = parentPath(path);
  std::string temp = (folder == "/" ? std::string() : folder) + "/.velm-sidecar-XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return osErrFromErrno(errno);
  OSErr err = noErr;
  if (!writeAll(fd, bytes.data(), bytes.size(), 0)) err = osErrFromErrno(errno ? errno : EIO);
  if (err == noErr && fchmod(fd, mode) != 0) err = osErrFromErrno(errno);
  if (close(fd) != 0 && err == noErr) err = ioErr;
  if (err == noErr && rename(temp.c_str(), path.c_str()) != 0) err = osErrFromErrno(errno);
  if (err != noErr) unlink(temp.c_str());
  return err;
}

std::vector<UInt8> build(const std::vector<std::pair<UInt32, std::vector<UInt8>>>& entries) {
  size_t dataStart = kHeaderSize + entries.size() * kDescriptorSize;
  size_t total = dataStart;
  for (const auto& e : entries) total += e.second.size();
  std::vector<UInt8> out(total, 0);
  put32(&out[0], kMagic);
  put32(&out[4], kVersion);
  put16(&out[24], static_cast<UInt16>(entries.size()));
  size_t at = dataStart;
  for (size_t i = 0; i < entries.size(); ++i) {
    UInt8* d = &out[kHeaderSize + i * kDescriptorSize];
    put32(d, entries[i].first);
    put32(d + 4, static_cast<UInt32>(at));
    put32(d + 8, static_cast<UInt32>(entries[i].second.size()));
    if (!entries[i].second.empty()) std::memcpy(&out[at], entries[i].second.data(), entries[i].second.size());
    at += entries[i].second.size();
  }
  return out;
}

}  // namespace

std::string sidecarPath(const std::string& itemPath) {
  if (itemPath == "/") return std::string();
  std::string folder = parentPath(itemPath);
  return (folder == "/" ? std::string() : folder) + "/._" + lastComponent(itemPath);
}

void moveSidecar(const std::string& from, const std::string& to) {
  std::string a = sidecarPath(from), b = sidecarPath(to);
  if (a.empty() || b.empty()) return;
  struct stat st;
  if (lstat(a.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  // A sidecar already at the new name belongs to no item (the name was free): it is replaced.
  rename(a.c_str(), b.c_str());
}

void removeSidecar(const std::string& itemPath) {
  std::string path = sidecarPath(itemPath);
  struct stat st;
  if (path.empty() || lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  unlink(path.c_str());
}

void readSidecar(const std::string& itemPath, UInt8 finderInfo[32], UInt64* rsrcLength) {
  std::memset(finderInfo, 0, kFinderInfoSize);
  if (rsrcLength) *rsrcLength = 0;
  std::string path = sidecarPath(itemPath);
  if (path.empty()) return;
  bool exists = false;
  Sidecar sidecar;
  if (load(path, &exists, &sidecar) != noErr || !exists) return;
  for (const Entry& e : sidecar.entries) {
    if (e.id == kEntryFinderInfo) {
      std::memcpy(finderInfo, &sidecar.bytes[e.offset], std::min<size_t>(e.length, kFinderInfoSize));
    } else if (e.id == kEntryResourceFork && rsrcLength) {
      *rsrcLength = e.length;
    }
  }
}

OSErr checkSidecarWritable(const std::string& itemPath) {
  std::string path = sidecarPath(itemPath);
  if (path.empty()) return ioErr;
  bool exists = false;
  Sidecar sidecar;
  return load(path, &exists, &sidecar);
}

OSErr writeFinderInfo(const std::string& itemPath, const UInt8 finderInfo[32]) {
  std::string path = sidecarPath(itemPath);
  if (path.empty()) return ioErr;
  bool exists = false;
  Sidecar sidecar;
  OSErr err = load(path, &exists, &sidecar);
  if (err != noErr) return err;
  std::vector<UInt8> info(finderInfo, finderInfo + kFinderInfoSize);

  if (!exists) {
    // Nothing to keep: an item with no Finder information needs no sidecar.
    bool allZero = true;
    for (UInt8 b : info) allZero = allZero && b == 0;
    if (allZero) return noErr;
    return replace(path, build({{kEntryFinderInfo, info}, {kEntryResourceFork, {}}}), 0644);
  }

  // An existing Finder-information entry of full size is overwritten where it lies; whatever
  // follows the 32 bytes inside it, and every other entry, stays byte for byte.
  for (const Entry& e : sidecar.entries) {
    if (e.id == kEntryFinderInfo && e.length >= kFinderInfoSize) {
      int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) return osErrFromErrno(errno);
      bool ok = writeAll(fd, info.data(), info.size(), e.offset);
      int saved = errno;
      if (close(fd) != 0) ok = false;
      return ok ? OSErr(noErr) : osErrFromErrno(saved ? saved : EIO);
    }
  }

  // Otherwise the sidecar is laid out anew: the Finder information first, the other entries in
  // their order, the resource fork last so that it can grow at the end.
  std::vector<std::pair<UInt32, std::vector<UInt8>>> entries;
  entries.emplace_back(kEntryFinderInfo, info);
  std::vector<std::pair<UInt32, std::vector<UInt8>>> forks;
  for (const Entry& e : sidecar.entries) {
    if (e.id == kEntryFinderInfo) continue;
    std::vector<UInt8> data(sidecar.bytes.begin() + e.offset,
                            sidecar.bytes.begin() + e.offset + e.length);
    (e.id == kEntryResourceFork ? forks : entries).emplace_back(e.id, std::move(data));
  }
  for (auto& f : forks) entries.push_back(std::move(f));
  struct stat st;
  mode_t mode = (lstat(path.c_str(), &st) == 0) ? (st.st_mode & 07777) : 0644;
  return replace(path, build(entries), mode);
}

namespace {
// Field widths of the 32 bytes of Finder information, in order.
constexpr int kFileWidths[] = {4, 4, 2, 2, 2, 2, /* extended */ 2, 2, 2, 2, 2, 2, 4};
constexpr int kFolderWidths[] = {2, 2, 2, 2, 2, 2, 2, 2, /* extended */ 2, 2, 4, 2, 2, 4};

void swapFields(const UInt8* from, UInt8* to, bool isFolder, bool toHost) {
  const int* widths = isFolder ? kFolderWidths : kFileWidths;
  size_t count = isFolder ? std::size(kFolderWidths) : std::size(kFileWidths);
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    if (widths[i] == 4) {
      UInt32 v;
      if (toHost) {
        v = get32(from + at);
        std::memcpy(to + at, &v, 4);
      } else {
        std::memcpy(&v, from + at, 4);
        put32(to + at, v);
      }
    } else {
      UInt16 v;
      if (toHost) {
        v = get16(from + at);
        std::memcpy(to + at, &v, 2);
      } else {
        std::memcpy(&v, from + at, 2);
        put16(to + at, v);
      }
    }
    at += static_cast<size_t>(widths[i]);
  }
}
}  // namespace

void finderInfoToHost(const UInt8 disk[32], bool isFolder, UInt8 finderInfo[16],
                      UInt8 extFinderInfo[16]) {
  UInt8 host[32];
  swapFields(disk, host, isFolder, true);
  std::memcpy(finderInfo, host, 16);
  std::memcpy(extFinderInfo, host + 16, 16);
}

void finderInfoToDisk(const UInt8 finderInfo[16], const UInt8 extFinderInfo[16], bool isFolder,
                      UInt8 disk[32]) {
  UInt8 host[32];
  std::memcpy(host, finderInfo, 16);
  std::memcpy(host + 16, extFinderInfo, 16);
  swapFields(host, disk, isFolder, false);
}

}  // namespace velm_files

// ---------------------------------------------------------------------------------------------
// The resource fork entry.

namespace velm_files {

OSErr readResourceForkBytes(const std::string& itemPath, std::vector<UInt8>* fork) {
  fork->clear();
  std::string path = sidecarPath(itemPath);
  if (path.empty()) return noErr;
  bool exists = false;
  Sidecar sidecar;
  OSErr err = load(path, &exists, &sidecar);
  if (err != noErr || !exists) return err;
  for (const Entry& e : sidecar.entries) {
    if (e.id == kEntryResourceFork) {
      fork->assign(sidecar.bytes.begin() + e.offset, sidecar.bytes.begin() + e.offset + e.length);
      break;
    }
  }
  return noErr;
}

bool resourceForkWritable(const std::string& itemPath) {
  std::string path = sidecarPath(itemPath);
  if (path.empty()) return false;
  bool exists = false;
  Sidecar sidecar;
  if (load(path, &exists, &sidecar) != noErr) return false;
  // A new sidecar is made in the folder; an existing one is replaced there too.
  std::string folder = parentPath(path);
  if (access(folder.c_str(), W_OK | X_OK) != 0) return false;
  return !exists || access(path.c_str(), W_OK) == 0;
}

OSErr writeResourceForkBytes(const std::string& itemPath, const std::vector<UInt8>& fork) {
  std::string path = sidecarPath(itemPath);
  if (path.empty()) return ioErr;
  bool exists = false;
  Sidecar sidecar;
  OSErr err = load(path, &exists, &sidecar);
  if (err != noErr) return err;
  if (!exists) {
    std::vector<UInt8> info(kFinderInfoSize, 0);
    return replace(path, build({{kEntryFinderInfo, info}, {kEntryResourceFork, fork}}), 0644);
  }
  // Every other entry stays as it was, in its order; the resource fork goes last, where the
  // original platform puts it too.
  std::vector<std::pair<UInt32, std::vector<UInt8>>> entries;
  for (const Entry& e : sidecar.entries) {
    if (e.id == kEntryResourceFork) continue;
    entries.emplace_back(e.id, std::vector<UInt8>(sidecar.bytes.begin() + e.offset,
                                                   sidecar.bytes.begin() + e.offset + e.length));
  }
  entries.emplace_back(kEntryResourceFork, fork);
  std::vector<UInt8> bytes = build(entries);
  std::memcpy(&bytes[8], &sidecar.bytes[8], 16);  // the header's filler, as the writer left it
  struct stat st;
  mode_t mode = (lstat(path.c_str(), &st) == 0) ? (st.st_mode & 07777) : 0644;
  return replace(path, bytes, mode);
}

}  // namespace velm_files
