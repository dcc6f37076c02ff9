// Starts the built velm-server on a free loopback port with its own data folder inside the
// test sandbox, and stops it again when the object goes away.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace velmtest {

class ServerProcess {
 public:
  // Starts the server with these extra arguments; port() is 0 when it did not come up.
  explicit ServerProcess(std::vector<std::string> extraArguments = {});
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  // http://127.0.0.1:PORT
  std::string url() const;
  const std::filesystem::path& dataDir() const { return data_; }
  // The complete request lines the server logged so far (--request-log).
  std::string requestLog() const;
  std::string errorOutput() const;

  // Adds an account through "velm-server --data DIR add-user NAME"; returns the exit status.
  int addUser(const std::string& name, const std::string& password) const;

  // Stops the server (SIGTERM) and returns its exit status; -1 when it had to be killed.
  int stop();

  static std::string binary();

 private:
  std::filesystem::path data_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace velmtest
