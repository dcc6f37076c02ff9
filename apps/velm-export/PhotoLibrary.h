// The photo library of velm-export: the photos named on the command line, with their version
// names, captions and keywords, and the object model the plug-in's scripts run against.
//
// Captions and keywords are read from the photo (IPTC, then XMP) and from its XMP sidecar
// "<photo>.xmp" (the convention of Linux photo managers), the sidecar winning. Changes made by
// scripts go into the sidecar only: the photo file itself is never written. The sidecar is
// replaced atomically and keeps every other property it held.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "CoreFoundation.h"
#include "NSAppleScript.h"

class PhotoLibrary : public NSAppleScriptTarget {
 public:
  struct Photo {
    std::string path;
    std::string versionName;  // the file name without its extension, made unique
    std::string extension;    // the file name's extension with its dot ("" when none)
  };

  // The bytes as UTF-8 text: well-formed UTF-8 stays as it is, every ill-formed sequence
  // becomes U+FFFD, so that a file name of any bytes has a readable name.
  static std::string readableName(const std::string& bytes);

  // Adds a photo file. False, with a reason, when it is not a readable file.
  bool add(const std::string& path, std::string* error);
  size_t count() const;
  Photo photo(size_t index) const;

  // The export properties of a photo, as the host hands them to the plug-in: the version name
  // under "kExportKeyVersionName", a dictionary with "Caption/Abstract" (when the photo has a
  // caption) under "kExportKeyIPTCProperties", and an array of keywords under
  // "kExportKeyKeywords". Null for an index outside the library.
  CFDictionaryRef copyExportProperties(size_t index) const;

  // The photo's caption ("" when it has none) and keywords, as the library sees them now.
  std::string caption(size_t index) const;
  std::vector<std::string> keywords(size_t index) const;

  static std::string sidecarPath(const std::string& photoPath);
  // Whether the image layer reads the file as a photo (sidecars, texts and empty files are not).
  static bool isPhoto(const std::string& path);
  // The name scripts address the host by.
  static const char* const kApplicationName;
  // Forgets every photo, so that a host can export another choice of photos through the same
  // plug-in (a window whose list changes between exports).
  void clear();

  // NSAppleScriptTarget
  bool respondsToApplicationName(CFStringRef name) override;
  bool hasImageVersion(CFStringRef versionName) override;
  OSStatus copyIPTCTagValue(CFStringRef versionName, CFStringRef tagName, CFStringRef* value) override;
  OSStatus makeIPTCTag(CFStringRef versionName, CFStringRef tagName, CFStringRef value) override;
  OSStatus setIPTCTagValue(CFStringRef versionName, CFStringRef tagName, CFStringRef value) override;

 private:
  long find(const std::string& versionName) const;
  OSStatus writeCaption(const std::string& versionName, const std::string& value);

  mutable std::mutex lock_;
  std::vector<Photo> photos_;
};
