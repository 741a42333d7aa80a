// fetch options for the request itself and its body: -X METHOD, -H "Name: value" (repeatable),
// --data TEXT (a body in memory), --data-file PATH (a body streamed from that file) and
// --gzip-body (send the body gzip-compressed).
#include "fetch_feature.h"

#include <QFileInfo>

namespace {

const QCommandLineOption kMethodOption({QStringLiteral("X"), QStringLiteral("request")},
                                       QStringLiteral("Use METHOD for the request."),
                                       QStringLiteral("METHOD"));
const QCommandLineOption kHeaderOption({QStringLiteral("H"), QStringLiteral("header")},
                                       QStringLiteral("Add the request header \"Name: value\" (repeatable)."),
                                       QStringLiteral("HEADER"));
const QCommandLineOption kDataOption(QStringLiteral("data"),
                                     QStringLiteral("Send TEXT as the request body (from memory)."),
                                     QStringLiteral("TEXT"));
const QCommandLineOption kDataFileOption(QStringLiteral("data-file"),
                                         QStringLiteral("Send the file at PATH as the request body, streamed from disk."),
                                         QStringLiteral("PATH"));
const QCommandLineOption kGzipBodyOption(QStringLiteral("gzip-body"),
                                         QStringLiteral("Compress the request body with gzip."));

class BodyFeature : public FetchFeature {
 public:
  QList<QCommandLineOption> options() const override {
    return {kMethodOption, kHeaderOption, kDataOption, kDataFileOption, kGzipBodyOption};
  }

  bool configure(const QCommandLineParser& parser, QString* error) override {
    if (parser.isSet(kDataOption) && parser.isSet(kDataFileOption)) {
      *error = QStringLiteral("--data and --data-file cannot be used together");
      return false;
    }
    for (const QString& header : parser.values(kHeaderOption)) {
      const qsizetype colon = header.indexOf(QLatin1Char(':'));
      if (colon <= 0) {
        *error = QStringLiteral("-H wants \"Name: value\", not \"%1\"").arg(header);
        return false;
      }
      headers_.append({header.left(colon).trimmed(), header.mid(colon + 1).trimmed()});
    }
    if (parser.isSet(kDataFileOption)) {
      const QFileInfo file(parser.value(kDataFileOption));
      if (!file.isFile()) {
        *error = QStringLiteral("--data-file: no file at %1").arg(file.filePath());
        return false;
      }
      dataFile_ = file.absoluteFilePath();
    }
    return true;
  }

  void prepare(http::HTTPRequest& request, const QCommandLineParser& parser) override {
    if (parser.isSet(kMethodOption)) request.setRequestMethod(parser.value(kMethodOption));
    for (const auto& [name, value] : headers_) request.addRequestHeader(name, value);
    if (parser.isSet(kGzipBodyOption)) request.setShouldCompressRequestBody(true);
    if (parser.isSet(kDataOption)) request.appendPostData(parser.value(kDataOption).toUtf8());
    if (!dataFile_.isEmpty()) {
      // The caller's own file is sent as it is: nothing is copied.
      request.setShouldStreamPostDataFromDisk(true);
      request.setPostBodyFilePath(dataFile_);
    }
  }

 private:
  QList<std::pair<QString, QString>> headers_;
  QString dataFile_;
};

FETCH_FEATURE(BodyFeature);

}  // namespace
