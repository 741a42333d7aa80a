// Incremental HTTP/1.x response parser: a state machine over lines (status, fields, chunk sizes,
// trailers) and counted byte runs (length-framed bodies and chunk data).
#include "http/transport/response_parser.h"

#include "http/transport/recent_texts.h"

#include <QList>

#include <algorithm>
#include <limits>

namespace http::transport {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Strips the line end (CRLF, or a bare LF, which RFC 9112 section 2.2 lets a recipient accept).
QByteArrayView withoutLineEnd(QByteArrayView line) {
  qsizetype n = line.size();
  if (n > 0 && line[n - 1] == '\n') --n;
  if (n > 0 && line[n - 1] == '\r') --n;
  return line.first(n);
}

// The start of a line, for an error text.
QString shown(QByteArrayView line) { return QString::fromLatin1(line.first(std::min<qsizetype>(line.size(), 80))); }

// True when `name` is `wanted` in any case.
bool isFieldName(QByteArrayView name, QByteArrayView wanted) {
  return name.size() == wanted.size() && name.compare(wanted, Qt::CaseInsensitive) == 0;
}

// A decimal Content-Length value: digits only, no sign, no overflow. Returns false otherwise.
bool parseLength(QByteArrayView text, quint64& out) {
  if (text.isEmpty()) return false;
  quint64 value = 0;
  for (char c : text) {
    if (!isDigit(c)) return false;
    const auto digit = static_cast<quint64>(c - '0');
    if (value > (std::numeric_limits<quint64>::max() - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

}  // namespace

ResponseParser::ResponseParser(bool requestWasHead) : requestWasHead_(requestWasHead) {}

void ResponseParser::fail(const QString& why) {
  state_ = State::Failed;
  error_ = why;
}

qint64 ResponseParser::takeLine(const QByteArray& data, qint64 pos, qint64 limit, QByteArrayView* line) {
  const qsizetype lf = data.indexOf('\n', pos);
  const qint64 end = lf < 0 ? data.size() : lf + 1;
  if (line_.size() + (end - pos) > limit) return -2;
  if (lf >= 0 && line_.isEmpty()) {
    // The whole line is in this piece: read it where it stands.
    *line = QByteArrayView(data.constData() + pos, end - pos);
    return end;
  }
  line_.append(data.constData() + pos, end - pos);
  if (lf < 0) return -1;
  *line = line_;
  return end;
}

qint64 ResponseParser::feed(const QByteArray& data, std::vector<BodyPiece>& body) {
  qint64 pos = 0;
  const qint64 size = data.size();
  if (size > 0 && state_ != State::Done && state_ != State::Failed) receivedAnyByte_ = true;
  while (pos < size && state_ != State::Done && state_ != State::Failed) {
    switch (state_) {
      case State::StatusLine:
      case State::FieldLines:
      case State::Trailers:
      case State::ChunkSize: {
        const bool isChunkLine = state_ == State::ChunkSize;
        const qint64 limit = isChunkLine ? kMaxChunkLineBytes : kMaxHeadBytes - sectionBytes_;
        QByteArrayView whole;
        const qint64 next = takeLine(data, pos, limit, &whole);
        if (next == -2) {
          fail(isChunkLine ? QStringLiteral("A chunk-size line is too long")
               : state_ == State::Trailers
                   ? QStringLiteral("The trailer section is larger than 64 KiB")
                   : QStringLiteral("The response head is larger than 64 KiB"));
          break;
        }
        if (next == -1) return size;  // the line continues in the next piece
        if (!isChunkLine) sectionBytes_ += whole.size();
        pos = next;
        // The line is used before line_ is cleared: it may be a view of it.
        const QByteArrayView line = withoutLineEnd(whole);
        if (line.contains('\r') || line.contains('\0')) {
          line_.clear();
          fail(QStringLiteral("A response line holds a stray CR or NUL"));
          break;
        }
        if (state_ == State::StatusLine) {
          handleStatusLine(line);
        } else if (state_ == State::FieldLines) {
          if (line.isEmpty()) {
            endOfHead();
          } else {
            handleFieldLine(line, head_.headers);
          }
        } else if (state_ == State::Trailers) {
          if (line.isEmpty()) {
            state_ = State::Done;
          } else {
            handleFieldLine(line, trailers_);
          }
        } else {
          handleChunkSizeLine(line);
        }
        line_.clear();
        break;
      }
      case State::Body:
      case State::ChunkData: {
        qint64 take = size - pos;
        if (framing_ != Framing::UntilClose) {
          take = static_cast<qint64>(std::min<quint64>(remaining_, static_cast<quint64>(take)));
          remaining_ -= static_cast<quint64>(take);
        }
        if (take > 0) body.push_back(BodyPiece{data, pos, take});
        pos += take;
        if (remaining_ == 0 && framing_ != Framing::UntilClose) {
          state_ = state_ == State::Body ? State::Done : State::ChunkDataEnd;
        }
        break;
      }
      case State::ChunkDataEnd: {
        // Chunk data is followed by CRLF (a bare LF is accepted like other line ends).
        const char c = data[pos];
        if (c == '\r' && line_.isEmpty()) {
          line_ = "\r";
          ++pos;
        } else if (c == '\n') {
          line_.clear();
          ++pos;
          state_ = State::ChunkSize;
        } else {
          fail(QStringLiteral("Chunk data is not followed by a line end"));
        }
        break;
      }
      case State::Done:
      case State::Failed:
        break;
    }
  }
  return pos;
}

void ResponseParser::handleStatusLine(QByteArrayView line) {
  // status-line = HTTP-version SP status-code [SP reason-phrase]  (RFC 9112 section 4)
  const bool versionOk = line.size() >= 12 && line.startsWith("HTTP/") && isDigit(line[5]) &&
                         line[6] == '.' && isDigit(line[7]) && line[8] == ' ' &&
                         isDigit(line[9]) && isDigit(line[10]) && isDigit(line[11]) &&
                         (line.size() == 12 || line[12] == ' ');
  if (!versionOk || line[5] != '1') {
    fail(QStringLiteral("Malformed status line \"%1\"").arg(shown(line)));
    return;
  }
  head_.version = line.first(8).toByteArray();
  head_.statusCode = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
  head_.statusLine = line.toByteArray();
  if (head_.statusCode < 100) {
    fail(QStringLiteral("Malformed status line \"%1\"").arg(shown(line)));
    return;
  }
  state_ = State::FieldLines;
}

void ResponseParser::handleFieldLine(QByteArrayView line, HeaderList& into) {
  if (line[0] == ' ' || line[0] == '\t') {
    // An obsolete folded continuation line (RFC 9112 section 5.2): join it to the previous value.
    if (into.empty()) {
      fail(QStringLiteral("A folded field line has no field to continue"));
      return;
    }
    into.extendLastValue(' ' + line.trimmed().toByteArray());
    return;
  }
  const qsizetype colon = line.indexOf(':');
  const QByteArrayView name = colon < 0 ? QByteArrayView() : line.first(colon);
  if (!isToken(name)) {
    fail(QStringLiteral("Malformed field line \"%1\"").arg(shown(line)));
    return;
  }
  into.append(recentBytes(name), recentBytes(line.sliced(colon + 1).trimmed()));
}

void ResponseParser::endOfHead() {
  const int status = head_.statusCode;
  if (status == 101) {
    fail(QStringLiteral("The server switched protocols without being asked"));
    return;
  }
  if (status >= 100 && status < 200) {
    // Interim response (100 Continue, 102, 103): skip it and read the next head.
    head_ = ResponseHead();
    sectionBytes_ = 0;
    state_ = State::StatusLine;
    return;
  }
  headComplete_ = true;
  decideFraming();
}

void ResponseParser::decideFraming() {
  const HeaderList& h = head_.headers;
  const int status = head_.statusCode;
  if (requestWasHead_ || status == 204 || status == 304) {
    framing_ = Framing::None;
    state_ = State::Done;
    return;
  }
  bool hasLength = false;
  bool hasCoding = false;
  for (const auto& [name, value] : h) {
    hasLength = hasLength || isFieldName(name, "Content-Length");
    hasCoding = hasCoding || isFieldName(name, "Transfer-Encoding");
  }
  if (hasCoding) {
    if (hasLength) {
      fail(QStringLiteral("The response has both Transfer-Encoding and Content-Length"));
      return;
    }
    const QByteArray codings = h.combinedValue("Transfer-Encoding");
    for (const QByteArray& coding : codings.split(',')) {
      if (coding.trimmed().compare("chunked", Qt::CaseInsensitive) != 0) {
        fail(QStringLiteral("Unsupported transfer coding \"%1\"")
                 .arg(QString::fromLatin1(codings.left(80))));
        return;
      }
    }
    framing_ = Framing::Chunked;
    state_ = State::ChunkSize;
    return;
  }
  if (hasLength) {
    // Several values (repeated fields or a list) are accepted only when they all agree
    // (RFC 9110 section 8.6).
    bool first = true;
    quint64 length = 0;
    for (const auto& [name, value] : h) {
      if (!isFieldName(name, "Content-Length")) continue;
      QByteArrayView rest(value);
      for (bool more = true; more;) {
        const qsizetype comma = rest.indexOf(',');
        more = comma >= 0;
        const QByteArrayView part = more ? rest.first(comma) : rest;
        if (more) rest = rest.sliced(comma + 1);
        quint64 v = 0;
        if (!parseLength(part.trimmed(), v)) {
          fail(QStringLiteral("Invalid Content-Length \"%1\"")
                   .arg(QString::fromLatin1(value.left(80))));
          return;
        }
        if (!first && v != length) {
          fail(QStringLiteral("Conflicting Content-Length values"));
          return;
        }
        length = v;
        first = false;
      }
    }
    framing_ = Framing::Length;
    remaining_ = length;
    state_ = length == 0 ? State::Done : State::Body;
    return;
  }
  framing_ = Framing::UntilClose;
  state_ = State::Body;
}

void ResponseParser::handleChunkSizeLine(QByteArrayView line) {
  // chunk-size [chunk-ext]  with chunk-size = 1*HEXDIG  (RFC 9112 section 7.1)
  quint64 size = 0;
  qsizetype i = 0;
  for (; i < line.size(); ++i) {
    const int digit = hexValue(line[i]);
    if (digit < 0) break;
    if (size > (std::numeric_limits<quint64>::max() >> 4)) {
      fail(QStringLiteral("A chunk size overflows"));
      return;
    }
    size = (size << 4) | static_cast<quint64>(digit);
  }
  const QByteArrayView rest = line.sliced(i).trimmed();
  if (i == 0 || (!rest.isEmpty() && rest[0] != ';')) {
    fail(QStringLiteral("Malformed chunk-size line \"%1\"").arg(shown(line)));
    return;
  }
  if (size == 0) {
    sectionBytes_ = 0;
    state_ = State::Trailers;
    return;
  }
  remaining_ = size;
  state_ = State::ChunkData;
}

void ResponseParser::finishAtEndOfStream() {
  if (state_ == State::Done || state_ == State::Failed) return;
  if (state_ == State::Body && framing_ == Framing::UntilClose) {
    state_ = State::Done;
    return;
  }
  fail(QStringLiteral("The connection closed before the end of the response"));
}

bool ResponseParser::allowsReuse() const {
  if (state_ != State::Done || framing_ == Framing::UntilClose) return false;
  const QByteArray connection = head_.headers.combinedValue("Connection");
  if (listContainsToken(connection, "close")) return false;
  if (head_.isHttp10()) return listContainsToken(connection, "keep-alive");
  return true;
}

}  // namespace http::transport
