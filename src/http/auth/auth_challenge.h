// Challenges from WWW-Authenticate and Proxy-Authenticate fields (RFC 9110 section 11.6.1):
// one or more challenges per field, each a scheme with a token68 or a list of parameters.
#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>

#include <optional>
#include <vector>

namespace http::auth {

// One challenge as received. Thread: any (a value).
struct AuthChallenge {
  QByteArray scheme;                    // as sent ("Digest", "ntlm"...)
  QByteArray token68;                   // the single token form (NTLM messages); empty if none
  QMap<QByteArray, QByteArray> params;  // parameter names in lower case, values unquoted

  // True when the scheme is `name` (ASCII case-insensitive).
  bool is(const char* name) const;
  // The parameter's value; empty when absent.
  QByteArray param(const char* name) const { return params.value(name); }
};

// Largest combined size of the challenge fields of one response. Servers send well under 1 KiB;
// anything larger is refused rather than parsed.
inline constexpr qsizetype kMaxChallengeBytes = 16 * 1024;
// Most challenges and parameters read from one response (the rest would only cost time).
inline constexpr int kMaxChallenges = 32;
inline constexpr int kMaxParamsPerChallenge = 32;

// Parses every field value in `values` (one per received field) into challenges, in order.
// Returns nothing when any value is malformed (an unterminated quoted string, a parameter without
// a name, text where a separator belongs) or the limits above are passed: a hostile or broken
// challenge is never half-understood. An empty list is not an error.
std::optional<std::vector<AuthChallenge>> parseChallenges(const std::vector<QByteArray>& values);

}  // namespace http::auth
