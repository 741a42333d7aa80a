// Ordered HTTP header fields with case-insensitive look-up, and the token rules used to check
// names and values before they are put on the wire.
#include "http/transport/http_headers.h"

#include <QList>

#include <algorithm>

namespace http::transport {

namespace {

bool sameName(const QByteArray& a, const QByteArray& b) {
  return a.compare(b, Qt::CaseInsensitive) == 0;
}

}  // namespace

void HeaderList::append(QByteArray name, QByteArray value) {
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

void HeaderList::remove(const QByteArray& name) {
  fields_.erase(std::remove_if(fields_.begin(), fields_.end(),
                               [&](const HeaderField& f) { return sameName(f.first, name); }),
                fields_.end());
}

bool HeaderList::contains(const QByteArray& name) const {
  return std::any_of(fields_.begin(), fields_.end(),
                     [&](const HeaderField& f) { return sameName(f.first, name); });
}

QByteArray HeaderList::value(const QByteArray& name) const {
  for (const auto& f : fields_) {
    if (sameName(f.first, name)) return f.second;
  }
  return {};
}

QByteArray HeaderList::combinedValue(const QByteArray& name) const {
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

std::vector<QByteArray> HeaderList::values(const QByteArray& name) const {
  std::vector<QByteArray> out;
  for (const auto& f : fields_) {
    if (sameName(f.first, name)) out.push_back(f.second);
  }
  return out;
}

bool isToken(const QByteArray& name) {
  if (name.isEmpty()) return false;
  static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={} \t";
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 32 || u >= 127 || kSeparators.find(c) != std::string_view::npos) return false;
  }
  return true;
}

bool isSafeFieldValue(const QByteArray& value) {
  for (char c : value) {
    if (c == '\r' || c == '\n' || c == '\0') return false;
  }
  return true;
}

bool listContainsToken(const QByteArray& value, const QByteArray& token) {
  for (const QByteArray& part : value.split(',')) {
    if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0) return true;
  }
  return false;
}

}  // namespace http::transport
