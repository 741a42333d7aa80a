// Cloud Files access details, token authentication and dates.
#include "cloud/cloudfiles/cloudfiles_request.h"

#include <QLocale>
#include <QTimeZone>

#include <mutex>

namespace cloud::cloudfiles {
namespace {

struct AccessDetails {
  std::recursive_mutex accessDetailsLock;
  QString username;
  QString apiKey;
  QString authToken;
  QString storageURL;
  QString cdnManagementURL;
  QUrl authenticationURL = QUrl(QStringLiteral("https://auth.cloudfiles.invalid/v1.0"));
};

AccessDetails& details() {
  static AccessDetails d;
  return d;
}

}  // namespace

const platform::MethodTable& CloudFilesRequest::classMethods() {
  static const platform::MethodTable table(&http::HTTPRequest::classMethods(), {});
  return table;
}

CloudFilesRequest::CloudFilesRequest(const QUrl& url) : http::HTTPRequest(url) {}

std::shared_ptr<http::HTTPRequest> CloudFilesRequest::makeRequestOfSameClass(const QUrl& url) const {
  return std::make_shared<CloudFilesRequest>(url);
}

QString CloudFilesRequest::username() {
  std::lock_guard lock(details().accessDetailsLock);
  return details().username;
}
void CloudFilesRequest::setUsername(const QString& name) {
  std::lock_guard lock(details().accessDetailsLock);
  details().username = name;
}
QString CloudFilesRequest::apiKey() {
  std::lock_guard lock(details().accessDetailsLock);
  return details().apiKey;
}
void CloudFilesRequest::setApiKey(const QString& key) {
  std::lock_guard lock(details().accessDetailsLock);
  details().apiKey = key;
}
QString CloudFilesRequest::authToken() {
  std::lock_guard lock(details().accessDetailsLock);
  return details().authToken;
}
QString CloudFilesRequest::storageURL() {
  std::lock_guard lock(details().accessDetailsLock);
  return details().storageURL;
}
QString CloudFilesRequest::cdnManagementURL() {
  std::lock_guard lock(details().accessDetailsLock);
  return details().cdnManagementURL;
}
void CloudFilesRequest::setAccessDetails(const QString& authToken, const QString& storageURL,
                                         const QString& cdnManagementURL) {
  std::lock_guard lock(details().accessDetailsLock);
  details().authToken = authToken;
  details().storageURL = storageURL;
  details().cdnManagementURL = cdnManagementURL;
}
QUrl CloudFilesRequest::authenticationURL() {
  std::lock_guard lock(details().accessDetailsLock);
  return details().authenticationURL;
}
void CloudFilesRequest::setAuthenticationURL(const QUrl& url) {
  std::lock_guard lock(details().accessDetailsLock);
  details().authenticationURL = url;
}

std::shared_ptr<http::HTTPRequest> CloudFilesRequest::authenticationRequest() {
  std::lock_guard lock(details().accessDetailsLock);
  auto request = http::HTTPRequest::requestWithURL(details().authenticationURL);
  request->addRequestHeader(QStringLiteral("X-Auth-User"), details().username);
  request->addRequestHeader(QStringLiteral("X-Auth-Key"), details().apiKey);
  return request;
}

platform::ErrorPtr CloudFilesRequest::authenticate() {
  std::lock_guard lock(details().accessDetailsLock);
  auto request = authenticationRequest();
  request->startSynchronous();
  if (request->error()) return request->error();
  const platform::StringMap headers = request->responseHeaders().value_or(platform::StringMap());
  const QString token = headers.value(QStringLiteral("X-Auth-Token"));
  const int status = request->responseStatusCode();
  // A refusal the engine did not treat as a failure is one all the same.
  if (status < 200 || status >= 300 || token.isEmpty()) return http::AuthenticationError();
  details().authToken = token;
  details().storageURL = headers.value(QStringLiteral("X-Storage-Url"));
  // The dictionary holds names in their usual capitalisation; both spellings are looked at.
  QString cdn = headers.value(QStringLiteral("X-CDN-Management-Url"));
  if (cdn.isEmpty()) cdn = headers.value(QStringLiteral("X-Cdn-Management-Url"));
  details().cdnManagementURL = cdn;
  return nullptr;
}

QDateTime CloudFilesRequest::dateFromString(const QString& text) {
  // Microseconds do not fit Qt's patterns: the fraction is read apart and kept to milliseconds.
  const qsizetype dot = text.indexOf(QLatin1Char('.'));
  const QString whole = dot < 0 ? text : text.left(dot);
  QDateTime date = QLocale::c().toDateTime(whole, QStringLiteral("yyyy-MM-dd'T'H:mm:ss"));
  if (!date.isValid()) return {};
  date.setTimeZone(QTimeZone::utc());
  if (dot >= 0) {
    const QString fraction = (text.mid(dot + 1) + QStringLiteral("000")).left(3);
    bool ok = false;
    const int ms = fraction.toInt(&ok);
    if (!ok) return {};
    date = date.addMSecs(ms);
  }
  return date;
}

QString CloudFilesRequest::escapedPath(const QString& name) {
  return QString::fromLatin1(QUrl::toPercentEncoding(name, "/"));
}

void CloudFilesRequest::prepare(const QString& method) {
  setRequestMethod(method);
  addRequestHeader(QStringLiteral("X-Auth-Token"), authToken());
}

}  // namespace cloud::cloudfiles
