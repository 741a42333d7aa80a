// The headers file's property-list format: written with Qt's XML writer, read strictly with its
// stream reader.
#include "cache/property_list.h"

#include "http/transport/recent_texts.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <cctype>
#include <charconv>
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
  explicit QuickReader(QByteArrayView xml) : p_(xml.constData()), end_(p_ + xml.size()) {}

  std::optional<PropertyListEntries> read() {
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
    PropertyListEntries dictionary;
    // The files this program writes hold about a dozen headers.
    dictionary.reserve(16);
    for (;;) {
      skipSpace();
      if (tag("</dict>")) break;
      if (!tag("<key>")) return std::nullopt;
      std::optional<QString> key = text("</key>");
      if (!key) return std::nullopt;
      skipSpace();
      if (tag("<true/>")) {
        dictionary.emplace_back(std::move(*key), true);
      } else if (tag("<false/>")) {
        dictionary.emplace_back(std::move(*key), false);
      } else if (tag("<string>")) {
        std::optional<QString> value = text("</string>");
        if (!value) return std::nullopt;
        dictionary.emplace_back(std::move(*key), std::move(*value));
      } else if (tag("<string/>")) {
        dictionary.emplace_back(std::move(*key), QString());
      } else if (tag("<integer>")) {
        const std::optional<qint64> value = number<qint64>("</integer>");
        if (!value) return std::nullopt;
        dictionary.emplace_back(std::move(*key), *value);
      } else if (tag("<real>")) {
        const std::optional<double> value = number<double>("</real>");
        if (!value) return std::nullopt;
        dictionary.emplace_back(std::move(*key), *value);
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
  // Literals are matched with their length known when compiled (N counts the final NUL).
  template <size_t N>
  bool startsWith(const char (&literal)[N]) const {
    return static_cast<size_t>(end_ - p_) >= N - 1 && std::memcmp(p_, literal, N - 1) == 0;
  }
  template <size_t N>
  bool tag(const char (&literal)[N]) {
    if (!startsWith(literal)) return false;
    p_ += N - 1;
    return true;
  }
  template <size_t N>
  const char* find(const char (&literal)[N]) const {
    for (const char* q = p_; static_cast<size_t>(end_ - q) >= N - 1; ++q) {
      if (std::memcmp(q, literal, N - 1) == 0) return q;
    }
    return nullptr;
  }
  void skipSpace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  // The text up to `closing` (which is consumed), entities replaced.
  template <size_t N>
  std::optional<QString> text(const char (&closing)[N]) {
    const char* lt = static_cast<const char*>(std::memchr(p_, '<', static_cast<size_t>(end_ - p_)));
    if (lt == nullptr) return std::nullopt;
    const char* start = p_;
    const size_t length = static_cast<size_t>(lt - start);
    p_ = lt;
    if (!tag(closing)) return std::nullopt;
    if (std::memchr(start, '&', length) == nullptr) {
      return sharedText(QByteArrayView(start, static_cast<qsizetype>(length)));
    }
    QByteArray out;
    out.reserve(static_cast<qsizetype>(length));
    for (const char* q = start; q != lt;) {
      const char* amp = static_cast<const char*>(std::memchr(q, '&', static_cast<size_t>(lt - q)));
      if (amp == nullptr) amp = lt;
      out.append(q, amp - q);
      q = amp;
      if (q == lt) break;
      static const std::pair<QByteArrayView, char> kEntities[] = {
          {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
      bool known = false;
      for (const auto& [entity, c] : kEntities) {
        if (QByteArrayView(q, lt - q).startsWith(entity)) {
          out += c;
          q += entity.size();
          known = true;
          break;
        }
      }
      if (!known) return std::nullopt;
    }
    return QString::fromUtf8(out);
  }
  // `bytes` as text. The headers files of a cache repeat most header names, and many values:
  // equal bytes read lately on this thread share one text instead of being decoded again.
  static QString sharedText(QByteArrayView bytes) {
    thread_local http::transport::RecentTexts<QString> texts;
    return texts.get(bytes, [](const QByteArray& kept) { return QString::fromUtf8(kept); });
  }
  // The number up to `closing` (which is consumed), white space around it allowed.
  template <class Number, size_t N>
  std::optional<Number> number(const char (&closing)[N]) {
    const char* lt = static_cast<const char*>(std::memchr(p_, '<', static_cast<size_t>(end_ - p_)));
    if (lt == nullptr) return std::nullopt;
    const char* first = p_;
    const char* last = lt;
    while (first != last && std::isspace(static_cast<unsigned char>(*first))) ++first;
    while (last != first && std::isspace(static_cast<unsigned char>(last[-1]))) --last;
    if (first != last && *first == '+') ++first;
    Number value{};
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last || first == last) return std::nullopt;
    p_ = lt;
    if (!tag(closing)) return std::nullopt;
    return value;
  }

  const char* p_;
  const char* end_;
};

std::optional<PropertyListEntries> readWithXmlReader(QByteArrayView xml);

}  // namespace

std::optional<PropertyListEntries> readPropertyListEntries(QByteArrayView xml) {
  if (std::optional<PropertyListEntries> quick = QuickReader(xml).read()) return quick;
  return readWithXmlReader(xml);
}

std::optional<QVariantMap> readPropertyList(const QByteArray& xml) {
  std::optional<PropertyListEntries> entries = readPropertyListEntries(xml);
  if (!entries) return std::nullopt;
  QVariantMap dictionary;
  for (auto& [key, value] : *entries) dictionary.insert(key, value);
  return dictionary;
}

namespace {

std::optional<PropertyListEntries> readWithXmlReader(QByteArrayView xml) {
  QXmlStreamReader reader(xml.toByteArray());
  if (!reader.readNextStartElement() || reader.name() != QLatin1String("plist")) return std::nullopt;
  if (!reader.readNextStartElement() || reader.name() != QLatin1String("dict")) return std::nullopt;
  PropertyListEntries dictionary;
  while (reader.readNextStartElement()) {
    if (reader.name() != QLatin1String("key")) return std::nullopt;
    const QString key = reader.readElementText();
    if (reader.hasError() || !reader.readNextStartElement()) return std::nullopt;
    const QStringView type = reader.name();
    if (type == QLatin1String("string")) {
      dictionary.emplace_back(key, reader.readElementText());
    } else if (type == QLatin1String("integer")) {
      bool ok = false;
      const qint64 value = reader.readElementText().trimmed().toLongLong(&ok);
      if (!ok) return std::nullopt;
      dictionary.emplace_back(key, value);
    } else if (type == QLatin1String("real")) {
      bool ok = false;
      const double value = reader.readElementText().trimmed().toDouble(&ok);
      if (!ok) return std::nullopt;
      dictionary.emplace_back(key, value);
    } else if (type == QLatin1String("true") || type == QLatin1String("false")) {
      dictionary.emplace_back(key, type == QLatin1String("true"));
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
