// NSImage: a picture of a size in points that can be drawn into and written as TIFF, with the
// drawing context and geometry the drawing uses (NSGraphicsContext, CGContextDrawImage), and
// NSApplicationLoad, which readies the toolkit in a program that is not a Qt application.
//
// How the emulation works: an image is a Qt QImage (library velm_appkit); one point is one
// pixel. Its pixels are made, transparent, when focus is first locked on it. Coordinates of a
// drawing context are the platform's: the origin is the lower left corner, y grows upwards.
// TIFFRepresentation writes 8-bit RGBA through Qt's TIFF image-format plug-in.
//
// Failures that the platform raises as exceptions are thrown as std::runtime_error here:
// lockFocus on an image without pixels to draw into (a size of zero, or more pixels than
// kImageIOMaxPixelCount) and unlockFocus without lockFocus. Callers guard them.
#pragma once

#include "AppKit.h"
#include "CFData.h"
#include "ImageIO.h"
#include "MacTypes.h"

struct CGPoint {
  double x = 0;
  double y = 0;
};
struct CGSize {
  double width = 0;
  double height = 0;
};
struct CGRect {
  CGPoint origin;
  CGSize size;
};
typedef CGSize NSSize;
typedef CGRect NSRect;
inline CGRect CGRectMake(double x, double y, double width, double height) { return {{x, y}, {width, height}}; }
inline NSSize NSMakeSize(double width, double height) { return {width, height}; }

// Makes sure a QApplication exists for the image and interface code of this process (made,
// offscreen when no display is at hand, when none runs). True when one runs afterwards. Call it
// on the program's main thread.
Boolean NSApplicationLoad(void);

typedef struct CGContext* CGContextRef;

// Draws the image scaled into the rectangle; nothing for a null context or image.
void CGContextDrawImage(CGContextRef context, CGRect rect, CGImageRef image);

class NSImage;

class NSGraphicsContext {
 public:
  // The context that drawing on the calling thread goes to: the image focus was last locked on.
  // Null when there is none.
  static NSGraphicsContext* currentContext();
  CGContextRef graphicsPort() const { return port_; }

 private:
  friend class NSImage;
  CGContextRef port_ = nullptr;
  NSGraphicsContext* previous_ = nullptr;
};

class NSImage : public NSObject {
 public:
  // initWithSize: an empty image of that size in points.
  explicit NSImage(NSSize size);
  ~NSImage() override;
  NSSize size() const { return size_; }
  // Drawing on this thread goes into the image until unlockFocus (see above for the failures).
  void lockFocus();
  void unlockFocus();
  // The image as TIFF data (a new reference), null when it has no pixels or cannot be written.
  CFRef<CFDataRef> TIFFRepresentation() const;

  struct Pixels;
  Pixels& pixels() const { return *pixels_; }

 private:
  NSSize size_;
  Pixels* pixels_;
  NSGraphicsContext context_;
};
