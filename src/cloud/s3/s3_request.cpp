// The S3 request base: class-wide keys and host, URL escaping, dates, signing and the reading of
// the service's XML answers.
#include "cloud/s3/s3_request.h"

#include "cloud/xml_safety.h"

#include <QCryptographicHash>
#include <QFile>
#include <QLocale>
#include <QMessageAuthenticationCode>
#include <QTimeZone>
#include <QXmlStreamReader>

#include <mutex>

namespace cloud::s3 {
namespace {

struct SharedSettings {
  std::mutex lock;
  QString accessKey;
  QString secretAccessKey;
  QString host = QStringLiteral("s3.amazonaws.com");
  bool pathStyle = false;
};

SharedSettings& shared() {
  static SharedSettings settings;
  return settings;
}

// An error answer read into memory from a download file is never larger than this.
constexpr qint64 kMaxErrorBodyFromFile = 1 << 20;

}  // namespace

const platform::MethodTable& S3Request::classMethods() {
  static const platform::MethodTable table(&http::HTTPRequest::classMethods(), {});
  return table;
}

S3Request::S3Request(const QUrl& url) : http::HTTPRequest(url) {
  setPersistentConnectionTimeoutSeconds(20);
}

std::shared_ptr<http::HTTPRequest> S3Request::makeRequestOfSameClass(const QUrl& url) const {
  return std::make_shared<S3Request>(url);
}

// ---- Class-wide settings -----------------------------------------------------------------------

QString S3Request::sharedAccessKey() {
  std::lock_guard lock(shared().lock);
  return shared().accessKey;
}
void S3Request::setSharedAccessKey(const QString& key) {
  std::lock_guard lock(shared().lock);
  shared().accessKey = key;
}
QString S3Request::sharedSecretAccessKey() {
  std::lock_guard lock(shared().lock);
  return shared().secretAccessKey;
}
void S3Request::setSharedSecretAccessKey(const QString& key) {
  std::lock_guard lock(shared().lock);
  shared().secretAccessKey = key;
}
QString S3Request::S3Host() {
  std::lock_guard lock(shared().lock);
  return shared().host;
}
void S3Request::setS3Host(const QString& host) {
  std::lock_guard lock(shared().lock);
  shared().host = host;
}
bool S3Request::usesPathStyleAddressing() {
  std::lock_guard lock(shared().lock);
  return shared().pathStyle;
}
void S3Request::setUsesPathStyleAddressing(bool pathStyle) {
  std::lock_guard lock(shared().lock);
  shared().pathStyle = pathStyle;
}

// ---- Helpers -------------------------------------------------------------------------------------

QString S3Request::stringByURLEncodingForS3Path(const QString& key) {
  if (key.isEmpty()) return QStringLiteral("/");
  // toPercentEncoding leaves letters, digits and "-._~" alone: "~" is escaped as well, "/" kept.
  QString path = QString::fromLatin1(QUrl::toPercentEncoding(key, "/", "~"));
  if (!path.startsWith(QLatin1Char('/'))) path.prepend(QLatin1Char('/'));
  return path;
}

QString S3Request::requestDateString(const QDateTime& date) {
  return QLocale::c().toString(date.toUTC(), QStringLiteral("ddd, d MMM yyyy HH:mm:ss")) +
         QStringLiteral(" +0000");
}

QDateTime S3Request::dateFromResponseString(const QString& text) {
  QDateTime date = QLocale::c().toDateTime(text, QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'.000Z'"));
  if (!date.isValid()) return {};
  date.setTimeZone(QTimeZone::utc());
  return date;
}

QByteArray S3Request::HMACSHA1withKey(const QString& key, const QString& text) {
  return QMessageAuthenticationCode::hash(text.toUtf8(), key.toUtf8(), QCryptographicHash::Sha1);
}

QString S3Request::baseURLString(const QString& bucket) const {
  if (bucket.isEmpty()) return QStringLiteral("%1://%2").arg(requestScheme(), S3Host());
  if (usesPathStyleAddressing()) {
    return QStringLiteral("%1://%2/%3").arg(requestScheme(), S3Host(), bucket);
  }
  return QStringLiteral("%1://%2.%3").arg(requestScheme(), bucket, S3Host());
}

// ---- What is addressed (the service itself here) ------------------------------------------------

QUrl S3Request::buildURL() const { return QUrl(baseURLString({}), QUrl::StrictMode); }

QString S3Request::canonicalResource() const { return QStringLiteral("/"); }

QMap<QString, QString> S3Request::S3Headers() const {
  QMap<QString, QString> headers;
  if (!accessPolicy().isEmpty()) headers.insert(QStringLiteral("x-amz-acl"), accessPolicy());
  return headers;
}

QString S3Request::contentTypeToSign() { return {}; }

QStringList S3Request::namesToCheck() const { return {}; }

// ---- Engine operations ---------------------------------------------------------------------------

void S3Request::main() {
  for (const QString& name : namesToCheck()) {
    if (name.contains(QLatin1Char('\r')) || name.contains(QLatin1Char('\n')) ||
        name.contains(QChar(0))) {
      // Sent as they are, these would end the request line or a header early.
      failWithError(http::makeRequestError(
          http::InternalErrorWhileBuildingRequestType,
          QStringLiteral("Unable to create request (a bucket or key holds CR, LF or NUL)")));
      return;
    }
  }
  if (url().isEmpty()) setURL(buildURL());
  http::HTTPRequest::main();
}

void S3Request::buildRequestHeaders() {
  if (haveBuiltRequestHeaders()) return;
  if (url().isEmpty()) setURL(buildURL());
  http::HTTPRequest::buildRequestHeaders();

  if (accessKey().isEmpty()) setAccessKey(sharedAccessKey());
  if (secretAccessKey().isEmpty()) setSecretAccessKey(sharedSecretAccessKey());
  if (dateString().isEmpty()) setDateString(requestDateString(QDateTime::currentDateTimeUtc()));
  addRequestHeader(QStringLiteral("Date"), dateString());

  // QMap keeps the lower-cased names in order.
  QString canonicalHeaders;
  const QMap<QString, QString> amz = S3Headers();
  for (auto it = amz.cbegin(); it != amz.cend(); ++it) {
    canonicalHeaders += QStringLiteral("%1:%2\n").arg(it.key().toLower(), it.value());
    addRequestHeader(it.key(), it.value());
  }

  const QString method = requestMethod();
  const QString contentType = contentTypeToSign();
  if (!contentType.isNull()) {
    addRequestHeader(QStringLiteral("Content-Type"), contentType);
    stringToSign_ = QStringLiteral("PUT\n\n%1\n%2\n%3%4")
                        .arg(contentType, dateString(), canonicalHeaders, canonicalResource());
  } else {
    stringToSign_ = QStringLiteral("%1\n\n\n%2\n%3%4")
                        .arg(method, dateString(), canonicalHeaders, canonicalResource());
  }
  // A PUT without a body still says so: stores answer 411 to a PUT of unknown length.
  if ((method == QLatin1String("PUT") || method == QLatin1String("POST")) && postLength() == 0 &&
      !requestHeaders().contains(QStringLiteral("Content-Length"))) {
    addRequestHeader(QStringLiteral("Content-Length"), QStringLiteral("0"));
  }
  const QString signature =
      http::HTTPRequest::base64forData(HMACSHA1withKey(secretAccessKey(), stringToSign_));
  addRequestHeader(QStringLiteral("Authorization"),
                   QStringLiteral("AWS %1:%2").arg(accessKey(), signature));
}

std::shared_ptr<http::HTTPRequest> S3Request::HEADRequest() {
  auto head = http::HTTPRequest::HEADRequest();
  if (auto s3 = std::dynamic_pointer_cast<S3Request>(head)) {
    s3->setAccessKey(accessKey());
    s3->setSecretAccessKey(secretAccessKey());
    s3->setRequestScheme(requestScheme());
    // The measured request's signature covers its own method: the HEAD signs itself.
    s3->setHaveBuiltRequestHeaders(false);
  }
  return head;
}

void S3Request::copyS3FieldsTo(S3Request& target) const {
  target.setAccessKey(accessKey());
  target.setSecretAccessKey(secretAccessKey());
  target.setRequestScheme(requestScheme());
  target.setAccessPolicy(accessPolicy());
}

std::shared_ptr<http::HTTPRequest> S3Request::copy() const {
  auto c = http::HTTPRequest::copy();
  if (auto s3 = std::dynamic_pointer_cast<S3Request>(c)) copyS3FieldsTo(*s3);
  return c;
}

// ---- Responses -------------------------------------------------------------------------------------

void S3Request::requestFinished() {
  if (handleResponse()) http::HTTPRequest::requestFinished();
}

void S3Request::markAsFinished() {
  // The transfer that answered "RequestTimeout" ended, but its retry is running.
  if (std::exchange(retryStarted_, false)) return;
  http::HTTPRequest::markAsFinished();
}

bool S3Request::handleResponse() {
  const platform::StringMap headers = responseHeaders().value_or(platform::StringMap());
  if (headers.value(QStringLiteral("Content-Type")) == QLatin1String("application/xml")) {
    QByteArray body = rawResponseData().value_or(QByteArray());
    if (body.isEmpty() && !downloadDestinationPath().isEmpty() && responseStatusCode() >= 400) {
      // An error answer went to the download file: read it back for its message.
      QFile file(downloadDestinationPath());
      if (file.open(QIODevice::ReadOnly)) body = file.read(kMaxErrorBodyFromFile);
    }
    // A HEAD answer (or an empty one) has nothing to read: its status speaks for it.
    if (!body.isEmpty() && !parseResponseXML(body)) return false;
  }
  if (error()) return false;
  if (responseStatusCode() >= 400) {
    failWithError(http::makeRequestError(
        http::RequestTimedOutErrorType,
        QStringLiteral("The service refused the request (HTTP status %1)").arg(responseStatusCode())));
    return false;
  }
  return true;
}

bool S3Request::parseResponseXML(const QByteArray& body) {
  QXmlStreamReader reader(body);
  reader.setNamespaceProcessing(false);
  setCurrentXMLElementStack({});
  abortParse_ = false;
  while (!reader.atEnd() && !abortParse_) {
    reader.readNext();
    if (!cloud::refuseUnsafeXML(reader)) break;
    switch (reader.tokenType()) {
      case QXmlStreamReader::StartElement: {
        setCurrentXMLElementContent(QString());
        QStringList stack = currentXMLElementStack();
        stack.append(reader.name().toString());
        setCurrentXMLElementStack(stack);
        startElement(reader.name().toString());
        break;
      }
      case QXmlStreamReader::Characters:
        setCurrentXMLElementContent(currentXMLElementContent() + reader.text().toString());
        break;
      case QXmlStreamReader::EndElement: {
        // The element is still on top of the stack while it is handled.
        endElement(reader.name().toString());
        QStringList stack = currentXMLElementStack();
        if (!stack.isEmpty()) stack.removeLast();
        setCurrentXMLElementStack(stack);
        break;
      }
      default:
        break;
    }
  }
  if (abortParse_) {
    abortParse_ = false;
    return false;  // a retry is under way
  }
  if (reader.hasError()) {
    auto underlying = platform::Error::make(QStringLiteral("XMLParserErrorDomain"), reader.error(),
                                            reader.errorString());
    failWithError(http::makeRequestError(http::ConnectionFailureErrorType,
                                         QStringLiteral("Parsing the resposnse failed"), underlying));
    return false;
  }
  return true;
}

QString S3Request::parentElement() const {
  const QStringList& stack = currentXMLElementStack();
  return stack.size() >= 2 ? stack.at(stack.size() - 2) : QString();
}

void S3Request::startElement(const QString&) {}

void S3Request::endElement(const QString& name) {
  if (name == QLatin1String("Message")) {
    failWithError(http::makeRequestError(http::RequestTimedOutErrorType, currentXMLElementContent()));
  } else if (name == QLatin1String("Code") &&
             currentXMLElementContent() == QLatin1String("RequestTimeout")) {
    retryStarted_ = true;
    if (retryOnNewConnection()) {
      abortParse_ = true;
    } else {
      retryStarted_ = false;
    }
  }
}

}  // namespace cloud::s3
