// The photo library of velm-export: the photos named on the command line, with their version
// names, captions and keywords, and the object model the plug-in's scripts run against.
//
// Captions, titles and keywords are read from the photo (IPTC, then XMP; HEIC too) and from its
// XMP sidecar, the sidecar winning. Sidecars come in two conventions: "NAME.ext.xmp" (digiKam,
// darktable) and "NAME.xmp" (Lightroom, RawTherapee); when both exist the first is the one.
// Keywords are the flat dc:subject, else the last level of the hierarchical ones
// (lr:hierarchicalSubject, digiKam's TagsList); darktable's internal "darktable|..." tags are
// never keywords.
//
// Changes made by scripts go into the sidecar only (the one that exists, else a new
// "NAME.ext.xmp"): the photo file itself is never written. The sidecar is replaced atomically
// and keeps every other property it held; a caption keeps its other languages, and its line
// breaks are written as line feeds.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "CoreFoundation.h"
#include "NSAppleScript.h"

class PhotoLibrary : public NSAppleScriptTarget {
 public:
  struct Photo {
    std::string path;
    std::string versionName;  // the title (XMP dc:title, IPTC object name), else the file name
                              // without its extension; made unique
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
  // The caption and keywords as they are handed to the plug-in: the caption through the
  // caption filter.
  std::string captionSent(size_t index) const;
  std::vector<std::string> keywordsSent(size_t index) const;
  // What the caption handed to the plug-in leaves out (the lines holding earlier page
  // addresses of the service); none by default. Set it before the export begins.
  void setCaptionFilter(std::function<std::string(const std::string&)> filter);

  // The lower-case hex MD5 of the photo file's bytes (csGetCheckSum); "" when it cannot be
  // read. Computed once per path.
  std::string checksum(size_t index) const;

  // Keeps only the photos at these indexes (in the order given), their version names made
  // unique among them again.
  void retain(const std::vector<size_t>& indexes);

  // The photo's sidecar: "NAME.ext.xmp" when it exists, else "NAME.xmp" when that exists, else
  // "NAME.ext.xmp" (where a new one goes).
  static std::string sidecarPath(const std::string& photoPath);
  // Whether the image layer reads the file as a photo (sidecars, texts and empty files are not).
  static bool isPhoto(const std::string& path);
  // The name scripts address the host by.
  static const char* const kApplicationName;

  // NSAppleScriptTarget
  bool respondsToApplicationName(CFStringRef name) override;
  bool hasImageVersion(CFStringRef versionName) override;
  OSStatus copyIPTCTagValue(CFStringRef versionName, CFStringRef tagName, CFStringRef* value) override;
  OSStatus makeIPTCTag(CFStringRef versionName, CFStringRef tagName, CFStringRef value) override;
  OSStatus setIPTCTagValue(CFStringRef versionName, CFStringRef tagName, CFStringRef value) override;

 private:
  long find(const std::string& versionName) const;
  Photo named(const std::string& path) const;  // a new photo of the path, its name unique here
  OSStatus writeCaption(const std::string& versionName, const std::string& value);

  mutable std::mutex lock_;
  std::vector<Photo> photos_;
  std::function<std::string(const std::string&)> captionFilter_;
  mutable std::map<std::string, std::string> checksums_;
};
