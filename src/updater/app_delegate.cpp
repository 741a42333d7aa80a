// The updater controller: the update button, the manifests on a background thread, the download
// queue with its callbacks, extraction in place and the wait for completion.
#include "updater/app_delegate.h"

#include "archive/archive_extractor.h"
#include "http/http_request.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "queue/network_queue.h"
#include "updater/install_records.h"
#include "updater/json_dictionary.h"
#include "updater/rollback.h"
#include "updater/state_paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

#include <algorithm>
#include <limits>
#include <thread>

namespace updater {
namespace {

const platform::Selector kSetDoubleValue("setDoubleValue:");
const platform::Selector kSetMaxValue("setMaxValue:");

bool isSuccessStatus(int status) { return status >= 200 && status <= 299; }

// The progress line is redrawn at most this often, in seconds.
constexpr double kProgressLineInterval = 0.1;

// Where a request's archive goes, kept in its user info (a request whose body stays in memory
// has no download destination of its own).
const QString kDestinationKey = QStringLiteral("destination");

QString destinationOf(const http::HTTPRequest& request) {
  return request.userInfo().value(kDestinationKey).toString();
}

QString headerValue(const http::HTTPRequest& request, const QString& name) {
  const auto& headers = request.responseHeaders();
  if (!headers) return {};
  for (auto it = headers->begin(); it != headers->end(); ++it) {
    if (it.key().compare(name, Qt::CaseInsensitive) == 0) return it.value();
  }
  return {};
}

}  // namespace

const platform::MethodTable& AppDelegate::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {
      platform::method("downloadPluginStart:", &AppDelegate::downloadPluginStart),
      platform::method("downloadPluginFinish:", &AppDelegate::downloadPluginFinish),
      platform::method("downloadPluginFailed:", &AppDelegate::downloadPluginFailed),
      platform::method("downloadAllPluginFinish:", &AppDelegate::downloadAllPluginFinish),
  });
  return table;
}

AppDelegate::AppDelegate(QString manifestURL) : manifestURL_(std::move(manifestURL)) {}

AppDelegate::~AppDelegate() {
  if (_timer) _timer->invalidate();
  if (progressTimer_) progressTimer_->invalidate();
}

void AppDelegate::setStatus(const QString& text) {
  if (pluginInfo_) pluginInfo_->setStringValue(text);
}

// ---- Launch and the two controls --------------------------------------------------------------

void AppDelegate::awakeFromNib() {
  if (_networkQueue) _networkQueue->setDelegate(weak_from_this());
  _pluginSaveAdressHead = kDefaultGameFolder;
  if (!QFileInfo::exists(_pluginSaveAdressHead)) {
    gameInstall_ = findGameInstall(platform::homeFolder());
    if (gameInstall_) {
      _pluginSaveAdressHead = gameInstall_->addOnsRoot();
      platform::log(QStringLiteral("Game folder found: %1").arg(escapeForLog(_pluginSaveAdressHead)));
    }
  }
  updateRollbackButton();
}

void AppDelegate::ClickFlavour(const TitledControl& sender) {
  if (updateStarted_ || !gameInstall_) return;
  _pluginSaveAdressHead = gameInstall_->addOnsRoot(sender.titleOfSelectedItem());
  updateRollbackButton();
}

void AppDelegate::updateRollbackButton() {
  if (rollbackButton_) rollbackButton_->setEnabled(!updateRunning_ && !backupFolders(_pluginSaveAdressHead).isEmpty());
}

bool AppDelegate::RestoreLastUpdate() {
  if (updateRunning_) return false;
  const RestoreResult result = restoreLastUpdate(_pluginSaveAdressHead);
  if (!result.found) {
    platform::log(QStringLiteral("Nothing to restore for %1").arg(escapeForLog(_pluginSaveAdressHead)));
    updateRollbackButton();
    return false;
  }
  for (const QString& failure : result.failed) {
    platform::log(QStringLiteral("Not restored: %1").arg(escapeForLog(failure)));
  }
  platform::log(QStringLiteral("Restored %1 files of the last update in %2")
                    .arg(result.restored.size())
                    .arg(escapeForLog(_pluginSaveAdressHead)));
  setStatus(result.failed.isEmpty() ? kStatusRestored : kStatusRestoreFailed);
  updateRollbackButton();
  return result.failed.isEmpty();
}

void AppDelegate::StartDownloading(UpdateButton& sender) {
  _unzipCount = 0;
  if (!QFileInfo::exists(_pluginSaveAdressHead) && !openFile()) return;
  sender.setEnabled(false);
  updateStarted_ = true;
  updateRunning_ = true;
  if (rollbackButton_) rollbackButton_->setEnabled(false);
  setStatus(kStatusQuerying);
  auto self = std::static_pointer_cast<AppDelegate>(shared_from_this());
  std::thread([self] { self->loadMainJson(); }).detach();
}

bool AppDelegate::openFile() {
  std::optional<QString> chosen;
  if (folderPicker_) chosen = folderPicker_->chooseFolder(platform::homeFolder());
  if (chosen) {
    _pluginSaveAdressHead = *chosen;
    return true;
  }
  if (updataButton_) updataButton_->setEnabled(true);
  return false;
}

void AppDelegate::ClickQueueNumber(const TitledControl& sender) {
  bool ok = false;
  const qint64 value = sender.titleOfSelectedItem().trimmed().toLongLong(&ok);
  _queueNumber = ok && value > 0 ? std::min<qint64>(value, std::numeric_limits<int>::max()) : kDefaultQueueNumber;
}

void AppDelegate::reportServerFailure(const QString& why) {
  platform::log(QStringLiteral("Update stopped: %1").arg(escapeForLog(why)));
  auto self = std::static_pointer_cast<AppDelegate>(shared_from_this());
  platform::performOnMainThread([self] {
    self->updateRunning_ = false;
    self->updateRollbackButton();
    self->setStatus(kStatusServerFailed);
    if (self->updataButton_) self->updataButton_->setEnabled(true);
  }, false);
}

// ---- Background thread ---------------------------------------------------------------------

void AppDelegate::loadMainJson() {
  QString why;
  const std::optional<QJsonDocument> manifest = documentWithContentsOfURLString(manifestURL_, &why);
  if (!manifest || !manifest->isObject()) {
    return reportServerFailure(QStringLiteral("no update manifest at %1: %2")
                                   .arg(manifestURL_, manifest ? QStringLiteral("not an object") : why));
  }
  const QJsonObject manifestMap = manifest->object();
  const QJsonValue base = manifestMap.value(QLatin1String("plughttpaddr"));
  const QJsonValue listURL = manifestMap.value(QLatin1String("plugjsonaddr"));
  if (!base.isString() || !listURL.isString()) {
    return reportServerFailure(QStringLiteral("the update manifest names no archive base or add-on list"));
  }
  _pluginHttpAdressHead = base.toString();

  // The list is kept as its text, entries parsed one at a time: it may be long.
  std::optional<AddOnList> list;
  if (std::optional<QByteArray> bytes = contentsOfURLString(listURL.toString(), &why)) {
    list = AddOnList::fromDocument(std::move(*bytes), &why);
  }
  if (!list) return reportServerFailure(QStringLiteral("no add-on list at %1: %2").arg(listURL.toString(), why));
  _pluginDownJson = std::move(*list);
  StartDownQueue();
}

void AppDelegate::StartDownQueue() {
  auto self = std::static_pointer_cast<AppDelegate>(shared_from_this());
  _networkQueue = queue::NetworkQueue::queue();
  _networkQueue->setShouldCancelAllRequestsOnFailure(false);
  _networkQueue->reset();
  _networkQueue->setDelegate(self);
  _networkQueue->setShowAccurateProgress(false);
  // The progress bar is not the queue's: the queue counts every ended transfer, an error page
  // too, while the bar counts only files installed (see showProgress()).
  _networkQueue->setQueueDidFinishSelector("downloadAllPluginFinish:");
  _networkQueue->setMaxConcurrentOperationCount(static_cast<int>(_queueNumber));

  platform::performOnMainThread([self] { self->toCreatPath(); }, false);

  const std::vector<PlanItem> plan =
      composePlan(_pluginDownJson, _pluginHttpAdressHead, _pluginSaveAdressHead, platform::log);
  records_ = std::make_unique<InstallRecords>(_pluginSaveAdressHead);
  records_->load();
  planned_.clear();
  const int count = static_cast<int>(plan.size());
  platform::performOnMainThread([self, count] { self->beginFiles(count); }, false);
  std::weak_ptr<AppDelegate> weakSelf = self;
  const QDir gameFolder(_pluginSaveAdressHead);
  for (const PlanItem& item : plan) {
    auto request = http::HTTPRequest::requestWithURL(QUrl::fromEncoded(item.escapedURL.toLatin1()));
    request->setUserInfo({{kDestinationKey, item.destinationPath}});
    request->setDidFinishSelector("downloadPluginFinish:");
    request->setDidFailSelector("downloadPluginFailed:");
    request->setDidStartSelector("downloadPluginStart:");
    request->setDelegate(self);
    // Asked only "if changed" when the installed file is still the one its record describes.
    Planned& planned = planned_[item.destinationPath];
    planned.relativeOutPath = gameFolder.relativeFilePath(withoutArchiveSuffix(item.destinationPath));
    planned.url = item.escapedURL;
    const InstallRecord* record = records_->find(planned.relativeOutPath);
    if (record != nullptr && record->url == item.escapedURL && (!record->etag.isEmpty() || !record->lastModified.isEmpty()) &&
        stillMatches(withoutArchiveSuffix(item.destinationPath), *record)) {
      planned.conditional = true;
      // Most answers are a bodiless 304: the body of a changed archive is kept in memory and
      // written to the destination only then, instead of an empty download file for each 304.
      if (!record->etag.isEmpty()) request->addRequestHeader(QStringLiteral("If-None-Match"), record->etag);
      if (!record->lastModified.isEmpty()) {
        request->addRequestHeader(QStringLiteral("If-Modified-Since"), record->lastModified);
      }
    } else {
      request->setDownloadDestinationPath(item.destinationPath);
    }
    _networkQueue->addOperation(request);
    // Bytes as they arrive, for the progress line (the queue itself still counts whole downloads).
    request->setShowAccurateProgress(true);
    request->setBytesReceivedBlock([weakSelf](qint64 amount, qint64 total) {
      // Without a known length (a 304, a body without Content-Length) the amount is one unit of
      // a whole download, not bytes.
      if (total <= 0) return;
      if (auto me = weakSelf.lock()) me->bytesArrived(amount);
    });
    CheckOutFilePath(item.destinationPath);
  }
  if (plan.empty()) {
    // Nothing to download: the update is done at once.
    auto queue = _networkQueue;
    platform::performOnMainThread([self, queue] { self->downloadAllPluginFinish(queue); }, false);
  }
  _networkQueue->go();
}

void AppDelegate::CheckOutFilePath(const QString& destinationPath) {
  const QString directory = directoryOf(destinationPath);
  platform::log(QStringLiteral("saveString-------") + escapeForLog(directory));
  if (!QFileInfo::exists(destinationPath)) QDir().mkpath(directory);
}

// ---- Main thread -------------------------------------------------------------------------------

void AppDelegate::toCreatPath() { setStatus(kStatusBuilding); }

void AppDelegate::downloadPluginStart(const std::shared_ptr<http::HTTPRequest>& request) {
  ++openDownloads_;
  const QString name = lastPathComponent(request->originalURL().toString(QUrl::FullyEncoded));
  setStatus(kStatusDownloadingFormat.arg(QString(name).remove(QStringLiteral(".7z"))));
}

void AppDelegate::downloadPluginFailed(const std::shared_ptr<http::HTTPRequest>& request) {
  openDownloads_ = std::max(0, openDownloads_ - 1);
  const QString url = request->url().toString(QUrl::FullyEncoded);
  const platform::ErrorPtr& error = request->error();
  platform::log(QStringLiteral("myError--------") + escapeForLog(url));
  platform::log(error ? escapeForLog(error->toString()) : QStringLiteral("(no error)"));
  fileFailed(destinationOf(*request),
             error ? QStringLiteral("download of %1 failed: error %2: %3")
                         .arg(url)
                         .arg(error->code())
                         .arg(error->localizedDescription())
                   : QStringLiteral("download of %1 failed").arg(url));
}

void AppDelegate::downloadPluginFinish(const std::shared_ptr<http::HTTPRequest>& request) {
  openDownloads_ = std::max(0, openDownloads_ - 1);
  const QString destination = destinationOf(*request);
  const int status = request->responseStatusCode();
  const auto planned = planned_.find(destination);
  const bool inMemory = request->downloadDestinationPath().isEmpty();
  if (status == 304 && planned != planned_.end() && planned->second.conditional) {
    // Unchanged on the server and on disk: nothing to download or extract.
    ++unchangedFiles_;
    fileInstalled();
    return;
  }
  if (!isSuccessStatus(status)) {
    // The server's error page is no archive: drop it and count the file as failed.
    if (!inMemory) QFile::remove(destination);
    // The status message is the whole status line: keep only its reason phrase.
    const QString reason = request->responseStatusMessage().section(QLatin1Char(' '), 2);
    fileFailed(destination, QStringLiteral("download of %1 failed: HTTP status %2 %3")
                                .arg(request->url().toString(QUrl::FullyEncoded))
                                .arg(status)
                                .arg(reason));
    return;
  }
  QString problem;
  if (inMemory && !writeFileAtomically(destination, request->responseData(), &problem)) {
    fileFailed(destination, QStringLiteral("the archive could not be written: %1").arg(problem));
    return;
  }
  install(request);
}

void AppDelegate::install(const std::shared_ptr<http::HTTPRequest>& request) {
  const QString destination = destinationOf(*request);
  const QString outPath = withoutArchiveSuffix(destination);
  QString problem;
  if (backup_ && !backup_->keep(outPath, &problem)) {
    QFile::remove(destination);
    fileFailed(destination, QStringLiteral("no copy of the installed file could be kept for a rollback (%1), so it "
                                           "was left as it was")
                                .arg(problem));
    return;
  }
  const QString fileName = lastPathComponent(destination);
  platform::log(escapeForLog(destination));
  const int failedBefore = failedFiles_;
  std::optional<quint32> writtenCrc;
  un7zip(directoryOf(destination), fileName, &writtenCrc);
  platform::log(escapeForLog(destination));
  const auto planned = planned_.find(destination);
  if (!records_ || planned == planned_.end() || failedFiles_ != failedBefore) return;
  if (std::optional<InstallRecord> record = describeInstalledFile(outPath, writtenCrc)) {
    record->url = planned->second.url;
    record->etag = headerValue(*request, QStringLiteral("ETag"));
    record->lastModified = headerValue(*request, QStringLiteral("Last-Modified"));
    records_->put(planned->second.relativeOutPath, *record);
  }
}

bool AppDelegate::un7zip(const QString& directory, const QString& fileName, std::optional<quint32>* writtenCrc) {
  platform::log(QStringLiteral("START un7zip"));
  ++_unzipCount;
  const QString archivePath = directory + fileName;
  const QString entryName = withoutArchiveSuffix(fileName);
  const QString outPath = withoutArchiveSuffix(archivePath);
  const bool extracted = sevenzip::ArchiveExtractor::extractArchiveEntry(
      QFile::encodeName(archivePath).toStdString(), entryName.toUtf8().toStdString(),
      QFile::encodeName(outPath).toStdString(), writtenCrc);
  const qint64 archiveSize = QFileInfo(archivePath).size();
  QFile archive(archivePath);
  const bool removed = !QFileInfo::exists(archivePath) || archive.remove();
  if (!removed) platform::log(QStringLiteral("Could not remove %1: %2").arg(escapeForLog(archivePath), archive.errorString()));
  --_unzipCount;
  if (!extracted) {
    fileFailed(outPath, QStringLiteral("extraction of entry \"%1\" from %2 (%3 bytes) failed: the extractor "
                                       "gave false; the installed file is left as it was")
                            .arg(entryName, archivePath)
                            .arg(archiveSize));
  } else if (!removed) {
    fileFailed(outPath, QStringLiteral("the archive %1 could not be removed").arg(archivePath));
  } else {
    fileInstalled();
  }
  return extracted && removed;
}

void AppDelegate::beginFiles(int count) {
  plannedFiles_ = count;
  installedFiles_ = 0;
  failedFiles_ = 0;
  unchangedFiles_ = 0;
  openDownloads_ = 0;
  backup_ = std::make_unique<UpdateBackup>(_pluginSaveAdressHead);
  showProgress();
  progress_.start(count, ProgressLine::Clock::now());
  refreshProgressLine();
  if (progressTimer_) progressTimer_->invalidate();
  std::weak_ptr<AppDelegate> weakSelf = std::static_pointer_cast<AppDelegate>(shared_from_this());
  progressTimer_ = platform::Timer::schedule(platform::RunLoop::main(), kProgressLineInterval, true,
                                             [weakSelf](platform::Timer&) {
                                               if (auto self = weakSelf.lock()) self->refreshProgressLine();
                                             });
}

void AppDelegate::bytesArrived(qint64 bytes) { progress_.addBytes(bytes, ProgressLine::Clock::now()); }

void AppDelegate::refreshProgressLine() {
  progress_.setFiles(installedFiles_, failedFiles_);
  progress_.setOpenDownloads(openDownloads_);
  const QString line = progress_.text(ProgressLine::Clock::now());
  if (line == shownProgressLine_) return;
  shownProgressLine_ = line;
  if (progressLine_) progressLine_->setStringValue(line);
}

void AppDelegate::stopProgressLine() {
  if (progressTimer_) progressTimer_->invalidate();
  progressTimer_.reset();
  openDownloads_ = 0;
  refreshProgressLine();
}

void AppDelegate::fileInstalled() {
  ++installedFiles_;
  showProgress();
}

void AppDelegate::fileFailed(const QString& destination, const QString& why) {
  ++failedFiles_;
  platform::log(QStringLiteral("Not installed: %1: %2").arg(escapeForLog(withoutArchiveSuffix(destination)),
                                                            escapeForLog(why)));
  showProgress();
}

void AppDelegate::showProgress() {
  auto bar = loadingProgress_;
  if (!bar) return;
  const double fraction = plannedFiles_ > 0 ? static_cast<double>(installedFiles_) / plannedFiles_ : 0.0;
  if (bar->respondsToSelector(kSetMaxValue)) bar->perform(kSetMaxValue, 1.0);
  if (bar->respondsToSelector(kSetDoubleValue)) bar->perform(kSetDoubleValue, fraction);
}

void AppDelegate::downloadAllPluginFinish(const std::shared_ptr<queue::NetworkQueue>&) {
  if (_timer) _timer->invalidate();
  std::weak_ptr<AppDelegate> weakSelf = std::static_pointer_cast<AppDelegate>(shared_from_this());
  _timer = platform::Timer::schedule(platform::RunLoop::main(), kWaitInterval, true, [weakSelf](platform::Timer&) {
    if (auto self = weakSelf.lock()) self->downLoadFinishWaiting();
  });
}

void AppDelegate::downLoadFinishWaiting() {
  if (_unzipCount > 0) {
    setStatus(kStatusExtracting);
    return;
  }
  if (_timer) _timer->invalidate();
  _timer.reset();
  stopProgressLine();
  updateRunning_ = false;
  if (backup_) backup_->finish();
  QString problem;
  if (records_ && !records_->save(&problem)) {
    platform::log(QStringLiteral("The install records could not be written: %1").arg(problem));
  }
  if (plannedFiles_ > 0 && failedFiles_ == 0) rememberGameFolder(_pluginSaveAdressHead);
  if (unchangedFiles_ > 0) {
    platform::log(QStringLiteral("%1 files unchanged since they were installed").arg(unchangedFiles_));
  }
  updateRollbackButton();
  if (failedFiles_ > 0) {
    platform::log(QStringLiteral("Update ended: %1 of %2 files installed, %3 failed (see the lines \"Not installed\")")
                      .arg(installedFiles_)
                      .arg(plannedFiles_)
                      .arg(failedFiles_));
    setStatus(kStatusDoneWithFailuresFormat.arg(failedFiles_));
  } else {
    setStatus(kStatusDone);
  }
}

}  // namespace updater
