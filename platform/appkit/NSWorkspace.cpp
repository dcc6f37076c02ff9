// Opening web pages: xdg-open in a desktop session, else the host's handler.
#include "NSWorkspace.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>

#include "NSLog.h"

namespace {

std::mutex gHandlerLock;
bool gHandlerTakesAll = false;
NSWorkspace::URLHandler& handler() {
  static auto* h = new NSWorkspace::URLHandler();
  return *h;
}

bool hasDesktop() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = getenv(name);
    if (value && *value) return true;
  }
  return false;
}

// The full path of a program found on PATH, or empty.
std::string findProgram(const char* name) {
  const char* path = getenv("PATH");
  std::string list = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    std::string candidate = list.substr(start, end - start) + "/" + name;
    struct stat st {};
    if (end > start && stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return {};
}

// Starts the program detached (its own session, reaped by init), without waiting for it.
bool launchDetached(const std::string& program, const std::string& argument) {
  // Everything the children need is prepared before fork: only exec-safe calls follow it.
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(argument.c_str()), nullptr};
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    setsid();
    pid_t grandchild = fork();
    if (grandchild == 0) {
      execv(program.c_str(), argv);
      _exit(127);
    }
    _exit(grandchild < 0 ? 1 : 0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

NSWorkspace* NSWorkspace::sharedWorkspace() {
  static NSWorkspace* shared = new NSWorkspace();
  return shared;
}

Boolean NSWorkspace::openURL(const NSURL& url) {
  CFStringRef address = url.absoluteString();
  if (!address) return false;
  bool handlerTakesAll;
  {
    std::lock_guard<std::mutex> lock(gHandlerLock);
    handlerTakesAll = gHandlerTakesAll && handler();
  }
  if (!handlerTakesAll && hasDesktop()) {
    std::string opener = findProgram("xdg-open");
    if (!opener.empty() && launchDetached(opener, url.utf8())) return true;
  }
  URLHandler h;
  {
    std::lock_guard<std::mutex> lock(gHandlerLock);
    h = handler();
  }
  if (h) {
    try {
      h(address);
    } catch (...) {
      return false;
    }
    return true;
  }
  NSLog(CFSTR("Open this page in a web browser: %@"), address);
  return true;
}

void NSWorkspace::setURLHandler(URLHandler h) {
  std::lock_guard<std::mutex> lock(gHandlerLock);
  handler() = std::move(h);
  gHandlerTakesAll = false;
}

void NSWorkspace::setURLHandlerForAllPages(URLHandler h) {
  std::lock_guard<std::mutex> lock(gHandlerLock);
  handler() = std::move(h);
  gHandlerTakesAll = true;
}
