// Response header dictionaries.
#include "http/header_dictionary.h"

#include "http/transport/recent_texts.h"

#include <map>

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
  // The names and many values repeat from one response to the next: made once per thread.
  thread_local transport::RecentTexts<QString> names;
  thread_local transport::RecentTexts<QString> values;
  const auto canonical = [](const QByteArray& name) { return canonicalHeaderName(name); };
  // Field values are sent as Latin-1 octets (RFC 9110 section 5.5).
  const auto latin1 = [](const QByteArray& value) { return QString::fromLatin1(value); };
  // Filled as a standard map (one search per field), which the dictionary then takes over whole.
  std::map<QString, QString> dictionary;
  for (const auto& [name, value] : headers) {
    const auto [it, added] = dictionary.try_emplace(names.get(name, canonical, &name),
                                                    values.get(value, latin1, &value));
    if (!added) {
      it->second += it->first == QLatin1String("Set-Cookie") ? QStringLiteral("\n") : QStringLiteral(", ");
      it->second += QString::fromLatin1(value);
    }
  }
  return platform::StringMap(std::move(dictionary));
}

}  // namespace http
