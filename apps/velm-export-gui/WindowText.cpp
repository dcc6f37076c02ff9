#include "WindowText.h"

#include "AppKitQt.h"
#include "CoreFoundation.h"
#include "Text.h"

namespace velmexport {

QString windowText(const char* english) {
  CFRef<CFStringRef> key = cfString(english);
  if (!key) return QString::fromUtf8(english);
  CFRef<CFStringRef> text(CFBundleCopyLocalizedString(CFBundleGetMainBundle(), key.get(), nullptr, CFSTR("Window")));
  return text ? QStringFromCFString(text.get()) : QString::fromUtf8(english);
}

}  // namespace velmexport
