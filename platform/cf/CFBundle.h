// CoreFoundation bundles: folders of code and resources.
//
// A bundle folder holds Contents/Info.plist (XML or binary property list) and
// Contents/Resources/<language>.lproj/<table>.strings. A flat folder (Info.plist and the
// .lproj folders directly inside it) is accepted too. The main bundle of a program installed as
// PREFIX/bin/NAME is the flat folder PREFIX/share/NAME (the build tree mirrors this layout).
// String tables are "key" = "value"; files (UTF-8 or UTF-16 with a byte-order mark, with
// comments) or property-list dictionaries. The language is chosen from the user's preferred
// languages among the bundle's .lproj folders, falling back to the development region
// (CFBundleDevelopmentRegion), then English.
#pragma once

#include "CFBase.h"
#include "CFDictionary.h"
#include "CFURL.h"

typedef struct __CFBundle* CFBundleRef;

CFBundleRef CFBundleGetMainBundle();
// Bundles created so far (and the main bundle), found by their CFBundleIdentifier.
CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef bundleID);
CFBundleRef CFBundleCreate(CFAllocatorRef alloc, CFURLRef bundleURL);
CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);
CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle);
CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key);
CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle);
CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle);
// The URL of a resource file, searched in the chosen language's folder, then the resources folder.
CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName, CFStringRef resourceType,
                                 CFStringRef subDirName);
// The localized string for key in tableName ("Localizable" when null); when there is none:
// value when it is not null and not empty, else the key.
CFStringRef CFBundleCopyLocalizedString(CFBundleRef bundle, CFStringRef key, CFStringRef value, CFStringRef tableName);
// The language folder name the bundle's strings come from ("en", "de", ...).
CFStringRef CFBundleCopyLocalizationInUse(CFBundleRef bundle);

extern const CFStringRef kCFBundleIdentifierKey;
extern const CFStringRef kCFBundleDevelopmentRegionKey;
extern const CFStringRef kCFBundleNameKey;
extern const CFStringRef kCFBundleExecutableKey;
