// The S3 request that lists the account's buckets.
#pragma once

#include "cloud/s3/s3_records.h"
#include "cloud/s3/s3_request.h"

#include <QList>

namespace cloud::s3 {

// Lists every bucket of the account ("GET /"). Thread: as S3Request.
class S3ServiceRequest : public S3Request {
  PLATFORM_OBJECT
 public:
  explicit S3ServiceRequest(const QUrl& url = QUrl()) : S3Request(url) {}
  static std::shared_ptr<S3ServiceRequest> serviceRequest();

  // The buckets of a finished listing, in the service's order.
  const QList<std::shared_ptr<S3Bucket>>& buckets() const { return buckets_; }
  const QString& ownerID() const { return ownerID_; }
  const QString& ownerName() const { return ownerName_; }

 protected:
  std::shared_ptr<http::HTTPRequest> makeRequestOfSameClass(const QUrl& url) const override;
  void startElement(const QString& name) override;
  void endElement(const QString& name) override;

 private:
  QList<std::shared_ptr<S3Bucket>> buckets_;
  std::shared_ptr<S3Bucket> currentBucket_;
  QString ownerID_;
  QString ownerName_;
};

}  // namespace cloud::s3
