// CoreFoundation URLs: percent escapes and file URLs.
#pragma once

#include "CFBase.h"
#include "CFString.h"

typedef const struct __CFURL* CFURLRef;
typedef CFIndex CFURLPathStyle;
// The POSIX style ("/home/ann/Photo.jpg") and the colon-separated style: the volume's name, then
// each folder and the item, joined by colons ("Root:home:ann:Photo.jpg"); a volume's root folder
// ends in a colon ("Root:"). A colon inside a name on disk shows as "/" in the colon style. The
// volume names are those of the File Manager (CoreServices.h): "Root" for the root file system,
// else the file system's label, else the last component of its mount point.
enum : CFIndex { kCFURLPOSIXPathStyle = 0, kCFURLHFSPathStyle = 1 };

// Escapes every byte (of the string's bytes in the encoding) that is not legal in a URL, and
// every legal one listed in legalURLCharactersToBeEscaped, as %XX with upper-case hex digits;
// characters in charactersToLeaveUnescaped are never escaped. Legal are the ASCII letters and
// digits, -_.!~*'() and the reserved characters ;/?:@&=+$,
CFStringRef CFURLCreateStringByAddingPercentEscapes(CFAllocatorRef alloc, CFStringRef originalString,
                                                    CFStringRef charactersToLeaveUnescaped,
                                                    CFStringRef legalURLCharactersToBeEscaped,
                                                    CFStringEncoding encoding);
// Replaces every %XX escape (either case) by its byte, except those that decode to a character
// in charactersToLeaveEscaped, and reads the bytes as UTF-8. Null when they are not valid UTF-8.
// A null set replaces nothing; the empty set replaces every escape.
CFStringRef CFURLCreateStringByReplacingPercentEscapes(CFAllocatorRef alloc, CFStringRef originalString,
                                                       CFStringRef charactersToLeaveEscaped);

CFURLRef CFURLCreateWithString(CFAllocatorRef alloc, CFStringRef URLString, CFURLRef baseURL);
CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef alloc, CFStringRef filePath, CFURLPathStyle pathStyle,
                                       Boolean isDirectory);
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef alloc, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory);
CFStringRef CFURLGetString(CFURLRef anURL);
// The path of a file URL in the style, or null for other URLs and other styles.
CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle);
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer, CFIndex maxBufLen);
