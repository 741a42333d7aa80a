// TLS settings of one stream: which certificate checks to relax and which client identity to
// present. Everything is strict unless a field says otherwise.
#pragma once

#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <memory>

namespace http::transport {

// A client identity: the certificate and private key presented when the server asks for one,
// and the further certificates of its chain.
struct ClientIdentity {
  QSslCertificate certificate;
  QSslKey key;
  QList<QSslCertificate> chain;  // sent after `certificate` (its intermediates)

  bool operator==(const ClientIdentity&) const = default;
};

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

  // The client identity, null for none. Held by pointer so that streams without one never
  // touch (and load) the TLS library.
  std::shared_ptr<const ClientIdentity> clientIdentity;

  bool operator==(const TlsOptions& other) const {
    const bool sameIdentity =
        clientIdentity == other.clientIdentity ||
        (clientIdentity && other.clientIdentity && *clientIdentity == *other.clientIdentity);
    return allowsExpiredCertificates == other.allowsExpiredCertificates &&
           allowsAnyRoot == other.allowsAnyRoot &&
           validatesCertificateChain == other.validatesCertificateChain &&
           checksPeerName == other.checksPeerName && peerName == other.peerName && sameIdentity;
  }
};

}  // namespace http::transport
