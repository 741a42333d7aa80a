// fetch options for proxies: a proxy of the request's own (--proxy, --proxy-type) or a proxy
// script (--pac); without either the system settings apply. Summary field: proxy=.
#include "fetch_feature.h"

namespace {

const QCommandLineOption kProxyOption(QStringLiteral("proxy"),
                                      QStringLiteral("Use the proxy at HOST:PORT."),
                                      QStringLiteral("HOST:PORT"));
const QCommandLineOption kProxyTypeOption(QStringLiteral("proxy-type"),
                                          QStringLiteral("The proxy's kind: http (default) or socks."),
                                          QStringLiteral("TYPE"), QStringLiteral("http"));
const QCommandLineOption kPacOption(QStringLiteral("pac"),
                                    QStringLiteral("Choose the proxy with the script at URL (file: or http:)."),
                                    QStringLiteral("URL"));

class ProxyFeature : public FetchFeature {
 public:
  QList<QCommandLineOption> options() const override {
    return {kProxyOption, kProxyTypeOption, kPacOption};
  }

  bool configure(const QCommandLineParser& parser, QString* error) override {
    const QString type = parser.value(kProxyTypeOption).toLower();
    if (type != QLatin1String("http") && type != QLatin1String("socks")) {
      *error = QStringLiteral("--proxy-type must be http or socks");
      return false;
    }
    type_ = type == QLatin1String("socks") ? QStringLiteral("SOCKS") : QStringLiteral("HTTP");
    if (parser.isSet(kProxyOption)) {
      const QString value = parser.value(kProxyOption);
      const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
      bool ok = false;
      port_ = colon > 0 ? value.mid(colon + 1).toInt(&ok) : 0;
      host_ = colon > 0 ? value.left(colon) : QString();
      if (host_.startsWith(QLatin1Char('[')) && host_.endsWith(QLatin1Char(']'))) {
        host_ = host_.mid(1, host_.size() - 2);
      }
      if (!ok || host_.isEmpty() || port_ <= 0 || port_ > 65535) {
        *error = QStringLiteral("--proxy wants HOST:PORT");
        return false;
      }
    }
    if (parser.isSet(kPacOption)) {
      pac_ = QUrl(parser.value(kPacOption));
      if (pac_.isRelative()) pac_ = QUrl::fromLocalFile(parser.value(kPacOption));
    }
    return true;
  }

  void prepare(http::HTTPRequest& request, const QCommandLineParser&) override {
    if (!host_.isEmpty()) {
      request.setProxyHost(host_);
      request.setProxyPort(port_);
      request.setProxyType(type_);
    }
    if (!pac_.isEmpty()) request.setPACurl(pac_);
  }

  void summarize(const http::HTTPRequest& request, QByteArray* line) const override {
    const bool proxied = !request.proxyHost().isEmpty() && request.proxyPort() != 0;
    addField(line, "proxy",
             proxied ? QStringLiteral("%1:%2").arg(request.proxyHost()).arg(request.proxyPort())
                     : QStringLiteral("direct"));
  }

 private:
  QString host_;
  int port_ = 0;
  QString type_;
  QUrl pac_;
};

FETCH_FEATURE(ProxyFeature);

}  // namespace
