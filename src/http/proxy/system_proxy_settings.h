// The system's proxy settings on Linux, read from the first source that configures a proxy:
// the environment, then GNOME's org.gnome.system.proxy (through gsettings), then KDE's
// kioslaverc. Each source's own exclusion list applies; nothing else is bypassed.
#pragma once

#include "http/proxy/proxy_list.h"

#include <QProcessEnvironment>
#include <QString>
#include <QUrl>

#include <optional>

namespace http::proxy {

// Where the settings are read from. Thread: any (a value).
struct SystemProxySources {
  QProcessEnvironment environment;  // variables, also given to gsettings
  QString gsettingsProgram;         // the gsettings command; empty: GNOME is not asked
  QString kdeConfigPath;            // the kioslaverc file; empty: KDE is not asked

  // The process's own: its environment, gsettings from PATH, $XDG_CONFIG_HOME/kioslaverc.
  static SystemProxySources ofProcess();
};

// A snapshot of the settings and the per-URL proxy list they give. Thread: any (a value).
//
// Environment: http_proxy (lower case only: a CGI environment sets HTTP_PROXY from a request
// header) for http, https_proxy or HTTPS_PROXY for https, all_proxy or ALL_PROXY for either when
// the scheme's own is not set; no_proxy or NO_PROXY excludes hosts (HostExclusions::NoProxy).
// It applies when any of the proxy variables is set.
// GNOME: mode "manual" (the http, https and socks hosts and ports, the http proxy's
// authentication, ignore-hosts) or "auto" (autoconfig-url); "none" leaves the choice to KDE.
// KDE: [Proxy Settings] ProxyType 1 (manual: httpProxy, httpsProxy, socksProxy written
// "scheme://host port" or "scheme://host:port"), 2 (Proxy Config Script), 4 (the proxies named by
// environment variables whose names are given); NoProxyFor with ReversedException.
// Automatic discovery (GNOME "auto" without a URL, KDE ProxyType 3) would need name look-ups
// of its own and is taken as a direct connection.
class SystemProxySettings {
 public:
  // Reads `sources` (gsettings is given at most two seconds).
  static SystemProxySettings read(const SystemProxySources& sources);
  // The process's settings, read again when the last reading is more than a few seconds old.
  static SystemProxySettings current();
  // Makes the next current() read the sources again.
  static void forgetCurrent();

  // The proxies to try for `url`, in order: a list holding one entry (a proxy, a script URL or
  // DIRECT). Empty when the settings name a proxy that cannot be read (a malformed value): the
  // request then fails rather than silently going direct.
  std::optional<QList<ProxyEntry>> proxiesForURL(const QUrl& url) const;

  // "environment", "GNOME", "KDE" or "none": where the settings came from.
  QString sourceName() const;

 private:
  enum class Source { None, Environment, Gnome, Kde };
  enum class Mode { Direct, Manual, Script };

  static bool readEnvironment(const QProcessEnvironment& env, SystemProxySettings* out);
  static bool readGnome(const SystemProxySources& sources, SystemProxySettings* out);
  static bool readKde(const SystemProxySources& sources, SystemProxySettings* out);

  Source source_ = Source::None;
  Mode mode_ = Mode::Direct;
  QString httpProxy_;      // proxy for http URLs (a proxy URL text); empty: none
  QString httpsProxy_;     // proxy for https URLs; empty: none
  QString fallbackProxy_;  // for a scheme without its own (all_proxy, SOCKS); empty: none
  QString httpUser_;       // credentials for the http proxy given beside it (GNOME)
  QString httpPassword_;
  HostExclusions exclusions_;
  bool reversedExclusions_ = false;  // only the listed hosts use the proxy (KDE)
  QUrl scriptURL_;                    // Mode::Script
};

}  // namespace http::proxy
