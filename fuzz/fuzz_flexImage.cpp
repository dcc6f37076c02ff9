// libFuzzer target for file images of record stores, which are read back from files that
// anyone may have written.
//
// The input is a little header and a file: bytes 0-3 the offset of the image in the file,
// bytes 4-7 its claimed length (both little-endian, reduced to at most the file's length + 1
// so that most inputs read something), the rest the file's bytes. The image is read with
// memGetFileContentsFlexMMIO and then verified, walked, looked up (with and without an index),
// read as text, converted to the other byte order and back, checked, dumped and changed. None of
// it may read or write outside the store's block, whatever its record headers claim.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CoreServices.h"
#include "fileEngine.h"
#include "memoryEngine2.h"
#include "stringEngine.h"

namespace {

UInt32 littleEndian32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (UInt32(p[3]) << 24); }

// The file that holds the current input, in the (private) temporary folder.
const std::string& imagePath() {
  static const std::string path = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/flexImage-XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd >= 0) close(fd);
    return fd >= 0 ? pattern : std::string();
  }();
  return path;
}

bool writeImageFile(const uint8_t* bytes, size_t size) {
  FILE* f = std::fopen(imagePath().c_str(), "wb");
  if (!f) return false;
  bool ok = size == 0 || std::fwrite(bytes, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

SInt16 openImageFile() {
  FSRef ref;
  if (FSPathMakeRef(reinterpret_cast<const UInt8*>(imagePath().c_str()), &ref, nullptr) != noErr) return 0;
  HFSUniStr255 fork;
  FSGetDataForkName(&fork);
  FSIORefNum refNum = 0;
  if (FSOpenFork(&ref, fork.length, fork.unicode, fsRdPerm, &refNum) != noErr) return 0;
  return refNum;
}

// The dumps go to the diagnostics log on the (private) Desktop; it is removed after each input
// so that a long run does not fill the disk.
void removeLog() {
  FSRef desk;
  UInt8 path[1024];
  if (FSFindFolder(kUserDomain, kDesktopFolderType, kDontCreateFolder, &desk) != noErr) return;
  if (FSRefMakePath(&desk, path, sizeof path) != noErr) return;
  unlink((reinterpret_cast<const char*>(path) + std::string("/RZM Log.txt")).c_str());
}

struct Ids {
  std::vector<std::pair<UInt32, UInt32>> pairs;
};

Boolean collect(UInt32 itemID, UInt32 itemType, UInt32 itemSize, void* payload, void* context) {
  auto* ids = static_cast<Ids*>(context);
  ids->pairs.emplace_back(itemID, itemType);
  // Touch the first and last payload byte: the walk promises the whole payload lies inside.
  volatile const char* p = static_cast<const char*>(payload);
  if (itemSize) (void)(p[0] + p[itemSize - 1]);
  return ids->pairs.size() < 4096;
}

void lookUp(const FlexDynArray* store, const Ids& ids) {
  char buffer[64];
  for (const auto& [id, type] : ids.pairs) {
    UInt32 size = 0, location = 0;
    const void* payload = nullptr;
    if (memGetFlexDataInfo(store, id, type, &size, &payload) == noErr && size) {
      volatile const char* p = static_cast<const char*>(payload);
      (void)(p[0] + p[size - 1]);
    }
    memGetFlexData(store, id, type, buffer, &size, sizeof buffer);
    m2LookupFlexDataOffset(store, id + 1, type, &location);
    CFStringRef text = ORBStringFromFlexDynArray(store, id, type, static_cast<UInt8>(type & 1));
    ORBStringRelease(&text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8 || size > 65536 || imagePath().empty()) return 0;
  const size_t fileSize = size - 8;
  const SInt64 offset = littleEndian32(data) % (fileSize + 2);
  const UInt32 byteCount = littleEndian32(data + 4) % (fileSize + 2);
  if (!writeImageFile(data + 8, fileSize)) return 0;
  SInt16 fork = openImageFile();
  if (!fork) return 0;

  FlexDynArray store;
  memSetFlexInvalid(&store);
  OSErr err = memGetFileContentsFlexMMIO(fork, offset, byteCount, &store);
  FSCloseFork(fork);
  if (err != noErr) {
    // A refused image leaves the store as it was.
    if (store.data || store.totalDataSize) __builtin_trap();
    return 0;
  }
  // An empty image may have no data at all.
  if (store.totalDataSize != byteCount ||
      (byteCount && std::memcmp(store.data, data + 8 + offset, byteCount) != 0))
    __builtin_trap();

  memVerifyFlexDynArray(&store);
  Ids ids;
  memWalkFlexDynArray(&store, &ids, collect);
  // Pairs the walk did not reach (it stops at a faulty record) come from the raw headers.
  for (UInt32 at = 0; at + 12 <= store.totalDataSize && ids.pairs.size() < 8192; at += 12) {
    UInt32 header[3];
    std::memcpy(header, store.data + at, sizeof header);
    ids.pairs.emplace_back(header[0], header[2]);
  }
  lookUp(&store, ids);
  if (memBuildFlexIndex(&store) == noErr) lookUp(&store, ids);

  const std::string before(store.data, store.totalDataSize);
  if (memEndianConvertFlexDynArray(&store, 1) == noErr) {
    if (memEndianConvertFlexDynArray(&store, 0) != noErr) __builtin_trap();
    if (before != std::string(store.data, store.totalDataSize)) __builtin_trap();
  }

  if (store.totalDataSize <= 1024) {
    memCheckFlexDynArray(&store);
    memDumpFlexDynArray(&store);
    removeLog();
  }

  // Changes to a store read from outside stay inside its block too.
  if (!ids.pairs.empty()) {
    const auto [id, type] = ids.pairs[ids.pairs.size() / 2];
    memChangeFlexData(&store, id, type, 3, "abc");
    memChangeFlexData(&store, id + 1, type, 0, nullptr);
    memDeleteAllFlexData(&store, id);
    FlexDynArray extracted;
    memSetFlexInvalid(&extracted);
    if (memExtractFlexItemsForSpecificID(&store, ids.pairs[0].first, &extracted) == noErr) {
      memReplaceFlexItemsForSpecificID(&extracted, &store, id);
      memAppendFlexDynArray(&extracted, &store);
    }
    memFreeFlexDynArray(&extracted);
    memAdjustIDinFlexDynArray(&store, 9);
  }
  memFreeFlexDynArray(&store);
  return 0;
}
