// Response header dictionaries.
#include "http/header_dictionary.h"

namespace http {

QString canonicalHeaderName(const QByteArray& name) {
  // Each word capitalised, the rest in lower case: "content-TYPE" becomes "Content-Type".
  QString out(name.size(), Qt::Uninitialized);
  QChar* to = out.data();
  bool startOfWord = true;
  for (const char byte : name) {
    char c = byte;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (startOfWord && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    startOfWord = c == '-';
    *to++ = QLatin1Char(c);
  }
  return out;
}

platform::StringMap headerDictionary(const transport::HeaderList& headers) {
  platform::StringMap dictionary;
  for (const auto& [name, value] : headers) {
    const QString key = canonicalHeaderName(name);
    // Field values are sent as Latin-1 octets (RFC 9110 section 5.5).
    const QString text = QString::fromLatin1(value);
    auto it = dictionary.find(key);
    if (it == dictionary.end()) {
      dictionary.insert(key, text);
    } else {
      it.value() += key == QLatin1String("Set-Cookie") ? QStringLiteral("\n") : QStringLiteral(", ");
      it.value() += text;
    }
  }
  return dictionary;
}

}  // namespace http
