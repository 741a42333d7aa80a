// Bucket URLs with their listing parameters, and the reading of object listings.
#include "cloud/s3/s3_bucket_request.h"

namespace cloud::s3 {
namespace {

QString escaped(const QString& value) { return QString::fromLatin1(QUrl::toPercentEncoding(value)); }

}  // namespace

const platform::MethodTable& S3BucketRequest::classMethods() {
  static const platform::MethodTable table(&S3Request::classMethods(), {});
  return table;
}

std::shared_ptr<S3BucketRequest> S3BucketRequest::requestWithBucket(const QString& bucket) {
  auto request = std::make_shared<S3BucketRequest>();
  request->setBucket(bucket);
  return request;
}

std::shared_ptr<S3BucketRequest> S3BucketRequest::requestWithBucket(const QString& bucket,
                                                                    const QString& subResource) {
  auto request = requestWithBucket(bucket);
  request->setSubResource(subResource);
  return request;
}

std::shared_ptr<S3BucketRequest> S3BucketRequest::PUTRequestWithBucket(const QString& bucket) {
  auto request = requestWithBucket(bucket);
  request->setRequestMethod(QStringLiteral("PUT"));
  return request;
}

std::shared_ptr<S3BucketRequest> S3BucketRequest::DELETERequestWithBucket(const QString& bucket) {
  auto request = requestWithBucket(bucket);
  request->setRequestMethod(QStringLiteral("DELETE"));
  return request;
}

std::shared_ptr<http::HTTPRequest> S3BucketRequest::makeRequestOfSameClass(const QUrl& url) const {
  return std::make_shared<S3BucketRequest>(url);
}

std::shared_ptr<http::HTTPRequest> S3BucketRequest::copy() const {
  auto c = S3Request::copy();
  if (auto b = std::dynamic_pointer_cast<S3BucketRequest>(c)) {
    b->setBucket(bucket());
    b->setSubResource(subResource());
    b->setPrefix(prefix());
    b->setMarker(marker());
    b->setMaxResultCount(maxResultCount());
    b->setDelimiter(delimiter());
  }
  return c;
}

QUrl S3BucketRequest::buildURL() const {
  // Path-style addressing names the bucket in the path: "/bucket/" is the canonical resource.
  QString url = baseURLString(bucket());
  if (usesPathStyleAddressing()) url += QLatin1Char('/');
  if (!subResource().isEmpty()) {
    url += usesPathStyleAddressing() ? QStringLiteral("?%1").arg(subResource())
                                     : QStringLiteral("/?%1").arg(subResource());
  }
  QStringList parameters;
  if (!prefix().isEmpty()) parameters << QStringLiteral("prefix=%1").arg(escaped(prefix()));
  if (!marker().isEmpty()) parameters << QStringLiteral("marker=%1").arg(escaped(marker()));
  if (!delimiter().isEmpty()) parameters << QStringLiteral("delimiter=%1").arg(escaped(delimiter()));
  if (maxResultCount() > 0) parameters << QStringLiteral("max-keys=%1").arg(maxResultCount());
  if (!parameters.isEmpty()) {
    url += QStringLiteral("%1%2").arg(subResource().isEmpty() ? QStringLiteral("?") : QStringLiteral("&"),
                                      parameters.join(QLatin1Char('&')));
  }
  return QUrl(url, QUrl::StrictMode);
}

QString S3BucketRequest::canonicalResource() const {
  if (!subResource().isEmpty()) return QStringLiteral("/%1/?%2").arg(bucket(), subResource());
  return QStringLiteral("/%1/").arg(bucket());
}

void S3BucketRequest::startElement(const QString& name) {
  if (name == QLatin1String("Contents")) {
    currentObject_ = S3BucketObject::objectWithBucket(bucket());
  } else {
    S3Request::startElement(name);
  }
}

void S3BucketRequest::endElement(const QString& name) {
  const QString& text = currentXMLElementContent();
  if (name == QLatin1String("Contents")) {
    if (currentObject_) objects_.append(std::exchange(currentObject_, nullptr));
  } else if (name == QLatin1String("Key")) {
    if (currentObject_) currentObject_->key = text;
  } else if (name == QLatin1String("LastModified")) {
    if (currentObject_) currentObject_->lastModified = dateFromResponseString(text);
  } else if (name == QLatin1String("ETag")) {
    if (currentObject_) currentObject_->ETag = text;
  } else if (name == QLatin1String("Size")) {
    if (currentObject_) currentObject_->size = text.toULongLong();
  } else if (name == QLatin1String("ID")) {
    if (currentObject_) currentObject_->ownerID = text;
  } else if (name == QLatin1String("DisplayName")) {
    if (currentObject_) currentObject_->ownerName = text;
  } else if (name == QLatin1String("Prefix") && parentElement() == QLatin1String("CommonPrefixes")) {
    commonPrefixes_.append(text);
  } else if (name == QLatin1String("IsTruncated")) {
    isTruncated_ = text == QLatin1String("true");
  } else {
    S3Request::endElement(name);
  }
}

}  // namespace cloud::s3
