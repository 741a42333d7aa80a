// fetch options for cookies: --no-cookies (the shared cookie store is neither used nor
// filled) and --cookie name=value (sent with every request, repeatable). The summary line gains
// cookies=<number of cookies the response set>.
#include "fetch_feature.h"

#include <QNetworkCookie>

namespace {

const QCommandLineOption kNoCookiesOption(QStringLiteral("no-cookies"),
                                          QStringLiteral("Do not use or fill the cookie store."));
const QCommandLineOption kCookieOption(QStringLiteral("cookie"),
                                       QStringLiteral("Send the cookie NAME=VALUE (repeatable)."),
                                       QStringLiteral("NAME=VALUE"));

class CookiesFeature : public FetchFeature {
 public:
  QList<QCommandLineOption> options() const override { return {kNoCookiesOption, kCookieOption}; }

  bool configure(const QCommandLineParser& parser, QString* error) override {
    for (const QString& text : parser.values(kCookieOption)) {
      const qsizetype equals = text.indexOf(QLatin1Char('='));
      if (equals <= 0) {
        *error = QStringLiteral("--cookie wants NAME=VALUE, not \"%1\"").arg(text);
        return false;
      }
      cookies_ << QVariant::fromValue(QNetworkCookie(text.left(equals).toUtf8(), text.mid(equals + 1).toUtf8()));
    }
    return true;
  }

  void prepare(http::HTTPRequest& request, const QCommandLineParser& parser) override {
    if (parser.isSet(kNoCookiesOption)) request.setUseCookiePersistence(false);
    if (!cookies_.isEmpty()) request.setRequestCookies(request.requestCookies() + cookies_);
  }

  void summarize(const http::HTTPRequest& request, QByteArray* line) const override {
    addField(line, "cookies", request.responseCookies().size());
  }

 private:
  QVariantList cookies_;  // from --cookie, in the order given
};

FETCH_FEATURE(CookiesFeature);

}  // namespace
