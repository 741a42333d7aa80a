// Container and object requests of Cloud Files, the object listing and objects read back.
#include "cloud/cloudfiles/cloudfiles_object_request.h"

#include "cloud/cloudfiles/cloudfiles_container_request.h"
#include "cloud/xml_safety.h"

#include <QXmlStreamReader>

namespace cloud::cloudfiles {
namespace {

const QString kMetaPrefix = QStringLiteral("X-Object-Meta-");

QString escapedValue(const QString& value) { return QString::fromLatin1(QUrl::toPercentEncoding(value)); }

}  // namespace

const platform::MethodTable& CloudFilesObjectRequest::classMethods() {
  static const platform::MethodTable table(&CloudFilesRequest::classMethods(), {});
  return table;
}

std::shared_ptr<http::HTTPRequest> CloudFilesObjectRequest::makeRequestOfSameClass(const QUrl& url) const {
  return std::make_shared<CloudFilesObjectRequest>(url);
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::storageRequestWithMethod(
    const QString& method, const QString& containerName) {
  return storageRequestWithMethod(method, containerName, QString());
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::storageRequestWithMethod(
    const QString& method, const QString& containerName, const QString& queryString) {
  auto request = std::make_shared<CloudFilesObjectRequest>(
      QUrl(QStringLiteral("%1/%2%3").arg(storageURL(), escapedPath(containerName), queryString)));
  request->prepare(method);
  request->setContainerName(containerName);
  return request;
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::storageRequestWithMethodForObject(
    const QString& method, const QString& containerName, const QString& objectPath) {
  auto request = std::make_shared<CloudFilesObjectRequest>(QUrl(QStringLiteral("%1/%2/%3").arg(
      storageURL(), escapedPath(containerName), escapedPath(objectPath))));
  request->prepare(method);
  request->setContainerName(containerName);
  return request;
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::containerInfoRequest(
    const QString& containerName) {
  return storageRequestWithMethod(QStringLiteral("HEAD"), containerName);
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::objectInfoRequest(
    const QString& containerName, const QString& objectPath) {
  return storageRequestWithMethodForObject(QStringLiteral("HEAD"), containerName, objectPath);
}

QString CloudFilesObjectRequest::queryStringWithContainer(const QString&, int limit, const QString& marker,
                                                          const QString& prefix, const QString& path) {
  QString query = QStringLiteral("?format=xml");
  if (limit != 0) query += QStringLiteral("&limit=%1").arg(limit);
  if (!marker.isEmpty()) query += QStringLiteral("&marker=%1").arg(escapedValue(marker));
  if (!path.isEmpty()) query += QStringLiteral("&path=%1").arg(escapedValue(path));
  if (!prefix.isEmpty()) query += QStringLiteral("&prefix=%1").arg(escapedValue(prefix));
  return query;
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::listRequestWithContainer(
    const QString& containerName, int limit, const QString& marker, const QString& prefix,
    const QString& path) {
  return storageRequestWithMethod(QStringLiteral("GET"), containerName,
                                  queryStringWithContainer(containerName, limit, marker, prefix, path));
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::listRequestWithContainer(
    const QString& containerName) {
  return storageRequestWithMethod(QStringLiteral("GET"), containerName, QStringLiteral("?format=xml"));
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::getObjectRequestWithContainer(
    const QString& containerName, const QString& objectPath) {
  return storageRequestWithMethodForObject(QStringLiteral("GET"), containerName, objectPath);
}

void CloudFilesObjectRequest::addMetadataHeaders(const Metadata& metadata) {
  for (auto it = metadata.cbegin(); it != metadata.cend(); ++it) {
    addRequestHeader(kMetaPrefix + it.key(), it.value());
  }
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::putObjectRequestWithContainer(
    const QString& containerName, const QString& objectPath, const QString& contentType,
    const QByteArray& objectData, const Metadata& metadata, const QString& etag) {
  auto request = storageRequestWithMethodForObject(QStringLiteral("PUT"), containerName, objectPath);
  request->addRequestHeader(QStringLiteral("Content-Type"), contentType);
  request->addMetadataHeaders(metadata);
  if (!etag.isEmpty()) request->addRequestHeader(QStringLiteral("ETag"), etag);
  request->appendPostData(objectData);
  return request;
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::putObjectRequestWithContainerFile(
    const QString& containerName, const QString& objectPath, const QString& contentType,
    const QString& filePath, const Metadata& metadata, const QString& etag) {
  auto request = storageRequestWithMethodForObject(QStringLiteral("PUT"), containerName, objectPath);
  request->addRequestHeader(QStringLiteral("Content-Type"), contentType);
  request->addMetadataHeaders(metadata);
  if (!etag.isEmpty()) request->addRequestHeader(QStringLiteral("ETag"), etag);
  request->setPostBodyFilePath(filePath);
  request->setShouldStreamPostDataFromDisk(true);
  return request;
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::putObjectRequestWithContainer(
    const QString& containerName, const CloudFilesObject& object) {
  return putObjectRequestWithContainer(containerName, object.name, object.contentType, object.data,
                                       object.metadata, QString());
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::postObjectRequestWithContainer(
    const QString& containerName, const QString& objectPath, const Metadata& metadata) {
  auto request = storageRequestWithMethodForObject(QStringLiteral("POST"), containerName, objectPath);
  request->addMetadataHeaders(metadata);
  return request;
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::postObjectRequestWithContainer(
    const QString& containerName, const CloudFilesObject& object) {
  return postObjectRequestWithContainer(containerName, object.name, object.metadata);
}

std::shared_ptr<CloudFilesObjectRequest> CloudFilesObjectRequest::deleteObjectRequestWithContainer(
    const QString& containerName, const QString& objectPath) {
  return storageRequestWithMethodForObject(QStringLiteral("DELETE"), containerName, objectPath);
}

quint64 CloudFilesObjectRequest::containerObjectCount() const {
  return headerNumber(*this, QStringLiteral("X-Container-Object-Count"));
}

quint64 CloudFilesObjectRequest::containerBytesUsed() const {
  return headerNumber(*this, QStringLiteral("X-Container-Bytes-Used"));
}

QList<std::shared_ptr<CloudFilesObject>> CloudFilesObjectRequest::objects() {
  if (objects_) return *objects_;
  objects_.emplace();
  QXmlStreamReader reader(responseData());
  reader.setNamespaceProcessing(false);
  std::shared_ptr<CloudFilesObject> current;
  QString content;
  while (!reader.atEnd()) {
    reader.readNext();
    if (!refuseUnsafeXML(reader)) break;
    if (reader.isStartElement()) {
      if (reader.name() == QLatin1String("object")) current = CloudFilesObject::object();
      content.clear();
    } else if (reader.isCharacters()) {
      content += reader.text();
    } else if (reader.isEndElement()) {
      const QStringView name = reader.name();
      if (name == QLatin1String("object")) {
        if (current) objects_->append(std::exchange(current, nullptr));
      } else if (!current) {
        continue;
      } else if (name == QLatin1String("name")) {
        current->name = content;
      } else if (name == QLatin1String("hash")) {
        current->hash = content;
      } else if (name == QLatin1String("content_type")) {
        current->contentType = content;
      } else if (name == QLatin1String("bytes")) {
        current->bytes = content.toULongLong();
      } else if (name == QLatin1String("last_modified")) {
        current->lastModified = dateFromString(content);
      }
    }
  }
  return *objects_;
}

std::shared_ptr<CloudFilesObject> CloudFilesObjectRequest::object() const {
  auto object = CloudFilesObject::object();
  // The name is what follows "<container>/" in the path: looked for after the storage URL's
  // own path first, so a container named like a part of the account path is not mistaken.
  const QString path = url().path();
  const QString marker = QLatin1Char('/') + containerName() + QLatin1Char('/');
  const QString storagePath = QUrl(storageURL()).path();
  qsizetype at = path.startsWith(storagePath + marker) ? storagePath.size() : path.indexOf(marker);
  if (at >= 0) object->name = path.mid(at + marker.size());
  const platform::StringMap headers = responseHeaders().value_or(platform::StringMap());
  object->hash = headerValue(*this, {"ETag", "Etag"});
  object->bytes = headers.value(QStringLiteral("Content-Length")).toULongLong();
  object->contentType = headers.value(QStringLiteral("Content-Type"));
  object->lastModified = dateFromRFC1123String(headers.value(QStringLiteral("Last-Modified")));
  for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
    if (it.key().startsWith(kMetaPrefix, Qt::CaseInsensitive)) {
      object->metadata.insert(it.key().mid(kMetaPrefix.size()), it.value());
    }
  }
  object->data = responseData();
  return object;
}

}  // namespace cloud::cloudfiles
