// Response header dictionaries.
#include "http/header_dictionary.h"

namespace http {

QString canonicalHeaderName(const QByteArray& name) {
  QByteArray out = name.toLower();
  bool startOfWord = true;
  for (char& c : out) {
    if (startOfWord && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    startOfWord = c == '-';
  }
  return QString::fromLatin1(out);
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
