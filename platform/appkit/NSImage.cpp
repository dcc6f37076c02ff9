#include "NSImage.h"

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QPainter>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "AppKitQt.h"

struct NSImage::Pixels {
  QImage image;
};

struct CGContext {
  QPainter painter;
  double height = 0;  // to turn the platform's upward y into Qt's downward one
};

namespace {
thread_local NSGraphicsContext* tCurrent = nullptr;
QApplication* gApplication = nullptr;  // made here, lives as long as the process
}  // namespace

Boolean NSApplicationLoad(void) {
  if (QCoreApplication::instance()) return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
  // Without a display Qt would end the process; such a program still gets images, offscreen.
  if (!getenv("QT_QPA_PLATFORM") && !getenv("DISPLAY") && !getenv("WAYLAND_DISPLAY"))
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static int argc = 1;
  static char name[] = "velm";
  static char* argv[] = {name, nullptr};
  gApplication = new QApplication(argc, argv);
  return true;
}

NSGraphicsContext* NSGraphicsContext::currentContext() { return tCurrent; }

void CGContextDrawImage(CGContextRef context, CGRect rect, CGImageRef image) {
  if (!context || !image || !context->painter.isActive()) return;
  size_t width = CGImageGetWidth(image), height = CGImageGetHeight(image);
  CFRef<CFDataRef> rgba(CGImageCreateRGBA8Data(image));
  if (!rgba || width == 0 || height == 0 ||
      static_cast<size_t>(CFDataGetLength(rgba.get())) != width * height * 4)
    return;
  QImage source(CFDataGetBytePtr(rgba.get()), static_cast<int>(width), static_cast<int>(height),
                static_cast<qsizetype>(width * 4), QImage::Format_RGBA8888);
  QRectF target(rect.origin.x, context->height - rect.origin.y - rect.size.height, rect.size.width,
                rect.size.height);
  context->painter.drawImage(target, source);
}

NSImage::NSImage(NSSize size) : size_(size), pixels_(new Pixels) {}

NSImage::~NSImage() {
  while (context_.port_) unlockFocus();
  delete pixels_;
}

void NSImage::lockFocus() {
  if (context_.port_) throw std::runtime_error("NSImage: focus is locked already");
  double w = std::ceil(size_.width), h = std::ceil(size_.height);
  if (!(w >= 1 && h >= 1) || w * h > static_cast<double>(kImageIOMaxPixelCount))
    throw std::runtime_error("NSImage: cannot lock focus on an image of this size");
  if (pixels_->image.isNull()) {
    QImage made(static_cast<int>(w), static_cast<int>(h), QImage::Format_ARGB32_Premultiplied);
    if (made.isNull()) throw std::runtime_error("NSImage: no memory for the image's pixels");
    made.fill(Qt::transparent);
    pixels_->image = std::move(made);
  }
  auto port = std::make_unique<CGContext>();
  if (!port->painter.begin(&pixels_->image)) throw std::runtime_error("NSImage: cannot draw into the image");
  port->painter.setRenderHint(QPainter::SmoothPixmapTransform);
  port->height = h;
  context_.port_ = port.release();
  context_.previous_ = tCurrent;
  tCurrent = &context_;
}

void NSImage::unlockFocus() {
  if (!context_.port_) throw std::runtime_error("NSImage: unlockFocus without lockFocus");
  context_.port_->painter.end();
  delete context_.port_;
  context_.port_ = nullptr;
  if (tCurrent == &context_) tCurrent = context_.previous_;
  context_.previous_ = nullptr;
}

CFRef<CFDataRef> NSImage::TIFFRepresentation() const {
  if (pixels_->image.isNull()) {
    double w = std::ceil(size_.width), h = std::ceil(size_.height);
    if (!(w >= 1 && h >= 1) || w * h > static_cast<double>(kImageIOMaxPixelCount)) return {};
    QImage empty(static_cast<int>(w), static_cast<int>(h), QImage::Format_ARGB32_Premultiplied);
    if (empty.isNull()) return {};
    empty.fill(Qt::transparent);
    pixels_->image = std::move(empty);
  }
  // Straight (not premultiplied) alpha, so that readers get the colours back as drawn.
  QImage straight = pixels_->image.convertToFormat(QImage::Format_RGBA8888);
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "tiff");
  if (!writer.write(straight)) return {};
  const QByteArray& bytes = buffer.data();
  return CFRef<CFDataRef>(
      CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.constData()), static_cast<CFIndex>(bytes.size())));
}

QImage NSImageGetQImage(const NSImage* image) { return image ? image->pixels().image : QImage(); }
