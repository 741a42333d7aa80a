// Response framing: every way a body can be framed, fed whole and split at every point, and
// the malformed heads and bodies that must be refused.
#include "http/transport/response_parser.h"

#include <gtest/gtest.h>

#include <vector>

namespace http::transport {
namespace {

struct Parsed {
  ResponseParser::State state;
  QByteArray body;
  qint64 consumed = 0;
};

QByteArray join(const std::vector<BodyPiece>& pieces) {
  QByteArray out;
  for (const auto& p : pieces) out.append(p.data(), p.length);
  return out;
}

// Feeds `wire` in pieces of `step` bytes (0 = at once), then the end of the connection when
// `eof`.
Parsed parse(const QByteArray& wire, qsizetype step = 0, bool eof = false, bool head = false,
             ResponseParser* out = nullptr) {
  ResponseParser local(head);
  ResponseParser& parser = out != nullptr ? *out : local;
  std::vector<BodyPiece> body;
  Parsed result;
  const qsizetype n = step == 0 ? std::max<qsizetype>(wire.size(), 1) : step;
  for (qsizetype pos = 0; pos < wire.size(); pos += n) {
    const QByteArray piece = wire.mid(pos, n);
    result.consumed += parser.feed(piece, body);
    if (parser.isDone() || parser.hasFailed()) break;
  }
  if (eof) parser.finishAtEndOfStream();
  result.state = parser.state();
  result.body = join(body);
  return result;
}

struct FramingCase {
  const char* name;
  QByteArray wire;
  QByteArray body;
  bool headRequest = false;
  bool needsEof = false;
};

TEST(ResponseParserTest, DecodesEveryFramingWholeAndAtEverySplit) {
  const std::vector<FramingCase> cases = {
      {"content-length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", "hello"},
      {"zero length", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", ""},
      {"chunked with extensions and trailers",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
       "3;name=v\r\nabc\r\nA\r\n0123456789\r\n0\r\nX-Sum: 1\r\nX-More: 2\r\n\r\n",
       "abc0123456789"},
      {"chunked upper-case hex, bare LF line ends",
       "HTTP/1.1 200 OK\nTransfer-Encoding: Chunked\n\n1F\n0123456789012345678901234567890\n0\n\n",
       "0123456789012345678901234567890"},
      {"until close", "HTTP/1.1 200 OK\r\n\r\nrest of the stream", "rest of the stream", false,
       true},
      {"HEAD ignores the announced length", "HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\n", "",
       true},
      {"204 has no body", "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n\r\n", ""},
      {"304 has no body", "HTTP/1.1 304 Not Modified\r\n\r\n", ""},
      {"interim heads are skipped",
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n"
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
       "ok"},
      {"equal repeated lengths", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2, 2\r\n\r\nok",
       "ok"},
  };
  for (const FramingCase& c : cases) {
    for (qsizetype step : {qsizetype(0), qsizetype(1), qsizetype(2), qsizetype(7)}) {
      SCOPED_TRACE(std::string(c.name) + " step " + std::to_string(step));
      const Parsed p = parse(c.wire, step, c.needsEof, c.headRequest);
      EXPECT_EQ(p.state, ResponseParser::State::Done);
      EXPECT_EQ(p.body, c.body);
    }
  }
}

TEST(ResponseParserTest, KeepsTheFinalHeadAsReceived) {
  ResponseParser parser;
  parse("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 404 Not Found\r\nX-Case: One\r\n"
        "Set-Cookie: a=1\r\nset-cookie: b=2\r\nFolded: first\r\n  second\r\nContent-Length: 0\r\n\r\n",
        3, false, false, &parser);
  ASSERT_TRUE(parser.headComplete());
  const ResponseHead& head = parser.head();
  EXPECT_EQ(head.statusCode, 404);
  EXPECT_EQ(head.statusLine, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(head.reasonPhrase(), "Not Found");
  EXPECT_EQ(head.version, "HTTP/1.1");
  ASSERT_EQ(head.headers.size(), 5u);
  EXPECT_EQ(head.headers.fields()[0].first, "X-Case");
  EXPECT_EQ(head.headers.value("x-case"), "One");
  EXPECT_EQ(head.headers.combinedValue("SET-COOKIE"), "a=1, b=2");
  EXPECT_EQ(head.headers.value("Folded"), "first second");
}

TEST(ResponseParserTest, StopsAtTheEndOfTheResponse) {
  // Bytes after a framed response belong to no response: they are left unconsumed.
  const QByteArray wire = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA";
  const Parsed p = parse(wire);
  EXPECT_EQ(p.state, ResponseParser::State::Done);
  EXPECT_EQ(p.body, "ok");
  EXPECT_EQ(p.consumed, wire.size() - 5);
}

TEST(ResponseParserTest, BodyPiecesPointIntoTheReceivedBytes) {
  ResponseParser parser;
  std::vector<BodyPiece> body;
  const QByteArray first = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123";
  parser.feed(first, body);
  const QByteArray second = "456789";
  parser.feed(second, body);
  ASSERT_EQ(body.size(), 2u);
  EXPECT_EQ(body[0].data(), first.constData() + first.size() - 4);
  EXPECT_EQ(body[1].data(), second.constData());
  EXPECT_EQ(join(body), "0123456789");
}

TEST(ResponseParserTest, ReusePermittedOnlyForFramedPersistentResponses) {
  struct Case {
    const char* wire;
    bool eof;
    bool reusable;
  };
  const std::vector<Case> cases = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", false, true},
      {"HTTP/1.1 200 OK\r\nConnection: Close\r\nContent-Length: 0\r\n\r\n", false, false},
      {"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", false, false},
      {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 0\r\n\r\n", false, true},
      {"HTTP/1.1 200 OK\r\n\r\nbody", true, false},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wire);
    ResponseParser parser;
    parse(c.wire, 0, c.eof, false, &parser);
    EXPECT_TRUE(parser.isDone());
    EXPECT_EQ(parser.allowsReuse(), c.reusable);
  }
}

TEST(ResponseParserTest, RejectsMalformedResponses) {
  struct Case {
    const char* name;
    QByteArray wire;
    bool eof = false;
  };
  const QByteArray hugeField = "X-Big: " + QByteArray(70 * 1024, 'a') + "\r\n";
  const std::vector<Case> cases = {
      {"not HTTP at all", "<html>hello</html>\r\n\r\n"},
      {"HTTP/2 status line", "HTTP/2 200 OK\r\n\r\n"},
      {"two-digit status", "HTTP/1.1 20 OK\r\n\r\n"},
      {"status below 100", "HTTP/1.1 099 Odd\r\n\r\n"},
      {"missing space after status", "HTTP/1.1 200OK\r\n\r\n"},
      {"field line without colon", "HTTP/1.1 200 OK\r\nNoColonHere\r\n\r\n"},
      {"space before colon", "HTTP/1.1 200 OK\r\nBad Name: v\r\n\r\n"},
      {"empty field name", "HTTP/1.1 200 OK\r\n: v\r\n\r\n"},
      {"fold without field", "HTTP/1.1 200 OK\r\n folded\r\n\r\n"},
      {"stray CR", "HTTP/1.1 200 OK\r\nA: b\rc\r\n\r\n"},
      {"head over 64 KiB", "HTTP/1.1 200 OK\r\n" + hugeField + "\r\n"},
      {"unterminated head over 64 KiB", "HTTP/1.1 200 OK\r\nX: " + QByteArray(70 * 1024, 'a')},
      {"non-numeric length", "HTTP/1.1 200 OK\r\nContent-Length: 12abc\r\n\r\n"},
      {"hex length", "HTTP/1.1 200 OK\r\nContent-Length: 0x10\r\n\r\n"},
      {"signed length", "HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\nhello"},
      {"empty length", "HTTP/1.1 200 OK\r\nContent-Length: \r\n\r\n"},
      {"overflowing length", "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\n"},
      {"conflicting lengths", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n"},
      {"conflicting list", "HTTP/1.1 200 OK\r\nContent-Length: 5, 6\r\n\r\n"},
      {"length with chunked",
       "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"},
      {"unknown transfer coding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"},
      {"unasked protocol switch", "HTTP/1.1 101 Switching Protocols\r\n\r\n"},
      {"overflowing chunk size",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\n"},
      {"non-hex chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"},
      {"empty chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n\r\n"},
      {"chunk data without line end",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabX\r\n"},
      {"endless chunk-size line",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;" + QByteArray(5000, 'x')},
      {"trailers over 64 KiB",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n" + hugeField + "\r\n"},
      {"closed inside the length", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", true},
      {"closed inside a chunk",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", true},
      {"closed before the last chunk",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n", true},
      {"closed inside the head", "HTTP/1.1 200 OK\r\nContent-Le", true},
      {"closed before anything", "", true},
  };
  for (const Case& c : cases) {
    for (qsizetype step : {qsizetype(0), qsizetype(1)}) {
      SCOPED_TRACE(std::string(c.name) + " step " + std::to_string(step));
      ResponseParser parser;
      parse(c.wire, step, c.eof, false, &parser);
      EXPECT_TRUE(parser.hasFailed());
      EXPECT_FALSE(parser.errorText().isEmpty());
    }
  }
}

}  // namespace
}  // namespace http::transport
