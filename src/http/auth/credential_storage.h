// The system credential store: user names and passwords kept by the desktop's Secret Service
// (over D-Bus), keyed by protection space. Never a plain file.
#pragma once

#include <QString>

#include <optional>

namespace http::auth {

// Where a credential applies: a server (host, port, URL scheme, realm) or a proxy (host, port,
// realm; the scheme is not part of it). Thread: any (a value).
struct ProtectionSpace {
  QString host;
  int port = 0;
  QString protocol;  // servers only
  QString realm;
  bool isProxy = false;
};

// A stored user name and password.
struct StoredCredential {
  QString username;
  QString password;
};

// Thread: any (each call talks to the service synchronously and may block briefly).
// Without a reachable Secret Service: saving does nothing and says so once in the log, reading
// finds nothing, removing does nothing.
class CredentialStorage {
 public:
  // Stores the credential, replacing any other for the same space. False when nothing was stored.
  static bool save(const ProtectionSpace& space, const StoredCredential& credential);
  static std::optional<StoredCredential> find(const ProtectionSpace& space);
  static void remove(const ProtectionSpace& space);
};

}  // namespace http::auth
