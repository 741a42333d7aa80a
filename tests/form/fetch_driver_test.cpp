// The development driver's body and form options, judged by the independent decoder: what each
// command line puts on the wire, and the summary line's count of body bytes sent.
#include "support/form_decoder_server.h"
#include "support/private_temp_folder.h"
#include "support/temp_dir.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

const bool kPrivateTemporaryFolder = testsupport::usePrivateTemporaryFolder();

struct FetchRun {
  QJsonObject report;   // what the decoder saw (the response body, printed on standard error)
  QString summary;      // the last line on standard output
};

FetchRun runFetch(const QStringList& arguments) {
  QProcess fetch;
  fetch.start(QStringLiteral(FETCH_BINARY), arguments);
  EXPECT_TRUE(fetch.waitForFinished(60000));
  const QStringList lines = QString::fromUtf8(fetch.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
  return {testsupport::FormDecoderServer::report(fetch.readAllStandardError()), lines.value(lines.size() - 1)};
}

TEST(FetchDriverTest, BodyAndFormOptionsReachTheWireAsAsked) {
  testsupport::FormDecoderServer server;
  if (!server.isRunning()) GTEST_SKIP() << server.errorText().toStdString();
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "body.txt", "from a file;\n");
  const QString file = QString::fromStdString((dir / "body.txt").string());
  const QString url = server.url("/in").toString();
  struct Case {
    const char* name;
    QStringList arguments;
    QString method;
    QString contentType;  // the start of the Content-Type sent
    QString decoded;      // the form as "k=v" items, or the body size and encoding
  };
  const Case cases[] = {
      {"memory body, gzip, headers", {"-X", "PUT", "-H", "X-Test: yes", "--data", "abc", "--gzip-body", url},
       "PUT", "", "3 gzip yes"},
      {"body file", {"--data-file", file, url}, "POST", "", "13  "},
      {"asynchronous", {"--async", "--data", "abcd", url}, "POST", "", "4  "},
      {"URL-encoded form", {"--form", "a=1", "--form", "b=x y", url}, "POST",
       "application/x-www-form-urlencoded; charset=utf-8", "a=1 b=x y"},
      {"multipart without files", {"--multipart", "--form", "a=1", url}, "POST",
       "multipart/form-data; charset=utf-8; boundary=", "a=1"},
      {"file part with type and name", {"--form", "a=1", "--form-file", "f=" + file + ";type=text/x-note;filename=n.txt", url},
       "POST", "multipart/form-data; charset=utf-8; boundary=", "a=1 f=from a file;\n[n.txt text/x-note]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FetchRun run = runFetch(c.arguments);
    const QJsonObject headers = run.report.value("headers").toObject();
    EXPECT_EQ(run.report.value("method").toString(), c.method);
    const QString contentType = headers.value("content-type").toString();
    EXPECT_EQ(contentType.left(c.contentType.size()).toStdString(), c.contentType.toStdString());
    QStringList decoded;
    const QJsonObject form = run.report.value("form").toObject();
    for (const QJsonValue& pair : form.value("pairs").toArray()) {
      decoded << pair.toArray()[0].toString() + "=" + pair.toArray()[1].toString();
    }
    for (const QJsonValue& value : form.value("parts").toArray()) {
      const QJsonObject part = value.toObject();
      QString item = part.value("name").toString() + "=" + part.value("text").toString();
      if (!part.value("filename").isNull()) {
        item += QStringLiteral("[%1 %2]").arg(part.value("filename").toString(), part.value("content_type").toString());
      }
      decoded << item;
    }
    if (form.isEmpty()) {
      decoded << QString::number(run.report.value("size").toInteger())
              << headers.value("content-encoding").toString() << headers.value("x-test").toString();
    }
    EXPECT_EQ(decoded.join(' ').toStdString(), QString(c.decoded).toStdString());
    // The summary counts the body bytes as they went on the wire (compressed when gzip).
    EXPECT_TRUE(run.summary.startsWith(
        QStringLiteral("summary: status=200 sent=%1 ").arg(run.report.value("raw_size").toInteger())))
        << run.summary.toStdString();
    EXPECT_TRUE(run.summary.contains(" error=0")) << run.summary.toStdString();
  }
}

}  // namespace
