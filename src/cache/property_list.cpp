// The headers file's property-list format: written with Qt's XML writer, read strictly with its
// stream reader.
#include "cache/property_list.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace cache {

namespace {

bool isIntegerType(const QVariant& value) {
  switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::Short:
    case QMetaType::UShort:
      return true;
    default:
      return false;
  }
}

bool isRealType(const QVariant& value) {
  return value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Float;
}

}  // namespace

QByteArray writePropertyList(const QVariantMap& dictionary) {
  QByteArray out;
  QXmlStreamWriter xml(&out);
  xml.setAutoFormatting(true);
  xml.setAutoFormattingIndent(-1);  // one tab per level
  xml.writeStartDocument();
  xml.writeStartElement(QStringLiteral("plist"));
  xml.writeAttribute(QStringLiteral("version"), QStringLiteral("1.0"));
  xml.writeStartElement(QStringLiteral("dict"));
  for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it) {
    xml.writeTextElement(QStringLiteral("key"), it.key());
    const QVariant& value = it.value();
    if (value.typeId() == QMetaType::Bool) {
      xml.writeEmptyElement(value.toBool() ? QStringLiteral("true") : QStringLiteral("false"));
    } else if (isIntegerType(value)) {
      xml.writeTextElement(QStringLiteral("integer"), QString::number(value.toLongLong()));
    } else if (isRealType(value)) {
      // Seventeen significant digits give the double back exactly.
      xml.writeTextElement(QStringLiteral("real"), QString::number(value.toDouble(), 'g', 17));
    } else {
      xml.writeTextElement(QStringLiteral("string"), value.toString());
    }
  }
  xml.writeEndElement();
  xml.writeEndElement();
  xml.writeEndDocument();
  return out;
}

std::optional<QVariantMap> readPropertyList(const QByteArray& xml) {
  QXmlStreamReader reader(xml);
  if (!reader.readNextStartElement() || reader.name() != QLatin1String("plist")) return std::nullopt;
  if (!reader.readNextStartElement() || reader.name() != QLatin1String("dict")) return std::nullopt;
  QVariantMap dictionary;
  while (reader.readNextStartElement()) {
    if (reader.name() != QLatin1String("key")) return std::nullopt;
    const QString key = reader.readElementText();
    if (reader.hasError() || !reader.readNextStartElement()) return std::nullopt;
    const QStringView type = reader.name();
    if (type == QLatin1String("string")) {
      dictionary.insert(key, reader.readElementText());
    } else if (type == QLatin1String("integer")) {
      bool ok = false;
      const qint64 value = reader.readElementText().trimmed().toLongLong(&ok);
      if (!ok) return std::nullopt;
      dictionary.insert(key, value);
    } else if (type == QLatin1String("real")) {
      bool ok = false;
      const double value = reader.readElementText().trimmed().toDouble(&ok);
      if (!ok) return std::nullopt;
      dictionary.insert(key, value);
    } else if (type == QLatin1String("true") || type == QLatin1String("false")) {
      dictionary.insert(key, type == QLatin1String("true"));
      reader.skipCurrentElement();
    } else {
      return std::nullopt;
    }
    if (reader.hasError()) return std::nullopt;
  }
  if (reader.hasError()) return std::nullopt;
  // Only the end of the plist element and of the document may follow.
  if (!reader.readNextStartElement() && !reader.hasError()) {
    while (!reader.atEnd()) reader.readNext();
    if (!reader.hasError()) return dictionary;
  }
  return std::nullopt;
}

}  // namespace cache
