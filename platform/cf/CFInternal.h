// Internal object layout of the CoreFoundation stand-in. Not installed.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "CoreFoundation.h"

namespace cfimpl {

enum TypeID : CFTypeID {
  kTypeNull = 1,
  kTypeString = 7,
  kTypeData = 20,
  kTypeArray = 19,
  kTypeDictionary = 18,
  kTypeNumber = 22,
  kTypeBoolean = 21,
  kTypeDate = 42,
  kTypeUUID = 30,
  kTypeLocale = 40,
  kTypeDateFormatter = 43,
  kTypeNumberFormatter = 44,
  kTypeBundle = 31,
  kTypeURL = 29,
};

// Common header of every object: a reference count and the object's kind.
struct Object {
  explicit Object(CFTypeID type) : typeID(type) {}
  virtual ~Object() = default;
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  virtual bool equal(const Object* other) const { return this == other; }
  virtual CFHashCode hash() const { return reinterpret_cast<CFHashCode>(this); }
  virtual std::u16string describe() const;

  std::atomic<long> refCount{1};
  const CFTypeID typeID;
  bool immortal = false;
};

inline const Object* obj(CFTypeRef cf) { return static_cast<const Object*>(cf); }
inline bool isA(CFTypeRef cf, CFTypeID type) { return cf && obj(cf)->typeID == type; }

// UTF-8 <-> UTF-16 helpers. toUTF8 returns false (and leaves out empty) for unpaired surrogates.
bool toUTF8(std::u16string_view in, std::string& out);
// Decodes UTF-8 strictly; false for invalid bytes, overlong forms and encoded surrogates.
bool fromUTF8(std::string_view in, std::u16string& out);
// Lossy UTF-8 for diagnostics: unpaired surrogates become U+FFFD.
std::string toUTF8Lossy(std::u16string_view in);
std::u16string fromASCII(std::string_view in);

// The UTF-16 units of a string object (empty for null).
const std::u16string& units(CFStringRef s);
// New immutable string object holding the units.
CFStringRef makeString(std::u16string units);

// Reads a property list like CFPropertyListCreateWithData, except that an entry of a top-level
// dictionary whose key or value cannot be read (text that is not UTF-8 or holds NUL, a nested
// value of that kind) is left out instead of failing the whole list. The keys of the entries
// left out go to dropped (empty for a key that could not be read itself).
CFPropertyListRef propertyListCreateLenient(CFDataRef data, CFOptionFlags options, std::vector<std::string>& dropped);

// The table of a .strings file's bytes: a property list dictionary, or "key" = "value"; lines
// in UTF-16 (with a byte order mark), UTF-8 or MacRoman. Null when the bytes are neither.
CFDictionaryRef stringsTableCreateWithData(const std::string& bytes);

}  // namespace cfimpl

struct __CFString : cfimpl::Object {
  __CFString(std::u16string s, bool isMutable)
      : Object(cfimpl::kTypeString), text(std::move(s)), mutableString(isMutable) {}
  bool equal(const Object* other) const override;
  CFHashCode hash() const override;
  std::u16string describe() const override { return text; }

  std::u16string text;
  bool mutableString;
};
