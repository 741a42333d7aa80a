// The process's host-to-address overrides: one map under one mutex, and the curl-style text
// form "HOST:PORT:ADDRESS" used by the development driver and tests.
#include "http/transport/host_overrides.h"

#include <QHostAddress>

#include <map>
#include <mutex>
#include <utility>

namespace http::transport {

namespace {

struct OverrideTable {
  std::mutex mutex;
  std::map<std::pair<QString, quint16>, QString> addresses;  // (lower-case host, port) -> address
};

OverrideTable& table() {
  static OverrideTable instance;
  return instance;
}

bool isAddressLiteral(const QString& address) {
  return address.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
         !QHostAddress(address).isNull();
}

}  // namespace

bool HostOverrides::set(const QString& host, quint16 port, const QString& address) {
  if (host.isEmpty() || !isAddressLiteral(address)) return false;
  OverrideTable& t = table();
  std::lock_guard lock(t.mutex);
  t.addresses[{host.toLower(), port}] = address;
  return true;
}

bool HostOverrides::setFromText(const QString& text) {
  const qsizetype first = text.indexOf(QLatin1Char(':'));
  const qsizetype second = first < 0 ? -1 : text.indexOf(QLatin1Char(':'), first + 1);
  if (first <= 0 || second < 0) return false;
  const QString host = text.left(first);
  const QString portText = text.mid(first + 1, second - first - 1);
  QString address = text.mid(second + 1);
  if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']'))) {
    address = address.mid(1, address.size() - 2);
  }
  quint16 port = 0;
  if (portText != QLatin1String("*")) {
    bool ok = false;
    const uint value = portText.toUInt(&ok);
    if (!ok || value == 0 || value > 65535) return false;
    port = static_cast<quint16>(value);
  }
  return set(host, port, address);
}

void HostOverrides::remove(const QString& host, quint16 port) {
  OverrideTable& t = table();
  std::lock_guard lock(t.mutex);
  t.addresses.erase({host.toLower(), port});
}

void HostOverrides::clear() {
  OverrideTable& t = table();
  std::lock_guard lock(t.mutex);
  t.addresses.clear();
}

std::optional<QString> HostOverrides::addressFor(const QString& host, quint16 port) {
  OverrideTable& t = table();
  std::lock_guard lock(t.mutex);
  if (t.addresses.empty()) return std::nullopt;
  const QString key = host.toLower();
  if (auto it = t.addresses.find({key, port}); it != t.addresses.end()) return it->second;
  if (auto it = t.addresses.find({key, 0}); it != t.addresses.end()) return it->second;
  return std::nullopt;
}

QString HostOverrides::connectHost(const QString& host, quint16 port) {
  return addressFor(host, port).value_or(host);
}

}  // namespace http::transport
