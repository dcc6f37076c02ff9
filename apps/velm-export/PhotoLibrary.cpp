#include "Text.h"
#include "HeifMetadata.h"
#include "ImageIO.h"
#include "PhotoLibrary.h"

#include "HostFiles.h"
#include "checkSum.h"
#include "fileEngine.h"

#include <exiv2/exiv2.hpp>
#include <unicode/unistr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>

namespace fs = std::filesystem;

const char* const PhotoLibrary::kApplicationName = "Aperture";

using velmexport::cfString;
using velmexport::utf8;

namespace {

const char* const kCaptionTag = "Caption/Abstract";

// IPTC texts are UTF-8 when the record says so or when they are valid UTF-8; otherwise Latin-1.
std::string iptcText(const std::string& raw, bool declaredUTF8) {
  CFRef<CFStringRef> s = cfString(raw);
  if (declaredUTF8 || s) return s ? raw : std::string();
  CFRef<CFStringRef> latin(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(raw.data()),
                                                   static_cast<CFIndex>(raw.size()), kCFStringEncodingISOLatin1, false));
  return utf8(latin.get());
}

struct Metadata {
  std::optional<std::string> caption, title;
  std::optional<std::vector<std::string>> keywords;
};

// The x-default text of a language alternative (else its first), or the plain text.
std::optional<std::string> xmpText(const Exiv2::XmpData& xmp, const char* key) {
  auto it = xmp.findKey(Exiv2::XmpKey(key));
  if (it == xmp.end()) return std::nullopt;
  if (auto* alt = dynamic_cast<const Exiv2::LangAltValue*>(&it->value())) {
    auto d = alt->value_.find("x-default");
    if (d != alt->value_.end()) return d->second;
    if (!alt->value_.empty()) return alt->value_.begin()->second;
    return std::nullopt;
  }
  return it->toString();
}

std::optional<std::string> xmpDescription(const Exiv2::XmpData& xmp) { return xmpText(xmp, "Xmp.dc.description"); }

// Keywords photo managers keep for themselves, never meant for others.
bool isInternalKeyword(const std::string& k) { return k.rfind("darktable|", 0) == 0 || k == "darktable"; }

std::optional<std::vector<std::string>> xmpList(const Exiv2::XmpData& xmp, const char* key) {
  auto it = xmp.findKey(Exiv2::XmpKey(key));
  if (it == xmp.end()) return std::nullopt;
  std::vector<std::string> out;
  for (long i = 0; i < it->count(); ++i) out.push_back(it->toString(i));
  return out;
}

// The keywords of an XMP packet: the flat dc:subject, else the last level of each hierarchical
// keyword (lr:hierarchicalSubject "A|B|C", digiKam's TagsList "A/B/C"), without the internal
// ones and without repeats. Nothing when the packet has no keyword property at all.
std::optional<std::vector<std::string>> xmpSubjects(const Exiv2::XmpData& xmp) {
  bool any = false;
  std::vector<std::string> out;
  if (auto flat = xmpList(xmp, "Xmp.dc.subject")) {
    any = true;
    for (const auto& k : *flat)
      if (!isInternalKeyword(k)) out.push_back(k);
  }
  if (!out.empty()) return out;
  const std::pair<const char*, char> hierarchies[] = {{"Xmp.lr.hierarchicalSubject", '|'},
                                                      {"Xmp.digiKam.TagsList", '/'}};
  for (const auto& [key, separator] : hierarchies) {
    auto paths = xmpList(xmp, key);
    if (!paths) continue;
    any = true;
    for (const auto& path : *paths) {
      if (isInternalKeyword(path)) continue;
      std::string last = path.substr(path.rfind(separator) == std::string::npos ? 0 : path.rfind(separator) + 1);
      if (!last.empty() && std::find(out.begin(), out.end(), last) == out.end()) out.push_back(last);
    }
    if (!out.empty()) break;
  }
  if (!any) return std::nullopt;
  return out;
}

// HEIC and AVIF files are read too (Exiv2 leaves them off unless asked).
void enableAllFormats() {
  static const bool enabled = Exiv2::enableBMFF(true) || true;
  (void)enabled;
}

// What the file itself says: IPTC first, then XMP.
Metadata readPhoto(const std::string& path) {
  Metadata m;
  enableAllFormats();
  try {
    auto image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    const Exiv2::IptcData& iptc = image->iptcData();
    auto charset = iptc.findKey(Exiv2::IptcKey("Iptc.Envelope.CharacterSet"));
    bool declaredUTF8 = charset != iptc.end() && charset->toString() == "\x1b%G";
    std::vector<std::string> keywords;
    for (const auto& d : iptc) {
      if (d.key() == "Iptc.Application2.Caption" && !m.caption) m.caption = iptcText(d.toString(), declaredUTF8);
      if (d.key() == "Iptc.Application2.ObjectName" && !m.title) m.title = iptcText(d.toString(), declaredUTF8);
      if (d.key() == "Iptc.Application2.Keywords") {
        std::string k = iptcText(d.toString(), declaredUTF8);
        if (!isInternalKeyword(k)) keywords.push_back(k);
      }
    }
    if (!keywords.empty()) m.keywords = keywords;
    Exiv2::XmpData xmp = image->xmpData();
    if (xmp.empty() && image->imageType() == Exiv2::ImageType::bmff) {
      std::string packet = heifXmpPacket(path);
      if (!packet.empty() && Exiv2::XmpParser::decode(xmp, packet) != 0) xmp.clear();
    }
    if (!m.caption) m.caption = xmpDescription(xmp);
    if (!m.keywords) m.keywords = xmpSubjects(xmp);
    if (auto t = xmpText(xmp, "Xmp.dc.title")) m.title = t;
  } catch (const std::exception&) {
    // Unreadable metadata: the photo has no caption and no keywords.
  }
  return m;
}

// The sidecar's XMP, or nothing when there is no readable sidecar.
std::optional<Exiv2::XmpData> readSidecar(const std::string& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return std::nullopt;
  try {
    auto image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    return image->xmpData();
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

Metadata readMetadata(const std::string& photoPath) {
  Metadata m = readPhoto(photoPath);
  if (auto xmp = readSidecar(PhotoLibrary::sidecarPath(photoPath))) {
    if (auto c = xmpDescription(*xmp)) m.caption = c;
    if (auto k = xmpSubjects(*xmp)) m.keywords = k;
    if (auto t = xmpText(*xmp, "Xmp.dc.title")) m.title = t;
  }
  return m;
}

// Line breaks as Linux photo managers write them: CR LF and CR become LF.
std::string withLineFeeds(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// A version name on one line, without blanks at its ends.
std::string oneLineName(const std::string& text) {
  std::string out;
  for (char c : text) out.push_back(c == '\r' || c == '\n' || c == '\t' ? ' ' : c);
  size_t first = out.find_first_not_of(' '), last = out.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : out.substr(first, last - first + 1);
}

}  // namespace

std::string PhotoLibrary::readableName(const std::string& bytes) {
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size()))).toUTF8String(out);
  return out;
}

bool PhotoLibrary::isPhoto(const std::string& path) {
  CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(path.data()),
                                                              static_cast<CFIndex>(path.size()), false));
  if (!url) return false;
  CFRef<CGImageSourceRef> source(CGImageSourceCreateWithURL(url.get(), nullptr));
  return source && CGImageSourceGetCount(source.get()) > 0;
}

std::string PhotoLibrary::sidecarPath(const std::string& photoPath) {
  const std::string full = photoPath + ".xmp";
  fs::path p(photoPath);
  const std::string bare = p.has_extension() ? (p.parent_path() / (p.stem().string() + ".xmp")).string() : full;
  std::error_code ec;
  if (fs::exists(fs::symlink_status(full, ec))) return full;
  if (bare != photoPath && fs::exists(fs::symlink_status(bare, ec))) return bare;
  return full;
}

bool PhotoLibrary::add(const std::string& path, std::string* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(path.c_str(), R_OK) != 0) {
    if (error) *error = path + ": not a readable file";
    return false;
  }
  std::lock_guard<std::mutex> g(lock_);
  photos_.push_back(named(fs::absolute(path).string()));
  return true;
}

PhotoLibrary::Photo PhotoLibrary::named(const std::string& path) const {
  std::string base = readableName(oneLineName(readMetadata(path).title.value_or("")));
  if (base.empty()) base = readableName(fs::path(path).stem().string());
  std::string name = base;
  for (int n = 2; find(name) >= 0; ++n) name = base + " (" + std::to_string(n) + ")";
  return {path, name, readableName(fs::path(path).extension().string())};
}

void PhotoLibrary::retain(const std::vector<size_t>& indexes) {
  std::lock_guard<std::mutex> g(lock_);
  std::vector<Photo> old;
  old.swap(photos_);
  for (size_t i : indexes)
    if (i < old.size()) photos_.push_back(named(old[i].path));
}

void PhotoLibrary::setCaptionFilter(std::function<std::string(const std::string&)> filter) {
  std::lock_guard<std::mutex> g(lock_);
  captionFilter_ = std::move(filter);
}

std::string PhotoLibrary::checksum(size_t index) const {
  Photo p = photo(index);
  if (p.path.empty()) return "";
  {
    std::lock_guard<std::mutex> g(lock_);
    if (auto it = checksums_.find(p.path); it != checksums_.end()) return it->second;
  }
  CFRef<CFStringRef> path = cfString(p.path);
  FSRef ref;
  Checksum digest{};
  if (!path || feMakeFSRefFromPath(path.get(), &ref) != noErr || csGetCheckSum(ref, &digest, nullptr, nullptr) != 0)
    return "";
  std::string md5 = utf8(CFRef<CFStringRef>(csMakeStringFromChecksum(&digest)).get());
  std::lock_guard<std::mutex> g(lock_);
  checksums_[p.path] = md5;
  return md5;
}

size_t PhotoLibrary::count() const {
  std::lock_guard<std::mutex> g(lock_);
  return photos_.size();
}

PhotoLibrary::Photo PhotoLibrary::photo(size_t index) const {
  std::lock_guard<std::mutex> g(lock_);
  return index < photos_.size() ? photos_[index] : Photo{};
}

long PhotoLibrary::find(const std::string& versionName) const {
  for (size_t i = 0; i < photos_.size(); ++i)
    if (photos_[i].versionName == versionName) return static_cast<long>(i);
  return -1;
}

std::string PhotoLibrary::caption(size_t index) const {
  Photo p = photo(index);
  return p.path.empty() ? std::string() : readMetadata(p.path).caption.value_or("");
}

std::vector<std::string> PhotoLibrary::keywords(size_t index) const {
  Photo p = photo(index);
  return p.path.empty() ? std::vector<std::string>() : readMetadata(p.path).keywords.value_or(std::vector<std::string>());
}

std::string PhotoLibrary::captionSent(size_t index) const {
  std::string c = caption(index);
  std::function<std::string(const std::string&)> filter;
  {
    std::lock_guard<std::mutex> g(lock_);
    filter = captionFilter_;
  }
  return filter ? filter(c) : c;
}

std::vector<std::string> PhotoLibrary::keywordsSent(size_t index) const { return keywords(index); }

CFDictionaryRef PhotoLibrary::copyExportProperties(size_t index) const {
  Photo p = photo(index);
  if (p.path.empty()) return nullptr;
  Metadata m = readMetadata(p.path);
  {
    std::lock_guard<std::mutex> g(lock_);
    if (m.caption && captionFilter_) m.caption = captionFilter_(*m.caption);
  }
  CFRef<CFMutableDictionaryRef> props(
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(props.get(), CFSTR("kExportKeyVersionName"), cfString(p.versionName).get());
  CFRef<CFMutableDictionaryRef> iptc(
      CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  if (m.caption) {
    if (CFRef<CFStringRef> c = cfString(*m.caption)) CFDictionarySetValue(iptc.get(), CFSTR("Caption/Abstract"), c.get());
  }
  CFDictionarySetValue(props.get(), CFSTR("kExportKeyIPTCProperties"), iptc.get());
  CFRef<CFMutableArrayRef> keywords(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
  for (const auto& k : m.keywords.value_or(std::vector<std::string>()))
    if (CFRef<CFStringRef> s = cfString(k)) CFArrayAppendValue(keywords.get(), s.get());
  CFDictionarySetValue(props.get(), CFSTR("kExportKeyKeywords"), keywords.get());
  return props.release();
}

// ---------------------------------------------------------------------------------------------
// Scripting

bool PhotoLibrary::respondsToApplicationName(CFStringRef name) { return utf8(name) == kApplicationName; }

bool PhotoLibrary::hasImageVersion(CFStringRef versionName) {
  std::lock_guard<std::mutex> g(lock_);
  return find(utf8(versionName)) >= 0;
}

OSStatus PhotoLibrary::copyIPTCTagValue(CFStringRef versionName, CFStringRef tagName, CFStringRef* value) {
  if (!value) return paramErr;
  *value = nullptr;
  std::string path;
  {
    std::lock_guard<std::mutex> g(lock_);
    long i = find(utf8(versionName));
    if (i < 0) return errAENoSuchObject;
    path = photos_[static_cast<size_t>(i)].path;
  }
  if (utf8(tagName) != kCaptionTag) return errAENoSuchObject;
  auto caption = readMetadata(path).caption;
  if (!caption) return errAENoSuchObject;
  *value = cfString(*caption).release();
  return *value ? OSStatus{noErr} : OSStatus{errAENoSuchObject};
}

OSStatus PhotoLibrary::makeIPTCTag(CFStringRef versionName, CFStringRef tagName, CFStringRef value) {
  if (utf8(tagName) != kCaptionTag) return errAEWriteDenied;
  return writeCaption(utf8(versionName), utf8(value));
}

OSStatus PhotoLibrary::setIPTCTagValue(CFStringRef versionName, CFStringRef tagName, CFStringRef value) {
  if (utf8(tagName) != kCaptionTag) return errAENoSuchObject;
  return writeCaption(utf8(versionName), utf8(value));
}

OSStatus PhotoLibrary::writeCaption(const std::string& versionName, const std::string& value) {
  std::lock_guard<std::mutex> g(lock_);
  long i = find(versionName);
  if (i < 0) return errAENoSuchObject;
  const std::string photoPath = photos_[static_cast<size_t>(i)].path;
  const std::string sidecar = sidecarPath(photoPath);
  Exiv2::XmpData xmp;
  std::error_code ec;
  if (fs::exists(fs::symlink_status(sidecar, ec))) {
    auto existing = readSidecar(sidecar);
    if (!existing) return errAEWriteDenied;  // never replace a sidecar we cannot read
    xmp = *existing;
  }
  std::string packet;
  try {
    // The caption's other languages stay: only its default text changes. A new sidecar starts
    // from the languages the photo itself holds.
    const Exiv2::XmpKey key("Xmp.dc.description");
    Exiv2::LangAltValue text;
    auto it = xmp.findKey(key);
    if (it == xmp.end()) {
      enableAllFormats();
      try {
        auto image = Exiv2::ImageFactory::open(photoPath);
        image->readMetadata();
        auto own = image->xmpData().findKey(key);
        if (own != image->xmpData().end())
          if (auto* alt = dynamic_cast<const Exiv2::LangAltValue*>(&own->value())) text.value_ = alt->value_;
      } catch (const std::exception&) {
        // The photo's own XMP cannot be read: the caption starts with the default text alone.
      }
    } else {
      if (auto* alt = dynamic_cast<const Exiv2::LangAltValue*>(&it->value())) text.value_ = alt->value_;
      xmp.erase(it);
    }
    text.value_["x-default"] = withLineFeeds(value);
    xmp.add(key, &text);
    if (Exiv2::XmpParser::encode(packet, xmp) != 0) return errAEWriteDenied;
  } catch (const std::exception&) {
    return errAEWriteDenied;
  }
  return velmexport::replaceFile(sidecar, packet, 0666, true) ? OSStatus{noErr} : OSStatus{errAEWriteDenied};
}

void PhotoLibrary::clear() {
  std::lock_guard<std::mutex> g(lock_);
  photos_.clear();
  // A photo may have changed since: its checksum is made again when asked for.
  checksums_.clear();
}
