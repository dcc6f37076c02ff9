// A velm-server of the benchmarks' own on loopback, with the account "bench" (password
// "secret"), stopped when it goes out of scope. VELM_SERVER_BINARY names the program.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace bench {

struct Server {
  pid_t pid = -1;
  std::string url;
  Server() = default;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
};

// Starts the server on the data folder; false when it could not be started.
inline bool startServer(const std::filesystem::path& data, Server& server) {
  std::string add = std::string("printf secret | '") + VELM_SERVER_BINARY + "' --data '" + data.string() +
                    "' add-user bench >/dev/null";
  if (std::system(add.c_str()) != 0) return false;
  int out[2];
  if (pipe(out) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string dataArg = data.string();
  std::vector<char*> argv = {const_cast<char*>(VELM_SERVER_BINARY), const_cast<char*>("--data"), dataArg.data(),
                             const_cast<char*>("--listen"), const_cast<char*>("127.0.0.1:0"), nullptr};
  int rc = posix_spawn(&server.pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    server.pid = -1;
    return false;
  }
  std::string line;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') line.push_back(c);
  close(out[0]);
  const std::string prefix = "listening on ";
  if (line.rfind(prefix, 0) != 0) return false;
  server.url = line.substr(prefix.size());
  return true;
}

}  // namespace bench
