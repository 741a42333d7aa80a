// Reading the system proxy settings: environment variables, GNOME's settings through one
// "gsettings list-recursively" call, and KDE's kioslaverc; then the list for one URL.
#include "http/proxy/system_proxy_settings.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <chrono>
#include <mutex>

namespace http::proxy {

namespace {

// How long a reading of the process's settings is used again.
constexpr auto kCurrentSettingsLifetime = std::chrono::seconds(5);
// How long gsettings may take.
constexpr int kGsettingsTimeoutMs = 2000;

QString firstSet(const QProcessEnvironment& env, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    const QString value = env.value(QString::fromLatin1(name)).trimmed();
    if (!value.isEmpty()) return value;
  }
  return {};
}

// A GVariant text value as gsettings prints it: 'text' or "text" with backslash escapes.
QString gvariantString(const QString& text) {
  const QString t = text.trimmed();
  if (t.size() < 2 || (t[0] != QLatin1Char('\'') && t[0] != QLatin1Char('"'))) return t;
  QString out;
  for (qsizetype i = 1; i + 1 < t.size(); ++i) {
    if (t[i] == QLatin1Char('\\') && i + 2 < t.size()) ++i;
    out.append(t[i]);
  }
  return out;
}

// A GVariant array of texts: ['a', 'b'] or @as [].
QStringList gvariantStringList(const QString& text) {
  QStringList out;
  QString t = text.trimmed();
  if (t.startsWith(QLatin1String("@as"))) t = t.mid(3).trimmed();
  if (!t.startsWith(QLatin1Char('[')) || !t.endsWith(QLatin1Char(']'))) return out;
  QString current;
  QChar quote;
  for (qsizetype i = 1; i + 1 < t.size(); ++i) {
    const QChar c = t[i];
    if (quote.isNull()) {
      if (c == QLatin1Char('\'') || c == QLatin1Char('"')) quote = c;
      continue;
    }
    if (c == QLatin1Char('\\') && i + 2 < t.size()) {
      current.append(t[++i]);
    } else if (c == quote) {
      out.append(current);
      current.clear();
      quote = QChar();
    } else {
      current.append(c);
    }
  }
  return out;
}

// "scheme://host port" (KDE's own way of writing a proxy) becomes "scheme://host:port".
QString kdeProxyText(const QString& value) {
  QString v = value.trimmed();
  const qsizetype space = v.lastIndexOf(QLatin1Char(' '));
  if (space > 0) v = v.left(space).trimmed() + QLatin1Char(':') + v.mid(space + 1).trimmed();
  return v;
}

// The entries of one [group] of an INI-like file (KDE's format: "key=value", keys may hold
// spaces, "[$e]" style flags after a key are dropped).
QMap<QString, QString> iniGroup(const QString& path, const QString& group) {
  QMap<QString, QString> values;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return values;
  bool inGroup = false;
  while (!file.atEnd()) {
    const QString line = QString::fromUtf8(file.readLine()).trimmed();
    if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
    if (line.startsWith(QLatin1Char('['))) {
      inGroup = line == QLatin1Char('[') + group + QLatin1Char(']');
      continue;
    }
    if (!inGroup) continue;
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0) continue;
    QString key = line.left(eq).trimmed();
    if (const qsizetype flag = key.indexOf(QLatin1String("[$")); flag > 0) key = key.left(flag);
    values.insert(key, line.mid(eq + 1).trimmed());
  }
  return values;
}

}  // namespace

SystemProxySources SystemProxySources::ofProcess() {
  SystemProxySources sources;
  sources.environment = QProcessEnvironment::systemEnvironment();
  // GNOME's settings belong to a desktop session: without a session bus there is none to read,
  // and asking gsettings would only leave dconf's files in the user's home.
  if (!sources.environment.value(QStringLiteral("DBUS_SESSION_BUS_ADDRESS")).isEmpty()) {
    sources.gsettingsProgram = QStandardPaths::findExecutable(QStringLiteral("gsettings"));
  }
  QString configHome = sources.environment.value(QStringLiteral("XDG_CONFIG_HOME"));
  if (configHome.isEmpty()) configHome = QDir::homePath() + QStringLiteral("/.config");
  sources.kdeConfigPath = configHome + QStringLiteral("/kioslaverc");
  return sources;
}

SystemProxySettings SystemProxySettings::read(const SystemProxySources& sources) {
  SystemProxySettings settings;
  if (readEnvironment(sources.environment, &settings)) return settings;
  if (!sources.gsettingsProgram.isEmpty() && readGnome(sources, &settings)) return settings;
  if (!sources.kdeConfigPath.isEmpty() && readKde(sources, &settings)) return settings;
  return SystemProxySettings();
}

namespace {
std::mutex currentLock;
std::optional<SystemProxySettings> currentSettings;
std::chrono::steady_clock::time_point currentReadAt;
}  // namespace

SystemProxySettings SystemProxySettings::current() {
  std::lock_guard lock(currentLock);
  const auto now = std::chrono::steady_clock::now();
  if (!currentSettings || now - currentReadAt > kCurrentSettingsLifetime) {
    currentSettings = read(SystemProxySources::ofProcess());
    currentReadAt = now;
  }
  return *currentSettings;
}

void SystemProxySettings::forgetCurrent() {
  std::lock_guard lock(currentLock);
  currentSettings.reset();
}

bool SystemProxySettings::readEnvironment(const QProcessEnvironment& env, SystemProxySettings* out) {
  out->httpProxy_ = firstSet(env, {"http_proxy"});
  out->httpsProxy_ = firstSet(env, {"https_proxy", "HTTPS_PROXY"});
  out->fallbackProxy_ = firstSet(env, {"all_proxy", "ALL_PROXY"});
  if (out->httpProxy_.isEmpty() && out->httpsProxy_.isEmpty() && out->fallbackProxy_.isEmpty()) {
    return false;
  }
  out->source_ = Source::Environment;
  out->mode_ = Mode::Manual;
  out->exclusions_ = HostExclusions::fromList(HostExclusions::Dialect::NoProxy,
                                              firstSet(env, {"no_proxy", "NO_PROXY"}));
  return true;
}

bool SystemProxySettings::readGnome(const SystemProxySources& sources, SystemProxySettings* out) {
  QProcess gsettings;
  gsettings.setProcessEnvironment(sources.environment);
  gsettings.start(sources.gsettingsProgram,
                  {QStringLiteral("list-recursively"), QStringLiteral("org.gnome.system.proxy")});
  if (!gsettings.waitForFinished(kGsettingsTimeoutMs)) {
    gsettings.kill();
    gsettings.waitForFinished(500);
    return false;
  }
  if (gsettings.exitStatus() != QProcess::NormalExit || gsettings.exitCode() != 0) return false;
  // Lines "<schema> <key> <value>".
  QMap<QString, QString> values;
  for (const QByteArray& raw : gsettings.readAllStandardOutput().split('\n')) {
    const QString line = QString::fromUtf8(raw);
    const qsizetype first = line.indexOf(QLatin1Char(' '));
    const qsizetype second = first < 0 ? -1 : line.indexOf(QLatin1Char(' '), first + 1);
    if (second < 0) continue;
    QString schema = line.left(first).mid(QStringLiteral("org.gnome.system.proxy").size());
    if (schema.startsWith(QLatin1Char('.'))) schema.remove(0, 1);
    const QString key = (schema.isEmpty() ? QString() : schema + QLatin1Char('.')) +
                        line.mid(first + 1, second - first - 1);
    values.insert(key, line.mid(second + 1));
  }
  const QString mode = gvariantString(values.value(QStringLiteral("mode")));
  if (mode != QLatin1String("manual") && mode != QLatin1String("auto")) return false;
  out->source_ = Source::Gnome;
  out->exclusions_ =
      HostExclusions(HostExclusions::Dialect::GnomeIgnore,
                     gvariantStringList(values.value(QStringLiteral("ignore-hosts"))));
  if (mode == QLatin1String("auto")) {
    const QString script = gvariantString(values.value(QStringLiteral("autoconfig-url")));
    out->mode_ = script.isEmpty() ? Mode::Direct : Mode::Script;
    out->scriptURL_ = QUrl(script);
    return true;
  }
  out->mode_ = Mode::Manual;
  auto proxyOf = [&values](const QString& group, const QString& scheme) {
    const QString host = gvariantString(values.value(group + QStringLiteral(".host")));
    const int port = values.value(group + QStringLiteral(".port")).trimmed().toInt();
    if (host.isEmpty() || port <= 0) return QString();
    const QString hostText = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    return QStringLiteral("%1://%2:%3").arg(scheme, hostText).arg(port);
  };
  out->httpProxy_ = proxyOf(QStringLiteral("http"), QStringLiteral("http"));
  out->httpsProxy_ = proxyOf(QStringLiteral("https"), QStringLiteral("http"));
  out->fallbackProxy_ = proxyOf(QStringLiteral("socks"), QStringLiteral("socks5"));
  if (values.value(QStringLiteral("http.use-authentication")).trimmed() == QLatin1String("true")) {
    out->httpUser_ = gvariantString(values.value(QStringLiteral("http.authentication-user")));
    out->httpPassword_ = gvariantString(values.value(QStringLiteral("http.authentication-password")));
  }
  return true;
}

bool SystemProxySettings::readKde(const SystemProxySources& sources, SystemProxySettings* out) {
  const QMap<QString, QString> values = iniGroup(sources.kdeConfigPath, QStringLiteral("Proxy Settings"));
  const int type = values.value(QStringLiteral("ProxyType")).toInt();
  if (type < 1 || type > 4) return false;
  out->source_ = Source::Kde;
  out->exclusions_ = HostExclusions::fromList(HostExclusions::Dialect::KdeNoProxy,
                                              values.value(QStringLiteral("NoProxyFor")));
  out->reversedExclusions_ =
      values.value(QStringLiteral("ReversedException")).compare(QLatin1String("true"), Qt::CaseInsensitive) == 0;
  switch (type) {
    case 2:
      out->mode_ = Mode::Script;
      out->scriptURL_ = QUrl(values.value(QStringLiteral("Proxy Config Script")));
      if (!out->scriptURL_.isValid() || out->scriptURL_.isEmpty()) out->mode_ = Mode::Direct;
      return true;
    case 3:
      out->mode_ = Mode::Direct;
      return true;
    default:
      break;
  }
  out->mode_ = Mode::Manual;
  auto valueOf = [&](const char* key) {
    const QString value = values.value(QString::fromLatin1(key));
    // ProxyType 4: the entries name environment variables holding the proxies.
    if (type == 4) return sources.environment.value(value).trimmed();
    return kdeProxyText(value);
  };
  out->httpProxy_ = valueOf("httpProxy");
  out->httpsProxy_ = valueOf("httpsProxy");
  out->fallbackProxy_ = valueOf("socksProxy");
  return true;
}

std::optional<QList<ProxyEntry>> SystemProxySettings::proxiesForURL(const QUrl& url) const {
  const QList<ProxyEntry> direct{ProxyEntry::direct()};
  if (source_ == Source::None || mode_ == Mode::Direct) return direct;
  const bool listed = exclusions_.matches(url);
  if (listed != reversedExclusions_) return direct;
  if (mode_ == Mode::Script) {
    ProxyEntry entry{kProxyTypeAutoConfigurationURL, {}, 0, scriptURL_, {}, {}};
    return QList<ProxyEntry>{entry};
  }
  const QString scheme = url.scheme().toLower();
  QString text = scheme == QLatin1String("https") ? httpsProxy_
                 : scheme == QLatin1String("http") ? httpProxy_
                                                   : QString();
  const bool schemeOwn = !text.isEmpty();
  if (text.isEmpty()) text = fallbackProxy_;
  if (text.isEmpty()) return direct;
  std::optional<ProxyEntry> entry = parseProxyURL(text);
  if (!entry) return std::nullopt;
  if (schemeOwn && scheme == QLatin1String("http") && entry->user.isEmpty() && !httpUser_.isEmpty()) {
    entry->user = httpUser_;
    entry->password = httpPassword_;
  }
  return QList<ProxyEntry>{*entry};
}

QString SystemProxySettings::sourceName() const {
  switch (source_) {
    case Source::Environment: return QStringLiteral("environment");
    case Source::Gnome: return QStringLiteral("GNOME");
    case Source::Kde: return QStringLiteral("KDE");
    case Source::None: break;
  }
  return QStringLiteral("none");
}

}  // namespace http::proxy
