// Encoding and escaping the texts of a form body.
#include "form/form_text.h"

#include "http/string_encodings.h"

#include <QStringEncoder>

namespace form {

std::optional<QByteArray> encodeText(const QString& text, http::StringEncoding encoding) {
  if (text.isEmpty()) return QByteArray("");
  switch (encoding) {
    case http::UTF8StringEncoding: return text.toUtf8();
    case http::ASCIIStringEncoding:
    case http::ISOLatin1StringEncoding: {
      const char16_t limit = encoding == http::ASCIIStringEncoding ? 0x7F : 0xFF;
      for (QChar c : text) {
        if (c.unicode() > limit) return std::nullopt;
      }
      return text.toLatin1();
    }
    default: break;
  }
  const QString name = http::ianaCharsetNameForEncoding(encoding);
  if (name.isEmpty()) return std::nullopt;
  QStringEncoder encoder(name.toLatin1().constData(), QStringConverter::Flag::Stateless);
  if (!encoder.isValid()) return std::nullopt;
  QByteArray bytes = encoder.encode(text);
  if (encoder.hasError()) return std::nullopt;
  return bytes;
}

QString percentEscape(const QString& text, http::StringEncoding encoding) {
  const std::optional<QByteArray> bytes = encodeText(text, encoding);
  if (!bytes) return {};
  static const char kHex[] = "0123456789ABCDEF";
  QString escaped;
  escaped.reserve(bytes->size() * 3);
  for (const char byte : *bytes) {
    const auto b = static_cast<unsigned char>(byte);
    const bool kept = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                      b == '-' || b == '_' || b == '.';
    if (kept) {
      escaped += QLatin1Char(static_cast<char>(b));
    } else {
      escaped += QLatin1Char('%');
      escaped += QLatin1Char(kHex[b >> 4]);
      escaped += QLatin1Char(kHex[b & 0x0F]);
    }
  }
  return escaped;
}

QString escapeHeaderParameter(const QString& text, bool quotes) {
  QString escaped;
  escaped.reserve(text.size());
  for (QChar c : text) {
    if (c == QLatin1Char('"') && quotes) escaped += QLatin1String("%22");
    else if (c == QLatin1Char('\r')) escaped += QLatin1String("%0D");
    else if (c == QLatin1Char('\n')) escaped += QLatin1String("%0A");
    else escaped += c;
  }
  return escaped;
}

}  // namespace form
