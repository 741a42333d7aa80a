// Account-level Cloud Files requests and the container listing.
#include "cloud/cloudfiles/cloudfiles_container_request.h"

namespace cloud::cloudfiles {

quint64 headerNumber(const http::HTTPRequest& request, const QString& name) {
  return request.responseHeaders().value_or(platform::StringMap()).value(name).toULongLong();
}

QString headerValue(const http::HTTPRequest& request, std::initializer_list<const char*> names) {
  const platform::StringMap headers = request.responseHeaders().value_or(platform::StringMap());
  for (const char* name : names) {
    const auto it = headers.constFind(QString::fromLatin1(name));
    if (it != headers.cend()) return it.value();
  }
  return {};
}

const platform::MethodTable& CloudFilesContainerRequest::classMethods() {
  static const platform::MethodTable table(&CloudFilesRequest::classMethods(), {});
  return table;
}

std::shared_ptr<http::HTTPRequest> CloudFilesContainerRequest::makeRequestOfSameClass(const QUrl& url) const {
  return std::make_shared<CloudFilesContainerRequest>(url);
}

std::shared_ptr<CloudFilesContainerRequest> CloudFilesContainerRequest::storageRequestWithMethod(
    const QString& method, const QString& containerName, const QString& queryString) {
  const QString url = containerName.isEmpty()
                          ? QStringLiteral("%1%2").arg(storageURL(), queryString)
                          : QStringLiteral("%1/%2%3").arg(storageURL(), escapedPath(containerName), queryString);
  auto request = std::make_shared<CloudFilesContainerRequest>(QUrl(url));
  request->prepare(method);
  return request;
}

std::shared_ptr<CloudFilesContainerRequest> CloudFilesContainerRequest::storageRequestWithMethod(
    const QString& method, const QString& queryString) {
  return storageRequestWithMethod(method, QString(), queryString);
}

std::shared_ptr<CloudFilesContainerRequest> CloudFilesContainerRequest::storageRequestWithMethod(
    const QString& method) {
  return storageRequestWithMethod(method, QString(), QString());
}

std::shared_ptr<CloudFilesContainerRequest> CloudFilesContainerRequest::accountInfoRequest() {
  return storageRequestWithMethod(QStringLiteral("HEAD"));
}

std::shared_ptr<CloudFilesContainerRequest> CloudFilesContainerRequest::listRequest() {
  return storageRequestWithMethod(QStringLiteral("GET"), QStringLiteral("?format=xml"));
}

std::shared_ptr<CloudFilesContainerRequest> CloudFilesContainerRequest::listRequestWithLimit(
    int limit, const QString& marker) {
  QString query = QStringLiteral("?format=xml");
  if (limit != 0) query += QStringLiteral("&limit=%1").arg(limit);
  if (!marker.isEmpty()) query += QStringLiteral("&marker=%1").arg(QString::fromLatin1(QUrl::toPercentEncoding(marker)));
  return storageRequestWithMethod(QStringLiteral("GET"), query);
}

std::shared_ptr<CloudFilesContainerRequest> CloudFilesContainerRequest::createContainerRequest(
    const QString& containerName) {
  return storageRequestWithMethod(QStringLiteral("PUT"), containerName, QString());
}

std::shared_ptr<CloudFilesContainerRequest> CloudFilesContainerRequest::deleteContainerRequest(
    const QString& containerName) {
  return storageRequestWithMethod(QStringLiteral("DELETE"), containerName, QString());
}

quint64 CloudFilesContainerRequest::containerCount() const {
  return headerNumber(*this, QStringLiteral("X-Account-Container-Count"));
}

quint64 CloudFilesContainerRequest::bytesUsed() const {
  return headerNumber(*this, QStringLiteral("X-Account-Bytes-Used"));
}

QList<std::shared_ptr<CloudFilesContainer>> CloudFilesContainerRequest::containers() {
  if (xmlParserDelegate_ && xmlParserDelegate_->hasParsed()) return xmlParserDelegate_->containerObjects();
  if (!xmlParserDelegate_) xmlParserDelegate_ = std::make_unique<CloudFilesContainerXMLParserDelegate>();
  xmlParserDelegate_->parse(responseData());
  return xmlParserDelegate_->containerObjects();
}

}  // namespace cloud::cloudfiles
