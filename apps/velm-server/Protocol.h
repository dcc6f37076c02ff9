// The wire side of velm-server: error numbers, strict query and multipart parsing, and the
// XML and HTML text it writes. Nothing here touches the network or the store.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace velmserver {

// Every failure the service answers with <error code="N">. The numbers are part of the
// protocol (listed in the README); never renumber them.
enum class Error : int {
  UnknownUser = 101,
  WrongToken = 102,
  UnknownSignature = 103,
  SignatureUsed = 104,
  SignatureExpired = 105,
  MalformedQuery = 106,
  NotUtf8 = 107,
  MissingParameter = 108,
  BadNumber = 109,
  CoordinateOutOfRange = 110,
  PrivacyOutOfRange = 111,
  MalformedMultipart = 112,
  NoPhoto = 113,
  UploadTooLarge = 114,
  BadAlbumName = 115,
  AlbumExists = 116,
  ForeignAlbums = 117,
  ValueTooLong = 118,
  UnknownRequest = 119,
  MethodNotAllowed = 120,
  StorageFailure = 121,
  RequestTooLong = 122,
  RequestTimeout = 123,
  TooManyConnections = 124,
};

// The HTTP status that goes with an error answer.
int httpStatusFor(Error error);

// The English text that goes with an error number.
const char* messageFor(Error error);

// The complete XML answer for an error.
std::string errorXml(Error error);

// A query string split into keys and values, every value percent-decoded ('+' is a space,
// as in HTML forms).
using Query = std::map<std::string, std::string>;

// Parses the raw query (the part after '?', without it). Fails with MalformedQuery for a
// broken percent escape, an empty key or a key given twice, and with NotUtf8 when a decoded
// key or value is not valid UTF-8 text (control characters other than tab, CR and LF count
// as invalid).
std::optional<Query> parseQuery(std::string_view raw, Error* error);

// True when bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool isUtf8(std::string_view bytes);

// True when bytes are UTF-8 text without control characters other than tab, CR and LF.
bool isCleanText(std::string_view bytes);

// Reads the parameters of a header value such as
//   form-data; name="file"; filename="IMG_1"
// into a map with lower-case keys (first gets the part before the first ';'). Quoted values
// end at the next quotation mark (form-data names carry quotation marks as %22, never as
// backslash escapes). False when malformed or when a parameter is given twice.
bool headerParameters(std::string_view value, std::string& first,
                      std::map<std::string, std::string>& params);

// True when a Content-Type names a multipart body ("multipart/" in any letter case).
bool isMultipartType(std::string_view contentType);

// A decimal number as the client prints it: optional minus sign, digits, optional fraction
// (no exponent, no spaces); nothing for anything else or a value that is not finite.
std::optional<double> parseCoordinate(std::string_view text);

// A decimal integer with an optional minus sign that fits an int; nothing otherwise.
std::optional<int> parseInteger(std::string_view text);

// One part of a multipart/form-data body.
struct FormPart {
  std::string name;      // the name parameter of Content-Disposition
  std::string fileName;  // the filename parameter, as sent
  std::string contentType;
  std::string_view content;  // points into the body
};

// Reads the boundary parameter of a multipart/form-data Content-Type; empty when the type is
// not multipart/form-data or has no usable boundary.
std::string multipartBoundary(std::string_view contentType);

// Splits a multipart body (RFC 2046) and returns the one part named `wanted`. The closing
// delimiter may be followed by nothing at all, by a line break or by an epilogue. Fails with
// MalformedMultipart for a body that does not follow the format or holds the wanted part
// twice, and with NoPhoto when the wanted part is missing.
std::optional<FormPart> findFormPart(std::string_view body, std::string_view boundary,
                                     std::string_view wanted, Error* error);

// Escapes the five XML special characters; also fit for HTML text and attribute values.
std::string xmlEscape(std::string_view text);

// Lower-case hex MD5 of bytes.
std::string md5Hex(std::string_view bytes);

// Random lower-case hex text of 2 * bytes digits from the system's secure generator; empty
// when no randomness could be had.
std::string randomHex(std::size_t bytes);

// Constant-time comparison of two texts of the same length.
bool sameSecret(std::string_view a, std::string_view b);

}  // namespace velmserver
