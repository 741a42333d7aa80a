// Reading the object store's address file, and reading objects back with the store's own client.
#include "support/swift_peer.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

namespace testsupport {

std::optional<SwiftPeer> SwiftPeer::read(const QString& dir) {
  QFile file(dir + QStringLiteral("/peer.env"));
  if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
  SwiftPeer peer;
  for (const QByteArray& line : file.readAll().split('\n')) {
    const qsizetype eq = line.indexOf('=');
    if (eq < 0) continue;
    const QByteArray name = line.left(eq), value = line.mid(eq + 1).trimmed();
    if (name == "SWIFT_PROXY_PORT") peer.proxyPort = value.toUShort();
    else if (name == "CDN_PORT") peer.cdnPort = value.toUShort();
    else if (name == "CDN_LOG") peer.cdnLog = QString::fromUtf8(value);
  }
  if (peer.proxyPort == 0 || peer.cdnPort == 0) return std::nullopt;
  return peer;
}

QString SwiftPeer::s3Host() const { return QStringLiteral("127.0.0.1:%1").arg(proxyPort); }

QUrl SwiftPeer::authURL() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/auth/v1.0").arg(cdnPort)); }

StoredObject readWithSwiftClient(const SwiftPeer& peer, const QString& container, const QString& object) {
  static const char* kScript = R"(
import hashlib, json, sys, swiftclient
c = swiftclient.Connection(authurl=sys.argv[1], user="test:tester", key="testing", auth_version="1")
try:
    h, body = c.get_object(sys.argv[2], sys.argv[3])
except swiftclient.ClientException as e:
    print(json.dumps({"found": False, "error": str(e)})); sys.exit(0)
meta = {k[len("x-object-meta-"):]: v for k, v in h.items() if k.startswith("x-object-meta-")}
print(json.dumps({"found": True, "sha256": hashlib.sha256(body).hexdigest(), "length": len(body),
                  "meta": meta, "type": h.get("content-type", "")}))
)";
  StoredObject result;
  QProcess python;
  python.start(QStringLiteral("/usr/bin/python3"),
               {QStringLiteral("-c"), QString::fromLatin1(kScript),
                QStringLiteral("http://127.0.0.1:%1/auth/v1.0").arg(peer.proxyPort), container, object});
  if (!python.waitForFinished(60000)) {
    python.kill();
    python.waitForFinished(5000);
    result.error = QStringLiteral("the store's client did not finish");
    return result;
  }
  const QJsonObject json = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
  result.found = json.value(QStringLiteral("found")).toBool();
  result.error = json.value(QStringLiteral("error")).toString() + QString::fromUtf8(python.readAllStandardError());
  result.sha256 = json.value(QStringLiteral("sha256")).toString().toLatin1();
  result.length = json.value(QStringLiteral("length")).toInteger(-1);
  result.contentType = json.value(QStringLiteral("type")).toString();
  const QJsonObject meta = json.value(QStringLiteral("meta")).toObject();
  for (auto it = meta.begin(); it != meta.end(); ++it) result.metadata.insert(it.key(), it.value().toString());
  return result;
}

}  // namespace testsupport
