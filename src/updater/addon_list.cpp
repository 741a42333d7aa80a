// The add-on list read from its document's text: a checking scan of the whole document that
// notes where each entry of "Crc32" lies, and the entries parsed one at a time.
#include "updater/addon_list.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cctype>

namespace updater {
namespace {

// Deepest nesting of arrays and objects accepted (as deep as the JSON parser goes).
constexpr int kMaxDepth = 1024;

using Span = std::pair<qsizetype, qsizetype>;

// Checks JSON text without building any value. Where it stops, `error` says why.
class Scanner {
 public:
  explicit Scanner(QByteArrayView text) : text_(text) {}

  // One value at `pos`. `elements` (for an array) receives the span of each element;
  // `member` (for an object) is told each member's key and value span.
  bool value(int depth, std::vector<Span>* elements = nullptr,
             const std::function<void(QByteArrayView, Span)>& member = {}) {
    skipSpace();
    if (pos >= text_.size()) return fail("unexpected end of the document");
    switch (text_[pos]) {
      case '{': return object(depth + 1, member);
      case '[': return array(depth + 1, elements);
      case '"': return string();
      case 't': return literal("true");
      case 'f': return literal("false");
      case 'n': return literal("null");
      default: return number();
    }
  }

  void skipSpace() {
    while (pos < text_.size() && (text_[pos] == ' ' || text_[pos] == '\t' || text_[pos] == '\n' || text_[pos] == '\r')) {
      ++pos;
    }
  }

  bool fail(const char* what) {
    if (error.isEmpty()) error = QStringLiteral("%1 at byte %2").arg(QLatin1String(what)).arg(pos);
    return false;
  }

  qsizetype pos = 0;
  QString error;

 private:
  char at(qsizetype i) const { return i < text_.size() ? text_[i] : '\0'; }

  bool object(int depth, const std::function<void(QByteArrayView, Span)>& member) {
    if (depth > kMaxDepth) return fail("nesting too deep");
    ++pos;
    skipSpace();
    if (at(pos) == '}') {
      ++pos;
      return true;
    }
    for (;;) {
      skipSpace();
      if (at(pos) != '"') return fail("a member name expected");
      const qsizetype keyStart = pos;
      if (!string()) return false;
      const QByteArrayView key = text_.sliced(keyStart, pos - keyStart);
      skipSpace();
      if (at(pos) != ':') return fail("\":\" expected");
      ++pos;
      skipSpace();
      const qsizetype valueStart = pos;
      if (!value(depth)) return false;
      if (member) member(key, {valueStart, pos - valueStart});
      skipSpace();
      if (at(pos) == ',') {
        ++pos;
        continue;
      }
      if (at(pos) != '}') return fail("\",\" or \"}\" expected");
      ++pos;
      return true;
    }
  }

  bool array(int depth, std::vector<Span>* elements) {
    if (depth > kMaxDepth) return fail("nesting too deep");
    ++pos;
    skipSpace();
    if (at(pos) == ']') {
      ++pos;
      return true;
    }
    for (;;) {
      skipSpace();
      const qsizetype start = pos;
      if (!value(depth)) return false;
      if (elements) elements->emplace_back(start, pos - start);
      skipSpace();
      if (at(pos) == ',') {
        ++pos;
        continue;
      }
      if (at(pos) != ']') return fail("\",\" or \"]\" expected");
      ++pos;
      return true;
    }
  }

  // A string, its escapes and its UTF-8 checked.
  bool string() {
    ++pos;
    for (;;) {
      if (pos >= text_.size()) return fail("unterminated string");
      const auto c = static_cast<unsigned char>(text_[pos]);
      if (c == '"') {
        ++pos;
        return true;
      }
      if (c == '\\') {
        const char e = at(pos + 1);
        if (e == 'u') {
          for (int i = 2; i < 6; ++i) {
            if (!std::isxdigit(static_cast<unsigned char>(at(pos + i)))) return fail("invalid escape");
          }
          pos += 6;
        } else if (pos + 1 < text_.size()) {
          // Any other escaped character stands for itself, as the JSON parser reads it.
          pos += 2;
        } else {
          return fail("invalid escape");
        }
        continue;
      }
      if (c < 0x80) {
        ++pos;
        continue;
      }
      // A UTF-8 sequence: its lead byte, then continuation bytes in the ranges that make a
      // shortest form of a scalar value.
      int more = 0;
      unsigned char low = 0x80, high = 0xBF;
      if (c >= 0xC2 && c <= 0xDF) more = 1;
      else if (c >= 0xE0 && c <= 0xEF) more = 2, low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
      else if (c >= 0xF0 && c <= 0xF4) more = 3, low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
      else return fail("invalid UTF-8 string");
      for (int i = 1; i <= more; ++i) {
        const auto next = static_cast<unsigned char>(at(pos + i));
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return fail("invalid UTF-8 string");
      }
      pos += 1 + more;
    }
  }

  bool literal(const char* word) {
    const QByteArrayView expected(word);
    if (text_.sliced(pos).startsWith(expected)) {
      pos += expected.size();
      return true;
    }
    return fail("illegal value");
  }

  bool number() {
    const qsizetype start = pos;
    if (at(pos) == '-') ++pos;
    if (!std::isdigit(static_cast<unsigned char>(at(pos)))) return fail("illegal value");
    if (at(pos) == '0' && std::isdigit(static_cast<unsigned char>(at(pos + 1)))) return fail("illegal number");
    while (std::isdigit(static_cast<unsigned char>(at(pos)))) ++pos;
    if (at(pos) == '.') {
      ++pos;
      while (std::isdigit(static_cast<unsigned char>(at(pos)))) ++pos;
    }
    if (at(pos) == 'e' || at(pos) == 'E') {
      ++pos;
      if (at(pos) == '+' || at(pos) == '-') ++pos;
      if (!std::isdigit(static_cast<unsigned char>(at(pos)))) return fail("illegal number");
      while (std::isdigit(static_cast<unsigned char>(at(pos)))) ++pos;
    }
    return pos > start;
  }

  QByteArrayView text_;
};

// The text of a member name as a string (escapes decoded).
QString memberName(QByteArrayView quoted) {
  if (!quoted.contains('\\')) return QString::fromUtf8(quoted.sliced(1, quoted.size() - 2));
  const QByteArray wrapped = '[' + quoted.toByteArray() + ']';
  return QJsonDocument::fromJson(wrapped).array().at(0).toString();
}

}  // namespace

std::optional<AddOnList> AddOnList::fromDocument(QByteArray document, QString* whyNot) {
  auto fail = [whyNot](const QString& why) -> std::optional<AddOnList> {
    if (whyNot != nullptr) *whyNot = why;
    return std::nullopt;
  };
  Scanner scanner(document);
  scanner.skipSpace();
  const bool isObject = scanner.pos < document.size() && document[scanner.pos] == '{';
  std::optional<Span> entries;
  const bool valid = scanner.value(0, nullptr, [&](QByteArrayView key, Span value) {
    if (isObject && key.size() >= 7 && memberName(key) == QLatin1String("Crc32")) entries = value;
  });
  scanner.skipSpace();
  if (valid && scanner.pos < document.size()) scanner.fail("garbage at the end of the document");
  if (!scanner.error.isEmpty()) return fail(QStringLiteral("not JSON: %1").arg(scanner.error));
  if (!isObject) return fail(QStringLiteral("not an object"));

  AddOnList list;
  list.text_ = std::move(document);
  if (entries && list.text_[entries->first] == '[') {
    Scanner elements(list.text_);
    elements.pos = entries->first;
    elements.value(1, &list.spans_);
  }
  return list;
}

AddOnList AddOnList::fromArray(const QJsonArray& entries) {
  AddOnList list;
  list.text_ = QJsonDocument(entries).toJson(QJsonDocument::Compact);
  Scanner elements(list.text_);
  elements.value(0, &list.spans_);
  return list;
}

void AddOnList::forEach(const std::function<void(const QJsonValue&)>& visit) const {
  for (const auto& [offset, length] : spans_) {
    const char* start = text_.constData() + offset;
    if (*start == '{' || *start == '[') {
      // An object or array is a document of its own: parsed where it stands, without a copy.
      const QJsonDocument entry = QJsonDocument::fromJson(QByteArray::fromRawData(start, length));
      visit(entry.isObject() ? QJsonValue(entry.object()) : QJsonValue(entry.array()));
    } else {
      const QByteArray wrapped = '[' + QByteArray(start, length) + ']';
      visit(QJsonDocument::fromJson(wrapped).array().at(0));
    }
  }
}

}  // namespace updater
