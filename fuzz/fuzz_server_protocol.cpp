// libFuzzer target for velm-server's readers of request bytes: the query string, header
// parameters (the multipart Content-Type and its boundary), the multipart body and the numbers
// of the query.
//
// The first input byte chooses the reader: 0 the query, 1 a Content-Type value, 2 a multipart
// body whose first line is the boundary, 3 a coordinate and a privacy level. What a reader
// accepts is checked against what it promises.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "../apps/velm-server/Protocol.h"

using namespace velmserver;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void fuzzQuery(std::string_view text) {
  Error error{};
  std::optional<Query> query = parseQuery(text, &error);
  if (!query) {
    check(error == Error::MalformedQuery || error == Error::NotUtf8);
    return;
  }
  for (const auto& [key, value] : *query) {
    check(!key.empty());
    check(isCleanText(key) && isCleanText(value));
  }
}

void fuzzContentType(std::string_view text) {
  std::string first;
  std::map<std::string, std::string> params;
  if (headerParameters(text, first, params)) {
    for (const auto& [key, value] : params) {
      check(!key.empty());
      for (char c : key) check(!(c >= 'A' && c <= 'Z'));
    }
  }
  std::string boundary = multipartBoundary(text);
  check(boundary.size() <= 70);
  if (!boundary.empty()) check(isMultipartType(text));
  (void)xmlEscape(text);
}

void fuzzMultipart(std::string_view text) {
  std::size_t newline = text.find('\n');
  if (newline == std::string_view::npos) return;
  std::string_view boundary = text.substr(0, newline);
  std::string_view body = text.substr(newline + 1);
  Error error{};
  std::optional<FormPart> part = findFormPart(body, boundary, "file", &error);
  if (!part) {
    check(error == Error::MalformedMultipart || error == Error::NoPhoto);
    return;
  }
  check(part->name == "file");
  // The content lies inside the body.
  check(part->content.data() >= body.data() &&
        part->content.data() + part->content.size() <= body.data() + body.size());
}

void fuzzNumbers(std::string_view text) {
  if (std::optional<double> value = parseCoordinate(text)) {
    check(std::isfinite(*value));
    for (char c : text) check((c >= '0' && c <= '9') || c == '.' || c == '-');
  }
  if (std::optional<int> value = parseInteger(text)) check(std::to_string(*value).size() <= text.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0: fuzzQuery(text); break;
    case 1: fuzzContentType(text); break;
    case 2: fuzzMultipart(text); break;
    default: fuzzNumbers(text); break;
  }
  return 0;
}
