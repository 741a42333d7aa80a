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

#include <thread>

namespace updater {
namespace {

// Interval of the wait for running extractions, in seconds.
constexpr double kWaitInterval = 0.5;

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
  _queueNumber = ok ? value : 0;
}

void AppDelegate::reportServerFailure(const QString& why) {
  platform::log(QStringLiteral("Update stopped: %1").arg(why));
  auto self = std::static_pointer_cast<AppDelegate>(shared_from_this());
  platform::performOnMainThread([self] {
    self->setStatus(kStatusServerFailed);
    if (self->updataButton_) self->updataButton_->setEnabled(true);
  }, false);
}

// ---- Background thread ---------------------------------------------------------------------

void AppDelegate::loadMainJson() {
  const QVariant manifest = dictionaryWithContentsOfURLString(manifestURL_);
  if (manifest.typeId() != QMetaType::QVariantMap) {
    return reportServerFailure(QStringLiteral("no update manifest at %1").arg(manifestURL_));
  }
  const QVariantMap manifestMap = manifest.toMap();
  const QVariant base = manifestMap.value(QStringLiteral("plughttpaddr"));
  const QVariant listURL = manifestMap.value(QStringLiteral("plugjsonaddr"));
  if (base.typeId() != QMetaType::QString || listURL.typeId() != QMetaType::QString) {
    return reportServerFailure(QStringLiteral("the update manifest names no archive base or add-on list"));
  }
  _pluginHttpAdressHead = base.toString();

  const QVariant list = dictionaryWithContentsOfURLString(listURL.toString());
  if (list.typeId() != QMetaType::QVariantMap) {
    return reportServerFailure(QStringLiteral("no add-on list at %1").arg(listURL.toString()));
  }
  _pluginDownJson = list.toMap().value(QStringLiteral("Crc32")).toList();
  StartDownQueue();
}

void AppDelegate::StartDownQueue() {
  auto self = std::static_pointer_cast<AppDelegate>(shared_from_this());
  _networkQueue = queue::NetworkQueue::queue();
  _networkQueue->setShouldCancelAllRequestsOnFailure(false);
  _networkQueue->reset();
  _networkQueue->setDelegate(self);
  _networkQueue->setShowAccurateProgress(false);
  _networkQueue->setDownloadProgressDelegate(loadingProgress_);
  _networkQueue->setQueueDidFinishSelector("downloadAllPluginFinish:");
  _networkQueue->setMaxConcurrentOperationCount(static_cast<int>(_queueNumber));

  platform::performOnMainThread([self] { self->toCreatPath(); }, false);

  const std::vector<PlanItem> plan =
      composePlan(_pluginDownJson, _pluginHttpAdressHead, _pluginSaveAdressHead, platform::log);
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
  platform::log(QStringLiteral("myError--------") + request->url().toString(QUrl::FullyEncoded));
  platform::log(request->error() ? request->error()->toString() : QStringLiteral("(no error)"));
}

void AppDelegate::downloadPluginFinish(const std::shared_ptr<http::HTTPRequest>& request) {
  const QString destination = request->downloadDestinationPath();
  const QString fileName = lastPathComponent(destination);
  platform::log(destination);
  un7zip(directoryOf(destination), fileName);
  platform::log(destination);
}

bool AppDelegate::un7zip(const QString& directory, const QString& fileName) {
  platform::log(QStringLiteral("START un7zip"));
  ++_unzipCount;
  const QString archivePath = directory + fileName;
  const QString entryName = withoutArchiveSuffix(fileName);
  const QString outPath = withoutArchiveSuffix(archivePath);
  const bool extracted = sevenzip::ArchiveExtractor::extractArchiveEntry(
      QFile::encodeName(archivePath).toStdString(), entryName.toStdString(),
      QFile::encodeName(outPath).toStdString());
  if (!extracted) {
    platform::log(QStringLiteral("Extraction of %1 failed; %2 is left as it was").arg(archivePath, outPath));
  }
  const bool removed = !QFileInfo::exists(archivePath) || QFile::remove(archivePath);
  if (!removed) platform::log(QStringLiteral("Could not remove %1").arg(archivePath));
  --_unzipCount;
  return extracted && removed;
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
  setStatus(kStatusDone);
}

}  // namespace updater
