// The request head on the wire: request line, Host, the caller's fields in order, and the
// refusal of heads that would put unsafe bytes on the wire.
#include "http/transport/request_head.h"

#include <gtest/gtest.h>

namespace http::transport {
namespace {

TEST(RequestHeadTest, WritesOriginFormWithHostAndFieldsInOrder) {
  RequestHead head;
  head.method = "POST";
  head.url = QUrl("http://example.org:8080/a%20b/c?x=1&y=%2F#frag");
  head.headers.append("User-Agent", "t/1");
  head.headers.append("Accept", "*/*");
  EXPECT_EQ(head.toWire(false),
            "POST /a%20b/c?x=1&y=%2F HTTP/1.1\r\nHost: example.org:8080\r\n"
            "User-Agent: t/1\r\nAccept: */*\r\n\r\n");
}

TEST(RequestHeadTest, WritesAbsoluteFormForProxiesAndKeepsTheCallersHost) {
  RequestHead head;
  head.version = HttpVersion::Http10;
  head.url = QUrl("http://user:pw@example.org/p?q#f");
  head.headers.append("Host", "other.example");
  EXPECT_EQ(head.toWire(true), "GET http://example.org/p?q HTTP/1.0\r\nHost: other.example\r\n\r\n");
}

TEST(RequestHeadTest, HostFieldOmitsDefaultPortsAndBracketsIpv6) {
  EXPECT_EQ(RequestHead::hostFieldValue(QUrl("https://h.example:443/")), "h.example");
  EXPECT_EQ(RequestHead::hostFieldValue(QUrl("https://h.example:80/")), "h.example:80");
  EXPECT_EQ(RequestHead::hostFieldValue(QUrl("http://[::1]:81/")), "[::1]:81");
  // One after the other, alike but for the scheme, the port or an international name.
  EXPECT_EQ(RequestHead::hostFieldValue(QUrl("http://h.example:443/")), "h.example:443");
  EXPECT_EQ(RequestHead::hostFieldValue(QUrl("https://h.example:443/")), "h.example");
  EXPECT_EQ(RequestHead::hostFieldValue(QUrl("https://h.example/")), "h.example");
  EXPECT_EQ(RequestHead::hostFieldValue(QUrl(QStringLiteral("https://b\u00FCcher.example/"))),
            "xn--bcher-kva.example");
  RequestHead head;
  head.url = QUrl("http://h.example");
  EXPECT_TRUE(head.toWire(false).startsWith("GET / HTTP/1.1\r\n"));
}

TEST(RequestHeadTest, RefusesHeadsThatCannotBeSentSafely) {
  struct Case {
    const char* name;
    const char* url;
    QByteArray method;
    QByteArray field;
    QByteArray value;
  };
  const std::vector<Case> cases = {
      {"no host", "http:///path", "GET", "A", "b"},
      {"relative", "/path", "GET", "A", "b"},
      {"other scheme", "ftp://h/", "GET", "A", "b"},
      {"method with space", "http://h/", "GE T", "A", "b"},
      {"empty method", "http://h/", "", "A", "b"},
      {"CRLF in value", "http://h/", "GET", "A", "b\r\nInjected: 1"},
      {"LF in value", "http://h/", "GET", "A", "b\nc"},
      {"NUL in value", "http://h/", "GET", "A", QByteArray("b\0c", 3)},
      {"colon in name", "http://h/", "GET", "A:B", "c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RequestHead head;
    head.url = QUrl(c.url);
    head.method = c.method;
    head.headers.append(c.field, c.value);
    EXPECT_FALSE(head.validate().isEmpty());
  }
  RequestHead fine;
  fine.url = QUrl("https://h.example/x");
  fine.headers.append("X-Empty", "");
  EXPECT_TRUE(fine.validate().isEmpty());
}

TEST(HeaderListTest, SetReplacesEveryFieldOfTheNameCaseInsensitively) {
  HeaderList list{{"A", "1"}, {"b", "2"}, {"a", "3"}};
  list.set("a", "9");
  EXPECT_EQ(list, (HeaderList{{"A", "9"}, {"b", "2"}}));
  list.set("C", "4");
  EXPECT_EQ(list.fields().back(), (HeaderField{"C", "4"}));
  list.remove("B");
  EXPECT_FALSE(list.contains("b"));
  EXPECT_TRUE(listContainsToken("keep-alive, Upgrade", "upgrade"));
  EXPECT_FALSE(listContainsToken("keep-alivex", "keep-alive"));
}

}  // namespace
}  // namespace http::transport
