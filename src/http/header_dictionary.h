// The response header dictionary the engine and its callbacks see: one entry per field name,
// names in their usual capitalisation so that look-ups by exact name work whatever the server sent.
#pragma once

#include "http/transport/http_headers.h"
#include "platform/object.h"

namespace http {

// "content-length" → "Content-Length", "etag" → "Etag": each dash-separated word capitalised.
QString canonicalHeaderName(const QByteArray& name);

// The fields of `headers` as a dictionary: repeated fields are joined with ", " in order, except
// Set-Cookie, whose values are joined with "\n" (commas are part of cookie dates).
platform::StringMap headerDictionary(const transport::HeaderList& headers);

}  // namespace http
