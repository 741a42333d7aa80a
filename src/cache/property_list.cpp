// The headers file's property-list format: written with Qt's XML writer, read strictly with its
// stream reader.
#include "cache/property_list.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <cstring>
#include <utility>

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

namespace {

// A quick reader for the files this program writes itself: an XML declaration, <plist>, <dict>,
// then <key> and value elements holding text with the five predefined entities, separated by
// white space, and nothing else. Anything else (comments, CDATA, a DOCTYPE, character
// references...) makes it give up, and the full XML reader decides.
class QuickReader {
 public:
  explicit QuickReader(const QByteArray& xml) : p_(xml.constData()), end_(p_ + xml.size()) {}

  std::optional<QVariantMap> read() {
    skipSpace();
    if (startsWith("<?xml")) {
      const char* close = find("?>");
      if (close == nullptr) return std::nullopt;
      p_ = close + 2;
    }
    skipSpace();
    if (!startsWith("<plist")) return std::nullopt;
    const char* tagEnd = find(">");
    if (tagEnd == nullptr || tagEnd[-1] == '/') return std::nullopt;
    p_ = tagEnd + 1;
    skipSpace();
    if (!tag("<dict>")) return std::nullopt;
    QVariantMap dictionary;
    for (;;) {
      skipSpace();
      if (tag("</dict>")) break;
      if (!tag("<key>")) return std::nullopt;
      std::optional<QString> key = text("</key>");
      if (!key) return std::nullopt;
      skipSpace();
      if (tag("<true/>")) {
        dictionary.insert(*key, true);
      } else if (tag("<false/>")) {
        dictionary.insert(*key, false);
      } else if (tag("<string>")) {
        std::optional<QString> value = text("</string>");
        if (!value) return std::nullopt;
        dictionary.insert(*key, *value);
      } else if (tag("<string/>")) {
        dictionary.insert(*key, QString());
      } else if (tag("<integer>")) {
        std::optional<QString> value = text("</integer>");
        bool ok = false;
        const qint64 number = value ? value->trimmed().toLongLong(&ok) : 0;
        if (!ok) return std::nullopt;
        dictionary.insert(*key, number);
      } else if (tag("<real>")) {
        std::optional<QString> value = text("</real>");
        bool ok = false;
        const double number = value ? value->trimmed().toDouble(&ok) : 0;
        if (!ok) return std::nullopt;
        dictionary.insert(*key, number);
      } else {
        return std::nullopt;
      }
    }
    skipSpace();
    if (!tag("</plist>")) return std::nullopt;
    skipSpace();
    if (p_ != end_) return std::nullopt;
    return dictionary;
  }

 private:
  bool startsWith(const char* literal) const {
    const size_t n = std::strlen(literal);
    return static_cast<size_t>(end_ - p_) >= n && std::memcmp(p_, literal, n) == 0;
  }
  bool tag(const char* literal) {
    if (!startsWith(literal)) return false;
    p_ += std::strlen(literal);
    return true;
  }
  const char* find(const char* literal) const {
    const size_t n = std::strlen(literal);
    for (const char* q = p_; static_cast<size_t>(end_ - q) >= n; ++q) {
      if (std::memcmp(q, literal, n) == 0) return q;
    }
    return nullptr;
  }
  void skipSpace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  // The text up to `closing` (which is consumed), entities replaced.
  std::optional<QString> text(const char* closing) {
    QByteArray out;
    for (;;) {
      if (p_ == end_) return std::nullopt;
      if (*p_ == '<') {
        if (!tag(closing)) return std::nullopt;
        return QString::fromUtf8(out);
      }
      if (*p_ == '&') {
        static const std::pair<const char*, char> kEntities[] = {
            {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
        bool known = false;
        for (const auto& [entity, c] : kEntities) {
          if (tag(entity)) {
            out += c;
            known = true;
            break;
          }
        }
        if (!known) return std::nullopt;
        continue;
      }
      out += *p_++;
    }
  }

  const char* p_;
  const char* end_;
};

std::optional<QVariantMap> readWithXmlReader(const QByteArray& xml);

}  // namespace

std::optional<QVariantMap> readPropertyList(const QByteArray& xml) {
  if (std::optional<QVariantMap> quick = QuickReader(xml).read()) return quick;
  return readWithXmlReader(xml);
}

namespace {

std::optional<QVariantMap> readWithXmlReader(const QByteArray& xml) {
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

}  // namespace

}  // namespace cache
