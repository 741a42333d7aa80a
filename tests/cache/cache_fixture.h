// Shared set-up of the cache tests: a cache in a temporary folder and finished requests made by
// hand (status, headers and body as if they had just been received).
#pragma once

#include "cache/download_cache.h"
#include "http/http_request.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <memory>

namespace cache::testing {

class CacheFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    cache_ = std::make_shared<DownloadCache>();
    cache_->setStoragePath(root());
  }

  QString root() const { return QString::fromStdString((dir_ / "cache").string()); }

  // A request for `url` that "received" `status`, `headers` and `body` and is complete.
  static std::shared_ptr<http::HTTPRequest> finished(const QString& url, int status,
                                                     platform::StringMap headers,
                                                     const QByteArray& body = "body",
                                                     int policy = http::AskServerIfModifiedWhenStaleCachePolicy,
                                                     int storagePolicy = 0) {
    auto request = http::HTTPRequest::requestWithURL(QUrl(url));
    request->setResponseStatusCode(status);
    request->setResponseHeaders(std::move(headers));
    request->setRawResponseData(body);
    request->setCachePolicy(policy);
    request->setCacheStoragePolicy(storagePolicy);
    request->setComplete(true);
    return request;
  }

  // A request for `url` about to start with `policy` (no response yet).
  static std::shared_ptr<http::HTTPRequest> starting(const QString& url, int policy) {
    auto request = http::HTTPRequest::requestWithURL(QUrl(url));
    request->setCachePolicy(policy);
    return request;
  }

  testsupport::TempDir dir_;
  std::shared_ptr<DownloadCache> cache_;
};

}  // namespace cache::testing
