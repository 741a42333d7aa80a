// The response cache: one entry per URL on disk (a headers property list and a body file) in a
// session store or a permanent store, and the policy rules that let a request use an entry.
#pragma once

#include "http/cache_delegate.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace cache {

// Keeps responses under `storagePath()`:
//   <storage path>/SessionStore/    emptied whenever a storage path is set
//   <storage path>/PermanentStore/  kept until removed or cleared
// and in one of them, per URL, <key>.cachedheaders (every response header, plus
// "X-Cache-Expires", seconds since 1970 as a real, when an expiry is known, and
// "X-Cache-Response-Status-Code" as an integer) and <key>.<extension> (the inflated body).
//
// An entry is written to temporary files that are renamed into place, the headers file last,
// so that a failed or interrupted store leaves no entry rather than a truncated one. Reading, an
// entry is both files in one store: a store whose headers file cannot be read or parsed, or
// that has no data file beside it, holds no entry (the other store may).
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
  std::optional<http::CachedResponse> cachedResponseForRequest(const http::HTTPRequest& request,
                                                               bool readData) override;
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
  // A file descriptor, closed with its holder (-1: none).
  class OpenFile {
   public:
    explicit OpenFile(int fd = -1) : fd_(fd) {}
    OpenFile(OpenFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OpenFile& operator=(OpenFile&& other) noexcept;
    ~OpenFile();
    bool isOpen() const { return fd_ >= 0; }
    // The whole file; nothing on a read error or when it ends before its size. `expected` is
    // the size it likely has (read with one read, its size not asked for); -1 when unknown.
    std::optional<QByteArray> readAll(qsizetype expected = -1) const;
    // Expected sizes above this are not trusted: the file's own size is asked for instead.
    static constexpr qsizetype kLargestExpectedFile = 64 * 1024 * 1024;

   private:
    int fd_;
  };

  // One look-up of a URL's entry: its headers file read and its data file opened, both in the
  // same store.
  struct Entry {
    QByteArray dataFile;             // the data file's file-system name
    platform::StringMap headers;     // header texts as cachedResponseHeadersForURL() gives them
    std::optional<double> expires;   // "X-Cache-Expires", when it holds a number
    OpenFile data;                   // the open data file
  };
  // The entry of `url` in the first store (session, then permanent) that holds a whole one: a
  // headers file that reads and parses and a data file beside it. Nothing when no store does.
  std::optional<Entry> lookUp(const QUrl& url) const;
  // Whether `entry` may answer `request` without asking the server (validators and expiry).
  bool isCurrent(const Entry& entry, const http::HTTPRequest& request) const;
  QString storeFolder(int storagePolicy) const;

  // The look-up made by the last canUseCachedDataForRequest(), kept for the
  // cachedResponseForRequest() of the same request that follows a yes; dropped by every change
  // this cache makes to its entries, so that it never outlives what it read.
  struct LastLookUp {
    const http::HTTPRequest* request = nullptr;
    QUrl url;
    Entry entry;
  };
  std::optional<LastLookUp> lastLookUp_;  // accessLock

  mutable std::mutex lockGuard_;                   // guards the accessLock_ pointer itself
  std::shared_ptr<std::recursive_mutex> accessLock_;
  QString storagePath_;                            // accessLock
  // accessLock: "<storage path>/SessionStore/" and ".../PermanentStore/" as file-system names,
  // in look-up order (empty without a storage path)
  std::vector<QByteArray> storeNames_;
  int defaultCachePolicy_ = 4;                     // accessLock
  bool shouldRespectCacheControlHeaders_ = true;   // accessLock
};

}  // namespace cache
