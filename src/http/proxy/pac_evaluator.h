// Proxy auto-configuration scripts: FindProxyForURL evaluated in an embedded JavaScript engine
// with the standard helper functions, bounded in time and memory, with no file or network
// access from the script.
#pragma once

#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

namespace http::proxy {

// Evaluates proxy scripts. Each evaluation gets a fresh engine holding only the PAC helpers
// (isPlainHostName, dnsDomainIs, localHostOrDomainIs, isResolvable, isInNet, dnsResolve,
// myIpAddress, dnsDomainLevels, shExpMatch, weekdayRange, dateRange, timeRange, alert and
// convert_addr) and the language's own objects. A watchdog thread interrupts a script that runs
// longer than the time limit or makes the process grow by more than the memory limit; the
// engine and the process stay usable afterwards.
// Thread: any; an evaluation runs on the calling thread (the watchdog on its own).
class PacEvaluator {
 public:
  // Looks a host name up: its IPv4 address in dotted form, or empty when it has none.
  using Resolver = std::function<std::optional<QString>(const QString& host)>;

  struct Options {
    Resolver resolver;                           // empty: systemResolver()
    QString myIpAddress;                         // empty: the first non-loopback IPv4 address
    std::chrono::milliseconds timeLimit{5000};   // stop the script after this long
    qint64 memoryLimitBytes = 256 * 1024 * 1024; // stop it when the process grew this much
  };

  // Runs `script`, then FindProxyForURL(url, host) for `url` (its user name and password left
  // out). Returns the answer as text, or empty with the reason in `*error` (a syntax error, an
  // exception, no FindProxyForURL, a non-text answer, or the script was stopped).
  static std::optional<QString> findProxyForURL(const QString& script, const QUrl& url,
                                                const Options& options, QString* error = nullptr);

  // Looks names up with the system resolver, waiting at most two seconds; IP literals are
  // returned as they are without a look-up.
  static Resolver systemResolver();
  // The machine's first non-loopback IPv4 address, or 127.0.0.1.
  static QString localAddress();
};

}  // namespace http::proxy
