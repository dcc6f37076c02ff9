// The Resource Manager and alias calls that name files by FSSpec (see Resources.h, Aliases.h).
#include <sys/stat.h>

#include <string>

#include "Aliases.h"
#include "AliasRecord.h"
#include "FilesInternal.h"
#include "Resources.h"
#include "ResourcesInternal.h"

namespace {

// The canonical path of the existing item an FSSpec names.
OSErr itemPath(const FSSpec* fsRec, std::string* path) {
  if (!fsRec) return paramErr;
  FSRef ref;
  OSErr err = FSpMakeFSRef(fsRec, &ref);
  if (err != noErr) return err;
  velm_files::Item item;
  err = velm_files::resolveRef(&ref, &item);
  if (err != noErr) return err;
  *path = item.path;
  return noErr;
}

}  // namespace

void FSpCreateResFile(const FSSpec* fsRec, OSType creator, OSType fileType, ScriptCode scriptTag) {
  std::string path;
  OSErr err = itemPath(fsRec, &path);
  if (err == fnfErr) {
    err = FSpCreate(fsRec, creator, fileType, scriptTag);
    if (err == noErr) err = itemPath(fsRec, &path);
  }
  if (err != noErr) {
    velm_files::setResError(err);
    return;
  }
  velm_files::createResFileAtPath(path);
}

ResFileRefNum FSpOpenResFile(const FSSpec* fsRec, SInt8 permission) {
  std::string path;
  OSErr err = itemPath(fsRec, &path);
  if (err != noErr) {
    velm_files::setResError(err);
    return -1;
  }
  return velm_files::openResFileAtPath(path, permission);
}

OSErr FSpOpenRF(const FSSpec* fsRec, SInt8 permission, SInt16* refNum) {
  if (!refNum) return paramErr;
  *refNum = 0;
  std::string path;
  OSErr err = itemPath(fsRec, &path);
  if (err != noErr) return err;
  return velm_files::openRFAtPath(path, permission, refNum);
}

OSErr ResolveAlias(const FSSpec* fromFile, AliasHandle alias, FSSpec* target, Boolean* wasChanged) {
  if (wasChanged) *wasChanged = false;
  if (!alias || !target) return paramErr;
  Handle h = reinterpret_cast<Handle>(alias);
  Size size = GetHandleSize(h);
  if (MemError() != noErr || !*h) return paramErr;
  std::string path;
  OSErr err = velm_files::resolveAliasRecord(reinterpret_cast<const UInt8*>(*h), size_t(size), &path);
  if (err != noErr) return err;
  FSRef ref;
  OSStatus status = FSPathMakeRef(reinterpret_cast<const UInt8*>(path.c_str()), &ref, nullptr);
  if (status != noErr) return OSErr(status);
  FSSpec fsRec;
  err = FSGetCatalogInfo(&ref, kFSCatInfoNone, nullptr, nullptr, &fsRec, nullptr);
  if (err != noErr) return err;
  *target = fsRec;
  return noErr;
}
