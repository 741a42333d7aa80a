// Ordered HTTP header fields with case-insensitive look-up, and the token rules used to check
// names and values before they are put on the wire.
#include "http/transport/http_headers.h"

#include <QList>

#include <algorithm>
#include <array>

namespace http::transport {

namespace {

bool sameName(QByteArrayView a, QByteArrayView b) {
  return a.size() == b.size() && a.compare(b, Qt::CaseInsensitive) == 0;
}

}  // namespace

void HeaderList::append(QByteArray name, QByteArray value) {
  // Room for a usual head at once, instead of growing through 1, 2, 4 and 8 fields.
  if (fields_.capacity() == 0) fields_.reserve(16);
  fields_.emplace_back(std::move(name), std::move(value));
}

void HeaderList::set(const QByteArray& name, QByteArray value) {
  auto first = std::find_if(fields_.begin(), fields_.end(),
                            [&](const HeaderField& f) { return sameName(f.first, name); });
  if (first == fields_.end()) {
    append(name, std::move(value));
    return;
  }
  first->second = std::move(value);
  fields_.erase(std::remove_if(first + 1, fields_.end(),
                               [&](const HeaderField& f) { return sameName(f.first, name); }),
                fields_.end());
}

void HeaderList::remove(QByteArrayView name) {
  fields_.erase(std::remove_if(fields_.begin(), fields_.end(),
                               [&](const HeaderField& f) { return sameName(f.first, name); }),
                fields_.end());
}

bool HeaderList::contains(QByteArrayView name) const {
  return std::any_of(fields_.begin(), fields_.end(),
                     [&](const HeaderField& f) { return sameName(f.first, name); });
}

QByteArray HeaderList::value(QByteArrayView name) const {
  for (const auto& f : fields_) {
    if (sameName(f.first, name)) return f.second;
  }
  return {};
}

QByteArray HeaderList::combinedValue(QByteArrayView name) const {
  QByteArray out;
  bool first = true;
  for (const auto& f : fields_) {
    if (!sameName(f.first, name)) continue;
    if (!first) out += ", ";
    out += f.second;
    first = false;
  }
  return out;
}

std::vector<QByteArray> HeaderList::values(QByteArrayView name) const {
  std::vector<QByteArray> out;
  for (const auto& f : fields_) {
    if (sameName(f.first, name)) out.push_back(f.second);
  }
  return out;
}

bool isToken(QByteArrayView name) {
  // Token characters: visible ASCII except the separators "()<>@,;:\\\"/[]?={}".
  static constexpr auto kTokenCharacters = [] {
    std::array<bool, 256> table{};
    constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={}";
    for (int c = 33; c < 127; ++c) table[c] = kSeparators.find(static_cast<char>(c)) == std::string_view::npos;
    return table;
  }();
  if (name.isEmpty()) return false;
  for (char c : name) {
    if (!kTokenCharacters[static_cast<unsigned char>(c)]) return false;
  }
  return true;
}

bool isSafeFieldValue(const QByteArray& value) {
  for (char c : value) {
    if (c == '\r' || c == '\n' || c == '\0') return false;
  }
  return true;
}

bool listContainsToken(QByteArrayView value, QByteArrayView token) {
  while (true) {
    const qsizetype comma = value.indexOf(',');
    const QByteArrayView part = comma < 0 ? value : value.first(comma);
    if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0) return true;
    if (comma < 0) return false;
    value = value.sliced(comma + 1);
  }
}

}  // namespace http::transport
