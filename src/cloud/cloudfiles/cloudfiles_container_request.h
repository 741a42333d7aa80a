// Cloud Files account requests: account information and the container list, creating and
// deleting containers.
#pragma once

#include "cloud/cloudfiles/cloudfiles_records.h"
#include "cloud/cloudfiles/cloudfiles_request.h"

namespace cloud::cloudfiles {

// A request on the account's storage URL. Thread: as CloudFilesRequest.
class CloudFilesContainerRequest : public CloudFilesRequest {
  PLATFORM_OBJECT
 public:
  explicit CloudFilesContainerRequest(const QUrl& url) : CloudFilesRequest(url) {}

  // "<storage URL>/<container><query>", or "<storage URL><query>" without a container.
  static std::shared_ptr<CloudFilesContainerRequest> storageRequestWithMethod(
      const QString& method, const QString& containerName, const QString& queryString);
  static std::shared_ptr<CloudFilesContainerRequest> storageRequestWithMethod(const QString& method,
                                                                              const QString& queryString);
  static std::shared_ptr<CloudFilesContainerRequest> storageRequestWithMethod(const QString& method);
  static std::shared_ptr<CloudFilesContainerRequest> accountInfoRequest();
  static std::shared_ptr<CloudFilesContainerRequest> listRequest();
  // "?format=xml", then "&limit=N" unless the limit is 0, then "&marker=M" when one is given.
  static std::shared_ptr<CloudFilesContainerRequest> listRequestWithLimit(int limit, const QString& marker);
  static std::shared_ptr<CloudFilesContainerRequest> createContainerRequest(const QString& containerName);
  static std::shared_ptr<CloudFilesContainerRequest> deleteContainerRequest(const QString& containerName);

  // From the finished response: "X-Account-Container-Count", "X-Account-Bytes-Used".
  quint64 containerCount() const;
  quint64 bytesUsed() const;
  // The parsed listing (parsed once, on the first call).
  QList<std::shared_ptr<CloudFilesContainer>> containers();

 protected:
  std::shared_ptr<http::HTTPRequest> makeRequestOfSameClass(const QUrl& url) const override;

 private:
  std::unique_ptr<CloudFilesContainerXMLParserDelegate> xmlParserDelegate_;
};

// The number in response header `name` of a finished request (0 when absent).
quint64 headerNumber(const http::HTTPRequest& request, const QString& name);
// The value of the first of `names` present in the finished response's headers.
QString headerValue(const http::HTTPRequest& request, std::initializer_list<const char*> names);

}  // namespace cloud::cloudfiles
