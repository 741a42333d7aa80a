// Proxy script evaluation: the helper functions in JavaScript over two natives (name look-up and
// the local address), a fresh QJSEngine per evaluation and a watchdog that interrupts it.
#include "http/proxy/pac_evaluator.h"

#include "platform/log.h"

#include <QHostAddress>
#include <QJSEngine>
#include <QJSValue>
#include <QNetworkInterface>

#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

namespace http::proxy {

namespace {

// The standard helpers, after the original Navigator definitions, on top of the natives held
// by the closure below (no global names for them).
const char kHelpers[] = R"JS(
(function (natives) {
  var g = this;
  g.dnsResolve = function (host) { return natives.dnsResolve(String(host)); };
  g.myIpAddress = function () { return natives.myIpAddress(); };
  g.alert = function (message) { natives.alert(String(message)); };
})
)JS";

const char kHelperFunctions[] = R"JS(
function isPlainHostName(host) { return String(host).indexOf('.') < 0; }
function dnsDomainIs(host, domain) {
  host = String(host).toLowerCase(); domain = String(domain).toLowerCase();
  return host.length >= domain.length &&
         host.substring(host.length - domain.length) === domain;
}
function localHostOrDomainIs(host, hostdom) {
  host = String(host).toLowerCase(); hostdom = String(hostdom).toLowerCase();
  return host === hostdom ||
         (host.indexOf('.') < 0 && hostdom.indexOf(host + '.') === 0);
}
function isResolvable(host) { return dnsResolve(host) !== null; }
function dnsDomainLevels(host) { return String(host).split('.').length - 1; }
function convert_addr(ip) {
  var m = /^(\d{1,3})\.(\d{1,3})\.(\d{1,3})\.(\d{1,3})$/.exec(String(ip));
  if (!m) return null;
  var v = 0;
  for (var i = 1; i <= 4; i++) { var o = +m[i]; if (o > 255) return null; v = v * 256 + o; }
  return v;
}
function isInNet(host, pattern, mask) {
  var ip = convert_addr(host);
  if (ip === null) { var r = dnsResolve(host); if (r === null) return false; ip = convert_addr(r); }
  var p = convert_addr(pattern), m = convert_addr(mask);
  if (ip === null || p === null || m === null) return false;
  return ((ip & m) >>> 0) === ((p & m) >>> 0);
}
function shExpMatch(str, shexp) {
  str = String(str); shexp = String(shexp);
  var re = '';
  for (var i = 0; i < shexp.length; i++) {
    var c = shexp.charAt(i);
    if (c === '*') re += '.*';
    else if (c === '?') re += '.';
    else if ('\\^$+.()|{}[]/'.indexOf(c) >= 0) re += '\\' + c;
    else re += c;
  }
  return new RegExp('^' + re + '$').test(str);
}
var __days = ['SUN', 'MON', 'TUE', 'WED', 'THU', 'FRI', 'SAT'];
var __months = ['JAN', 'FEB', 'MAR', 'APR', 'MAY', 'JUN', 'JUL', 'AUG', 'SEP', 'OCT', 'NOV', 'DEC'];
function __args(list) {
  var a = Array.prototype.slice.call(list), gmt = false;
  if (a.length > 0 && String(a[a.length - 1]).toUpperCase() === 'GMT') { gmt = true; a.pop(); }
  return { args: a, gmt: gmt, now: new Date() };
}
function __inRange(value, from, to) {
  return from <= to ? (value >= from && value <= to) : (value >= from || value <= to);
}
function weekdayRange() {
  var c = __args(arguments), a = c.args;
  if (a.length < 1 || a.length > 2) return false;
  var d = c.gmt ? c.now.getUTCDay() : c.now.getDay();
  var from = __days.indexOf(String(a[0]).toUpperCase());
  var to = a.length === 2 ? __days.indexOf(String(a[1]).toUpperCase()) : from;
  if (from < 0 || to < 0) return false;
  return __inRange(d, from, to);
}
function dateRange() {
  var c = __args(arguments), a = c.args, n = c.now;
  var now = { day: c.gmt ? n.getUTCDate() : n.getDate(),
              month: c.gmt ? n.getUTCMonth() : n.getMonth(),
              year: c.gmt ? n.getUTCFullYear() : n.getFullYear() };
  function part(list) {
    var p = {};
    for (var i = 0; i < list.length; i++) {
      var v = list[i];
      if (typeof v === 'string' && isNaN(+v)) {
        var m = __months.indexOf(v.toUpperCase());
        if (m < 0) return null;
        p.month = m;
      } else {
        v = +v;
        if (isNaN(v)) return null;
        if (v > 31) p.year = v; else p.day = v;
      }
    }
    return p;
  }
  function key(p) {
    return (p.year !== undefined ? p.year : now.year) * 10000 +
           (p.month !== undefined ? p.month : now.month) * 100 +
           (p.day !== undefined ? p.day : now.day);
  }
  if (a.length === 1) {
    var one = part(a);
    if (one === null) return false;
    return key(one) === key({});
  }
  if (a.length === 0 || a.length % 2 !== 0 || a.length > 6) return false;
  var from = part(a.slice(0, a.length / 2)), to = part(a.slice(a.length / 2));
  if (from === null || to === null) return false;
  return __inRange(key({}), key(from), key(to));
}
function timeRange() {
  var c = __args(arguments), a = c.args, n = c.now;
  for (var i = 0; i < a.length; i++) { a[i] = +a[i]; if (isNaN(a[i])) return false; }
  var h = c.gmt ? n.getUTCHours() : n.getHours();
  var t = h * 3600 + (c.gmt ? n.getUTCMinutes() : n.getMinutes()) * 60 +
          (c.gmt ? n.getUTCSeconds() : n.getSeconds());
  var from, to;
  if (a.length === 1) return h === a[0];
  if (a.length === 2) { from = a[0] * 3600; to = a[1] * 3600; }
  else if (a.length === 4) { from = a[0] * 3600 + a[1] * 60; to = a[2] * 3600 + a[3] * 60; }
  else if (a.length === 6) { from = a[0] * 3600 + a[1] * 60 + a[2]; to = a[3] * 3600 + a[4] * 60 + a[5]; }
  else return false;
  return from <= to ? (t >= from && t < to) : (t >= from || t < to);
}
)JS";

// The natives the helpers call. Lives on the evaluating thread for one evaluation.
class PacNatives : public QObject {
  Q_OBJECT
 public:
  PacNatives(PacEvaluator::Resolver resolver, QString myIp)
      : resolver_(std::move(resolver)), myIp_(std::move(myIp)) {}

  Q_INVOKABLE QJSValue dnsResolve(const QString& host) {
    const std::optional<QString> address = resolver_(host);
    return address ? QJSValue(*address) : QJSValue(QJSValue::NullValue);
  }
  Q_INVOKABLE QString myIpAddress() { return myIp_; }
  Q_INVOKABLE void alert(const QString& message) {
    platform::log(QStringLiteral("Proxy script: %1").arg(message));
  }

 private:
  PacEvaluator::Resolver resolver_;
  QString myIp_;
};

qint64 residentBytes() {
  std::ifstream statm("/proc/self/statm");
  long long size = 0, resident = 0;
  statm >> size >> resident;
  return static_cast<qint64>(resident) * ::sysconf(_SC_PAGESIZE);
}

// Interrupts `engine` when the time or memory limit is passed, until stopped.
class Watchdog {
 public:
  Watchdog(QJSEngine* engine, std::chrono::milliseconds timeLimit, qint64 memoryLimit)
      : thread_([this, engine, timeLimit, memoryLimit] {
          const auto deadline = std::chrono::steady_clock::now() + timeLimit;
          const qint64 baseline = residentBytes();
          std::unique_lock lock(mutex_);
          while (!stopped_) {
            if (std::chrono::steady_clock::now() >= deadline ||
                residentBytes() - baseline > memoryLimit) {
              fired_ = true;
              engine->setInterrupted(true);
              return;
            }
            wake_.wait_for(lock, std::chrono::milliseconds(10));
          }
        }) {}
  ~Watchdog() { stop(); }
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  bool fired() const { return fired_; }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopped_ = false;
  bool fired_ = false;
  std::thread thread_;
};

QString describe(const QJSValue& error) {
  const QString line = error.property(QStringLiteral("lineNumber")).toString();
  return line.isEmpty() || line == QLatin1String("undefined")
             ? error.toString()
             : QStringLiteral("%1 (line %2)").arg(error.toString(), line);
}

}  // namespace

std::optional<QString> PacEvaluator::findProxyForURL(const QString& script, const QUrl& url,
                                                     const Options& options, QString* error) {
  auto fail = [error](const QString& why) -> std::optional<QString> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  PacNatives natives(options.resolver ? options.resolver : systemResolver(),
                     options.myIpAddress.isEmpty() ? localAddress() : options.myIpAddress);
  QJSEngine engine;
  Watchdog watchdog(&engine, options.timeLimit, options.memoryLimitBytes);
  auto stopped = [&watchdog, &engine](const QJSValue& value) {
    return watchdog.fired() || (value.isError() && engine.isInterrupted());
  };

  QJSValue install = engine.evaluate(QString::fromLatin1(kHelpers));
  install.callWithInstance(engine.globalObject(), {engine.newQObject(&natives)});
  engine.evaluate(QString::fromLatin1(kHelperFunctions));
  // The engine must not delete the natives, which belong to this function.
  QJSEngine::setObjectOwnership(&natives, QJSEngine::CppOwnership);

  const QJSValue loaded = engine.evaluate(script, QStringLiteral("proxy.pac"));
  if (stopped(loaded)) return fail(QStringLiteral("The proxy script was stopped"));
  if (loaded.isError()) return fail(describe(loaded));
  QJSValue find = engine.globalObject().property(QStringLiteral("FindProxyForURL"));
  if (!find.isCallable()) return fail(QStringLiteral("The proxy script has no FindProxyForURL"));

  QUrl plain = url;
  plain.setUserInfo(QString());
  const QJSValue answer = find.call({QJSValue(plain.toString(QUrl::FullyEncoded)),
                                     QJSValue(url.host())});
  watchdog.stop();
  if (stopped(answer)) return fail(QStringLiteral("The proxy script was stopped"));
  if (answer.isError()) return fail(describe(answer));
  if (!answer.isString()) return fail(QStringLiteral("FindProxyForURL gave no text"));
  return answer.toString();
}

PacEvaluator::Resolver PacEvaluator::systemResolver() {
  return [](const QString& host) -> std::optional<QString> {
    const QHostAddress literal(host);
    if (!literal.isNull()) {
      if (literal.protocol() == QAbstractSocket::IPv4Protocol) return literal.toString();
      return std::nullopt;
    }
    // The look-up runs on a thread of its own so that a slow resolver costs at most the wait.
    struct Shared {
      std::mutex mutex;
      std::condition_variable done;
      bool finished = false;
      std::optional<QString> address;
    };
    auto shared = std::make_shared<Shared>();
    const QByteArray name = host.toUtf8();
    std::thread([shared, name] {
      addrinfo hints{};
      hints.ai_family = AF_INET;
      addrinfo* result = nullptr;
      std::optional<QString> address;
      if (::getaddrinfo(name.constData(), nullptr, &hints, &result) == 0 && result != nullptr) {
        address = QHostAddress(result->ai_addr).toString();
        ::freeaddrinfo(result);
      }
      std::lock_guard lock(shared->mutex);
      shared->address = address;
      shared->finished = true;
      shared->done.notify_all();
    }).detach();
    std::unique_lock lock(shared->mutex);
    shared->done.wait_for(lock, std::chrono::seconds(2), [&] { return shared->finished; });
    return shared->address;
  };
}

QString PacEvaluator::localAddress() {
  for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
    if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback()) {
      return address.toString();
    }
  }
  return QStringLiteral("127.0.0.1");
}

}  // namespace http::proxy

#include "pac_evaluator.moc"
