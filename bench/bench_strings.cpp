// The string paths the service client runs for every photo.
#include <benchmark/benchmark.h>

#include <string>

#include "checkSum.h"
#include "stringEngine.h"

namespace {

CFStringRef utf8(const std::string& s) { return ORBStringFromUTF8(s.data(), static_cast<SInt32>(s.size())); }

// Escaping one query value: a caption with spaces, punctuation and non-ASCII letters.
void BM_EscapeQueryValue(benchmark::State& state) {
  CFStringRef value = utf8("Strand bei M\xC3\xBCnchen & Meer, Sommer 2008 \xE2\x80\x93 sea,sun");
  for (auto _ : state) {
    CFStringRef escaped = ORBStringConvertToURL(value);
    benchmark::DoNotOptimize(escaped);
    ORBStringRelease(&escaped);
  }
  ORBStringRelease(&value);
}
BENCHMARK(BM_EscapeQueryValue);

// Building the upload URL from escaped values, coordinates and the privacy level.
void BM_FormatUploadURL(benchmark::State& state) {
  CFStringRef name = utf8("anna"), sig = utf8("6f1ed002ab5595859014ebf0951522d9"),
              token = utf8("0cc175b9c0f1b6a831c399e269772661"), caption = utf8("IMG_1"), desc = utf8("Beach"),
              tags = utf8("sea%2Csun");
  for (auto _ : state) {
    CFStringRef url = ORBStringCreateWithFormat(
        CFSTR("/api/post_photo_xml.php?auth_user_name=%@&api_signature=%@&auth_token=%@&caption=%@&description=%@"
              "&tags=%@&object_latitude=%f&object_longitude=%f&latitude=%f&longitude=%f&privacy=%i"),
        name, sig, token, caption, desc, tags, 48.1234567, 11.5761249, 48.1234567, 11.5761249, 1000);
    benchmark::DoNotOptimize(url);
    ORBStringRelease(&url);
  }
  for (CFStringRef* s : {&name, &sig, &token, &caption, &desc, &tags}) ORBStringRelease(s);
}
BENCHMARK(BM_FormatUploadURL);

// The n-th album name of an answer listing 50 albums.
void BM_FindNthAlbum(benchmark::State& state) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><rsp stat=\"ok\"><albums_count>50</albums_count><albums>";
  for (int i = 1; i <= 50; ++i)
    xml += "<album><id>" + std::to_string(1000 + i) + "</id><name>Album Nummer " + std::to_string(i) +
           " \xE2\x80\x93 Gr\xC3\xBC\xC3\x9F" "e</name></album>";
  xml += "</albums></rsp>";
  CFStringRef text = utf8(xml);
  CFStringRef element = utf8("name");
  const auto n = static_cast<UInt32>(state.range(0));
  for (auto _ : state) {
    CFStringRef found = ORBStringSimpleXMLParserFindNthData(text, element, n);
    benchmark::DoNotOptimize(found);
    ORBStringRelease(&found);
  }
  ORBStringRelease(&text);
  ORBStringRelease(&element);
}
BENCHMARK(BM_FindNthAlbum)->Arg(1)->Arg(25)->Arg(50);

// The token: MD5 of the password's MD5 followed by the signature.
void BM_MD5OfString(benchmark::State& state) {
  CFStringRef s = utf8("0cc175b9c0f1b6a831c399e2697726616f1ed002ab5595859014ebf0951522d9");
  for (auto _ : state) {
    CFStringRef digest = csMakeMD5OfString(s);
    benchmark::DoNotOptimize(digest);
    ORBStringRelease(&digest);
  }
  ORBStringRelease(&s);
}
BENCHMARK(BM_MD5OfString);

}  // namespace

BENCHMARK_MAIN();
