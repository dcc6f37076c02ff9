// What the window's tests share: the process's QApplication on the display the test run asks
// for (a private Xvfb or Qt's offscreen platform), a gate in front of velm-server that holds
// uploads until the test lets them through, and waiting on the window's events.
#pragma once

#include <httplib.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <condition_variable>
#include <mutex>
#include <string>

#include "LoopbackServers.h"

namespace velmtest {

// Why the window's tests cannot run here (empty when they can): no Xvfb for a run that asks for
// a real X server.
const std::string& displayUnavailable();

// Runs the display thread's event loop until the condition holds. The condition must change
// through events of this thread (signals of the window, its timer), which wake the loop.
template <class Condition>
void processEventsUntil(Condition done) {
  while (!done()) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

// An HTTP gate on a loopback port that passes every request on to the service behind it and
// answers with the service's answer; the photo upload it is told to hold waits in the gate
// until release().
class UploadGate {
 public:
  explicit UploadGate(int servicePort);
  ~UploadGate();
  UploadGate(const UploadGate&) = delete;
  UploadGate& operator=(const UploadGate&) = delete;

  std::string url() const { return http_.url(); }
  // Holds the n-th upload from now (1 is the next one).
  void holdUpload(int nth);
  // Runs the display thread's events until the upload to hold has arrived and waits in the gate.
  void waitUntilHeld();
  // True while the held upload waits.
  bool holding() const;
  // Lets the held upload (and every later one) through.
  void release();
  // True when a held upload was let through because nobody released it (the test hung).
  bool gaveUp() const;
  int uploadsArrived() const;

 private:
  void atGate();
  void forward(const httplib::Request& request, httplib::Response& response, bool post);

  int servicePort_;
  HttpServer http_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  int arrived_ = 0, holdAt_ = 0;
  bool holding_ = false, released_ = true, stopping_ = false, gaveUp_ = false;
};

}  // namespace velmtest
