// Security: generic passwords in the user's keychain, found by service name and account name.
//
// The keychain is the Secret Service of the desktop session, reached through libsecret. An item
// carries the attributes "service" and "account" (UTF-8 texts) and the password as its secret,
// so that `secret-tool lookup service S account A` finds it, and items that secret-tool stored
// with these two attributes are found here. Every call to the Secret Service is bounded in time:
// a daemon that does not answer makes the call fail with errSecNotAvailable instead of blocking.
//
// When no Secret Service answers within a second (no session bus, no daemon), the keychain is a
// private file store with the same contract: $XDG_DATA_HOME/keychains/generic-passwords.plist
// (~/.local/share when XDG_DATA_HOME is unset), an XML property list of mode 0600 in a folder of
// mode 0700 owned by the user. A store file that cannot be read is never overwritten: calls fail
// with errSecInvalidKeychain until it is repaired or removed.
//
// The store is chosen at the first keychain call of the process and stays chosen; the choice is
// written once to the system log (NSLog). SecKeychainSetStoreKind lets a host (or a test) choose.
//
// Service names, account names and passwords are byte strings with an explicit length; names
// must be UTF-8 without zero bytes (errSecParam otherwise). The keychain argument of each call
// is ignored: the default keychain is used. Items are CoreFoundation objects (CFRelease).
#pragma once

#include "CFBase.h"
#include "MacTypes.h"

typedef struct OpaqueSecKeychainRef* SecKeychainRef;
typedef struct OpaqueSecKeychainItemRef* SecKeychainItemRef;
typedef struct SecKeychainAttributeList SecKeychainAttributeList;

enum : OSStatus {
  errSecSuccess = 0,
  errSecParam = -50,
  errSecAllocate = -108,
  errSecNotAvailable = -25291,
  errSecInvalidKeychain = -25295,
  errSecDuplicateItem = -25299,
  errSecItemNotFound = -25300,
  errSecInteractionNotAllowed = -25308,
};

// Adds an item; errSecDuplicateItem when one with this service and account exists already.
// itemRef (may be null) receives the new item, which the caller releases.
OSStatus SecKeychainAddGenericPassword(SecKeychainRef keychain, UInt32 serviceNameLength, const char* serviceName,
                                       UInt32 accountNameLength, const char* accountName, UInt32 passwordLength,
                                       const void* passwordData, SecKeychainItemRef* itemRef);

// Finds the item with this service and account; errSecItemNotFound when there is none.
// passwordLength and passwordData (each may be null) receive the password's bytes, to be freed
// with SecKeychainItemFreeContent; itemRef (may be null) receives the item (caller releases).
// On failure the out-values are set to 0 and null.
OSStatus SecKeychainFindGenericPassword(CFTypeRef keychainOrArray, UInt32 serviceNameLength,
                                        const char* serviceName, UInt32 accountNameLength, const char* accountName,
                                        UInt32* passwordLength, void** passwordData, SecKeychainItemRef* itemRef);

// Removes the item from the keychain (the reference itself is still released by the caller).
OSStatus SecKeychainItemDelete(SecKeychainItemRef itemRef);

// Frees what a find call returned; both may be null.
OSStatus SecKeychainItemFreeContent(SecKeychainAttributeList* attrList, void* data);

CFTypeID SecKeychainItemGetTypeID(void);

// ---- This stand-in's own: which store serves the keychain.
typedef enum {
  kSecKeychainStoreAutomatic = 0,  // the Secret Service when it answers within a second, else the file store
  kSecKeychainStoreSecretService = 1,
  kSecKeychainStoreFile = 2,
} SecKeychainStoreKind;

// The store in use, choosing it now (and logging the choice) when none is chosen yet.
SecKeychainStoreKind SecKeychainGetStoreKind(void);
// Chooses the store; kSecKeychainStoreAutomatic makes the next keychain call choose again.
void SecKeychainSetStoreKind(SecKeychainStoreKind kind);
