#include "VelmClient.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "NSURLConnection.h"
#include "checkSum.h"
#include "stringEngine.h"

const char* const kVelmDefaultServiceURL = "http://api.velm.com";

namespace {

// The multipart boundary of every upload: 27 hyphens and 32 hex digits.
#define VELM_BOUNDARY "---------------------------8f999edae883c6039b244c0d341f45f8"

constexpr double kUploadTimeout = 250.0;
constexpr UInt32 kMaxAlbums = 50;

// The text of UTF-8 bytes; null when they are not valid UTF-8.
CFRef<CFStringRef> textOf(CFDataRef data) {
  if (!data) return {};
  return CFRef<CFStringRef>(CFStringCreateWithBytes(nullptr, CFDataGetBytePtr(data), CFDataGetLength(data),
                                                    kCFStringEncodingUTF8, false));
}

CFRef<CFStringRef> emptyText() {
  return CFRef<CFStringRef>(CFStringCreateWithCString(nullptr, "", kCFStringEncodingUTF8));
}

// A query value escaped for the URL; an absent value fills its slot with empty text.
CFRef<CFStringRef> escaped(CFStringRef value) {
  CFRef<CFStringRef> e(ORBStringConvertToURL(value));
  return e ? e : emptyText();
}

// The service's address without trailing slashes: VELM_SERVICE_URL, else the preference
// "VelmServiceURL", else the fixed address.
CFRef<CFStringRef> serviceBaseURL() {
  CFRef<CFStringRef> base;
  if (const char* env = std::getenv("VELM_SERVICE_URL"); env && *env)
    base.reset(CFStringCreateWithCString(nullptr, env, kCFStringEncodingUTF8));
  if (!base) {
    CFRef<CFTypeRef> pref(CFPreferencesCopyAppValue(CFSTR("VelmServiceURL"), kCFPreferencesCurrentApplication));
    if (pref && CFGetTypeID(pref.get()) == CFStringGetTypeID() &&
        CFStringGetLength(static_cast<CFStringRef>(pref.get())) > 0)
      base = CFRef<CFStringRef>::retain(static_cast<CFStringRef>(pref.get()));
  }
  if (!base) base.reset(CFStringCreateWithCString(nullptr, kVelmDefaultServiceURL, kCFStringEncodingUTF8));
  CFIndex length = CFStringGetLength(base);
  CFIndex end = length;
  while (end > 0 && CFStringGetCharacterAtIndex(base, end - 1) == '/') --end;
  if (end != length) base.reset(CFStringCreateWithSubstring(nullptr, base, CFRangeMake(0, end)));
  return base;
}

// The file name as it stands in the part header: quotation marks, carriage returns and line
// feeds written as %22, %0D and %0A, so that a name cannot end the header's quoted value or
// add header lines. Other names stay as they are; an absent name is "photo.jpg".
CFRef<CFStringRef> partFileName(CFStringRef name) {
  if (!name) return CFRef<CFStringRef>(CFStringCreateWithCString(nullptr, "photo.jpg", kCFStringEncodingUTF8));
  CFIndex length = CFStringGetLength(name);
  std::vector<UniChar> units(static_cast<std::size_t>(length));
  CFStringGetCharacters(name, CFRangeMake(0, length), units.data());
  std::vector<UniChar> out;
  out.reserve(units.size());
  bool changed = false;
  for (UniChar c : units) {
    const char* replacement = c == '"' ? "%22" : c == '\r' ? "%0D" : c == '\n' ? "%0A" : nullptr;
    if (!replacement) {
      out.push_back(c);
      continue;
    }
    changed = true;
    for (const char* p = replacement; *p; ++p) out.push_back(static_cast<UniChar>(*p));
  }
  if (!changed) return CFRef<CFStringRef>::retain(name);
  return CFRef<CFStringRef>(CFStringCreateWithCharacters(nullptr, out.data(), static_cast<CFIndex>(out.size())));
}

// Appends a string's UTF-8 bytes to data (characters that have none become '?').
void appendUTF8(CFMutableDataRef data, CFStringRef s) {
  CFIndex length = CFStringGetLength(s);
  CFIndex size = 0;
  CFStringGetBytes(s, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false, nullptr, 0, &size);
  CFIndex at = CFDataGetLength(data);
  CFDataIncreaseLength(data, size);
  CFStringGetBytes(s, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false, CFDataGetMutableBytePtr(data) + at,
                   size, nullptr);
}

// double to float as the hardware narrows: values beyond float's range become infinite
// (a plain conversion of such a value is undefined behaviour in C++).
float narrow(double value) {
  if (std::isfinite(value) && std::fabs(value) > FLT_MAX) return std::copysign(INFINITY, static_cast<float>(value));
  return static_cast<float>(value);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Settings

void VelmClient::setName(CFStringRef name, CFStringRef password) {
  lName.reset(name ? CFStringCreateCopy(nullptr, name) : nullptr);
  lPwd.reset(password ? CFStringCreateCopy(nullptr, password) : nullptr);
}

void VelmClient::setAlbumName(CFStringRef albumName) {
  lAlbumName.reset(albumName ? CFStringCreateCopy(nullptr, albumName) : nullptr);
}

void VelmClient::setPrivacy(SInt32 privacy) { lPrivacy = privacy; }

// ---------------------------------------------------------------------------------------
// Signature and token

CFDataRef VelmClient::getSync(CFStringRef url) {
  std::optional<NSURL> u = NSURL::URLWithString(url);
  if (!u) return nullptr;  // not a URL: no request, no answer
  if (lStopped) return nullptr;
  NSMutableURLRequest request = NSMutableURLRequest::requestWithURL(*u);
  if (lTimeoutForTesting > 0) request.setTimeoutInterval(lTimeoutForTesting);
  request.setDeadlineInterval(lDeadlineForTesting > 0 ? lDeadlineForTesting : kRequestDeadline);
  request.setMaximumAnswerLength(kMaxAnswerLength);
  request.setCancellationFlag(&lStopped);
  return NSURLConnection::sendSynchronousRequest(request, nullptr, nullptr).release();
}

CFStringRef VelmClient::getVelmAPISignatureSync() {
  CFRef<CFStringRef> base = serviceBaseURL();
  CFRef<CFStringRef> url(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@/api/get_api_signature.php"), base.get()));
  CFRef<CFDataRef> answer(getSync(url));
  // The whole body is the signature, untrimmed; no answer or no text gives the empty one.
  CFRef<CFStringRef> signature = textOf(answer);
  return signature ? signature.release() : emptyText().release();
}

CFStringRef VelmClient::getVelmAuthToken(CFStringRef signature) {
  CFRef<CFStringRef> passwordHash(csMakeMD5OfString(lPwd));
  CFRef<CFMutableStringRef> combined(CFStringCreateMutable(nullptr, 0));
  if (passwordHash) CFStringAppend(combined, passwordHash);
  if (signature) CFStringAppend(combined, signature);
  return csMakeMD5OfString(combined);
}

// ---------------------------------------------------------------------------------------
// Upload

CFDataRef VelmClient::uploadPhotoToVelmSync(CFDataRef data, CFStringRef name, CFStringRef description,
                                            CFStringRef keywords, float lattitude, float longitude) {
  CFRef<CFStringRef> signature(getVelmAPISignatureSync());
  CFRef<CFStringRef> token(getVelmAuthToken(signature));

  CFRef<CFStringRef> escapedName = escaped(name);
  CFRef<CFStringRef> escapedDescription = escaped(description);
  CFRef<CFStringRef> escapedUser = escaped(lName);
  CFRef<CFStringRef> escapedKeywords = escaped(keywords);

  CFRef<CFStringRef> base = serviceBaseURL();
  CFRef<CFMutableStringRef> url(CFStringCreateMutable(nullptr, 0));
  CFStringAppendFormat(url, nullptr,
                       CFSTR("%@/api/post_photo_xml.php?auth_user_name=%@&api_signature=%@&auth_token=%@"
                             "&caption=%@&description=%@&tags=%@&object_latitude=%f&object_longitude=%f"
                             "&latitude=%f&longitude=%f&privacy=%i"),
                       base.get(), escapedUser.get(), signature.get(), token.get(), escapedName.get(),
                       escapedDescription.get(), escapedKeywords.get(), static_cast<double>(lattitude),
                       static_cast<double>(longitude), static_cast<double>(lattitude),
                       static_cast<double>(longitude), static_cast<int>(lPrivacy));
  if (lAlbumName) {
    CFRef<CFStringRef> escapedAlbum = escaped(lAlbumName);
    CFStringAppendFormat(url, nullptr, CFSTR("&add_to_album_name=%@"), escapedAlbum.get());
  }

  std::optional<NSURL> u = NSURL::URLWithString(url);
  if (!u) return nullptr;
  return POSTFileDataSync(*u, data, name);
}

CFDataRef VelmClient::POSTFileDataSync(const NSURL& url, CFDataRef fileData, CFStringRef fileName) {
  CFRef<CFStringRef> boundary(CFStringCreateWithCString(nullptr, VELM_BOUNDARY, kCFStringEncodingUTF8));
  CFRef<CFStringRef> name = partFileName(fileName);
  CFRef<CFStringRef> head(CFStringCreateWithFormat(
      nullptr, nullptr,
      CFSTR("--%@\r\nContent-Disposition: form-data; name=\"file\"; filename=\"%@\"\r\nContent-Type: image/jpeg\r\n\r\n"),
      boundary.get(), name.get()));
  CFRef<CFStringRef> tail(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("\r\n--%@--"), boundary.get()));

  // The body goes out as three pieces: the part's head, the photo's own bytes (not copied) and
  // the closing boundary.
  CFRef<CFMutableDataRef> headBytes(CFDataCreateMutable(nullptr, 0));
  CFRef<CFMutableDataRef> tailBytes(CFDataCreateMutable(nullptr, 0));
  appendUTF8(headBytes, head);
  appendUTF8(tailBytes, tail);
  CFIndex bodyLength = CFDataGetLength(headBytes.get()) + (fileData ? CFDataGetLength(fileData) : 0) +
                       CFDataGetLength(tailBytes.get());
  std::vector<CFRef<CFDataRef>> body;
  body.emplace_back(headBytes.release());
  if (fileData) body.push_back(CFRef<CFDataRef>::retain(fileData));
  body.emplace_back(tailBytes.release());

  NSMutableURLRequest request = NSMutableURLRequest::requestWithURL(url);
  request.setHTTPMethod(CFSTR("POST"));
  request.setTimeoutInterval(lTimeoutForTesting > 0 ? lTimeoutForTesting : kUploadTimeout);
  CFRef<CFStringRef> length(
      CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%lu"), static_cast<unsigned long>(bodyLength)));
  CFRef<CFStringRef> type(
      CFStringCreateWithFormat(nullptr, nullptr, CFSTR("multipart/form-data; boundary=%@"), boundary.get()));
  request.setValue(length, CFSTR("Content-Length"));
  request.setValue(type, CFSTR("Content-Type"));
  request.setHTTPBodyParts(std::move(body));
  request.setDeadlineInterval(lDeadlineForTesting > 0 ? lDeadlineForTesting : uploadDeadline(bodyLength));
  request.setMaximumAnswerLength(kMaxAnswerLength);
  request.setCancellationFlag(&lStopped);
  if (lStopped) return nullptr;
  return NSURLConnection::sendSynchronousRequest(request, nullptr, nullptr).release();
}

SInt32 VelmClient::processVelmResult(CFDataRef data) {
  if (!data || CFDataGetLength(data) == 0) return 100;
  CFRef<CFStringRef> text = textOf(data);
  if (!text) return 0;  // no text, so no error element
  SInt32 at = ORBStringPosition(text, CFSTR("error code=\""), 0, 0);
  if (at < 0) return 0;
  CFIndex length = CFStringGetLength(text);
  CFIndex i = at + 12;
  int64_t value = 0;
  for (; i < length; ++i) {
    UniChar c = CFStringGetCharacterAtIndex(text, i);
    if (c < '0' || c > '9') break;
    // Saturate rather than overflow on an absurdly long number.
    value = std::min<int64_t>(value * 10 + (c - '0'), INT32_MAX);
  }
  if (i >= length) return 100;  // the digits run to the end: the code has no end
  return static_cast<SInt32>(value);
}

CFStringRef VelmClient::getVelmResultURL(CFDataRef data) {
  if (!data || CFDataGetLength(data) == 0) return nullptr;
  CFRef<CFStringRef> text = textOf(data);
  if (!text) return nullptr;
  return ORBStringSimpleXMLParserFindData(text, CFSTR("url"));
}

SInt32 VelmClient::uploadFileSync(CFDataRef data, CFStringRef name, CFStringRef description, CFStringRef keywords,
                                  double lattitude, double longitude) {
  resultDataString.reset();
  lResultURL.reset();
  lStopped = false;

  CFRef<CFDataRef> answer(
      uploadPhotoToVelmSync(data, name, description, keywords, narrow(lattitude), narrow(longitude)));
  resultDataString = answer ? textOf(answer) : emptyText();

  SInt32 code = processVelmResult(answer);
  if (code != 0) return code;
  lResultURL.reset(getVelmResultURL(answer));
  return 0;
}

// ---------------------------------------------------------------------------------------
// Albums

CFArrayRef VelmClient::getAlbumListSync(SInt32* error) {
  lStopped = false;
  CFRef<CFStringRef> signature(getVelmAPISignatureSync());
  CFRef<CFStringRef> token(getVelmAuthToken(signature));
  CFRef<CFStringRef> escapedUser = escaped(lName);
  CFRef<CFStringRef> base = serviceBaseURL();
  CFRef<CFStringRef> url(CFStringCreateWithFormat(
      nullptr, nullptr, CFSTR("%@/api/get_albums_xml.php?auth_user_name=%@&api_signature=%@&auth_token=%@&user_name=%@"),
      base.get(), escapedUser.get(), signature.get(), token.get(), escapedUser.get()));
  CFRef<CFDataRef> answer(getSync(url));

  SInt32 code = processVelmResult(answer);
  if (code != 0) {
    if (error) *error = code;
    return nullptr;
  }
  return getAlbumListFromResult(answer);
}

CFArrayRef VelmClient::getAlbumListFromResult(CFDataRef data) {
  if (!data || CFDataGetLength(data) == 0) return nullptr;
  CFRef<CFStringRef> text = textOf(data);  // null when not UTF-8: then nothing is found
  CFRef<CFStringRef> countText(ORBStringSimpleXMLParserFindData(text, CFSTR("albums_count")));
  UInt32 count = static_cast<UInt32>(ORBStringGetIntValue(countText));
  if (count > kMaxAlbums) count = kMaxAlbums;  // a negative count, read unsigned, too

  CFRef<CFMutableArrayRef> list(CFArrayCreateMutable(nullptr, static_cast<CFIndex>(count), &kCFTypeArrayCallBacks));
  for (UInt32 i = 1; i <= count; ++i) {
    CFRef<CFStringRef> name(ORBStringSimpleXMLParserFindNthData(text, CFSTR("name"), i));
    // Without an i-th name element there is no later one either.
    if (!name) break;
    CFArrayAppendValue(list, name.get());
  }
  lAlbumList.reset(list.release());
  return lAlbumList.get();
}

SInt32 VelmClient::createAlbumInVelmSync(CFStringRef albumName) {
  lStopped = false;
  CFRef<CFStringRef> signature(getVelmAPISignatureSync());
  CFRef<CFStringRef> token(getVelmAuthToken(signature));
  CFRef<CFStringRef> escapedUser = escaped(lName);
  CFRef<CFStringRef> escapedAlbum = escaped(albumName);
  CFRef<CFStringRef> base = serviceBaseURL();
  CFRef<CFStringRef> url(CFStringCreateWithFormat(
      nullptr, nullptr, CFSTR("%@/api/create_album_xml.php?auth_user_name=%@&api_signature=%@&auth_token=%@&name=%@"),
      base.get(), escapedUser.get(), signature.get(), token.get(), escapedAlbum.get()));
  CFRef<CFDataRef> answer(getSync(url));
  return processVelmResult(answer);
}

CFStringRef VelmCopyServiceBaseURL(void) { return serviceBaseURL().release(); }
// ---------------------------------------------------------------------------------------
// Results in words

CFStringRef VelmClient::errorMeaning(SInt32 code) {
  switch (code) {
    case 101: return CFSTR("unknown user");
    case 102: return CFSTR("wrong password");
    case 103: return CFSTR("unknown API signature");
    case 104: return CFSTR("API signature already used");
    case 105: return CFSTR("API signature expired");
    case 106: return CFSTR("malformed request");
    case 107: return CFSTR("a value is not valid text");
    case 108: return CFSTR("a required value is missing");
    case 109: return CFSTR("malformed number");
    case 110: return CFSTR("coordinate out of range");
    case 111: return CFSTR("privacy level out of range");
    case 112: return CFSTR("malformed upload");
    case 113: return CFSTR("not a JPEG photo");
    case 114: return CFSTR("photo too large for the service");
    case 115: return CFSTR("invalid album name");
    case 116: return CFSTR("the album exists already");
    case 117: return CFSTR("the albums of another account cannot be listed");
    case 118: return CFSTR("a value is too long");
    case 119: return CFSTR("unknown request");
    case 120: return CFSTR("method not allowed");
    case 121: return CFSTR("the service could not store the photo");
    default: return nullptr;
  }
}

CFStringRef VelmClient::copyResultDescription(SInt32 code) const {
  if (code == 0) return nullptr;
  if (code == 100) return CFStringCreateCopy(nullptr, CFSTR("no answer from the service"));
  CFStringRef meaning = errorMeaning(code);
  CFMutableStringRef out = CFStringCreateMutable(nullptr, 0);
  CFStringAppendFormat(out, nullptr, CFSTR("error %i: %@"), static_cast<int>(code),
                       meaning ? meaning : CFSTR("unknown error"));
  // The service's own text: what its error element holds, <error code="N">text</error>.
  CFStringRef answer = resultDataString.get();
  SInt32 at = answer ? ORBStringPosition(answer, CFSTR("error code=\""), 0, 0) : -1;
  SInt32 open = at >= 0 ? ORBStringPosition(answer, CFSTR(">"), at, 0) : -1;
  SInt32 close = open >= 0 ? ORBStringPosition(answer, CFSTR("</error>"), open, 0) : -1;
  if (close > open + 1) {
    CFRef<CFStringRef> text(ORBStringCreateWithSubstring(answer, open + 1, std::min<SInt32>(close - open - 1, 300)));
    CFStringRef trimmed = text.get();
    if (!meaning || CFStringCompare(trimmed, meaning, kCFCompareCaseInsensitive) != kCFCompareEqualTo)
      CFStringAppendFormat(out, nullptr, CFSTR(" (%@)"), trimmed);
  }
  return out;
}
