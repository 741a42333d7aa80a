// The headers file of a cache entry: a dictionary in the XML property-list format (plist 1.0),
// which desktop tools read, holding strings, integers and reals.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QVariantMap>

#include <optional>
#include <utility>
#include <vector>

namespace cache {

// The XML text of `dictionary`. Values that are integers (int, qint64...) become <integer>,
// floating-point numbers <real>, booleans <true/>/<false/>, anything else <string>.
QByteArray writePropertyList(const QVariantMap& dictionary);

// The pairs of a dictionary in the order of the file, each value a QString, a qint64, a double or
// a bool (<string>, <integer>, <real>, <true/>/<false/>).
using PropertyListEntries = std::vector<std::pair<QString, QVariant>>;

// The dictionary in `xml`: a <plist> whose one child is a <dict> of <key> and <string>,
// <integer>, <real>, <true/> or <false/> pairs. Nothing when the text is not such a document
// (malformed XML, another root, a key without a value, a nested container...), so that a
// damaged file is never taken for an entry. A key given twice keeps its last value.
std::optional<QVariantMap> readPropertyList(const QByteArray& xml);
// The same dictionary as its pairs in file order (a key given twice appears twice), for a reader
// that makes its own kind of map.
std::optional<PropertyListEntries> readPropertyListEntries(QByteArrayView xml);

}  // namespace cache
