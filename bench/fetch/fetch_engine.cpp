// fetch options of the request engine itself: the time-out, resumable downloads to -o FILE, and
// the number of retries on the summary line.
#include "fetch_feature.h"

#include <QFileInfo>

namespace {

const QCommandLineOption kTimeoutOption(
    QStringLiteral("timeout"),
    QStringLiteral("Give up on a request after SECONDS without activity (default 10)."),
    QStringLiteral("SECONDS"));
const QCommandLineOption kResumeOption(
    QStringLiteral("resume"),
    QStringLiteral("Download to -o FILE resumably: the partial body waits in FILE.download and a "
                   "later run asks for the rest."));

class EngineFeature : public FetchFeature {
 public:
  QList<QCommandLineOption> options() const override { return {kTimeoutOption, kResumeOption}; }

  bool configure(const QCommandLineParser& parser, QString* error) override {
    if (parser.isSet(kTimeoutOption)) {
      bool ok = false;
      timeout_ = parser.value(kTimeoutOption).toDouble(&ok);
      if (!ok || timeout_ < 0) {
        *error = QStringLiteral("--timeout needs a number of seconds, not \"%1\"").arg(parser.value(kTimeoutOption));
        return false;
      }
    }
    if (parser.isSet(kResumeOption) && parser.value(QStringLiteral("output")).isEmpty()) {
      *error = QStringLiteral("--resume needs -o FILE");
      return false;
    }
    return true;
  }

  void prepare(http::HTTPRequest& request, const QCommandLineParser& parser) override {
    if (parser.isSet(kTimeoutOption)) request.setTimeOutSeconds(timeout_);
    if (parser.isSet(kResumeOption)) {
      const QString output = QFileInfo(parser.value(QStringLiteral("output"))).absoluteFilePath();
      request.setAllowResumeForFileDownloads(true);
      request.setTemporaryFileDownloadPath(output + QStringLiteral(".download"));
    }
  }

  void summarize(const http::HTTPRequest& request, QByteArray* line) const override {
    addField(line, "retries", request.retryCount());
  }

 private:
  double timeout_ = 0;
};

FETCH_FEATURE(EngineFeature);

}  // namespace
