// The base of the S3 storage requests: the shared keys, the service host and addressing style,
// request signing (signature version 2, HMAC-SHA1), dates and the service's XML error answers.
#pragma once

#include "http/http_request.h"

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>

class QXmlStreamReader;

namespace cloud::s3 {

inline const QString S3RequestSchemeHTTP = QStringLiteral("http");
inline const QString S3RequestSchemeHTTPS = QStringLiteral("https");

inline const QString S3AccessPolicyPrivate = QStringLiteral("private");
inline const QString S3AccessPolicyPublicRead = QStringLiteral("public-read");
inline const QString S3AccessPolicyPublicReadWrite = QStringLiteral("public-read-write");
inline const QString S3AccessPolicyAuthenticatedRead = QStringLiteral("authenticated-read");
inline const QString S3AccessPolicyBucketOwnerRead = QStringLiteral("bucket-owner-read");
inline const QString S3AccessPolicyBucketOwnerFullControl = QStringLiteral("bucket-owner-full-control");

inline const QString S3StorageClassStandard = QStringLiteral("STANDARD");
inline const QString S3StorageClassReducedRedundancy = QStringLiteral("REDUCED_REDUNDANCY");

// A request to an S3 service. It builds its own URL when it starts without one, signs itself
// while its headers are built (the "Date", x-amz and "Authorization" headers) and turns the
// service's XML error answers into failures. Subclasses name what is addressed (service,
// bucket, object) and read their listings.
//
// Addressing. By default a bucket is addressed as a host name of its own
// ("scheme://bucket.host/key"), as the service documents. Choose path-style addressing
// (setUsesPathStyleAddressing(true): "scheme://host/bucket/key") for stores reached by IP address
// or on a private host whose bucket subdomains do not resolve (a local test store, most
// self-hosted S3-compatible stores); both sign the same canonical resource.
//
// Thread: configured on the caller's thread, run like any request; the class-wide settings may be
// read and written from any thread. The secret key is used for signing only: it never appears in
// a header, a log line or an error text.
class S3Request : public http::HTTPRequest {
  PLATFORM_OBJECT
 public:
  explicit S3Request(const QUrl& url = QUrl());

  // ---- Class-wide settings ---------------------------------------------------------------------
  static QString sharedAccessKey();
  static void setSharedAccessKey(const QString& key);
  static QString sharedSecretAccessKey();
  static void setSharedSecretAccessKey(const QString& key);
  // The service host, "name" or "name:port" (default "s3.amazonaws.com").
  static QString S3Host();
  static void setS3Host(const QString& host);
  // Path-style addressing for every request built afterwards (default off: virtual hosts).
  static bool usesPathStyleAddressing();
  static void setUsesPathStyleAddressing(bool pathStyle);

  // ---- Helpers -----------------------------------------------------------------------------------
  // A key as a URL path: "/" for none; otherwise percent-escaped as UTF-8 so that only ASCII
  // letters, digits, "-", "_", "." and "/" stay as they are, with "/" put in front.
  static QString stringByURLEncodingForS3Path(const QString& key);
  // `date` as the "Date" header wants it ("EEE, d MMM yyyy HH:mm:ss Z" in UTC, C locale).
  static QString requestDateString(const QDateTime& date);
  // A date of a listing ("yyyy-MM-dd'T'HH:mm:ss'.000Z'", UTC); invalid when it does not parse.
  static QDateTime dateFromResponseString(const QString& text);
  // The 20-byte HMAC-SHA1 of the UTF-8 bytes of `text` keyed with the UTF-8 bytes of `key`.
  static QByteArray HMACSHA1withKey(const QString& key, const QString& text);

  // ---- Engine operations -------------------------------------------------------------------------
  // Builds the URL when there is none, refuses names that would change the request (code 6),
  // then runs the request as the engine does.
  void main() override;
  // The engine's headers, then the signature (once).
  void buildRequestHeaders() override;
  std::shared_ptr<http::HTTPRequest> HEADRequest() override;
  std::shared_ptr<http::HTTPRequest> copy() const override;

  // Reads the finished response: an "application/xml" body is parsed (errors become failures, a
  // "RequestTimeout" answer is retried once on a new connection). A refusal (status 400 or
  // above) that carried no readable message fails with code 2 naming the status. Returns true
  // when the request is to be reported as finished (no failure, no retry under way).
  bool handleResponse();

  // The URL this request addresses (what main() sets when the request has none).
  virtual QUrl buildURL() const;
  // The resource part of the string to sign.
  virtual QString canonicalResource() const;
  // The x-amz headers to send and sign, by lower-cased name.
  virtual QMap<QString, QString> S3Headers() const;
  // The string signed by the last buildRequestHeaders().
  const QString& stringToSign() const { return stringToSign_; }

  // ---- Fields ------------------------------------------------------------------------------------
  HTTP_REQUEST_PROPERTY(QString, dateString, setDateString);
  HTTP_REQUEST_PROPERTY(QString, accessKey, setAccessKey);
  HTTP_REQUEST_PROPERTY(QString, secretAccessKey, setSecretAccessKey);
  HTTP_REQUEST_PROPERTY(QString, accessPolicy, setAccessPolicy);
  HTTP_REQUEST_PROPERTY(QString, requestScheme, setRequestScheme) = S3RequestSchemeHTTP;
  HTTP_REQUEST_PROPERTY(QString, currentXMLElementContent, setCurrentXMLElementContent);
  HTTP_REQUEST_PROPERTY(QStringList, currentXMLElementStack, setCurrentXMLElementStack);

 public:
  // "scheme://host" or "scheme://bucket.host" (by the addressing style) followed by `path`
  // (already escaped), for subclasses building URLs.
  QString baseURLString(const QString& bucket) const;

 protected:
  std::shared_ptr<http::HTTPRequest> makeRequestOfSameClass(const QUrl& url) const override;
  // Copies this class's configuration into `target` (a request of this or a derived class).
  void copyS3FieldsTo(S3Request& target) const;
  void requestFinished() override;
  void markAsFinished() override;

  // The content type an object PUT signs and sends; null for every other request.
  virtual QString contentTypeToSign();
  // Names given by the caller that would end up in the request line or a header as they are;
  // the request is refused when one holds CR, LF or NUL.
  virtual QStringList namesToCheck() const;

  // XML handling. The parse loop keeps the current content (emptied at each start) and the
  // element stack (the element is pushed before startElement and popped after endElement);
  // subclasses override these and pass what they do not handle to the base.
  virtual void startElement(const QString& name);
  virtual void endElement(const QString& name);
  // The name below the top of the element stack ("" when none).
  QString parentElement() const;
  // Stops the parse (a retry started).
  bool abortParse_ = false;

 private:
  bool parseResponseXML(const QByteArray& body);

  QString stringToSign_;
  bool retryStarted_ = false;  // a "RequestTimeout" retry is under way: not finished yet
};

}  // namespace cloud::s3
