// Shared set-up of the web page archiving tests: one nginx per suite serving the generated site
// (and pages that tests add), a recording delegate, and running a page request to its end.
#pragma once

#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "webpage/web_page_request.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <memory>
#include <string>

namespace webpagetest {

// Records the reports a top document's delegate and progress recipient get.
class PageRecorder : public platform::Object {
  PLATFORM_OBJECT
 public:
  void finished(const std::shared_ptr<http::HTTPRequest>& request);
  void failed(const std::shared_ptr<http::HTTPRequest>& request);
  void receivedBytes(const std::shared_ptr<http::HTTPRequest>&, qint64 amount) { bytesReported += amount; }

  QStringList finishedPaths;  // URL paths of every request reported finished
  QStringList failedPaths;
  qint64 bytesReported = 0;
};

// A delegate that takes the bodies itself (request:didReceiveData:).
class DataTaker : public platform::Object {
  PLATFORM_OBJECT
 public:
  void data(const std::shared_ptr<http::HTTPRequest>&, const QByteArray&) {}
};

class WebPageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;

  static testsupport::NginxServer& server() { return *server_; }
  static const std::filesystem::path& siteRoot() { return site_->path(); }
  static QUrl url(const QString& path) { return server_->url(path); }
  // Writes a file of the site (path relative to the root).
  static void addFile(const std::string& path, const std::string& content);

  // A page request for `path` with `mode`, the recorder as delegate and progress recipient.
  std::shared_ptr<webpage::WebPageRequest> page(const QString& path, int mode = 0);
  // Starts the request and waits (bounded) until it has ended; false when it did not end.
  bool run(const std::shared_ptr<webpage::WebPageRequest>& request);
  // How many requests for `path` the server logged.
  static int requestsFor(const std::string& path);

  std::shared_ptr<PageRecorder> recorder_ = std::make_shared<PageRecorder>();
  testsupport::TempDir out_;

 private:
  static testsupport::TempDir* site_;
  static testsupport::NginxServer* server_;
};

}  // namespace webpagetest
