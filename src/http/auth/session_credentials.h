// An entry of the process-wide session credential stores: credentials that worked, with the
// authentication object they were applied with and what they were for.
#pragma once

#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <memory>

namespace http::auth {

class HttpAuthentication;

// Thread: any (a value; the stores that hold entries are guarded by the session lock).
struct SessionCredentials {
  // The object the credentials were applied with; null in a Basic entry made after credentials
  // sent before any challenge succeeded.
  std::shared_ptr<HttpAuthentication> authentication;
  // The credentials dictionary; entries are removed by identity of this dictionary (the one
  // applied to a request and the one stored are one shared map).
  QVariantMap credentials;
  QUrl url;                     // server entries: the request's URL
  QString host;                 // proxy entries: the proxy
  int port = 0;                 // proxy entries
  QString authenticationScheme; // "Basic", "Digest", "NTLM"
  QString authenticationRealm;  // server entries: only when the request had one
};

}  // namespace http::auth
