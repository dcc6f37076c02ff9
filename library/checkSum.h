// MD5 checksums: of byte buffers and of strings' UTF-8 bytes, compared and written as text.
#pragma once

#include "CoreFoundation.h"
#include "MacTypes.h"

// An MD5 digest, exactly as the digest function produces it.
struct Checksum {
  UInt8 bytes[16];
};

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
