// Errors of the transport: one domain, a code per kind of failure, and the classification the
// request engine acts on (retry a dropped connection once, describe TLS failures).
#pragma once

#include "platform/error.h"

#include <QString>

namespace http::transport {

// Domain of every error the transport reports.
inline const QString kTransportErrorDomain = QStringLiteral("HTTPTransportErrorDomain");
// Domain of underlying socket errors; the code is the socket's error number
// (QAbstractSocket::SocketError).
inline const QString kSocketErrorDomain = QStringLiteral("QAbstractSocketErrorDomain");
// Key in userInfo of a TLS failure: the list of certificate problems, one text each.
inline const QString kTlsErrorsKey = QStringLiteral("TLSErrors");

enum class TransportErrorCode : int {
  // The peer closed or reset a reused idle connection before any byte of the response arrived
  // (it had already given the connection up). Sending again on a new connection is the remedy.
  // The same on a fresh connection is ConnectionLost.
  ConnectionDropped = 1,
  // The TLS handshake failed or the server's certificate was refused.
  TlsFailure = 2,
  // No connection could be made: host not found, refused, unreachable, or the proxy failed.
  ConnectFailed = 3,
  // The connection failed or closed in the middle of the response.
  ConnectionLost = 4,
  // The response broke the HTTP/1.x message rules (malformed or oversized head, bad framing).
  ProtocolError = 5,
  // The request body could not be read, ended before its Content-Length or ran past it.
  RequestBodyError = 6,
  // The request cannot be sent as given (bad URL, method or header).
  InvalidRequest = 7,
};

// How the engine treats an error.
enum class ErrorClass {
  ConnectionDropped,  // the peer dropped a connection believed alive: retry on a new one
  TlsFailure,         // TLS handshake or certificate failure
  Other,
};

// Makes a transport error. Thread: any.
platform::ErrorPtr makeTransportError(TransportErrorCode code, const QString& description,
                                      platform::ErrorPtr underlying = nullptr,
                                      QVariantMap userInfo = {});

// The class of `error`: by code for transport errors, Other for anything else or null.
ErrorClass classifyError(const platform::ErrorPtr& error);

}  // namespace http::transport
