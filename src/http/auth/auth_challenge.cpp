// The challenge grammar of RFC 9110 section 11.6.1, read through one bounded cursor.
#include "http/auth/auth_challenge.h"

namespace http::auth {
namespace {

bool isTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+': case '-':
    case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

bool isToken68Char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~' || c == '+' || c == '/';
}

// A cursor over one field value; every read is bounds-checked.
class Cursor {
 public:
  explicit Cursor(const QByteArray& text) : text_(text) {}
  bool atEnd() const { return pos_ >= text_.size(); }
  char peek(qsizetype ahead = 0) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
  }
  qsizetype pos() const { return pos_; }
  void seek(qsizetype pos) { pos_ = pos; }
  void skipSpace() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t')) ++pos_;
  }
  QByteArray token() {
    const qsizetype start = pos_;
    while (!atEnd() && isTokenChar(peek())) ++pos_;
    return text_.mid(start, pos_ - start);
  }
  // A quoted string (the opening quote under the cursor); nothing when it is unterminated.
  std::optional<QByteArray> quoted() {
    ++pos_;
    QByteArray out;
    while (!atEnd()) {
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (c == '\\') {
        if (atEnd()) return std::nullopt;
        out += text_[pos_++];
      } else {
        out += c;
      }
    }
    return std::nullopt;
  }

 private:
  const QByteArray& text_;
  qsizetype pos_ = 0;
};

// True when what follows the cursor is a token68 that ends the challenge: token68 characters,
// optional "=" padding, then only white space before a comma or the end.
bool token68Follows(const Cursor& c, qsizetype* length) {
  qsizetype n = 0;
  while (isToken68Char(c.peek(n))) ++n;
  if (n == 0) return false;
  while (c.peek(n) == '=') ++n;
  qsizetype end = n;
  while (c.peek(end) == ' ' || c.peek(end) == '\t') ++end;
  if (c.peek(end) != ',' && c.peek(end) != '\0') return false;
  *length = n;
  return true;
}

// True when a parameter ("name =") starts at the cursor.
bool paramFollows(const Cursor& c) {
  qsizetype n = 0;
  while (isTokenChar(c.peek(n))) ++n;
  if (n == 0) return false;
  while (c.peek(n) == ' ' || c.peek(n) == '\t') ++n;
  return c.peek(n) == '=';
}

bool parseValue(const QByteArray& value, std::vector<AuthChallenge>& out) {
  Cursor c(value);
  for (;;) {
    // Empty list elements (",,") are allowed by the list rule.
    c.skipSpace();
    while (c.peek() == ',') {
      c.seek(c.pos() + 1);
      c.skipSpace();
    }
    if (c.atEnd()) return true;
    AuthChallenge challenge;
    challenge.scheme = c.token();
    if (challenge.scheme.isEmpty()) return false;
    if (static_cast<int>(out.size()) >= kMaxChallenges) return false;
    if (!c.atEnd() && c.peek() != ' ' && c.peek() != '\t' && c.peek() != ',') return false;
    c.skipSpace();
    qsizetype length = 0;
    if (token68Follows(c, &length)) {
      challenge.token68 = value.mid(c.pos(), length);
      c.seek(c.pos() + length);
      c.skipSpace();
    } else {
      // Parameters until the next element is not one (then a new challenge starts there).
      while (paramFollows(c)) {
        const QByteArray name = c.token().toLower();
        c.skipSpace();
        c.seek(c.pos() + 1);  // '='
        c.skipSpace();
        QByteArray v;
        if (c.peek() == '"') {
          auto q = c.quoted();
          if (!q) return false;
          v = *q;
        } else {
          v = c.token();
          if (v.isEmpty()) return false;
        }
        if (challenge.params.size() >= kMaxParamsPerChallenge) return false;
        // A repeated parameter is ambiguous (RFC 9110 11.2): the first one counts.
        if (!challenge.params.contains(name)) challenge.params.insert(name, v);
        c.skipSpace();
        if (c.atEnd()) break;
        if (c.peek() != ',') return false;
        while (c.peek() == ',' || c.peek() == ' ' || c.peek() == '\t') c.seek(c.pos() + 1);
      }
    }
    out.push_back(std::move(challenge));
    c.skipSpace();
    if (c.atEnd()) return true;
    // After a challenge comes a comma (a token68 form) or the next scheme (after parameters,
    // whose trailing commas were consumed above).
    if (c.peek() == ',') continue;
    if (!isTokenChar(c.peek())) return false;
    // The previous element ended without a comma only if it ended in parameters and commas.
    const char before = c.pos() > 0 ? value[c.pos() - 1] : ',';
    if (before != ',' && before != ' ' && before != '\t') return false;
  }
}

}  // namespace

bool AuthChallenge::is(const char* name) const {
  return scheme.compare(QByteArray(name), Qt::CaseInsensitive) == 0;
}

std::optional<std::vector<AuthChallenge>> parseChallenges(const std::vector<QByteArray>& values) {
  qsizetype total = 0;
  for (const QByteArray& v : values) total += v.size();
  if (total > kMaxChallengeBytes) return std::nullopt;
  std::vector<AuthChallenge> out;
  for (const QByteArray& v : values) {
    if (!parseValue(v, out)) return std::nullopt;
  }
  return out;
}

}  // namespace http::auth
