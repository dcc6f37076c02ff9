// An MD5 independent of the code under test (OpenSSL's EVP interface), for checking tokens.
#pragma once

#include <openssl/evp.h>

#include <string>

namespace velmtest {

// The lower-case hex MD5 of the bytes.
inline std::string md5Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += hex[digest[i] >> 4];
    out += hex[digest[i] & 15];
  }
  return out;
}

}  // namespace velmtest
