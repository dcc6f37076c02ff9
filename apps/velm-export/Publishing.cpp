#include "Publishing.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <unistd.h>

#include "Foundation.h"
#include "Renderer.h"
#include "Text.h"
#include "gps.h"

namespace fs = std::filesystem;

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool isNumericHost(const std::string& host) {
  if (host.empty()) return false;
  if (host.front() == '[') return true;  // IPv6
  return std::all_of(host.begin(), host.end(), [](unsigned char c) { return std::isdigit(c) || c == '.'; });
}

// example.com for www.example.com; the host itself when it has fewer than three labels.
std::string domainOf(const std::string& host) {
  size_t last = host.rfind('.');
  if (last == std::string::npos || last == 0) return host;
  size_t before = host.rfind('.', last - 1);
  return before == std::string::npos ? host : host.substr(before + 1);
}

// The lines of a text, each without its line end.
std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line.push_back(c);
    }
  }
  lines.push_back(line);
  return lines;
}

bool blank(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isspace(c); });
}

}  // namespace

ServicePages::ServicePages(const std::string& service, const std::vector<std::string>& knownAddresses) {
  parseOrigin(service, &service_);
  for (const auto& a : knownAddresses) {
    Origin o;
    if (parseOrigin(a, &o)) known_.push_back(o);
  }
}

bool ServicePages::parseOrigin(const std::string& address, Origin* origin) {
  std::string text = lower(address);
  size_t start;
  std::string defaultPort;
  if (text.rfind("http://", 0) == 0) start = 7, defaultPort = "80";
  else if (text.rfind("https://", 0) == 0) start = 8, defaultPort = "443";
  else return false;
  size_t end = text.find_first_of("/?# \t\r\n", start);
  std::string authority = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (size_t at = authority.rfind('@'); at != std::string::npos) authority = authority.substr(at + 1);
  std::string host = authority, port = defaultPort;
  size_t colon = authority.rfind(':');
  if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (host.empty()) return false;
  *origin = {host, port};
  return true;
}

bool ServicePages::isServiceOrigin(const Origin& o) const {
  auto same = [&](const Origin& s) {
    if (s.host.empty()) return false;
    if (o.host == s.host && o.port == s.port) return true;
    if (isNumericHost(o.host) || isNumericHost(s.host)) return false;
    if (o.host.find('.') == std::string::npos || s.host.find('.') == std::string::npos) return o.host == s.host;
    return domainOf(o.host) == domainOf(s.host);
  };
  if (same(service_)) return true;
  return std::any_of(known_.begin(), known_.end(), [&](const Origin& k) { return o.host == k.host && o.port == k.port; });
}

std::string ServicePages::firstAddress(const std::string& text) const {
  std::string low = lower(text);
  for (size_t at = 0; at < low.size();) {
    size_t http = low.find("http", at);
    if (http == std::string::npos) break;
    Origin o;
    if (parseOrigin(text.substr(http), &o) && isServiceOrigin(o)) {
      size_t end = text.find_first_of(" \t\r\n\"'<>", http);
      return text.substr(http, end == std::string::npos ? std::string::npos : end - http);
    }
    at = http + 4;
  }
  return "";
}

std::string ServicePages::withoutAddresses(const std::string& text) const {
  // Keep the text's own line ends for the lines that stay.
  std::string lineEnd = text.find("\r\n") != std::string::npos ? "\r\n"
                        : text.find('\r') != std::string::npos && text.find('\n') == std::string::npos ? "\r"
                                                                                                      : "\n";
  std::vector<std::string> kept;
  bool removed = false;
  for (const auto& line : linesOf(text)) {
    if (!firstAddress(line).empty()) {
      removed = true;
      continue;
    }
    kept.push_back(line);
  }
  if (!removed) return text;
  while (!kept.empty() && blank(kept.back())) kept.pop_back();
  std::string out;
  for (size_t i = 0; i < kept.size(); ++i) out += (i ? lineEnd : "") + kept[i];
  return out;
}

std::vector<PublishedCheck> findPublished(const PhotoLibrary& library, const ServicePages& pages,
                                          const PublicationLedger* ledger, const ExportSettings& settings) {
  std::vector<PublishedCheck> checks(library.count());
  std::map<std::string, size_t> firstWithBytes;  // MD5 -> the first photo not published with them
  for (size_t i = 0; i < library.count(); ++i) {
    PublishedCheck& c = checks[i];
    if (std::string address = pages.firstAddress(library.caption(i)); !address.empty()) {
      c.source = PublishedCheck::ByCaption;
      c.address = address;
      continue;
    }
    std::string md5 = library.checksum(i);
    if (md5.empty()) continue;
    if (ledger && ledger->isOpen()) {
      if (auto p = ledger->find(md5, settings.service, settings.account)) {
        c.source = PublishedCheck::ByLedger;
        c.address = p->address;
        c.ledgerPath = p->path;
        continue;
      }
    }
    auto [it, first] = firstWithBytes.emplace(md5, i);
    if (!first) {
      c.source = PublishedCheck::SameAsEarlier;
      c.sameAs = it->second;
    }
  }
  return checks;
}

std::vector<size_t> photosToExport(const std::vector<PublishedCheck>& checks, const ExportSettings& settings) {
  std::vector<size_t> out;
  for (size_t i = 0; i < checks.size(); ++i)
    if (settings.republish || !checks[i].leftOut()) out.push_back(i);
  return out;
}

std::vector<PhotoPreview> previewExport(const PhotoLibrary& all, const std::vector<PublishedCheck>& checks,
                                        const PhotoLibrary& library, const PreviewChoices& choices,
                                        const ExportSettings& settings) {
  using velmexport::cfString;
  using velmexport::utf8;
  std::vector<PhotoPreview> out;
  // Rendered copies go into a private folder of our own and are removed at once.
  std::string folder = utf8(NSTemporaryDirectory());
  if (folder.empty()) folder = "/tmp/";
  std::string pattern = (fs::path(folder) / "velm-preview-XXXXXX").string();
  bool haveFolder = mkdtemp(pattern.data()) != nullptr;
  size_t next = 0;
  for (size_t i = 0; i < all.count(); ++i) {
    PhotoPreview p;
    p.path = all.photo(i).path;
    // The export's library keeps the order of all photos.
    bool exported = next < library.count() && library.photo(next).path == p.path;
    if (!exported) {
      p.leftOut = true;
      p.name = all.photo(i).versionName;
      p.why = i >= checks.size()      ? "left out"
              : checks[i].duplicate() ? "the same photo as " + all.photo(checks[i].sameAs).versionName
                                      : "already published: " + checks[i].address;
      out.push_back(p);
      continue;
    }
    size_t index = next++;
    PhotoLibrary::Photo photo = library.photo(index);
    p.name = photo.versionName;
    p.caption = library.captionSent(index);
    p.keywords = library.keywordsSent(index);
    p.size = choices.sizeName;
    p.privacy = choices.privacyName;
    p.album = choices.album;
    if (haveFolder) {
      std::string why;
      std::string rendered = (fs::path(pattern) / renderedFileName(photo)).string();
      if (renderVersion(library, index, rendered, settings, &why)) {
        CFRef<CFStringRef> path = cfString(rendered);
        GpsInfoRecord gps{};
        if (path && gpsGetCoordinatesFromFilePath(path.get(), &gps) == 0) {
          // Signed as the plug-in signs them.
          p.latitude = gps.latitudeRef == 'N' ? gps.latitude : -gps.latitude;
          p.longitude = gps.longitudeRef == 'W' ? -gps.longitude : gps.longitude;
          p.hasPosition = !(p.latitude == 0.0 && p.longitude == 0.0);
        }
        gpsReleaseInfoRecord(&gps);
        renderedSize(rendered, choices.maxSize, &p.width, &p.height);
        unlink(rendered.c_str());
      }
    }
    out.push_back(p);
  }
  if (haveFolder) rmdir(pattern.c_str());
  return out;
}
