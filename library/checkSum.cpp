#include "checkSum.h"

// The MD5_* functions are the interface this module is defined on; OpenSSL 3 still provides them.
#define OPENSSL_API_COMPAT 0x10100000L
#include <openssl/md5.h>

#include <cstdlib>
#include <cstring>

#include "NSLog.h"
#include "stringEngine.h"

SInt32 csIsSameChecksum(const Checksum* a, const Checksum* b) {
  if (!a || !b) return 0;
  for (int w = 0; w < 4; ++w) {
    UInt32 x, y;
    memcpy(&x, a->bytes + 4 * w, 4);
    memcpy(&y, b->bytes + 4 * w, 4);
    if (x != y) return 0;
  }
  return 1;
}

CFStringRef csMakeStringFromChecksum(const Checksum* digest) {
  if (!digest) return nullptr;
  static const char kHex[] = "0123456789abcdef";
  char text[33];
  for (int i = 0; i < 16; ++i) {
    text[2 * i] = kHex[digest->bytes[i] >> 4];
    text[2 * i + 1] = kHex[digest->bytes[i] & 15];
  }
  text[32] = 0;
  return CFStringCreateWithCString(nullptr, text, kCFStringEncodingASCII);
}

CFStringRef csMakeMD5OfData(const void* bytes, UInt32 length) {
  Checksum digest{};
  MD5_CTX context;
  MD5_Init(&context);
  if (bytes && length) MD5_Update(&context, bytes, length);
  MD5_Final(digest.bytes, &context);
  return csMakeStringFromChecksum(&digest);
}

CFStringRef csMakeMD5OfString(CFStringRef s) {
  UInt32 size = ORBStringGetUTF8Size(s);
  void* buffer = calloc(size ? size : 1, 1);
  if (!buffer) return nullptr;
  UInt32 count = 0;
  ORBStringCopyToUTF8(s, buffer, &count);
  CFStringRef text = csMakeMD5OfData(buffer, count);
  free(buffer);
  return text;
}

void csTester(void) {
  // The MD5 of "abc" from the test suite of RFC 1321.
  static const Checksum kTest = {{0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0, 0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1,
                                  0x7f, 0x72}};
  CFRef<CFStringRef> text(csMakeStringFromChecksum(&kTest));
  NSLog(CFSTR("%@"), text.get());
}
