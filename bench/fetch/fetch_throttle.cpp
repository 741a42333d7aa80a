// fetch options for bandwidth throttling: the class-wide limit (--limit-rate) and an upload of
// a file's bytes to measure the upload throttle (--throttle-put). Summary field: avg-bps=.
#include "fetch_feature.h"

#include <QFileInfo>

namespace {

const QCommandLineOption kLimitOption(QStringLiteral("limit-rate"),
                                      QStringLiteral("Hold all requests to BYTES per second together."),
                                      QStringLiteral("BYTES"));
const QCommandLineOption kPutOption(QStringLiteral("throttle-put"),
                                    QStringLiteral("Send FILE with PUT, read from disk as it goes."),
                                    QStringLiteral("FILE"));

class ThrottleFeature : public FetchFeature {
 public:
  QList<QCommandLineOption> options() const override { return {kLimitOption, kPutOption}; }

  bool configure(const QCommandLineParser& parser, QString* error) override {
    if (parser.isSet(kLimitOption)) {
      bool ok = false;
      const quint64 limit = parser.value(kLimitOption).toULongLong(&ok);
      if (!ok) {
        *error = QStringLiteral("--limit-rate wants a number of bytes");
        return false;
      }
      http::HTTPRequest::setMaxBandwidthPerSecond(limit);
    }
    if (parser.isSet(kPutOption)) {
      upload_ = QFileInfo(parser.value(kPutOption)).absoluteFilePath();
      if (!QFileInfo(upload_).isFile()) {
        *error = QStringLiteral("--throttle-put: no file at %1").arg(upload_);
        return false;
      }
    }
    return true;
  }

  void prepare(http::HTTPRequest& request, const QCommandLineParser&) override {
    if (upload_.isEmpty()) return;
    request.setRequestMethod(QStringLiteral("PUT"));
    request.setShouldStreamPostDataFromDisk(true);
    request.setPostBodyFilePath(upload_);
  }

  void summarize(const http::HTTPRequest&, QByteArray* line) const override {
    addField(line, "avg-bps", static_cast<qint64>(http::HTTPRequest::averageBandwidthUsedPerSecond()));
  }

 private:
  QString upload_;
};

FETCH_FEATURE(ThrottleFeature);

}  // namespace
