// Plug-in bundles: their shared objects loaded with dlopen, their principal objects made by the
// factory that Info.plist names.
#include "PlugInBundle.h"

#include <dlfcn.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "NSLog.h"

const CFStringRef kExportKeyVersionName = CFSTR("kExportKeyVersionName");
const CFStringRef kExportKeyIPTCProperties = CFSTR("kExportKeyIPTCProperties");
const CFStringRef kExportKeyKeywords = CFSTR("kExportKeyKeywords");

namespace {

std::recursive_mutex gLoadLock;
std::map<CFBundleRef, void*>& handles() {
  static auto* h = new std::map<CFBundleRef, void*>();
  return *h;
}

std::string utf8(CFStringRef s) {
  if (!s) return {};
  CFIndex size = CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8) + 1;
  std::string out(static_cast<size_t>(size), '\0');
  if (!CFStringGetCString(s, out.data(), size, kCFStringEncodingUTF8)) return {};
  out.resize(strlen(out.c_str()));
  return out;
}

CFStringRef infoText(CFBundleRef bundle, const char* key) {
  CFRef<CFStringRef> k(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
  CFTypeRef value = CFBundleGetValueForInfoDictionaryKey(bundle, k.get());
  return value && CFGetTypeID(value) == CFStringGetTypeID() ? static_cast<CFStringRef>(value) : nullptr;
}

void logFailure(const char* what, CFBundleRef bundle, const std::string& detail) {
  CFRef<CFURLRef> url(CFBundleCopyBundleURL(bundle));
  CFRef<CFStringRef> path(url ? CFURLCopyFileSystemPath(url.get(), kCFURLPOSIXPathStyle) : nullptr);
  CFRef<CFStringRef> d(CFStringCreateWithCString(nullptr, detail.c_str(), kCFStringEncodingUTF8));
  CFRef<CFStringRef> w(CFStringCreateWithCString(nullptr, what, kCFStringEncodingUTF8));
  NSLog(CFSTR("Plug-in bundle %@: %@ %@"), path.get(), w.get(), d.get());
}

}  // namespace

Boolean CFBundleLoadExecutable(CFBundleRef bundle) {
  if (!bundle) return false;
  std::lock_guard<std::recursive_mutex> lock(gLoadLock);
  if (handles().count(bundle)) return true;
  std::string executable = utf8(infoText(bundle, "CFBundleExecutable"));
  if (executable.empty() || executable.find('/') != std::string::npos) {
    logFailure("names no executable", bundle, "");
    return false;
  }
  CFRef<CFURLRef> url(CFBundleCopyBundleURL(bundle));
  CFRef<CFStringRef> root(url ? CFURLCopyFileSystemPath(url.get(), kCFURLPOSIXPathStyle) : nullptr);
  std::string path = utf8(root.get()) + "/Contents/Linux/" + executable;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    logFailure("cannot load its executable:", bundle, why ? why : path);
    return false;
  }
  handles()[bundle] = handle;
  return true;
}

void* CFBundleGetFunctionPointerForName(CFBundleRef bundle, CFStringRef functionName) {
  if (!functionName || !CFBundleLoadExecutable(bundle)) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(gLoadLock);
  std::string name = utf8(functionName);
  return name.empty() ? nullptr : dlsym(handles()[bundle], name.c_str());
}

CFBundleRef NSBundleForClass(const char* className) {
  if (className) {
    std::lock_guard<std::recursive_mutex> lock(gLoadLock);
    for (const auto& [bundle, handle] : handles())
      if (utf8(infoText(bundle, "NSPrincipalClass")) == className) return bundle;
  }
  return CFBundleGetMainBundle();
}

CFBundleRef PlugInLoadBundle(CFStringRef bundlePath) {
  std::string path = utf8(bundlePath);
  if (path.empty()) return nullptr;
  CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.data()),
                                                              static_cast<CFIndex>(path.size()), true));
  CFRef<CFBundleRef> bundle(CFBundleCreate(nullptr, url.get()));
  if (!bundle) {
    CFRef<CFStringRef> p(CFStringCreateWithCString(nullptr, path.c_str(), kCFStringEncodingUTF8));
    NSLog(CFSTR("Plug-in bundle %@: no such folder"), p.get());
    return nullptr;
  }
  if (!CFBundleGetIdentifier(bundle.get())) {
    logFailure("has no identifier in Contents/Info.plist", bundle.get(), "");
    return nullptr;
  }
  if (!CFBundleLoadExecutable(bundle.get())) return nullptr;
  return bundle.get();  // bundles stay registered (and loaded) for the life of the process
}

std::unique_ptr<ApertureExportPlugIn> PlugInCreatePrincipalObject(CFBundleRef bundle, PROAPIManager* apiManager) {
  CFStringRef factoryName = infoText(bundle, "PlugInFactory");
  auto factory = reinterpret_cast<ApertureExportPlugInFactory>(CFBundleGetFunctionPointerForName(bundle, factoryName));
  if (!factory) {
    logFailure("has no factory named by PlugInFactory", bundle, utf8(factoryName));
    return nullptr;
  }
  return std::unique_ptr<ApertureExportPlugIn>(factory(apiManager));
}
