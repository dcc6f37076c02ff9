// Volumes: the mounted file systems of /proc/self/mountinfo behind volume reference numbers, their
// names and disk IDs, and the registry of directory IDs.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "FilesInternal.h"

namespace velm_files {
namespace {

// mountinfo escapes blanks, tabs, newlines and backslashes in paths as three octal digits.
std::string unescapeMountField(const std::string& field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      bool octal = true;
      int value = 0;
      for (int k = 1; k <= 3 && octal; ++k) {
        char c = field[i + k];
        if (c < '0' || c > '7') octal = false;
        else value = value * 8 + (c - '0');
      }
      if (octal) {
        out += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

struct Volume {
  FSVolumeRefNum refNum;
  UInt64 device;
  std::string mountPoint;  // the first mount of the device's own root, else its first mount
  std::string mountRoot;   // the folder of the file system mounted there
  std::string fsType;
  std::string source;
};

struct VolumeTable {
  std::mutex lock;
  std::vector<Volume> volumes;  // in the order the numbers were given out
  std::map<UInt64, size_t> byDevice;
};

VolumeTable& volumeTable() {
  static VolumeTable* table = new VolumeTable;  // numbers stay valid for the life of the process
  return *table;
}

std::vector<MountInfo> readMountInfoFile() {
  std::vector<MountInfo> mounts;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, majorMinor, root, mountPoint;
    if (!(fields >> id >> parent >> majorMinor >> root >> mountPoint)) continue;
    std::string field;
    while (fields >> field && field != "-") {
    }
    std::string fsType, source;
    fields >> fsType >> source;
    unsigned maj = 0, min = 0;
    if (std::sscanf(majorMinor.c_str(), "%u:%u", &maj, &min) != 2) continue;
    MountInfo m;
    m.device = (UInt64(maj) << 32) | min;
    m.root = unescapeMountField(root);
    m.mountPoint = unescapeMountField(mountPoint);
    m.fsType = fsType;
    m.source = unescapeMountField(source);
    mounts.push_back(std::move(m));
  }
  return mounts;
}

// Adds the devices of the mount list that have no number yet; caller holds the lock.
void addMounts(VolumeTable& t, const std::vector<MountInfo>& mounts) {
  for (const MountInfo& m : mounts) {
    auto found = t.byDevice.find(m.device);
    if (found != t.byDevice.end()) {
      // A later mount of the file system's own root is a better root folder than an earlier
      // bind mount of one of its folders.
      Volume& v = t.volumes[found->second];
      if (m.root == "/" && v.mountRoot != "/") {
        v.mountPoint = m.mountPoint;
        v.mountRoot = m.root;
      }
      continue;
    }
    Volume v;
    v.refNum = static_cast<FSVolumeRefNum>(-100 - static_cast<int>(t.volumes.size()));
    v.device = m.device;
    v.mountPoint = m.mountPoint;
    v.mountRoot = m.root;
    v.fsType = m.fsType;
    v.source = m.source;
    t.byDevice.emplace(m.device, t.volumes.size());
    t.volumes.push_back(std::move(v));
  }
}

// The mounted file systems in order; the first call also numbers every volume mounted then.
std::vector<MountInfo> currentMounts() {
  std::vector<MountInfo> mounts = readMountInfoFile();
  VolumeTable& t = volumeTable();
  std::lock_guard<std::mutex> guard(t.lock);
  addMounts(t, mounts);
  return mounts;
}

void ensureNumbered() {
  VolumeTable& t = volumeTable();
  {
    std::lock_guard<std::mutex> guard(t.lock);
    if (!t.volumes.empty()) return;
  }
  currentMounts();
}

const Volume* findVolume(VolumeTable& t, FSVolumeRefNum refNum) {
  int index = -100 - refNum;
  if (index < 0 || static_cast<size_t>(index) >= t.volumes.size()) return nullptr;
  return &t.volumes[static_cast<size_t>(index)];
}

// ---- Directory IDs ------------------------------------------------------------------------------

constexpr size_t kDirectoryCapacity = 16384;
size_t gDirectoryCapacity = kDirectoryCapacity;

struct DirKey {
  UInt64 device;
  UInt64 inode;
  bool operator==(const DirKey& o) const { return device == o.device && inode == o.inode; }
};
struct DirKeyHash {
  size_t operator()(const DirKey& k) const { return std::hash<UInt64>()(k.device * 1000003u ^ k.inode); }
};

struct DirEntry {
  DirKey key;
  UInt32 id;
  std::string path;
};

struct DirectoryRegistry {
  std::mutex lock;
  std::list<DirEntry> recent;  // most recently used first
  std::unordered_map<DirKey, std::list<DirEntry>::iterator, DirKeyHash> byKey;
  std::map<std::pair<UInt64, UInt32>, std::list<DirEntry>::iterator> byID;
  UInt32 nextSpare = 0x80000000u;
};

DirectoryRegistry& registry() {
  static DirectoryRegistry* r = new DirectoryRegistry;
  return *r;
}

}  // namespace

std::vector<MountInfo> readMounts() { return currentMounts(); }

FSVolumeRefNum volumeRefNum(UInt64 device, const std::string& dirOnDevice) {
  ensureNumbered();
  VolumeTable& t = volumeTable();
  {
    std::lock_guard<std::mutex> guard(t.lock);
    auto found = t.byDevice.find(device);
    if (found != t.byDevice.end()) return t.volumes[found->second].refNum;
  }
  // Mounted since the table was made.
  currentMounts();
  std::lock_guard<std::mutex> guard(t.lock);
  auto found = t.byDevice.find(device);
  if (found != t.byDevice.end()) return t.volumes[found->second].refNum;
  // A device that mountinfo does not show (for example inside a private mount namespace).
  Volume v;
  v.refNum = static_cast<FSVolumeRefNum>(-100 - static_cast<int>(t.volumes.size()));
  v.device = device;
  v.mountPoint = dirOnDevice;
  t.byDevice.emplace(device, t.volumes.size());
  t.volumes.push_back(v);
  return v.refNum;
}

bool volumeFolder(FSVolumeRefNum vRefNum, std::string* folder) {
  ensureNumbered();
  VolumeTable& t = volumeTable();
  std::lock_guard<std::mutex> guard(t.lock);
  const Volume* v = findVolume(t, vRefNum);
  if (!v) return false;
  *folder = v->mountPoint;
  return true;
}

bool volumeDetails(FSVolumeRefNum vRefNum, VolumeDetails* details) {
  ensureNumbered();
  VolumeTable& t = volumeTable();
  std::lock_guard<std::mutex> guard(t.lock);
  const Volume* v = findVolume(t, vRefNum);
  if (!v) return false;
  details->device = v->device;
  details->mountPoint = v->mountPoint;
  details->fsType = v->fsType;
  details->source = v->source;
  return true;
}

bool mountedVolumeAt(ItemCount index, FSVolumeRefNum* vRefNum) {
  if (index < 1) return false;
  std::vector<MountInfo> mounts = currentMounts();
  // The mounted volumes in the order of their numbers, each once.
  VolumeTable& t = volumeTable();
  std::lock_guard<std::mutex> guard(t.lock);
  ItemCount seen = 0;
  for (const Volume& v : t.volumes) {
    bool mounted = std::any_of(mounts.begin(), mounts.end(), [&](const MountInfo& m) { return m.device == v.device; });
    if (!mounted) continue;
    if (++seen == index) {
      *vRefNum = v.refNum;
      return true;
    }
  }
  return false;
}

std::string volumeName(FSVolumeRefNum vRefNum) {
  VolumeDetails d;
  if (!volumeDetails(vRefNum, &d)) return std::string();
  if (d.mountPoint == "/") return kRootVolumeName;
  // The file system's label, where the system keeps a by-label link to its device.
  if (!d.source.empty() && d.source[0] == '/') {
    if (DIR* dir = opendir("/dev/disk/by-label")) {
      char* source = realpath(d.source.c_str(), nullptr);
      std::string label;
      while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::string link = std::string("/dev/disk/by-label/") + e->d_name;
        char* target = realpath(link.c_str(), nullptr);
        if (target && source && std::strcmp(target, source) == 0) label = unescapeMountField(e->d_name);
        std::free(target);
        if (!label.empty()) break;
      }
      std::free(source);
      closedir(dir);
      // udev writes characters outside the safe set as \xNN.
      std::string decoded;
      for (size_t i = 0; i < label.size(); ++i) {
        if (label[i] == '\\' && i + 3 < label.size() && label[i + 1] == 'x') {
          decoded += static_cast<char>(std::strtol(label.substr(i + 2, 2).c_str(), nullptr, 16));
          i += 3;
        } else {
          decoded += label[i];
        }
      }
      if (!decoded.empty()) return decoded;
    }
  }
  return lastComponent(d.mountPoint);
}

std::string volumeOfPath(const std::string& path, FSVolumeRefNum* vRefNum) {
  struct statx st;
  std::string probe = path;
  while (statItem(probe, &st) != 0) {
    if (probe == "/") return std::string();
    probe = parentPath(probe);
  }
  FSVolumeRefNum n = volumeRefNum((UInt64(st.stx_dev_major) << 32) | st.stx_dev_minor, probe);
  if (vRefNum) *vRefNum = n;
  // The deepest mount point of that device above the path.
  std::string best;
  for (const MountInfo& m : readMounts()) {
    if (m.device != ((UInt64(st.stx_dev_major) << 32) | st.stx_dev_minor)) continue;
    const std::string& mp = m.mountPoint;
    bool above = mp == "/" || path == mp || (path.size() > mp.size() && path.compare(0, mp.size(), mp) == 0 && path[mp.size()] == '/');
    if (above && mp.size() >= best.size()) best = mp;
  }
  if (best.empty()) volumeFolder(n, &best);
  return best;
}

// ---- Directory IDs ------------------------------------------------------------------------------

UInt32 directoryID(const std::string& path, const struct statx& st, bool isVolumeRoot) {
  if (isVolumeRoot) return fsRtDirID;
  DirectoryRegistry& r = registry();
  DirKey key{(UInt64(st.stx_dev_major) << 32) | st.stx_dev_minor, st.stx_ino};
  std::lock_guard<std::mutex> guard(r.lock);
  auto found = r.byKey.find(key);
  if (found != r.byKey.end()) {
    found->second->path = path;  // the folder may have moved since
    r.recent.splice(r.recent.begin(), r.recent, found->second);
    return found->second->id;
  }
  // The folder's ID is the low half of its inode number, unless that is one of the reserved IDs
  // or already stands for another folder of the volume.
  UInt32 id = static_cast<UInt32>(st.stx_ino);
  auto taken = [&](UInt32 candidate) { return candidate <= 16 || r.byID.count({key.device, candidate}) > 0; };
  if (taken(id)) {
    do id = r.nextSpare++; while (taken(id) || id == 0);
  }
  r.recent.push_front(DirEntry{key, id, path});
  r.byKey.emplace(key, r.recent.begin());
  r.byID.emplace(std::make_pair(key.device, id), r.recent.begin());
  while (r.recent.size() > gDirectoryCapacity) {
    const DirEntry& old = r.recent.back();
    r.byKey.erase(old.key);
    r.byID.erase({old.key.device, old.id});
    r.recent.pop_back();
  }
  return id;
}

OSErr directoryPath(FSVolumeRefNum vRefNum, UInt32 dirID, std::string* path) {
  VolumeDetails d;
  if (!volumeDetails(vRefNum, &d)) return nsvErr;
  if (dirID == fsRtDirID) {
    *path = d.mountPoint;
    return noErr;
  }
  std::string candidate;
  DirKey key{};
  {
    DirectoryRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto found = r.byID.find({d.device, dirID});
    if (found == r.byID.end()) return dirNFErr;
    candidate = found->second->path;
    key = found->second->key;
    r.recent.splice(r.recent.begin(), r.recent, found->second);
  }
  // The folder must still be where it was last seen.
  struct statx st;
  if (statItem(candidate, &st) != 0 || !S_ISDIR(st.stx_mode) || st.stx_ino != key.inode ||
      ((UInt64(st.stx_dev_major) << 32) | st.stx_dev_minor) != key.device)
    return dirNFErr;
  *path = candidate;
  return noErr;
}

void setDirectoryRegistryCapacity(size_t capacity) {
  DirectoryRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  gDirectoryCapacity = capacity == 0 ? kDirectoryCapacity : capacity;
}

size_t directoryRegistrySize() {
  DirectoryRegistry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  return r.recent.size();
}

std::string hfsPathFromPOSIX(const std::string& path) {
  if (path.empty() || path[0] != '/') return std::string();
  std::string clean = path;
  while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
  FSVolumeRefNum n = 0;
  std::string mountPoint = volumeOfPath(clean, &n);
  if (mountPoint.empty()) return std::string();
  std::string name = volumeName(n);
  for (char& c : name)
    if (c == ':') c = '/';
  std::string rest = mountPoint == "/" ? clean.substr(1) : clean.substr(std::min(clean.size(), mountPoint.size() + 1));
  if (rest.empty()) return name + ":";
  for (char& c : rest) {
    if (c == ':') c = '/';
    else if (c == '/') c = ':';
  }
  return name + ":" + rest;
}

// ---- Disks --------------------------------------------------------------------------------------

bool diskIDForDevice(UInt64 device, std::string* diskID) {
  unsigned maj = static_cast<unsigned>(device >> 32), min = static_cast<unsigned>(device & 0xFFFFFFFFu);
  if (maj == 0) return false;  // no block device behind it
  char link[64];
  std::snprintf(link, sizeof link, "/sys/dev/block/%u:%u", maj, min);
  char* real = realpath(link, nullptr);
  if (!real) return false;
  std::string node(real);
  std::free(real);
  std::string disk = node;
  int slice = 0;
  {
    std::ifstream partition(node + "/partition");
    if (partition >> slice) disk = parentPath(node);
    else slice = 0;
  }
  std::string diskName = lastComponent(disk);
  // The whole disks, numbered in the order of their names.
  std::vector<std::string> disks;
  if (DIR* dir = opendir("/sys/class/block")) {
    while (struct dirent* e = readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      std::string entry = std::string("/sys/class/block/") + e->d_name;
      if (access((entry + "/partition").c_str(), F_OK) == 0) continue;
      disks.push_back(e->d_name);
    }
    closedir(dir);
  }
  std::sort(disks.begin(), disks.end());
  auto at = std::find(disks.begin(), disks.end(), diskName);
  if (at == disks.end()) return false;
  *diskID = "disk" + std::to_string(at - disks.begin());
  if (slice > 0) *diskID += "s" + std::to_string(slice);
  return true;
}

}  // namespace velm_files
