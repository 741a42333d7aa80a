// fetch options for reaching test servers under made-up names: --resolve HOST:PORT:ADDRESS
// connects to ADDRESS for HOST and PORT without a name lookup (repeatable; PORT may be "*"), and
// --insecure accepts any server certificate.
#include "fetch_feature.h"

#include "http/transport/host_overrides.h"

namespace {

const QCommandLineOption kResolveOption(
    QStringLiteral("resolve"),
    QStringLiteral("Connect to ADDRESS for HOST:PORT instead of looking HOST up (repeatable)."),
    QStringLiteral("HOST:PORT:ADDRESS"));

const QCommandLineOption kInsecureOption(QStringLiteral("insecure"),
                                         QStringLiteral("Do not validate server certificates."));

class ResolveFeature : public FetchFeature {
 public:
  QList<QCommandLineOption> options() const override { return {kResolveOption, kInsecureOption}; }

  void prepare(http::HTTPRequest& request, const QCommandLineParser& parser) override {
    if (parser.isSet(kInsecureOption)) request.setValidatesSecureCertificate(false);
  }

  bool configure(const QCommandLineParser& parser, QString* error) override {
    for (const QString& text : parser.values(kResolveOption)) {
      if (!http::transport::HostOverrides::setFromText(text)) {
        *error = QStringLiteral("--resolve wants HOST:PORT:ADDRESS with an IP address, not \"%1\"")
                     .arg(text);
        return false;
      }
    }
    return true;
  }
};

FETCH_FEATURE(ResolveFeature);

}  // namespace
