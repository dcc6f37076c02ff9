// MD5 checksums: of a whole file's data, of byte buffers and of strings' UTF-8 bytes, compared
// and written as text.
#pragma once

#include "CoreFoundation.h"
#include "CoreServices.h"
#include "MacTypes.h"

// An MD5 digest, exactly as the digest function produces it.
struct Checksum {
  UInt8 bytes[16];
};

// Called between the windows of a file checksum with the caller's argument.
typedef void (*csProgressProc)(void* argument);

// The MD5 of the file's data, read in memory-mapped windows of 64 MiB; progress (may be null) is
// called after every window but the last. 0 with the digest written; otherwise the digest is
// untouched and the result is the status of the path lookup, -1 when the file cannot be opened,
// -2 when a window cannot be mapped, or eofErr (-39) when the file shrank while it was read.
SInt32 csGetCheckSum(FSRef file, Checksum* digest, csProgressProc progress, void* argument);

// 1 when all 16 bytes are equal, else 0.
SInt32 csIsSameChecksum(const Checksum* a, const Checksum* b);
// The digest as 32 lower-case hexadecimal digits, in byte order.
CFStringRef csMakeStringFromChecksum(const Checksum* digest);
// Hex text of the MD5 of exactly length bytes.
CFStringRef csMakeMD5OfData(const void* bytes, UInt32 length);
// Hex text of the MD5 of the string's UTF-8 bytes (zero bytes for null, empty or unconvertible).
CFStringRef csMakeMD5OfString(CFStringRef s);
// Writes the hex text of a fixed test digest to the system log.
void csTester(void);
