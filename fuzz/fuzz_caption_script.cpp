// libFuzzer target for the caption script's compiler and interpreter, run against a scripted
// host: one application that answers to any name, one image version "IMG_1" with IPTC tags
// kept in memory.
//
// The input is the script's source text (UTF-8).
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "CFRef.h"
#include "CoreFoundation.h"
#include "NSAppleScript.h"

namespace {

std::string utf8(CFStringRef s) {
  if (!s) return {};
  CFIndex length = CFStringGetLength(s);
  CFIndex bytes = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
  std::string out(static_cast<std::size_t>(bytes), '\0');
  if (!CFStringGetCString(s, out.data(), bytes, kCFStringEncodingUTF8)) return {};
  out.resize(std::char_traits<char>::length(out.c_str()));
  return out;
}

class ScriptedHost : public NSAppleScriptTarget {
 public:
  std::map<std::string, std::string> tags;

  bool respondsToApplicationName(CFStringRef) override { return true; }
  bool hasImageVersion(CFStringRef versionName) override { return utf8(versionName) == "IMG_1"; }
  OSStatus copyIPTCTagValue(CFStringRef versionName, CFStringRef tagName, CFStringRef* value) override {
    if (!hasImageVersion(versionName)) return errAENoSuchObject;
    auto it = tags.find(utf8(tagName));
    if (it == tags.end()) return errAENoSuchObject;
    *value = CFStringCreateWithCString(nullptr, it->second.c_str(), kCFStringEncodingUTF8);
    return noErr;
  }
  OSStatus makeIPTCTag(CFStringRef versionName, CFStringRef tagName, CFStringRef value) override {
    if (!hasImageVersion(versionName)) return errAENoSuchObject;
    tags[utf8(tagName)] = utf8(value);
    return noErr;
  }
  OSStatus setIPTCTagValue(CFStringRef versionName, CFStringRef tagName, CFStringRef value) override {
    if (!hasImageVersion(versionName)) return errAENoSuchObject;
    auto it = tags.find(utf8(tagName));
    if (it == tags.end()) return errAENoSuchObject;
    it->second = utf8(value);
    return noErr;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CFRef<CFStringRef> source(CFStringCreateWithBytes(nullptr, data, static_cast<CFIndex>(size),
                                                    kCFStringEncodingUTF8, false));
  if (!source) return 0;
  ScriptedHost host;
  host.tags["Caption/Abstract"] = "At the river";
  NSAppleScriptSetScriptingTarget(&host);
  {
    NSAppleScript script;
    script.initWithSource(source.get());
    CFDictionaryRef error = nullptr;
    if (script.compileAndReturnError(&error)) {
      if (error) CFRelease(error);
      error = nullptr;
      CFTypeRef result = script.executeAndReturnError(&error);
      if (result) CFRelease(result);
    }
    if (error) CFRelease(error);
  }
  NSAppleScriptSetScriptingTarget(nullptr);
  return 0;
}
