// libFuzzer target for the service's address as the client takes it from the environment
// (VELM_SERVICE_URL) or from the preference "VelmServiceURL", and the request addresses made
// from it.
//
// The first input byte chooses the source (even: the environment, odd: the preference); the
// rest is the address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "CFRef.h"
#include "CoreFoundation.h"
#include "NSURL.h"
#include "VelmClient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string address(reinterpret_cast<const char*>(data) + 1, size - 1);
  unsetenv("VELM_SERVICE_URL");
  CFPreferencesSetAppValue(CFSTR("VelmServiceURL"), nullptr, kCFPreferencesCurrentApplication);
  if (data[0] % 2 == 0) {
    address = address.substr(0, address.find('\0'));
    setenv("VELM_SERVICE_URL", address.c_str(), 1);
  } else {
    CFRef<CFStringRef> value(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(address.data()),
                                                     static_cast<CFIndex>(address.size()), kCFStringEncodingUTF8, false));
    if (value) CFPreferencesSetAppValue(CFSTR("VelmServiceURL"), value.get(), kCFPreferencesCurrentApplication);
  }
  CFRef<CFStringRef> base(VelmCopyServiceBaseURL());
  if (!base) std::abort();  // there is always an address
  CFIndex length = CFStringGetLength(base.get());
  if (length > 0 && CFStringGetCharacterAtIndex(base.get(), length - 1) == '/') std::abort();
  CFRef<CFStringRef> url(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@/api/get_api_signature.php?a=%@"),
                                                  base.get(), base.get()));
  std::optional<NSURL> parsed = NSURL::URLWithString(url.get());
  if (parsed) (void)parsed->utf8();
  return 0;
}
