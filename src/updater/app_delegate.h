// The updater controller: holds the window's controls, knows where the game is, turns the two
// manifests into one download per add-on file, runs them through a request queue, extracts each
// finished archive in place and reports when all is done.
#pragma once

#include "platform/object.h"
#include "platform/run_loop.h"
#include "updater/addon_list.h"
#include "updater/download_plan.h"
#include "updater/game_folder.h"
#include "updater/progress_line.h"
#include "updater/window_outlets.h"

#include <QJsonArray>
#include <QString>

#include <memory>
#include <optional>
#include <unordered_map>

namespace http {
class HTTPRequest;
}
namespace queue {
class NetworkQueue;
}

namespace updater {

class InstallRecords;
class UpdateBackup;

// The texts the window shows.
inline const QString kStatusQuerying = QStringLiteral("查询更新服务器");
inline const QString kStatusBuilding = QStringLiteral("构建目录");
inline const QString kStatusDownloadingFormat = QStringLiteral("正在下载%1");
inline const QString kStatusExtracting = QStringLiteral("解压中请勿关闭");
inline const QString kStatusDone = QStringLiteral("下载完成");
// The end of an update in which some files could not be installed: the count of those files.
inline const QString kStatusDoneWithFailuresFormat = QStringLiteral("下载完成，%1 个文件失败");
inline const QString kStatusServerFailed = QStringLiteral("更新服务器连接失败");
// The ends of a rollback.
inline const QString kStatusRestored = QStringLiteral("已恢复上次版本");
inline const QString kStatusRestoreFailed = QStringLiteral("部分文件恢复失败");
// Where the game is unless the user picks another folder.
inline const QString kDefaultGameFolder = QStringLiteral("/Applications/World of Warcraft");
// Downloads at once when the concurrency control gives no positive number.
inline constexpr qint64 kDefaultQueueNumber = 4;
// Interval of the wait for running extractions, in seconds.
inline constexpr double kWaitInterval = 0.5;

// Thread: main, except loadMainJson, StartDownQueue and CheckOutFilePath, which run on the one
// background thread of an update (see the comments there). Owns its strings, the add-on list, the
// queue and the timer; the controls are the window's, held here as outlets.
class AppDelegate : public platform::Object {
  PLATFORM_OBJECT
 public:
  // `manifestURL` is the fixed address of the update manifest.
  explicit AppDelegate(QString manifestURL);
  ~AppDelegate() override;

  // ---- Outlets ----
  void setPluginInfo(std::shared_ptr<StatusText> field) { pluginInfo_ = std::move(field); }
  void setLoadingProgress(std::shared_ptr<platform::Object> bar) { loadingProgress_ = std::move(bar); }
  void setUpdataButton(std::shared_ptr<UpdateButton> button) { updataButton_ = std::move(button); }
  void setFolderPicker(std::shared_ptr<FolderPicker> picker) { folderPicker_ = std::move(picker); }
  // The line under the progress bar (files, bytes, speed) and the rollback button.
  void setProgressLine(std::shared_ptr<StatusText> line) { progressLine_ = std::move(line); }
  void setRollbackButton(std::shared_ptr<UpdateButton> button) { rollbackButton_ = std::move(button); }
  const std::shared_ptr<StatusText>& pluginInfo() const { return pluginInfo_; }
  const std::shared_ptr<platform::Object>& loadingProgress() const { return loadingProgress_; }
  const std::shared_ptr<UpdateButton>& updataButton() const { return updataButton_; }

  // ---- Actions and interface events (main thread) ----
  // Takes the default game folder, or when it is missing the remembered or a usual Linux install of
  // the game (its first flavour), and enables the rollback button when there is something to restore.
  void awakeFromNib();
  void applicationDidFinishLaunching() {}
  // The update button: finds the game folder (picker when missing), then fetches the manifests
  // on a background thread. `sender` is the button.
  void StartDownloading(UpdateButton& sender);
  // The concurrency control: its chosen title becomes the limit of the next update; a title that
  // is no positive number gives the default 4 (a limit of 0 would let nothing run).
  void ClickQueueNumber(const TitledControl& sender);
  // The flavour control (shown when the found install has several): the add-ons go into the
  // flavour folder titled by the sender. Ignored once an update has started.
  void ClickFlavour(const TitledControl& sender);
  // The rollback button: restores every file the last update of this game folder replaced or
  // created; says "已恢复上次版本", or "部分文件恢复失败" when some could not be restored (each logged).
  // Returns false when some file failed, there was nothing to restore, or an update is running.
  bool RestoreLastUpdate();

  // ---- The update (background thread) ----
  void loadMainJson();
  void StartDownQueue();
  void CheckOutFilePath(const QString& destinationPath);

  // ---- Main thread ----
  void toCreatPath();
  void downloadPluginStart(const std::shared_ptr<http::HTTPRequest>& request);
  void downloadPluginFinish(const std::shared_ptr<http::HTTPRequest>& request);
  void downloadPluginFailed(const std::shared_ptr<http::HTTPRequest>& request);
  // Extracts the archive `fileName` in `directory` in place, then removes it. True when the
  // entry was installed and the archive removed.
  // `writtenCrc`, when given, receives on success the checked CRC-32 of the file written, if the
  // archive stores one (it is left as it was otherwise).
  bool un7zip(const QString& directory, const QString& fileName, std::optional<quint32>* writtenCrc = nullptr);
  void downloadAllPluginFinish(const std::shared_ptr<queue::NetworkQueue>& queue);
  // Ends the update when no extraction is under way: "下载完成" when every file was installed,
  // otherwise the same text with the count of files that failed.
  void downLoadFinishWaiting();

  // ---- Fields ----
  const QString& pluginHttpAdressHead() const { return _pluginHttpAdressHead; }
  const QString& pluginSaveAdressHead() const { return _pluginSaveAdressHead; }
  void setPluginSaveAdressHead(const QString& folder) { _pluginSaveAdressHead = folder; }
  qint64 queueNumber() const { return _queueNumber; }
  quint64 unzipCount() const { return _unzipCount; }
  const std::shared_ptr<queue::NetworkQueue>& networkQueue() const { return _networkQueue; }
  const std::shared_ptr<platform::Timer>& timer() const { return _timer; }
  // Files of the current update installed so far, files that failed, and all its files.
  int installedFiles() const { return installedFiles_; }
  int failedFiles() const { return failedFiles_; }
  int plannedFiles() const { return plannedFiles_; }
  // Files left alone because the server said they had not changed (counted as installed too).
  int unchangedFiles() const { return unchangedFiles_; }
  // The install found when the default folder was missing (its flavours for the flavour control).
  const std::optional<GameInstall>& gameInstall() const { return gameInstall_; }
  bool updateStarted() const { return updateStarted_; }

 private:
  bool openFile();
  void setStatus(const QString& text);
  // The update cannot go on (no manifest, no list): say so and let the user try again.
  void reportServerFailure(const QString& why);
  // Main thread: the plan of `count` files is about to be queued.
  void beginFiles(int count);
  // Main thread: one file of the plan ended, installed or not (`why` says what went wrong).
  void fileInstalled();
  void fileFailed(const QString& destination, const QString& why);
  void showProgress();
  // The progress line: bytes that arrived, a tick of its timer, and its end.
  void bytesArrived(qint64 bytes);
  void refreshProgressLine();
  void stopProgressLine();
  void updateRollbackButton();
  // Extraction of a downloaded archive over its installed file, with a kept copy of that file.
  void install(const std::shared_ptr<http::HTTPRequest>& request);

  const QString manifestURL_;
  QString _pluginHttpAdressHead;
  QString _pluginSaveAdressHead;
  AddOnList _pluginDownJson;  // the add-on list (its "Crc32" entries)
  std::shared_ptr<queue::NetworkQueue> _networkQueue;
  qint64 _queueNumber = kDefaultQueueNumber;
  std::shared_ptr<platform::Timer> _timer;
  quint64 _unzipCount = 0;
  int plannedFiles_ = 0;
  int installedFiles_ = 0;
  int failedFiles_ = 0;
  int unchangedFiles_ = 0;
  int openDownloads_ = 0;
  bool updateStarted_ = false;  // an update was started in this run (the flavour is then fixed)
  bool updateRunning_ = false;  // from the update button to the end of the update
  // What the plan knows of each download, by destination path: filled on the update's background
  // thread before the queue starts, read on the main thread afterwards.
  struct Planned {
    QString relativeOutPath;  // the installed file, relative to the game folder
    QString url;              // the archive's URL, as its install record keeps it
    bool conditional = false; // asked only if changed since its install record
  };
  std::unordered_map<QString, Planned> planned_;
  std::unique_ptr<InstallRecords> records_;
  std::unique_ptr<UpdateBackup> backup_;
  std::optional<GameInstall> gameInstall_;
  ProgressLine progress_;
  std::shared_ptr<platform::Timer> progressTimer_;
  QString shownProgressLine_;
  std::shared_ptr<StatusText> progressLine_;
  std::shared_ptr<UpdateButton> rollbackButton_;

  std::shared_ptr<StatusText> pluginInfo_;
  std::shared_ptr<platform::Object> loadingProgress_;
  std::shared_ptr<UpdateButton> updataButton_;
  std::shared_ptr<FolderPicker> folderPicker_;
};

}  // namespace updater
