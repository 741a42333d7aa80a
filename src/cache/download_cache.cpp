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

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <map>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <system_error>

namespace cache {

namespace {

const QString kHeadersExtension = QStringLiteral("cachedheaders");
const QByteArray kHeadersFileSuffix = "." + kHeadersExtension.toLatin1();
const QString kExpiresKey = QStringLiteral("X-Cache-Expires");
const QString kStatusKey = QStringLiteral("X-Cache-Response-Status-Code");

// A headers file is read with one read of this many bytes when it is not larger (they hold
// about 1 KB).
constexpr qsizetype kHeadersFileBytes = 4 * 1024;

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
  const QString encoded = url.path(QUrl::FullyEncoded);
  QStringView path = encoded;
  while (path.endsWith(QLatin1Char('/'))) path.chop(1);
  const QStringView last = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
  const qsizetype dot = last.lastIndexOf(QLatin1Char('.'));
  const QStringView extension = dot > 0 ? last.mid(dot + 1) : QStringView();
  if (extension.isEmpty() ||
      DownloadCache::fileExtensionsToHandleAsHTML().contains(extension, Qt::CaseInsensitive)) {
    return QStringLiteral("html");
  }
  return extension.toString();
}

// keyForURL() as ASCII bytes (file-system names are made of them directly).
QByteArray keyBytes(const QUrl& url) {
  QByteArray text = url.toEncoded();
  if (text.isEmpty()) return {};
  if (text.endsWith('/')) text.chop(1);
  const QByteArray digest = QCryptographicHash::hash(text, QCryptographicHash::Md5);
  static constexpr char kDigits[] = "0123456789ABCDEF";
  QByteArray key(digest.size() * 2, Qt::Uninitialized);
  char* out = key.data();
  for (const char byte : digest) {
    *out++ = kDigits[static_cast<unsigned char>(byte) >> 4];
    *out++ = kDigits[static_cast<unsigned char>(byte) & 0x0f];
  }
  return key;
}

// The text a request receives for a stored header value: a real with three decimals (the
// expiry), anything else as its text.
QString headerText(const QVariant& value) {
  if (value.typeId() == QMetaType::Double) {
    // The same digits as QString::number(value, 'f', 3): both round the exact binary value.
    char digits[64];
    const auto [end, error] =
        std::to_chars(digits, digits + sizeof digits, value.toDouble(), std::chars_format::fixed, 3);
    if (error == std::errc()) return QString::fromLatin1(digits, end - digits);
    return QString::number(value.toDouble(), 'f', 3);
  }
  return value.toString();
}

// The size a stored body is likely to have: its "Content-Length" (which may be the size before
// inflating), or -1.
qsizetype expectedBodySize(const platform::StringMap& headers) {
  bool ok = false;
  const qsizetype size = headers.value(QStringLiteral("Content-Length")).toLongLong(&ok);
  return ok && size >= 0 ? size : -1;
}

// `folder` + `key` + `suffix` in one allocation (file-system names of an entry's files).
QByteArray fileName(const QByteArray& folder, const QByteArray& key, QByteArrayView suffix) {
  QByteArray name(folder.size() + key.size() + suffix.size(), Qt::Uninitialized);
  char* out = name.data();
  out = std::copy(folder.cbegin(), folder.cend(), out);
  out = std::copy(key.cbegin(), key.cend(), out);
  std::copy(suffix.begin(), suffix.end(), out);
  return name;
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

[[noreturn]] void throwNamed(const char* name, const QString& reason) {
  throw platform::NamedException(QString::fromLatin1(name), reason);
}

}  // namespace

// ---- open files ---------------------------------------------------------------------------------

DownloadCache::OpenFile& DownloadCache::OpenFile::operator=(OpenFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

DownloadCache::OpenFile::~OpenFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<QByteArray> DownloadCache::OpenFile::readAll(qsizetype expected) const {
  if (fd_ < 0) return std::nullopt;
  const bool sizeAsked = expected < 0 || expected > kLargestExpectedFile;
  if (sizeAsked) {
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return std::nullopt;
    expected = static_cast<qsizetype>(info.st_size);
  }
  // One read into a buffer one byte larger than the file should be: a regular file is read
  // short only at its end, so a read that does not fill the buffer has read the whole file. An
  // empty file gives an empty, not a null, array.
  QByteArray bytes(expected + 1, Qt::Uninitialized);
  qsizetype done = 0;
  for (;;) {
    const ssize_t n = ::read(fd_, bytes.data() + done, static_cast<size_t>(bytes.size() - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    done += n;
    if (done < bytes.size()) break;
    bytes.resize(bytes.size() * 2);  // larger than expected: read on
  }
  // Shorter than its own size: it was cut while being read.
  if (sizeAsked && done < expected) return std::nullopt;
  bytes.truncate(done);
  return bytes;
}

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
  lastLookUp_.reset();
  storagePath_ = path;
  storeNames_.clear();
  if (path.isEmpty()) return;
  for (const QString& folder : {kSessionCacheFolder, kPermanentCacheFolder}) {
    storeNames_.push_back(QFile::encodeName(path + QLatin1Char('/') + folder + QLatin1Char('/')));
  }
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
  return QString::fromLatin1(keyBytes(url));
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

QString DownloadCache::pathToCachedResponseHeadersForURL(const QUrl& url) {
  const QString key = keyForURL(url);
  if (key.isEmpty()) return {};
  return pathToFile(key + QLatin1Char('.') + kHeadersExtension);
}

QString DownloadCache::pathToCachedResponseDataForURL(const QUrl& url) {
  const QString key = keyForURL(url);
  if (key.isEmpty()) return {};
  return pathToFile(key + QLatin1Char('.') + extensionForURL(url));
}

QString DownloadCache::pathToStoreCachedResponseHeadersForRequest(const http::HTTPRequest& request) {
  CACHE_LOCKED;
  const QString key = keyForURL(request.url());
  if (storagePath_.isEmpty() || key.isEmpty()) return {};
  return storeFolder(request.cacheStoragePolicy()) + QLatin1Char('/') + key + QLatin1Char('.') +
         kHeadersExtension;
}

QString DownloadCache::pathToStoreCachedResponseDataForRequest(const http::HTTPRequest& request) {
  CACHE_LOCKED;
  const QUrl url = request.url();
  const QString key = keyForURL(url);
  if (storagePath_.isEmpty() || key.isEmpty()) return {};
  return storeFolder(request.cacheStoragePolicy()) + QLatin1Char('/') + key + QLatin1Char('.') +
         extensionForURL(url);
}

// ---- reading entries -------------------------------------------------------------------------------

std::optional<DownloadCache::Entry> DownloadCache::lookUp(const QUrl& url) const {
  const QByteArray key = keyBytes(url);
  if (key.isEmpty()) return std::nullopt;
  QByteArray dataSuffix;  // ".<extension>", made once a headers file is found
  for (const QByteArray& store : storeNames_) {
    const QByteArray headersName = fileName(store, key, kHeadersFileSuffix);
    const OpenFile headersFile(::open(headersName.constData(), O_RDONLY | O_CLOEXEC));
    const std::optional<QByteArray> xml = headersFile.readAll(kHeadersFileBytes);
    if (!xml) continue;
    std::optional<PropertyListEntries> stored = readPropertyListEntries(*xml);
    if (!stored) continue;
    Entry entry;
    if (dataSuffix.isNull()) {
      // The extension comes from the fully encoded path: ASCII, the same in every encoding.
      dataSuffix = '.' + extensionForURL(url).toLatin1();
    }
    entry.dataFile = fileName(store, key, dataSuffix);
    entry.data = OpenFile(::open(entry.dataFile.constData(), O_RDONLY | O_CLOEXEC));
    if (!entry.data.isOpen()) continue;
    // Filled as a standard map, which the header map then takes over whole. The file lists its
    // keys in order, so each goes at the end (a key given twice keeps its last value).
    std::map<QString, QString> headers;
    for (auto& [name, value] : *stored) {
      if (name == kExpiresKey) {
        bool ok = false;
        const double seconds = value.toDouble(&ok);
        entry.expires = ok ? std::optional<double>(seconds) : std::nullopt;
      }
      headers.insert_or_assign(headers.end(), std::move(name), headerText(value));
    }
    entry.headers = platform::StringMap(std::move(headers));
    return entry;
  }
  return std::nullopt;
}

platform::StringMap DownloadCache::cachedResponseHeadersForURL(const QUrl& url) {
  CACHE_LOCKED;
  std::optional<Entry> entry = lookUp(url);
  return entry ? std::move(entry->headers) : platform::StringMap();
}

std::optional<http::CachedResponse> DownloadCache::cachedResponseForRequest(
    const http::HTTPRequest& request, bool readData) {
  CACHE_LOCKED;
  const QUrl url = request.url();
  std::optional<Entry> entry;
  if (lastLookUp_ && lastLookUp_->request == &request && lastLookUp_->url == url) {
    entry = std::move(lastLookUp_->entry);
  } else {
    entry = lookUp(url);
  }
  lastLookUp_.reset();
  if (!entry) return std::nullopt;
  http::CachedResponse response;
  if (readData) {
    response.data = entry->data.readAll(expectedBodySize(entry->headers)).value_or(QByteArray());
  } else {
    response.dataPath = QFile::decodeName(entry->dataFile);
  }
  response.headers = std::move(entry->headers);
  return response;
}

QByteArray DownloadCache::cachedResponseDataForURL(const QUrl& url) {
  CACHE_LOCKED;
  // An empty body reads as an empty array, not a null one ("none").
  const std::optional<Entry> entry = lookUp(url);
  return entry ? entry->data.readAll(expectedBodySize(entry->headers)).value_or(QByteArray())
               : QByteArray();
}

// ---- freshness and policy --------------------------------------------------------------------------

QDateTime DownloadCache::expiryDateForRequest(const http::HTTPRequest& request, double maxAge) {
  const std::optional<platform::StringMap>& headers = request.responseHeaders();
  if (headers && shouldRespectCacheControlHeaders() && requiresRevalidation(*headers)) {
    // Already past, so that no later reading within the same millisecond finds it current.
    return QDateTime::currentDateTimeUtc().addSecs(-1);
  }
  return http::HTTPRequest::expiryDateForRequest(request, maxAge);
}

bool DownloadCache::isCurrent(const Entry& entry, const http::HTTPRequest& request) const {
  if (request.responseStatusCode() == 304) return true;
  // A full answer the server just began to send stands for the entry only when it carries the
  // same validators: otherwise the resource changed, however current the entry looks.
  if (const std::optional<platform::StringMap>& response = request.responseHeaders();
      response && request.responseStatusCode() == 200) {
    for (const QString& name : {QStringLiteral("Etag"), QStringLiteral("Last-Modified")}) {
      const auto stored = entry.headers.constFind(name);
      if (!response->contains(name) || stored == entry.headers.cend() ||
          response->value(name) != stored.value()) {
        return false;
      }
    }
  }
  if (!shouldRespectCacheControlHeaders_) return true;
  if (!entry.expires) return false;
  const double now = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
  return *entry.expires >= now;
}

bool DownloadCache::isCachedDataCurrentForRequest(const http::HTTPRequest& request) {
  CACHE_LOCKED;
  const std::optional<Entry> entry = lookUp(request.url());
  return entry && isCurrent(*entry, request);
}

bool DownloadCache::canUseCachedDataForRequest(const http::HTTPRequest& request) {
  CACHE_LOCKED;
  lastLookUp_.reset();
  const int policy = request.cachePolicy();
  if (policy & http::DoNotReadFromCacheCachePolicy) return false;
  if (policy & http::DontLoadCachePolicy) return true;
  const QUrl url = request.url();
  std::optional<Entry> entry = lookUp(url);
  if (!entry) return false;
  bool usable = false;
  if (policy & http::OnlyLoadIfNotCachedCachePolicy) {
    usable = true;
  } else if (request.complete() && (policy & http::FallbackToCacheIfLoadFailsCachePolicy)) {
    usable = true;
  } else if (policy & http::AskServerIfModifiedWhenStaleCachePolicy) {
    usable = isCurrent(*entry, request);
  } else if (policy & http::AskServerIfModifiedCachePolicy) {
    usable = request.responseHeaders() && isCurrent(*entry, request);
  }
  // The request reads the entry next (useDataFromCache): it gets this look-up, files still open.
  if (usable) lastLookUp_ = LastLookUp{&request, url, std::move(*entry)};
  return usable;
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
  lastLookUp_.reset();

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
  lastLookUp_.reset();
  const QString path = pathToStoreCachedResponseHeadersForRequest(request);
  const std::optional<QByteArray> xml =
      OpenFile(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC)).readAll();
  std::optional<QVariantMap> headers = xml ? readPropertyList(*xml) : std::nullopt;
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
  lastLookUp_.reset();
}

void DownloadCache::removeCachedDataForRequest(const http::HTTPRequest& request) {
  removeCachedDataForURL(request.url());
}

void DownloadCache::clearCachedResponsesForStoragePolicy(int storagePolicy) {
  CACHE_LOCKED;
  lastLookUp_.reset();
  if (storagePath_.isEmpty()) return;
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
