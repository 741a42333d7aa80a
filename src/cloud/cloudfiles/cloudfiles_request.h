// The base of the Cloud Files storage requests: the class-wide account credentials, the token
// authentication that fills the shared access details, and the service's dates.
#pragma once

#include "http/http_request.h"

#include <QDateTime>
#include <QString>

namespace cloud::cloudfiles {

// A Cloud Files request: an HTTPRequest carrying the shared authentication token. The access
// details (user name, API key, and the token and URLs that authenticate() fills) are class-wide,
// guarded by one recursive lock. The API key and the token are sent in headers only: they never
// appear in a log line or an error text.
// Thread: any; authenticate() runs a synchronous request on the calling thread.
class CloudFilesRequest : public http::HTTPRequest {
  PLATFORM_OBJECT
 public:
  explicit CloudFilesRequest(const QUrl& url);

  // ---- Class-wide access details (under accessDetailsLock) -------------------------------------
  static QString username();
  static void setUsername(const QString& name);
  static QString apiKey();
  static void setApiKey(const QString& key);
  static QString authToken();
  static QString storageURL();
  static QString cdnManagementURL();
  // Sets the details authenticate() fills, for a caller that kept them from an earlier session.
  static void setAccessDetails(const QString& authToken, const QString& storageURL,
                               const QString& cdnManagementURL);
  // The authentication endpoint (a v1.0 token service). Set it before authenticating: the
  // default names no real host.
  static QUrl authenticationURL();
  static void setAuthenticationURL(const QUrl& url);

  // A plain request for the endpoint with "X-Auth-User" and "X-Auth-Key".
  static std::shared_ptr<http::HTTPRequest> authenticationRequest();
  // Runs the authentication request synchronously (holding the lock, so concurrent callers wait
  // for one another) and, on success, keeps the token and the storage and CDN management URLs.
  // Returns the request's error; a refusal without one (any status but 2xx, or no token) is
  // reported as the engine's authentication error (code 3).
  static platform::ErrorPtr authenticate();

  // A listing date ("yyyy-MM-dd'T'H:mm:ss.SSSSSS", read as UTC); invalid when it does not parse.
  static QDateTime dateFromString(const QString& text);
  // `name` escaped for use as one or more path segments of a URL ("/" kept).
  static QString escapedPath(const QString& name);

 protected:
  // Sets the method and the token header; used by every constructor of the family.
  void prepare(const QString& method);
  std::shared_ptr<http::HTTPRequest> makeRequestOfSameClass(const QUrl& url) const override;
};

}  // namespace cloud::cloudfiles
