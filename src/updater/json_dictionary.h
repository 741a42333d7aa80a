// The two JSON helpers of the manifests: fetch a document from a URL and parse it, and write a
// dictionary out as JSON.
#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <optional>

namespace updater {

// Longest manifest document read: far above any real add-on list (a million entries fit), low
// enough that an endless or huge document fails clearly instead of exhausting memory.
inline constexpr qint64 kMaxDocumentBytes = 64 * 1024 * 1024;

// The bytes of the document at `urlString` (http and https only; a document longer than
// kMaxDocumentBytes is refused); nothing, with the reason in `whyNot`, when there are none.
// Blocks the calling thread; any thread.
std::optional<QByteArray> contentsOfURLString(const QString& urlString, QString* whyNot = nullptr);

// Fetches the JSON document at `urlString` as contentsOfURLString() does and parses it (the top
// level must be an object or an array).
// Returns the document, or nothing with the reason in `whyNot`. Blocks the calling thread; any
// thread.
std::optional<QJsonDocument> documentWithContentsOfURLString(const QString& urlString, QString* whyNot = nullptr);

// The same document's top-level value as it is (a QVariantMap or a QVariantList), or a null
// QVariant on any failure: no text, text that gives no http or https URL, nothing read, a document
// too long, or bytes that are not such JSON.
QVariant dictionaryWithContentsOfURLString(const QString& urlString);

// `dictionary` as compact JSON bytes (no white space); a null array when it cannot be written.
QByteArray toJSON(const QVariantMap& dictionary);

}  // namespace updater
