// The platform's basic types, with their own names and field names.
//
// Integer types have the platform's widths. Str255 and Str63 are Pascal strings: a length byte
// followed by up to 255 (63) bytes. HFSUniStr255 is a Unicode file name of at most 255 UTF-16
// units. Status codes (OSErr, OSStatus) are 0 for success and negative for failures.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;

typedef float Float32;
typedef double Float64;

typedef unsigned char Boolean;
typedef char* Ptr;
typedef Ptr* Handle;
typedef long Size;
typedef uint32_t ByteCount;
typedef uint32_t ItemCount;
typedef uint32_t OptionBits;

typedef int16_t OSErr;
typedef int32_t OSStatus;
typedef uint32_t FourCharCode;
typedef FourCharCode OSType;
typedef FourCharCode ResType;

typedef uint16_t UniChar;
typedef uint32_t UniCharCount;
typedef UniChar* UniCharPtr;
typedef const UniChar* ConstUniCharPtr;
typedef uint32_t UTF32Char;

typedef unsigned char Str255[256];
typedef unsigned char Str63[64];
typedef unsigned char Str31[32];
typedef unsigned char Str15[16];
typedef unsigned char* StringPtr;
typedef const unsigned char* ConstStringPtr;
typedef const unsigned char* ConstStr255Param;
typedef const unsigned char* ConstStr63Param;

typedef uint32_t TextEncoding;

struct HFSUniStr255 {
  UInt16 length;       // number of UTF-16 units in unicode
  UniChar unicode[255];
};
typedef const HFSUniStr255* ConstHFSUniStr255Param;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

enum : OSErr {
  noErr = 0,
  paramErr = -50,
  memFullErr = -108,
  nilHandleErr = -109,
};

// Builds a four-character code from four characters: FOUR_CHAR_CODE('T','E','X','T').
constexpr FourCharCode FOUR_CHAR_CODE(char a, char b, char c, char d) {
  return (static_cast<FourCharCode>(static_cast<unsigned char>(a)) << 24) |
         (static_cast<FourCharCode>(static_cast<unsigned char>(b)) << 16) |
         (static_cast<FourCharCode>(static_cast<unsigned char>(c)) << 8) |
         static_cast<FourCharCode>(static_cast<unsigned char>(d));
}
