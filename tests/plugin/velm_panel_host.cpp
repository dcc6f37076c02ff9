// velm-panel-host: a host process for the settings panel's tests. Loads Velm.bundle, creates the
// plug-in object, asks for its settings panel and prints what the panel shows, one "key=value"
// per line. Options (applied in this order):
//   --type NAME PASSWORD SIZE PRIVACY REMEMBER   fill the panel as a user would (indices; REMEMBER
//                                                1 or 0), then read it back as an export does
//   --screenshot FILE                             save the panel as a PNG
// Runs with the caller's HOME, XDG folders and session bus; Qt offscreen.
#include <QComboBox>
#include <QGroupBox>
#include <QWidget>
#include <cstdio>
#include <cstring>
#include <string>

#include "AppKitQt.h"
#include "FakeHost.h"
#include "Velm.h"

// fontconfig keeps the pattern caches Qt's font database asked for until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

std::string text(CFRef<CFStringRef> s) { return QStringFromCFString(s.get()).toStdString(); }

}  // namespace

int main(int argc, char** argv) {
  velmtest::offscreenApplication();
  if (!velmtest::velmBundle()) return 2;
  velmtest::FakeAPIManager api;
  auto object = PlugInCreatePrincipalObject(velmtest::velmBundle(), &api);
  auto* velm = dynamic_cast<Velm*>(object.get());
  if (!velm || !velm->settingsView()) return 3;

  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--type") && i + 5 < argc) {
      CFRef<CFStringRef> name(CFStringCreateWithCString(nullptr, argv[i + 1], kCFStringEncodingUTF8));
      CFRef<CFStringRef> password(CFStringCreateWithCString(nullptr, argv[i + 2], kCFStringEncodingUTF8));
      velm->velmName->setStringValue(name.get());
      velm->velmPassword->setStringValue(password.get());
      velm->sizePopUp->selectItemAtIndex(atoi(argv[i + 3]));
      velm->privacyPopUp->selectItemAtIndex(atoi(argv[i + 4]));
      velm->useKeychainCheckbox->setState(atoi(argv[i + 5]) ? NSOnState : NSOffState);
      velm->exportManagerShouldBeginExport();
      i += 5;
    } else if (!strcmp(argv[i], "--screenshot") && i + 1 < argc) {
      QWidget* panel = NSViewGetQWidget(velm->settingsView());
      panel->adjustSize();
      panel->show();
      QApplication::processEvents();
      if (!panel->grab().save(QString::fromUtf8(argv[++i]), "PNG")) return 4;
    }
  }

  QWidget* panel = NSViewGetQWidget(velm->settingsView());
  std::printf("name=%s\n", text(velm->velmName->stringValue()).c_str());
  std::printf("password=%s\n", text(velm->velmPassword->stringValue()).c_str());
  std::printf("size=%ld\n", velm->sizePopUp->indexOfSelectedItem());
  std::printf("privacy=%ld\n", velm->privacyPopUp->indexOfSelectedItem());
  std::printf("sizeItem=%s\n", text(velm->sizePopUp->stringValue()).c_str());
  std::printf("accountBox=%s\n", panel->findChild<QGroupBox*>("accountBox")->title().toStdString().c_str());
  std::printf("mSize=%d\nmPrivacy=%d\n", static_cast<int>(velm->mSize), static_cast<int>(velm->mPrivacy));
  return 0;
}
