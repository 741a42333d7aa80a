// The head of an HTTP response as received.
// Only small derived values live here; the parsing is ResponseParser's.
#include "http/transport/response_head.h"

namespace http::transport {

QByteArray ResponseHead::reasonPhrase() const {
  // "HTTP/x.y" SP status-code [SP reason-phrase]
  const qsizetype space = statusLine.indexOf(' ');
  if (space < 0 || statusLine.size() <= space + 4) return {};
  return statusLine.mid(space + 5);
}

}  // namespace http::transport
