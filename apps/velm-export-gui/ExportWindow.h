// The main window of velm-export-gui: the photos to export with their thumbnails, captions,
// keywords, positions and results; the plug-in's settings panel as it comes from its bundle;
// the service's address; Export and Cancel with the plug-in's progress.
//
// Threads: the display thread owns every widget, the plug-in and its panel. Photos are collected
// and described (thumbnails decoded) on a pool of worker threads; the export runs through the
// host core's ExportSession on a thread of its own. Their results come back as queued calls,
// and the progress bar reads the plug-in's progress record between lockProgress and
// unlockProgress on a timer of the display thread. The one blocking call left on the display
// thread is the panel's own album-menu refill, a synchronous request of the plug-in.
#pragma once

#include <QMainWindow>
#include <QSet>
#include <QThreadPool>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ExportSession.h"
#include "ExportSettings.h"
#include "HostPlugIn.h"
#include "PhotoLibrary.h"
#include "PublicationLedger.h"
#include "Publishing.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace velmexport {

class ExportWindow : public QMainWindow {
  Q_OBJECT

 public:
  // Loads the plug-in from the bundle and puts its panel into the window; loadError() says
  // what went wrong when it could not.
  explicit ExportWindow(const std::string& bundlePath, QWidget* parent = nullptr);
  ~ExportWindow() override;

  bool hasPlugIn() const { return panelView_ != nullptr; }
  QString loadError() const { return loadError_; }

  // Adds photos and the photos in folders (with their subfolders); files that are not photos
  // are named in the window and left out. Collected in the background; photosAdded follows.
  void addPaths(const QStringList& paths);
  int photoCount() const;
  // The photo files in the list's order.
  QStringList photoPaths() const;
  // True from Export or Preview until the results are shown.
  bool isExporting() const { return stage_ != Stage::Idle; }

  // The threads that collected and described photos and ran exports so far.
  QSet<Qt::HANDLE> workerThreads() const;

 signals:
  void photosAdded(int total);
  void photoDescribed(const QString& path);
  // The progress display changed: the plug-in's message and its count.
  void progressShown(const QString& message, int value, int total);
  void photoFinished(int row);
  void exportFinished();
  // The preview (dry run) is shown.
  void previewFinished();
  // The end page the plug-in asked to open, offered as a link.
  void endPageOffered(const QString& address);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildWindow();
  void chooseFiles();
  void removeSelected();
  enum class Stage { Idle, Checking, Exporting };
  // Export and Preview: the photos published already are looked for on a worker thread; then
  // the export runs, or the preview is shown.
  void start(bool preview);
  void checked(bool preview, std::vector<PublishedCheck> checks, std::vector<PhotoPreview> previews);
  void runSession();
  void showPreview(const std::vector<PhotoPreview>& previews);
  void endStage();
  void cancelExport();
  void showProgress();
  void exportEnded();
  void photoStarted(unsigned index);
  void photoEnded(unsigned index, const PhotoOutcome& outcome);
  void addCollected(const std::vector<std::string>& photos, const std::vector<std::string>& notPhotos,
                    const std::string& error);
  void describe(const QString& path);
  void described(const QString& path, const struct PhotoDetails& details);
  void offerEndPage(const QString& address);
  void setStatus(QTreeWidgetItem* item, const QString& richText, const QString& toolTip = {});
  void setNotice(const QString& text);
  void setEditable(bool editable);
  void recordWorkerThread();
  void stopExportNow();

  PhotoLibrary library_;
  LoadedPlugIn plugIn_{library_};
  QWidget* panelView_ = nullptr;
  QString loadError_;

  QTreeWidget* list_ = nullptr;
  QLabel* countLabel_ = nullptr;
  QLabel* notice_ = nullptr;
  QLineEdit* service_ = nullptr;
  QPushButton *addButton_ = nullptr, *removeButton_ = nullptr, *exportButton_ = nullptr, *cancelButton_ = nullptr,
              *previewButton_ = nullptr;
  QCheckBox* republish_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  QLabel* progressMessage_ = nullptr;
  QLabel* summary_ = nullptr;
  QLabel* endPage_ = nullptr;
  QTimer* progressTimer_ = nullptr;
  QString shownMessage_;
  int shownValue_ = -1, shownTotal_ = -1;

  Stage stage_ = Stage::Idle;
  bool cancelledEarly_ = false;
  // Every photo of the list (`all_`) and the ones the export takes (`library_`), with what the
  // ledger and the captions say of each, as the host core's publishing checks need them.
  PhotoLibrary all_;
  std::vector<QTreeWidgetItem*> allItems_;
  std::vector<PublishedCheck> checks_;
  ExportSettings settings_;
  std::unique_ptr<PublicationLedger> ledger_;
  std::unique_ptr<ServicePages> pages_;
  std::unique_ptr<ExportSession> session_;
  std::thread worker_;
  std::vector<QTreeWidgetItem*> exportItems_;  // the export's photos by their index

  QThreadPool pool_;
  mutable std::mutex threadsLock_;
  QSet<Qt::HANDLE> workerThreads_;
};

}  // namespace velmexport
