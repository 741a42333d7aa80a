// The stream against the loopback test server: framing on a real socket, kept-alive reuse and
// its failures, malformed answers, streamed uploads with their byte count, pausing, and waiting
// on a private run-loop mode.
#include "http/transport/connection_pool.h"
#include "http/transport/http_stream.h"
#include "http/transport/io_thread.h"
#include "http/transport/transport_error.h"
#include "stream_runner.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"
#include "support/wait.h"

#include <QRandomGenerator>
#include <QTcpServer>

#include <gtest/gtest.h>

namespace http::transport {
namespace {

using testing::codeOf;
using testing::getStream;
using testing::StreamRunner;
using testsupport::HttpResponse;
using testsupport::TestHttpServer;
using namespace std::chrono_literals;

QByteArray randomBytes(qsizetype n) {
  QByteArray out(n, '\0');
  QRandomGenerator generator(42);
  generator.fillRange(reinterpret_cast<quint32*>(out.data()), n / 4);
  return out;
}

class HttpStreamTest : public ::testing::Test {
 protected:
  void TearDown() override { HttpStream::closeAllIdleConnections(); }
  TestHttpServer server;
};

TEST_F(HttpStreamTest, DeliversEveryFramingOverASocket) {
  struct Case {
    const char* name;
    HttpResponse response;
    QByteArray method = "GET";
    QByteArray body;
    int status = 200;
  };
  const QByteArray text = "The quick brown fox jumps over the lazy dog";
  HttpResponse interim = HttpResponse::ok(text);
  interim.interim.push_back("HTTP/1.1 100 Continue\r\n\r\n");
  const std::vector<Case> cases = {
      {"length", HttpResponse::ok(text), "GET", text},
      {"length in slow pieces", HttpResponse::ok(text).slowly(5, 2ms), "GET", text},
      {"chunked", HttpResponse::ok(text).chunked(4).withHeader("X-T", "1"), "GET", text},
      {"chunked in slow pieces", HttpResponse::ok(text).chunked(3).slowly(2, 1ms), "GET", text},
      {"until close", HttpResponse::ok(text).untilClose(), "GET", text},
      {"HEAD", HttpResponse::ok(text), "HEAD", ""},
      {"204", HttpResponse::withStatus(204, "No Content").noLength(), "GET", "", 204},
      {"304", HttpResponse::withStatus(304, "Not Modified").noLength(), "GET", "", 304},
      {"after 100 Continue", interim, "GET", text},
      {"404 is not an error", HttpResponse::withStatus(404, "Not Found", "nope"), "GET", "nope",
       404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server.enqueue(c.response);
    StreamRunner run(getStream(server.url("/x"), 0, c.method), 7);
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    EXPECT_TRUE(run.ended) << (run.error ? run.error->toString().toStdString() : "");
    EXPECT_EQ(run.body, c.body);
    ASSERT_TRUE(run.head.has_value());
    EXPECT_EQ(run.head->statusCode, c.status);
    EXPECT_EQ(run.events.back(), StreamEvent::EndEncountered);
  }
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), cases.size());
  EXPECT_EQ(requests[0].header("Host"), "127.0.0.1:" + QByteArray::number(server.port()));
  EXPECT_EQ(requests[5].method, "HEAD");
}

TEST_F(HttpStreamTest, LargeBodiesArriveIntactWithSmallReads) {
  const QByteArray data = randomBytes(6 * 1024 * 1024 + 13);
  server.route("/len", HttpResponse::ok(data));
  server.route("/chunked", HttpResponse::ok(data).chunked(100000));
  for (const char* path : {"/len", "/chunked"}) {
    SCOPED_TRACE(path);
    StreamRunner run(getStream(server.url(path)), 65536);
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    EXPECT_TRUE(run.ended);
    EXPECT_TRUE(run.body == data);
  }
}

TEST_F(HttpStreamTest, SequentialStreamsOfOneIdShareOneConnection) {
  server.route("/a", HttpResponse::ok("alpha"));
  server.route("/c", HttpResponse::ok("chunks").chunked(2));
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    StreamRunner run(getStream(server.url(i % 2 ? "/a" : "/c"), 7));
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    EXPECT_TRUE(run.ended);
    EXPECT_EQ(run.body, i % 2 ? "alpha" : "chunks");
    EXPECT_EQ(run.stream().isReusedConnection(), i > 0);
  }
  EXPECT_EQ(server.connectionCount(), 1);
  EXPECT_EQ(server.requests().back().indexOnConnection, 10);
  EXPECT_EQ(HttpStream::idleConnectionCount(), 1);
}

TEST_F(HttpStreamTest, ConnectionsAreNotKeptWhenTheyMustNotBe) {
  struct Case {
    const char* name;
    HttpResponse response;
    int connectionId;
    HttpVersion version = HttpVersion::Http11;
  };
  const std::vector<Case> cases = {
      {"no connection id", HttpResponse::ok("x"), 0},
      {"server says close", HttpResponse::ok("x").closing(), 3},
      {"body read to close", HttpResponse::ok("x").untilClose(), 3},
      {"HTTP/1.0 answer without keep-alive",
       HttpResponse::rawBytes("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx"), 3},
      {"answer longer than its length",
       HttpResponse::rawBytes("HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nxEXTRA"), 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpStream::closeAllIdleConnections();
    const int before = server.connectionCount();
    for (int i = 0; i < 2; ++i) {
      server.enqueue(c.response);
      StreamRunner run(getStream(server.url("/k"), c.connectionId));
      ASSERT_TRUE(run.start());
      ASSERT_TRUE(run.wait());
      EXPECT_TRUE(run.ended);
      EXPECT_EQ(run.body, "x");
      EXPECT_FALSE(run.stream().isReusedConnection());
    }
    EXPECT_EQ(server.connectionCount() - before, 2);
  }
}

TEST_F(HttpStreamTest, Http10KeepAliveIsAskedForAndHonoured) {
  server.setHandler([](const testsupport::RecordedRequest& r) -> std::optional<HttpResponse> {
    HttpResponse response = HttpResponse::ok("ten");
    response.version = "HTTP/1.0";
    if (r.header("Connection").toLower() == "keep-alive") {
      response.withHeader("Connection", "keep-alive");
    } else {
      response.closing();
    }
    return response;
  });
  for (int i = 0; i < 3; ++i) {
    StreamRunner run(getStream(server.url("/"), 5, "GET", HttpVersion::Http10));
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    EXPECT_EQ(run.body, "ten");
  }
  EXPECT_EQ(server.connectionCount(), 1);
  EXPECT_EQ(server.requests()[0].version, "HTTP/1.0");
}

TEST_F(HttpStreamTest, AnIdleConnectionClosedByTheServerIsNotReused) {
  server.route("/", HttpResponse::ok("one"));
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    StreamRunner first(getStream(server.url("/"), 9));
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.wait());
    const int connections = server.connectionCount();
    server.closeIdleConnections(reset);
    ASSERT_TRUE(server.waitForNoOpenConnections());
    StreamRunner second(getStream(server.url("/"), 9));
    ASSERT_TRUE(second.start());
    ASSERT_TRUE(second.wait());
    EXPECT_TRUE(second.ended);
    EXPECT_EQ(second.body, "one");
    EXPECT_FALSE(second.stream().isReusedConnection());
    EXPECT_EQ(server.connectionCount(), connections + 1);
  }
}

TEST_F(HttpStreamTest, AReusedConnectionDroppedBeforeAnswerIsClassifiedAsDropped) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    HttpStream::closeAllIdleConnections();
    server.enqueue(HttpResponse::ok("first"));
    server.enqueue(HttpResponse::dropConnection(reset));
    StreamRunner first(getStream(server.url("/"), 4));
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.wait());
    StreamRunner second(getStream(server.url("/"), 4));
    ASSERT_TRUE(second.start());
    ASSERT_TRUE(second.wait());
    EXPECT_TRUE(second.stream().isReusedConnection());
    ASSERT_NE(second.error, nullptr);
    EXPECT_EQ(second.error->domain(), kTransportErrorDomain);
    EXPECT_EQ(classifyError(second.error), ErrorClass::ConnectionDropped)
        << second.error->toString().toStdString();
    EXPECT_EQ(second.events, std::vector<StreamEvent>{StreamEvent::ErrorOccurred});
    EXPECT_EQ(second.stream().read(nullptr, 1), -1);
  }
}

TEST_F(HttpStreamTest, AFreshConnectionClosedBeforeAnswerIsNotClassifiedAsDropped) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    HttpStream::closeAllIdleConnections();
    server.enqueue(HttpResponse::dropConnection(reset));
    StreamRunner run(getStream(server.url("/"), 5));
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    EXPECT_FALSE(run.stream().isReusedConnection());
    ASSERT_NE(run.error, nullptr);
    EXPECT_EQ(classifyError(run.error), ErrorClass::Other) << run.error->toString().toStdString();
  }
}

TEST_F(HttpStreamTest, AConnectionLostMidBodyIsAnOrdinaryFailureAfterTheBytesBeforeIt) {
  const QByteArray data = randomBytes(300000);
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    HttpResponse cut = HttpResponse::ok(data).cutAfter(100000, reset);
    server.enqueue(cut);
    StreamRunner run(getStream(server.url("/")));
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    ASSERT_NE(run.error, nullptr);
    EXPECT_EQ(classifyError(run.error), ErrorClass::Other);
    EXPECT_EQ(codeOf(run.error), static_cast<int>(TransportErrorCode::ConnectionLost));
    EXPECT_TRUE(data.startsWith(run.body));
    if (!reset) {
      EXPECT_GT(run.body.size(), 0);
    }
  }
}

TEST_F(HttpStreamTest, MalformedAnswersFailAsProtocolErrors) {
  const std::vector<QByteArray> answers = {
      "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabc",
      "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: many\r\n\r\n",
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFFF\r\n",
      "HTTP/1.1 OK\r\n\r\n",
      "HTTP/1.1 200 OK\r\nBroken header\r\n\r\n",
      "HTTP/1.1 200 OK\r\nX: " + QByteArray(65 * 1024, 'h') + "\r\n\r\n",
  };
  for (const QByteArray& answer : answers) {
    SCOPED_TRACE(answer.left(60).toStdString());
    server.enqueue(HttpResponse::rawBytes(answer, false));
    StreamRunner run(getStream(server.url("/"), 2));
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    ASSERT_NE(run.error, nullptr);
    EXPECT_EQ(codeOf(run.error), static_cast<int>(TransportErrorCode::ProtocolError));
    EXPECT_EQ(run.body, "");
  }
  EXPECT_EQ(HttpStream::idleConnectionCount(), 0);
}

TEST_F(HttpStreamTest, UploadsAFileLargerThanSocketBuffersCountingBytesAsTheyLeave) {
  testsupport::TempDir dir;
  const QByteArray data = randomBytes(32 * 1024 * 1024);
  testsupport::writeFile(dir / "body.bin", data.toStdString());
  server.route("/up", HttpResponse::ok("stored"));
  server.setReadingPaused(true);

  RequestHead head;
  head.method = "PUT";
  head.url = server.url("/up");
  head.headers.append("Content-Length", QByteArray::number(data.size()));
  auto body =
      std::make_shared<FileBodyStream>(QString::fromStdString((dir / "body.bin").string()));
  StreamRunner run(HttpStream::create(head, body));
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(testsupport::waitUntil([&] { return run.stream().requestBytesWritten() > 0; }));
  testsupport::serveFor(200ms);
  // Socket buffers took part of the body; the rest waits for the server to read.
  const quint64 whilePaused = run.stream().requestBytesWritten();
  EXPECT_LT(whilePaused, static_cast<quint64>(data.size()));
  server.setReadingPaused(false);
  ASSERT_TRUE(run.wait());
  EXPECT_TRUE(run.ended);
  EXPECT_EQ(run.body, "stored");
  EXPECT_EQ(run.stream().requestBytesWritten(), static_cast<quint64>(data.size()));
  ASSERT_EQ(server.requestCount(), 1);
  EXPECT_TRUE(server.requests()[0].body == data);
}

TEST_F(HttpStreamTest, BodiesOfUnknownLengthAreChunkedAndWrongLengthsRefused) {
  server.route("/", HttpResponse::ok("ok"));
  const QByteArray data = randomBytes(200000);
  {
    RequestHead head;
    head.method = "POST";
    head.url = server.url("/");
    StreamRunner run(HttpStream::create(head, std::make_shared<MemoryBodyStream>(data)));
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    EXPECT_TRUE(run.ended);
    ASSERT_EQ(server.requestCount(), 1);
    EXPECT_TRUE(server.requests()[0].bodyWasChunked);
    EXPECT_TRUE(server.requests()[0].body == data);
    EXPECT_EQ(run.stream().requestBytesWritten(), static_cast<quint64>(data.size()));
  }
  for (qint64 announced : {data.size() + 1, data.size() - 1}) {
    SCOPED_TRACE(announced);
    RequestHead head;
    head.method = "POST";
    head.url = server.url("/");
    head.headers.append("Content-Length", QByteArray::number(announced));
    StreamRunner run(HttpStream::create(head, std::make_shared<MemoryBodyStream>(data)));
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    ASSERT_NE(run.error, nullptr);
    EXPECT_EQ(codeOf(run.error), static_cast<int>(TransportErrorCode::RequestBodyError));
  }
  {
    RequestHead head;
    head.method = "POST";
    head.url = server.url("/");
    auto stream = HttpStream::create(head, std::make_shared<FileBodyStream>("/nonexistent/f"));
    EXPECT_FALSE(stream->open());
    EXPECT_EQ(codeOf(stream->error()), static_cast<int>(TransportErrorCode::RequestBodyError));
  }
}

TEST_F(HttpStreamTest, UnscheduledStreamsDeliverNothingAndLoseNothing) {
  const QByteArray data = randomBytes(9 * 1024 * 1024);
  server.route("/", HttpResponse::ok(data));
  StreamRunner run(getStream(server.url("/")), 262144);
  bool paused = false;
  run.afterEvent = [&](StreamRunner& r, StreamEvent) {
    if (!paused && r.body.size() > 0) {
      paused = true;
      r.stream().unschedule();
    }
  };
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(testsupport::waitUntil([&] { return paused; }));
  const size_t events = run.events.size();
  const qsizetype received = run.body.size();
  testsupport::serveFor(300ms);
  EXPECT_EQ(run.events.size(), events);
  EXPECT_EQ(run.body.size(), received);
  EXPECT_FALSE(run.stream().isScheduled());
  run.stream().schedule(platform::RunLoop::current());
  ASSERT_TRUE(run.wait());
  EXPECT_TRUE(run.ended);
  EXPECT_TRUE(run.body == data);
}

TEST_F(HttpStreamTest, ReschedulingFromInsideAnEventKeepsDelivering) {
  // Throttling takes the stream off its loop and puts it back from its event handler.
  const QByteArray data = randomBytes(3 * 1024 * 1024);
  server.route("/", HttpResponse::ok(data).chunked(50000));
  StreamRunner run(getStream(server.url("/")), 4096);
  int turns = 0;
  run.afterEvent = [&](StreamRunner& r, StreamEvent) {
    r.stream().unschedule();
    if (++turns % 2 == 0) {
      r.stream().schedule(platform::RunLoop::current());
    } else {
      platform::RunLoop::current()->post([&r] { r.stream().schedule(platform::RunLoop::current()); });
    }
  };
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(run.wait());
  EXPECT_TRUE(run.ended);
  EXPECT_TRUE(run.body == data);
}

TEST_F(HttpStreamTest, APrivateModeWaiterIsServedWhileTheThreadsOtherWorkWaits) {
  server.route("/", HttpResponse::ok("private").after(20ms));
  const QString mode = QStringLiteral("TransportTestPrivateMode");
  bool defaultWorkRan = false;
  platform::RunLoop::current()->post([&] { defaultWorkRan = true; });
  StreamRunner run(getStream(server.url("/")));
  ASSERT_TRUE(run.start(platform::RunLoop::current(mode)));
  for (int i = 0; i < 10000 && !run.finished(); ++i) platform::RunLoop::runOnce(mode, 1.0);
  EXPECT_TRUE(run.ended);
  EXPECT_EQ(run.body, "private");
  EXPECT_FALSE(defaultWorkRan);
  testsupport::waitUntil([&] { return defaultWorkRan; });
}

TEST_F(HttpStreamTest, ClosingFromTheClientStopsEverything) {
  // Far more than the stream buffers and the socket buffers hold, so it cannot end unread.
  server.route("/", HttpResponse::ok(QByteArray(32 * 1024 * 1024, 'z')));
  StreamRunner run(getStream(server.url("/"), 6), 1000);
  run.afterEvent = [](StreamRunner& r, StreamEvent) { r.stream().close(); };
  ASSERT_TRUE(run.start());
  ASSERT_TRUE(testsupport::waitUntil([&] { return !run.events.empty(); }));
  testsupport::serveFor(100ms);
  EXPECT_EQ(run.events.size(), 1u);
  EXPECT_EQ(run.stream().read(nullptr, 10), -1);
  // The half-read response leaves nothing to reuse.
  EXPECT_EQ(HttpStream::idleConnectionCount(), 0);
  EXPECT_TRUE(server.waitForNoOpenConnections());
}

TEST_F(HttpStreamTest, ConnectionFailuresAndClosedIdsStartFresh) {
  quint16 deadPort = 0;
  {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    deadPort = probe.serverPort();
  }
  StreamRunner refused(getStream(QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(deadPort))));
  ASSERT_TRUE(refused.start());
  ASSERT_TRUE(refused.wait());
  EXPECT_EQ(codeOf(refused.error), static_cast<int>(TransportErrorCode::ConnectFailed));

  server.route("/", HttpResponse::ok("x"));
  for (int i = 0; i < 2; ++i) {
    StreamRunner run(getStream(server.url("/"), 11));
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.wait());
    HttpStream::closeIdleConnections(11);
  }
  EXPECT_EQ(server.connectionCount(), 2);
  EXPECT_EQ(HttpStream::idleConnectionCount(), 0);
}

TEST(HttpStreamCreateTest, RefusesHeadsThatCannotBeSent) {
  RequestHead head;
  head.url = QUrl("http://127.0.0.1/");
  head.headers.append("X", "a\r\nInjected: yes");
  QString why;
  EXPECT_EQ(HttpStream::create(head, nullptr, &why), nullptr);
  EXPECT_FALSE(why.isEmpty());
  head.headers = {};
  head.url = QUrl("file:///etc/passwd");
  EXPECT_EQ(HttpStream::create(head), nullptr);
}

}  // namespace
}  // namespace http::transport
