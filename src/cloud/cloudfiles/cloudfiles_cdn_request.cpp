// CDN management requests of Cloud Files and the reading of their answers.
#include "cloud/cloudfiles/cloudfiles_cdn_request.h"

#include "cloud/cloudfiles/cloudfiles_container_request.h"

namespace cloud::cloudfiles {

bool textBoolValue(const QString& text) {
  qsizetype i = 0;
  while (i < text.size() && text.at(i).isSpace()) ++i;
  if (i < text.size() && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-'))) ++i;
  while (i < text.size() && text.at(i) == QLatin1Char('0')) ++i;
  if (i >= text.size()) return false;
  const QChar c = text.at(i);
  return c == QLatin1Char('Y') || c == QLatin1Char('y') || c == QLatin1Char('T') ||
         c == QLatin1Char('t') || (c >= QLatin1Char('1') && c <= QLatin1Char('9'));
}

const platform::MethodTable& CloudFilesCDNRequest::classMethods() {
  static const platform::MethodTable table(&CloudFilesRequest::classMethods(), {});
  return table;
}

std::shared_ptr<http::HTTPRequest> CloudFilesCDNRequest::makeRequestOfSameClass(const QUrl& url) const {
  return std::make_shared<CloudFilesCDNRequest>(url);
}

std::shared_ptr<CloudFilesCDNRequest> CloudFilesCDNRequest::cdnRequestWithMethod(const QString& method,
                                                                                  const QString& query) {
  auto request = std::make_shared<CloudFilesCDNRequest>(QUrl(cdnManagementURL() + query));
  request->prepare(method);
  return request;
}

std::shared_ptr<CloudFilesCDNRequest> CloudFilesCDNRequest::cdnRequestWithMethodForContainer(
    const QString& method, const QString& containerName) {
  auto request = std::make_shared<CloudFilesCDNRequest>(
      QUrl(QStringLiteral("%1/%2").arg(cdnManagementURL(), escapedPath(containerName))));
  request->prepare(method);
  request->setContainerName(containerName);
  return request;
}

std::shared_ptr<CloudFilesCDNRequest> CloudFilesCDNRequest::containerInfoRequest(const QString& containerName) {
  return cdnRequestWithMethodForContainer(QStringLiteral("HEAD"), containerName);
}

std::shared_ptr<CloudFilesCDNRequest> CloudFilesCDNRequest::listRequest() {
  return cdnRequestWithMethod(QStringLiteral("GET"), QStringLiteral("?format=xml"));
}

std::shared_ptr<CloudFilesCDNRequest> CloudFilesCDNRequest::listRequestWithLimit(int limit, const QString& marker,
                                                                                  bool enabledOnly) {
  QString query = QStringLiteral("?format=xml");
  if (limit != 0) query += QStringLiteral("&limit=%1").arg(limit);
  if (!marker.isEmpty()) query += QStringLiteral("&marker=%1").arg(QString::fromLatin1(QUrl::toPercentEncoding(marker)));
  if (enabledOnly) query += QStringLiteral("&enabled_only=true");
  return cdnRequestWithMethod(QStringLiteral("GET"), query);
}

std::shared_ptr<CloudFilesCDNRequest> CloudFilesCDNRequest::putRequestWithContainer(const QString& containerName) {
  return cdnRequestWithMethodForContainer(QStringLiteral("PUT"), containerName);
}

std::shared_ptr<CloudFilesCDNRequest> CloudFilesCDNRequest::putRequestWithContainer(const QString& containerName,
                                                                                     int ttl) {
  auto request = putRequestWithContainer(containerName);
  request->addRequestHeader(QStringLiteral("X-Ttl"), QString::number(ttl));
  return request;
}

std::shared_ptr<CloudFilesCDNRequest> CloudFilesCDNRequest::postRequestWithContainer(const QString& containerName) {
  return cdnRequestWithMethodForContainer(QStringLiteral("POST"), containerName);
}

std::shared_ptr<CloudFilesCDNRequest> CloudFilesCDNRequest::postRequestWithContainer(const QString& containerName,
                                                                                      bool cdnEnabled, int ttl) {
  auto request = postRequestWithContainer(containerName);
  if (ttl != 0) request->addRequestHeader(QStringLiteral("X-Ttl"), QString::number(ttl));
  request->addRequestHeader(QStringLiteral("X-CDN-Enabled"), cdnEnabled ? QStringLiteral("True") : QStringLiteral("False"));
  return request;
}

bool CloudFilesCDNRequest::cdnEnabled() const {
  return textBoolValue(headerValue(*this, {"X-CDN-Enabled", "X-Cdn-Enabled"}));
}

QString CloudFilesCDNRequest::cdnURI() const { return headerValue(*this, {"X-CDN-URI", "X-Cdn-Uri"}); }

QString CloudFilesCDNRequest::cdnSSLURI() const {
  return headerValue(*this, {"X-CDN-SSL-URI", "X-Cdn-Ssl-Uri"});
}

quint64 CloudFilesCDNRequest::cdnTTL() const {
  return headerValue(*this, {"X-TTL", "X-Ttl"}).toULongLong();
}

QList<std::shared_ptr<CloudFilesContainer>> CloudFilesCDNRequest::containers() {
  if (xmlParserDelegate_ && xmlParserDelegate_->hasParsed()) return xmlParserDelegate_->containerObjects();
  if (!xmlParserDelegate_) xmlParserDelegate_ = std::make_unique<CloudFilesContainerXMLParserDelegate>();
  xmlParserDelegate_->parse(responseData());
  return xmlParserDelegate_->containerObjects();
}

}  // namespace cloud::cloudfiles
