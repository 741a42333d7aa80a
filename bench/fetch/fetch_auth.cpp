// fetch options for authentication: credentials for the server and the proxy, Basic before any
// challenge, the NTLM account domain, the system credential store, and a delegate that answers
// the first challenge (requests run through the queue with -i: synchronous requests never ask).
// The summary line gains auth=<scheme of the last challenge, or none>.
#include "fetch_feature.h"

#include <atomic>

namespace {

const QCommandLineOption kUser({QStringLiteral("u"), QStringLiteral("user")},
                               QStringLiteral("Server credentials."), QStringLiteral("USER:PASSWORD"));
const QCommandLineOption kBasic(QStringLiteral("basic"),
                                QStringLiteral("Send Basic credentials before any challenge."));
const QCommandLineOption kDomain(QStringLiteral("domain"), QStringLiteral("NTLM account domain."),
                                 QStringLiteral("DOMAIN"));
const QCommandLineOption kProxyUser(QStringLiteral("proxy-user"), QStringLiteral("Proxy credentials."),
                                    QStringLiteral("USER:PASSWORD"));
const QCommandLineOption kKeychain(QStringLiteral("keychain"),
                                   QStringLiteral("Read and save credentials in the system store."));
const QCommandLineOption kAsk(QStringLiteral("ask"),
                              QStringLiteral("Answer the first challenge through the delegate (queued requests)."),
                              QStringLiteral("USER:PASSWORD"));

std::pair<QString, QString> split(const QString& pair) {
  const qsizetype colon = pair.indexOf(QLatin1Char(':'));
  if (colon < 0) return {pair, QString(QLatin1String(""))};
  return {pair.left(colon), pair.mid(colon + 1)};
}

// Answers the first challenge of the process with fixed credentials; gives up on later ones.
class AskingDelegate : public platform::Object {
  PLATFORM_OBJECT
 public:
  void serverNeeded(const std::shared_ptr<http::HTTPRequest>& request) { answer(request, false); }
  void proxyNeeded(const std::shared_ptr<http::HTTPRequest>& request) { answer(request, true); }
  QString user;
  QString password;

 private:
  void answer(const std::shared_ptr<http::HTTPRequest>& request, bool proxy) {
    if (answered_.exchange(true)) {
      request->cancelAuthentication();
      return;
    }
    if (proxy) {
      request->setProxyUsername(user);
      request->setProxyPassword(password);
    } else {
      request->setUsername(user);
      request->setPassword(password);
    }
    request->retryUsingSuppliedCredentials();
  }
  std::atomic<bool> answered_{false};
};

const platform::MethodTable& AskingDelegate::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {
      platform::method("authenticationNeededForRequest:", &AskingDelegate::serverNeeded),
      platform::method("proxyAuthenticationNeededForRequest:", &AskingDelegate::proxyNeeded),
  });
  return table;
}

class AuthFeature : public FetchFeature {
 public:
  QList<QCommandLineOption> options() const override {
    return {kUser, kBasic, kDomain, kProxyUser, kKeychain, kAsk};
  }
  bool configure(const QCommandLineParser& parser, QString*) override {
    if (parser.isSet(kAsk)) {
      delegate_ = std::make_shared<AskingDelegate>();
      std::tie(delegate_->user, delegate_->password) = split(parser.value(kAsk));
    }
    return true;
  }
  void prepare(http::HTTPRequest& request, const QCommandLineParser& parser) override {
    if (parser.isSet(kUser)) {
      const auto [user, password] = split(parser.value(kUser));
      request.setUsername(user);
      request.setPassword(password);
    }
    if (parser.isSet(kBasic)) request.setAuthenticationScheme(QStringLiteral("Basic"));
    if (parser.isSet(kDomain)) {
      request.setDomain(parser.value(kDomain));
      request.setProxyDomain(parser.value(kDomain));
    }
    if (parser.isSet(kProxyUser)) {
      const auto [user, password] = split(parser.value(kProxyUser));
      request.setProxyUsername(user);
      request.setProxyPassword(password);
    }
    if (parser.isSet(kKeychain)) request.setUseKeychainPersistence(true);
    if (delegate_) request.setDelegate(delegate_);
  }
  void summarize(const http::HTTPRequest& request, QByteArray* line) const override {
    QString scheme = request.authenticationScheme();
    if (scheme.isEmpty()) scheme = request.proxyAuthenticationScheme();
    if (scheme.isEmpty()) scheme = QStringLiteral("none");
    addField(line, "auth", scheme);
  }

 private:
  std::shared_ptr<AskingDelegate> delegate_;
};

FETCH_FEATURE(AuthFeature);

}  // namespace
