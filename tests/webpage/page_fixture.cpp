// The shared nginx with the generated site, the recorder and the bounded run helper.
#include "page_fixture.h"

#include "support/archive_site.h"
#include "support/wait.h"

namespace webpagetest {

testsupport::TempDir* WebPageTest::site_ = nullptr;
testsupport::NginxServer* WebPageTest::server_ = nullptr;

const platform::MethodTable& PageRecorder::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {
      platform::method("requestFinished:", &PageRecorder::finished),
      platform::method("requestFailed:", &PageRecorder::failed),
      platform::method("request:didReceiveBytes:", &PageRecorder::receivedBytes),
  });
  return table;
}

void PageRecorder::finished(const std::shared_ptr<http::HTTPRequest>& request) {
  finishedPaths << request->url().path();
}

void PageRecorder::failed(const std::shared_ptr<http::HTTPRequest>& request) {
  failedPaths << request->url().path();
}

const platform::MethodTable& DataTaker::classMethods() {
  static const platform::MethodTable table(&platform::Object::classMethods(), {
      platform::method("request:didReceiveData:", &DataTaker::data),
  });
  return table;
}

void WebPageTest::SetUpTestSuite() {
  site_ = new testsupport::TempDir();
  testsupport::NginxServer::Options options;
  options.root = site_->path();
  options.extraServerConfig = testsupport::archiveSiteServerConfig();
  server_ = new testsupport::NginxServer(options);
  if (server_->isRunning()) testsupport::writeArchiveSite(site_->path(), server_->port());
}

void WebPageTest::TearDownTestSuite() {
  delete server_;
  server_ = nullptr;
  delete site_;
  site_ = nullptr;
}

void WebPageTest::SetUp() {
  if (!server_->isRunning()) GTEST_SKIP() << server_->errorText().toStdString();
}

void WebPageTest::addFile(const std::string& path, const std::string& content) {
  testsupport::writeFile(site_->path() / path, content);
}

std::shared_ptr<webpage::WebPageRequest> WebPageTest::page(const QString& path, int mode) {
  auto request = webpage::WebPageRequest::requestWithURL(url(path));
  request->setURLReplacementMode(mode);
  request->setDelegate(recorder_);
  request->setDownloadProgressDelegate(recorder_);
  request->setResourceFolder(QString::fromStdString((out_.path() / "resources").string()));
  return request;
}

bool WebPageTest::run(const std::shared_ptr<webpage::WebPageRequest>& request) {
  // The end is reported on the main thread after the request is marked finished: wait for both.
  auto reported = std::make_shared<bool>(false);
  request->setCompletionBlock([reported] { *reported = true; });
  request->setFailedBlock([reported] { *reported = true; });
  request->startAsynchronous();
  return testsupport::waitUntil([&] { return *reported && request->isFinished(); }, std::chrono::seconds(30));
}

int WebPageTest::requestsFor(const std::string& path) {
  int count = 0;
  for (const std::string& line : server_->accessLog()) {
    if (line.find("\"GET " + path + " ") != std::string::npos) ++count;
  }
  return count;
}

}  // namespace webpagetest
