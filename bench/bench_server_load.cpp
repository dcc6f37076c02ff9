// Load on velm-server: uploads per second through one server on loopback with 1, 8 and 32
// concurrent clients, each client signing and uploading photos one after the other over its
// own kept-alive connection, with the server's peak memory for each. Every row has a fresh
// server, so each peak is its own. Printed side by side as one table.
//
//   bench_server_load [UPLOADS_PER_ROW] [PHOTO_BYTES]     defaults: 960 uploads of 256 KiB
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Md5TestSupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using velmtest::md5Hex;

const std::string kBoundary = "---------------------------8f999edae883c6039b244c0d341f45f8";

pid_t spawn(const std::vector<std::string>& args, int stdoutFd, int stdinFd) {
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
  else posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (stdinFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// velm-server on a free loopback port with a private data folder and the account bench/bench.
class Server {
 public:
  explicit Server(const fs::path& dir) : dir_(dir) {
    fs::create_directories(dir_);
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    pid_t adder = spawn({VELM_SERVER_BINARY, "--data", dir_.string(), "add-user", "bench"}, -1, in[0]);
    close(in[0]);
    if (write(in[1], "bench\n", 6) != 6) {
    }
    close(in[1]);
    int status = 0;
    if (adder < 0 || waitpid(adder, &status, 0) < 0 || status != 0) return;

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = spawn({VELM_SERVER_BINARY, "--data", dir_.string(), "--listen", "127.0.0.1:0", "--max-upload", "8388608"},
                 out[1], -1);
    close(out[1]);
    std::string line;
    char c;
    while (pid_ > 0 && read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
    close(out[0]);
    std::size_t colon = line.rfind(':');
    if (line.rfind("listening on ", 0) == 0 && colon != std::string::npos) port_ = std::atoi(line.c_str() + colon + 1);
  }
  ~Server() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }
  // The server's peak resident memory in KiB.
  long peakKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
  }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

struct Row {
  int clients;
  double seconds;
  int done;
  int failed;
  long peakKiB;
};

Row runRow(const fs::path& dir, int clients, int uploads, const std::string& body) {
  Server server(dir);
  Row row{clients, 0, 0, 0, -1};
  if (server.port() == 0) {
    row.failed = uploads;
    return row;
  }
  const std::string passwordHash = md5Hex("bench");
  std::atomic<int> next{0}, done{0}, failed{0};
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < clients; ++t) {
    threads.emplace_back([&] {
      httplib::Client client("127.0.0.1", server.port());
      client.set_keep_alive(true);
      client.set_read_timeout(120, 0);
      client.set_write_timeout(120, 0);
      while (next++ < uploads) {
        auto sig = client.Get("/api/get_api_signature.php");
        if (!sig || sig->status != 200) {
          ++failed;
          continue;
        }
        std::string target = "/api/post_photo_xml.php?auth_user_name=bench&api_signature=" + sig->body +
                             "&auth_token=" + md5Hex(passwordHash + sig->body) +
                             "&caption=IMG_1&description=Beach&tags=sea%2Csun&object_latitude=48.123455"
                             "&object_longitude=11.576125&latitude=48.123455&longitude=11.576125&privacy=1000";
        auto r = client.Post(target.c_str(), body, ("multipart/form-data; boundary=" + kBoundary).c_str());
        if (r && r->status == 200) ++done;
        else ++failed;
      }
    });
  }
  for (auto& t : threads) t.join();
  row.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  row.done = done;
  row.failed = failed;
  row.peakKiB = server.peakKiB();
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  const int uploads = argc > 1 ? std::atoi(argv[1]) : 960;
  const std::size_t photoBytes = argc > 2 ? static_cast<std::size_t>(std::atol(argv[2])) : 256 * 1024;
  if (uploads <= 0 || photoBytes < 4) {
    std::fprintf(stderr, "usage: bench_server_load [UPLOADS_PER_ROW] [PHOTO_BYTES]\n");
    return 2;
  }
  std::string photo = "\xFF\xD8\xFF\xE0";
  photo.resize(photoBytes);
  for (std::size_t i = 4; i < photo.size(); ++i) photo[i] = static_cast<char>((i * 2654435761u) >> 24);
  const std::string body = "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"IMG_1\"\r\n"
                           "Content-Type: image/jpeg\r\n\r\n" + photo + "\r\n--" + kBoundary + "--";

  char pattern[] = "/tmp/velm-bench-load-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const fs::path root = pattern;
  std::vector<Row> rows;
  for (int clients : {1, 8, 32}) rows.push_back(runRow(root / std::to_string(clients), clients, uploads, body));
  std::error_code ec;
  fs::remove_all(root, ec);

  std::printf("velm-server under load: %d uploads of %zu bytes per row, loopback, a fresh server per row\n",
              uploads, photoBytes);
  std::printf("%8s %12s %12s %8s %16s\n", "clients", "uploads/s", "MB/s", "failed", "server peak MiB");
  int status = 0;
  for (const Row& r : rows) {
    double rate = r.seconds > 0 ? r.done / r.seconds : 0;
    std::printf("%8d %12.1f %12.1f %8d %16.1f\n", r.clients, rate, rate * static_cast<double>(photoBytes) / 1e6,
                r.failed, static_cast<double>(r.peakKiB) / 1024.0);
    if (r.failed) status = 1;
  }
  return status;
}
