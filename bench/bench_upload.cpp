// 100 uploads of a 1 MB photo to velm-server on loopback: through VelmClient, and as the same
// two requests per photo (signature, then the multipart POST) made by the curl program.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchTable.h"
#include "Md5TestSupport.h"
#include "CoreFoundation.h"
#include "VelmClient.h"

extern char** environ;

using velmtest::md5Hex;

namespace {

namespace fs = std::filesystem;

constexpr int kUploads = 100;
double gVelmPerUpload = NAN, gCurlPerUpload = NAN;  // seconds, best round
constexpr std::size_t kPhotoSize = 1 << 20;
const std::string kBoundary = "---------------------------8f999edae883c6039b244c0d341f45f8";

// Runs a program; returns its standard output, or nothing when it failed.
bool run(const std::vector<std::string>& args, std::string* out, const std::string& input = {}) {
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  int outPipe[2], inPipe[2];
  if (pipe(outPipe) != 0 || pipe(inPipe) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  for (int fd : {outPipe[0], outPipe[1], inPipe[0], inPipe[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(inPipe[0]);
  if (rc != 0) {
    close(outPipe[0]);
    close(inPipe[1]);
    return false;
  }
  if (!input.empty() && write(inPipe[1], input.data(), input.size()) < 0) {
  }
  close(inPipe[1]);
  out->clear();
  char buffer[4096];
  ssize_t n;
  while ((n = read(outPipe[0], buffer, sizeof buffer)) > 0) out->append(buffer, static_cast<std::size_t>(n));
  close(outPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// velm-server on a free loopback port with a private data folder and the account bench/bench.
class Server {
 public:
  Server() {
    char pattern[] = "/tmp/velm-bench-XXXXXX";
    if (!mkdtemp(pattern)) return;
    dir_ = pattern;
    setenv("HOME", dir_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    std::string ignored;
    if (!run({VELM_SERVER_BINARY, "--data", (dir_ / "data").string(), "add-user", "bench"}, &ignored, "bench\n")) return;

    std::vector<std::string> args = {VELM_SERVER_BINARY, "--data", (dir_ / "data").string(), "--listen",
                                     "127.0.0.1:0", "--max-upload", "4194304"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c;
    while (pid_ > 0 && read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    close(out[0]);
    const std::string prefix = "listening on ";
    if (line.rfind(prefix, 0) == 0) url_ = line.substr(prefix.size());
  }
  ~Server() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  const std::string& url() const { return url_; }
  const fs::path& dir() const { return dir_; }
  // Drops the stored photos between rounds, so the benchmark does not fill the disk.
  void dropPhotos() const {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir_ / "data" / "photos", ec)) fs::remove(e.path(), ec);
  }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  std::string url_;
};

Server& server() {
  static Server s;
  return s;
}

std::string photoBytes() {
  std::string bytes = "\xFF\xD8\xFF\xE0";
  bytes.resize(kPhotoSize);
  for (std::size_t i = 4; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 24);
  return bytes;
}

// Wall time per upload, in seconds.
void perUpload(benchmark::State& state) {
  state.counters["per_upload"] = benchmark::Counter(
      static_cast<double>(kUploads), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Cuts the "\n<seconds>" that curl's -w option appended to its output and returns the seconds.
double splitTime(std::string* output) {
  std::size_t at = output->rfind('\n');
  if (at == std::string::npos) return 0;
  double seconds = std::atof(output->c_str() + at + 1);
  output->erase(at);
  return seconds;
}

void BM_VelmClientUploads(benchmark::State& state) {
  if (server().url().empty()) return state.SkipWithError("velm-server did not start");
  setenv("VELM_SERVICE_URL", server().url().c_str(), 1);
  std::string bytes = photoBytes();
  CFRef<CFDataRef> photo(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
  VelmClient client;
  client.setName(CFSTR("bench"), CFSTR("bench"));
  client.setPrivacy(1000);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kUploads; ++i) {
      if (client.uploadFileSync(photo, CFSTR("IMG_1"), CFSTR("Beach"), CFSTR("sea,sun"), 48.1234567, 11.5761249) != 0)
        return state.SkipWithError("an upload failed");
    }
    double round = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kUploads;
    if (!(round >= gVelmPerUpload)) gVelmPerUpload = round;
    state.PauseTiming();
    server().dropPhotos();
    state.ResumeTiming();
  }
  perUpload(state);
}

void BM_CurlProgramUploads(benchmark::State& state) {
  if (server().url().empty()) return state.SkipWithError("velm-server did not start");
  // The same body the client sends, written once.
  fs::path body = server().dir() / "body.bin";
  {
    std::ofstream f(body, std::ios::binary);
    f << "--" << kBoundary << "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"IMG_1\"\r\n"
      << "Content-Type: image/jpeg\r\n\r\n"
      << photoBytes() << "\r\n--" << kBoundary << "--";
  }
  const std::string passwordHash = md5Hex("bench");
  double transferSeconds = 0;
  std::string bodyArgument = "@";
  bodyArgument += body.string();
  for (auto _ : state) {
    double roundSeconds = 0;
    for (int i = 0; i < kUploads; ++i) {
      // Each curl run also reports the time its transfer took, start-up of the program aside.
      std::string signature, answer;
      if (!run({"curl", "-s", "-w", "\n%{time_total}", server().url() + "/api/get_api_signature.php"}, &signature))
        return state.SkipWithError("curl failed");
      double t = splitTime(&signature);
      transferSeconds += t;
      roundSeconds += t;
      std::string url = server().url() + "/api/post_photo_xml.php?auth_user_name=bench&api_signature=" + signature +
                        "&auth_token=" + md5Hex(passwordHash + signature) +
                        "&caption=IMG_1&description=Beach&tags=sea%2Csun&object_latitude=48.123455"
                        "&object_longitude=11.576125&latitude=48.123455&longitude=11.576125&privacy=1000";
      if (!run({"curl", "-s", "-w", "\n%{time_total}", "-H", "Expect:", "-H",
                "Content-Type: multipart/form-data; boundary=" + kBoundary, "--data-binary", bodyArgument, url},
               &answer) ||
          answer.find("<url>") == std::string::npos)
        return state.SkipWithError("the curl upload failed");
      t = splitTime(&answer);
      transferSeconds += t;
      roundSeconds += t;
    }
    if (!(roundSeconds / kUploads >= gCurlPerUpload)) gCurlPerUpload = roundSeconds / kUploads;
    state.PauseTiming();
    server().dropPhotos();
    state.ResumeTiming();
  }
  perUpload(state);
  // The two transfers alone, as curl measured them.
  state.counters["curl_transfer_per_upload"] =
      benchmark::Counter(transferSeconds / (static_cast<double>(state.iterations()) * kUploads));
}

BENCHMARK(BM_VelmClientUploads)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CurlProgramUploads)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (std::isfinite(gVelmPerUpload) || std::isfinite(gCurlPerUpload))
    benchtable::row("upload of 1 MB (signature + multipart POST), loopback", "curl (transfer time)",
                    gVelmPerUpload * 1000, gCurlPerUpload * 1000, "ms", benchtable::Goal::RatioAtMost, 1.1);
  return 0;
}
