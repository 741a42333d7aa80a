// Form bodies judged by an independent decoder (Python's standard library): URL-encoded and
// multipart, UTF-8 and ISO Latin-1, repeated keys, files from disk and memory, gzip, names that
// try to break out of their header, and files that cannot be sent.
#include "form/form_data_request.h"

#include "body_fixtures.h"
#include "support/form_decoder_server.h"
#include "support/private_temp_folder.h"
#include "support/temp_dir.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>

#include <gtest/gtest.h>

namespace {

using form::FormDataRequest;
using testsupport::RunMode;

const bool kPrivateTemporaryFolder = testsupport::usePrivateTemporaryFolder();

QString sha256(const QByteArray& bytes) {
  return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// A part as the decoder saw it, flattened for comparison.
struct Part {
  QString name;
  QString filename;  // "-" when the part has none
  QString contentType;
  qint64 size;
  QString text;      // the value or file text ("" for large parts)
};

QString partLine(const Part& p) {
  return QStringLiteral("%1|%2|%3|%4|%5").arg(p.name, p.filename, p.contentType).arg(p.size).arg(p.text);
}

QStringList decodedParts(const QJsonObject& report) {
  QStringList lines;
  for (const QJsonValue& value : report.value("form").toObject().value("parts").toArray()) {
    const QJsonObject part = value.toObject();
    lines << partLine(Part{part.value("name").toString(),
                           part.value("filename").isNull() ? QStringLiteral("-") : part.value("filename").toString(),
                           part.value("content_type").toString(), part.value("size").toInteger(),
                           part.value("text").toString()});
  }
  return lines;
}

QStringList decodedPairs(const QJsonObject& report) {
  QStringList lines;
  for (const QJsonValue& value : report.value("form").toObject().value("pairs").toArray()) {
    lines << value.toArray()[0].toString() + QLatin1Char('=') + value.toArray()[1].toString();
  }
  return lines;
}

class FormDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server_.isRunning()) GTEST_SKIP() << server_.errorText().toStdString();
  }
  QString file(const char* name, const QByteArray& content) {
    testsupport::writeFile(dir_ / name, content.toStdString());
    return QString::fromStdString((dir_ / name).string());
  }
  // Runs the form and returns what the decoder reported.
  QJsonObject post(const std::shared_ptr<FormDataRequest>& request, RunMode mode) {
    EXPECT_TRUE(testsupport::runRequest(request, mode));
    EXPECT_EQ(request->error(), nullptr) << (request->error() ? request->error()->toString().toStdString() : "");
    return testsupport::FormDecoderServer::report(request->responseData());
  }

  testsupport::FormDecoderServer server_;
  testsupport::TempDir dir_;
};

TEST_F(FormDecoderTest, UrlEncodedFormsKeepOrderRepeatsAndTheirCharset) {
  struct Case {
    const char* name;
    http::StringEncoding encoding;
    RunMode mode;
    QStringList expected;
    QString charset;
  };
  const Case cases[] = {
      {"utf-8", http::UTF8StringEncoding, RunMode::Synchronous,
       {"a=1", "name=Zoë & co", "a=2", "ключ=значение", "sym=:/?#[]@!$&'()*+,;=\"<>%{}|\\^~`", "empty="},
       "utf-8"},
      {"latin-1", http::ISOLatin1StringEncoding, RunMode::Queued,
       {"a=1", "name=Zoë & co", "a=2", "=", "sym=:/?#[]@!$&'()*+,;=\"<>%{}|\\^~`", "empty="},
       "iso-8859-1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto request = FormDataRequest::requestWithURL(server_.url("/form"));
    request->setStringEncoding(c.encoding);
    request->addPostValue(1, "a");
    request->addPostValue(QStringLiteral("Zoë & co"), "name");
    request->addPostValue(2, "a");
    request->addPostValue(QStringLiteral("значение"), QStringLiteral("ключ"));
    request->addPostValue(QStringLiteral(":/?#[]@!$&'()*+,;=\"<>%{}|\\^~`"), "sym");
    request->addPostValue(QString(), "empty");
    const QJsonObject report = post(request, c.mode);
    EXPECT_EQ(report.value("method").toString(), "POST");
    EXPECT_EQ(report.value("headers").toObject().value("content-type").toString(),
              "application/x-www-form-urlencoded; charset=" + c.charset);
    EXPECT_EQ(decodedPairs(report).join('\n').toStdString(), c.expected.join('\n').toStdString());
  }
}

TEST_F(FormDecoderTest, SettingAValueReplacesEveryEarlierItemOfItsKey) {
  auto request = FormDataRequest::requestWithURL(server_.url("/form"));
  request->addPostValue("1", "k");
  request->addPostValue("x", "other");
  request->addPostValue("2", "k");
  request->addPostValue("3", "k");
  request->setPostValue("last", "k");
  ASSERT_EQ(request->postData()->size(), 2);
  EXPECT_EQ(decodedPairs(post(request, RunMode::Asynchronous)).join('&').toStdString(), "other=x&k=last");
}

TEST_F(FormDecoderTest, MultipartFormsCarryValuesAndFilesIntact) {
  const QByteArray big = testsupport::patternBytes(700000, 3);
  const QString textFile = file("notes.txt", "plain text\r\n--not a boundary\r\n");
  const QString bigFile = file("big.bin", big);
  const QString emptyFile = file("empty.dat", {});
  struct Case {
    const char* name;
    http::StringEncoding encoding;
    bool gzip;
    RunMode mode;
  };
  const Case cases[] = {
      {"utf-8", http::UTF8StringEncoding, false, RunMode::Synchronous},
      {"latin-1", http::ISOLatin1StringEncoding, false, RunMode::Asynchronous},
      {"utf-8 gzip", http::UTF8StringEncoding, true, RunMode::Queued},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto request = FormDataRequest::requestWithURL(server_.url("/upload"));
    request->setStringEncoding(c.encoding);
    request->setShouldCompressRequestBody(c.gzip);
    request->addPostValue(QStringLiteral("café crème"), "drink");
    request->addPostValue(1, "n");
    request->addPostValue(2, "n");
    request->addFile(textFile, "notes");
    request->addFile(bigFile, QStringLiteral("données.bin"), "application/x-test", "blob");
    request->addFile(emptyFile, "nothing");
    request->addData("in memory", "mem");
    request->addData("", QStringLiteral("zero.txt"), "text/plain", "mem");
    // Files force the multipart form even though the default is URL-encoded.
    const QJsonObject report = post(request, c.mode);
    EXPECT_EQ(request->postFormat(), 0);
    const QString charset = c.encoding == http::UTF8StringEncoding ? "utf-8" : "iso-8859-1";
    EXPECT_TRUE(report.value("headers").toObject().value("content-type").toString().startsWith(
        "multipart/form-data; charset=" + charset + "; boundary=0xKhTmLbOuNdArY-"));
    EXPECT_EQ(report.value("headers").toObject().value("content-encoding").toString(), c.gzip ? "gzip" : "");
    EXPECT_EQ(report.value("form").toObject().value("defects").toArray().size(), 0);
    const QStringList expected{
        partLine({"drink", "-", "", QByteArray("café crème").size() - (c.encoding == http::UTF8StringEncoding ? 0 : 2), "café crème"}),
        partLine({"n", "-", "", 1, "1"}),
        partLine({"n", "-", "", 1, "2"}),
        partLine({"notes", "notes.txt", "text/plain", 30, "plain text\r\n--not a boundary\r\n"}),
        partLine({"blob", "données.bin", "application/x-test", big.size(), ""}),
        partLine({"nothing", "empty.dat", "application/octet-stream", 0, ""}),
        partLine({"mem", "file", "application/octet-stream", 9, "in memory"}),
        partLine({"mem", "zero.txt", "text/plain", 0, ""}),
    };
    EXPECT_EQ(decodedParts(report).join('\n').toStdString(), expected.join('\n').toStdString());
    const QJsonArray parts = report.value("form").toObject().value("parts").toArray();
    ASSERT_EQ(parts.size(), expected.size());
    EXPECT_EQ(parts[4].toObject().value("sha256").toString(), sha256(big));
  }
  EXPECT_EQ(testsupport::strayTemporaryFiles().join(' ').toStdString(), "");
}

TEST_F(FormDecoderTest, NamesCannotInjectHeadersOrEndTheirPartEarly) {
  auto request = FormDataRequest::requestWithURL(server_.url("/upload"));
  request->setPostFormat(FormDataRequest::MultipartFormDataPostFormat);
  request->addPostValue("v", QStringLiteral("a\"b\r\nX-Injected: 1"));
  request->addData("payload", QStringLiteral("evil\".txt\r\nContent-Type: text/html\r\n\r\nboo"),
                   QStringLiteral("text/plain\r\nX-Also: 2"), QStringLiteral("f\"ile"));
  const QJsonObject report = post(request, RunMode::Synchronous);
  const QJsonArray parts = report.value("form").toObject().value("parts").toArray();
  ASSERT_EQ(parts.size(), 2);
  EXPECT_EQ(parts[0].toObject().value("name").toString(), "a%22b%0D%0AX-Injected: 1");
  EXPECT_EQ(parts[0].toObject().value("text").toString(), "v");
  EXPECT_EQ(parts[1].toObject().value("name").toString(), "f%22ile");
  EXPECT_EQ(parts[1].toObject().value("filename").toString(),
            "evil%22.txt%0D%0AContent-Type: text/html%0D%0A%0D%0Aboo");
  EXPECT_EQ(parts[1].toObject().value("text").toString(), "payload");
  for (const QJsonValue& part : parts) {
    QStringList names;
    for (const QJsonValue& name : part.toObject().value("header_names").toArray()) names << name.toString();
    EXPECT_EQ(names.filter(QRegularExpression("^X-", QRegularExpression::CaseInsensitiveOption)), QStringList());
  }
}

TEST_F(FormDecoderTest, AFileThatCannotBeSentFailsTheFormBeforeAnythingIsSent) {
  for (RunMode mode : {RunMode::Synchronous, RunMode::Queued}) {
    // Through a queue the failure must reach the queue too, or the queue never ends.
    SCOPED_TRACE(testsupport::runModeName(mode));
    auto request = FormDataRequest::requestWithURL(server_.url("/upload"));
    const QString missing = QString::fromStdString((dir_ / "missing.txt").string());
    request->addFile(missing, "f");
    ASSERT_EQ(request->fileData()->size(), 1);  // recorded all the same
    EXPECT_TRUE(testsupport::runRequest(request, mode, std::chrono::seconds(20)));
    ASSERT_NE(request->error(), nullptr);
    EXPECT_EQ(request->error()->code(), 6);
    EXPECT_EQ(request->error()->localizedDescription(), "No file exists at " + missing);
    EXPECT_TRUE(request->responseData().isEmpty());
  }
  {
    SCOPED_TRACE("file gone between adding and sending");
    auto request = FormDataRequest::requestWithURL(server_.url("/upload"));
    const QString vanishing = file("vanishing.txt", "here now");
    request->addPostValue("v", "k");
    request->addFile(vanishing, "f");
    ASSERT_EQ(request->error(), nullptr);
    QFile::remove(vanishing);
    request->startSynchronous();
    ASSERT_NE(request->error(), nullptr);
    EXPECT_EQ(request->error()->code(), 8);
    EXPECT_TRUE(request->error()->localizedDescription().contains(vanishing));
    EXPECT_TRUE(request->responseData().isEmpty());
  }
  EXPECT_EQ(testsupport::strayTemporaryFiles().join(' ').toStdString(), "");
}

}  // namespace
