// The S3 requests on one object: GET (or a sub-resource), PUT from bytes or streamed from a file,
// server-side COPY, DELETE and HEAD.
#pragma once

#include "cloud/s3/s3_request.h"

namespace cloud::s3 {

// An object request. Keys are given as they are named (not escaped); a key, source key or
// bucket holding CR, LF or NUL is refused with code 6 before anything is sent.
// Thread: as S3Request.
class S3ObjectRequest : public S3Request {
  PLATFORM_OBJECT
 public:
  explicit S3ObjectRequest(const QUrl& url = QUrl()) : S3Request(url) {}

  static std::shared_ptr<S3ObjectRequest> requestWithBucket(const QString& bucket, const QString& key);
  static std::shared_ptr<S3ObjectRequest> requestWithBucket(const QString& bucket, const QString& key,
                                                            const QString& subResource);
  // PUT with `data` as the body.
  static std::shared_ptr<S3ObjectRequest> PUTRequestForData(const QByteArray& data, const QString& bucket,
                                                            const QString& key);
  // PUT streamed from the file at `path`; the MIME type follows the file's extension.
  static std::shared_ptr<S3ObjectRequest> PUTRequestForFile(const QString& path, const QString& bucket,
                                                            const QString& key);
  static std::shared_ptr<S3ObjectRequest> DELETERequestWithBucket(const QString& bucket, const QString& key);
  static std::shared_ptr<S3ObjectRequest> HEADRequestWithBucket(const QString& bucket, const QString& key);
  // A server-side copy: PUT to the target with "x-amz-copy-source" naming the source.
  static std::shared_ptr<S3ObjectRequest> COPYRequestFromBucket(const QString& sourceBucket,
                                                                const QString& sourceKey,
                                                                const QString& bucket,
                                                                const QString& key);

  QUrl buildURL() const override;
  QString canonicalResource() const override;
  QMap<QString, QString> S3Headers() const override;
  std::shared_ptr<http::HTTPRequest> HEADRequest() override;
  std::shared_ptr<http::HTTPRequest> copy() const override;

  HTTP_REQUEST_PROPERTY(QString, bucket, setBucket);
  HTTP_REQUEST_PROPERTY(QString, key, setKey);
  HTTP_REQUEST_PROPERTY(QString, sourceBucket, setSourceBucket);
  HTTP_REQUEST_PROPERTY(QString, sourceKey, setSourceKey);
  HTTP_REQUEST_PROPERTY(QString, mimeType, setMimeType);
  HTTP_REQUEST_PROPERTY(QString, subResource, setSubResource);
  HTTP_REQUEST_PROPERTY(QString, storageClass, setStorageClass);

 protected:
  std::shared_ptr<http::HTTPRequest> makeRequestOfSameClass(const QUrl& url) const override;
  QString contentTypeToSign() override;
  QStringList namesToCheck() const override { return {bucket(), key(), sourceBucket(), sourceKey()}; }
  void copyObjectFieldsTo(S3ObjectRequest& target) const;
};

}  // namespace cloud::s3
