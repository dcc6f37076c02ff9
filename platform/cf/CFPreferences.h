// CoreFoundation preferences: a key-value store per application.
//
// Each application's values live in one XML property list,
// $XDG_CONFIG_HOME/preferences/<application>.plist (~/.config when XDG_CONFIG_HOME is unset).
// kCFPreferencesCurrentApplication is the main bundle's identifier, or the program's name.
// Every write is persisted at once, atomically (a new file renamed over the old one), so a
// process that dies loses nothing. An entry of the file whose key or value cannot be read (text
// that is not UTF-8, written by another program) is left out with a line in the log; the other
// values are kept. A file that cannot be read as a dictionary at all is set aside as
// <application>.plist.unreadable-<time> (under the domain's file lock, with a line in the log)
// and treated as empty. A file that cannot be opened just now (too many open files, no
// permission) is never set aside: the values last read stay, and a write is refused rather than
// replace values it could not see.
#pragma once

#include "CFBase.h"
#include "CFString.h"

extern const CFStringRef kCFPreferencesCurrentApplication;

// value null removes the key. Values: strings, numbers, booleans, dates, data, arrays, dictionaries.
void CFPreferencesSetAppValue(CFStringRef key, CFTypeRef value, CFStringRef applicationID);
CFTypeRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID);
// Writes are already durable; kept for callers that ask for it. Returns true.
Boolean CFPreferencesAppSynchronize(CFStringRef applicationID);
