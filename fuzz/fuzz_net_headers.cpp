// libFuzzer target for the reading of an HTTP answer's header lines in the URL loading layer.
//
// The input is the header block of an answer, cut into lines after each line feed as libcurl
// hands them over (interim answers and redirects included, each starting with its status line).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CFRef.h"
#include "CoreFoundation.h"
#include "NSURLConnection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string block(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < block.size()) {
    std::size_t end = block.find('\n', start);
    end = end == std::string::npos ? block.size() : end + 1;
    lines.push_back(block.substr(start, end - start));
    start = end;
  }
  NSHTTPURLResponse response = NSHTTPURLResponseFromHeaderLines(lines);
  for (CFStringRef field : {CFSTR("Content-Type"), CFSTR("content-length"), CFSTR("LOCATION"), CFSTR("")})
    (void)response.valueForHTTPHeaderField(field);
  return 0;
}
