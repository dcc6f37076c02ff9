// NSWorkspace: opening a web page in the user's browser.
//
// In a desktop session (DISPLAY or WAYLAND_DISPLAY set) the address goes to the desktop's
// browser through xdg-open, started detached so that the caller never waits for the browser.
// Without a desktop, or without xdg-open, the address is handed to the host's handler (a host
// without a desktop prints it; tests record it); with no handler installed it is written to the
// system log, so that it is never lost silently.
#pragma once

#include <functional>

#include "CFString.h"
#include "MacTypes.h"
#include "NSURL.h"

class NSWorkspace {
 public:
  // Receives the address of each page that no browser could be asked to open.
  using URLHandler = std::function<void(CFStringRef address)>;

  static NSWorkspace* sharedWorkspace();
  // True when the page went to the browser or to the handler.
  Boolean openURL(const NSURL& url);

  // This stand-in's own: installs the host's handler (an empty one removes it).
  static void setURLHandler(URLHandler handler);
  // This stand-in's own: installs a handler that receives every page, in a desktop session
  // too, for a host with a window of its own that decides how to offer or open each page.
  static void setURLHandlerForAllPages(URLHandler handler);

 private:
  NSWorkspace() = default;
};
