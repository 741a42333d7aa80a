// Reading the account's bucket listing.
#include "cloud/s3/s3_service_request.h"

namespace cloud::s3 {

const platform::MethodTable& S3ServiceRequest::classMethods() {
  static const platform::MethodTable table(&S3Request::classMethods(), {});
  return table;
}

std::shared_ptr<S3ServiceRequest> S3ServiceRequest::serviceRequest() {
  return std::make_shared<S3ServiceRequest>();
}

std::shared_ptr<http::HTTPRequest> S3ServiceRequest::makeRequestOfSameClass(const QUrl& url) const {
  return std::make_shared<S3ServiceRequest>(url);
}

void S3ServiceRequest::startElement(const QString& name) {
  if (name == QLatin1String("Bucket")) {
    currentBucket_ = S3Bucket::bucketWithOwnerID(ownerID_, ownerName_);
  } else {
    S3Request::startElement(name);
  }
}

void S3ServiceRequest::endElement(const QString& name) {
  const QString& text = currentXMLElementContent();
  if (name == QLatin1String("Bucket")) {
    if (currentBucket_) buckets_.append(std::exchange(currentBucket_, nullptr));
  } else if (name == QLatin1String("Name")) {
    if (currentBucket_) currentBucket_->name = text;
  } else if (name == QLatin1String("CreationDate")) {
    if (currentBucket_) currentBucket_->creationDate = dateFromResponseString(text);
  } else if (name == QLatin1String("ID")) {
    ownerID_ = text;
  } else if (name == QLatin1String("DisplayName")) {
    ownerName_ = text;
  } else {
    S3Request::endElement(name);
  }
}

}  // namespace cloud::s3
