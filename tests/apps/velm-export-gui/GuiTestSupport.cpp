#include "GuiTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <exiv2/exiv2.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace velmtest {

namespace {

std::string gUnavailable;

std::string findOnPath(const char* name) {
  const char* path = getenv("PATH");
  std::string list = path ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    std::string candidate = list.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

// The QApplication of the test process, on the platform VELM_GUI_TEST_PLATFORM names: "xvfb"
// starts a private X server with -displayfd (its display number arrives when it is ready) and
// stops it at the end; anything else runs offscreen.
class DisplayEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // The window's main bundle (its texts and the preference domain it shares with velm-export).
    setenv("CF_MAIN_BUNDLE_PATH", VELM_EXPORT_GUI_SHARE, 1);
    // Libraries that must be set up before any second thread runs.
    Exiv2::XmpParser::initialize();
    const char* platform = getenv("VELM_GUI_TEST_PLATFORM");
    if (platform && std::string(platform) == "xvfb") {
      std::string xvfb = findOnPath("Xvfb");
      if (xvfb.empty()) {
        gUnavailable = "Xvfb is not installed (Debian package xvfb): the tests under a real X server are skipped";
        return;
      }
      int fds[2];
      if (pipe2(fds, O_CLOEXEC) != 0) {
        gUnavailable = "no pipe for Xvfb's display number";
        return;
      }
      pid_ = fork();
      if (pid_ == 0) {
        // The server goes with the test process, and keeps none of its output streams open
        // (CTest waits for them to close).
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int quiet = open("/dev/null", O_RDWR | O_CLOEXEC);
        dup2(quiet, 0);
        dup2(quiet, 1);
        dup2(quiet, 2);
        dup2(fds[1], 3);
        execl(xvfb.c_str(), "Xvfb", "-displayfd", "3", "-screen", "0", "1600x1000x24", "-nolisten", "tcp",
              "-noreset", static_cast<char*>(nullptr));
        _exit(127);
      }
      close(fds[1]);
      std::string number;
      char c;
      while (read(fds[0], &c, 1) == 1 && c != '\n') number.push_back(c);
      close(fds[0]);
      if (pid_ < 0 || number.empty()) {
        gUnavailable = "Xvfb did not start";
        return;
      }
      setenv("DISPLAY", (":" + number).c_str(), 1);
      setenv("QT_QPA_PLATFORM", "xcb", 1);
    } else {
      setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    static int argc = 1;
    static char name[] = "velm-export-gui";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
  }

  void TearDown() override {
    delete app_;
    app_ = nullptr;
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }

 private:
  QApplication* app_ = nullptr;
  pid_t pid_ = -1;
};

const bool gRegistered = (::testing::AddGlobalTestEnvironment(new DisplayEnvironment), true);

}  // namespace

const std::string& displayUnavailable() { return gUnavailable; }

UploadGate::UploadGate(int servicePort) : servicePort_(servicePort) {
  auto& s = http_.server();
  // The library's multipart reader refuses bodies without a line break after the closing
  // delimiter, which the client's uploads leave out: the body is taken in raw and passed on
  // under its own Content-Type, moved aside before routing.
  s.set_pre_routing_handler([](const httplib::Request& constRequest, httplib::Response&) {
    auto& q = const_cast<httplib::Request&>(constRequest);
    std::string type = q.get_header_value("Content-Type");
    q.headers.erase("Content-Type");
    q.headers.emplace("Content-Type", "application/octet-stream");
    q.headers.emplace("X-Gate-Content-Type", type);
    return httplib::Server::HandlerResponse::Unhandled;
  });
  s.Get(".*", [this](const httplib::Request& q, httplib::Response& r) { forward(q, r, false); });
  s.Post(".*", [this](const httplib::Request& q, httplib::Response& r) {
    if (q.path == "/api/post_photo_xml.php") atGate();
    forward(q, r, true);
  });
  http_.start();
}

UploadGate::~UploadGate() {
  {
    std::lock_guard<std::mutex> g(lock_);
    stopping_ = true;
    released_ = true;
  }
  changed_.notify_all();
  http_.stop();
}

void UploadGate::holdUpload(int nth) {
  std::lock_guard<std::mutex> g(lock_);
  holdAt_ = arrived_ + nth;
  released_ = false;
}

void UploadGate::waitUntilHeld() {
  // The export reaches its uploads through events of the display thread, which go on meanwhile.
  processEventsUntil([&] {
    std::lock_guard<std::mutex> g(lock_);
    return holding_ || stopping_;
  });
}

bool UploadGate::holding() const {
  std::lock_guard<std::mutex> g(lock_);
  return holding_;
}

void UploadGate::release() {
  {
    std::lock_guard<std::mutex> g(lock_);
    released_ = true;
  }
  changed_.notify_all();
}

bool UploadGate::gaveUp() const {
  std::lock_guard<std::mutex> g(lock_);
  return gaveUp_;
}

int UploadGate::uploadsArrived() const {
  std::lock_guard<std::mutex> g(lock_);
  return arrived_;
}

void UploadGate::atGate() {
  std::unique_lock<std::mutex> g(lock_);
  if (++arrived_ != holdAt_ || released_) return;
  holding_ = true;
  changed_.notify_all();
  // Wakes the display thread of a test waiting in waitUntilHeld.
  if (QCoreApplication* app = QCoreApplication::instance()) QCoreApplication::postEvent(app, new QEvent(QEvent::User));
  // Not a measure of anything: a test that never releases (its window hung) ends failing
  // instead of waiting for ever.
  if (!changed_.wait_for(g, std::chrono::minutes(2), [&] { return released_; })) gaveUp_ = true;
  holding_ = false;
}

void UploadGate::forward(const httplib::Request& q, httplib::Response& r, bool post) {
  httplib::Client service("127.0.0.1", servicePort_);
  service.set_read_timeout(120, 0);
  httplib::Result answer =
      post ? service.Post(q.target.c_str(), q.body, q.get_header_value("X-Gate-Content-Type").c_str())
           : service.Get(q.target.c_str());
  if (!answer) {
    r.status = 502;
    return;
  }
  r.status = answer->status;
  r.set_content(answer->body, answer->get_header_value("Content-Type").c_str());
}

}  // namespace velmtest
