// Uploads to a real nginx storing PUT bodies (WebDAV): a large file streamed from disk arrives
// byte for byte, methods and Content-Length as nginx logged them, redirects that drop or resend
// the body, and no temporary body file left behind.
#include "http/http_request.h"

#include "body_fixtures.h"
#include "support/nginx_server.h"
#include "support/private_temp_folder.h"
#include "support/temp_dir.h"
#include "support/wait.h"

#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>

#include <fstream>

namespace {

using http::HTTPRequest;

const bool kPrivateTemporaryFolder = testsupport::usePrivateTemporaryFolder();

// nginx storing PUT bodies under <root>/upload/, with two redirecting locations and a log line
// per request: "<method> <uri> <status> <Content-Length or -> <body bytes read>".
class NginxUploadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testsupport::NginxServer::isInstalled()) return;
    root_ = new testsupport::TempDir;
    std::filesystem::create_directories(root_->path() / "upload");
    testsupport::NginxServer::Options options;
    options.root = root_->path();
    options.extraHttpConfig =
        "log_format body '$request_method $uri $status $content_length $request_length';";
    options.extraServerConfig =
        "access_log body.log body;\n"
        "    client_max_body_size 0;\n"
        "    location /upload/ { dav_methods PUT DELETE; create_full_put_path on; }\n"
        "    location = /r302 { return 302 /upload/after302; }\n"
        "    location = /r307 { return 307 /upload/after307; }";
    server_ = new testsupport::NginxServer(options);
  }
  static void TearDownTestSuite() {
    delete server_;
    delete root_;
    server_ = nullptr;
    root_ = nullptr;
  }
  void SetUp() override {
    if (!server_) GTEST_SKIP() << "nginx is not installed";
    if (!server_->isRunning()) GTEST_SKIP() << server_->errorText().toStdString();
    logLinesSeen_ = log().size();
  }

  static std::vector<std::string> log() {
    std::vector<std::string> lines;
    std::ifstream in(server_->workDir() / "body.log");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Log lines written since the test started, without the request-length field. nginx writes a
  // line once it has answered: waits (bounded) until there are `atLeast` of them.
  std::vector<std::string> newLogLines(size_t atLeast = 0) const {
    std::vector<std::string> lines;
    testsupport::waitUntil([&] { return log().size() >= logLinesSeen_ + atLeast; }, std::chrono::seconds(5));
    const auto all = log();
    for (size_t i = logLinesSeen_; i < all.size(); ++i) lines.push_back(all[i].substr(0, all[i].rfind(' ')));
    return lines;
  }
  static QString stored(const char* name) {
    return QString::fromStdString((root_->path() / "upload" / name).string());
  }

  static testsupport::NginxServer* server_;
  static testsupport::TempDir* root_;
  size_t logLinesSeen_ = 0;
  testsupport::TempDir dir_;
};

testsupport::NginxServer* NginxUploadTest::server_ = nullptr;
testsupport::TempDir* NginxUploadTest::root_ = nullptr;

TEST_F(NginxUploadTest, ALargeFileStreamedFromDiskIsStoredByteForByte) {
  const QString source = QString::fromStdString((dir_ / "large.bin").string());
  const qint64 size = 300ll * 1000 * 1000;
  ASSERT_TRUE(testsupport::writePatternFile(source, size, 42));
  auto request = HTTPRequest::requestWithURL(server_->url("/upload/large.bin"));
  request->setRequestMethod("PUT");
  request->setShouldStreamPostDataFromDisk(true);
  request->setPostBodyFilePath(source);
  request->setTimeOutSeconds(60);
  request->startSynchronous();
  ASSERT_EQ(request->error(), nullptr) << request->error()->toString().toStdString();
  EXPECT_EQ(request->responseStatusCode(), 201);
  EXPECT_EQ(request->totalBytesSent(), static_cast<quint64>(size));
  EXPECT_TRUE(testsupport::sameFileContents(source, stored("large.bin")));
  EXPECT_TRUE(QFile::exists(source));  // the caller's own file is never removed
  QFile::remove(stored("large.bin"));
}

TEST_F(NginxUploadTest, MethodAndContentLengthAsNginxSawThem) {
  struct Case {
    const char* path;
    const char* method;  // null: the default
    QByteArray data;
    const char* logged;
  };
  const Case cases[] = {
      {"/upload/get", nullptr, "abc", "POST /upload/get 404 3"},
      {"/upload/delete", "DELETE", "abcd", "POST /upload/delete 404 4"},
      {"/upload/put", "PUT", "abcde", "PUT /upload/put 201 5"},
      {"/upload/empty-post", "POST", {}, "POST /upload/empty-post 404 -"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const size_t before = newLogLines().size();
    auto request = HTTPRequest::requestWithURL(server_->url(QString::fromLatin1(c.path)));
    if (c.method) request->setRequestMethod(QString::fromLatin1(c.method));
    request->appendPostData(c.data);
    request->startSynchronous();
    ASSERT_EQ(request->error(), nullptr);
    const auto lines = newLogLines(before + 1);
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_EQ(lines.back(), c.logged);
  }
  EXPECT_EQ(testsupport::readFile(root_->path() / "upload" / "put"), "abcde");
}

TEST_F(NginxUploadTest, A302DropsTheBodyAndA307ResendsItFromTheRequestsOwnFile) {
  const QByteArray body = testsupport::patternBytes(5 << 20, 8);
  {
    SCOPED_TRACE("302 after a POST");
    auto request = HTTPRequest::requestWithURL(server_->url("/r302"));
    request->setShouldStreamPostDataFromDisk(true);
    request->appendPostData(body);
    request->startSynchronous();
    ASSERT_EQ(request->error(), nullptr);
    // nginx may log the redirected GET before it has finished reading the POST's body.
    auto lines = newLogLines(2);
    ASSERT_EQ(lines.size(), 2u);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines[0], "GET /upload/after302 404 -");
    EXPECT_EQ(lines[1], "POST /r302 302 5242880");
  }
  {
    SCOPED_TRACE("307 after a PUT");
    logLinesSeen_ = log().size();
    auto request = HTTPRequest::requestWithURL(server_->url("/r307"));
    request->setRequestMethod("PUT");
    request->setShouldStreamPostDataFromDisk(true);
    request->appendPostData(body);
    request->startSynchronous();
    ASSERT_EQ(request->error(), nullptr) << request->error()->toString().toStdString();
    EXPECT_EQ(request->responseStatusCode(), 201);
    const auto lines = newLogLines(2);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "PUT /r307 307 5242880");
    EXPECT_EQ(lines[1], "PUT /upload/after307 201 5242880");
    EXPECT_TRUE(QByteArray::fromStdString(testsupport::readFile(root_->path() / "upload" / "after307")) == body);
  }
  EXPECT_EQ(testsupport::strayTemporaryFiles().join(' ').toStdString(), "");
}

}  // namespace
