// Text as a form writes it: encoded in the form's string encoding, percent-escaped for the
// URL-encoded body, and made safe to stand inside a quoted header parameter.
#pragma once

#include "http/http_request.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace form {

// The bytes of `text` in `encoding`; none when some character has no representation there (or
// the encoding is unknown). The empty text gives an empty array.
std::optional<QByteArray> encodeText(const QString& text, http::StringEncoding encoding);

// `text`'s bytes in `encoding` with every byte other than an ASCII letter, digit, "-", "_" or
// "." written as "%" and two upper-case hexadecimal digits. Text the encoding cannot represent
// gives the empty text.
QString percentEscape(const QString& text, http::StringEncoding encoding);

// `text` with the characters that could end a quoted parameter or start a new header line
// escaped as browsers do: '"' as %22, CR as %0D, LF as %0A. With `quotes` false only CR and LF.
QString escapeHeaderParameter(const QString& text, bool quotes = true);

}  // namespace form
