// A private Secret Service for keychain tests: tools/secret-service-session started in the
// test's sandbox (private HOME and XDG_RUNTIME_DIR), with DBUS_SESSION_BUS_ADDRESS pointing at
// its bus while the object lives. The destructor closes the helper's input, which ends the bus
// and the keyring daemon, and waits for the helper.
//
// A process keeps its first session bus connection, so use one session per test process:
// sharedSecretService() starts it on first use and a global test environment stops it at the end.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern char** environ;

namespace velmtest {

class SecretServiceSession {
 public:
  SecretServiceSession() {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string script = std::string(VELM_SOURCE_DIR) + "/tools/secret-service-session";
    char* argv[] = {script.data(), nullptr};
    if (posix_spawn(&pid_, script.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    // The first line is the bus address; it comes once the Secret Service is on the bus.
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') address_.push_back(c);
    close(out[0]);
    if (!address_.empty()) {
      const char* old = getenv("DBUS_SESSION_BUS_ADDRESS");
      if (old) oldAddress_ = old;
      hadOld_ = old != nullptr;
      setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    }
  }
  ~SecretServiceSession() {
    if (!address_.empty()) {
      if (hadOld_)
        setenv("DBUS_SESSION_BUS_ADDRESS", oldAddress_.c_str(), 1);
      else
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    if (input_ >= 0) close(input_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  SecretServiceSession(const SecretServiceSession&) = delete;
  SecretServiceSession& operator=(const SecretServiceSession&) = delete;

  // Whether the bus and the Secret Service are up.
  bool running() const { return !address_.empty(); }
  const std::string& address() const { return address_; }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  std::string address_;
  std::string oldAddress_;
  bool hadOld_ = false;
};

// The process's private Secret Service, started on first use; stopped after the last test.
inline SecretServiceSession& sharedSecretService() {
  static SecretServiceSession* session = nullptr;
  struct Stopper : testing::Environment {
    explicit Stopper(SecretServiceSession** s) : s_(s) {}
    void TearDown() override {
      delete *s_;
      *s_ = nullptr;
    }
    SecretServiceSession** s_;
  };
  if (!session) {
    session = new SecretServiceSession();
    testing::AddGlobalTestEnvironment(new Stopper(&session));
  }
  return *session;
}

}  // namespace velmtest
