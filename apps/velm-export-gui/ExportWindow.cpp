#include "ExportWindow.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <cstdlib>

#include "AppKitQt.h"
#include "ExportReport.h"
#include "NSAppleScript.h"
#include "NSWorkspace.h"
#include "PhotoDetails.h"
#include "Text.h"
#include "WindowText.h"

namespace velmexport {

namespace {

constexpr int kThumbnailSide = 128;
constexpr int kIconSide = 56;
constexpr int kPathRole = Qt::UserRole;

enum Column { kPhotoColumn, kCaptionColumn, kKeywordsColumn, kPositionColumn, kStatusColumn, kColumnCount };

QString T(const char* english) { return windowText(english); }

QString escaped(const QString& s) { return s.toHtmlEscaped(); }

QString link(const QString& address, const QString& text) {
  return QStringLiteral("<a href=\"%1\">%2</a>").arg(escaped(address), escaped(text));
}

QString positionText(const PhotoDetails& d) {
  if (!d.hasPosition) return T("No position");
  QLocale locale;
  auto one = [&](double v, const char* positive, const char* negative) {
    return QStringLiteral("%1\u00b0\u00a0%2").arg(locale.toString(std::abs(v), 'f', 4), T(v < 0 ? negative : positive));
  };
  return one(d.latitude, "N", "S") + QStringLiteral(", ") + one(d.longitude, "E", "W");
}

// Icons of the thumbnails: the picture scaled into a square, centred.
QIcon squareIcon(const QImage& image) {
  QPixmap square(kThumbnailSide, kThumbnailSide);
  square.fill(Qt::transparent);
  if (!image.isNull()) {
    QImage scaled = image.scaled(kThumbnailSide, kThumbnailSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QPainter p(&square);
    p.drawImage((kThumbnailSide - scaled.width()) / 2, (kThumbnailSide - scaled.height()) / 2, scaled);
  }
  return QIcon(square);
}

}  // namespace

ExportWindow::ExportWindow(const std::string& bundlePath, QWidget* parent) : QMainWindow(parent) {
  pool_.setMaxThreadCount(2);
  std::string why;
  if (plugIn_.load(bundlePath, &why))
    panelView_ = plugIn_.panel().view;
  else
    loadError_ = QString::fromStdString(why);
  buildWindow();
  setAcceptDrops(true);

  // Every page the plug-in opens comes here: the panel's buttons (display thread) open theirs
  // in the browser; the end page of an export (export thread) is offered as a link.
  NSWorkspace::setURLHandlerForAllPages([this](CFStringRef address) {
    QString page = QStringFromCFString(address);
    if (QThread::currentThread() == thread())
      QDesktopServices::openUrl(QUrl(page));
    else
      QMetaObject::invokeMethod(this, [this, page] { offerEndPage(page); }, Qt::QueuedConnection);
  });
  NSAppleScriptSetScriptingTarget(&library_);
}

ExportWindow::~ExportWindow() {
  stopExportNow();
  pool_.clear();
  pool_.waitForDone();
  NSWorkspace::setURLHandler({});
  NSAppleScriptSetScriptingTarget(nullptr);
  // The panel belongs to the plug-in, which destroys it with itself.
  if (panelView_) panelView_->setParent(nullptr);
  panelView_ = nullptr;
  plugIn_.unload();
}

void ExportWindow::buildWindow() {
  setWindowTitle(T("Velm Export"));
  auto* central = new QWidget(this);
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(12, 12, 12, 12);
  outer->setSpacing(10);

  auto* columns = new QHBoxLayout();
  columns->setSpacing(14);
  outer->addLayout(columns, 1);

  // The photos.
  auto* photos = new QVBoxLayout();
  photos->setSpacing(6);
  auto* head = new QHBoxLayout();
  auto* title = new QLabel(T("Photos"), central);
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  countLabel_ = new QLabel(central);
  countLabel_->setObjectName("photoCount");
  countLabel_->setForegroundRole(QPalette::PlaceholderText);
  addButton_ = new QPushButton(T("Add Photos\u2026"), central);
  addButton_->setObjectName("addButton");
  removeButton_ = new QPushButton(T("Remove"), central);
  removeButton_->setObjectName("removeButton");
  removeButton_->setEnabled(false);
  head->addWidget(title);
  head->addWidget(countLabel_);
  head->addStretch(1);
  head->addWidget(addButton_);
  head->addWidget(removeButton_);
  photos->addLayout(head);

  list_ = new QTreeWidget(central);
  list_->setObjectName("photoList");
  list_->setColumnCount(kColumnCount);
  list_->setHeaderLabels({T("Photo"), T("Caption"), T("Keywords"), T("Position"), T("Status")});
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setAlternatingRowColors(true);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setIconSize(QSize(kIconSide, kIconSide));
  list_->setTextElideMode(Qt::ElideRight);
  list_->setWordWrap(false);
  list_->header()->setStretchLastSection(true);
  list_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list_->header()->setMinimumSectionSize(60);
  list_->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  list_->setColumnWidth(kPhotoColumn, 170);
  list_->setColumnWidth(kCaptionColumn, 160);
  list_->setColumnWidth(kKeywordsColumn, 120);
  list_->setColumnWidth(kPositionColumn, 165);
  list_->setMinimumWidth(760);
  photos->addWidget(list_, 1);

  notice_ = new QLabel(T("Drag photos or folders here, or choose Add Photos\u2026"), central);
  notice_->setObjectName("notice");
  notice_->setWordWrap(true);
  notice_->setForegroundRole(QPalette::PlaceholderText);
  photos->addWidget(notice_);
  columns->addLayout(photos, 1);

  // The service and the plug-in's panel.
  auto* settings = new QVBoxLayout();
  settings->setSpacing(8);
  // The service's box looks like the panel's own boxes: the same margins, a label column of
  // the same width with the label at its right.
  auto* serviceArea = new QWidget(central);
  auto* serviceMargins = new QVBoxLayout(serviceArea);
  auto* serviceBox = new QGroupBox(T("Service"), serviceArea);
  serviceMargins->addWidget(serviceBox);
  auto* serviceGrid = new QGridLayout(serviceBox);
  serviceGrid->setColumnMinimumWidth(0, 110);
  serviceGrid->setColumnStretch(1, 1);
  auto* serviceLabel = new QLabel(T("Address:"), serviceBox);
  serviceLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  service_ = new QLineEdit(QString::fromStdString(serviceInUse()), serviceBox);
  service_->setObjectName("serviceField");
  service_->setToolTip(T("The address of the Velm service; remembered with the account"));
  serviceLabel->setBuddy(service_);
  serviceGrid->addWidget(serviceLabel, 0, 0);
  serviceGrid->addWidget(service_, 0, 1);
  republish_ = new QCheckBox(T("Publish already published photos again"), serviceBox);
  republish_->setObjectName("republishBox");
  republish_->setToolTip(T("Without it, photos this account published already are left out"));
  serviceGrid->addWidget(republish_, 1, 1);
  settings->setSpacing(0);
  settings->addWidget(serviceArea);
  if (panelView_) {
    settings->addWidget(panelView_);
    panelView_->show();
    if (QLayout* panelLayout = panelView_->layout()) {
      QMargins m = panelLayout->contentsMargins();
      serviceMargins->setContentsMargins(m.left(), m.top(), m.right(), 0);
      auto* panelBox = panelView_->findChild<QGroupBox*>();
      if (auto* grid = panelBox ? qobject_cast<QGridLayout*>(panelBox->layout()) : nullptr)
        serviceGrid->setContentsMargins(grid->contentsMargins());
    }
  } else {
    auto* missing = new QLabel(loadError_, central);
    missing->setWordWrap(true);
    settings->addWidget(missing);
  }
  settings->addStretch(1);
  columns->addLayout(settings, 0);

  // Progress, results and the buttons.
  auto* bottom = new QHBoxLayout();
  bottom->setSpacing(12);
  auto* state = new QVBoxLayout();
  state->setSpacing(4);
  progressBar_ = new QProgressBar(central);
  progressBar_->setObjectName("progressBar");
  progressBar_->setRange(0, 1);
  progressBar_->setValue(0);
  progressBar_->setTextVisible(false);  // shown while there is something to count
  progressBar_->setFormat(QStringLiteral("%v / %m"));
  progressMessage_ = new QLabel(central);
  progressMessage_->setObjectName("progressMessage");
  summary_ = new QLabel(central);
  summary_->setObjectName("summary");
  summary_->setWordWrap(true);
  endPage_ = new QLabel(central);
  endPage_->setObjectName("endPage");
  endPage_->setTextFormat(Qt::RichText);
  endPage_->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  connect(endPage_, &QLabel::linkActivated, this, [](const QString& a) { QDesktopServices::openUrl(QUrl(a)); });
  summary_->setWordWrap(false);
  auto* results = new QHBoxLayout();
  results->addWidget(summary_);
  results->addSpacing(18);
  results->addWidget(endPage_);
  results->addStretch(1);
  state->addWidget(progressBar_);
  state->addWidget(progressMessage_);
  state->addLayout(results);
  bottom->addLayout(state, 1);
  cancelButton_ = new QPushButton(T("Cancel"), central);
  cancelButton_->setObjectName("cancelButton");
  cancelButton_->setEnabled(false);
  exportButton_ = new QPushButton(T("Export"), central);
  exportButton_->setObjectName("exportButton");
  exportButton_->setDefault(true);
  exportButton_->setEnabled(panelView_ != nullptr);
  previewButton_ = new QPushButton(T("Preview"), central);
  previewButton_->setObjectName("previewButton");
  previewButton_->setToolTip(T("Shows what an export would send, and sends nothing"));
  previewButton_->setEnabled(panelView_ != nullptr);
  auto* buttons = new QVBoxLayout();
  auto* row = new QHBoxLayout();
  row->addWidget(previewButton_);
  row->addSpacing(12);
  row->addWidget(cancelButton_);
  row->addWidget(exportButton_);
  buttons->addLayout(row);
  buttons->addStretch(1);
  bottom->addLayout(buttons, 0);
  outer->addLayout(bottom);
  setCentralWidget(central);

  auto* file = menuBar()->addMenu(T("&File"));
  QAction* add = file->addAction(T("Add Photos\u2026"), this, &ExportWindow::chooseFiles);
  add->setShortcut(QKeySequence::Open);
  QAction* remove = file->addAction(T("Remove"), this, &ExportWindow::removeSelected);
  remove->setShortcut(QKeySequence::Delete);
  file->addSeparator();
  QAction* quit = file->addAction(T("Quit"), this, &QWidget::close);
  quit->setShortcut(QKeySequence::Quit);

  connect(addButton_, &QPushButton::clicked, this, &ExportWindow::chooseFiles);
  connect(removeButton_, &QPushButton::clicked, this, &ExportWindow::removeSelected);
  connect(exportButton_, &QPushButton::clicked, this, [this] { start(false); });
  connect(previewButton_, &QPushButton::clicked, this, [this] { start(true); });
  connect(cancelButton_, &QPushButton::clicked, this, &ExportWindow::cancelExport);
  connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] { setEditable(!isExporting()); });
  connect(service_, &QLineEdit::editingFinished, this, [this] {
    std::string address = service_->text().trimmed().toStdString();
    if (!address.empty()) setenv("VELM_SERVICE_URL", address.c_str(), 1);
  });

  progressTimer_ = new QTimer(this);
  progressTimer_->setInterval(100);
  connect(progressTimer_, &QTimer::timeout, this, &ExportWindow::showProgress);

  countLabel_->setText(T("none yet"));
  resize(1400, 720);
}

int ExportWindow::photoCount() const { return list_->topLevelItemCount(); }

QStringList ExportWindow::photoPaths() const {
  QStringList paths;
  for (int i = 0; i < list_->topLevelItemCount(); ++i) paths << list_->topLevelItem(i)->data(0, kPathRole).toString();
  return paths;
}

QSet<Qt::HANDLE> ExportWindow::workerThreads() const {
  std::lock_guard<std::mutex> g(threadsLock_);
  return workerThreads_;
}

void ExportWindow::recordWorkerThread() {
  std::lock_guard<std::mutex> g(threadsLock_);
  workerThreads_.insert(QThread::currentThreadId());
}

void ExportWindow::setNotice(const QString& text) { notice_->setText(text); }

void ExportWindow::addPaths(const QStringList& paths) {
  std::vector<std::string> names;
  for (const auto& p : paths) names.push_back(QFile::encodeName(p).toStdString());
  if (names.empty()) return;
  pool_.start([this, names] {
    recordWorkerThread();
    CollectedPhotos c = collectDroppedPhotos(names);
    QMetaObject::invokeMethod(
        this, [this, c] { addCollected(c.photos, c.notPhotos, c.error); }, Qt::QueuedConnection);
  });
}

void ExportWindow::addCollected(const std::vector<std::string>& photos, const std::vector<std::string>& notPhotos,
                                const std::string& error) {
  QStringList present = photoPaths();
  for (const auto& p : photos) {
    QString path = QFile::decodeName(QByteArray::fromStdString(p));
    path = QFileInfo(path).absoluteFilePath();
    if (present.contains(path)) continue;
    present << path;
    auto* item = new QTreeWidgetItem(list_);
    item->setData(0, kPathRole, path);
    item->setText(kPhotoColumn, QString::fromStdString(PhotoLibrary::readableName(QFileInfo(path).fileName().toStdString())));
    item->setToolTip(kPhotoColumn, path);
    item->setIcon(kPhotoColumn, squareIcon({}));
    item->setText(kPositionColumn, T("Reading\u2026"));
    setStatus(item, T("Ready"));
    describe(path);
  }
  QStringList notes;
  if (!notPhotos.empty()) {
    QStringList names;
    for (const auto& n : notPhotos) names << QFileInfo(QFile::decodeName(QByteArray::fromStdString(n))).fileName();
    notes << T("Not photos, left out: %1").arg(names.join(QStringLiteral(", ")));
  }
  if (!error.empty()) notes << QString::fromStdString(error);
  if (!notes.isEmpty()) setNotice(notes.join(QStringLiteral("  ")));
  else if (photoCount() > 0) setNotice(T("Drag more photos or folders here to add them."));
  int n = photoCount();
  countLabel_->setText(n == 0 ? T("none yet") : n == 1 ? T("1 photo") : T("%1 photos").arg(n));
  emit photosAdded(n);
}

void ExportWindow::describe(const QString& path) {
  std::string file = QFile::encodeName(path).toStdString();
  pool_.start([this, file, path] {
    recordWorkerThread();
    PhotoDetails details = readPhotoDetails(file, kThumbnailSide);
    QMetaObject::invokeMethod(this, [this, path, details] { described(path, details); }, Qt::QueuedConnection);
  });
}

void ExportWindow::described(const QString& path, const PhotoDetails& details) {
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list_->topLevelItem(i);
    if (item->data(0, kPathRole).toString() != path) continue;
    item->setIcon(kPhotoColumn, squareIcon(details.thumbnail));
    item->setText(kCaptionColumn, details.caption.simplified());
    item->setToolTip(kCaptionColumn, details.caption);
    QString keywords = details.keywords.join(QStringLiteral(", "));
    item->setText(kKeywordsColumn, keywords);
    item->setToolTip(kKeywordsColumn, keywords);
    item->setText(kPositionColumn, positionText(details));
  }
  emit photoDescribed(path);
}

void ExportWindow::setStatus(QTreeWidgetItem* item, const QString& richText, const QString& toolTip) {
  auto* label = qobject_cast<QLabel*>(list_->itemWidget(item, kStatusColumn));
  if (!label) {
    label = new QLabel();
    label->setObjectName("status");
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    label->setContentsMargins(4, 0, 4, 0);
    connect(label, &QLabel::linkActivated, this, [](const QString& a) { QDesktopServices::openUrl(QUrl(a)); });
    list_->setItemWidget(item, kStatusColumn, label);
  }
  label->setText(richText);
  label->setToolTip(toolTip);
}

void ExportWindow::chooseFiles() {
  if (isExporting()) return;
  QStringList files = QFileDialog::getOpenFileNames(
      this, T("Choose Photos"), QString(),
      T("Photos") + QStringLiteral(" (*.jpg *.jpeg *.png *.tif *.tiff *.heic *.heif *.avif *.webp *.gif *.dng *.cr2 *.cr3 *.nef *.arw *.orf *.raf *.rw2);;") + T("All files") +
          QStringLiteral(" (*)"));
  addPaths(files);
}

void ExportWindow::removeSelected() {
  if (isExporting()) return;
  for (QTreeWidgetItem* item : list_->selectedItems()) delete item;
  int n = photoCount();
  countLabel_->setText(n == 0 ? T("none yet") : n == 1 ? T("1 photo") : T("%1 photos").arg(n));
}

void ExportWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (!isExporting() && event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void ExportWindow::dropEvent(QDropEvent* event) {
  if (isExporting()) return;
  QStringList paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) paths << url.toLocalFile();
  if (paths.isEmpty()) return;
  event->acceptProposedAction();
  addPaths(paths);
}

void ExportWindow::closeEvent(QCloseEvent* event) {
  stopExportNow();
  QMainWindow::closeEvent(event);
}

void ExportWindow::setEditable(bool editable) {
  addButton_->setEnabled(editable);
  removeButton_->setEnabled(editable && !list_->selectedItems().isEmpty());
  exportButton_->setEnabled(editable && panelView_);
  cancelButton_->setEnabled(!editable && !cancelledEarly_ && (!session_ || session_->cancelRequests() < 2));
  previewButton_->setEnabled(editable && panelView_);
  republish_->setEnabled(editable);
  service_->setEnabled(editable);
  if (panelView_) panelView_->setEnabled(editable);
}

void ExportWindow::start(bool preview) {
  if (isExporting() || !panelView_) return;
  if (photoCount() == 0) {
    setNotice(T("Add photos to export first."));
    return;
  }
  SettingsPanel& panel = plugIn_.panel();
  if (!preview && (panel.account().empty() || !panel.hasPassword())) {
    setNotice(T("Type your account's name and password first."));
    return;
  }
  std::string address = service_->text().trimmed().toStdString();
  if (!address.empty()) {
    setenv("VELM_SERVICE_URL", address.c_str(), 1);
    if (!preview && panel.remember->isChecked()) rememberService(address);
  }

  // Every photo of the list, in its order; the export's library starts as the same.
  library_.clear();
  all_.clear();
  allItems_.clear();
  exportItems_.clear();
  for (int i = 0; i < list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list_->topLevelItem(i);
    std::string path = QFile::encodeName(item->data(0, kPathRole).toString()).toStdString();
    std::string why;
    if (all_.add(path, &why) && library_.add(path, nullptr)) {
      allItems_.push_back(item);
      setStatus(item, T("Waiting"));
    } else {
      setStatus(item, T("Failed: %1").arg(escaped(QString::fromStdString(why))));
    }
  }
  if (allItems_.empty()) return;

  settings_ = ExportSettings{serviceInUse(), panel.account(), republish_->isChecked(), false};
  // The ledger velm-export keeps; a preview only reads it.
  ledger_ = std::make_unique<PublicationLedger>();
  std::string why;
  if (!ledger_->open(PublicationLedger::defaultPath(),
                     preview ? PublicationLedger::Access::ReadOnly : PublicationLedger::Access::ReadWrite, &why)) {
    ledger_.reset();
    if (!preview && !settings_.republish) {
      setNotice(QString::fromStdString(why) + QStringLiteral(" ") +
                T("Turn on \u201cPublish already published photos again\u201d to export without that record."));
      return;
    }
    setNotice(QString::fromStdString(why));
  } else {
    setNotice(QString());
  }
  pages_ = std::make_unique<ServicePages>(settings_.service,
                                          ledger_ ? ledger_->addresses(settings_.service) : std::vector<std::string>());
  // The plug-in gets the captions without the pages of earlier publications.
  library_.setCaptionFilter([pages = pages_.get()](const std::string& c) { return pages->withoutAddresses(c); });
  PreviewChoices choices;
  choices.maxSize = panel.sizePixels();
  choices.sizeName = panel.sizeName();
  choices.privacyName = panel.privacyName();
  choices.album = panel.albumName();

  summary_->clear();
  endPage_->clear();
  progressBar_->setRange(0, 0);  // busy until the checks are done
  progressBar_->setTextVisible(false);
  progressMessage_->setText(T("Looking for photos published already\u2026"));
  shownMessage_.clear();
  shownValue_ = shownTotal_ = -1;
  cancelledEarly_ = false;
  cancelButton_->setText(T("Cancel"));
  stage_ = Stage::Checking;
  setEditable(false);

  // The checks read every photo (their checksums) and the preview renders them: off the
  // display thread.
  worker_ = std::thread([this, preview, choices] {
    recordWorkerThread();
    std::vector<PublishedCheck> checks = findPublished(all_, *pages_, ledger_.get(), settings_);
    std::vector<PhotoPreview> previews;
    if (preview) {
      library_.retain(photosToExport(checks, settings_));
      previews = previewExport(all_, checks, library_, choices, settings_);
    }
    QMetaObject::invokeMethod(
        this, [this, preview, checks, previews] { checked(preview, checks, previews); }, Qt::QueuedConnection);
  });
}

void ExportWindow::checked(bool preview, std::vector<PublishedCheck> checks, std::vector<PhotoPreview> previews) {
  if (stage_ != Stage::Checking) return;
  if (worker_.joinable()) worker_.join();
  checks_ = std::move(checks);
  if (preview) {
    showPreview(previews);
    return;
  }
  std::vector<size_t> keep = photosToExport(checks_, settings_);
  for (size_t i = 0; i < checks_.size() && i < allItems_.size(); ++i)
    if (checks_[i].published() && !settings_.republish) {
      QString page = QString::fromStdString(checks_[i].address);
      setStatus(allItems_[i], T("Published already: %1").arg(link(page, page)), page);
    }
  for (size_t i : keep)
    if (i < allItems_.size()) exportItems_.push_back(allItems_[i]);
  if (cancelledEarly_ || keep.empty()) {
    for (auto* item : exportItems_) setStatus(item, T("Not exported"));
    endStage();
    return;
  }
  library_.retain(keep);
  runSession();
}

void ExportWindow::runSession() {
  HostExportManager& manager = plugIn_.manager();
  manager.began = false;
  manager.finished = false;
  manager.cancelled = false;
  // The plug-in reads its panel here, on the thread that owns it.
  if (!plugIn_.beginExport()) {
    setNotice(T("The plug-in did not begin the export."));
    endStage();
    return;
  }
  progressBar_->setRange(0, static_cast<int>(exportItems_.size()));
  progressBar_->setValue(0);
  progressBar_->setTextVisible(true);
  progressMessage_->clear();
  session_ = std::make_unique<ExportSession>(plugIn_.plugIn(), library_, manager);
  session_->setSettings(settings_);
  if (ledger_) session_->setLedger(ledger_.get());
  stage_ = Stage::Exporting;
  setEditable(false);

  ExportSession::Events events;
  events.started = [this](unsigned index, unsigned, const std::string&) {
    recordWorkerThread();
    QMetaObject::invokeMethod(this, [this, index] { photoStarted(index); }, Qt::QueuedConnection);
  };
  events.finished = [this](unsigned index, unsigned, const std::string&, const PhotoOutcome& outcome) {
    QMetaObject::invokeMethod(this, [this, index, outcome] { photoEnded(index, outcome); }, Qt::QueuedConnection);
  };
  auto notice = [this](const std::string& why) {
    QString text = QString::fromStdString(why);
    QMetaObject::invokeMethod(this, [this, text] { setNotice(text); }, Qt::QueuedConnection);
  };
  events.stopping = notice;
  events.warning = notice;
  progressTimer_->start();
  worker_ = std::thread([this, events] {
    session_->run(events);
    QMetaObject::invokeMethod(this, [this] { exportEnded(); }, Qt::QueuedConnection);
  });
}

void ExportWindow::showPreview(const std::vector<PhotoPreview>& previews) {
  QLocale locale;
  unsigned shown = 0, leftOut = 0;
  for (size_t i = 0; i < previews.size() && i < allItems_.size(); ++i) {
    const PhotoPreview& p = previews[i];
    if (p.leftOut) {
      ++leftOut;
      if (i < checks_.size() && checks_[i].published()) {
        QString page = QString::fromStdString(checks_[i].address);
        setStatus(allItems_[i], T("Left out, published already: %1").arg(link(page, page)), page);
      } else {
        QString why = QString::fromStdString(p.why);
        setStatus(allItems_[i], T("Left out: %1").arg(escaped(why)), why);
      }
      continue;
    }
    ++shown;
    QString what = p.width > 0 ? T("Would upload %1 \u00d7 %2 pixels, %3").arg(p.width).arg(p.height).arg(QString::fromStdString(p.privacy))
                               : T("Would upload; the photo cannot be read");
    if (!p.album.empty()) what += QStringLiteral(", ") + T("album %1").arg(QString::fromStdString(p.album));
    QStringList details;
    details << T("Name: %1").arg(QString::fromStdString(p.name));
    details << T("Caption: %1").arg(QString::fromStdString(p.caption));
    QStringList keywords;
    for (const auto& k : p.keywords) keywords << QString::fromStdString(k);
    details << T("Keywords: %1").arg(keywords.join(QStringLiteral(", ")));
    if (p.hasPosition)
      details << T("Position: %1, %2").arg(locale.toString(p.latitude, 'f', 5), locale.toString(p.longitude, 'f', 5));
    setStatus(allItems_[i], escaped(what), details.join(QStringLiteral("\n")));
  }
  progressBar_->setRange(0, 1);
  progressBar_->setValue(0);
  progressMessage_->setText(T("Preview: nothing was sent."));
  summary_->setText(T("%1 would be uploaded, %2 left out").arg(shown).arg(leftOut));
  stage_ = Stage::Idle;
  ledger_.reset();
  setEditable(true);
  emit previewFinished();
}

void ExportWindow::endStage() {
  if (worker_.joinable()) worker_.join();
  progressTimer_->stop();
  progressBar_->setRange(0, std::max<int>(static_cast<int>(allItems_.size()), 1));
  unsigned uploaded = 0, failed = 0, notExported = 0, published = 0;
  if (session_) {
    std::vector<PhotoResult> results = exportResults(all_, checks_, library_, session_->outcomes());
    ResultCounts c = countResults(results);
    uploaded = c.uploaded;
    failed = c.failed;
    notExported = c.notExported;
    published = c.alreadyPublished;
  } else {
    for (size_t i = 0; i < checks_.size(); ++i) (checks_[i].published() && !settings_.republish ? published : notExported)++;
  }
  bool cancelled = cancelledEarly_ || (session_ && session_->cancelRequests() > 0);
  progressBar_->setValue(static_cast<int>(uploaded + failed + published));
  progressBar_->setTextVisible(true);
  progressMessage_->setText(cancelled ? T("Export cancelled.") : T("Export finished."));
  QString summary = T("%1 uploaded, %2 failed, %3 not exported").arg(uploaded).arg(failed).arg(notExported);
  if (published) summary += QStringLiteral(", ") + T("%1 published already").arg(published);
  summary_->setText(summary);
  session_.reset();
  ledger_.reset();
  stage_ = Stage::Idle;
  cancelButton_->setText(T("Cancel"));
  setEditable(true);
  emit exportFinished();
}

void ExportWindow::cancelExport() {
  if (stage_ == Stage::Checking) {
    cancelledEarly_ = true;
    cancelButton_->setEnabled(false);
    setNotice(T("Cancelling after the current photo\u2026"));
    return;
  }
  if (!session_) return;
  if (session_->cancelRequests() == 0) {
    setNotice(T("Cancelling after the current photo\u2026"));
    cancelButton_->setText(T("Stop Now"));
  } else {
    setNotice(T("Stopping now\u2026"));
    cancelButton_->setEnabled(false);
  }
  session_->cancel();
}

void ExportWindow::stopExportNow() {
  if (stage_ == Stage::Idle) return;
  cancelledEarly_ = true;
  if (session_)
    while (session_->cancelRequests() < 2) session_->cancel();
  if (worker_.joinable()) worker_.join();
  // What the worker queued is of no use any more.
  session_.reset();
  ledger_.reset();
  progressTimer_->stop();
  stage_ = Stage::Idle;
  setEditable(true);
}

void ExportWindow::showProgress() {
  ApertureExportPlugIn& plugIn = plugIn_.plugIn();
  plugIn.lockProgress();
  ExportProgress* progress = plugIn.progress();
  int value = progress ? static_cast<int>(progress->currentValue) : 0;
  int total = progress ? static_cast<int>(progress->totalValue) : 0;
  QString message = progress ? QStringFromCFString(progress->message) : QString();
  plugIn.unlockProgress();
  if (message == shownMessage_ && value == shownValue_ && total == shownTotal_) return;
  shownMessage_ = message;
  shownValue_ = value;
  shownTotal_ = total;
  progressBar_->setRange(0, std::max(total, 1));
  progressBar_->setValue(std::min(value, std::max(total, 1)));
  progressMessage_->setText(message);
  emit progressShown(message, value, total);
}

void ExportWindow::photoStarted(unsigned index) {
  if (index < exportItems_.size()) setStatus(exportItems_[index], T("Uploading\u2026"));
}

void ExportWindow::photoEnded(unsigned index, const PhotoOutcome& outcome) {
  if (index >= exportItems_.size()) return;
  QTreeWidgetItem* item = exportItems_[index];
  switch (outcome.state) {
    case PhotoOutcome::Uploaded: {
      QString page = QString::fromStdString(outcome.address);
      if (page.isEmpty())
        setStatus(item, T("Uploaded (the service named no page)"));
      else
        setStatus(item, link(page, page), page);
      break;
    }
    case PhotoOutcome::Failed: {
      QString reason = QString::fromStdString(outcome.reason);
      setStatus(item, T("Failed: %1").arg(escaped(reason)), reason);
      break;
    }
    case PhotoOutcome::NotExported: setStatus(item, T("Not exported")); break;
  }
  emit photoFinished(list_->indexOfTopLevelItem(item));
}

void ExportWindow::exportEnded() {
  if (stage_ != Stage::Exporting || !session_) return;
  if (worker_.joinable()) worker_.join();
  showProgress();
  endStage();
}

void ExportWindow::offerEndPage(const QString& address) {
  endPage_->setText(link(address, T("See your photos on Velm")));
  endPage_->setToolTip(address);
  emit endPageOffered(address);
}

}  // namespace velmexport
