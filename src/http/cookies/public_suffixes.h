// Public suffixes ("com", "co.uk", "github.io"...) under which no site may set a cookie for all
// its neighbours, from the system's public suffix list through libpsl.
#pragma once

#include <QString>

namespace http::cookies {

// True when `domain` (lower case, ASCII/punycode, no leading dot) is a public suffix, including
// a single label under the list's implicit "*" rule ("test", "localhost"). Thread: any.
bool isPublicSuffix(const QString& domain);

}  // namespace http::cookies
