// TLS settings of one stream: which certificate checks to relax and which client identity to
// present. Everything is strict unless a field says otherwise.
#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

namespace http::transport {

// TLS settings for an https stream. The server's chain is checked against the system's trust
// store. Thread: any (a value).
struct TlsOptions {
  // Accept a certificate whose validity period has ended or not yet begun.
  bool allowsExpiredCertificates = false;
  // Accept a chain that does not end in a trusted root (self-signed or unknown issuer).
  bool allowsAnyRoot = false;
  // When false, no check of the chain is made at all (trust, dates, signatures, purposes).
  bool validatesCertificateChain = true;
  // When false, the certificate is not matched against a host name.
  bool checksPeerName = true;
  // The name the certificate must match; empty means the URL's host.
  QString peerName;

  // Client identity: certificate and private key presented when the server asks for one. Both
  // are null when there is none.
  QSslCertificate clientCertificate;
  QSslKey clientKey;
  // Further certificates sent after the identity's certificate (its intermediate chain).
  QList<QSslCertificate> clientCertificateChain;

  bool operator==(const TlsOptions&) const = default;
};

}  // namespace http::transport
