#include "RZMCoreFunctions.h"

#include "stringEngine.h"

void uCFRelease(CFTypeRef object) {
  if (object) CFRelease(object);
}

void utMakeHFSStringFromCFString(CFStringRef s, HFSUniStr255* name) {
  if (!name) return;
  if (!s) {
    name->length = 0;
    return;
  }
  SInt32 length = ORBStringGetLength(s);
  if (length >= 256) length = 255;
  CFStringGetCharacters(s, CFRangeMake(0, length), name->unicode);
  name->length = static_cast<UInt16>(length);
}

void utMakeCFStringFromHFSString(const HFSUniStr255* name, CFStringRef* s) {
  if (!s) return;
  if (!name || name->length > 255) {
    *s = nullptr;
    return;
  }
  *s = CFStringCreateWithCharacters(kCFAllocatorDefault, name->unicode, name->length);
}

double radians(double degrees) { return degrees * 3.141592653589793 / 180.0; }

Boolean uAltPressed(void) { return false; }
