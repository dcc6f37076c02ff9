// Replays a fuzz target's kept inputs as an ordinary test: every file in the folders given on
// the command line (seed inputs and inputs that once went wrong) is fed once to the target,
// in name order. Built with the normal compiler and the sanitizers, so a fault that comes back
// fails ./velm test. HOME and the XDG folders point into a private folder meanwhile.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "Sandbox.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  fs::path sandbox = velmtest::enterSandbox();
  if (sandbox.empty()) return 2;
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);

  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    fs::path arg = argv[i];
    if (fs::is_directory(arg, ec)) {
      for (const auto& entry : fs::directory_iterator(arg, ec))
        if (entry.is_regular_file(ec)) inputs.push_back(entry.path());
    } else if (fs::is_regular_file(arg, ec)) {
      inputs.push_back(arg);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  if (inputs.empty()) {
    std::fprintf(stderr, "no kept inputs found: the target needs at least one seed input\n");
    velmtest::leaveSandbox(sandbox);
    return 1;
  }
  for (const auto& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::printf("%s (%zu bytes)\n", path.c_str(), bytes.size());
    std::fflush(stdout);
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  velmtest::leaveSandbox(sandbox);
  return 0;
}
