// The desktop window driven as a user drives it, against velm-server on loopback: photos added
// on the command line and by dropping files and folders, their thumbnails, captions, keywords
// and positions; an export with each result, the summary and the end page; cancelling after the
// current photo and at once; the window answering while an upload is held; settings shared with
// velm-export. Run once under a private Xvfb and once offscreen (CTest names xvfb.* and
// offscreen.*). With VELM_SCREENSHOT_DIR set, one test also writes screenshots there.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDesktopServices>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>

#include <filesystem>
#include <memory>
#include <set>

#include "CoreFoundation.h"
#include "ExportWindow.h"
#include "GuiTestSupport.h"
#include "ServerProcess.h"
#include "TestSupport.h"
#include "Text.h"

// Texts in failure messages as texts.
void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }

namespace fs = std::filesystem;
using velmexport::ExportWindow;
using velmtest::processEventsUntil;

// Records the pages the window asks the desktop to open, in place of a browser.
class PageRecorder : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void open(const QUrl& url) { opened << url; }
};

namespace {

enum Column { kPhoto, kCaption, kKeywords, kPosition, kStatus };

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!velmtest::displayUnavailable().empty()) GTEST_SKIP() << velmtest::displayUnavailable();
    ASSERT_NE(server.port(), 0) << server.errorOutput();
    ASSERT_EQ(server.addUser("anna", "secret"), 0);
    gate = std::make_unique<velmtest::UploadGate>(server.port());
    for (const char* name : {"Beach.jpg", "Harbour.jpg", "Summit.jpg", "Sketch.jpg"})
      fs::copy_file(fs::path(VELM_SOURCE_DIR) / "samples" / name, photos / name);
    QDesktopServices::setUrlHandler("http", &pages, "open");
    QDesktopServices::setUrlHandler("https", &pages, "open");
    open();
  }
  void TearDown() override {
    window.reset();
    QDesktopServices::unsetUrlHandler("http");
    QDesktopServices::unsetUrlHandler("https");
    unsetenv("VELM_SERVICE_URL");
  }

  void open() {
    window = std::make_unique<ExportWindow>(VELM_BUNDLE_DIR);
    described.clear();
    QObject::connect(window.get(), &ExportWindow::photoDescribed, [this](const QString& p) { described.insert(p); });
    ASSERT_TRUE(window->hasPlugIn()) << window->loadError().toStdString();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  }

  template <class T>
  T* child(const char* name) {
    T* w = window->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QTreeWidget* list() { return child<QTreeWidget>("photoList"); }
  QString cell(int row, int column) { return list()->topLevelItem(row)->text(column); }
  QString status(int row) {
    auto* label = qobject_cast<QLabel*>(list()->itemWidget(list()->topLevelItem(row), kStatus));
    return label ? label->text() : QString();
  }
  QLabel* statusLabel(int row) { return qobject_cast<QLabel*>(list()->itemWidget(list()->topLevelItem(row), kStatus)); }

  // Adds photos as the command line does and waits until every row is described.
  void add(const QStringList& paths, int expectedRows) {
    window->addPaths(paths);
    processEventsUntil([&] {
      if (window->photoCount() < expectedRows) return false;
      for (const auto& p : window->photoPaths())
        if (!described.count(p)) return false;
      return true;
    });
  }
  QString path(const char* name) { return QString::fromStdString((photos / name).string()); }

  // Types the account into the plug-in's panel and the gate's address into the service field.
  void signIn(const char* password = "secret") {
    auto type = [&](const char* field, const std::string& text) {
      auto* edit = child<QLineEdit>(field);
      edit->clear();
      QTest::keyClicks(edit, QString::fromStdString(text));
    };
    type("velmName", "anna");
    type("velmPassword", password);
    type("serviceField", gate->url());
  }

  void click(const char* button) {
    auto* b = child<QPushButton>(button);
    ASSERT_TRUE(b->isEnabled()) << button;
    QTest::mouseClick(b, Qt::LeftButton);
  }

  // Clicks Export and waits for the export's end.
  void exportAndWait() {
    bool finished = false;
    auto c = QObject::connect(window.get(), &ExportWindow::exportFinished, [&] { finished = true; });
    click("exportButton");
    processEventsUntil([&] { return finished; });
    QObject::disconnect(c);
  }

  std::string pagesOfServer() { return server.url() + "/photo/"; }

  void shoot(const char* moment) {
    const char* dir = getenv("VELM_SCREENSHOT_DIR");
    if (!dir || !*dir) return;
    CFRef<CFStringRef> language(CFBundleCopyLocalizationInUse(CFBundleGetMainBundle()));
    std::string lang = language ? velmexport::utf8(language.get()) : "en";
    fs::path file = fs::path(dir) / ("velm-export-gui-" + std::string(moment) + "-" + lang + ".png");
    // Layouts follow changed texts when their posted requests are handled.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QCoreApplication::processEvents();
    ASSERT_TRUE(window->grab().save(QString::fromStdString(file.string()))) << file;
  }

  velmtest::ServerProcess server{{"--request-log", (velmtest::makeTempDir("log") / "requests").string()}};
  std::unique_ptr<velmtest::UploadGate> gate;
  fs::path photos = velmtest::makeTempDir("photos");
  PageRecorder pages;
  std::unique_ptr<ExportWindow> window;
  std::set<QString> described;  // the photos the window has described
};

bool isDisplayThread(const QSet<Qt::HANDLE>& threads) { return threads.contains(QThread::currentThreadId()); }

TEST_F(Window, PhotosComeFromTheCommandLineAndDropsAndShowWhatTheLibraryReads) {
  EXPECT_EQ(child<QPushButton>("exportButton")->isEnabled(), true);
  // The command line names a photo; a drop brings a folder (walked with its subfolders, the text
  // file left out and named) and the same photo again, which is not listed twice.
  add({path("Beach.jpg")}, 1);
  fs::path folder = velmtest::makeTempDir("dropped");
  fs::create_directories(folder / "trip");
  fs::copy_file(photos / "Summit.jpg", folder / "trip" / "Summit.jpg");
  fs::copy_file(photos / "Harbour.jpg", folder / "Harbour.jpg");
  velmtest::writeFile(folder / "notes.txt", "not a photo");
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(folder.string())), QUrl::fromLocalFile(path("Beach.jpg"))});
  QDragEnterEvent enter(QPoint(40, 40), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(window.get(), &enter);
  ASSERT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(40, 40), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  std::set<QString> described;
  QObject::connect(window.get(), &ExportWindow::photoDescribed, [&](const QString& p) { described.insert(p); });
  QCoreApplication::sendEvent(window.get(), &drop);
  processEventsUntil([&] { return window->photoCount() == 3 && described.size() == 2; });

  ASSERT_EQ(window->photoCount(), 3);
  EXPECT_EQ(cell(0, kPhoto), "Beach.jpg");
  EXPECT_EQ(cell(0, kCaption), "Morning at the beach");
  EXPECT_EQ(cell(0, kKeywords), "sea, sun, sand");
  EXPECT_EQ(cell(0, kPosition), QString::fromUtf8("48.1235°\u00a0N, 11.5761°\u00a0E"));
  EXPECT_EQ(cell(1, kPhoto), "Harbour.jpg");
  EXPECT_EQ(cell(1, kCaption), "");
  EXPECT_EQ(cell(1, kKeywords), "boats, evening");
  EXPECT_EQ(cell(1, kPosition), "No position");
  EXPECT_EQ(cell(2, kPhoto), "Summit.jpg");
  EXPECT_EQ(cell(2, kPosition), QString::fromUtf8("33.4500°\u00a0S, 70.6667°\u00a0W"));
  EXPECT_TRUE(child<QLabel>("notice")->text().contains("Not photos, left out: notes.txt"))
      << child<QLabel>("notice")->text().toStdString();
  EXPECT_EQ(child<QLabel>("photoCount")->text(), "3 photos");
  // The thumbnail shows the photo: a pixel in its middle is not the empty background.
  QImage icon = list()->topLevelItem(0)->icon(kPhoto).pixmap(64, 64).toImage();
  EXPECT_GT(qAlpha(icon.pixel(32, 32)), 0);
  // Collecting and thumbnails ran off the display thread.
  EXPECT_FALSE(window->workerThreads().isEmpty());
  EXPECT_FALSE(isDisplayThread(window->workerThreads()));

  // Removing the selected photo.
  list()->topLevelItem(1)->setSelected(true);
  click("removeButton");
  EXPECT_EQ(window->photoPaths(), QStringList({path("Beach.jpg"), QString::fromStdString((folder / "trip" / "Summit.jpg").string())}));
  EXPECT_EQ(child<QLabel>("photoCount")->text(), "2 photos");
}

TEST_F(Window, ExportShowsEachResultTheSummaryAndTheEndPageWhileTheWindowAnswers) {
  add({path("Beach.jpg"), path("Harbour.jpg")}, 2);
  signIn();

  // The first upload waits in the gate: the window goes on answering meanwhile.
  gate->holdUpload(1);
  std::vector<QString> messages;
  QObject::connect(window.get(), &ExportWindow::progressShown,
                   [&](const QString& m, int, int) { messages.push_back(m); });
  click("exportButton");
  gate->waitUntilHeld();
  bool handled = false;
  QTimer::singleShot(0, window.get(), [&] { handled = true; });
  processEventsUntil([&] { return handled; });
  processEventsUntil([&] { return !messages.empty() && messages.back() == "Velm upload: Beach"; });
  EXPECT_EQ(child<QLabel>("progressMessage")->text(), "Velm upload: Beach");
  EXPECT_EQ(child<QProgressBar>("progressBar")->maximum(), 2);
  EXPECT_EQ(status(0), "Uploading\u2026");
  EXPECT_TRUE(child<QPushButton>("cancelButton")->isEnabled());
  EXPECT_FALSE(child<QPushButton>("exportButton")->isEnabled());
  EXPECT_FALSE(child<QLineEdit>("velmName")->isEnabled());
  EXPECT_TRUE(gate->holding()) << "all of the above happened while the upload was held";

  bool finished = false;
  QString endPage;
  QObject::connect(window.get(), &ExportWindow::exportFinished, [&] { finished = true; });
  QObject::connect(window.get(), &ExportWindow::endPageOffered, [&](const QString& a) { endPage = a; });
  gate->release();
  processEventsUntil([&] { return finished; });
  EXPECT_FALSE(gate->gaveUp());

  for (int row : {0, 1}) {
    EXPECT_TRUE(status(row).startsWith(QString::fromStdString("<a href=\"" + pagesOfServer()))) << status(row).toStdString();
  }
  EXPECT_EQ(child<QLabel>("summary")->text(), "2 uploaded, 0 failed, 0 not exported");
  EXPECT_EQ(child<QLabel>("progressMessage")->text(), "Export finished.");
  EXPECT_EQ(child<QProgressBar>("progressBar")->value(), 2);
  // Harbour has no position: the end page for photos without one.
  EXPECT_EQ(endPage, "http://www.velm.com/my/photos/unplaced/");
  EXPECT_TRUE(child<QLabel>("endPage")->text().contains("href=\"http://www.velm.com/my/photos/unplaced/\""));
  EXPECT_TRUE(pages.opened.isEmpty()) << "the end page is offered, not opened";
  EXPECT_TRUE(child<QPushButton>("exportButton")->isEnabled());
  EXPECT_FALSE(child<QPushButton>("cancelButton")->isEnabled());
  EXPECT_FALSE(isDisplayThread(window->workerThreads()));

  // A photo's page opens in the browser from its link.
  QString href = statusLabel(0)->toolTip();
  emit statusLabel(0)->linkActivated(href);
  ASSERT_EQ(pages.opened.size(), 1);
  EXPECT_EQ(pages.opened[0].toString().toStdString().rfind(pagesOfServer(), 0), 0u);
}

TEST_F(Window, CancelStopsAfterThePhotoAndStopNowAtOnce) {
  add({path("Beach.jpg"), path("Harbour.jpg"), path("Summit.jpg"), path("Sketch.jpg")}, 4);
  signIn();

  // Cancel while the second photo is uploading: it finishes, the rest are not exported.
  gate->holdUpload(2);
  bool finished = false;
  QObject::connect(window.get(), &ExportWindow::exportFinished, [&] { finished = true; });
  click("exportButton");
  gate->waitUntilHeld();
  click("cancelButton");
  EXPECT_EQ(child<QPushButton>("cancelButton")->text(), "Stop Now");
  EXPECT_TRUE(child<QLabel>("notice")->text().startsWith("Cancelling after the current photo"));
  gate->release();
  processEventsUntil([&] { return finished; });
  EXPECT_TRUE(status(0).contains(QString::fromStdString(pagesOfServer()))) << status(0).toStdString();
  EXPECT_TRUE(status(1).contains(QString::fromStdString(pagesOfServer()))) << status(1).toStdString();
  EXPECT_EQ(status(2), "Not exported");
  EXPECT_EQ(status(3), "Not exported");
  EXPECT_EQ(child<QLabel>("summary")->text(), "2 uploaded, 0 failed, 2 not exported");
  EXPECT_EQ(child<QLabel>("progressMessage")->text(), "Export cancelled.");
  EXPECT_EQ(gate->uploadsArrived(), 2);

  // The next export of the same window starts afresh and leaves out the two photos published
  // now; Stop Now ends the held upload at once, while the gate still holds it.
  finished = false;
  gate->holdUpload(1);
  click("exportButton");
  gate->waitUntilHeld();
  click("cancelButton");
  click("cancelButton");
  processEventsUntil([&] { return finished; });
  EXPECT_TRUE(gate->holding());
  for (int row : {0, 1})
    EXPECT_TRUE(status(row).startsWith(QString::fromStdString("Published already: <a href=\"" + pagesOfServer())))
        << status(row).toStdString();
  for (int row : {2, 3}) EXPECT_EQ(status(row), "Not exported") << row;
  EXPECT_EQ(child<QLabel>("summary")->text(), "0 uploaded, 0 failed, 2 not exported, 2 published already");
  gate->release();
}

// The screenshots of the documentation: before, during and after an export, in the language the
// run is given (tools/screenshots runs it in English and in German).
TEST_F(Window, Screenshots) {
  if (!getenv("VELM_SCREENSHOT_DIR")) GTEST_SKIP() << "VELM_SCREENSHOT_DIR names no folder for screenshots";
  add({path("Beach.jpg"), path("Harbour.jpg"), path("Summit.jpg"), path("Sketch.jpg")}, 4);
  signIn();
  child<QComboBox>("sizePopUp")->setCurrentIndex(1);
  shoot("before");
  gate->holdUpload(3);
  std::vector<QString> messages;
  QObject::connect(window.get(), &ExportWindow::progressShown, [&](const QString& m, int, int) { messages.push_back(m); });
  bool finished = false;
  QObject::connect(window.get(), &ExportWindow::exportFinished, [&] { finished = true; });
  click("exportButton");
  gate->waitUntilHeld();
  processEventsUntil([&] { return !messages.empty() && messages.back().endsWith("Summit"); });
  shoot("during");
  gate->release();
  processEventsUntil([&] { return finished; });
  shoot("after");
}

TEST_F(Window, PublishedPhotosAreLeftOutUnlessPublishedAgainAndThePreviewSendsNothing) {
  add({path("Beach.jpg"), path("Harbour.jpg")}, 2);
  signIn();
  exportAndWait();
  ASSERT_EQ(child<QLabel>("summary")->text(), "2 uploaded, 0 failed, 0 not exported");

  auto preview = [&] {
    bool shown = false;
    auto c = QObject::connect(window.get(), &ExportWindow::previewFinished, [&] { shown = true; });
    click("previewButton");
    processEventsUntil([&] { return shown; });
    QObject::disconnect(c);
  };
  preview();
  for (int row : {0, 1})
    EXPECT_TRUE(status(row).startsWith(QString::fromStdString("Left out, published already: <a href=\"" + pagesOfServer())))
        << status(row).toStdString();
  EXPECT_EQ(child<QLabel>("summary")->text(), "0 would be uploaded, 2 left out");

  auto* again = child<QAbstractButton>("republishBox");
  again->setChecked(true);
  // The size chosen in the panel shows in the preview.
  child<QComboBox>("sizePopUp")->setCurrentIndex(4);
  preview();
  EXPECT_TRUE(status(0).startsWith("Would upload 640 \u00d7 ")) << status(0).toStdString();
  EXPECT_TRUE(statusLabel(0)->toolTip().contains("Caption: Morning at the beach")) << statusLabel(0)->toolTip().toStdString();
  EXPECT_EQ(child<QLabel>("summary")->text(), "2 would be uploaded, 0 left out");
  EXPECT_EQ(gate->uploadsArrived(), 2) << "a preview sends nothing";

  exportAndWait();
  EXPECT_EQ(child<QLabel>("summary")->text(), "2 uploaded, 0 failed, 0 not exported");
  EXPECT_EQ(gate->uploadsArrived(), 4);

  again->setChecked(false);
  add({path("Summit.jpg")}, 3);
  exportAndWait();
  EXPECT_EQ(child<QLabel>("summary")->text(), "1 uploaded, 0 failed, 0 not exported, 2 published already");
  EXPECT_TRUE(status(2).startsWith(QString::fromStdString("<a href=\"" + pagesOfServer()))) << status(2).toStdString();
  EXPECT_EQ(gate->uploadsArrived(), 5);
}

TEST_F(Window, AFailedUploadShowsItsReasonAndTheAccountIsAskedForFirst) {
  add({path("Beach.jpg"), path("Harbour.jpg")}, 2);
  // Without a password nothing goes out.
  child<QLineEdit>("velmName")->setText("anna");
  child<QLineEdit>("velmPassword")->clear();
  click("exportButton");
  EXPECT_FALSE(window->isExporting());
  EXPECT_EQ(child<QLabel>("notice")->text(), "Type your account's name and password first.");
  // A wrong password: the service refuses the account, the export stops after the first photo.
  signIn("wrong");
  exportAndWait();
  EXPECT_EQ(status(0), "Failed: error 102: wrong password (wrong authentication token)");
  EXPECT_EQ(status(1), "Not exported");
  EXPECT_EQ(child<QLabel>("summary")->text(), "0 uploaded, 1 failed, 1 not exported");
  EXPECT_TRUE(child<QLabel>("notice")->text().contains("the service refused the account"));
}

TEST_F(Window, RemembersTheServiceAndAccountWhereVelmExportKeepsThem) {
  add({path("Beach.jpg")}, 1);
  signIn();
  auto* remember = child<QAbstractButton>("useKeychainCheckbox");
  if (!remember->isChecked()) QTest::mouseClick(remember, Qt::LeftButton, {}, QPoint(8, remember->height() / 2));
  ASSERT_TRUE(remember->isChecked());
  exportAndWait();
  ASSERT_EQ(child<QLabel>("summary")->text(), "1 uploaded, 0 failed, 0 not exported");
  std::string stored =
      velmtest::readFile(velmtest::sandboxDir() / "home" / ".config" / "preferences" / "velm-export.plist");
  EXPECT_NE(stored.find("VelmServiceURL"), std::string::npos) << stored;
  EXPECT_NE(stored.find(gate->url()), std::string::npos) << stored;
  EXPECT_NE(stored.find("anna"), std::string::npos) << stored;

  // A new window starts with what was remembered.
  window.reset();
  unsetenv("VELM_SERVICE_URL");
  open();
  EXPECT_EQ(child<QLineEdit>("serviceField")->text().toStdString(), gate->url());
  EXPECT_EQ(child<QLineEdit>("velmName")->text(), "anna");
  EXPECT_FALSE(child<QLineEdit>("velmPassword")->text().isEmpty());
}

}  // namespace

#include "test_velm_export_gui.moc"
