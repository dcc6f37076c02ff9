// cocoaUtils: class methods shared by the plug-in's Cocoa code: the translation of the
// interface's marked texts, image conversions, a ZIP archiver; and the set-up of Cocoa in a
// program that is not a Cocoa application.
//
// A marked text has at least three characters: "##" or "+#" followed by a decimal number N.
// "##N" is the numbered text N of table 1100, "+#N" that of table 1001 (iuGetIndCFString, from the
// string bundle chosen with initStringBundle). Any other text is no marker and stays as it is.
#pragma once

#include "AppKit.h"
#include "CoreFoundation.h"
#include "CoreServices.h"
#include "ImageIO.h"
#include "MacTypes.h"

class NSImage;  // NSImage.h; the image methods need the library velm_appkit (Velm::appkit)
class NSAutoreleasePool;

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

  // No map image is produced: always null, for any coordinates.
  static NSImage* earthMapImage(double lati, double longi);
  // The first image of the image's TIFF data, which the caller releases; null when there is no
  // image, no TIFF data or nothing in it can be decoded.
  static CGImageRef cuConvertNSImageToCGImageRef(NSImage* image);
  // A new image of the CGImageRef's pixel size with the image drawn into it, autoreleased into
  // the calling thread's pool; null when that fails (a null or empty image among others: the
  // drawing's exceptions are caught and dropped).
  static NSImage* convertCGImageRefToNSImage(CGImageRef image);
  // Writes a ZIP archive of the file or folder at sourcePath to targetPath and returns the
  // archiver's exit status: 0 when the whole archive was written, 1 otherwise. A file is
  // archived under its own name; a folder's contents under their paths relative to the folder
  // (the folder itself is no entry), sub-folders as entries of their own, links as links (never
  // followed). The AppleDouble sidecar "._name" of an item travels as the entry right after
  // the item's. The archive is written into a new temporary file beside the target and renamed
  // over it only when complete, so a target that exists is replaced only by a whole archive.
  // Special files (devices, pipes, sockets) fail the archive. When deleteOriginal is set and the
  // status is 0, the source is removed (a file with its sidecar, a folder with its contents);
  // whether that succeeds is not reported. On failure the source is never touched.
  static SInt32 compressToZIPFile(CFStringRef sourcePath, CFStringRef targetPath, Boolean deleteOriginal);
};

// Replaces the file at the path by an empty one (made next to it and renamed into place, so that
// a link there is replaced, never followed) and opens its data fork for reading and writing.
// -68 when the empty file cannot be made; else the status of the path lookup or of the open.
SInt16 cuCreateAndOpenTextFile(CFStringRef path, SInt16* refNum);

// The pool that cocoaUtilsLaunch made, null before and after.
extern NSAutoreleasePool* pool;
// Cocoa in a program that is not a Cocoa application: makes sure a QApplication exists for the
// image and interface code (NSApplicationLoad) and makes a new autorelease pool, kept in pool.
// cocoaUtilsQuit releases that pool (with everything autoreleased into it). They come in pairs,
// cocoaUtilsQuit once after each cocoaUtilsLaunch, on the same thread.
void cocoaUtilsLaunch(void);
void cocoaUtilsQuit(void);
