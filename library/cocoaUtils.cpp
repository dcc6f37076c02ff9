#include "cocoaUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "CFRef.h"
#include "RZMCoreFunctions.h"
#include "fileEngine.h"
#include "stringEngine.h"

namespace {

bool present(const CFRef<CFStringRef>& s) { return s && CFStringGetLength(s.get()) > 0; }

// Sets one text under a guard: an exception from the toolkit is dropped and counts as not done.
template <typename Setter>
bool guarded(Setter set) {
  try {
    set();
    return true;
  } catch (...) {
    return false;
  }
}

CFRef<CFStringRef> translated(CFStringRef text) { return CFRef<CFStringRef>(cocoaUtils::translateADialogString(text)); }

}  // namespace

CFStringRef cocoaUtils::translateADialogString(CFStringRef text) {
  if (!text) return nullptr;
  auto unchanged = [&] { return static_cast<CFStringRef>(CFRetain(text)); };
  if (CFStringGetLength(text) < 3) return unchanged();
  UniChar first = CFStringGetCharacterAtIndex(text, 0);
  UniChar second = CFStringGetCharacterAtIndex(text, 1);
  SInt16 table;
  if (first == '#' && second == '#')
    table = 1100;
  else if (first == '+' && second == '#')
    table = 1001;
  else
    return unchanged();
  CFRef<CFStringRef> rest(CFStringCreateWithSubstring(nullptr, text, CFRangeMake(2, CFStringGetLength(text) - 2)));
  SInt32 value = CFStringGetIntValue(rest.get());
  if (value == 0) return unchanged();
  CFStringRef entry = iuGetIndCFString(table, static_cast<SInt16>(value));
  // Without a string bundle there is nothing to translate with: keep the text rather than lose it.
  return entry ? entry : unchanged();
}

void cocoaUtils::translateOneView(NSView* view) {
  if (!view) return;

  guarded([&] {
    CFRef<CFStringRef> tip = view->toolTip();
    if (tip) view->setToolTip(translated(tip.get()).get());
  });

  bool handled = false;
  if (auto* popUp = dynamic_cast<NSPopUpButton*>(view)) {
    if (NSMenu* menu = popUp->menu()) {
      NSInteger count = menu->numberOfItems();
      for (NSInteger i = 0; i < count; ++i) {
        NSMenuItem* item = menu->itemAtIndex(i);
        if (!item) continue;
        CFRef<CFStringRef> title = item->title();
        if (present(title)) guarded([&] { item->setTitle(translated(title.get()).get()); });
      }
    }
    handled = true;
  }

  if (auto* field = dynamic_cast<NSTextField*>(view)) {
    guarded([&] {
      CFRef<CFStringRef> placeholder = field->placeholderString();
      if (placeholder) field->setPlaceholderString(translated(placeholder.get()).get());
    });
  }

  if (!handled) {
    bool done = false;
    if (auto* box = dynamic_cast<NSBox*>(view)) {
      CFRef<CFStringRef> title = box->title();
      if (present(title)) done = guarded([&] { box->setTitle(translated(title.get()).get()); });
    }
    if (!done) {
      if (auto* button = dynamic_cast<NSButton*>(view)) {
        CFRef<CFStringRef> title = button->title();
        if (present(title)) done = guarded([&] { button->setTitle(translated(title.get()).get()); });
      }
    }
    if (!done) {
      if (auto* control = dynamic_cast<NSControl*>(view)) {
        CFRef<CFStringRef> value = control->stringValue();
        if (present(value)) guarded([&] { control->setStringValue(translated(value.get()).get()); });
      }
    }
  }

  // Depth first; the subviews are counted again before each step.
  for (size_t i = 0;; ++i) {
    std::vector<NSView*> subviews = view->subviews();
    if (i >= subviews.size()) break;
    if (subviews[i]) translateOneView(subviews[i]);
  }
}

void cocoaUtils::translateWindow(NSWindow* window) {
  if (window) translateOneView(window->contentView());
}

// ---------------------------------------------------------------------------------------------
// Paths and text files

CFStringRef cocoaUtils::cuGetPathFromFSRef(const FSRef* ref) {
  UInt8 path[2048];
  if (FSRefMakePath(ref, path, sizeof path) != noErr) return nullptr;
  return CFStringCreateWithCString(nullptr, reinterpret_cast<const char*>(path), kCFStringEncodingUTF8);
}

SInt16 cuCreateAndOpenTextFile(CFStringRef path, SInt16* refNum) {
  constexpr SInt16 kCannotCreate = -68;
  std::string target;
  {
    UInt32 size = ORBStringGetUTF8Size(path);
    if (size == 0 || ORBStringCountCharAppearances(path, 0) > 0) return kCannotCreate;
    target.resize(size);
    UInt32 count = 0;
    ORBStringCopyToUTF8(path, target.data(), &count);
    target.resize(count);
  }
  // The empty file is made exclusively beside the target and renamed over it.
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : target.substr(0, slash);
  std::string pattern = folder + "/.velm-new-XXXXXX";
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return kCannotCreate;
  mode_t mask = umask(0);
  umask(mask);
  bool made = fchmod(fd, 0666 & ~mask) == 0;
  made = close(fd) == 0 && made;
  if (!made || rename(pattern.c_str(), target.c_str()) != 0) {
    unlink(pattern.c_str());
    return kCannotCreate;
  }
  FSRef ref;
  OSStatus err = FSPathMakeRef(reinterpret_cast<const UInt8*>(target.c_str()), &ref, nullptr);
  if (err != noErr) return static_cast<SInt16>(err);
  return static_cast<SInt16>(feOpenExistingFileRef(&ref, refNum, true, true));
}
