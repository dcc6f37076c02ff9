// The Qt side of AppKit, for hosts that show the views of a loaded interface file.
#pragma once

#include <QImage>
#include <QString>

#include "AppKit.h"
#include "NSImage.h"

class QWidget;

// The widget behind a view of a loaded interface file (null for other views). A host puts the
// settings panel into its window with it.
QWidget* NSViewGetQWidget(NSView* view);

// Text conversions between Qt and CoreFoundation.
QString QStringFromCFString(CFStringRef s);
// A new string (the caller releases it).
CFStringRef CFStringCreateWithQString(const QString& s);

// The pixels of an image (a null QImage before anything was drawn into it).
QImage NSImageGetQImage(const NSImage* image);
