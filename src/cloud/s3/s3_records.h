// The plain records of S3 listings: a bucket of the account and an object of a bucket.
#pragma once

#include <QDateTime>
#include <QString>

#include <memory>

namespace cloud::s3 {

class S3ObjectRequest;

// A bucket as the service listing names it. Thread: any (plain value).
struct S3Bucket {
  QString name;
  QDateTime creationDate;
  QString ownerID;
  QString ownerName;

  static std::shared_ptr<S3Bucket> bucketWithOwnerID(const QString& ownerID, const QString& ownerName);
  // "Name: %@ creationDate: %@ ownerID: %@ ownerName: %@".
  QString description() const;
};

// An object as a bucket listing names it. Thread: any (plain value).
struct S3BucketObject {
  QString bucket;
  QString key;
  QDateTime lastModified;
  QString ETag;
  quint64 size = 0;
  QString ownerID;
  QString ownerName;

  static std::shared_ptr<S3BucketObject> objectWithBucket(const QString& bucket);
  // "Key: %@ lastModified: %@ ETag: %@ size: %llu ownerID: %@ ownerName: %@".
  QString description() const;

  // Requests for this object: GET, PUT of the file at `path`, DELETE.
  std::shared_ptr<S3ObjectRequest> GETRequest() const;
  std::shared_ptr<S3ObjectRequest> PUTRequestWithFile(const QString& path) const;
  std::shared_ptr<S3ObjectRequest> DELETERequest() const;
};

// A date as record descriptions show it ("2026-01-31 12:00:00 +0000"; "(null)" when none).
QString describeDate(const QDateTime& date);

}  // namespace cloud::s3
