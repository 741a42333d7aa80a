// What a response cache offers the request engine: whether a request can be answered from it,
// the stored headers and body of a URL, and storing a finished response.
#pragma once

#include "platform/object.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

namespace http {

class HTTPRequest;

// Cache policy flags of a request (0 = the cache's default policy).
enum CachePolicy : int {
  UseDefaultCachePolicy = 0,
  DoNotReadFromCacheCachePolicy = 1,
  DoNotWriteToCacheCachePolicy = 2,
  AskServerIfModifiedWhenStaleCachePolicy = 4,
  AskServerIfModifiedCachePolicy = 8,
  OnlyLoadIfNotCachedCachePolicy = 16,
  DontLoadCachePolicy = 32,
  FallbackToCacheIfLoadFailsCachePolicy = 64,
};

// Where a stored response goes (a request's cacheStoragePolicy): any value but 0 is permanent.
enum CacheStoragePolicy : int {
  CacheForSessionDurationCacheStoragePolicy = 0,
  CachePermanentlyCacheStoragePolicy = 1,
};

// A stored response as a request answered from the cache receives it.
struct CachedResponse {
  platform::StringMap headers;  // as cachedResponseHeadersForURL() gives them
  QString dataPath;             // the body's file, when the body was not asked for
  QByteArray data;              // the body, when asked for; null when it could not be read
};

// A response cache as the engine uses it. Thread: any (implementations lock themselves).
class CacheDelegate {
 public:
  virtual ~CacheDelegate() = default;

  virtual int defaultCachePolicy() const = 0;
  // When the response of a finished request stops being current (maxAge 0: from its headers);
  // a null date when it has no known expiry.
  virtual QDateTime expiryDateForRequest(const HTTPRequest& request, double maxAge) = 0;
  virtual void updateExpiryForRequest(const HTTPRequest& request, double maxAge) = 0;
  virtual bool canUseCachedDataForRequest(const HTTPRequest& request) = 0;
  virtual void removeCachedDataForRequest(const HTTPRequest& request) = 0;
  virtual bool isCachedDataCurrentForRequest(const HTTPRequest& request) = 0;
  virtual void storeResponseForRequest(const HTTPRequest& request, double maxAge) = 0;
  virtual void removeCachedDataForURL(const QUrl& url) = 0;
  // The stored headers of `url`, or an empty map when none are stored.
  virtual platform::StringMap cachedResponseHeadersForURL(const QUrl& url) = 0;
  // The stored headers and body of `request`'s URL (with `readData`, the body itself, else the
  // path of its file), or nothing when no entry is stored. Meant for the request to which
  // canUseCachedDataForRequest() has just said yes: the cache may answer from that look-up.
  virtual std::optional<CachedResponse> cachedResponseForRequest(const HTTPRequest& request,
                                                                 bool readData) = 0;
  // The stored body of `url`; a null array when none is stored.
  virtual QByteArray cachedResponseDataForURL(const QUrl& url) = 0;
  // The path of the stored body of `url`, or an empty text when none is stored.
  virtual QString pathToCachedResponseDataForURL(const QUrl& url) = 0;
  // The path of the stored headers of `url`, or an empty text when none are stored.
  virtual QString pathToCachedResponseHeadersForURL(const QUrl& url) = 0;
  // Where the headers and the body of `request`'s response are to be written.
  virtual QString pathToStoreCachedResponseHeadersForRequest(const HTTPRequest& request) = 0;
  virtual QString pathToStoreCachedResponseDataForRequest(const HTTPRequest& request) = 0;
  // Removes every entry of one store (CacheStoragePolicy).
  virtual void clearCachedResponsesForStoragePolicy(int storagePolicy) = 0;
};

}  // namespace http
