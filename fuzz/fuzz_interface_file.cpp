// libFuzzer target for the interface file as the AppKit layer loads it (widgets, outlets,
// actions, menus) and the text markers ("##N", "+#N") the panel's texts are translated from.
//
// The input is the interface file. Qt runs offscreen.
#include <QApplication>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "AppKit.h"
#include "CFBundle.h"
#include "CFRef.h"
#include "CoreFoundation.h"
#include "NSNib.h"
#include "RZMCoreFunctions.h"
#include "cocoaUtils.h"

// Fontconfig keeps its caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

struct Owner : NSObject {
  bool setValue(NSObject*, const char* key) override { return key && key[0] != 'x'; }
  bool tryToPerform(const char*, NSObject*) override { return true; }
};

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

struct Fixture {
  std::string resources;
  CFBundleRef bundle = nullptr;

  Fixture() {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "fuzz_interface_file";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);  // kept for the process

    std::string root = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/fuzz-nib-XXXXXX";
    if (!mkdtemp(root.data())) std::abort();
    root += "/Panel.bundle";
    resources = root + "/Contents/Resources";
    std::string command = "mkdir -p '" + resources + "/en.lproj'";
    if (std::system(command.c_str()) != 0) std::abort();
    writeFile(root + "/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>fuzz.nib</string></dict></plist>");
    writeFile(resources + "/en.lproj/Localizable.strings",
              "\"STR#1100:1\" = \"One\";\n\"STR#1001:2\" = \"Two\";\n\"STR#1100:12\" = \"%@ and %d\";\n");
    writeFile(resources + "/Panel.ui", "<ui version=\"4.0\"/>");
    CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(root.data()),
                                                                static_cast<CFIndex>(root.size()), true));
    bundle = CFBundleCreate(nullptr, url.get());  // kept for the process
    if (!bundle || !initStringBundle(CFSTR("fuzz.nib"))) std::abort();
  }
};

Fixture& fixture() {
  static Fixture* f = new Fixture;
  return *f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Fixture& f = fixture();
  writeFile(f.resources + "/Panel.ui", std::string(reinterpret_cast<const char*>(data), size));
  NSNib nib(CFSTR("Panel"), f.bundle);
  Owner owner;
  std::vector<std::unique_ptr<NSObject>> top;
  if (nib.isValid() && nib.instantiateNibWithOwner(&owner, &top)) {
    for (const auto& object : top)
      if (auto* view = dynamic_cast<NSView*>(object.get())) cocoaUtils::translateOneView(view);
  }
  // Markers on their own, as the panel's code translates single texts.
  CFRef<CFStringRef> text(CFStringCreateWithBytes(nullptr, data, static_cast<CFIndex>(std::min<size_t>(size, 64)),
                                                  kCFStringEncodingUTF8, false));
  if (text) CFRef<CFStringRef> translated(cocoaUtils::translateADialogString(text.get()));
  return 0;
}
