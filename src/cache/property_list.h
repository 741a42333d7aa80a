// The headers file of a cache entry: a dictionary in the XML property-list format (plist 1.0),
// which desktop tools read, holding strings, integers and reals.
#pragma once

#include <QByteArray>
#include <QVariantMap>

#include <optional>

namespace cache {

// The XML text of `dictionary`. Values that are integers (int, qint64...) become <integer>,
// floating-point numbers <real>, booleans <true/>/<false/>, anything else <string>.
QByteArray writePropertyList(const QVariantMap& dictionary);

// The dictionary in `xml`: a <plist> whose one child is a <dict> of <key> and <string>,
// <integer>, <real>, <true/> or <false/> pairs. Nothing when the text is not such a document
// (malformed XML, another root, a key without a value, a nested container...), so that a
// damaged file is never taken for an entry.
std::optional<QVariantMap> readPropertyList(const QByteArray& xml);

}  // namespace cache
