// Errors of the transport and their classification for the request engine.
// One domain; the code says the kind of failure, the underlying error the socket's own cause.
#include "http/transport/transport_error.h"

namespace http::transport {

platform::ErrorPtr makeTransportError(TransportErrorCode code, const QString& description,
                                      platform::ErrorPtr underlying, QVariantMap userInfo) {
  return platform::Error::make(kTransportErrorDomain, static_cast<qint64>(code), description, {},
                               std::move(underlying), std::move(userInfo));
}

ErrorClass classifyError(const platform::ErrorPtr& error) {
  if (!error || error->domain() != kTransportErrorDomain) return ErrorClass::Other;
  switch (static_cast<TransportErrorCode>(error->code())) {
    case TransportErrorCode::ConnectionDropped:
      return ErrorClass::ConnectionDropped;
    case TransportErrorCode::TlsFailure:
      return ErrorClass::TlsFailure;
    default:
      return ErrorClass::Other;
  }
}

}  // namespace http::transport
