// The S3 listing records and their descriptions.
#include "cloud/s3/s3_records.h"

#include "cloud/s3/s3_object_request.h"

#include <QLocale>

namespace cloud::s3 {

QString describeDate(const QDateTime& date) {
  if (!date.isValid()) return QStringLiteral("(null)");
  return QLocale::c().toString(date.toUTC(), QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
         QStringLiteral(" +0000");
}

std::shared_ptr<S3Bucket> S3Bucket::bucketWithOwnerID(const QString& ownerID, const QString& ownerName) {
  auto bucket = std::make_shared<S3Bucket>();
  bucket->ownerID = ownerID;
  bucket->ownerName = ownerName;
  return bucket;
}

QString S3Bucket::description() const {
  return QStringLiteral("Name: %1 creationDate: %2 ownerID: %3 ownerName: %4")
      .arg(name, describeDate(creationDate), ownerID, ownerName);
}

std::shared_ptr<S3BucketObject> S3BucketObject::objectWithBucket(const QString& bucket) {
  auto object = std::make_shared<S3BucketObject>();
  object->bucket = bucket;
  return object;
}

QString S3BucketObject::description() const {
  return QStringLiteral("Key: %1 lastModified: %2 ETag: %3 size: %4 ownerID: %5 ownerName: %6")
      .arg(key, describeDate(lastModified), ETag, QString::number(size), ownerID, ownerName);
}

std::shared_ptr<S3ObjectRequest> S3BucketObject::GETRequest() const {
  return S3ObjectRequest::requestWithBucket(bucket, key);
}

std::shared_ptr<S3ObjectRequest> S3BucketObject::PUTRequestWithFile(const QString& path) const {
  return S3ObjectRequest::PUTRequestForFile(path, bucket, key);
}

std::shared_ptr<S3ObjectRequest> S3BucketObject::DELETERequest() const {
  return S3ObjectRequest::DELETERequestWithBucket(bucket, key);
}

}  // namespace cloud::s3
