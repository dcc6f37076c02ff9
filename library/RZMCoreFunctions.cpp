#include "RZMCoreFunctions.h"

#include "CFRef.h"
#include "Security.h"
#include "myDebug.h"
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

// ---- Keychain

namespace {

constexpr UInt32 kKeychainFieldSize = 128;

// One keychain field: the text's UTF-8 in a zero-filled buffer of 128 bytes. False when the text
// does not fit or cannot be written as UTF-8; an absent text gives length 0.
struct KeychainField {
  char bytes[kKeychainFieldSize] = {};
  UInt32 length = 0;

  bool set(CFStringRef s) {
    length = 0;
    if (!s || CFStringGetLength(s) == 0) return true;
    UInt32 size = ORBStringGetUTF8Size(s);
    if (size == 0 || size > kKeychainFieldSize) return false;
    ORBStringCopyToUTF8(s, bytes, &length);
    return length == size;
  }
};

}  // namespace

OSStatus securityStorePassword(CFStringRef serviceName, CFStringRef accountName, CFStringRef password) {
  KeychainField service, account, secret;
  if (!service.set(serviceName) || !account.set(accountName) || !secret.set(password)) return errSecParam;
  OSStatus status = SecKeychainAddGenericPassword(nullptr, service.length, service.bytes, account.length, account.bytes,
                                                  secret.length, secret.bytes, nullptr);
  if (status != errSecDuplicateItem) return status;
  SecKeychainItemRef found = nullptr;
  if (SecKeychainFindGenericPassword(nullptr, service.length, service.bytes, account.length, account.bytes, nullptr,
                                     nullptr, &found) == errSecSuccess) {
    CFRef<SecKeychainItemRef> item(found);
    SecKeychainItemDelete(item.get());
  }
  return SecKeychainAddGenericPassword(nullptr, service.length, service.bytes, account.length, account.bytes,
                                       secret.length, secret.bytes, nullptr);
}

CFStringRef securityLoadPassword(CFStringRef serviceName, CFStringRef accountName) {
  KeychainField service, account;
  UInt32 length = 0;
  void* bytes = nullptr;
  if (service.set(serviceName) && account.set(accountName))
    SecKeychainFindGenericPassword(nullptr, service.length, service.bytes, account.length, account.bytes, &length,
                                   &bytes, nullptr);
  CFStringRef password = ORBStringFromUTF8(bytes ? static_cast<const char*>(bytes) : "",
                                           static_cast<SInt32>(bytes ? length : 0));
  SecKeychainItemFreeContent(nullptr, bytes);
  return password;
}

// ---- Preferences

OSStatus prefStoreString(CFStringRef key, CFStringRef value) {
  CFPreferencesSetAppValue(key, value, kCFPreferencesCurrentApplication);
  uCFRelease(key);
  return 0;
}

OSStatus prefLoadString(CFStringRef key, CFStringRef* value) {
  CFRef<CFTypeRef> stored(CFPreferencesCopyAppValue(key, kCFPreferencesCurrentApplication));
  uCFRelease(key);
  // Only a text counts: a number or a date stored under the key is no name.
  if (stored && CFGetTypeID(stored.get()) == CFStringGetTypeID() && value)
    *value = static_cast<CFStringRef>(stored.release());
  return 0;
}

OSStatus prefStoreUInt32(CFStringRef key, UInt32 value) {
  SInt32 signedValue = static_cast<SInt32>(value);
  CFRef<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberSInt32Type, &signedValue));
  CFPreferencesSetAppValue(key, number.get(), kCFPreferencesCurrentApplication);
  uCFRelease(key);
  return 0;
}

SInt16 prefLoadUInt32(CFStringRef key, UInt32* value) {
  CFRef<CFTypeRef> stored(CFPreferencesCopyAppValue(key, kCFPreferencesCurrentApplication));
  uCFRelease(key);
  if (!stored) return -1;
  CFTypeID type = CFGetTypeID(stored.get());
  if (type == CFStringGetTypeID()) {
    if (value) *value = static_cast<UInt32>(CFStringGetIntValue(static_cast<CFStringRef>(stored.get())));
    return 0;
  }
  if (type == CFNumberGetTypeID()) {
    SInt32 n = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(stored.get()), kCFNumberSInt32Type, &n);
    if (value) *value = static_cast<UInt32>(n);
    return 0;
  }
  return -1;
}

// ---- Numbered localized texts

namespace {
// The bundle whose "Localizable" table holds the numbered texts; set by initStringBundle.
CFBundleRef gStringBundle = nullptr;
}  // namespace

CFBundleRef initStringBundle(CFStringRef bundleIdentifier) {
  gStringBundle = CFBundleGetBundleWithIdentifier(bundleIdentifier);
  return gStringBundle;
}

CFStringRef iuGetIndCFString(SInt16 table, SInt16 index) {
  CFRef<CFStringRef> key(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("STR#%i:%i"), static_cast<int>(table),
                                                  static_cast<int>(index)));
  if (!key) {
    debugAssertFailed(-37, "RZMCoreFunctions", 182);
    return nullptr;
  }
  if (!gStringBundle) return nullptr;
  return CFBundleCopyLocalizedString(gStringBundle, key.get(), nullptr, CFSTR("Localizable"));
}

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
