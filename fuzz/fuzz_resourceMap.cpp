// libFuzzer target for the resource map reader.
//
// The input is a resource fork. Whatever the reader accepts must describe resources that lie
// inside the fork, and must survive a round trip: written anew and read again, it gives the
// same resources with the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ResourceFork.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace velm_files;
  ResourceMapInfo map;
  if (readResourceMap(data, size, &map) != noErr) return 0;
  std::vector<ResourceData> resources;
  for (const ResourceRef& r : map.resources) {
    if (r.dataOffset > size || r.dataLength > size - r.dataOffset) std::abort();
    ResourceData d;
    d.type = r.type;
    d.id = r.id;
    d.attributes = r.attributes;
    d.named = r.named;
    d.name = r.name;
    d.data = data + r.dataOffset;
    d.length = r.dataLength;
    resources.push_back(d);
  }
  std::vector<UInt8> fork;
  if (writeResourceFork(resources, map.mapAttributes, &fork) != noErr) return 0;
  ResourceMapInfo again;
  if (readResourceMap(fork.data(), fork.size(), &again) != noErr) std::abort();
  // The writer groups resources by type; compare each type's resources in order.
  std::vector<size_t> order;
  std::vector<ResType> types;
  for (const ResourceData& r : resources) {
    bool seen = false;
    for (ResType t : types) seen = seen || t == r.type;
    if (!seen) types.push_back(r.type);
  }
  for (ResType t : types)
    for (size_t i = 0; i < resources.size(); ++i)
      if (resources[i].type == t) order.push_back(i);
  if (again.resources.size() != order.size()) std::abort();
  for (size_t k = 0; k < order.size(); ++k) {
    const ResourceData& a = resources[order[k]];
    const ResourceRef& b = again.resources[k];
    if (a.type != b.type || a.id != b.id || a.named != b.named || (a.named && a.name != b.name) ||
        a.length != b.dataLength || (a.attributes & ~2) != b.attributes ||
        (a.length && std::memcmp(a.data, fork.data() + b.dataOffset, a.length) != 0))
      std::abort();
  }
  return 0;
}
