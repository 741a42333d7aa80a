// The simple loader: files, redirects (and the redirects it must not follow), failures that
// must give nothing, its time-out, and use from the main thread and from a plain thread.
#include "http/transport/simple_loader.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"

#include <gtest/gtest.h>

#include <thread>

namespace http::transport {
namespace {

using testsupport::HttpResponse;
using testsupport::TestHttpServer;
using namespace std::chrono_literals;

HttpResponse redirect(int status, QByteArray location) {
  return HttpResponse::withStatus(status, "Moved").withHeader("Location", std::move(location));
}

TEST(SimpleLoaderTest, ReadsLocalFiles) {
  testsupport::TempDir dir;
  testsupport::writeFile(dir / "m.json", "{\"a\":1}");
  const auto path = QString::fromStdString((dir / "m.json").string());
  EXPECT_EQ(SimpleLoader::load(QUrl::fromLocalFile(path)), QByteArray("{\"a\":1}"));
  QString why;
  EXPECT_FALSE(SimpleLoader::load(QUrl::fromLocalFile(path + ".missing"), &why));
  EXPECT_FALSE(why.isEmpty());
}

TEST(SimpleLoaderTest, FollowsRedirectsToTheDocument) {
  TestHttpServer server;
  server.route("/start", redirect(302, server.url("/second").toEncoded()));
  server.route("/second", redirect(301, "third?x=1"));
  server.route("/third", redirect(307, "/final"));
  server.route("/final", HttpResponse::ok("{\"list\":[]}").chunked(3));
  EXPECT_EQ(SimpleLoader::load(server.url("/start")), QByteArray("{\"list\":[]}"));
  EXPECT_EQ(server.requests()[2].target, "/third?x=1");
}

TEST(SimpleLoaderTest, GivesNothingForAnythingButACompleteSuccess) {
  TestHttpServer server;
  server.route("/404", HttpResponse::withStatus(404, "Not Found", "<html>error page</html>"));
  server.route("/loop", redirect(302, "/loop"));
  server.route("/to-file", redirect(302, "file:///etc/hostname"));
  server.route("/cut", HttpResponse::ok(QByteArray(5000, 'x')).cutAfter(200));
  server.route("/bad", HttpResponse::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: x\r\n\r\n"));
  for (const char* path : {"/404", "/loop", "/to-file", "/cut", "/bad"}) {
    SCOPED_TRACE(path);
    QString why;
    EXPECT_FALSE(SimpleLoader::load(server.url(path), &why));
    EXPECT_FALSE(why.isEmpty());
  }
  EXPECT_EQ(server.requestCount(), 4 + SimpleLoader::kMaxRedirects + 1);
  EXPECT_FALSE(SimpleLoader::load(QUrl("ftp://127.0.0.1/x")));
}

TEST(SimpleLoaderTest, GivesUpAtItsTimeOut) {
  TestHttpServer server;
  server.route("/slow", HttpResponse::ok("late").after(3s));
  QString why;
  EXPECT_FALSE(SimpleLoader::load(server.url("/slow"), &why, 0.2));
  EXPECT_TRUE(why.contains("timed out"));
}

TEST(SimpleLoaderTest, WorksFromAPlainThread) {
  TestHttpServer server;
  server.route("/m", HttpResponse::ok("manifest"));
  std::optional<QByteArray> got;
  std::thread worker([&] { got = SimpleLoader::load(server.url("/m")); });
  worker.join();
  EXPECT_EQ(got, QByteArray("manifest"));
}

}  // namespace
}  // namespace http::transport
