// cocoaUtils: class methods shared by the plug-in's Cocoa code; here the translation of the
// interface's marked texts.
//
// A marked text has at least three characters: "##" or "+#" followed by a decimal number N.
// "##N" is the numbered text N of table 1100, "+#N" that of table 1001 (iuGetIndCFString, from the
// string bundle chosen with initStringBundle). Any other text is no marker and stays as it is.
#pragma once

#include "AppKit.h"
#include "CoreFoundation.h"
#include "CoreServices.h"

class cocoaUtils {
 public:
  // The translation of a marked text, else the text itself; a new reference the caller releases
  // (null only for null). When there is no string bundle to look in, the text itself.
  static CFStringRef translateADialogString(CFStringRef text);
  // Replaces the marked tool tips, placeholders, pop-up items, box and button titles and control
  // values of the view and of every view below it. Texts that the toolkit refuses to take are
  // skipped; the walk always goes on.
  static void translateOneView(NSView* view);
  // translateOneView on the window's content view.
  static void translateWindow(NSWindow* window);

  // The item's POSIX path as a new string the caller releases; null when the path cannot be
  // had (also when it is longer than 2047 bytes).
  static CFStringRef cuGetPathFromFSRef(const FSRef* ref);
};

// Replaces the file at the path by an empty one (made next to it and renamed into place, so that
// a link there is replaced, never followed) and opens its data fork for reading and writing.
// -68 when the empty file cannot be made; else the status of the path lookup or of the open.
SInt16 cuCreateAndOpenTextFile(CFStringRef path, SInt16* refNum);
