// NSNib: an interface file, loaded at run time and connected to its owner.
//
// An interface file is a Qt Designer file "<name>.ui" among a bundle's resources (the
// language's folder first, as CFBundleCopyResourceURL searches). Instantiating it builds the
// widgets with QUiLoader and puts the AppKit interfaces of AppKit.h in front of them:
// QComboBox = NSPopUpButton, QAbstractButton = NSButton, QLineEdit = editable NSTextField,
// QLabel = static NSTextField, QGroupBox = NSBox, any other widget = NSView (whose subviews are
// its child widgets, in order).
//
// Connections, all made with the owner:
// - Outlets: each widget's object name, and each name in its string-list property "outlets",
//   is offered to the owner with setValue(view, name); names the owner does not know are skipped.
// - Actions: a button's text property "action" names the selector sent to the owner when it is
//   clicked. A combo box's string-list property "itemActions" gives each fixed item's action
//   (sent with the menu item as sender); its "action" is sent for items without one. An item
//   whose text is "-" is a separator. With the boolean property "pullsDown" the combo box is a
//   pull-down menu: after a choice it shows its first item (its title) again.
//
// Needs a running QApplication on the calling thread. Failures are reported by the return value;
// no exception leaves this class.
#pragma once

#include <memory>
#include <vector>

#include "AppKit.h"
#include "CFBundle.h"
#include "CFRef.h"

class NSNib {
 public:
  // initWithNibNamed:bundle: the file "<nibName>.ui" of the bundle (the main bundle when null).
  NSNib(CFStringRef nibName, CFBundleRef bundle);
  // Whether the file was found.
  bool isValid() const { return static_cast<bool>(url_); }

  // Builds the objects, connects outlets and actions to the owner and hands the top-level
  // objects (the root view, which owns every view inside it and its widgets) to the caller.
  // False when the file is missing or unreadable, or no QApplication runs.
  bool instantiateNibWithOwner(NSObject* owner, std::vector<std::unique_ptr<NSObject>>* topLevelObjects);

 private:
  CFRef<CFURLRef> url_;
};
