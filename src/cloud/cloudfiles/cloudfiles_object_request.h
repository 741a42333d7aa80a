// Cloud Files container and object requests: container information and object listings, GET,
// PUT (from bytes or streamed from a file) with metadata, POST of metadata, HEAD and DELETE.
#pragma once

#include "cloud/cloudfiles/cloudfiles_records.h"
#include "cloud/cloudfiles/cloudfiles_request.h"

#include <QMap>

namespace cloud::cloudfiles {

// A request on a container or an object of it. Names are given as they are (they are escaped
// for the URL here). Thread: as CloudFilesRequest.
class CloudFilesObjectRequest : public CloudFilesRequest {
  PLATFORM_OBJECT
 public:
  using Metadata = QMap<QString, QString>;
  explicit CloudFilesObjectRequest(const QUrl& url) : CloudFilesRequest(url) {}

  static std::shared_ptr<CloudFilesObjectRequest> storageRequestWithMethod(const QString& method,
                                                                           const QString& containerName);
  static std::shared_ptr<CloudFilesObjectRequest> storageRequestWithMethod(const QString& method,
                                                                           const QString& containerName,
                                                                           const QString& queryString);
  static std::shared_ptr<CloudFilesObjectRequest> storageRequestWithMethodForObject(
      const QString& method, const QString& containerName, const QString& objectPath);
  static std::shared_ptr<CloudFilesObjectRequest> containerInfoRequest(const QString& containerName);
  static std::shared_ptr<CloudFilesObjectRequest> objectInfoRequest(const QString& containerName,
                                                                    const QString& objectPath);
  // "?format=xml", then "&limit=N" unless 0, "&marker=M" and "&path=P" (escaped) when given,
  // and "&prefix=X" (escaped) when a prefix is given.
  static QString queryStringWithContainer(const QString& containerName, int limit, const QString& marker,
                                          const QString& prefix, const QString& path);
  static std::shared_ptr<CloudFilesObjectRequest> listRequestWithContainer(
      const QString& containerName, int limit, const QString& marker, const QString& prefix,
      const QString& path);
  static std::shared_ptr<CloudFilesObjectRequest> listRequestWithContainer(const QString& containerName);
  static std::shared_ptr<CloudFilesObjectRequest> getObjectRequestWithContainer(const QString& containerName,
                                                                                const QString& objectPath);
  // PUT of `data` with its content type and one "X-Object-Meta-<key>" header per metadata
  // entry; a non-empty etag is sent as "ETag" so the service checks what it received.
  static std::shared_ptr<CloudFilesObjectRequest> putObjectRequestWithContainer(
      const QString& containerName, const QString& objectPath, const QString& contentType,
      const QByteArray& objectData, const Metadata& metadata, const QString& etag);
  // The same, the body streamed from the file at `filePath`.
  static std::shared_ptr<CloudFilesObjectRequest> putObjectRequestWithContainerFile(
      const QString& containerName, const QString& objectPath, const QString& contentType,
      const QString& filePath, const Metadata& metadata, const QString& etag);
  static std::shared_ptr<CloudFilesObjectRequest> putObjectRequestWithContainer(
      const QString& containerName, const CloudFilesObject& object);
  // POST of the metadata headers only (the service replaces all of the object's metadata).
  static std::shared_ptr<CloudFilesObjectRequest> postObjectRequestWithContainer(
      const QString& containerName, const QString& objectPath, const Metadata& metadata);
  static std::shared_ptr<CloudFilesObjectRequest> postObjectRequestWithContainer(
      const QString& containerName, const CloudFilesObject& object);
  static std::shared_ptr<CloudFilesObjectRequest> deleteObjectRequestWithContainer(
      const QString& containerName, const QString& objectPath);

  // From the finished response.
  quint64 containerObjectCount() const;
  quint64 containerBytesUsed() const;
  // The parsed object listing (parsed once, on the first call).
  QList<std::shared_ptr<CloudFilesObject>> objects();
  // The object a finished GET or HEAD read: its name from the URL, its headers and metadata,
  // and the body.
  std::shared_ptr<CloudFilesObject> object() const;

  HTTP_REQUEST_PROPERTY(QString, accountName, setAccountName);
  HTTP_REQUEST_PROPERTY(QString, containerName, setContainerName);

 protected:
  std::shared_ptr<http::HTTPRequest> makeRequestOfSameClass(const QUrl& url) const override;

 private:
  void addMetadataHeaders(const Metadata& metadata);
  std::optional<QList<std::shared_ptr<CloudFilesObject>>> objects_;
};

}  // namespace cloud::cloudfiles
