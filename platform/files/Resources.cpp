// The Resource Manager: the resource chain, resource handles, and resource forks as plain forks
// (see Resources.h).
#include "Resources.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CFBundle.h"
#include "CFRef.h"
#include "CFString.h"
#include "FilesInternal.h"
#include "ResourceFork.h"
#include "ResourcesInternal.h"

namespace velm_files {
namespace {

thread_local OSErr gResError = noErr;

struct Resource {
  ResType type = 0;
  ResID id = 0;
  UInt8 attributes = 0;
  bool named = false;
  std::string name;
  UInt64 dataOffset = 0;  // in the file's bytes, while the resource is not changed
  UInt32 dataLength = 0;
  Handle handle = nullptr;  // the loaded (or added) resource, owned by the file
};

struct ResFile {
  ResFileRefNum refNum = 0;
  std::string itemPath;  // empty for the program's own file
  bool own = false;
  bool writable = false;
  UInt64 device = 0;
  UInt64 inode = 0;
  std::vector<UInt8> bytes;  // the fork as it was read or last written
  UInt16 mapAttributes = 0;
  bool changed = false;
  std::vector<Resource> resources;
};

// A resource fork opened as a plain fork.
struct RawFork {
  std::string itemPath;
  bool writable = false;
  bool dirty = false;
  std::vector<UInt8> bytes;
  SInt64 mark = 0;
};

struct State {
  std::recursive_mutex lock;
  std::vector<std::unique_ptr<ResFile>> chain;  // in the order opened; [0] is the program's own
  ResFileRefNum current = 0;
  std::vector<std::pair<SInt16, std::unique_ptr<RawFork>>> rawForks;
};

// Reads a whole regular file (the program's own resource file); false when it cannot.
bool readWholeFile(const std::string& path, std::vector<UInt8>* out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 64 * 1024 * 1024) {
    close(fd);
    return false;
  }
  out->assign(size_t(st.st_size), 0);
  size_t got = 0;
  while (got < out->size()) {
    ssize_t n = pread(fd, out->data() + got, out->size() - got, off_t(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += size_t(n);
  }
  close(fd);
  out->resize(got);
  return true;
}

std::string toUtf8(CFStringRef s) {
  if (!s) return {};
  CFIndex length = CFStringGetLength(s);
  CFIndex size = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
  std::string out(size_t(size), '\0');
  if (!CFStringGetCString(s, out.data(), size, kCFStringEncodingUTF8)) return {};
  out.resize(std::strlen(out.c_str()));
  return out;
}

// The path of the program's own resource file: <name>.rsrc in the main bundle's resources.
std::string ownResourceFilePath() {
  CFBundleRef main = CFBundleGetMainBundle();
  if (!main) return {};
  CFRef<CFURLRef> resources(CFBundleCopyResourcesDirectoryURL(main));
  CFRef<CFURLRef> bundle(CFBundleCopyBundleURL(main));
  if (!resources || !bundle) return {};
  CFRef<CFStringRef> folder(CFURLCopyFileSystemPath(resources.get(), kCFURLPOSIXPathStyle));
  std::string name;
  CFTypeRef executable = CFBundleGetValueForInfoDictionaryKey(main, kCFBundleExecutableKey);
  if (executable && CFGetTypeID(executable) == CFStringGetTypeID())
    name = toUtf8(static_cast<CFStringRef>(executable));
  if (name.empty()) {
    CFRef<CFStringRef> bundlePath(CFURLCopyFileSystemPath(bundle.get(), kCFURLPOSIXPathStyle));
    std::string p = toUtf8(bundlePath.get());
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    name = p.substr(p.rfind('/') + 1);
  }
  if (size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.resize(dot);
  std::string dir = toUtf8(folder.get());
  if (dir.empty() || name.empty()) return {};
  if (dir.back() != '/') dir += '/';
  return dir + name + ".rsrc";
}

void loadResources(ResFile* file, const ResourceMapInfo& map) {
  file->mapAttributes = map.mapAttributes;
  file->resources.clear();
  for (const ResourceRef& r : map.resources) {
    Resource res;
    res.type = r.type;
    res.id = r.id;
    res.attributes = UInt8(r.attributes & ~resChanged);
    res.named = r.named;
    res.name = r.name;
    res.dataOffset = r.dataOffset;
    res.dataLength = r.dataLength;
    file->resources.push_back(std::move(res));
  }
}

State& state() {
  static State* s = [] {
    auto* st = new State;
    auto own = std::make_unique<ResFile>();
    own->own = true;
    own->refNum = reserveForkRefNum();
    std::vector<UInt8> bytes;
    ResourceMapInfo map;
    std::string path = ownResourceFilePath();
    if (!path.empty() && readWholeFile(path, &bytes) && readResourceMap(bytes.data(), bytes.size(), &map) == noErr) {
      own->bytes = std::move(bytes);
      loadResources(own.get(), map);
    }
    st->current = own->refNum;
    st->chain.push_back(std::move(own));
    return st;
  }();
  return *s;
}

// The file with that number; 0 stands for the program's own file.
ResFile* findFile(State& s, ResFileRefNum refNum) {
  if (refNum == 0) return s.chain.front().get();
  for (auto& f : s.chain)
    if (f->refNum == refNum) return f.get();
  return nullptr;
}

size_t indexOf(State& s, ResFileRefNum refNum) {
  for (size_t i = 0; i < s.chain.size(); ++i)
    if (s.chain[i]->refNum == refNum) return i;
  return 0;
}

Resource* findIn(ResFile* file, ResType type, ResID id) {
  for (Resource& r : file->resources)
    if (r.type == type && r.id == id) return &r;
  return nullptr;
}

// The resource whose handle this is, in any open file.
Resource* findHandle(State& s, Handle h, ResFile** owner = nullptr) {
  if (!h) return nullptr;
  for (auto& f : s.chain)
    for (Resource& r : f->resources)
      if (r.handle == h) {
        if (owner) *owner = f.get();
        return &r;
      }
  return nullptr;
}

Handle load(ResFile* file, Resource* r) {
  if (!r->handle) {
    Handle h = nullptr;
    if (PtrToHand(file->bytes.data() + r->dataOffset, &h, long(r->dataLength)) != noErr) return nullptr;
    r->handle = h;
  }
  return r->handle;
}

// Writes the file's fork when something changed. Types keep the order of their first resource.
OSErr writeFile(ResFile* file) {
  if (!file->changed) return noErr;
  if (!file->writable || file->own) return wrPermErr;
  std::vector<size_t> order;
  std::vector<ResType> types;
  for (const Resource& r : file->resources)
    if (std::find(types.begin(), types.end(), r.type) == types.end()) types.push_back(r.type);
  for (ResType t : types)
    for (size_t i = 0; i < file->resources.size(); ++i)
      if (file->resources[i].type == t) order.push_back(i);
  // An added resource whose handle its caller disposed of has nothing left to write.
  std::vector<size_t> kept;
  for (size_t i : order) {
    const Resource& r = file->resources[i];
    if (r.attributes & resChanged) {
      GetHandleSize(r.handle);
      if (MemError() != noErr) continue;
    }
    kept.push_back(i);
  }
  order = std::move(kept);
  std::vector<ResourceData> data;
  for (size_t i : order) {
    const Resource& r = file->resources[i];
    ResourceData d;
    d.type = r.type;
    d.id = r.id;
    d.attributes = r.attributes;
    d.named = r.named;
    d.name = r.name;
    if (r.attributes & resChanged) {
      d.data = reinterpret_cast<const UInt8*>(*r.handle);
      d.length = size_t(GetHandleSize(r.handle));
    } else {
      d.data = file->bytes.data() + r.dataOffset;
      d.length = r.dataLength;
    }
    data.push_back(std::move(d));
  }
  std::vector<UInt8> fork;
  OSErr err = writeResourceFork(data, file->mapAttributes, &fork);
  if (err != noErr) return addResFailed;
  err = writeResourceForkBytes(file->itemPath, fork);
  if (err != noErr) return err;
  // The file now holds what was written: resources point into the new bytes.
  ResourceMapInfo map;
  if (readResourceMap(fork.data(), fork.size(), &map) != noErr || map.resources.size() != order.size())
    return mapReadErr;
  std::vector<Resource> resources;
  for (size_t k = 0; k < order.size(); ++k) {
    Resource r = file->resources[order[k]];
    r.attributes = UInt8(r.attributes & ~resChanged);
    r.dataOffset = map.resources[k].dataOffset;
    r.dataLength = map.resources[k].dataLength;
    resources.push_back(std::move(r));
  }
  file->resources = std::move(resources);
  file->bytes = std::move(fork);
  file->changed = false;
  return noErr;
}

void closeFile(State& s, ResFile* file) {
  gResError = writeFile(file);
  for (Resource& r : file->resources) DisposeHandle(r.handle);
  size_t at = indexOf(s, file->refNum);
  if (s.current == file->refNum) s.current = s.chain[at - 1]->refNum;
  releaseForkRefNum(file->refNum);
  s.chain.erase(s.chain.begin() + long(at));
}

RawFork* findRaw(State& s, SInt16 refNum) {
  for (auto& [n, f] : s.rawForks)
    if (n == refNum) return f.get();
  return nullptr;
}

bool wantsWrite(SInt8 permission) {
  return permission == fsWrPerm || permission == fsRdWrPerm || permission == fsRdWrShPerm;
}

}  // namespace

void setResError(OSErr err) { gResError = err; }

OSErr createResFileAtPath(const std::string& itemPath) {
  std::vector<UInt8> fork;
  OSErr err = readResourceForkBytes(itemPath, &fork);
  if (err != noErr) return gResError = err;
  if (!fork.empty()) return gResError = dupFNErr;
  err = writeResourceFork({}, 0, &fork);
  if (err == noErr) err = writeResourceForkBytes(itemPath, fork);
  return gResError = err;
}

ResFileRefNum openResFileAtPath(const std::string& itemPath, SInt8 permission) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  struct statx st;
  if (int e = statItem(itemPath, &st)) {
    gResError = osErrFromErrno(e);
    return -1;
  }
  if (S_ISDIR(st.stx_mode)) {
    gResError = notAFileErr;
    return -1;
  }
  const UInt64 device = (UInt64(st.stx_dev_major) << 32) | st.stx_dev_minor;
  bool canWrite = resourceForkWritable(itemPath);
  bool write = permission == fsCurPerm ? canWrite : wantsWrite(permission);
  if (write) {
    for (auto& f : s.chain)
      if (!f->own && f->writable && f->device == device && f->inode == st.stx_ino) {
        gResError = noErr;
        return f->refNum;
      }
    if (!canWrite) {
      gResError = permErr;
      return -1;
    }
  }
  auto file = std::make_unique<ResFile>();
  OSErr err = readResourceForkBytes(itemPath, &file->bytes);
  if (err != noErr) {
    gResError = err;
    return -1;
  }
  ResourceMapInfo map;
  err = readResourceMap(file->bytes.data(), file->bytes.size(), &map);
  if (err != noErr) {
    gResError = err;
    return -1;
  }
  loadResources(file.get(), map);
  file->itemPath = itemPath;
  file->writable = write && !(map.mapAttributes & mapReadOnly);
  file->device = device;
  file->inode = st.stx_ino;
  file->refNum = reserveForkRefNum();
  if (file->refNum == 0) {
    gResError = tmfoErr;
    return -1;
  }
  ResFileRefNum refNum = file->refNum;
  s.chain.push_back(std::move(file));
  s.current = refNum;
  gResError = noErr;
  return refNum;
}

OSErr openRFAtPath(const std::string& itemPath, SInt8 permission, SInt16* refNum) {
  if (!refNum) return paramErr;
  *refNum = 0;
  struct statx st;
  if (int e = statItem(itemPath, &st)) return osErrFromErrno(e);
  if (S_ISDIR(st.stx_mode)) return notAFileErr;
  auto fork = std::make_unique<RawFork>();
  fork->itemPath = itemPath;
  fork->writable = permission == fsCurPerm ? resourceForkWritable(itemPath) : wantsWrite(permission);
  if (fork->writable && !resourceForkWritable(itemPath)) return permErr;
  OSErr err = readResourceForkBytes(itemPath, &fork->bytes);
  if (err != noErr) return err;
  SInt16 n = reserveForkRefNum();
  if (n == 0) return tmfoErr;
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.rawForks.emplace_back(n, std::move(fork));
  *refNum = n;
  return noErr;
}

}  // namespace velm_files

using namespace velm_files;

OSErr ResError(void) { return gResError; }

ResFileRefNum CurResFile(void) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  gResError = noErr;
  return s.current;
}

void UseResFile(ResFileRefNum refNum) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  ResFile* f = findFile(s, refNum);
  if (!f) {
    gResError = resFNotFound;
    return;
  }
  s.current = f->refNum;
  gResError = noErr;
}

void CloseResFile(ResFileRefNum refNum) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  ResFile* f = findFile(s, refNum);
  if (!f) {
    gResError = resFNotFound;
    return;
  }
  if (f->own) {
    gResError = noErr;
    return;
  }
  closeFile(s, f);
}

void UpdateResFile(ResFileRefNum refNum) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  ResFile* f = findFile(s, refNum);
  gResError = f ? writeFile(f) : OSErr(resFNotFound);
}

Handle GetResource(ResType theType, ResID theID) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  for (size_t i = indexOf(s, s.current) + 1; i-- > 0;) {
    ResFile* f = s.chain[i].get();
    if (Resource* r = findIn(f, theType, theID)) {
      Handle h = load(f, r);
      gResError = h ? OSErr(noErr) : OSErr(memFullErr);
      return h;
    }
  }
  gResError = resNotFound;
  return nullptr;
}

Handle Get1Resource(ResType theType, ResID theID) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  ResFile* f = findFile(s, s.current);
  if (Resource* r = findIn(f, theType, theID)) {
    Handle h = load(f, r);
    gResError = h ? OSErr(noErr) : OSErr(memFullErr);
    return h;
  }
  gResError = resNotFound;
  return nullptr;
}

SInt16 Count1Resources(ResType theType) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  ResFile* f = findFile(s, s.current);
  SInt16 n = 0;
  for (const Resource& r : f->resources)
    if (r.type == theType && n < 0x7FFF) ++n;
  gResError = noErr;
  return n;
}

void GetResInfo(Handle theResource, ResID* theID, ResType* theType, Str255 name) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Resource* r = findHandle(s, theResource);
  if (!r) {
    gResError = resNotFound;
    return;
  }
  if (theID) *theID = r->id;
  if (theType) *theType = r->type;
  if (name) {
    name[0] = UInt8(r->named ? r->name.size() : 0);
    if (name[0]) std::memcpy(name + 1, r->name.data(), name[0]);
  }
  gResError = noErr;
}

void DetachResource(Handle theResource) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Resource* r = findHandle(s, theResource);
  if (!r) {
    gResError = resNotFound;
    return;
  }
  if (r->attributes & resChanged) {
    gResError = resAttrErr;
    return;
  }
  r->handle = nullptr;  // the caller owns the block now
  gResError = noErr;
}

void ReleaseResource(Handle theResource) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  Resource* r = findHandle(s, theResource);
  if (!r) {
    gResError = resNotFound;
    return;
  }
  if (r->attributes & resChanged) {
    gResError = resAttrErr;  // kept until the file is written
    return;
  }
  DisposeHandle(r->handle);
  r->handle = nullptr;
  gResError = noErr;
}

void AddResource(Handle theData, ResType theType, ResID theID, ConstStr255Param name) {
  State& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  ResFile* f = findFile(s, s.current);
  GetHandleSize(theData);
  if (!theData || MemError() != noErr || findHandle(s, theData) || f->own || !f->writable) {
    gResError = addResFailed;
    return;
  }
  Resource r;
  r.type = theType;
  r.id = theID;
  r.attributes = resChanged;
  r.named = name != nullptr;
  if (name) r.name.assign(reinterpret_cast<const char*>(name + 1), name[0]);
  r.handle = theData;
  f->resources.push_back(std::move(r));
  f->changed = true;
  f->mapAttributes |= mapChanged;
  gResError = noErr;
}

// ---------------------------------------------------------------------------------------------
// Plain forks.

OSErr GetEOF(SInt16 refNum, long* logEOF) {
  if (!logEOF) return paramErr;
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (RawFork* f = findRaw(s, refNum)) {
      *logEOF = long(f->bytes.size());
      return noErr;
    }
    if (ResFile* f = (refNum != 0 ? findFile(s, refNum) : nullptr)) {
      *logEOF = long(f->bytes.size());
      return noErr;
    }
  }
  SInt64 size = 0;
  OSErr err = FSGetForkSize(refNum, &size);
  *logEOF = err == noErr ? long(size) : 0;
  return err;
}

OSErr SetEOF(SInt16 refNum, long logEOF) {
  if (logEOF < 0) return posErr;
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (RawFork* f = findRaw(s, refNum)) {
      if (!f->writable) return wrPermErr;
      if (logEOF > 64 * 1024 * 1024) return dskFulErr;
      f->bytes.resize(size_t(logEOF), 0);
      if (f->mark > logEOF) f->mark = logEOF;
      f->dirty = true;
      return noErr;
    }
    if (refNum != 0 && findFile(s, refNum)) return wrPermErr;  // resource files are written whole
  }
  return FSSetForkSize(refNum, fsFromStart, logEOF);
}

OSErr FSClose(SInt16 refNum) {
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    for (auto it = s.rawForks.begin(); it != s.rawForks.end(); ++it) {
      if (it->first != refNum) continue;
      std::unique_ptr<RawFork> f = std::move(it->second);
      s.rawForks.erase(it);
      releaseForkRefNum(refNum);
      return f->dirty ? writeResourceForkBytes(f->itemPath, f->bytes) : OSErr(noErr);
    }
    if (refNum != 0) {
      if (ResFile* f = findFile(s, refNum)) {
        if (f->own) return noErr;
        closeFile(s, f);
        return gResError;
      }
    }
  }
  return FSCloseFork(refNum);
}

namespace {

// The absolute position of a transfer on a plain resource fork.
OSErr rawPosition(const RawFork& f, SInt16 mode, long offset, SInt64* at) {
  SInt64 base = 0;
  switch (mode & 0x3) {
    case fsAtMark: *at = f.mark; return noErr;
    case fsFromStart: base = 0; break;
    case fsFromLEOF: base = SInt64(f.bytes.size()); break;
    case fsFromMark: base = f.mark; break;
  }
  *at = base + offset;
  return *at < 0 ? OSErr(posErr) : OSErr(noErr);
}

// Resource forks live in sidecars of at most 64 MiB.
constexpr SInt64 kMaxRawFork = 64 * 1024 * 1024;

}  // namespace

OSErr PBReadSync(ParmBlkPtr pb) {
  if (!pb) return paramErr;
  IOParam& io = pb->ioParam;
  io.ioActCount = 0;
  if (io.ioReqCount < 0 || (io.ioReqCount > 0 && !io.ioBuffer)) return io.ioResult = paramErr;
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (RawFork* f = findRaw(s, io.ioRefNum)) {
      SInt64 at = 0;
      if (OSErr err = rawPosition(*f, io.ioPosMode, io.ioPosOffset, &at)) return io.ioResult = err;
      SInt64 size = SInt64(f->bytes.size());
      SInt64 n = at >= size ? 0 : std::min<SInt64>(io.ioReqCount, size - at);
      if (n > 0) std::memcpy(io.ioBuffer, f->bytes.data() + at, size_t(n));
      io.ioActCount = long(n);
      f->mark = at + n;
      return io.ioResult = (n < io.ioReqCount ? OSErr(eofErr) : OSErr(noErr));
    }
  }
  ByteCount actual = 0;
  OSErr err = FSReadFork(io.ioRefNum, UInt16(io.ioPosMode), io.ioPosOffset, ByteCount(io.ioReqCount),
                         io.ioBuffer, &actual);
  io.ioActCount = long(actual);
  return io.ioResult = err;
}

OSErr PBWriteSync(ParmBlkPtr pb) {
  if (!pb) return paramErr;
  IOParam& io = pb->ioParam;
  io.ioActCount = 0;
  if (io.ioReqCount < 0 || (io.ioReqCount > 0 && !io.ioBuffer)) return io.ioResult = paramErr;
  {
    State& s = state();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (RawFork* f = findRaw(s, io.ioRefNum)) {
      if (!f->writable) return io.ioResult = wrPermErr;
      SInt64 at = 0;
      if (OSErr err = rawPosition(*f, io.ioPosMode, io.ioPosOffset, &at)) return io.ioResult = err;
      if (at > kMaxRawFork || io.ioReqCount > kMaxRawFork - at) return io.ioResult = dskFulErr;
      if (SInt64(f->bytes.size()) < at + io.ioReqCount) f->bytes.resize(size_t(at + io.ioReqCount), 0);
      if (io.ioReqCount > 0) std::memcpy(f->bytes.data() + at, io.ioBuffer, size_t(io.ioReqCount));
      f->dirty = true;
      f->mark = at + io.ioReqCount;
      io.ioActCount = io.ioReqCount;
      return io.ioResult = noErr;
    }
  }
  ByteCount actual = 0;
  OSErr err = FSWriteFork(io.ioRefNum, UInt16(io.ioPosMode), io.ioPosOffset, ByteCount(io.ioReqCount),
                          io.ioBuffer, &actual);
  io.ioActCount = long(actual);
  return io.ioResult = err;
}
