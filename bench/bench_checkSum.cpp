// File checksums: csGetCheckSum of a 1 GiB file whose pages are in the page cache, against the
// openssl program hashing the same file in the same run. The goal is at least 0.9 times the
// program's throughput.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchTable.h"
#include "checkSum.h"

namespace {

constexpr size_t kFileSize = size_t(1) << 30;
std::string gPath;
double gBestOurs = 0, gBestOpenssl = 0;  // bytes per second

// A file of pseudo-random bytes (not sparse: every page is real data), read once to warm the cache.
bool makeFile() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/velm-bench-checksum-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) return false;
  gPath = name.data();
  std::vector<unsigned char> block(1 << 20);
  unsigned state = 12345;
  for (size_t written = 0; written < kFileSize; written += block.size()) {
    for (auto& b : block) b = static_cast<unsigned char>((state = state * 1103515245u + 12345u) >> 24);
    if (write(fd, block.data(), block.size()) != ssize_t(block.size())) return false;
  }
  fsync(fd);
  lseek(fd, 0, SEEK_SET);
  while (read(fd, block.data(), block.size()) > 0) {
  }
  close(fd);
  return true;
}

void BM_csGetCheckSum(benchmark::State& state) {
  FSRef ref;
  if (FSPathMakeRef(reinterpret_cast<const UInt8*>(gPath.c_str()), &ref, nullptr) != noErr) {
    state.SkipWithError("no reference to the file");
    return;
  }
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    Checksum digest;
    if (csGetCheckSum(ref, &digest, nullptr, nullptr) != 0) state.SkipWithError("checksum failed");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    gBestOurs = std::max(gBestOurs, kFileSize / seconds);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}
BENCHMARK(BM_csGetCheckSum)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_opensslDgstMD5(benchmark::State& state) {
  const std::string command = "openssl dgst -md5 '" + gPath + "' > /dev/null";
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) state.SkipWithError("openssl failed");
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    gBestOpenssl = std::max(gBestOpenssl, kFileSize / seconds);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}
BENCHMARK(BM_opensslDgstMD5)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!makeFile()) {
    std::fprintf(stderr, "cannot write the 1 GiB test file\n");
    if (!gPath.empty()) unlink(gPath.c_str());
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  unlink(gPath.c_str());
  if (gBestOurs > 0 && gBestOpenssl > 0)
    std::printf("csGetCheckSum / openssl dgst -md5 throughput (best runs): %.0f / %.0f MB/s = %.2fx (goal 0.90x)\n",
                gBestOurs / 1e6, gBestOpenssl / 1e6, gBestOurs / gBestOpenssl);
  if (gBestOurs > 0 || gBestOpenssl > 0)
    benchtable::row("checksum of a 1 GiB cached file: throughput", "openssl dgst -md5", gBestOurs / 1e6,
                    gBestOpenssl / 1e6, "MB/s", benchtable::Goal::RatioAtLeast, 0.9);
  return 0;
}
