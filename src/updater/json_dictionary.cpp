// Fetching and writing JSON documents.
#include "updater/json_dictionary.h"

#include "http/transport/simple_loader.h"

#include <QJsonObject>
#include <QUrl>

namespace updater {

std::optional<QByteArray> contentsOfURLString(const QString& urlString, QString* whyNot) {
  auto fail = [whyNot](const QString& why) -> std::optional<QByteArray> {
    if (whyNot != nullptr) *whyNot = why;
    return std::nullopt;
  };
  if (urlString.isEmpty()) return fail(QStringLiteral("no address"));
  const QUrl url(urlString, QUrl::StrictMode);
  const QString scheme = url.scheme().toLower();
  // A manifest names only web addresses: never a local file or device of this machine.
  if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
      url.host().isEmpty()) {
    return fail(QStringLiteral("not an http or https address"));
  }
  QString loadProblem;
  std::optional<QByteArray> bytes = http::transport::SimpleLoader::load(
      url, &loadProblem, http::transport::SimpleLoader::kTimeoutSeconds, kMaxDocumentBytes);
  if (!bytes) return fail(loadProblem.isEmpty() ? QStringLiteral("nothing read") : loadProblem);
  if (bytes->isEmpty()) return fail(QStringLiteral("empty document"));
  return bytes;
}

std::optional<QJsonDocument> documentWithContentsOfURLString(const QString& urlString, QString* whyNot) {
  const std::optional<QByteArray> bytes = contentsOfURLString(urlString, whyNot);
  if (!bytes) return std::nullopt;
  QJsonParseError error{};
  QJsonDocument document = QJsonDocument::fromJson(*bytes, &error);
  if (error.error != QJsonParseError::NoError || document.isNull()) {
    if (whyNot != nullptr) {
      *whyNot = QStringLiteral("not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset);
    }
    return std::nullopt;
  }
  return document;
}

QVariant dictionaryWithContentsOfURLString(const QString& urlString) {
  const std::optional<QJsonDocument> document = documentWithContentsOfURLString(urlString);
  if (!document) return {};
  return document->toVariant();
}

QByteArray toJSON(const QVariantMap& dictionary) {
  return QJsonDocument(QJsonObject::fromVariantMap(dictionary)).toJson(QJsonDocument::Compact);
}

}  // namespace updater
