// The response cache: one entry per URL on disk (a headers property list and a body file) in a
// session store or a permanent store, and the policy rules that let a request use an entry.
#pragma once

#include "http/cache_delegate.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace cache {

// Keeps responses under `storagePath()`:
//   <storage path>/SessionStore/    emptied whenever a storage path is set
//   <storage path>/PermanentStore/  kept until removed or cleared
// and in one of them, per URL, <key>.cachedheaders (every response header, plus
// "X-Cache-Expires", seconds since 1970 as a real, when an expiry is known, and
// "X-Cache-Response-Status-Code" as an integer) and <key>.<extension> (the inflated body).
//
// An entry is written to temporary files that are renamed into place, the headers file last,
// so that a failed or interrupted store leaves no entry rather than a truncated one; a headers
// file that cannot be parsed counts as no entry.
//
// Folder problems are thrown as platform::NamedException: "FileExistsAtCachePath" and
// "FailedToCreateCacheDirectory" from setStoragePath(), "FailedToTraverseCacheDirectory" and
// "FailedToRemoveCacheFile" from clearing. Other read and write errors are not reported: a
// later look-up finds no entry.
//
// Thread: any. Every operation runs under accessLock() (recursive: operations call each other).
class DownloadCache : public http::CacheDelegate {
 public:
  // Store folder names under the storage path.
  static inline const QString kSessionCacheFolder = QStringLiteral("SessionStore");
  static inline const QString kPermanentCacheFolder = QStringLiteral("PermanentStore");

  // No storage path (every look-up finds nothing, nothing is stored), Cache-Control respected,
  // default policy 4.
  DownloadCache();
  ~DownloadCache() override;

  // The process's shared cache, made on first use with its storage path in the user's cache
  // folder (<XDG cache folder of the program>/HTTPRequestCache). Throws like setStoragePath().
  static std::shared_ptr<DownloadCache> sharedCache();

  // ---- configuration ----
  QString storagePath() const;
  // Empties the session store of the current path, takes `path`, makes it and its two store
  // folders (not missing parents of `path`), then empties the new session store. Throws
  // "FileExistsAtCachePath" when something other than a folder is in the way and
  // "FailedToCreateCacheDirectory" when a folder cannot be made.
  void setStoragePath(const QString& path);
  int defaultCachePolicy() const override;
  // 0 is taken as 4 (revalidate when stale).
  void setDefaultCachePolicy(int policy);
  bool shouldRespectCacheControlHeaders() const;
  // When true (the default), "no-store" and "no-cache" directives are obeyed and an entry is
  // current only until its "X-Cache-Expires"; when false, every entry is current.
  void setShouldRespectCacheControlHeaders(bool respect);
  // The lock every operation takes. Replacing it while another thread works in the cache is
  // safe: that operation keeps the lock it took.
  std::shared_ptr<std::recursive_mutex> accessLock() const;
  void setAccessLock(std::shared_ptr<std::recursive_mutex> lock);

  // ---- the engine's interface ----
  // The response's own expiry (HTTPRequest::expiryDateForRequest), except that while
  // Cache-Control headers are respected a response that must be revalidated before each use
  // ("no-cache", "max-age=0", Pragma "no-cache") expires now.
  QDateTime expiryDateForRequest(const http::HTTPRequest& request, double maxAge) override;
  void updateExpiryForRequest(const http::HTTPRequest& request, double maxAge) override;
  bool canUseCachedDataForRequest(const http::HTTPRequest& request) override;
  void removeCachedDataForRequest(const http::HTTPRequest& request) override;
  bool isCachedDataCurrentForRequest(const http::HTTPRequest& request) override;
  void storeResponseForRequest(const http::HTTPRequest& request, double maxAge) override;
  void removeCachedDataForURL(const QUrl& url) override;
  platform::StringMap cachedResponseHeadersForURL(const QUrl& url) override;
  QByteArray cachedResponseDataForURL(const QUrl& url) override;
  QString pathToCachedResponseDataForURL(const QUrl& url) override;
  QString pathToCachedResponseHeadersForURL(const QUrl& url) override;
  QString pathToStoreCachedResponseHeadersForRequest(const http::HTTPRequest& request) override;
  QString pathToStoreCachedResponseDataForRequest(const http::HTTPRequest& request) override;
  void clearCachedResponsesForStoragePolicy(int storagePolicy) override;

  // <storage path>/SessionStore/<file> if it exists, else <storage path>/PermanentStore/<file>
  // if it exists, else an empty text (also without a storage path).
  QString pathToFile(const QString& file);

  // ---- class operations ----
  // MD5 of the URL's text (one trailing "/" dropped) as 32 upper-case hex digits; empty for an
  // empty URL.
  static QString keyForURL(const QUrl& url);
  // Extensions stored as "html": asp, aspx, jsp, php, rb, py, pl, cgi.
  static const QStringList& fileExtensionsToHandleAsHTML();
  // False when the response's Cache-Control list holds "no-store" (in any case, with or without
  // other directives). "no-cache" (Cache-Control or Pragma) and "max-age=0" do not prevent
  // storing: they make the entry stale at once (see expiryDateForRequest), so it is revalidated.
  static bool serverAllowsResponseCachingForRequest(const http::HTTPRequest& request);

 private:
  // The stored headers file of `url` as read, or nothing when it is absent or unreadable.
  std::optional<QVariantMap> storedHeaders(const QUrl& url);
  QString storeFolder(int storagePolicy) const;
  // keyForURL() and the data file's extension of `url`, remembered for the last URL asked
  // (a request asks about its URL several times).
  std::pair<QString, QString> fileNamesFor(const QUrl& url);
  // The path of an existing file of the last URL's entry: `remembered` when it still exists,
  // else found again with pathToFile().
  QString locate(QString* remembered, const QString& file);
  // Forgets what fileNamesFor() and locate() remember (entries were written or removed).
  void forgetNames();

  // A parsed headers file and the identity of the file it came from.
  struct ParsedHeaders {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    QVariantMap headers;
    platform::StringMap text;  // the same as header texts, made when first asked for
  };
  // The parsed headers file of `url`, or null when it is absent or unreadable. The pointer is
  // valid until the next call under the same lock.
  ParsedHeaders* parsedHeadersFor(const QUrl& url);
  // Headers files parsed lately, by path: a request asks for the same entry several times, and
  // an unchanged file (same inode, size and modification time) need not be parsed again.
  // Entries are written through renames, so a changed file always has a new inode.
  std::map<QString, ParsedHeaders> parsedHeaders_;  // accessLock
  QUrl namedUrl_;        // accessLock: the URL fileNamesFor() last answered for
  QString namedKey_;     // accessLock: its key
  QString namedExtension_;  // accessLock: its data file's extension
  QString namedHeadersPath_;  // accessLock: where its headers file was found (null: not looked)
  QString namedDataPath_;     // accessLock: where its data file was found (null: not looked)
  QByteArray namedHeadersFile_;  // accessLock: namedHeadersPath_ as a file-system name
  ParsedHeaders namedParsed_;    // accessLock: the parsed namedHeadersPath_
  bool namedParsedValid_ = false;  // accessLock: namedParsed_ holds that file

  mutable std::mutex lockGuard_;                   // guards the accessLock_ pointer itself
  std::shared_ptr<std::recursive_mutex> accessLock_;
  QString storagePath_;                            // accessLock
  int defaultCachePolicy_ = 4;                     // accessLock
  bool shouldRespectCacheControlHeaders_ = true;   // accessLock
};

}  // namespace cache
