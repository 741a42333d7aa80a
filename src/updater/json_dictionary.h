// The two JSON helpers of the manifests: fetch a document from a URL and parse it, and write a
// dictionary out as JSON.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QVariantMap>

namespace updater {

// Fetches the whole resource at `urlString` with the simple loader and parses it as JSON (the
// top level must be an object or an array). Returns the parsed top-level value as it is (a
// QVariantMap or a QVariantList), or a null QVariant on any failure: no text, text that gives no
// URL, nothing read, or bytes that are not such JSON. Blocks the calling thread; any thread.
QVariant dictionaryWithContentsOfURLString(const QString& urlString);

// `dictionary` as compact JSON bytes (no white space); a null array when it cannot be written.
QByteArray toJSON(const QVariantMap& dictionary);

}  // namespace updater
