// What a response cache offers the request engine: whether a request can be answered from it,
// the stored headers and body of a URL, and storing a finished response.
#pragma once

#include "platform/object.h"

#include <QString>
#include <QUrl>

#include <memory>

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

// A response cache as the engine uses it. Thread: any (implementations lock themselves).
class CacheDelegate {
 public:
  virtual ~CacheDelegate() = default;

  virtual int defaultCachePolicy() const = 0;
  virtual bool canUseCachedDataForRequest(const HTTPRequest& request) = 0;
  virtual void updateExpiryForRequest(const HTTPRequest& request, double maxAge) = 0;
  virtual void storeResponseForRequest(const HTTPRequest& request, double maxAge) = 0;
  // The stored headers of `url`, or an empty map when none are stored.
  virtual platform::StringMap cachedResponseHeadersForURL(const QUrl& url) = 0;
  // The path of the stored body of `url`, or an empty text when none is stored.
  virtual QString pathToCachedResponseDataForURL(const QUrl& url) = 0;
};

}  // namespace http
