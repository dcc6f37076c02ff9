// CoreFoundation bundles: folders with an Info.plist and localized string tables.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CFInternal.h"

using namespace cfimpl;
namespace fs = std::filesystem;

const CFStringRef kCFBundleIdentifierKey = CFSTR("CFBundleIdentifier");
const CFStringRef kCFBundleDevelopmentRegionKey = CFSTR("CFBundleDevelopmentRegion");
const CFStringRef kCFBundleNameKey = CFSTR("CFBundleName");
const CFStringRef kCFBundleExecutableKey = CFSTR("CFBundleExecutable");

struct __CFBundle : Object {
  __CFBundle() : Object(kTypeBundle) {}
  fs::path root;
  fs::path resources;
  CFRef<CFDictionaryRef> info;
  std::optional<std::string> localization;  // chosen .lproj name, without the extension
  std::map<std::string, CFRef<CFDictionaryRef>> tables;  // "<lproj>/<table>" -> entries
};

namespace {

std::recursive_mutex gBundleLock;
std::vector<CFBundleRef>& registry() {
  static auto* bundles = new std::vector<CFBundleRef>();
  return *bundles;
}

std::optional<std::string> readFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

CFPropertyListRef readPropertyList(const std::string& bytes) {
  CFRef<CFDataRef> data(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                                     static_cast<CFIndex>(bytes.size())));
  return CFPropertyListCreateWithData(nullptr, data.get(), kCFPropertyListImmutable, nullptr, nullptr);
}

// ---- .strings files: "key" = "value"; with // and /* */ comments.

class StringsParser {
 public:
  explicit StringsParser(std::u16string text) : s_(std::move(text)) {}

  CFDictionaryRef parse() {
    CFRef<CFMutableDictionaryRef> d(
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    while (true) {
      skip();
      if (i_ >= s_.size()) break;
      auto key = token();
      if (!key) return nullptr;
      skip();
      std::u16string value = *key;
      if (i_ < s_.size() && s_[i_] == u'=') {
        ++i_;
        skip();
        auto v = token();
        if (!v) return nullptr;
        value = *v;
        skip();
      }
      if (i_ >= s_.size() || s_[i_] != u';') return nullptr;
      ++i_;
      CFRef<CFStringRef> k(makeString(std::move(*key)));
      CFRef<CFStringRef> v(makeString(std::move(value)));
      CFDictionarySetValue(d.get(), k.get(), v.get());
    }
    return d.release();
  }

 private:
  void skip() {
    while (i_ < s_.size()) {
      char16_t c = s_[i_];
      if (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == 0xFEFF) {
        ++i_;
      } else if (c == u'/' && i_ + 1 < s_.size() && s_[i_ + 1] == u'/') {
        while (i_ < s_.size() && s_[i_] != u'\n') ++i_;
      } else if (c == u'/' && i_ + 1 < s_.size() && s_[i_ + 1] == u'*') {
        size_t end = s_.find(u"*/", i_ + 2);
        i_ = end == std::u16string::npos ? s_.size() : end + 2;
      } else {
        break;
      }
    }
  }
  static bool unquotedChar(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' ||
           c == u'$' || c == u'+' || c == u'/' || c == u':' || c == u'.' || c == u'-';
  }
  static int hex(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
  }
  std::optional<std::u16string> token() {
    if (i_ >= s_.size()) return std::nullopt;
    if (s_[i_] != u'"') {
      size_t start = i_;
      while (i_ < s_.size() && unquotedChar(s_[i_])) ++i_;
      if (i_ == start) return std::nullopt;
      return s_.substr(start, i_ - start);
    }
    ++i_;
    std::u16string out;
    while (i_ < s_.size() && s_[i_] != u'"') {
      char16_t c = s_[i_++];
      if (c != u'\\') {
        out.push_back(c);
        continue;
      }
      if (i_ >= s_.size()) return std::nullopt;
      char16_t e = s_[i_++];
      switch (e) {
        case u'n': out.push_back(u'\n'); break;
        case u't': out.push_back(u'\t'); break;
        case u'r': out.push_back(u'\r'); break;
        case u'a': out.push_back(u'\a'); break;
        case u'b': out.push_back(u'\b'); break;
        case u'f': out.push_back(u'\f'); break;
        case u'v': out.push_back(u'\v'); break;
        case u'U':
        case u'u': {
          int v = 0;
          for (int k = 0; k < 4; ++k) {
            if (i_ >= s_.size() || hex(s_[i_]) < 0) return std::nullopt;
            v = v * 16 + hex(s_[i_++]);
          }
          out.push_back(static_cast<char16_t>(v));
          break;
        }
        default:
          if (e >= u'0' && e <= u'7') {
            int v = e - u'0';
            for (int k = 0; k < 2 && i_ < s_.size() && s_[i_] >= u'0' && s_[i_] <= u'7'; ++k) v = v * 8 + (s_[i_++] - u'0');
            out.push_back(static_cast<char16_t>(v));
          } else {
            out.push_back(e);  // \" \\ \' and anything else stand for themselves
          }
      }
    }
    if (i_ >= s_.size()) return std::nullopt;
    ++i_;
    return out;
  }

  std::u16string s_;
  size_t i_ = 0;
};

}  // namespace

CFDictionaryRef cfimpl::stringsTableCreateWithData(const std::string& b) {
  if (b.rfind("bplist", 0) == 0 || b.rfind("<?xml", 0) == 0 || b.rfind("<!DOCTYPE", 0) == 0 || b.rfind("<plist", 0) == 0) {
    CFRef<CFPropertyListRef> pl(readPropertyList(b));
    if (!isA(pl.get(), kTypeDictionary)) return nullptr;
    return static_cast<CFDictionaryRef>(CFRetain(pl.get()));
  }
  CFRef<CFStringRef> text;
  if (b.size() >= 2 && ((b[0] == '\xFF' && b[1] == '\xFE') || (b[0] == '\xFE' && b[1] == '\xFF'))) {
    text.reset(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(b.data()), static_cast<CFIndex>(b.size()),
                                       kCFStringEncodingUTF16, true));
  } else {
    text.reset(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(b.data()), static_cast<CFIndex>(b.size()),
                                       kCFStringEncodingUTF8, true));
    if (!text)
      text.reset(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(b.data()),
                                         static_cast<CFIndex>(b.size()), kCFStringEncodingMacRoman, false));
  }
  if (!text) return nullptr;
  return StringsParser(units(text.get())).parse();
}

namespace {

CFDictionaryRef readStringsTable(const fs::path& p) {
  auto bytes = readFile(p);
  if (!bytes) return nullptr;
  return stringsTableCreateWithData(*bytes);
}

// Legacy language folder names to language codes.
std::string languageCode(const std::string& name) {
  static const std::map<std::string, std::string> legacy = {
      {"English", "en"}, {"German", "de"},  {"French", "fr"}, {"Japanese", "ja"}, {"Spanish", "es"},
      {"Italian", "it"}, {"Dutch", "nl"},   {"Swedish", "sv"}, {"Danish", "da"},  {"Norwegian", "no"},
      {"Finnish", "fi"}, {"Portuguese", "pt"}};
  auto it = legacy.find(name);
  std::string code = it == legacy.end() ? name : it->second;
  for (auto& c : code)
    if (c == '-') c = '_';
  return code;
}

std::string toString(CFStringRef s) {
  std::string out;
  if (s) toUTF8(units(s), out);
  return out;
}

// Picks the .lproj folder for the user's preferred languages.
std::string chooseLocalization(__CFBundle* b) {
  std::vector<std::string> available;  // folder names without ".lproj"
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(b->resources, ec)) {
    const fs::path& p = entry.path();
    if (p.extension() == ".lproj" && entry.is_directory(ec)) available.push_back(p.stem().string());
  }
  auto find = [&](const std::string& want) -> std::optional<std::string> {
    for (const auto& a : available)
      if (languageCode(a) == want) return a;
    return std::nullopt;
  };
  auto match = [&](std::string lang) -> std::optional<std::string> {
    lang = languageCode(lang);
    if (auto a = find(lang)) return a;
    size_t cut = lang.find('_');
    if (cut != std::string::npos) return find(lang.substr(0, cut));
    return std::nullopt;
  };
  CFRef<CFArrayRef> prefs(CFLocaleCopyPreferredLanguages());
  for (CFIndex i = 0; i < CFArrayGetCount(prefs.get()); ++i)
    if (auto a = match(toString(static_cast<CFStringRef>(CFArrayGetValueAtIndex(prefs.get(), i))))) return *a;
  auto dev = static_cast<CFStringRef>(CFDictionaryGetValue(b->info.get(), kCFBundleDevelopmentRegionKey));
  if (isA(dev, kTypeString))
    if (auto a = match(toString(dev))) return *a;
  if (auto a = match("en")) return *a;
  if (!available.empty()) return available.front();
  return "en";
}

CFDictionaryRef table(__CFBundle* b, const std::string& lproj, const std::string& name) {
  std::string key = lproj + "/" + name;
  auto it = b->tables.find(key);
  if (it != b->tables.end()) return it->second.get();
  fs::path p = lproj.empty() ? b->resources / (name + ".strings") : b->resources / (lproj + ".lproj") / (name + ".strings");
  CFRef<CFDictionaryRef> t(readStringsTable(p));
  CFDictionaryRef raw = t.get();
  b->tables.emplace(key, std::move(t));
  return raw;
}

const std::string& localization(__CFBundle* b) {
  if (!b->localization) b->localization = chooseLocalization(b);
  return *b->localization;
}

__CFBundle* openBundle(const fs::path& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return nullptr;
  fs::path root = fs::weakly_canonical(folder, ec);
  if (ec) root = folder;
  std::lock_guard<std::recursive_mutex> lock(gBundleLock);
  for (CFBundleRef existing : registry())
    if (existing->root == root) return static_cast<__CFBundle*>(const_cast<void*>(CFRetain(existing)));
  auto* b = new __CFBundle();
  b->root = root;
  fs::path infoPath;
  if (fs::exists(root / "Contents", ec)) {
    b->resources = root / "Contents" / "Resources";
    infoPath = root / "Contents" / "Info.plist";
  } else {
    b->resources = root;
    infoPath = root / "Info.plist";
  }
  if (auto bytes = readFile(infoPath)) {
    CFRef<CFPropertyListRef> pl(readPropertyList(*bytes));
    if (isA(pl.get(), kTypeDictionary)) b->info.reset(static_cast<CFDictionaryRef>(CFRetain(pl.get())));
  }
  if (!b->info)
    b->info.reset(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks));
  CFRetain(b);  // the registry's reference: bundles stay loaded for the life of the process
  registry().push_back(b);
  return b;
}

fs::path mainBundlePath() {
  if (const char* over = getenv("CF_MAIN_BUNDLE_PATH"); over && *over) return over;
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path().parent_path() / "share" / exe.filename();
}

}  // namespace

CFBundleRef CFBundleGetMainBundle() {
  static CFBundleRef main = [] {
    fs::path p = mainBundlePath();
    __CFBundle* b = openBundle(p);
    if (!b) {
      // No resource folder: an empty bundle.
      b = new __CFBundle();
      b->root = p;
      b->resources = p;
      b->info.reset(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                       &kCFTypeDictionaryValueCallBacks));
      return static_cast<CFBundleRef>(b);
    }
    CFRelease(b);  // the registry keeps it
    return static_cast<CFBundleRef>(b);
  }();
  return main;
}

CFBundleRef CFBundleCreate(CFAllocatorRef, CFURLRef url) {
  CFRef<CFStringRef> path(CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle));
  if (!path) return nullptr;
  return openBundle(toString(path.get()));
}

CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef bundleID) {
  if (!bundleID) return nullptr;
  CFBundleGetMainBundle();
  std::lock_guard<std::recursive_mutex> lock(gBundleLock);
  for (CFBundleRef b : registry())
    if (CFEqual(CFBundleGetIdentifier(b), bundleID)) return b;
  return nullptr;
}

CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef b) { return b ? b->info.get() : nullptr; }

CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef b, CFStringRef key) {
  return b ? CFDictionaryGetValue(b->info.get(), key) : nullptr;
}

CFStringRef CFBundleGetIdentifier(CFBundleRef b) {
  auto id = static_cast<CFTypeRef>(CFBundleGetValueForInfoDictionaryKey(b, kCFBundleIdentifierKey));
  return isA(id, kTypeString) ? static_cast<CFStringRef>(id) : nullptr;
}

CFURLRef CFBundleCopyBundleURL(CFBundleRef b) {
  if (!b) return nullptr;
  std::string p = b->root.string();
  return CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(p.data()),
                                                 static_cast<CFIndex>(p.size()), true);
}

CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef b) {
  if (!b) return nullptr;
  std::string p = b->resources.string();
  return CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(p.data()),
                                                 static_cast<CFIndex>(p.size()), true);
}

CFURLRef CFBundleCopyResourceURL(CFBundleRef b, CFStringRef name, CFStringRef type, CFStringRef subDir) {
  if (!b || !name) return nullptr;
  std::string file = toString(name);
  std::string ext = toString(type);
  if (!ext.empty()) file += (ext[0] == '.' ? "" : ".") + ext;
  std::string sub = toString(subDir);
  std::lock_guard<std::recursive_mutex> lock(gBundleLock);
  auto* mb = const_cast<__CFBundle*>(static_cast<const __CFBundle*>(b));
  std::vector<fs::path> candidates = {mb->resources / (localization(mb) + ".lproj") / sub / file, mb->resources / sub / file};
  std::error_code ec;
  for (const auto& c : candidates) {
    if (fs::exists(c, ec)) {
      std::string p = c.lexically_normal().string();
      return CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(p.data()),
                                                     static_cast<CFIndex>(p.size()), fs::is_directory(c, ec));
    }
  }
  return nullptr;
}

CFStringRef CFBundleCopyLocalizedString(CFBundleRef b, CFStringRef key, CFStringRef value, CFStringRef tableName) {
  auto fallback = [&]() -> CFStringRef {
    if (value && CFStringGetLength(value) > 0) return static_cast<CFStringRef>(CFRetain(value));
    if (key) return static_cast<CFStringRef>(CFRetain(key));
    return makeString(u"");
  };
  if (!b || !key) return fallback();
  std::string name = tableName ? toString(tableName) : "Localizable";
  std::lock_guard<std::recursive_mutex> lock(gBundleLock);
  auto* mb = const_cast<__CFBundle*>(static_cast<const __CFBundle*>(b));
  std::vector<std::string> places = {localization(mb), ""};
  auto dev = static_cast<CFStringRef>(CFDictionaryGetValue(mb->info.get(), kCFBundleDevelopmentRegionKey));
  if (isA(dev, kTypeString)) places.push_back(toString(dev));
  for (const auto& lproj : places) {
    auto v = static_cast<CFTypeRef>(CFDictionaryGetValue(table(mb, lproj, name), key));
    if (isA(v, kTypeString)) return static_cast<CFStringRef>(CFRetain(v));
  }
  return fallback();
}

CFStringRef CFBundleCopyLocalizationInUse(CFBundleRef b) {
  if (!b) return nullptr;
  std::lock_guard<std::recursive_mutex> lock(gBundleLock);
  auto* mb = const_cast<__CFBundle*>(static_cast<const __CFBundle*>(b));
  return makeString(fromASCII(languageCode(localization(mb))));
}
