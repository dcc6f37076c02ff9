// CoreFoundation strings on UTF-16, with encodings and non-literal comparison from ICU.
#include <unicode/normalizer2.h>
#include <unicode/ucnv.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <array>
#include <atomic>
#include <charconv>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "CFInternal.h"

using namespace cfimpl;

// ---------------------------------------------------------------------------------------------
// Basics.

bool __CFString::equal(const Object* other) const { return text == static_cast<const __CFString*>(other)->text; }
CFHashCode __CFString::hash() const { return std::hash<std::u16string>()(text); }

const std::u16string& cfimpl::units(CFStringRef s) {
  static const std::u16string empty;
  return s ? s->text : empty;
}

CFStringRef cfimpl::makeString(std::u16string u) { return new __CFString(std::move(u), false); }

std::u16string cfimpl::fromASCII(std::string_view in) { return std::u16string(in.begin(), in.end()); }

namespace {
void appendUTF8(std::string& out, UChar32 c) {
  char buf[4];
  size_t n = 0;
  [[maybe_unused]] UBool err = false;
  U8_APPEND(reinterpret_cast<uint8_t*>(buf), n, 4, c, err);
  out.append(buf, n);
}
}  // namespace

namespace {
void appendUTF16(std::u16string& out, UChar32 c) {
  if (c <= 0xFFFF) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    out.push_back(static_cast<char16_t>(U16_LEAD(c)));
    out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
  }
}
}  // namespace

bool cfimpl::toUTF8(std::u16string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (size_t i = 0; i < in.size();) {
    UChar32 c;
    U16_NEXT(in.data(), i, in.size(), c);
    if (U_IS_SURROGATE(c)) {
      out.clear();
      return false;
    }
    appendUTF8(out, c);
  }
  return true;
}

std::string cfimpl::toUTF8Lossy(std::u16string_view in) {
  std::string out;
  for (size_t i = 0; i < in.size();) {
    UChar32 c;
    U16_NEXT(in.data(), i, in.size(), c);
    if (U_IS_SURROGATE(c)) c = 0xFFFD;
    appendUTF8(out, c);
  }
  return out;
}

bool cfimpl::fromUTF8(std::string_view in, std::u16string& out) {
  out.clear();
  out.reserve(in.size());
  const auto* p = reinterpret_cast<const uint8_t*>(in.data());
  int32_t len = static_cast<int32_t>(in.size());
  if (in.size() > static_cast<size_t>(INT32_MAX)) return false;
  for (int32_t i = 0; i < len;) {
    UChar32 c;
    U8_NEXT(p, i, len, c);
    if (c < 0) {
      out.clear();
      return false;
    }
    appendUTF16(out, c);
  }
  return true;
}

namespace {

std::mutex gConstantsLock;

// ---------------------------------------------------------------------------------------------
// Single-byte encodings, with tables taken once from ICU's converters.

struct ByteTable {
  std::array<char16_t, 256> toUnicode{};
  std::unordered_map<char16_t, uint8_t> fromUnicode;
  bool valid = false;
};

const ByteTable* byteTable(CFStringEncoding enc) {
  static std::once_flag once;
  static ByteTable macRoman, latin1, winLatin1, ascii;
  std::call_once(once, [] {
    auto fill = [](ByteTable& t, const char* name, int limit) {
      UErrorCode ec = U_ZERO_ERROR;
      UConverter* cnv = ucnv_open(name, &ec);
      if (U_FAILURE(ec)) return;
      ucnv_setToUCallBack(cnv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &ec);
      for (int b = 0; b < limit; ++b) {
        char in = static_cast<char>(b);
        UChar out[4];
        ec = U_ZERO_ERROR;
        int32_t n = ucnv_toUChars(cnv, out, 4, &in, 1, &ec);
        if (U_SUCCESS(ec) && n == 1) {
          t.toUnicode[static_cast<size_t>(b)] = out[0];
          t.fromUnicode.emplace(out[0], static_cast<uint8_t>(b));
        } else {
          t.toUnicode[static_cast<size_t>(b)] = 0xFFFF;  // unmapped
        }
      }
      for (int b = limit; b < 256; ++b) t.toUnicode[static_cast<size_t>(b)] = 0xFFFF;
      ucnv_close(cnv);
      t.valid = true;
    };
    fill(macRoman, "macintosh", 256);
    fill(latin1, "ISO-8859-1", 256);
    fill(winLatin1, "windows-1252", 256);
    fill(ascii, "US-ASCII", 128);
  });
  switch (enc) {
    case kCFStringEncodingMacRoman: return macRoman.valid ? &macRoman : nullptr;
    case kCFStringEncodingISOLatin1: return latin1.valid ? &latin1 : nullptr;
    case kCFStringEncodingWindowsLatin1: return winLatin1.valid ? &winLatin1 : nullptr;
    case kCFStringEncodingASCII: return ascii.valid ? &ascii : nullptr;
    default: return nullptr;
  }
}

bool isUTF16(CFStringEncoding e) {
  return e == kCFStringEncodingUTF16 || e == kCFStringEncodingUTF16BE || e == kCFStringEncodingUTF16LE;
}
bool isUTF32(CFStringEncoding e) {
  return e == kCFStringEncodingUTF32 || e == kCFStringEncodingUTF32BE || e == kCFStringEncodingUTF32LE;
}
constexpr bool kHostLittle = (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);

// Decodes bytes in an encoding. Returns nothing when they are not valid in it.
std::optional<std::u16string> decode(const UInt8* bytes, CFIndex n, CFStringEncoding enc, bool external) {
  if (n < 0 || (!bytes && n > 0)) return std::nullopt;
  std::u16string out;
  if (enc == kCFStringEncodingUTF8) {
    std::string_view in(reinterpret_cast<const char*>(bytes), static_cast<size_t>(n));
    if (external && in.size() >= 3 && in.compare(0, 3, "\xEF\xBB\xBF") == 0) in.remove_prefix(3);
    if (!fromUTF8(in, out)) return std::nullopt;
    return out;
  }
  if (isUTF16(enc)) {
    if (n % 2) return std::nullopt;
    bool little = enc == kCFStringEncodingUTF16LE || (enc == kCFStringEncodingUTF16 && !external && kHostLittle);
    CFIndex start = 0;
    if (enc == kCFStringEncodingUTF16 && n >= 2) {
      if (bytes[0] == 0xFF && bytes[1] == 0xFE) little = true, start = 2;
      else if (bytes[0] == 0xFE && bytes[1] == 0xFF) little = false, start = 2;
    }
    out.reserve(static_cast<size_t>((n - start) / 2));
    for (CFIndex i = start; i < n; i += 2)
      out.push_back(static_cast<char16_t>(little ? (bytes[i] | (bytes[i + 1] << 8)) : ((bytes[i] << 8) | bytes[i + 1])));
    return out;
  }
  if (isUTF32(enc)) {
    if (n % 4) return std::nullopt;
    bool little = enc == kCFStringEncodingUTF32LE || (enc == kCFStringEncodingUTF32 && !external && kHostLittle);
    CFIndex start = 0;
    if (enc == kCFStringEncodingUTF32 && n >= 4) {
      if (bytes[0] == 0xFF && bytes[1] == 0xFE && bytes[2] == 0 && bytes[3] == 0) little = true, start = 4;
      else if (bytes[0] == 0 && bytes[1] == 0 && bytes[2] == 0xFE && bytes[3] == 0xFF) little = false, start = 4;
    }
    for (CFIndex i = start; i < n; i += 4) {
      uint32_t c = little ? (bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) | (uint32_t(bytes[i + 3]) << 24))
                          : ((uint32_t(bytes[i]) << 24) | (bytes[i + 1] << 16) | (bytes[i + 2] << 8) | bytes[i + 3]);
      if (c > 0x10FFFF || U_IS_SURROGATE(c)) return std::nullopt;
      appendUTF16(out, c);
    }
    return out;
  }
  const ByteTable* t = byteTable(enc);
  if (!t) return std::nullopt;
  out.resize(static_cast<size_t>(n));
  for (CFIndex i = 0; i < n; ++i) {
    char16_t c = t->toUnicode[bytes[i]];
    if (c == 0xFFFF) return std::nullopt;
    out[static_cast<size_t>(i)] = c;
  }
  return out;
}

// ICU's shared normalizer instances; null when ICU's data cannot be loaded.
template <const icu::Normalizer2* (*get)(UErrorCode&)>
const icu::Normalizer2* normalizer() {
  static const icu::Normalizer2* n = [] {
    UErrorCode ec = U_ZERO_ERROR;
    const icu::Normalizer2* r = get(ec);
    return U_SUCCESS(ec) ? r : nullptr;
  }();
  return n;
}
const icu::Normalizer2* nfd() { return normalizer<icu::Normalizer2::getNFDInstance>(); }
const icu::Normalizer2* nfc() { return normalizer<icu::Normalizer2::getNFCInstance>(); }

bool composeNFC(std::u16string_view in, std::u16string& out) {
  const icu::Normalizer2* n = nfc();
  if (!n) return false;
  UErrorCode ec = U_ZERO_ERROR;
  icu::UnicodeString src(false, reinterpret_cast<const UChar*>(in.data()), static_cast<int32_t>(in.size()));
  icu::UnicodeString composed = n->normalize(src, ec);
  if (U_FAILURE(ec)) return false;
  out.assign(reinterpret_cast<const char16_t*>(composed.getBuffer()), static_cast<size_t>(composed.length()));
  return true;
}

bool encode(std::u16string_view in, CFStringEncoding enc, UInt8 lossByte, bool external, std::string& out,
            size_t* consumed = nullptr, bool composeFirst = true) {
  out.clear();
  size_t i = 0;
  auto done = [&](bool ok) {
    if (consumed) *consumed = i;
    return ok;
  };
  if (enc == kCFStringEncodingUTF8) {
    out.reserve(in.size());
    while (i < in.size()) {
      size_t at = i;
      UChar32 c;
      U16_NEXT(in.data(), i, in.size(), c);
      if (U_IS_SURROGATE(c)) {
        if (!lossByte) {
          i = at;
          return done(false);
        }
        out.push_back(static_cast<char>(lossByte));
        continue;
      }
      appendUTF8(out, c);
    }
    return done(true);
  }
  if (isUTF16(enc)) {
    bool little = enc == kCFStringEncodingUTF16LE || (enc == kCFStringEncodingUTF16 && kHostLittle);
    if (external && enc == kCFStringEncodingUTF16) out += little ? "\xFF\xFE" : "\xFE\xFF";
    for (; i < in.size(); ++i) {
      char16_t c = in[i];
      if (little) {
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
      } else {
        out.push_back(static_cast<char>(c >> 8));
        out.push_back(static_cast<char>(c & 0xFF));
      }
    }
    return done(true);
  }
  if (isUTF32(enc)) {
    bool little = enc == kCFStringEncodingUTF32LE || (enc == kCFStringEncodingUTF32 && kHostLittle);
    auto put = [&](uint32_t c) {
      for (int k = 0; k < 4; ++k) {
        int shift = little ? 8 * k : 8 * (3 - k);
        out.push_back(static_cast<char>((c >> shift) & 0xFF));
      }
    };
    if (external && enc == kCFStringEncodingUTF32) put(0xFEFF);
    while (i < in.size()) {
      size_t at = i;
      UChar32 c;
      U16_NEXT(in.data(), i, in.size(), c);
      if (U_IS_SURROGATE(c)) {
        if (!lossByte) {
          i = at;
          return done(false);
        }
        c = lossByte;
      }
      put(static_cast<uint32_t>(c));
    }
    return done(true);
  }
  const ByteTable* t = byteTable(enc);
  if (!t) return done(false);
  out.reserve(in.size());
  for (; i < in.size(); ++i) {
    auto it = t->fromUnicode.find(in[i]);
    if (it != t->fromUnicode.end()) {
      out.push_back(static_cast<char>(it->second));
      continue;
    }
    // A decomposed character may exist precomposed in the encoding: try the composed form of
    // the whole text once.
    if (composeFirst) {
      std::u16string composed;
      if (composeNFC(in, composed) && composed != in) {
        std::string retry;
        if (encode(composed, enc, lossByte, false, retry, nullptr, false)) {
          out = std::move(retry);
          i = in.size();
          return done(true);
        }
      }
    }
    if (!lossByte) return done(false);
    out.push_back(static_cast<char>(lossByte));
  }
  return done(true);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Creation.

CFStringRef __CFStringMakeConstantString(const char* cStr) {
  static auto* table = new std::unordered_map<std::string, CFStringRef>();
  std::lock_guard<std::mutex> lock(gConstantsLock);
  auto it = table->find(cStr);
  if (it != table->end()) return it->second;
  std::u16string u;
  if (!fromUTF8(cStr, u)) u = fromASCII(cStr);
  auto* s = new __CFString(std::move(u), false);
  s->immortal = true;
  table->emplace(cStr, s);
  return s;
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex n, CFStringEncoding enc,
                                    Boolean external) {
  auto u = decode(bytes, n, enc, external);
  return u ? makeString(std::move(*u)) : nullptr;
}

CFStringRef CFStringCreateWithBytesNoCopy(CFAllocatorRef, const UInt8* bytes, CFIndex n, CFStringEncoding enc,
                                          Boolean external, CFAllocatorRef dealloc) {
  CFStringRef s = CFStringCreateWithBytes(nullptr, bytes, n, enc, external);
  if (s && dealloc != kCFAllocatorNull) free(const_cast<UInt8*>(bytes));
  return s;
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* cStr, CFStringEncoding enc) {
  if (!cStr) return nullptr;
  return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(cStr), static_cast<CFIndex>(strlen(cStr)),
                                 enc, false);
}

CFStringRef CFStringCreateWithPascalString(CFAllocatorRef, ConstStr255Param p, CFStringEncoding enc) {
  if (!p) return nullptr;
  return CFStringCreateWithBytes(nullptr, p + 1, p[0], enc, false);
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* chars, CFIndex n) {
  if (n < 0 || (!chars && n > 0)) return nullptr;
  return makeString(n ? std::u16string(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(n)) : u"");
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef s) {
  if (!s) return nullptr;
  if (!s->mutableString) return static_cast<CFStringRef>(CFRetain(s));
  return makeString(s->text);
}

CFStringRef CFStringCreateWithSubstring(CFAllocatorRef, CFStringRef s, CFRange r) {
  if (!s || r.location < 0 || r.length < 0 || static_cast<size_t>(r.location) > s->text.size() ||
      static_cast<size_t>(r.length) > s->text.size() - static_cast<size_t>(r.location))
    return nullptr;
  return makeString(s->text.substr(static_cast<size_t>(r.location), static_cast<size_t>(r.length)));
}

CFDataRef CFStringCreateExternalRepresentation(CFAllocatorRef, CFStringRef s, CFStringEncoding enc, UInt8 lossByte) {
  if (!s) return nullptr;
  std::string out;
  if (!encode(s->text, enc, lossByte, true, out)) return nullptr;
  return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(out.data()), static_cast<CFIndex>(out.size()));
}

CFStringRef CFStringCreateFromExternalRepresentation(CFAllocatorRef, CFDataRef data, CFStringEncoding enc) {
  if (!data) return nullptr;
  return CFStringCreateWithBytes(nullptr, CFDataGetBytePtr(data), CFDataGetLength(data), enc, true);
}

// ---------------------------------------------------------------------------------------------
// Mutable strings. Mutating an immutable string is a programming error and is ignored.

namespace {
std::u16string* mutableText(CFMutableStringRef s) { return s && s->mutableString ? &s->text : nullptr; }
}  // namespace

CFMutableStringRef CFStringCreateMutable(CFAllocatorRef, CFIndex) { return new __CFString(u"", true); }

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef, CFIndex, CFStringRef s) {
  return new __CFString(units(s), true);
}

void CFStringAppend(CFMutableStringRef s, CFStringRef a) {
  if (auto* t = mutableText(s)) {
    if (a) t->append(a->text);  // a may be s itself: append copies first
  }
}

void CFStringAppendCharacters(CFMutableStringRef s, const UniChar* chars, CFIndex n) {
  if (auto* t = mutableText(s); t && chars && n > 0) t->append(reinterpret_cast<const char16_t*>(chars), static_cast<size_t>(n));
}

void CFStringAppendCString(CFMutableStringRef s, const char* cStr, CFStringEncoding enc) {
  auto* t = mutableText(s);
  if (!t || !cStr) return;
  if (auto u = decode(reinterpret_cast<const UInt8*>(cStr), static_cast<CFIndex>(strlen(cStr)), enc, false)) t->append(*u);
}

void CFStringInsert(CFMutableStringRef s, CFIndex idx, CFStringRef ins) {
  auto* t = mutableText(s);
  if (!t || !ins || idx < 0 || static_cast<size_t>(idx) > t->size()) return;
  std::u16string copy = ins->text;
  t->insert(static_cast<size_t>(idx), copy);
}

void CFStringReplace(CFMutableStringRef s, CFRange r, CFStringRef repl) {
  auto* t = mutableText(s);
  if (!t || r.location < 0 || r.length < 0 || static_cast<size_t>(r.location + r.length) > t->size()) return;
  std::u16string copy = units(repl);
  t->replace(static_cast<size_t>(r.location), static_cast<size_t>(r.length), copy);
}

void CFStringDelete(CFMutableStringRef s, CFRange r) { CFStringReplace(s, r, nullptr); }

void CFStringReplaceAll(CFMutableStringRef s, CFStringRef repl) {
  if (auto* t = mutableText(s)) *t = units(repl);
}

// ---------------------------------------------------------------------------------------------
// Access.

CFIndex CFStringGetLength(CFStringRef s) { return s ? static_cast<CFIndex>(s->text.size()) : 0; }

UniChar CFStringGetCharacterAtIndex(CFStringRef s, CFIndex idx) {
  if (!s || idx < 0 || static_cast<size_t>(idx) >= s->text.size()) return 0;
  return s->text[static_cast<size_t>(idx)];
}

void CFStringGetCharacters(CFStringRef s, CFRange r, UniChar* buffer) {
  if (!s || !buffer || r.location < 0 || r.length < 0 || static_cast<size_t>(r.location + r.length) > s->text.size())
    return;
  memcpy(buffer, s->text.data() + r.location, static_cast<size_t>(r.length) * sizeof(UniChar));
}

const UniChar* CFStringGetCharactersPtr(CFStringRef s) {
  return s ? reinterpret_cast<const UniChar*>(s->text.c_str()) : nullptr;
}

const char* CFStringGetCStringPtr(CFStringRef, CFStringEncoding) { return nullptr; }

Boolean CFStringGetCString(CFStringRef s, char* buffer, CFIndex size, CFStringEncoding enc) {
  if (!s || !buffer || size <= 0) return false;
  std::string out;
  if (!encode(s->text, enc, 0, false, out) || static_cast<CFIndex>(out.size()) + 1 > size) {
    buffer[0] = 0;
    return false;
  }
  memcpy(buffer, out.data(), out.size());
  buffer[out.size()] = 0;
  return true;
}

Boolean CFStringGetPascalString(CFStringRef s, StringPtr buffer, CFIndex size, CFStringEncoding enc) {
  if (!s || !buffer || size <= 0) return false;
  std::string out;
  if (!encode(s->text, enc, 0, false, out) || out.size() > 255 || static_cast<CFIndex>(out.size()) + 1 > size) {
    buffer[0] = 0;
    return false;
  }
  buffer[0] = static_cast<unsigned char>(out.size());
  memcpy(buffer + 1, out.data(), out.size());
  return true;
}

CFIndex CFStringGetBytes(CFStringRef s, CFRange r, CFStringEncoding enc, UInt8 lossByte, Boolean external,
                         UInt8* buffer, CFIndex maxBufLen, CFIndex* usedBufLen) {
  if (usedBufLen) *usedBufLen = 0;
  if (!s || r.location < 0 || r.length < 0 || static_cast<size_t>(r.location + r.length) > s->text.size()) return 0;
  std::u16string_view in(s->text.data() + r.location, static_cast<size_t>(r.length));
  std::string out;
  size_t consumed = 0;
  encode(in, enc, lossByte, external, out, &consumed);
  // Without a buffer: report what the whole conversion needs. With one: write whole characters
  // up to its size.
  size_t written = out.size();
  size_t chars = consumed;
  if (buffer) {
    if (written > static_cast<size_t>(std::max<CFIndex>(maxBufLen, 0))) {
      // Re-encode character by character to stop at a character boundary.
      std::string part;
      size_t limit = static_cast<size_t>(std::max<CFIndex>(maxBufLen, 0));
      size_t i = 0;
      std::string acc;
      if (external && (enc == kCFStringEncodingUTF16 || enc == kCFStringEncodingUTF32)) {
        std::string bom;
        encode(u"", enc, lossByte, true, bom);
        if (bom.size() > limit) return 0;
        acc = bom;
      }
      while (i < consumed) {
        size_t next = i;
        U16_FWD_1(in.data(), next, consumed);
        if (!encode(in.substr(i, next - i), enc, lossByte, false, part) || acc.size() + part.size() > limit) break;
        acc += part;
        i = next;
      }
      out = std::move(acc);
      written = out.size();
      chars = i;
    }
    memcpy(buffer, out.data(), written);
  }
  if (usedBufLen) *usedBufLen = static_cast<CFIndex>(written);
  return static_cast<CFIndex>(chars);
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding enc) {
  if (enc == kCFStringEncodingUTF8) return length * 3;
  if (isUTF16(enc)) return length * 2;
  if (isUTF32(enc)) return length * 4;
  return length;
}

Boolean CFStringIsEncodingAvailable(CFStringEncoding enc) {
  return enc == kCFStringEncodingUTF8 || isUTF16(enc) || isUTF32(enc) || byteTable(enc) != nullptr;
}

namespace {
bool isSpace(char16_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
}  // namespace

SInt32 CFStringGetIntValue(CFStringRef s) {
  if (!s) return 0;
  const auto& t = s->text;
  size_t i = 0;
  while (i < t.size() && isSpace(t[i])) ++i;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  int64_t v = 0;
  for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
    v = v * 10 + (t[i] - '0');
    if (v > static_cast<int64_t>(INT32_MAX) + 1) break;
  }
  if (negative) v = -v;
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<SInt32>(v);
}

double CFStringGetDoubleValue(CFStringRef s) {
  if (!s) return 0.0;
  const auto& t = s->text;
  size_t i = 0;
  while (i < t.size() && isSpace(t[i])) ++i;
  std::string ascii;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  // After the one leading sign, a sign belongs to the number only as the exponent's ("1e-5");
  // anywhere else it ends the number, so "--5" and "+-5" hold no number at all.
  for (; i < t.size() && t[i] < 0x80; ++i) {
    char16_t c = t[i];
    bool exponentSign = (c == '+' || c == '-') && !ascii.empty() && (ascii.back() == 'e' || ascii.back() == 'E');
    if (!(isdigit(c) || c == '.' || c == 'e' || c == 'E' || exponentSign)) break;
    ascii.push_back(static_cast<char>(c));
  }
  double v = 0.0;
  auto res = std::from_chars(ascii.data(), ascii.data() + ascii.size(), v, std::chars_format::general);
  if (res.ec != std::errc() && res.ec != std::errc::result_out_of_range) return 0.0;
  return negative ? -v : v;
}

// ---------------------------------------------------------------------------------------------
// Comparison and search.
//
// A string is turned into a key: with kCFCompareNonliteral each normalization segment (a
// character with the marks that combine with it) is decomposed canonically; with
// kCFCompareCaseInsensitive each character is case-folded. Search matches keys and maps the
// match back to whole segments of the original string.

namespace {

struct Key {
  std::u16string text;
  std::vector<uint32_t> unitSegment;  // for each unit of text: index of its segment
  std::vector<uint32_t> segStart;     // per segment: start in the original units
  std::vector<uint32_t> segKeyStart;  // per segment: start in text
};

bool isASCII(std::u16string_view s) {
  for (char16_t c : s)
    if (c >= 0x80) return false;
  return true;
}

void appendFolded(std::u16string& out, const char16_t* p, int32_t n, bool fold) {
  for (int32_t i = 0; i < n;) {
    UChar32 c;
    U16_NEXT(p, i, n, c);
    if (fold) c = u_foldCase(c, U_FOLD_CASE_DEFAULT);
    appendUTF16(out, c);
  }
}

void makeKey(std::u16string_view s, CFStringCompareFlags opts, Key& key, bool withMap) {
  bool fold = opts & kCFCompareCaseInsensitive;
  bool nonliteral = (opts & kCFCompareNonliteral) && nfd();
  key.text.clear();
  key.text.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    size_t start = i;
    // One segment: a code point, then (non-literal only) every following code point that has
    // no normalization boundary before it.
    U16_FWD_1(s.data(), i, s.size());
    if (nonliteral) {
      while (i < s.size()) {
        size_t j = i;
        UChar32 c;
        U16_NEXT(s.data(), j, s.size(), c);
        if (nfd()->hasBoundaryBefore(c)) break;
        i = j;
      }
    }
    size_t keyStart = key.text.size();
    const char16_t* seg = s.data() + start;
    int32_t segLen = static_cast<int32_t>(i - start);
    bool plain = segLen == 1 && seg[0] < 0xC0;  // nothing below U+00C0 decomposes
    if (nonliteral && !plain) {
      UErrorCode ec = U_ZERO_ERROR;
      icu::UnicodeString in(false, reinterpret_cast<const UChar*>(seg), segLen);
      icu::UnicodeString d = nfd()->normalize(in, ec);
      if (U_SUCCESS(ec)) {
        appendFolded(key.text, reinterpret_cast<const char16_t*>(d.getBuffer()), d.length(), fold);
      } else {
        appendFolded(key.text, seg, segLen, fold);
      }
    } else {
      appendFolded(key.text, seg, segLen, fold);
    }
    if (withMap) {
      uint32_t segIndex = static_cast<uint32_t>(key.segStart.size());
      key.segStart.push_back(static_cast<uint32_t>(start));
      key.segKeyStart.push_back(static_cast<uint32_t>(keyStart));
      key.unitSegment.resize(key.text.size(), segIndex);
    }
  }
}

int compareUnits(std::u16string_view a, std::u16string_view b) {
  int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// Whether the text holds a non-ASCII character whose whole key (decomposition, case folded) is
// ASCII, for example U+212A KELVIN SIGN, which decomposes to K. Only such characters could be
// covered by a match of an ASCII needle; an accented letter cannot, since its key keeps the
// non-ASCII mark. Answers are cached per BMP character.
bool hasASCIIKeyedCharacter(std::u16string_view s) {
  static std::array<std::atomic<uint8_t>, 0x10000> cache{};  // 0 unknown, 1 no, 2 yes
  for (char16_t c : s) {
    if (c < 0x80 || U16_IS_SURROGATE(c)) continue;
    uint8_t known = cache[c].load(std::memory_order_relaxed);
    if (known == 0) {
      icu::UnicodeString d;
      if (!nfd() || !nfd()->getDecomposition(c, d)) d = icu::UnicodeString(static_cast<UChar>(c));
      bool keyed = true;
      for (int32_t i = 0; i < d.length(); ++i)
        if (u_foldCase(d.charAt(i), U_FOLD_CASE_DEFAULT) >= 0x80) keyed = false;
      known = keyed ? 2 : 1;
      cache[c].store(known, std::memory_order_relaxed);
    }
    if (known == 2) return true;
  }
  return false;
}

inline char16_t asciiLower(char16_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c + 32) : c; }

}  // namespace

CFComparisonResult CFStringCompareWithOptions(CFStringRef a, CFStringRef b, CFRange r, CFStringCompareFlags opts) {
  const auto& ta = units(a);
  if (r.location < 0 || r.length < 0 || static_cast<size_t>(r.location + r.length) > ta.size()) return kCFCompareLessThan;
  std::u16string_view va(ta.data() + r.location, static_cast<size_t>(r.length));
  std::u16string_view vb(units(b));
  if (!(opts & (kCFCompareCaseInsensitive | kCFCompareNonliteral))) return compareUnits(va, vb);
  if (isASCII(va) && isASCII(vb)) {
    if (!(opts & kCFCompareCaseInsensitive)) return compareUnits(va, vb);
    size_t n = std::min(va.size(), vb.size());
    for (size_t i = 0; i < n; ++i) {
      char16_t x = asciiLower(va[i]), y = asciiLower(vb[i]);
      if (x != y) return x < y ? kCFCompareLessThan : kCFCompareGreaterThan;
    }
    return va.size() < vb.size() ? kCFCompareLessThan
                                 : (va.size() > vb.size() ? kCFCompareGreaterThan : kCFCompareEqualTo);
  }
  Key ka, kb;
  makeKey(va, opts, ka, false);
  makeKey(vb, opts, kb, false);
  return compareUnits(ka.text, kb.text);
}

CFComparisonResult CFStringCompare(CFStringRef a, CFStringRef b, CFStringCompareFlags opts) {
  return CFStringCompareWithOptions(a, b, CFRangeMake(0, CFStringGetLength(a)), opts);
}

Boolean CFStringFindWithOptions(CFStringRef s, CFStringRef find, CFRange r, CFStringCompareFlags opts,
                                CFRange* result) {
  const auto& text = units(s);
  const auto& needle = units(find);
  if (!s || !find || needle.empty() || r.location < 0 || r.length < 0 ||
      static_cast<size_t>(r.location + r.length) > text.size())
    return false;
  std::u16string_view hay(text.data() + r.location, static_cast<size_t>(r.length));
  bool backwards = opts & kCFCompareBackwards;
  bool anchored = opts & kCFCompareAnchored;
  bool fold = opts & kCFCompareCaseInsensitive;

  if (isASCII(needle) && !hasASCIIKeyedCharacter(hay)) {
    // Only ASCII characters of the text can take part in a match, each a segment of its own;
    // with non-literal search the match must not be followed by a combining mark.
    size_t n = needle.size();
    if (n > hay.size()) return false;
    bool nonliteral = (opts & kCFCompareNonliteral) && nfd();
    auto matchesAt = [&](size_t p) {
      if (!fold) {
        if (hay.compare(p, n, needle) != 0) return false;
      } else {
        for (size_t k = 0; k < n; ++k)
          if (asciiLower(hay[p + k]) != asciiLower(needle[k])) return false;
      }
      if (nonliteral && p + n < hay.size() && hay[p + n] >= 0x80) {
        size_t j = p + n;
        UChar32 c;
        U16_NEXT(hay.data(), j, hay.size(), c);
        if (!nfd()->hasBoundaryBefore(c)) return false;
      }
      return true;
    };
    size_t last = hay.size() - n;
    std::optional<size_t> found;
    if (!backwards) {
      if (!fold && !anchored) {
        for (size_t p = hay.find(needle); p != std::u16string_view::npos; p = hay.find(needle, p + 1))
          if (matchesAt(p)) {
            found = p;
            break;
          }
      } else {
        for (size_t p = 0; p <= (anchored ? 0 : last); ++p)
          if (matchesAt(p)) {
            found = p;
            break;
          }
      }
    } else {
      for (size_t p = last + 1; p-- > (anchored ? last : 0);)
        if (matchesAt(p)) {
          found = p;
          break;
        }
    }
    if (!found) return false;
    if (result) *result = CFRangeMake(r.location + static_cast<CFIndex>(*found), static_cast<CFIndex>(n));
    return true;
  }

  Key kh, kn;
  makeKey(hay, opts, kh, true);
  makeKey(needle, opts, kn, false);
  const std::u16string& ht = kh.text;
  const std::u16string& nt = kn.text;
  if (nt.empty() || nt.size() > ht.size()) return false;
  size_t segCount = kh.segStart.size();
  auto matchSeg = [&](size_t seg) -> std::optional<size_t> {
    size_t p = kh.segKeyStart[seg];
    size_t end = p + nt.size();
    if (end > ht.size() || ht.compare(p, nt.size(), nt) != 0) return std::nullopt;
    // The match must end where a segment ends.
    if (end < ht.size() && kh.unitSegment[end] == kh.unitSegment[end - 1]) return std::nullopt;
    return kh.unitSegment[end - 1];
  };
  auto segEnd = [&](size_t seg) { return seg + 1 < segCount ? kh.segStart[seg + 1] : hay.size(); };
  for (size_t k = 0; k < segCount; ++k) {
    size_t seg = backwards ? segCount - 1 - k : k;
    if (auto last = matchSeg(seg)) {
      if (anchored && !backwards && seg != 0) return false;
      if (anchored && backwards && segEnd(*last) != hay.size()) continue;
      if (result)
        *result = CFRangeMake(r.location + static_cast<CFIndex>(kh.segStart[seg]),
                              static_cast<CFIndex>(segEnd(*last) - kh.segStart[seg]));
      return true;
    }
    if (anchored && !backwards) return false;
  }
  return false;
}

CFRange CFStringFind(CFStringRef s, CFStringRef find, CFStringCompareFlags opts) {
  CFRange r{kCFNotFound, 0};
  if (!CFStringFindWithOptions(s, find, CFRangeMake(0, CFStringGetLength(s)), opts, &r)) return CFRange{kCFNotFound, 0};
  return r;
}

Boolean CFStringHasPrefix(CFStringRef s, CFStringRef prefix) {
  return CFStringFindWithOptions(s, prefix, CFRangeMake(0, CFStringGetLength(s)), kCFCompareAnchored, nullptr);
}

Boolean CFStringHasSuffix(CFStringRef s, CFStringRef suffix) {
  return CFStringFindWithOptions(s, suffix, CFRangeMake(0, CFStringGetLength(s)),
                                 kCFCompareAnchored | kCFCompareBackwards, nullptr);
}
