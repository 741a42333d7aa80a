// Fetching and writing JSON documents.
#include "updater/json_dictionary.h"

#include "http/transport/simple_loader.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace updater {

QVariant dictionaryWithContentsOfURLString(const QString& urlString) {
  if (urlString.isEmpty()) return {};
  const QUrl url(urlString, QUrl::StrictMode);
  if (!url.isValid() || url.scheme().isEmpty()) return {};
  const std::optional<QByteArray> bytes = http::transport::SimpleLoader::load(url);
  if (!bytes || bytes->isEmpty()) return {};
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(*bytes, &error);
  if (error.error != QJsonParseError::NoError || document.isNull()) return {};
  return document.toVariant();
}

QByteArray toJSON(const QVariantMap& dictionary) {
  return QJsonDocument(QJsonObject::fromVariantMap(dictionary)).toJson(QJsonDocument::Compact);
}

}  // namespace updater
