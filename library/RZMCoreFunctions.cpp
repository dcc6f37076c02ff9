#include "RZMCoreFunctions.h"

#include "stringEngine.h"

void uCFRelease(CFTypeRef object) {
  if (object) CFRelease(object);
}

void utMakeHFSStringFromCFString(CFStringRef s, HFSUniStr255* name) {
  if (!name) return;
  if (!s) {
    name->length = 0;
    return;
  }
  SInt32 length = ORBStringGetLength(s);
  if (length >= 256) length = 255;
  CFStringGetCharacters(s, CFRangeMake(0, length), name->unicode);
  name->length = static_cast<UInt16>(length);
}

void utMakeCFStringFromHFSString(const HFSUniStr255* name, CFStringRef* s) {
  if (!s) return;
  if (!name || name->length > 255) {
    *s = nullptr;
    return;
  }
  *s = CFStringCreateWithCharacters(kCFAllocatorDefault, name->unicode, name->length);
}

double radians(double degrees) { return degrees * 3.141592653589793 / 180.0; }

Boolean uAltPressed(void) { return false; }

namespace {

// The value under key when it is of the given type, else null.
CFTypeRef typedValue(CFDictionaryRef dictionary, CFStringRef key, CFTypeID type) {
  if (!dictionary || !key || CFGetTypeID(dictionary) != CFDictionaryGetTypeID()) return nullptr;
  auto value = static_cast<CFTypeRef>(CFDictionaryGetValue(dictionary, key));
  if (!value || CFGetTypeID(value) != type) return nullptr;
  return value;
}

}  // namespace

double convGetDouble(CFDictionaryRef dictionary, CFStringRef key) {
  auto number = static_cast<CFNumberRef>(typedValue(dictionary, key, CFNumberGetTypeID()));
  double value = 0.0;
  if (number) CFNumberGetValue(number, kCFNumberDoubleType, &value);
  return value;
}

UInt32 convGetUInt32(CFDictionaryRef dictionary, CFStringRef key) {
  auto number = static_cast<CFNumberRef>(typedValue(dictionary, key, CFNumberGetTypeID()));
  SInt32 value = 0;
  if (number) CFNumberGetValue(number, kCFNumberSInt32Type, &value);
  return static_cast<UInt32>(value);
}

CFStringRef convGetORBStringRef(CFDictionaryRef dictionary, CFStringRef key) {
  return static_cast<CFStringRef>(typedValue(dictionary, key, CFStringGetTypeID()));
}

CFStringRef iuGetIndRZMCFString(SInt16 index) {
  CFRef<CFStringRef> key(ORBStringCreateWithFormat(CFSTR("%i"), static_cast<int>(index)));
  if (!key) return nullptr;
  return CFBundleCopyLocalizedString(CFBundleGetMainBundle(), key.get(), key.get(), nullptr);
}
