// The exact bytes of form bodies as received by the test server: the worked multipart example,
// the URL-encoded form and its escapes, boundaries, building once, retries and copies.
#include "form/form_data_request.h"

#include "form/form_text.h"
#include "support/test_http_server.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

using form::FormDataRequest;
using testsupport::HttpResponse;
using testsupport::TestHttpServer;

// The boundary named in a multipart Content-Type.
QByteArray boundaryOf(const QByteArray& contentType) {
  const qsizetype at = contentType.indexOf("boundary=");
  return at < 0 ? QByteArray() : contentType.mid(at + 9);
}

testsupport::RecordedRequest send(TestHttpServer& server, const std::shared_ptr<FormDataRequest>& request) {
  request->startSynchronous();
  EXPECT_EQ(request->error(), nullptr);
  return server.requests().back();
}

class FormWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { server_.route("/form", HttpResponse::ok("ok")); }
  std::shared_ptr<FormDataRequest> form() { return FormDataRequest::requestWithURL(server_.url("/form")); }
  TestHttpServer server_;
};

TEST_F(FormWriterTest, TheWorkedMultipartExampleLineByLine) {
  auto request = form();
  request->addPostValue(1, "a");
  request->addPostValue(2, "b");
  const QByteArray bytes("\x00\x01 part bytes", 14);
  request->addData(bytes, "x");
  const auto received = send(server_, request);
  const QByteArray boundary = boundaryOf(received.header("Content-Type"));
  EXPECT_EQ(received.header("Content-Type"), "multipart/form-data; charset=utf-8; boundary=" + boundary);
  EXPECT_TRUE(QRegularExpression("^0xKhTmLbOuNdArY-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
                  .match(QString::fromLatin1(boundary))
                  .hasMatch())
      << boundary.constData();
  const QByteArray b = "--" + boundary + "\r\n";
  const QByteArray expected = b + "Content-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n" + b +
                              "Content-Disposition: form-data; name=\"b\"\r\n\r\n2\r\n" + b +
                              "Content-Disposition: form-data; name=\"x\"; filename=\"file\"\r\n"
                              "Content-Type: application/octet-stream\r\n\r\n" + bytes +
                              "\r\n--" + boundary + "--\r\n";
  EXPECT_EQ(received.body, expected);
  EXPECT_EQ(request->postFormat(), 0);
}

TEST_F(FormWriterTest, BodiesAndHeadersOfSmallForms) {
  struct Case {
    const char* name;
    std::function<void(FormDataRequest&)> fill;
    QByteArray contentType;  // with "<B>" for the boundary
    QByteArray body;         // with "<B>" for the boundary
  };
  const Case cases[] = {
      {"two values", [](FormDataRequest& f) { f.addPostValue(1, "a"); f.addPostValue(2, "b"); },
       "application/x-www-form-urlencoded; charset=utf-8", "a=1&b=2"},
      {"space and ampersand", [](FormDataRequest& f) { f.addPostValue("x y&z", "k k"); },
       "application/x-www-form-urlencoded; charset=utf-8", "k%20k=x%20y%26z"},
      {"kept characters and bytes", [](FormDataRequest& f) { f.addPostValue("A-z_0.9~é", "é"); },
       "application/x-www-form-urlencoded; charset=utf-8", "%C3%A9=A-z_0.9%7E%C3%A9"},
      {"latin-1 bytes",
       [](FormDataRequest& f) { f.setStringEncoding(http::ISOLatin1StringEncoding); f.addPostValue("é", "k"); },
       "application/x-www-form-urlencoded; charset=iso-8859-1", "k=%E9"},
      {"every value removed again",
       [](FormDataRequest& f) { f.addPostValue(1, "a"); f.setPostData(QList<FormDataRequest::ValueItem>()); },
       "application/x-www-form-urlencoded; charset=utf-8", ""},
      {"multipart values only end with the closing line",
       [](FormDataRequest& f) { f.setPostFormat(0); f.addPostValue(1, "a"); },
       "multipart/form-data; charset=utf-8; boundary=<B>",
       "--<B>\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--<B>--\r\n"},
      {"two files, no values",
       [](FormDataRequest& f) { f.addData("1", "p"); f.addData("2", "q.txt", "text/plain", "q"); },
       "multipart/form-data; charset=utf-8; boundary=<B>",
       "--<B>\r\nContent-Disposition: form-data; name=\"p\"; filename=\"file\"\r\n"
       "Content-Type: application/octet-stream\r\n\r\n1\r\n--<B>\r\n"
       "Content-Disposition: form-data; name=\"q\"; filename=\"q.txt\"\r\nContent-Type: text/plain\r\n\r\n2"
       "\r\n--<B>--\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto request = form();
    c.fill(*request);
    const auto received = send(server_, request);
    const QByteArray boundary = boundaryOf(received.header("Content-Type"));
    EXPECT_EQ(received.method, "POST");
    EXPECT_EQ(received.header("Content-Type"), QByteArray(c.contentType).replace("<B>", boundary));
    EXPECT_EQ(received.body, QByteArray(c.body).replace("<B>", boundary));
    EXPECT_EQ(received.hasHeader("Content-Length"), !c.body.isEmpty());
  }
}

TEST_F(FormWriterTest, EveryBodyGetsAFreshBoundaryButIsWrittenOnce) {
  auto first = form();
  first->setPostFormat(0);
  first->addPostValue(1, "a");
  first->buildPostBody();
  const quint64 length = first->postLength();
  first->addPostValue(2, "b");
  first->buildPostBody();
  EXPECT_EQ(first->postLength(), length);
  const auto one = send(server_, first);
  auto second = form();
  second->setPostFormat(0);
  second->addPostValue(1, "a");
  const auto two = send(server_, second);
  EXPECT_EQ(one.body.size(), two.body.size());
  EXPECT_NE(boundaryOf(one.header("Content-Type")), boundaryOf(two.header("Content-Type")));
}

TEST_F(FormWriterTest, ARetriedFormSendsTheSameBodyWithoutBuildingItAgain) {
  TestHttpServer server;
  server.enqueue(HttpResponse::ok("late").after(std::chrono::milliseconds(4000)));
  server.enqueue(HttpResponse::ok("second"));
  auto request = FormDataRequest::requestWithURL(server.url("/form"));
  request->addPostValue("v", "k");
  request->addData(QByteArray(100000, 'x'), "f");
  request->setTimeOutSeconds(0.5);
  request->setNumberOfTimesToRetryOnTimeout(1);
  request->startSynchronous();
  ASSERT_EQ(request->error(), nullptr);
  ASSERT_TRUE(server.waitForRequests(2));
  const auto requests = server.requests();
  // A second build would have written a new boundary.
  EXPECT_EQ(requests[0].header("Content-Type"), requests[1].header("Content-Type"));
  EXPECT_EQ(requests[0].body, requests[1].body);
}

TEST(FormRequestTest, ACopyIsAFormWithTheSameItemsFormatEncodingAndMethod) {
  auto request = FormDataRequest::requestWithURL(QUrl("http://127.0.0.1:1/form"));
  EXPECT_EQ(request->requestMethod(), "POST");
  EXPECT_EQ(request->postFormat(), 1);
  EXPECT_EQ(request->stringEncoding(), http::UTF8StringEncoding);
  request->addPostValue(1, "a");
  request->addData("d", "f");
  request->setPostFormat(0);
  request->setStringEncoding(http::ISOLatin1StringEncoding);
  request->setRequestMethod("PUT");
  auto copy = std::dynamic_pointer_cast<FormDataRequest>(request->copy());
  ASSERT_NE(copy, nullptr);
  ASSERT_EQ(copy->postData()->size(), 1);
  EXPECT_EQ(copy->postData()->front().value, "1");
  ASSERT_EQ(copy->fileData()->size(), 1);
  EXPECT_EQ(copy->fileData()->front().fileName, "file");
  EXPECT_EQ(copy->postFormat(), 0);
  EXPECT_EQ(copy->stringEncoding(), http::ISOLatin1StringEncoding);
  EXPECT_EQ(copy->requestMethod(), "PUT");
  copy->addPostValue(2, "b");
  EXPECT_EQ(request->postData()->size(), 1);  // the lists are the copy's own
}

TEST(FormTextTest, EscapingKeepsOnlyLettersDigitsHyphenUnderscoreAndDot) {
  QString all;
  for (char16_t c = 0x20; c < 0x7F; ++c) all += QChar(c);
  const QString escaped = form::percentEscape(all, http::UTF8StringEncoding);
  EXPECT_EQ(escaped.count(QLatin1Char('%')), 95 - 26 - 26 - 10 - 3);
  EXPECT_TRUE(escaped.contains("%20%21%22%23%24%25%26%27%28%29%2A%2B%2C-.%2F0123456789%3A"));
  EXPECT_TRUE(escaped.endsWith("%7B%7C%7D%7E"));
  EXPECT_EQ(form::percentEscape(QStringLiteral("€"), http::ISOLatin1StringEncoding), "");
  EXPECT_EQ(form::percentEscape(QStringLiteral("€"), http::UTF8StringEncoding), "%E2%82%AC");
}

}  // namespace
