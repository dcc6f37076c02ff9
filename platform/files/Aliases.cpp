// Alias records and their resolution (see Aliases.h).
#include "Aliases.h"

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "AliasRecord.h"
#include "CFRef.h"
#include "CFString.h"

namespace velm_files {
namespace {

constexpr size_t kHeaderSize = 150;
constexpr SInt16 kTagColonPath = 2;
constexpr SInt16 kTagPosixPath = 18;
constexpr SInt16 kTagMountPoint = 19;
constexpr SInt16 kTagEnd = -1;

UInt16 get16(const UInt8* p) { return UInt16((p[0] << 8) | p[1]); }
UInt32 get32(const UInt8* p) {
  return (UInt32(p[0]) << 24) | (UInt32(p[1]) << 16) | (UInt32(p[2]) << 8) | UInt32(p[3]);
}

// A Pascal string kept in a field of `room` bytes (its length byte included).
bool fieldString(const UInt8* p, size_t room, std::string* out) {
  if (p[0] >= room) return false;
  out->assign(reinterpret_cast<const char*>(p + 1), p[0]);
  return true;
}

std::string macRomanToUtf8(const std::string& s) {
  CFRef<CFStringRef> str(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(s.data()),
                                                 CFIndex(s.size()), kCFStringEncodingMacRoman, false));
  if (!str) return {};
  CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(str.get()), kCFStringEncodingUTF8) + 1;
  std::string out(size_t(size), '\0');
  if (!CFStringGetCString(str.get(), out.data(), size, kCFStringEncodingUTF8)) return {};
  out.resize(std::strlen(out.c_str()));
  return out;
}

// A path below a folder: "/" between them, never two.
std::string below(std::string folder, const std::string& path) {
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  return folder + (path.empty() || path.front() != '/' ? "/" : "") + path;
}

// The colon-separated path from the volume root as a POSIX path from that root: a "/" inside a
// name is stored as ":" on disk.
std::string posixFromColonPath(const std::string& utf8) {
  std::string out;
  std::stringstream parts(utf8);
  std::string part;
  while (std::getline(parts, part, ':')) {
    if (part.empty()) continue;
    for (char& c : part)
      if (c == '/') c = ':';
    out += "/" + part;
  }
  return out.empty() ? "/" : out;
}

bool usable(const std::string& path) {
  return !path.empty() && path.front() == '/' && path.find('\0') == std::string::npos;
}

// "\040" and the like in /proc/self/mountinfo.
std::string unescapeMount(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && s.size() - i >= 4 && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' &&
        s[i + 3] <= '7') {
      out += char((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

OSErr readAliasRecord(const UInt8* bytes, size_t size, AliasInfo* info) {
  if (!info) return paramErr;
  *info = AliasInfo();
  if (!bytes || size < kHeaderSize) return paramErr;
  const size_t recordSize = get16(bytes + 4);
  if (recordSize < kHeaderSize || recordSize > size) return paramErr;
  if (get16(bytes + 6) != 2) return paramErr;
  AliasInfo result;
  result.kind = get16(bytes + 8);
  if (!fieldString(bytes + 10, 28, &result.volumeName)) return paramErr;
  result.parentDirID = get32(bytes + 46);
  if (!fieldString(bytes + 50, 64, &result.fileName)) return paramErr;

  size_t at = kHeaderSize;
  bool ended = false;
  while (at + 4 <= recordSize) {
    const SInt16 tag = SInt16(get16(bytes + at));
    const size_t length = get16(bytes + at + 2);
    if (tag == kTagEnd) {
      ended = true;
      break;
    }
    if (at + 4 + length > recordSize) return paramErr;
    std::string data(reinterpret_cast<const char*>(bytes + at + 4), length);
    switch (tag) {
      case kTagColonPath:
        result.hasColonPath = true;
        result.colonPath = std::move(data);
        break;
      case kTagPosixPath:
        result.hasPosixPath = true;
        result.posixPath = std::move(data);
        break;
      case kTagMountPoint:
        result.hasMountPoint = true;
        result.mountPoint = std::move(data);
        break;
      default:
        break;
    }
    at += 4 + length + (length & 1);
  }
  // Records written by the platform end with tag -1; one that simply stops at its size is
  // accepted as long as no tag was cut off.
  if (!ended && at < recordSize) return paramErr;
  *info = std::move(result);
  return noErr;
}

std::vector<std::string> aliasCandidatePaths(const AliasInfo& info,
                                             const std::vector<std::string>& mountPoints) {
  std::vector<std::string> out;
  auto add = [&out](const std::string& p) {
    if (!usable(p)) return;
    for (const std::string& q : out)
      if (q == p) return;
    out.push_back(p);
  };
  const bool mountUsable = info.hasMountPoint && usable(info.mountPoint);
  if (info.hasPosixPath && !info.posixPath.empty() && info.posixPath.find('\0') == std::string::npos)
    add(below(mountUsable ? info.mountPoint : "/", info.posixPath));
  if (info.hasColonPath && info.colonPath.find('\0') == std::string::npos) {
    std::string colon = macRomanToUtf8(info.colonPath);
    std::string volume = macRomanToUtf8(info.volumeName);
    // The path begins with the volume name; what follows it is the path from the volume root.
    if (!volume.empty() && colon.compare(0, volume.size() + 1, volume + ":") == 0)
      colon = colon.substr(volume.size() + 1);
    else if (!volume.empty() && colon == volume)
      colon.clear();
    std::string fromRoot = posixFromColonPath(colon);
    if (mountUsable) add(below(info.mountPoint, fromRoot));
    if (!volume.empty()) {
      for (const std::string& m : mountPoints) {
        size_t slash = m.find_last_of('/');
        if (slash != std::string::npos && m.substr(slash + 1) == volume) add(below(m, fromRoot));
      }
    }
    add(fromRoot);
  }
  return out;
}

std::vector<std::string> currentMountPoints() {
  std::vector<std::string> out;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, mount;
    if (fields >> id >> parent >> device >> root >> mount) out.push_back(unescapeMount(mount));
  }
  return out;
}

OSErr resolveAliasRecord(const UInt8* bytes, size_t size, std::string* path) {
  AliasInfo info;
  OSErr err = readAliasRecord(bytes, size, &info);
  if (err != noErr) return err;
  for (const std::string& candidate : aliasCandidatePaths(info, currentMountPoints())) {
    struct stat st;
    if (stat(candidate.c_str(), &st) == 0) {
      *path = candidate;
      return noErr;
    }
  }
  return fnfErr;
}

}  // namespace velm_files
