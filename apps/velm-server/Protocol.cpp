#include "Protocol.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unicode/utf8.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <vector>

namespace velmserver {

namespace {

struct ErrorInfo {
  Error error;
  int httpStatus;
  const char* message;
};

constexpr ErrorInfo kErrors[] = {
    {Error::UnknownUser, 403, "unknown user"},
    {Error::WrongToken, 403, "wrong authentication token"},
    {Error::UnknownSignature, 403, "unknown API signature"},
    {Error::SignatureUsed, 403, "API signature already used"},
    {Error::SignatureExpired, 403, "API signature expired"},
    {Error::MalformedQuery, 400, "malformed request or query string"},
    {Error::NotUtf8, 400, "value is not valid UTF-8 text"},
    {Error::MissingParameter, 400, "required parameter missing"},
    {Error::BadNumber, 400, "malformed number"},
    {Error::CoordinateOutOfRange, 400, "coordinate out of range"},
    {Error::PrivacyOutOfRange, 400, "privacy level out of range"},
    {Error::MalformedMultipart, 400, "malformed multipart body"},
    {Error::NoPhoto, 400, "no JPEG photo in the upload"},
    {Error::UploadTooLarge, 413, "upload too large"},
    {Error::BadAlbumName, 400, "invalid album name"},
    {Error::AlbumExists, 409, "album already exists"},
    {Error::ForeignAlbums, 403, "albums of another account cannot be listed"},
    {Error::ValueTooLong, 400, "value too long"},
    {Error::UnknownRequest, 404, "unknown request"},
    {Error::MethodNotAllowed, 405, "method not allowed"},
    {Error::StorageFailure, 500, "the photo could not be stored"},
    {Error::RequestTooLong, 414, "request line or address too long"},
    {Error::RequestTimeout, 408, "request not received in time"},
    {Error::TooManyConnections, 503, "too many connections from this address"},
};

const ErrorInfo& infoFor(Error error) {
  for (const auto& info : kErrors)
    if (info.error == error) return info;
  return kErrors[sizeof kErrors / sizeof kErrors[0] - 1];
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decodes one query component; false for a broken escape.
bool percentDecode(std::string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '+') {
      out.push_back(' ');
    } else if (c == '%') {
      if (i + 2 >= in.size()) return false;
      int hi = hexValue(in[i + 1]);
      int lo = hexValue(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool headerParameters(std::string_view value, std::string& first,
                      std::map<std::string, std::string>& params) {
  std::size_t semi = value.find(';');
  first = std::string(trim(value.substr(0, semi)));
  params.clear();
  std::size_t pos = semi;
  while (pos != std::string_view::npos && pos < value.size()) {
    ++pos;  // past ';'
    while (pos < value.size() && (value[pos] == ' ' || value[pos] == '\t')) ++pos;
    if (pos >= value.size()) break;
    std::size_t eq = value.find('=', pos);
    if (eq == std::string_view::npos) return false;
    std::string key(trim(value.substr(pos, eq - pos)));
    for (auto& ch : key)
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    if (key.empty()) return false;
    pos = eq + 1;
    std::string val;
    if (pos < value.size() && value[pos] == '"') {
      std::size_t close = value.find('"', pos + 1);
      if (close == std::string_view::npos) return false;
      val = std::string(value.substr(pos + 1, close - pos - 1));
      pos = close + 1;
      while (pos < value.size() && (value[pos] == ' ' || value[pos] == '\t')) ++pos;
      if (pos < value.size() && value[pos] != ';') return false;
    } else {
      std::size_t next = value.find(';', pos);
      val = std::string(trim(value.substr(pos, next == std::string_view::npos ? next : next - pos)));
      pos = next;
    }
    if (params.count(key)) return false;
    params.emplace(std::move(key), std::move(val));
    if (pos == std::string_view::npos) break;
  }
  return true;
}

bool isMultipartType(std::string_view contentType) {
  std::string_view type = trim(contentType);
  return type.size() >= 10 && equalsNoCase(type.substr(0, 10), "multipart/");
}

std::optional<double> parseCoordinate(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || c == '.' || c == '-')) return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value,
                                   std::chars_format::fixed);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
    return std::nullopt;
  return value;
}

std::optional<int> parseInteger(std::string_view text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

int httpStatusFor(Error error) { return infoFor(error).httpStatus; }

const char* messageFor(Error error) { return infoFor(error).message; }

std::string errorXml(Error error) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rsp stat=\"fail\">\n<error code=\"" +
         std::to_string(static_cast<int>(error)) + "\">" + messageFor(error) +
         "</error>\n</rsp>\n";
}

bool isUtf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const uint8_t*>(bytes.data());
  int32_t length = static_cast<int32_t>(bytes.size());
  if (bytes.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

bool isCleanText(std::string_view bytes) {
  if (!isUtf8(bytes)) return false;
  for (unsigned char c : bytes)
    if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) return false;
  return true;
}

std::optional<Query> parseQuery(std::string_view raw, Error* error) {
  Query query;
  std::size_t pos = 0;
  while (pos <= raw.size()) {
    std::size_t amp = raw.find('&', pos);
    std::string_view pair = raw.substr(pos, amp == std::string_view::npos ? amp : amp - pos);
    pos = amp == std::string_view::npos ? raw.size() + 1 : amp + 1;
    if (pair.empty()) continue;  // "a=1&&b=2" or a trailing '&'
    std::size_t eq = pair.find('=');
    std::string key, value;
    if (!percentDecode(pair.substr(0, eq), key) ||
        !percentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1),
                       value) ||
        key.empty()) {
      *error = Error::MalformedQuery;
      return std::nullopt;
    }
    if (!isCleanText(key) || !isCleanText(value)) {
      *error = Error::NotUtf8;
      return std::nullopt;
    }
    if (!query.emplace(std::move(key), std::move(value)).second) {
      *error = Error::MalformedQuery;
      return std::nullopt;
    }
  }
  return query;
}

std::string multipartBoundary(std::string_view contentType) {
  std::string type;
  std::map<std::string, std::string> params;
  if (!headerParameters(contentType, type, params)) return {};
  if (!equalsNoCase(type, "multipart/form-data")) return {};
  auto it = params.find("boundary");
  if (it == params.end()) return {};
  const std::string& b = it->second;
  // RFC 2046: 1 to 70 characters, not ending in a space.
  if (b.empty() || b.size() > 70 || b.back() == ' ') return {};
  for (unsigned char c : b)
    if (c < 0x20 || c > 0x7E) return {};
  return b;
}

std::optional<FormPart> findFormPart(std::string_view body, std::string_view boundary,
                                     std::string_view wanted, Error* error) {
  *error = Error::MalformedMultipart;
  if (boundary.empty()) return std::nullopt;
  const std::string dash = "--" + std::string(boundary);
  const std::string delimiter = "\r\n" + dash;

  // The first delimiter stands at the very start or after a preamble and a line break.
  std::size_t pos;
  if (body.substr(0, dash.size()) == dash) {
    pos = dash.size();
  } else {
    std::size_t found = body.find(delimiter);
    if (found == std::string_view::npos) return std::nullopt;
    pos = found + delimiter.size();
  }

  std::optional<FormPart> result;
  for (;;) {
    // After a delimiter: "--" closes the body; otherwise optional padding and a line break.
    if (body.substr(pos, 2) == "--") break;
    while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) ++pos;
    if (body.substr(pos, 2) != "\r\n") return std::nullopt;
    pos += 2;

    // Header lines up to an empty line.
    std::size_t headersEnd = body.find("\r\n\r\n", pos);
    std::size_t contentStart;
    std::string_view headerBlock;
    if (body.substr(pos, 2) == "\r\n") {  // a part without header lines
      headerBlock = {};
      contentStart = pos + 2;
    } else {
      if (headersEnd == std::string_view::npos) return std::nullopt;
      headerBlock = body.substr(pos, headersEnd - pos);
      contentStart = headersEnd + 4;
    }
    std::size_t contentEnd = body.find(delimiter, contentStart);
    if (contentEnd == std::string_view::npos) return std::nullopt;  // no closing delimiter

    FormPart part;
    bool haveDisposition = false;
    std::size_t lineStart = 0;
    while (lineStart < headerBlock.size()) {
      std::size_t lineEnd = headerBlock.find("\r\n", lineStart);
      if (lineEnd == std::string_view::npos) lineEnd = headerBlock.size();
      std::string_view line = headerBlock.substr(lineStart, lineEnd - lineStart);
      lineStart = lineEnd + 2;
      std::size_t colon = line.find(':');
      if (colon == std::string_view::npos || colon == 0) return std::nullopt;
      std::string_view name = line.substr(0, colon);
      std::string_view value = trim(line.substr(colon + 1));
      if (equalsNoCase(name, "Content-Disposition")) {
        std::string kind;
        std::map<std::string, std::string> params;
        if (haveDisposition || !headerParameters(value, kind, params) ||
            !equalsNoCase(kind, "form-data") || !params.count("name"))
          return std::nullopt;
        haveDisposition = true;
        part.name = params["name"];
        if (params.count("filename")) part.fileName = params["filename"];
      } else if (equalsNoCase(name, "Content-Type")) {
        part.contentType = std::string(value);
      }
    }
    if (!haveDisposition) return std::nullopt;
    part.content = body.substr(contentStart, contentEnd - contentStart);
    if (part.name == wanted) {
      if (result) return std::nullopt;  // the same part twice
      result = std::move(part);
    }
    pos = contentEnd + delimiter.size();
  }
  if (!result) {
    *error = Error::NoPhoto;
    return std::nullopt;
  }
  return result;
}

std::string xmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

namespace {
std::string toHex(const unsigned char* bytes, std::size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 0x0F]);
  }
  return out;
}
}  // namespace

std::string md5Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE] = {};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1) return {};
  return toHex(digest, length);
}

std::string randomHex(std::size_t bytes) {
  std::vector<unsigned char> buffer(bytes);
  if (RAND_bytes(buffer.data(), static_cast<int>(buffer.size())) != 1) return {};
  return toHex(buffer.data(), buffer.size());
}

bool sameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace velmserver
