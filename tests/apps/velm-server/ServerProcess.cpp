#include "ServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "TestSupport.h"

extern char** environ;

namespace velmtest {

namespace {
std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}
}  // namespace

std::string ServerProcess::binary() { return VELM_SERVER_BINARY; }

ServerProcess::ServerProcess(std::vector<std::string> extraArguments)
    : data_(makeTempDir("velm-server")) {
  std::vector<std::string> args = {binary(), "--data", data_.string(), "--listen",
                                   "127.0.0.1:0", "--request-log", (data_ / "requests.log").string()};
  args.insert(args.end(), extraArguments.begin(), extraArguments.end());
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
  std::string err = (data_ / "server.err").string();
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (rc != 0) {
    pid_ = -1;
    close(out[0]);
    return;
  }

  // The first line tells the port: "listening on http://127.0.0.1:PORT".
  std::string line;
  for (;;) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 60000) <= 0) break;
    char c;
    if (read(out[0], &c, 1) != 1 || c == '\n') break;
    line.push_back(c);
  }
  close(out[0]);
  const std::string prefix = "listening on http://127.0.0.1:";
  if (line.rfind(prefix, 0) == 0) port_ = std::atoi(line.c_str() + prefix.size());
}

ServerProcess::~ServerProcess() { stop(); }

int ServerProcess::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 3000; ++i) {
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    usleep(10000);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}

std::string ServerProcess::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::string ServerProcess::requestLog() const { return readFile(data_ / "requests.log"); }

std::string ServerProcess::errorOutput() const { return readFile(data_ / "server.err"); }

int ServerProcess::addUser(const std::string& name, const std::string& password) const {
  auto pw = makeTempDir("pw") / "password";
  writeFile(pw, password);
  int status = -1;
  runCommand(shellQuote(binary()) + " --data " + shellQuote(data_.string()) + " add-user " +
                 shellQuote(name) + " < " + shellQuote(pw.string()) + " >/dev/null 2>&1",
             &status);
  return status;
}

}  // namespace velmtest
