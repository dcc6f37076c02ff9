// Interface files on Qt Widgets: QUiLoader builds the widgets, the classes here put AppKit's
// interfaces in front of them.
#include "NSNib.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QUiLoader>
#include <QVariant>
#include <QWidget>
#include <QXmlStreamReader>
#include <string>
#include <vector>

#include "AppKitQt.h"
#include "CFURL.h"

QString QStringFromCFString(CFStringRef s) {
  if (!s) return {};
  CFIndex length = CFStringGetLength(s);
  QString out(static_cast<qsizetype>(length), Qt::Uninitialized);
  CFStringGetCharacters(s, CFRangeMake(0, length), reinterpret_cast<UniChar*>(out.data()));
  return out;
}

CFStringRef CFStringCreateWithQString(const QString& s) {
  return CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(s.utf16()),
                                      static_cast<CFIndex>(s.size()));
}

namespace {

CFRef<CFStringRef> cf(const QString& s) { return CFRef<CFStringRef>(CFStringCreateWithQString(s)); }
CFRef<CFStringRef> cfOrNull(const QString& s) { return s.isEmpty() ? CFRef<CFStringRef>() : cf(s); }
QString qt(CFStringRef s) { return QStringFromCFString(s); }

// Sends an action to its target; the toolkit's signal must never see an exception.
void send(NSObject* target, const std::string& action, NSObject* sender) {
  if (!target || action.empty()) return;
  try {
    target->tryToPerform(action.c_str(), sender);
  } catch (...) {
  }
}

// What every view behind a widget has: the widget, its subviews, ownership of a root widget.
class WidgetBacked {
 public:
  virtual ~WidgetBacked() {
    // A root view takes its widgets with it (its subviews' widgets are inside it).
    if (ownsWidget && widget_) delete widget_.data();
  }
  QWidget* widget() const { return widget_; }
  bool ownsWidget = false;

 protected:
  explicit WidgetBacked(QWidget* w) : widget_(w) {}
  QPointer<QWidget> widget_;
};

template <class Base>
class WidgetView : public Base, public WidgetBacked {
 public:
  explicit WidgetView(QWidget* w) : WidgetBacked(w) {}
  CFRef<CFStringRef> toolTip() const override { return widget_ ? cfOrNull(widget_->toolTip()) : CFRef<CFStringRef>(); }
  void setToolTip(CFStringRef t) override {
    if (widget_) widget_->setToolTip(qt(t));
  }
  std::vector<NSView*> subviews() const override {
    std::vector<NSView*> out;
    for (const auto& v : children) out.push_back(v.get());
    return out;
  }

  std::vector<std::unique_ptr<NSView>> children;
};

using PlainView = WidgetView<NSView>;

class Box : public WidgetView<NSBox> {
 public:
  explicit Box(QGroupBox* b) : WidgetView(b) {}
  QGroupBox* box() const { return static_cast<QGroupBox*>(widget()); }
  CFRef<CFStringRef> title() const override { return box() ? cf(box()->title()) : CFRef<CFStringRef>(); }
  void setTitle(CFStringRef t) override {
    if (box()) box()->setTitle(qt(t));
  }
};

class Button : public WidgetView<NSButton> {
 public:
  explicit Button(QAbstractButton* b) : WidgetView(b) {}
  QAbstractButton* button() const { return static_cast<QAbstractButton*>(widget()); }
  CFRef<CFStringRef> title() const override { return button() ? cf(button()->text()) : CFRef<CFStringRef>(); }
  void setTitle(CFStringRef t) override {
    if (button()) button()->setText(qt(t));
  }
  NSInteger state() const override { return button() && button()->isChecked() ? NSOnState : NSOffState; }
  void setState(NSInteger s) override {
    if (button() && button()->isCheckable()) button()->setChecked(s != NSOffState);
  }
  // A button's value is its state.
  CFRef<CFStringRef> stringValue() const override { return cf(QString::number(state())); }
  void setStringValue(CFStringRef v) override { setState(CFStringGetIntValue(v)); }
};

class TextField : public WidgetView<NSTextField> {
 public:
  explicit TextField(QWidget* w) : WidgetView(w) {}
  QLineEdit* edit() const { return qobject_cast<QLineEdit*>(widget()); }
  QLabel* label() const { return qobject_cast<QLabel*>(widget()); }
  CFRef<CFStringRef> stringValue() const override {
    if (edit()) return cf(edit()->text());
    if (label()) return cf(label()->text());
    return {};
  }
  void setStringValue(CFStringRef v) override {
    if (edit()) edit()->setText(qt(v));
    if (label()) label()->setText(qt(v));
  }
  CFRef<CFStringRef> placeholderString() const override {
    return edit() ? cfOrNull(edit()->placeholderText()) : CFRef<CFStringRef>();
  }
  void setPlaceholderString(CFStringRef p) override {
    if (edit()) edit()->setPlaceholderText(qt(p));
  }
};

// The items of a combo box as a menu, kept in step with the combo box.
class ComboMenu : public NSMenu {
 public:
  explicit ComboMenu(QComboBox* combo) : combo_(combo) {}
  bool following = true;

 protected:
  void didInsertItem(NSInteger index) override {
    if (!following || !combo_) return;
    NSMenuItem* item = itemAtIndex(index);
    if (item->isSeparatorItem())
      combo_->insertSeparator(static_cast<int>(index));
    else
      combo_->insertItem(static_cast<int>(index), qt(item->title().get()));
  }
  void didRemoveItem(NSInteger index) override {
    if (following && combo_) combo_->removeItem(static_cast<int>(index));
  }
  void didChangeItem(NSInteger index) override {
    if (following && combo_ && index >= 0) combo_->setItemText(static_cast<int>(index), qt(itemAtIndex(index)->title().get()));
  }

 private:
  QPointer<QComboBox> combo_;
};

class PopUpButton : public WidgetView<NSPopUpButton> {
 public:
  explicit PopUpButton(QComboBox* c) : WidgetView(c), menu_(c) {}
  QComboBox* combo() const { return static_cast<QComboBox*>(widget()); }
  NSMenu* menu() const override { return const_cast<ComboMenu*>(&menu_); }
  ComboMenu& comboMenu() { return menu_; }
  NSInteger indexOfSelectedItem() const override { return combo() ? combo()->currentIndex() : -1; }
  void selectItemAtIndex(NSInteger index) override {
    if (!combo() || index < -1 || index >= combo()->count()) return;
    combo()->setCurrentIndex(static_cast<int>(index));
  }
  CFRef<CFStringRef> title() const override { return combo() ? cf(combo()->currentText()) : CFRef<CFStringRef>(); }
  void setTitle(CFStringRef t) override {
    if (!combo()) return;
    int index = combo()->findText(qt(t));
    if (index >= 0) combo()->setCurrentIndex(index);
  }
  NSInteger state() const override { return NSOffState; }
  void setState(NSInteger) override {}
  CFRef<CFStringRef> stringValue() const override { return title(); }
  void setStringValue(CFStringRef v) override { setTitle(v); }

 private:
  ComboMenu menu_;
};

struct Loader {
  NSObject* owner;

  std::unique_ptr<NSView> wrap(QWidget* w) {
    if (auto* combo = qobject_cast<QComboBox*>(w)) return popUp(combo);
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      auto view = std::make_unique<Button>(button);
      std::string action = w->property("action").toString().toStdString();
      if (!action.empty()) {
        NSObject* sender = view.get();
        NSObject* target = owner;
        QObject::connect(button, &QAbstractButton::clicked, button, [=] { send(target, action, sender); });
      }
      return view;
    }
    if (qobject_cast<QLineEdit*>(w) || qobject_cast<QLabel*>(w)) return std::make_unique<TextField>(w);
    if (auto* box = qobject_cast<QGroupBox*>(w)) {
      auto view = std::make_unique<Box>(box);
      addChildren(w, view->children);
      return view;
    }
    auto view = std::make_unique<PlainView>(w);
    addChildren(w, view->children);
    return view;
  }

  void addChildren(QWidget* parent, std::vector<std::unique_ptr<NSView>>& out) {
    for (QObject* child : parent->children()) {
      auto* w = qobject_cast<QWidget*>(child);
      if (w && !w->isWindow()) out.push_back(wrap(w));
    }
  }

  std::unique_ptr<NSView> popUp(QComboBox* combo) {
    auto view = std::make_unique<PopUpButton>(combo);
    ComboMenu& menu = view->comboMenu();
    QStringList itemActions = combo->property("itemActions").toStringList();
    // Take over the file's items; "-" becomes a separator line in both.
    menu.following = false;
    for (int i = 0; i < combo->count(); ++i) {
      QString title = combo->itemText(i);
      if (title == QLatin1String("-")) {
        combo->removeItem(i);
        combo->insertSeparator(i);
        menu.addItem(NSMenuItem::separatorItem());
        continue;
      }
      std::string action = i < itemActions.size() ? itemActions[i].toStdString() : std::string();
      NSMenuItem* item = menu.addItemWithTitle(cf(title).get(), action.c_str(), "");
      if (!action.empty()) item->setTarget(owner);
    }
    menu.following = true;

    std::string ownAction = combo->property("action").toString().toStdString();
    bool pullsDown = combo->property("pullsDown").toBool();
    NSObject* target = owner;
    PopUpButton* sender = view.get();
    QObject::connect(combo, QOverload<int>::of(&QComboBox::activated), combo, [=](int index) {
      NSMenuItem* item = sender->menu()->itemAtIndex(index);
      std::string action = item ? item->action() : std::string();  // the action may change the menu
      if (!action.empty())
        send(item->target() ? item->target() : target, action, item);
      else
        send(target, ownAction, sender);
      if (pullsDown && sender->combo()) sender->combo()->setCurrentIndex(0);
    });
    return view;
  }

  void connectOutlets(NSView* view) {
    auto* backed = dynamic_cast<WidgetBacked*>(view);
    if (backed && backed->widget()) {
      QWidget* w = backed->widget();
      std::string name = w->objectName().toStdString();
      if (!name.empty()) owner->setValue(view, name.c_str());
      for (const QString& extra : w->property("outlets").toStringList()) owner->setValue(view, extra.toStdString().c_str());
    }
    for (NSView* sub : view->subviews()) connectOutlets(sub);
  }
};

// Whether an interface file holds at most one layout in each widget and one thing (widget,
// layout or spacer) in each layout item. The loader builds every such child it finds and drops
// the ones it cannot place without freeing them, so a file breaking either rule is refused
// before it is loaded.
bool eachWidgetHasOneLayout(const QByteArray& bytes, QString* why) {
  QXmlStreamReader xml(bytes);
  struct Open {
    QString name;
    int layouts = 0, contents = 0;
  };
  std::vector<Open> open;
  while (!xml.atEnd()) {
    switch (xml.readNext()) {
      case QXmlStreamReader::StartElement: {
        QString name = xml.name().toString();
        if (!open.empty()) {
          Open& parent = open.back();
          bool content = name == u"widget" || name == u"layout" || name == u"spacer";
          if (parent.name == u"widget" && name == u"layout" && ++parent.layouts > 1) {
            *why = QStringLiteral("a widget with more than one layout (line %1)").arg(xml.lineNumber());
            return false;
          }
          if (parent.name == u"item" && content && ++parent.contents > 1) {
            *why = QStringLiteral("a layout item with more than one widget, layout or spacer (line %1)")
                       .arg(xml.lineNumber());
            return false;
          }
        }
        open.push_back(Open{name});
        break;
      }
      case QXmlStreamReader::EndElement:
        if (!open.empty()) open.pop_back();
        break;
      default:
        break;
    }
  }
  if (xml.hasError()) {
    *why = QStringLiteral("not well-formed XML (line %1: %2)").arg(xml.lineNumber()).arg(xml.errorString());
    return false;
  }
  return true;
}

}  // namespace

QWidget* NSViewGetQWidget(NSView* view) {
  auto* backed = dynamic_cast<WidgetBacked*>(view);
  return backed ? backed->widget() : nullptr;
}

NSNib::NSNib(CFStringRef nibName, CFBundleRef bundle) {
  if (!bundle) bundle = CFBundleGetMainBundle();
  url_.reset(CFBundleCopyResourceURL(bundle, nibName, CFSTR("ui"), nullptr));
}

bool NSNib::instantiateNibWithOwner(NSObject* owner, std::vector<std::unique_ptr<NSObject>>* topLevelObjects) {
  if (!url_ || !owner || !qobject_cast<QApplication*>(QCoreApplication::instance())) return false;
  try {
    CFRef<CFStringRef> path(CFURLCopyFileSystemPath(url_.get(), kCFURLPOSIXPathStyle));
    QFile file(qt(path.get()));
    if (!file.open(QIODevice::ReadOnly)) return false;
    QByteArray bytes = file.readAll();
    if (QString why; !eachWidgetHasOneLayout(bytes, &why)) {
      qWarning("%s: %s", qPrintable(file.fileName()), qPrintable(why));
      return false;
    }
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QUiLoader loader;
    loader.setTranslationEnabled(false);  // marked texts are translated by the owner, not by Qt
    QWidget* root = loader.load(&buffer, nullptr);
    if (!root) return false;
    Loader build{owner};
    std::unique_ptr<NSView> rootView = build.wrap(root);
    dynamic_cast<WidgetBacked&>(*rootView).ownsWidget = true;
    build.connectOutlets(rootView.get());
    if (topLevelObjects) topLevelObjects->push_back(std::move(rootView));
    return true;
  } catch (...) {
    return false;
  }
}
