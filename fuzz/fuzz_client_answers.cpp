// libFuzzer target for the service client's reading of the service's answers: the result
// code, the photo's page address and the album list, and the string library's XML finders and
// number reading beneath them.
//
// The input is one answer body as it would come off the wire.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "CFRef.h"
#include "CoreFoundation.h"
#include "VelmClient.h"
#include "stringEngine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CFRef<CFDataRef> answer(CFDataCreate(nullptr, data, static_cast<CFIndex>(size)));
  VelmClient client;
  (void)client.processVelmResult(answer.get());
  CFRef<CFStringRef> url(client.getVelmResultURL(answer.get()));
  if (CFArrayRef albums = client.getAlbumListFromResult(answer.get())) {
    if (CFArrayGetCount(albums) > 50) std::abort();  // the list is capped
  }

  // The string library underneath, on the same text.
  CFRef<CFStringRef> text(ORBStringFromUTF8(reinterpret_cast<const char*>(data), static_cast<SInt32>(size)));
  if (!text) return 0;
  for (CFStringRef element : {CFSTR("error"), CFSTR("url"), CFSTR("name"), CFSTR("albums_count")}) {
    CFRef<CFStringRef> found(ORBStringSimpleXMLParserFindData(text.get(), element));
    if (found) {
      (void)ORBStringGetIntValue(found.get());
      (void)ORBStringGetDoubleValue(found.get());
    }
    CFRef<CFStringRef> third(ORBStringSimpleXMLParserFindNthData(text.get(), element, 3));
  }
  (void)ORBStringGetIntValue(text.get());
  (void)ORBStringGetDoubleValue(text.get());
  return 0;
}
