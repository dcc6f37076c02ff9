// An independent reader and writer of resource forks, AppleDouble sidecars and alias records for
// the tests, written from the published layouts and sharing no code with platform/files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmtest {

struct TestResource {
  std::string type;  // four characters
  int16_t id = 0;
  uint8_t attributes = 0;
  std::optional<std::string> name;
  std::string data;
  bool operator==(const TestResource&) const = default;
};

inline uint32_t getBE(const std::string& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | uint8_t(b.at(at + size_t(i)));
  return v;
}

inline void putBE(std::string& b, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) b.push_back(char((v >> (8 * i)) & 0xFF));
}

// A resource fork in the published layout: header, 240 reserved bytes, data, map. Resources of
// one type are kept together in the order given; types in the order they first appear.
inline std::string writeTestResourceFork(const std::vector<TestResource>& resources) {
  std::vector<std::string> types;
  for (const auto& r : resources) {
    bool seen = false;
    for (const auto& t : types) seen = seen || t == r.type;
    if (!seen) types.push_back(r.type);
  }
  std::string data, names, refs, typeList;
  putBE(typeList, uint32_t(types.size() - 1) & 0xFFFF, 2);
  const size_t refStart = 2 + 8 * types.size();
  for (const auto& t : types) {
    std::vector<const TestResource*> list;
    for (const auto& r : resources)
      if (r.type == t) list.push_back(&r);
    typeList += t;
    putBE(typeList, uint32_t(list.size() - 1), 2);
    putBE(typeList, uint32_t(refStart + refs.size()), 2);
    for (const TestResource* r : list) {
      const size_t offset = data.size();
      putBE(data, uint32_t(r->data.size()), 4);
      data += r->data;
      putBE(refs, uint16_t(r->id), 2);
      if (r->name) {
        putBE(refs, uint32_t(names.size()), 2);
        names.push_back(char(r->name->size()));
        names += *r->name;
      } else {
        putBE(refs, 0xFFFF, 2);
      }
      refs.push_back(char(r->attributes));
      putBE(refs, uint32_t(offset), 3);
      putBE(refs, 0, 4);
    }
  }
  const size_t mapLength = 28 + typeList.size() + refs.size() + names.size();
  std::string header;
  putBE(header, 256, 4);
  putBE(header, uint32_t(256 + data.size()), 4);
  putBE(header, uint32_t(data.size()), 4);
  putBE(header, uint32_t(mapLength), 4);
  std::string map = header + std::string(6, '\0');
  putBE(map, 0, 2);  // attributes
  putBE(map, 28, 2);
  putBE(map, uint32_t(28 + typeList.size() + refs.size()), 2);
  map += typeList + refs + names;
  return header + std::string(240, '\0') + data + map;
}

// Reads a resource fork in the published layout; nothing when it does not add up.
inline std::optional<std::vector<TestResource>> readTestResourceFork(const std::string& fork) {
  try {
    const uint32_t dataOffset = getBE(fork, 0, 4), mapOffset = getBE(fork, 4, 4);
    const uint32_t dataLength = getBE(fork, 8, 4), mapLength = getBE(fork, 12, 4);
    if (uint64_t(dataOffset) + dataLength > fork.size() || uint64_t(mapOffset) + mapLength > fork.size())
      return std::nullopt;
    const std::string map = fork.substr(mapOffset, mapLength);
    if (map.substr(0, 16) != fork.substr(0, 16)) return std::nullopt;  // the header's copy
    const size_t typeList = getBE(map, 24, 2), nameList = getBE(map, 26, 2);
    const size_t typeCount = (getBE(map, typeList, 2) + 1) & 0xFFFF;
    std::vector<TestResource> out;
    for (size_t t = 0; t < typeCount; ++t) {
      const size_t entry = typeList + 2 + 8 * t;
      const std::string type = map.substr(entry, 4);
      const size_t count = getBE(map, entry + 4, 2) + 1;
      const size_t list = typeList + getBE(map, entry + 6, 2);
      for (size_t r = 0; r < count; ++r) {
        const size_t ref = list + 12 * r;
        TestResource res;
        res.type = type;
        res.id = int16_t(getBE(map, ref, 2));
        const uint32_t nameOffset = getBE(map, ref + 2, 2);
        res.attributes = uint8_t(map.at(ref + 4));
        const uint32_t at = dataOffset + getBE(map, ref + 5, 3);
        const uint32_t length = getBE(fork, at, 4);
        if (uint64_t(at) + 4 + length > uint64_t(dataOffset) + dataLength) return std::nullopt;
        res.data = fork.substr(at + 4, length);
        if (nameOffset != 0xFFFF) {
          const size_t n = nameList + nameOffset;
          res.name = map.substr(n + 1, uint8_t(map.at(n)));
        }
        out.push_back(std::move(res));
      }
    }
    return out;
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
}

// An AppleDouble version 2 file with the given entries (id, data) in the given order, and a
// header filler of 16 bytes.
inline std::string writeTestAppleDouble(const std::vector<std::pair<uint32_t, std::string>>& entries,
                                        const std::string& filler = std::string(16, '\0')) {
  std::string out;
  putBE(out, 0x00051607, 4);
  putBE(out, 0x00020000, 4);
  out += filler.substr(0, 16);
  putBE(out, uint32_t(entries.size()), 2);
  uint32_t at = uint32_t(26 + 12 * entries.size());
  for (const auto& [id, data] : entries) {
    putBE(out, id, 4);
    putBE(out, at, 4);
    putBE(out, uint32_t(data.size()), 4);
    at += uint32_t(data.size());
  }
  for (const auto& e : entries) out += e.second;
  return out;
}

// The entries of an AppleDouble file, in the order of its entry table.
inline std::vector<std::pair<uint32_t, std::string>> readTestAppleDouble(const std::string& file) {
  std::vector<std::pair<uint32_t, std::string>> out;
  if (file.size() < 26 || getBE(file, 0, 4) != 0x00051607) return out;
  const size_t count = getBE(file, 24, 2);
  for (size_t i = 0; i < count; ++i) {
    const size_t d = 26 + 12 * i;
    out.emplace_back(getBE(file, d, 4), file.substr(getBE(file, d + 4, 4), getBE(file, d + 8, 4)));
  }
  return out;
}

inline std::string entryOf(const std::string& appleDouble, uint32_t id) {
  for (const auto& [entryId, data] : readTestAppleDouble(appleDouble))
    if (entryId == id) return data;
  return {};
}

// A version 2 alias record: the 150-byte header, then the tagged items given (tag, data), then
// the end tag.
inline std::string writeTestAliasRecord(const std::string& volumeName, const std::string& fileName,
                                        const std::vector<std::pair<int16_t, std::string>>& tags,
                                        uint16_t kind = 0) {
  std::string r;
  r += "ttxt";                         // application creator
  putBE(r, 0, 2);                      // record size, filled in below
  putBE(r, 2, 2);                      // version
  putBE(r, kind, 2);
  r.push_back(char(volumeName.size()));
  r += volumeName;
  r.append(27 - volumeName.size(), '\0');
  putBE(r, 0xD0000000u, 4);            // volume creation date
  r += "H+";                           // volume signature
  putBE(r, 0, 2);                      // volume type: fixed disk
  putBE(r, 4242, 4);                   // parent folder ID
  r.push_back(char(fileName.size()));
  r += fileName;
  r.append(63 - fileName.size(), '\0');
  putBE(r, 4343, 4);                   // file number
  putBE(r, 0xD0000001u, 4);            // file creation date
  r += "TEXTttxt";                     // type and creator
  putBE(r, 0xFFFF, 2);                 // levels from
  putBE(r, 0xFFFF, 2);                 // levels to
  putBE(r, 0, 4);                      // volume attributes
  putBE(r, 0, 2);                      // volume file system ID
  r.append(10, '\0');
  for (const auto& [tag, data] : tags) {
    putBE(r, uint16_t(tag), 2);
    putBE(r, uint32_t(data.size()), 2);
    r += data;
    if (data.size() % 2) r.push_back('\0');
  }
  putBE(r, 0xFFFF, 2);
  putBE(r, 0, 2);
  r[4] = char(r.size() >> 8);
  r[5] = char(r.size() & 0xFF);
  return r;
}

}  // namespace velmtest
