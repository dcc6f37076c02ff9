// libFuzzer target for the property-list readers and the .strings reader: bundles' Info.plist
// files, preference files and the keychain's file store are property lists that other programs
// may write, string tables come with bundles.
//
// The first input byte chooses the reader for the rest: 0 the property-list reader (the second
// byte picks the mutability option), 1 the lenient reader of preference files, 2 the .strings
// reader. Whatever is read is written again as XML and as a binary property list and read back.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CFInternal.h"
#include "CoreFoundation.h"

namespace {

void writeAndReadBack(CFPropertyListRef plist) {
  if (!plist) return;
  for (CFPropertyListFormat format : {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
    CFRef<CFDataRef> bytes(CFPropertyListCreateData(nullptr, plist, format, 0, nullptr));
    if (!bytes) continue;
    CFRef<CFPropertyListRef> back(CFPropertyListCreateWithData(nullptr, bytes.get(), 0, nullptr, nullptr));
    // What this layer wrote it reads again; values need not compare equal (NaN, dates).
    if (!back) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t kind = data[0] % 3;
  ++data;
  --size;
  if (kind == 0) {
    if (size < 1) return 0;
    CFOptionFlags options = data[0] % 3;
    CFRef<CFDataRef> bytes(CFDataCreate(nullptr, data + 1, static_cast<CFIndex>(size - 1)));
    CFPropertyListFormat format = 0;
    CFRef<CFPropertyListRef> plist(CFPropertyListCreateWithData(nullptr, bytes.get(), options, &format, nullptr));
    writeAndReadBack(plist.get());
  } else if (kind == 1) {
    CFRef<CFDataRef> bytes(CFDataCreate(nullptr, data, static_cast<CFIndex>(size)));
    std::vector<std::string> dropped;
    CFRef<CFPropertyListRef> plist(
        cfimpl::propertyListCreateLenient(bytes.get(), kCFPropertyListMutableContainers, dropped));
    writeAndReadBack(plist.get());
  } else {
    CFRef<CFDictionaryRef> table(
        cfimpl::stringsTableCreateWithData(std::string(reinterpret_cast<const char*>(data), size)));
    writeAndReadBack(table.get());
  }
  return 0;
}
