// Class-level utilities of the request engine: the default User-Agent, MIME types of files,
// Base64, response expiry dates, HTTP dates and Content-Type parsing.
#include "http/http_request.h"

#include "http/request_class_state.h"
#include "http/string_encodings.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLocale>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QSysInfo>
#include <QTimeZone>

namespace http {
namespace {

// The first three numbers of the kernel version ("6.1.0-18-amd64" → 6.1.0); none when absent.
QString operatingSystemVersion() {
  static const QRegularExpression numbers(QStringLiteral("^(\\d+)\\.(\\d+)(?:\\.(\\d+))?"));
  const QRegularExpressionMatch match = numbers.match(QSysInfo::kernelVersion());
  if (!match.hasMatch()) return {};
  const QString patch = match.captured(3).isEmpty() ? QStringLiteral("0") : match.captured(3);
  return QStringLiteral("%1.%2.%3").arg(match.captured(1).toUInt()).arg(match.captured(2).toUInt()).arg(patch.toUInt());
}

QString operatingSystemName() {
  const QString kernel = QSysInfo::kernelType();
  if (kernel == QLatin1String("linux")) return QStringLiteral("Linux");
  return kernel.isEmpty() ? QStringLiteral("Unknown") : kernel.left(1).toUpper() + kernel.mid(1);
}

// Offsets of the zone names a formatter reads in HTTP dates.
std::optional<int> zoneOffsetSeconds(const QString& zone) {
  static const QRegularExpression numeric(QStringLiteral("^(?:GMT|UTC)?([+-])(\\d{2}):?(\\d{2})$"));
  const QString upper = zone.toUpper();
  if (upper == QLatin1String("GMT") || upper == QLatin1String("UTC") || upper == QLatin1String("UT") ||
      upper == QLatin1String("Z")) {
    return 0;
  }
  struct Named { const char* name; int hours; };
  static constexpr Named kNamed[] = {{"EST", -5}, {"EDT", -4}, {"CST", -6}, {"CDT", -5},
                                     {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}};
  for (const Named& named : kNamed) {
    if (upper == QLatin1String(named.name)) return named.hours * 3600;
  }
  const QRegularExpressionMatch match = numeric.match(upper);
  if (!match.hasMatch()) return std::nullopt;
  const int seconds = match.captured(2).toInt() * 3600 + match.captured(3).toInt() * 60;
  return match.captured(1) == QLatin1String("-") ? -seconds : seconds;
}

}  // namespace

// ---- User agent ----------------------------------------------------------------------------------

QString HTTPRequest::defaultUserAgentString() {
  RequestClassState& state = classState();
  std::lock_guard lock(state.classLock);
  if (!state.defaultUserAgent.isNull()) return state.defaultUserAgent;

  QCoreApplication* app = QCoreApplication::instance();
  const QString name = QCoreApplication::applicationName();
  if (name.isEmpty()) return {};
  // The name's UTF-8 bytes, each read as one Latin-1 character.
  const QString appName = QString::fromLatin1(name.toUtf8());

  // The short version is the application's version; a build number may be given as the
  // application's "buildVersion" property.
  const QString shortVersion = QCoreApplication::applicationVersion();
  const QString build = app ? app->property("buildVersion").toString() : QString();
  QString version;
  if (!shortVersion.isEmpty() && !build.isEmpty()) {
    version = shortVersion == build ? shortVersion : QStringLiteral("%1 rv:%2").arg(shortVersion, build);
  } else {
    version = shortVersion.isEmpty() ? build : shortVersion;
  }

  const QString osVersion = operatingSystemVersion();
  if (osVersion.isEmpty()) return {};
  const QString agent = QStringLiteral("%1 %2 (%3; %4 %5; %6)")
                            .arg(appName, version, QStringLiteral("X11"), operatingSystemName(), osVersion,
                                 QLocale::system().name());
  state.defaultUserAgent = agent;
  return agent;
}

void HTTPRequest::setDefaultUserAgentString(const QString& agent) {
  RequestClassState& state = classState();
  std::lock_guard lock(state.classLock);
  if (agent.isNull()) {
    state.defaultUserAgent = QString();
  } else if (agent != state.defaultUserAgent) {
    state.defaultUserAgent = agent;
  }
}

// ---- Files, Base64, dates ----------------------------------------------------------------------

QString HTTPRequest::mimeTypeForFileAtPath(const QString& path) {
  if (!QFileInfo::exists(path)) return {};
  static const QMimeDatabase database;
  const QMimeType type = database.mimeTypeForFile(path, QMimeDatabase::MatchExtension);
  if (!type.isValid() || type.isDefault()) return QStringLiteral("application/octet-stream");
  return type.name();
}

QString HTTPRequest::base64forData(const QByteArray& data) {
  return QString::fromLatin1(data.toBase64());
}

QDateTime HTTPRequest::expiryDateForRequest(const HTTPRequest& request, double maxAge) {
  const std::optional<platform::StringMap>& headers = request.responseHeaders();
  if (maxAge == 0 && headers) {
    const QString control = headers->value(QStringLiteral("Cache-Control")).toLower();
    const qsizetype at = control.indexOf(QLatin1String("max-age"));
    if (at >= 0) {
      QString rest = control.mid(at + 7).trimmed();
      if (rest.startsWith(QLatin1Char('='))) rest = rest.mid(1).trimmed();
      static const QRegularExpression number(QStringLiteral("^[+-]?(\\d+\\.?\\d*|\\.\\d+)([eE][+-]?\\d+)?"));
      const QRegularExpressionMatch match = number.match(rest);
      if (match.hasMatch()) maxAge = match.captured(0).toDouble();
    }
  }
  if (maxAge != 0) return QDateTime::currentDateTimeUtc().addMSecs(static_cast<qint64>(maxAge * 1000.0));
  if (headers && headers->contains(QStringLiteral("Expires"))) {
    return dateFromRFC1123String(headers->value(QStringLiteral("Expires")));
  }
  return {};
}

QDateTime HTTPRequest::dateFromRFC1123String(const QString& text) {
  // "EEE, dd MMM yyyy HH:mm:ss z": the day name only when there is a comma, the seconds only
  // when the text holds exactly two colons; English names whatever the user's locale.
  const bool withDay = text.contains(QLatin1Char(','));
  const bool withSeconds = text.split(QLatin1Char(':')).size() == 3;
  QString pattern = QStringLiteral("^\\s*");
  if (withDay) pattern += QStringLiteral("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), ");
  pattern += QStringLiteral("(\\d{1,2}) ([A-Za-z]{3}) (\\d{4}) (\\d{1,2}):(\\d{2})");
  if (withSeconds) pattern += QStringLiteral(":(\\d{2})");
  pattern += QStringLiteral(" (\\S+)\\s*$");
  const QRegularExpression expression(pattern, QRegularExpression::CaseInsensitiveOption);
  const QRegularExpressionMatch match = expression.match(text);
  if (!match.hasMatch()) return {};

  int field = withDay ? 2 : 1;
  const int day = match.captured(field++).toInt();
  const QString monthName = match.captured(field++).toLower();
  const int year = match.captured(field++).toInt();
  const int hour = match.captured(field++).toInt();
  const int minute = match.captured(field++).toInt();
  const int second = withSeconds ? match.captured(field++).toInt() : 0;
  const std::optional<int> offset = zoneOffsetSeconds(match.captured(field));
  static const QStringList months = {QStringLiteral("jan"), QStringLiteral("feb"), QStringLiteral("mar"),
                                     QStringLiteral("apr"), QStringLiteral("may"), QStringLiteral("jun"),
                                     QStringLiteral("jul"), QStringLiteral("aug"), QStringLiteral("sep"),
                                     QStringLiteral("oct"), QStringLiteral("nov"), QStringLiteral("dec")};
  const qsizetype month = months.indexOf(monthName);
  if (month < 0 || !offset) return {};
  const QDate date(year, static_cast<int>(month) + 1, day);
  const QTime time(hour, minute, second);
  if (!date.isValid() || !time.isValid()) return {};
  return QDateTime(date, time, Qt::OffsetFromUTC, *offset).toUTC();
}

// ---- Content types -----------------------------------------------------------------------------

void HTTPRequest::parseMimeType(QString* mimeType, StringEncoding* encoding, const QString& contentType) {
  if (contentType.isNull()) return;
  qsizetype start = 0;
  while (start < contentType.size() && contentType[start].isSpace()) ++start;
  const qsizetype semicolon = contentType.indexOf(QLatin1Char(';'), start);
  if (semicolon > start) {
    if (mimeType) *mimeType = contentType.mid(start, semicolon - start).trimmed();
    const qsizetype charsetAt = contentType.indexOf(QLatin1String("charset="), semicolon);
    if (charsetAt >= 0) {
      const qsizetype nameStart = charsetAt + 8;
      qsizetype nameEnd = contentType.indexOf(QLatin1Char(';'), nameStart);
      if (nameEnd < 0) nameEnd = contentType.size();
      const QString charset = contentType.mid(nameStart, nameEnd - nameStart).trimmed();
      if (!charset.isEmpty()) {
        if (std::optional<StringEncoding> known = encodingForIANACharsetName(charset); known && encoding) {
          *encoding = *known;
        }
      }
    }
    return;
  }
  if (mimeType) *mimeType = contentType.trimmed();
}

}  // namespace http
