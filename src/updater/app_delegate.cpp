// The updater controller: the update button, the manifests on a background thread, the download
// queue with its callbacks, extraction in place and the wait for completion.
#include "updater/app_delegate.h"

#include "archive/archive_extractor.h"
#include "http/http_request.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "platform/threads.h"
#include "queue/network_queue.h"
#include "updater/json_dictionary.h"

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
}

void AppDelegate::setStatus(const QString& text) {
  if (pluginInfo_) pluginInfo_->setStringValue(text);
}

// ---- Launch and the two controls --------------------------------------------------------------

void AppDelegate::awakeFromNib() {
  if (_networkQueue) _networkQueue->setDelegate(weak_from_this());
  _pluginSaveAdressHead = kDefaultGameFolder;
}

void AppDelegate::StartDownloading(UpdateButton& sender) {
  _unzipCount = 0;
  if (!QFileInfo::exists(_pluginSaveAdressHead) && !openFile()) return;
  sender.setEnabled(false);
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

  const std::optional<QJsonDocument> list = documentWithContentsOfURLString(listURL.toString(), &why);
  if (!list || !list->isObject()) {
    return reportServerFailure(QStringLiteral("no add-on list at %1: %2")
                                   .arg(listURL.toString(), list ? QStringLiteral("not an object") : why));
  }
  _pluginDownJson = list->object().value(QLatin1String("Crc32")).toArray();
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
  const int count = static_cast<int>(plan.size());
  platform::performOnMainThread([self, count] { self->beginFiles(count); }, false);
  for (const PlanItem& item : plan) {
    auto request = http::HTTPRequest::requestWithURL(QUrl::fromEncoded(item.escapedURL.toLatin1()));
    request->setDownloadDestinationPath(item.destinationPath);
    request->setDidFinishSelector("downloadPluginFinish:");
    request->setDidFailSelector("downloadPluginFailed:");
    request->setDidStartSelector("downloadPluginStart:");
    request->setDelegate(self);
    _networkQueue->addOperation(request);
    CheckOutFilePath(request->downloadDestinationPath());
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
  platform::log(QStringLiteral("saveString-------") + directory);
  if (!QFileInfo::exists(destinationPath)) QDir().mkpath(directory);
}

// ---- Main thread -------------------------------------------------------------------------------

void AppDelegate::toCreatPath() { setStatus(kStatusBuilding); }

void AppDelegate::downloadPluginStart(const std::shared_ptr<http::HTTPRequest>& request) {
  const QString name = lastPathComponent(request->originalURL().toString(QUrl::FullyEncoded));
  setStatus(kStatusDownloadingFormat.arg(QString(name).remove(QStringLiteral(".7z"))));
}

void AppDelegate::downloadPluginFailed(const std::shared_ptr<http::HTTPRequest>& request) {
  const QString url = request->url().toString(QUrl::FullyEncoded);
  const platform::ErrorPtr& error = request->error();
  platform::log(QStringLiteral("myError--------") + escapeForLog(url));
  platform::log(error ? escapeForLog(error->toString()) : QStringLiteral("(no error)"));
  fileFailed(request->downloadDestinationPath(),
             error ? QStringLiteral("download of %1 failed: error %2: %3")
                         .arg(url)
                         .arg(error->code())
                         .arg(error->localizedDescription())
                   : QStringLiteral("download of %1 failed").arg(url));
}

void AppDelegate::downloadPluginFinish(const std::shared_ptr<http::HTTPRequest>& request) {
  const QString destination = request->downloadDestinationPath();
  const int status = request->responseStatusCode();
  if (!isSuccessStatus(status)) {
    // The server's error page is no archive: drop it and count the file as failed.
    QFile::remove(destination);
    // The status message is the whole status line: keep only its reason phrase.
    const QString reason = request->responseStatusMessage().section(QLatin1Char(' '), 2);
    fileFailed(destination, QStringLiteral("download of %1 failed: HTTP status %2 %3")
                                .arg(request->url().toString(QUrl::FullyEncoded))
                                .arg(status)
                                .arg(reason));
    return;
  }
  const QString fileName = lastPathComponent(destination);
  platform::log(escapeForLog(destination));
  un7zip(directoryOf(destination), fileName);
  platform::log(escapeForLog(destination));
}

bool AppDelegate::un7zip(const QString& directory, const QString& fileName) {
  platform::log(QStringLiteral("START un7zip"));
  ++_unzipCount;
  const QString archivePath = directory + fileName;
  const QString entryName = withoutArchiveSuffix(fileName);
  const QString outPath = withoutArchiveSuffix(archivePath);
  const bool extracted = sevenzip::ArchiveExtractor::extractArchiveEntry(
      QFile::encodeName(archivePath).toStdString(), entryName.toUtf8().toStdString(),
      QFile::encodeName(outPath).toStdString());
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
  showProgress();
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
