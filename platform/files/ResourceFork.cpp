// The resource-file format (see ResourceFork.h).
#include "ResourceFork.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

namespace velm_files {
namespace {

constexpr size_t kHeaderSize = 16;
constexpr size_t kReservedEnd = 256;     // header, system-reserved and application bytes
constexpr size_t kMapHeaderSize = 28;    // header copy, handle, file number, attributes, offsets
constexpr size_t kTypeEntrySize = 8;
constexpr size_t kRefEntrySize = 12;
constexpr UInt64 kMaxDataOffset = 0xFFFFFF;  // data offsets are 24 bits
constexpr UInt8 kResChanged = 0x02;

UInt32 get32(const UInt8* p) {
  return (UInt32(p[0]) << 24) | (UInt32(p[1]) << 16) | (UInt32(p[2]) << 8) | UInt32(p[3]);
}
UInt16 get16(const UInt8* p) { return UInt16((p[0] << 8) | p[1]); }
void put32(std::vector<UInt8>& v, size_t at, UInt32 x) {
  v[at] = UInt8(x >> 24);
  v[at + 1] = UInt8(x >> 16);
  v[at + 2] = UInt8(x >> 8);
  v[at + 3] = UInt8(x);
}
void put16(std::vector<UInt8>& v, size_t at, UInt16 x) {
  v[at] = UInt8(x >> 8);
  v[at + 1] = UInt8(x);
}

}  // namespace

OSErr readResourceMap(const UInt8* bytes, size_t size, ResourceMapInfo* out) {
  if (!out) return paramErr;
  *out = ResourceMapInfo();
  if (size == 0) return kEofErr;
  if (!bytes || size < kHeaderSize) return kMapReadErr;
  const UInt64 dataOffset = get32(bytes), mapOffset = get32(bytes + 4);
  const UInt64 dataLength = get32(bytes + 8), mapLength = get32(bytes + 12);
  if (dataOffset + dataLength > size || mapOffset + mapLength > size) return kMapReadErr;
  if (mapLength < kMapHeaderSize + 2) return kMapReadErr;
  const UInt8* map = bytes + mapOffset;
  const UInt64 typeList = get16(map + 24), nameList = get16(map + 26);
  if (typeList + 2 > mapLength) return kMapReadErr;
  const UInt64 typeCount = UInt64(UInt16(get16(map + typeList) + 1));
  if (typeList + 2 + typeCount * kTypeEntrySize > mapLength) return kMapReadErr;

  ResourceMapInfo result;
  result.mapAttributes = get16(map + 22);

  // Reference lists: each inside the map, none overlapping another, so that a hostile map can
  // describe no more references than it has room for.
  struct List {
    UInt64 start;
    UInt64 count;
    ResType type;
  };
  std::vector<List> lists;
  lists.reserve(typeCount);
  for (UInt64 t = 0; t < typeCount; ++t) {
    const UInt8* entry = map + typeList + 2 + t * kTypeEntrySize;
    List l{typeList + get16(entry + 6), UInt64(get16(entry + 4)) + 1, get32(entry)};
    if (l.start + l.count * kRefEntrySize > mapLength) return kMapReadErr;
    lists.push_back(l);
  }
  std::vector<List> sorted = lists;
  std::sort(sorted.begin(), sorted.end(), [](const List& a, const List& b) { return a.start < b.start; });
  for (size_t i = 1; i < sorted.size(); ++i)
    if (sorted[i - 1].start + sorted[i - 1].count * kRefEntrySize > sorted[i].start) return kMapReadErr;

  for (const List& l : lists) {
    for (UInt64 r = 0; r < l.count; ++r) {
      const UInt8* ref = map + l.start + r * kRefEntrySize;
      ResourceRef res;
      res.type = l.type;
      res.id = static_cast<SInt16>(get16(ref));
      const UInt16 nameOffset = get16(ref + 2);
      res.attributes = ref[4];
      const UInt64 offset = (UInt64(ref[5]) << 16) | (UInt64(ref[6]) << 8) | UInt64(ref[7]);
      if (offset + 4 > dataLength) return kMapReadErr;
      const UInt32 length = get32(bytes + dataOffset + offset);
      if (offset + 4 + length > dataLength) return kMapReadErr;
      res.dataOffset = dataOffset + offset + 4;
      res.dataLength = length;
      if (nameOffset != 0xFFFF) {
        const UInt64 at = nameList + nameOffset;
        if (at + 1 > mapLength) return kMapReadErr;
        const UInt64 len = map[at];
        if (at + 1 + len > mapLength) return kMapReadErr;
        res.named = true;
        res.name.assign(reinterpret_cast<const char*>(map + at + 1), len);
      }
      result.resources.push_back(std::move(res));
    }
  }
  *out = std::move(result);
  return noErr;
}

OSErr writeResourceFork(const std::vector<ResourceData>& resources, UInt16 mapAttributes,
                        std::vector<UInt8>* fork) {
  if (!fork) return paramErr;
  // Types in the order of their first resource.
  std::vector<ResType> types;
  std::map<ResType, std::vector<const ResourceData*>> byType;
  for (const ResourceData& r : resources) {
    if (r.named && r.name.size() > 255) return paramErr;
    if (r.length > 0 && !r.data) return paramErr;
    auto& list = byType[r.type];
    if (list.empty()) types.push_back(r.type);
    list.push_back(&r);
  }
  if (types.size() > 0x10000) return paramErr;

  std::vector<UInt8> data;
  std::vector<UInt8> names;
  std::vector<UInt8> refs;   // the reference lists, in type order
  std::vector<UInt8> typeList(2 + types.size() * kTypeEntrySize, 0);
  put16(typeList, 0, UInt16(types.size() - 1));  // 0xFFFF for no types
  size_t refStart = typeList.size();
  for (size_t t = 0; t < types.size(); ++t) {
    const auto& list = byType[types[t]];
    if (list.size() > 0x10000) return paramErr;
    const size_t listOffset = refStart + refs.size();
    if (listOffset > 0xFFFF) return paramErr;
    put32(typeList, 2 + t * kTypeEntrySize, types[t]);
    put16(typeList, 2 + t * kTypeEntrySize + 4, UInt16(list.size() - 1));
    put16(typeList, 2 + t * kTypeEntrySize + 6, UInt16(listOffset));
    for (const ResourceData* r : list) {
      const size_t offset = data.size();
      if (offset > kMaxDataOffset) return paramErr;
      if (r->length > 0xFFFFFFFFu) return paramErr;
      data.resize(offset + 4 + r->length);
      put32(data, offset, UInt32(r->length));
      if (r->length) std::memcpy(&data[offset + 4], r->data, r->length);
      std::vector<UInt8> ref(kRefEntrySize, 0);
      put16(ref, 0, UInt16(r->id));
      if (r->named) {
        if (names.size() > 0xFFFE) return paramErr;
        put16(ref, 2, UInt16(names.size()));
        names.push_back(UInt8(r->name.size()));
        names.insert(names.end(), r->name.begin(), r->name.end());
      } else {
        put16(ref, 2, 0xFFFF);
      }
      ref[4] = UInt8(r->attributes & ~kResChanged);
      ref[5] = UInt8(offset >> 16);
      ref[6] = UInt8(offset >> 8);
      ref[7] = UInt8(offset);
      refs.insert(refs.end(), ref.begin(), ref.end());
    }
  }
  const size_t nameListOffset = kMapHeaderSize + typeList.size() + refs.size();
  if (nameListOffset > 0xFFFF) return paramErr;
  const size_t mapLength = nameListOffset + names.size();
  const UInt64 mapOffset = kReservedEnd + UInt64(data.size());
  if (mapOffset + mapLength > 0xFFFFFFFFu) return paramErr;

  std::vector<UInt8> out(kReservedEnd + data.size() + mapLength, 0);
  put32(out, 0, UInt32(kReservedEnd));
  put32(out, 4, UInt32(mapOffset));
  put32(out, 8, UInt32(data.size()));
  put32(out, 12, UInt32(mapLength));
  if (!data.empty()) std::memcpy(&out[kReservedEnd], data.data(), data.size());
  const size_t map = kReservedEnd + data.size();
  std::memcpy(&out[map], out.data(), kHeaderSize);  // the map begins with a copy of the header
  put16(out, map + 22, UInt16(mapAttributes & ~0x0020));  // mapChanged is not kept on disk
  put16(out, map + 24, UInt16(kMapHeaderSize));
  put16(out, map + 26, UInt16(nameListOffset));
  std::memcpy(&out[map + kMapHeaderSize], typeList.data(), typeList.size());
  if (!refs.empty()) std::memcpy(&out[map + kMapHeaderSize + typeList.size()], refs.data(), refs.size());
  if (!names.empty()) std::memcpy(&out[map + nameListOffset], names.data(), names.size());
  *fork = std::move(out);
  return noErr;
}

}  // namespace velm_files
