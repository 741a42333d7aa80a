// Object URLs, the x-amz headers of copies and storage classes, and the content type of PUTs.
#include "cloud/s3/s3_object_request.h"

namespace cloud::s3 {

const platform::MethodTable& S3ObjectRequest::classMethods() {
  static const platform::MethodTable table(&S3Request::classMethods(), {});
  return table;
}

std::shared_ptr<S3ObjectRequest> S3ObjectRequest::requestWithBucket(const QString& bucket,
                                                                    const QString& key) {
  auto request = std::make_shared<S3ObjectRequest>();
  request->setBucket(bucket);
  request->setKey(key);
  return request;
}

std::shared_ptr<S3ObjectRequest> S3ObjectRequest::requestWithBucket(const QString& bucket,
                                                                    const QString& key,
                                                                    const QString& subResource) {
  auto request = requestWithBucket(bucket, key);
  request->setSubResource(subResource);
  return request;
}

std::shared_ptr<S3ObjectRequest> S3ObjectRequest::PUTRequestForData(const QByteArray& data,
                                                                    const QString& bucket,
                                                                    const QString& key) {
  auto request = requestWithBucket(bucket, key);
  request->appendPostData(data);
  request->setRequestMethod(QStringLiteral("PUT"));
  return request;
}

std::shared_ptr<S3ObjectRequest> S3ObjectRequest::PUTRequestForFile(const QString& path,
                                                                    const QString& bucket,
                                                                    const QString& key) {
  auto request = requestWithBucket(bucket, key);
  request->setPostBodyFilePath(path);
  request->setShouldStreamPostDataFromDisk(true);
  request->setRequestMethod(QStringLiteral("PUT"));
  request->setMimeType(mimeTypeForFileAtPath(path));
  return request;
}

std::shared_ptr<S3ObjectRequest> S3ObjectRequest::DELETERequestWithBucket(const QString& bucket,
                                                                          const QString& key) {
  auto request = requestWithBucket(bucket, key);
  request->setRequestMethod(QStringLiteral("DELETE"));
  return request;
}

std::shared_ptr<S3ObjectRequest> S3ObjectRequest::HEADRequestWithBucket(const QString& bucket,
                                                                        const QString& key) {
  auto request = requestWithBucket(bucket, key);
  request->setRequestMethod(QStringLiteral("HEAD"));
  return request;
}

std::shared_ptr<S3ObjectRequest> S3ObjectRequest::COPYRequestFromBucket(const QString& sourceBucket,
                                                                        const QString& sourceKey,
                                                                        const QString& bucket,
                                                                        const QString& key) {
  auto request = requestWithBucket(bucket, key);
  request->setRequestMethod(QStringLiteral("PUT"));
  request->setSourceBucket(sourceBucket);
  request->setSourceKey(sourceKey);
  return request;
}

std::shared_ptr<http::HTTPRequest> S3ObjectRequest::makeRequestOfSameClass(const QUrl& url) const {
  return std::make_shared<S3ObjectRequest>(url);
}

void S3ObjectRequest::copyObjectFieldsTo(S3ObjectRequest& target) const {
  target.setBucket(bucket());
  target.setKey(key());
  target.setSourceBucket(sourceBucket());
  target.setSourceKey(sourceKey());
  target.setMimeType(mimeType());
  target.setSubResource(subResource());
  target.setStorageClass(storageClass());
}

std::shared_ptr<http::HTTPRequest> S3ObjectRequest::copy() const {
  auto c = S3Request::copy();
  if (auto o = std::dynamic_pointer_cast<S3ObjectRequest>(c)) copyObjectFieldsTo(*o);
  return c;
}

std::shared_ptr<http::HTTPRequest> S3ObjectRequest::HEADRequest() {
  auto head = S3Request::HEADRequest();
  if (auto o = std::dynamic_pointer_cast<S3ObjectRequest>(head)) {
    o->setBucket(bucket());
    o->setKey(key());
  }
  return head;
}

QUrl S3ObjectRequest::buildURL() const {
  QString url = baseURLString(bucket()) + stringByURLEncodingForS3Path(key());
  if (!subResource().isEmpty()) url += QStringLiteral("?%1").arg(subResource());
  return QUrl(url, QUrl::StrictMode);
}

QString S3ObjectRequest::canonicalResource() const {
  // The URL goes on the wire with "~" as itself (an unreserved character, RFC 3986 2.3, which
  // the URL class never keeps escaped): the store signs what it receives, so that is signed.
  const QString path = stringByURLEncodingForS3Path(key()).replace(QStringLiteral("%7E"), QStringLiteral("~"));
  if (!subResource().isEmpty()) return QStringLiteral("/%1%2?%3").arg(bucket(), path, subResource());
  return QStringLiteral("/%1%2").arg(bucket(), path);
}

QMap<QString, QString> S3ObjectRequest::S3Headers() const {
  QMap<QString, QString> headers = S3Request::S3Headers();
  if (!sourceKey().isEmpty()) {
    headers.insert(QStringLiteral("x-amz-copy-source"),
                   sourceBucket() + stringByURLEncodingForS3Path(sourceKey()));
  }
  if (!storageClass().isEmpty()) headers.insert(QStringLiteral("x-amz-storage-class"), storageClass());
  return headers;
}

QString S3ObjectRequest::contentTypeToSign() {
  if (requestMethod() != QLatin1String("PUT") || !sourceKey().isEmpty()) return {};
  if (!mimeType().isEmpty()) return mimeType();
  if (shouldStreamPostDataFromDisk() && !postBodyFilePath().isEmpty()) {
    const QString type = mimeTypeForFileAtPath(postBodyFilePath());
    if (!type.isEmpty()) return type;
  }
  return QStringLiteral("application/octet-stream");
}

}  // namespace cloud::s3
