// Cloud Files CDN management requests: the CDN-enabled container list, a container's CDN
// settings, enabling a container (with a time to live) and changing its settings.
#pragma once

#include "cloud/cloudfiles/cloudfiles_records.h"
#include "cloud/cloudfiles/cloudfiles_request.h"

namespace cloud::cloudfiles {

// A request on the CDN management URL. Response headers are read in both spellings the service
// has used ("X-CDN-Enabled" and "X-Cdn-Enabled"...). Thread: as CloudFilesRequest.
class CloudFilesCDNRequest : public CloudFilesRequest {
  PLATFORM_OBJECT
 public:
  explicit CloudFilesCDNRequest(const QUrl& url) : CloudFilesRequest(url) {}

  // "<CDN management URL><query>".
  static std::shared_ptr<CloudFilesCDNRequest> cdnRequestWithMethod(const QString& method, const QString& query);
  // "<CDN management URL>/<container>".
  static std::shared_ptr<CloudFilesCDNRequest> cdnRequestWithMethodForContainer(const QString& method,
                                                                                const QString& containerName);
  static std::shared_ptr<CloudFilesCDNRequest> containerInfoRequest(const QString& containerName);
  static std::shared_ptr<CloudFilesCDNRequest> listRequest();
  // "?format=xml", "&limit=N" unless 0, "&marker=M" when given, "&enabled_only=true" when asked.
  static std::shared_ptr<CloudFilesCDNRequest> listRequestWithLimit(int limit, const QString& marker,
                                                                    bool enabledOnly);
  static std::shared_ptr<CloudFilesCDNRequest> putRequestWithContainer(const QString& containerName);
  // With "X-Ttl" (seconds).
  static std::shared_ptr<CloudFilesCDNRequest> putRequestWithContainer(const QString& containerName, int ttl);
  static std::shared_ptr<CloudFilesCDNRequest> postRequestWithContainer(const QString& containerName);
  // "X-Ttl" unless 0, and "X-CDN-Enabled" "True" or "False".
  static std::shared_ptr<CloudFilesCDNRequest> postRequestWithContainer(const QString& containerName,
                                                                        bool cdnEnabled, int ttl);

  // From the finished response.
  bool cdnEnabled() const;
  QString cdnURI() const;
  QString cdnSSLURI() const;
  quint64 cdnTTL() const;
  // The parsed CDN listing (parsed once, on the first call).
  QList<std::shared_ptr<CloudFilesContainer>> containers();

  HTTP_REQUEST_PROPERTY(QString, accountName, setAccountName);
  HTTP_REQUEST_PROPERTY(QString, containerName, setContainerName);

 protected:
  std::shared_ptr<http::HTTPRequest> makeRequestOfSameClass(const QUrl& url) const override;

 private:
  std::unique_ptr<CloudFilesContainerXMLParserDelegate> xmlParserDelegate_;
};

// The truth value of a header text as the platform reads one: true when it starts (after
// blanks and an optional sign and zeros) with "Y", "y", "T", "t" or a digit 1-9.
bool textBoolValue(const QString& text);

}  // namespace cloud::cloudfiles
