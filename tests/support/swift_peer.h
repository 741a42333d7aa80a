// The object store the cloud storage tests talk to: started once per test run by
// swift_peer.py (a CTest fixture), read here from the address file it writes.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>

#include <optional>

namespace testsupport {

// Where the running store and its CDN stand-in listen. Users: test:tester / testing and
// test:tester2 / testing2 (the access and secret keys of the S3 side too).
struct SwiftPeer {
  quint16 proxyPort = 0;
  quint16 cdnPort = 0;
  QString cdnLog;  // one JSON line per request the CDN stand-in received

  // Reads `<dir>/peer.env`; nothing when the store is not running.
  static std::optional<SwiftPeer> read(const QString& dir);

  // "127.0.0.1:<port>" of the proxy (the S3 host).
  QString s3Host() const;
  // The token endpoint, through the CDN stand-in (which adds the CDN management URL).
  QUrl authURL() const;
};

// An object as the store's own client reads it back (python3-swiftclient, token auth).
struct StoredObject {
  bool found = false;
  QByteArray sha256;                 // hex digest of the body
  qint64 length = -1;
  QMap<QString, QString> metadata;   // X-Object-Meta-* by lower-cased name without the prefix
  QString contentType;
  QString error;                     // what the client said when it failed
};
StoredObject readWithSwiftClient(const SwiftPeer& peer, const QString& container, const QString& object);

}  // namespace testsupport
