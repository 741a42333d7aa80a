// The S3 requests on one bucket: list its objects (with prefix, marker, delimiter and a page
// size), read a sub-resource of it, create it or delete it.
#pragma once

#include "cloud/s3/s3_records.h"
#include "cloud/s3/s3_request.h"

#include <QList>
#include <QStringList>

namespace cloud::s3 {

// A bucket request. A listing answers one page: when isTruncated() is true, ask again with the
// marker set to the last key (or common prefix) received. Thread: as S3Request.
class S3BucketRequest : public S3Request {
  PLATFORM_OBJECT
 public:
  explicit S3BucketRequest(const QUrl& url = QUrl()) : S3Request(url) {}

  // GET of the bucket (its object listing).
  static std::shared_ptr<S3BucketRequest> requestWithBucket(const QString& bucket);
  // GET of a sub-resource of the bucket ("acl", "location"...).
  static std::shared_ptr<S3BucketRequest> requestWithBucket(const QString& bucket,
                                                            const QString& subResource);
  static std::shared_ptr<S3BucketRequest> PUTRequestWithBucket(const QString& bucket);
  static std::shared_ptr<S3BucketRequest> DELETERequestWithBucket(const QString& bucket);

  QUrl buildURL() const override;
  QString canonicalResource() const override;
  std::shared_ptr<http::HTTPRequest> copy() const override;

  HTTP_REQUEST_PROPERTY(QString, bucket, setBucket);
  HTTP_REQUEST_PROPERTY(QString, subResource, setSubResource);
  HTTP_REQUEST_PROPERTY(QString, prefix, setPrefix);
  HTTP_REQUEST_PROPERTY(QString, marker, setMarker);
  HTTP_REQUEST_PROPERTY(QString, delimiter, setDelimiter);
  // Page size: 0 = not sent (the service's default).
  HTTP_REQUEST_PROPERTY(int, maxResultCount, setMaxResultCount) = 0;

 public:
  // Results of a finished listing.
  const QList<std::shared_ptr<S3BucketObject>>& objects() const { return objects_; }
  const QStringList& commonPrefixes() const { return commonPrefixes_; }
  // True only when the listing said exactly "true".
  bool isTruncated() const { return isTruncated_; }

 protected:
  std::shared_ptr<http::HTTPRequest> makeRequestOfSameClass(const QUrl& url) const override;
  QStringList namesToCheck() const override { return {bucket()}; }
  void startElement(const QString& name) override;
  void endElement(const QString& name) override;

 private:
  QList<std::shared_ptr<S3BucketObject>> objects_;
  QStringList commonPrefixes_;
  bool isTruncated_ = false;
  std::shared_ptr<S3BucketObject> currentObject_;
};

}  // namespace cloud::s3
