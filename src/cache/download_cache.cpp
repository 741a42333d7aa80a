// The response cache: paths and keys, storing through temporary files, freshness and the
// policy rules, clearing, and the shared instance.
#include "cache/download_cache.h"

#include "cache/property_list.h"
#include "http/http_request.h"
#include "platform/error.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <filesystem>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <system_error>

namespace cache {

namespace {

const QString kHeadersExtension = QStringLiteral("cachedheaders");
const QString kExpiresKey = QStringLiteral("X-Cache-Expires");
const QString kStatusKey = QStringLiteral("X-Cache-Response-Status-Code");

// Parsed headers files remembered at most (see DownloadCache::parsedHeaders_).
constexpr size_t kParsedHeadersKept = 256;

// Bytes copied at once from a downloaded file into the cache.
constexpr qint64 kCopyPieceBytes = 256 * 1024;

// The lower-case directive names of a comma-separated header value (RFC 9111 section 5.2):
// "No-Store, max-age=0" gives {"no-store", "max-age=0"} with values kept.
QStringList directives(const QString& value) {
  QStringList out;
  for (const QString& part : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
    const QString directive = part.trimmed().toLower();
    if (!directive.isEmpty()) out << directive;
  }
  return out;
}

bool hasDirective(const QStringList& list, QStringView name) {
  for (const QString& directive : list) {
    const qsizetype equals = directive.indexOf(QLatin1Char('='));
    if (QStringView(directive).left(equals < 0 ? directive.size() : equals).trimmed() == name) {
      return true;
    }
  }
  return false;
}

// True when the response must be revalidated before every use: Cache-Control "no-cache" or
// "max-age=0", or Pragma "no-cache".
bool requiresRevalidation(const platform::StringMap& headers) {
  const QStringList control = directives(headers.value(QStringLiteral("Cache-Control")));
  if (hasDirective(control, u"no-cache")) return true;
  for (const QString& directive : control) {
    if (directive.startsWith(QLatin1String("max-age"))) {
      QString value = directive.mid(7).trimmed();
      if (value.startsWith(QLatin1Char('='))) value = value.mid(1).trimmed();
      bool ok = false;
      if (value.remove(QLatin1Char('"')).toLongLong(&ok) == 0 && ok) return true;
    }
  }
  return hasDirective(directives(headers.value(QStringLiteral("Pragma"))), u"no-cache");
}

QString extensionForURL(const QUrl& url) {
  QString path = url.path(QUrl::FullyEncoded);
  while (path.endsWith(QLatin1Char('/'))) path.chop(1);
  const QString last = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
  const qsizetype dot = last.lastIndexOf(QLatin1Char('.'));
  const QString extension = dot > 0 ? last.mid(dot + 1) : QString();
  if (extension.isEmpty() ||
      DownloadCache::fileExtensionsToHandleAsHTML().contains(extension.toLower())) {
    return QStringLiteral("html");
  }
  return extension;
}

// The whole file at `path`; nothing when it cannot be read.
std::optional<QByteArray> readWholeFile(const QString& path) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  QByteArray bytes;
  bool ok = ::fstat(fd, &info) == 0;
  if (ok) bytes.resize(static_cast<qsizetype>(info.st_size));
  qsizetype done = 0;
  while (ok && done < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += n;
  }
  ::close(fd);
  if (!ok) return std::nullopt;
  return bytes;
}

std::optional<QVariantMap> readHeadersFile(const QString& path) {
  if (path.isEmpty()) return std::nullopt;
  const std::optional<QByteArray> bytes = readWholeFile(path);
  if (!bytes) return std::nullopt;
  return readPropertyList(*bytes);
}

// Writes `dictionary` to a temporary file beside `path`; commit() renames it into place.
bool prepareHeadersFile(QSaveFile& file, const QVariantMap& dictionary) {
  if (!file.open(QIODevice::WriteOnly)) return false;
  const QByteArray xml = writePropertyList(dictionary);
  return file.write(xml) == xml.size();
}

bool copyInto(QSaveFile& out, const QString& sourcePath) {
  QFile in(sourcePath);
  if (!in.open(QIODevice::ReadOnly)) return false;
  QByteArray buffer(kCopyPieceBytes, Qt::Uninitialized);
  for (;;) {
    const qint64 n = in.read(buffer.data(), buffer.size());
    if (n < 0) return false;
    if (n == 0) return true;
    if (out.write(buffer.constData(), n) != n) return false;
  }
}

QString headerText(const QVariant& value) {
  if (value.typeId() == QMetaType::Double) return QString::number(value.toDouble(), 'f', 3);
  return value.toString();
}

[[noreturn]] void throwNamed(const char* name, const QString& reason) {
  throw platform::NamedException(QString::fromLatin1(name), reason);
}

}  // namespace

// Holds the cache's current access lock for the length of one operation.
#define CACHE_LOCKED                                   \
  const auto heldLock = accessLock();                  \
  std::lock_guard<std::recursive_mutex> guard(*heldLock)

DownloadCache::DownloadCache() : accessLock_(std::make_shared<std::recursive_mutex>()) {
  setDefaultCachePolicy(0);
}

DownloadCache::~DownloadCache() = default;

std::shared_ptr<DownloadCache> DownloadCache::sharedCache() {
  static std::mutex classLock;
  static std::shared_ptr<DownloadCache> shared;
  std::lock_guard lock(classLock);
  if (!shared) {
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    QDir().mkpath(folder);
    auto cache = std::make_shared<DownloadCache>();
    cache->setStoragePath(folder + QStringLiteral("/HTTPRequestCache"));
    shared = std::move(cache);
  }
  return shared;
}

// ---- configuration ------------------------------------------------------------------------------

std::shared_ptr<std::recursive_mutex> DownloadCache::accessLock() const {
  std::lock_guard lock(lockGuard_);
  return accessLock_;
}

void DownloadCache::setAccessLock(std::shared_ptr<std::recursive_mutex> lock) {
  if (!lock) return;
  std::lock_guard guard(lockGuard_);
  accessLock_ = std::move(lock);
}

QString DownloadCache::storagePath() const {
  CACHE_LOCKED;
  return storagePath_;
}

void DownloadCache::setStoragePath(const QString& path) {
  CACHE_LOCKED;
  clearCachedResponsesForStoragePolicy(http::CacheForSessionDurationCacheStoragePolicy);
  forgetNames();
  storagePath_ = path;
  if (path.isEmpty()) return;
  for (const QString& folder : {path, path + QLatin1Char('/') + kSessionCacheFolder,
                                path + QLatin1Char('/') + kPermanentCacheFolder}) {
    const QFileInfo info(folder);
    if (info.exists() && !info.isDir()) {
      throwNamed("FileExistsAtCachePath",
                 QStringLiteral("Cannot create a directory for the cache at '%1', because a file "
                                "already exists")
                     .arg(folder));
    }
    if (!info.exists()) {
      QDir().mkdir(folder);
      if (!QFileInfo(folder).isDir()) {
        throwNamed("FailedToCreateCacheDirectory",
                   QStringLiteral("Failed to create a directory for the cache at '%1'").arg(folder));
      }
    }
  }
  clearCachedResponsesForStoragePolicy(http::CacheForSessionDurationCacheStoragePolicy);
}

int DownloadCache::defaultCachePolicy() const {
  CACHE_LOCKED;
  return defaultCachePolicy_;
}

void DownloadCache::setDefaultCachePolicy(int policy) {
  CACHE_LOCKED;
  defaultCachePolicy_ =
      policy == http::UseDefaultCachePolicy ? http::AskServerIfModifiedWhenStaleCachePolicy : policy;
}

bool DownloadCache::shouldRespectCacheControlHeaders() const {
  CACHE_LOCKED;
  return shouldRespectCacheControlHeaders_;
}

void DownloadCache::setShouldRespectCacheControlHeaders(bool respect) {
  CACHE_LOCKED;
  shouldRespectCacheControlHeaders_ = respect;
}

// ---- paths and keys ------------------------------------------------------------------------------

QString DownloadCache::keyForURL(const QUrl& url) {
  QByteArray text = url.toEncoded();
  if (text.isEmpty()) return {};
  if (text.endsWith('/')) text.chop(1);
  return QString::fromLatin1(
      QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex().toUpper());
}

const QStringList& DownloadCache::fileExtensionsToHandleAsHTML() {
  static const QStringList extensions{"asp", "aspx", "jsp", "php", "rb", "py", "pl", "cgi"};
  return extensions;
}

QString DownloadCache::storeFolder(int storagePolicy) const {
  return storagePath_ + QLatin1Char('/') +
         (storagePolicy == http::CacheForSessionDurationCacheStoragePolicy ? kSessionCacheFolder
                                                                           : kPermanentCacheFolder);
}

QString DownloadCache::pathToFile(const QString& file) {
  CACHE_LOCKED;
  if (storagePath_.isEmpty() || file.isEmpty()) return {};
  for (const QString& folder : {kSessionCacheFolder, kPermanentCacheFolder}) {
    const QString path = storagePath_ + QLatin1Char('/') + folder + QLatin1Char('/') + file;
    if (::access(QFile::encodeName(path).constData(), F_OK) == 0) return path;
  }
  return {};
}

std::pair<QString, QString> DownloadCache::fileNamesFor(const QUrl& url) {
  CACHE_LOCKED;
  // A request hands over copies of one URL: the same shared data is the same URL.
  QUrl asked = url;
  const bool same = !namedKey_.isEmpty() && (asked.data_ptr() == namedUrl_.data_ptr() || url == namedUrl_);
  if (!same) {
    namedUrl_ = url;
    namedParsedValid_ = false;
    namedHeadersFile_.clear();
    namedKey_ = keyForURL(url);
    namedExtension_ = extensionForURL(url);
    namedHeadersPath_ = QString();
    namedDataPath_ = QString();
  }
  return {namedKey_, namedExtension_};
}

void DownloadCache::forgetNames() {
  CACHE_LOCKED;
  namedKey_.clear();
  namedHeadersPath_ = QString();
  namedDataPath_ = QString();
  namedHeadersFile_.clear();
  namedParsedValid_ = false;
}

QString DownloadCache::locate(QString* remembered, const QString& file) {
  if (!remembered->isEmpty() && ::access(QFile::encodeName(*remembered).constData(), F_OK) == 0) {
    return *remembered;
  }
  *remembered = pathToFile(file);
  return *remembered;
}

QString DownloadCache::pathToCachedResponseHeadersForURL(const QUrl& url) {
  CACHE_LOCKED;
  const QString key = fileNamesFor(url).first;
  if (key.isEmpty()) return {};
  return locate(&namedHeadersPath_, key + QLatin1Char('.') + kHeadersExtension);
}

QString DownloadCache::pathToCachedResponseDataForURL(const QUrl& url) {
  CACHE_LOCKED;
  const auto [key, extension] = fileNamesFor(url);
  if (key.isEmpty()) return {};
  return locate(&namedDataPath_, key + QLatin1Char('.') + extension);
}

QString DownloadCache::pathToStoreCachedResponseHeadersForRequest(const http::HTTPRequest& request) {
  CACHE_LOCKED;
  const QString key = fileNamesFor(request.url()).first;
  if (storagePath_.isEmpty() || key.isEmpty()) return {};
  return storeFolder(request.cacheStoragePolicy()) + QLatin1Char('/') + key + QLatin1Char('.') +
         kHeadersExtension;
}

QString DownloadCache::pathToStoreCachedResponseDataForRequest(const http::HTTPRequest& request) {
  CACHE_LOCKED;
  const auto [key, extension] = fileNamesFor(request.url());
  if (storagePath_.isEmpty() || key.isEmpty()) return {};
  return storeFolder(request.cacheStoragePolicy()) + QLatin1Char('/') + key + QLatin1Char('.') +
         extension;
}

// ---- reading entries -------------------------------------------------------------------------------

DownloadCache::ParsedHeaders* DownloadCache::parsedHeadersFor(const QUrl& url) {
  CACHE_LOCKED;
  // The file found last time for this URL, checked by the stat below; else a full look-up.
  fileNamesFor(url);
  struct stat info {};
  if (namedHeadersFile_.isEmpty() || ::stat(namedHeadersFile_.constData(), &info) != 0) {
    namedHeadersPath_.clear();
    namedParsedValid_ = false;
    const QString path = pathToCachedResponseHeadersForURL(url);
    namedHeadersFile_ = QFile::encodeName(path);
    if (path.isEmpty() || ::stat(namedHeadersFile_.constData(), &info) != 0) {
      namedHeadersFile_.clear();
      return nullptr;
    }
  }
  const qint64 modifiedNs = static_cast<qint64>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  const auto sameFile = [&](const ParsedHeaders& known) {
    return known.device == info.st_dev && known.inode == info.st_ino && known.size == info.st_size &&
           known.modifiedNs == modifiedNs;
  };
  if (namedParsedValid_ && sameFile(namedParsed_)) return &namedParsed_;
  const QString& path = namedHeadersPath_;
  if (auto it = parsedHeaders_.find(path); it != parsedHeaders_.end() && sameFile(it->second)) {
    namedParsed_ = it->second;
  } else {
    std::optional<QVariantMap> headers = readHeadersFile(path);
    if (!headers) return nullptr;
    namedParsed_ = ParsedHeaders{static_cast<quint64>(info.st_dev), static_cast<quint64>(info.st_ino),
                                 static_cast<qint64>(info.st_size), modifiedNs, *headers, {}};
    if (parsedHeaders_.size() >= kParsedHeadersKept) parsedHeaders_.clear();
    parsedHeaders_[path] = namedParsed_;
  }
  namedParsedValid_ = true;
  return &namedParsed_;
}

std::optional<QVariantMap> DownloadCache::storedHeaders(const QUrl& url) {
  CACHE_LOCKED;
  if (const ParsedHeaders* parsed = parsedHeadersFor(url)) return parsed->headers;
  return std::nullopt;
}

platform::StringMap DownloadCache::cachedResponseHeadersForURL(const QUrl& url) {
  CACHE_LOCKED;
  ParsedHeaders* parsed = parsedHeadersFor(url);
  if (parsed == nullptr) return {};
  if (parsed->text.isEmpty()) {
    for (auto it = parsed->headers.cbegin(); it != parsed->headers.cend(); ++it) {
      parsed->text.insert(it.key(), headerText(it.value()));
    }
  }
  return parsed->text;
}

QByteArray DownloadCache::cachedResponseDataForURL(const QUrl& url) {
  CACHE_LOCKED;
  QFile file(pathToCachedResponseDataForURL(url));
  if (file.fileName().isEmpty() || !file.open(QIODevice::ReadOnly)) return {};
  QByteArray data = file.readAll();
  if (data.isNull()) data = QByteArray("");  // an empty body is not "none"
  return data;
}

// ---- freshness and policy --------------------------------------------------------------------------

QDateTime DownloadCache::expiryDateForRequest(const http::HTTPRequest& request, double maxAge) {
  const std::optional<platform::StringMap>& headers = request.responseHeaders();
  if (headers && shouldRespectCacheControlHeaders() && requiresRevalidation(*headers)) {
    return QDateTime::currentDateTimeUtc();
  }
  return http::HTTPRequest::expiryDateForRequest(request, maxAge);
}

bool DownloadCache::isCachedDataCurrentForRequest(const http::HTTPRequest& request) {
  CACHE_LOCKED;
  if (storagePath_.isEmpty()) return false;
  const QUrl url = request.url();
  const std::optional<QVariantMap> stored = storedHeaders(url);
  if (!stored || pathToCachedResponseDataForURL(url).isEmpty()) return false;
  if (request.responseStatusCode() == 304) return true;
  // A full answer the server just began to send stands for the entry only when it carries the
  // same validators: otherwise the resource changed, however current the entry looks.
  if (const std::optional<platform::StringMap>& response = request.responseHeaders();
      response && request.responseStatusCode() == 200) {
    for (const QString& name : {QStringLiteral("Etag"), QStringLiteral("Last-Modified")}) {
      if (!response->contains(name) || !stored->contains(name) ||
          response->value(name) != stored->value(name).toString()) {
        return false;
      }
    }
  }
  if (!shouldRespectCacheControlHeaders_) return true;
  const auto expires = stored->constFind(kExpiresKey);
  if (expires == stored->cend()) return false;
  bool ok = false;
  const double seconds = expires.value().toDouble(&ok);
  if (!ok) return false;
  const double now = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
  return seconds >= now;
}

bool DownloadCache::canUseCachedDataForRequest(const http::HTTPRequest& request) {
  CACHE_LOCKED;
  const int policy = request.cachePolicy();
  if (policy & http::DoNotReadFromCacheCachePolicy) return false;
  if (policy & http::DontLoadCachePolicy) return true;
  const QUrl url = request.url();
  if (!storedHeaders(url) || pathToCachedResponseDataForURL(url).isEmpty()) return false;
  if (policy & http::OnlyLoadIfNotCachedCachePolicy) return true;
  if (request.complete() && (policy & http::FallbackToCacheIfLoadFailsCachePolicy)) return true;
  if (policy & http::AskServerIfModifiedWhenStaleCachePolicy) {
    return isCachedDataCurrentForRequest(request);
  }
  if (policy & http::AskServerIfModifiedCachePolicy) {
    if (!request.responseHeaders()) return false;
    return isCachedDataCurrentForRequest(request);
  }
  return false;
}

bool DownloadCache::serverAllowsResponseCachingForRequest(const http::HTTPRequest& request) {
  const std::optional<platform::StringMap>& headers = request.responseHeaders();
  if (!headers) return true;
  return !hasDirective(directives(headers->value(QStringLiteral("Cache-Control"))), u"no-store");
}

// ---- writing entries -------------------------------------------------------------------------------

void DownloadCache::storeResponseForRequest(const http::HTTPRequest& request, double maxAge) {
  CACHE_LOCKED;
  const std::optional<platform::StringMap>& response = request.responseHeaders();
  if (request.error() || !response || (request.cachePolicy() & http::DoNotWriteToCacheCachePolicy)) {
    return;
  }
  const int status = request.responseStatusCode();
  if (status != 200 && status != 301 && status != 302 && status != 303 && status != 307) return;
  if (shouldRespectCacheControlHeaders_ && !serverAllowsResponseCachingForRequest(request)) return;

  const QString headersPath = pathToStoreCachedResponseHeadersForRequest(request);
  const QString dataPath = pathToStoreCachedResponseDataForRequest(request);
  if (headersPath.isEmpty() || dataPath.isEmpty()) return;
  forgetNames();

  QVariantMap headers;
  for (auto it = response->cbegin(); it != response->cend(); ++it) headers.insert(it.key(), it.value());
  if (request.isResponseCompressed()) headers.remove(QStringLiteral("Content-Encoding"));
  const QDateTime expiry = expiryDateForRequest(request, maxAge);
  if (expiry.isValid()) {
    headers.insert(kExpiresKey, static_cast<double>(expiry.toMSecsSinceEpoch()) / 1000.0);
  }
  headers.insert(kStatusKey, static_cast<qint64>(status));

  // Both files go to temporary names first; the old headers file is removed before the new
  // body is renamed into place and the new headers file follows, so that a reader finds the old
  // entry, no entry, or the whole new one.
  QSaveFile dataFile(dataPath);
  bool dataReady = false;
  bool dataInPlace = false;
  if (request.rawResponseData()) {
    const QByteArray body = request.responseData();
    const bool inflated = !(body.isNull() && !request.rawResponseData()->isEmpty());
    dataReady = inflated && dataFile.open(QIODevice::WriteOnly) &&
                dataFile.write(body) == body.size();
  } else if (!request.downloadDestinationPath().isEmpty()) {
    const QString downloaded = request.downloadDestinationPath();
    if (QFileInfo(downloaded).absoluteFilePath() == QFileInfo(dataPath).absoluteFilePath()) {
      dataReady = dataInPlace = QFileInfo(dataPath).isFile();
    } else {
      dataReady = dataFile.open(QIODevice::WriteOnly) && copyInto(dataFile, downloaded);
    }
  }
  QSaveFile headersFile(headersPath);
  const bool headersReady = dataReady && prepareHeadersFile(headersFile, headers);
  if (!headersReady) {
    dataFile.cancelWriting();
    headersFile.cancelWriting();
    QFile::remove(headersPath);
    if (!dataInPlace) QFile::remove(dataPath);
    return;
  }
  QFile::remove(headersPath);
  if ((!dataInPlace && !dataFile.commit()) || !headersFile.commit()) {
    QFile::remove(headersPath);
    if (!dataInPlace) QFile::remove(dataPath);
  }
}

void DownloadCache::updateExpiryForRequest(const http::HTTPRequest& request, double maxAge) {
  CACHE_LOCKED;
  const QString path = pathToStoreCachedResponseHeadersForRequest(request);
  std::optional<QVariantMap> headers = readHeadersFile(path);
  if (!headers) return;
  const QDateTime expiry = expiryDateForRequest(request, maxAge);
  if (!expiry.isValid()) return;
  headers->insert(kExpiresKey, static_cast<double>(expiry.toMSecsSinceEpoch()) / 1000.0);
  QSaveFile file(path);
  if (prepareHeadersFile(file, *headers)) file.commit();
}

// ---- removing ----------------------------------------------------------------------------------------

void DownloadCache::removeCachedDataForURL(const QUrl& url) {
  CACHE_LOCKED;
  if (storagePath_.isEmpty()) return;
  for (const QString& path : {pathToCachedResponseHeadersForURL(url), pathToCachedResponseDataForURL(url)}) {
    if (!path.isEmpty()) QFile::remove(path);
  }
  forgetNames();
}

void DownloadCache::removeCachedDataForRequest(const http::HTTPRequest& request) {
  removeCachedDataForURL(request.url());
}

void DownloadCache::clearCachedResponsesForStoragePolicy(int storagePolicy) {
  CACHE_LOCKED;
  if (storagePath_.isEmpty()) return;
  forgetNames();
  const QString folder = storeFolder(storagePolicy);
  namespace fs = std::filesystem;
  const fs::path root = folder.toStdString();
  std::error_code error;
  if (!fs::is_directory(root, error)) return;
  std::vector<fs::path> items;
  fs::directory_iterator it(root, error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) items.push_back(it->path());
  if (error) {
    throwNamed("FailedToTraverseCacheDirectory",
               QStringLiteral("Listing cache directory failed at path '%1'").arg(folder));
  }
  for (const fs::path& item : items) {
    fs::remove_all(item, error);
    if (error) {
      throwNamed("FailedToRemoveCacheFile",
                 QStringLiteral("Failed to remove cached data at path '%1'").arg(folder));
    }
  }
}

}  // namespace cache
