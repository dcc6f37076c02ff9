// The resource-file format: reading a resource fork's map and writing a whole fork.
//
// A fork is a 16-byte header (offset and length of the resource data, offset and length of the
// resource map, all big-endian 32-bit), the resource data (each resource a 32-bit length and
// its bytes) and the resource map: a copy of the header, 4 bytes of handle and 2 of file
// reference number (both zero on disk), the map attributes, the offsets of the type list and
// the name list (16 bits each, from the start of the map), the type list (number of types less
// one, then per type its code, the number of its resources less one and the offset of its
// reference list from the start of the type list), the reference lists (per resource its ID,
// the offset of its name in the name list or -1, its attributes and the 24-bit offset of its
// data in the data area, then 4 reserved bytes) and the name list (Pascal strings).
//
// The reader never trusts the fork: every offset and length is checked against the fork's size
// in 64-bit arithmetic, reference lists must lie inside the map and must not overlap (so the
// number of references is bounded by the map's size), and every resource's data must lie inside
// the data area. It copies nothing: resources are described by where their bytes lie.
#pragma once

#include <string>
#include <vector>

#include "MacTypes.h"

namespace velm_files {

// Status codes of the Resource Manager.
enum : OSErr {
  kEofErr = -39,          // eofErr
  kResNotFound = -192,    // resNotFound
  kResFNotFound = -193,   // resFNotFound
  kAddResFailed = -194,   // addResFailed
  kRmvResFailed = -196,   // rmvResFailed
  kResAttrErr = -198,     // resAttrErr
  kMapReadErr = -199,     // mapReadErr
};

// Where a resource lies in a fork that was read.
struct ResourceRef {
  ResType type = 0;
  SInt16 id = 0;
  UInt8 attributes = 0;
  bool named = false;
  std::string name;        // the name's bytes (MacRoman), when named
  UInt64 dataOffset = 0;   // of the resource's bytes, from the start of the fork
  UInt32 dataLength = 0;
};

struct ResourceMapInfo {
  UInt16 mapAttributes = 0;
  std::vector<ResourceRef> resources;  // in the map's order: by type, then by reference list
};

// Reads the map of a fork. noErr; eofErr for an empty fork (a file without resources);
// mapReadErr when the bytes are not a sound resource fork.
OSErr readResourceMap(const UInt8* bytes, size_t size, ResourceMapInfo* map);

// A resource to be written.
struct ResourceData {
  ResType type = 0;
  SInt16 id = 0;
  UInt8 attributes = 0;
  bool named = false;
  std::string name;
  const UInt8* data = nullptr;
  size_t length = 0;
};

// Lays out a whole fork: types in the order of their first resource, the data area right after
// the 256 bytes of header and reserved space. The resChanged attribute is not written. noErr, or
// paramErr when the resources do not fit the format (data past 16 MiB, a name longer than 255
// bytes, a map whose offsets do not fit 16 bits).
OSErr writeResourceFork(const std::vector<ResourceData>& resources, UInt16 mapAttributes,
                        std::vector<UInt8>* fork);

}  // namespace velm_files
