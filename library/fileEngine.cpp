// The file engine: references, paths and names.
#include "fileEngine.h"

#include <cstdlib>

#include "RZMCoreFunctions.h"
#include "stringEngine.h"

// ---------------------------------------------------------------------------------------------
// References and paths

OSStatus feMakeFSRefFromPath(CFStringRef path, FSRef* ref) {
  // A zero inside the path would cut it short and name another item.
  if (ORBStringCountCharAppearances(path, 0) > 0) return paramErr;
  UInt32 size = ORBStringGetUTF8Size(path);
  char* buffer = static_cast<char*>(std::calloc(size_t(size) + 2, 1));
  if (!buffer) return memFullErr;
  UInt32 count = 0;
  ORBStringCopyToUTF8(path, buffer, &count);
  OSStatus err = FSPathMakeRef(reinterpret_cast<const UInt8*>(buffer), ref, nullptr);
  std::free(buffer);
  return err;
}

CFStringRef feGetPathFromFSRef(const FSRef* ref, CFURLPathStyle pathStyle) {
  CFRef<CFURLRef> url(CFURLCreateFromFSRef(kCFAllocatorDefault, ref));
  if (!url) return nullptr;
  return CFURLCopyFileSystemPath(url.get(), pathStyle);
}

CFStringRef feGetItemNameFromRef(const FSRef* ref) {
  HFSUniStr255 name;
  if (FSGetCatalogInfo(ref, kFSCatInfoNone, nullptr, &name, nullptr, nullptr) != noErr) return nullptr;
  CFStringRef s = nullptr;
  utMakeCFStringFromHFSString(&name, &s);
  return s;
}

// ---------------------------------------------------------------------------------------------
// Questions about an item

Boolean feIsFolder(const FSRef* ref) {
  FSCatalogInfo info;
  if (FSGetCatalogInfo(ref, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr) != noErr) return false;
  return (info.nodeFlags & kFSNodeIsDirectoryMask) != 0;
}

UInt64 feGetFileDataSize(const FSRef* ref) {
  FSCatalogInfo info;
  if (FSGetCatalogInfo(ref, kFSCatInfoDataSizes, &info, nullptr, nullptr, nullptr) != noErr) return 0;
  return info.dataLogicalSize;
}
