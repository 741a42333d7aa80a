// fetch option --resolve HOST:PORT:ADDRESS: connect to ADDRESS for HOST and PORT without a name
// lookup (repeatable; PORT may be "*"), so that made-up host names reach loopback servers.
#include "fetch_feature.h"

#include "http/transport/host_overrides.h"

namespace {

const QCommandLineOption kResolveOption(
    QStringLiteral("resolve"),
    QStringLiteral("Connect to ADDRESS for HOST:PORT instead of looking HOST up (repeatable)."),
    QStringLiteral("HOST:PORT:ADDRESS"));

class ResolveFeature : public FetchFeature {
 public:
  QList<QCommandLineOption> options() const override { return {kResolveOption}; }

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
