// Cookies end to end through the development driver `fetch`, judged against curl's cookie
// engine: the same Set-Cookie answers (under several host names reaching nginx through the
// transport's host override, over http and https) must lead both to send the same cookies to a
// list of follow-up URLs. Also: cookies with an expiry outlive the process in a private file.
#include "support/nginx_server.h"
#include "support/temp_dir.h"
#include "support/wait.h"

#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>

namespace {

using testsupport::NginxServer;

struct SetStep {
  const char* scheme;
  const char* host;
  const char* path;
  const char* setCookie;  // the answer's Set-Cookie value
  int accepted;           // cookies the response sets that are accepted (fetch's cookies=)
};

// In order; every path is a location of its own.
const std::vector<SetStep> kSetSteps = {
    {"http", "a.example.test", "/set/plain", "plain=1", 1},
    {"http", "a.example.test", "/set/root", "root=1; Path=/", 1},
    {"http", "a.example.test", "/set/domain", "dom=1; Domain=example.test; Path=/", 1},
    {"http", "a.example.test", "/set/dotdomain", "dotdom=1; Domain=.example.test; Path=/", 1},
    {"http", "a.example.test", "/set/foreign", "foreign=1; Domain=other.test; Path=/", 0},
    {"http", "www.example.co.uk", "/set/suffix", "suffix=1; Domain=co.uk; Path=/", 0},
    {"http", "www.example.co.uk", "/set/uk", "uk=1; Domain=example.co.uk; Path=/", 1},
    {"http", "a.example.test", "/set/secure", "sec=1; Secure; Path=/", 0},
    {"https", "a.example.test", "/set/secure2", "sec2=1; Secure; Path=/", 1},
    {"http", "a.example.test", "/set/httponly", "ho=1; HttpOnly; Path=/", 1},
    {"http", "a.example.test", "/set/samesite", "ss=1; SameSite=Lax; Path=/", 1},
    {"http", "a.example.test", "/set/expires", "exp=1; Expires=Fri, 01 Jan 2100 00:00:00 GMT; Path=/", 1},
    {"http", "a.example.test", "/set/maxage", "ma=1; Max-Age=3600; Path=/docs", 1},
    {"http", "127.0.0.1", "/set/ip", "ip=1; Path=/", 1},
    {"http", "localhost", "/set/local", "local=1; Path=/", 1},
    {"http", "a.example.test", "/set/delete", "root=; Max-Age=0; Path=/", 1},
    {"http", "a.example.test", "/set/replace", "dom=2; Domain=example.test; Path=/", 1},
    // Deleting the default-path cookie: judged by RFC 6265 (default path "/set"), not by curl.
    {"http", "a.example.test", "/set/delplain", "plain=; Max-Age=0", 1},
};

struct EchoStep {
  const char* scheme;
  const char* host;
  const char* path;
};

const std::vector<EchoStep> kEchoSteps = {
    {"http", "a.example.test", "/echo"},       {"http", "a.example.test", "/docs/page"},
    {"http", "a.example.test", "/set/echo"},   {"http", "b.example.test", "/echo"},
    {"http", "example.test", "/echo"},         {"http", "www.example.co.uk", "/echo"},
    {"http", "other.test", "/echo"},           {"http", "127.0.0.1", "/echo"},
    {"http", "localhost", "/echo"},            {"https", "a.example.test", "/echo"},
    {"https", "example.test", "/docs/x"},
};

const char* const kHosts[] = {"a.example.test", "b.example.test", "example.test",
                              "www.example.co.uk", "other.test", "localhost"};

std::set<std::string> cookieSet(const std::string& header) {
  std::set<std::string> out;
  std::stringstream in(header);
  for (std::string item; std::getline(in, item, ';');) {
    const size_t start = item.find_first_not_of(' ');
    if (start != std::string::npos) out.insert(item.substr(start));
  }
  return out;
}

class CookieFetchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NginxServer::isInstalled()) GTEST_SKIP() << "nginx is not installed";
    std::string locations;
    for (const SetStep& step : kSetSteps) {
      locations += std::string("location = ") + step.path + " { add_header Set-Cookie \"" +
                   step.setCookie + "\"; return 200 \"set\\n\"; }\n";
    }
    locations += "location / { return 200 \"$http_cookie\\n\"; }\n";
    for (const bool tls : {false, true}) {
      NginxServer::Options options;
      options.root = content_.path();
      options.tls = tls;
      options.certificateName = "a.example.test";
      options.certificateAltNames =
          "DNS:a.example.test,DNS:b.example.test,DNS:example.test,DNS:www.example.co.uk,"
          "DNS:localhost,IP:127.0.0.1";
      const std::string log = (content_ / (tls ? "https.log" : "http.log")).string();
      options.extraHttpConfig =
          "log_format cookies '$scheme $host $uri $arg_client \"$http_cookie\"';";
      options.extraServerConfig = "access_log " + log + " cookies;\n" + locations;
      (tls ? https_ : http_) = std::make_unique<NginxServer>(options);
      ASSERT_TRUE((tls ? https_ : http_)->isRunning());
    }
  }

  quint16 portFor(const std::string& scheme) const {
    return scheme == "https" ? https_->port() : http_->port();
  }
  std::string url(const std::string& scheme, const std::string& host, const std::string& path,
                  const std::string& client) const {
    return scheme + "://" + host + ":" + std::to_string(portFor(scheme)) + path + "?client=" + client;
  }
  QStringList resolveArguments() const {
    QStringList out;
    for (const char* host : kHosts) {
      for (const quint16 port : {http_->port(), https_->port()}) {
        out << "--resolve" << QStringLiteral("%1:%2:127.0.0.1").arg(host).arg(port);
      }
    }
    return out;
  }

  // Runs `program` with `arguments` (bounded) and returns its standard output.
  static std::string run(const QString& program, const QStringList& arguments,
                         const QString& dataHome = {}) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
      environment.remove(name);
    }
    if (!dataHome.isEmpty()) environment.insert("XDG_DATA_HOME", dataHome);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    EXPECT_TRUE(process.waitForFinished(120000)) << program.toStdString();
    return process.readAllStandardOutput().toStdString();
  }

  // Cookie headers nginx saw from `client` for each request, "scheme host uri" -> header, once
  // `expected` requests are logged (nginx may log a request just after the client ended).
  std::map<std::string, std::string> seenBy(const std::string& client, size_t expected) const {
    std::map<std::string, std::string> out;
    testsupport::waitUntil([&] { return (out = readLog(client)).size() >= expected; },
                           std::chrono::seconds(5));
    return out;
  }
  std::map<std::string, std::string> readLog(const std::string& client) const {
    std::map<std::string, std::string> out;
    for (const char* name : {"http.log", "https.log"}) {
      std::ifstream in(content_ / name);
      for (std::string line; std::getline(in, line);) {
        std::stringstream fields(line);
        std::string scheme, host, uri, who;
        fields >> scheme >> host >> uri >> who;
        if (who != client) continue;
        const size_t open = line.find('"');
        std::string cookie = line.substr(open + 1, line.rfind('"') - open - 1);
        if (cookie == "-") cookie.clear();
        out[scheme + " " + host + " " + uri] = cookie;
      }
    }
    return out;
  }

  QString fetchBinary() const { return QStringLiteral(FETCH_BINARY); }

  testsupport::TempDir content_;
  testsupport::TempDir data_;
  std::unique_ptr<NginxServer> http_;
  std::unique_ptr<NginxServer> https_;
};

TEST_F(CookieFetchTest, FetchSendsWhatCurlSendsAfterTheSameAnswers) {
  if (QStandardPaths::findExecutable("curl").isEmpty()) GTEST_SKIP() << "curl is not installed";
  QStringList curlArgs{"-s", "-k", "--noproxy", "*", "-b", QString::fromStdString((data_ / "jar").string()),
                       "-c", QString::fromStdString((data_ / "jar").string()), "-o", "/dev/null"};
  curlArgs += resolveArguments();
  QStringList fetchArgs = resolveArguments();
  fetchArgs << "--insecure";
  for (const SetStep& step : kSetSteps) {
    curlArgs << QString::fromStdString(url(step.scheme, step.host, step.path, "curl"));
    fetchArgs << QString::fromStdString(url(step.scheme, step.host, step.path, "fetch"));
  }
  for (const EchoStep& step : kEchoSteps) {
    curlArgs << QString::fromStdString(url(step.scheme, step.host, step.path, "curl"));
    fetchArgs << QString::fromStdString(url(step.scheme, step.host, step.path, "fetch"));
  }
  // curl writes every body to standard output; one "-o" per URL keeps it quiet.
  for (size_t i = 1; i < kSetSteps.size() + kEchoSteps.size(); ++i) curlArgs << "-o" << "/dev/null";
  run("curl", curlArgs);
  const std::string fetchOutput =
      run(fetchBinary(), fetchArgs, QString::fromStdString((data_ / "fetch-data").string()));

  // What each set answer left in fetch's summary lines.
  std::vector<std::string> summaries;
  std::stringstream lines(fetchOutput);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("summary:", 0) == 0) summaries.push_back(line);
  }
  ASSERT_EQ(summaries.size(), kSetSteps.size() + kEchoSteps.size());
  for (size_t i = 0; i < kSetSteps.size(); ++i) {
    SCOPED_TRACE(kSetSteps[i].path);
    EXPECT_NE(summaries[i].find("status=200"), std::string::npos) << summaries[i];
    EXPECT_NE(summaries[i].find(" cookies=" + std::to_string(kSetSteps[i].accepted)), std::string::npos)
        << summaries[i];
  }

  const size_t requests = kEchoSteps.size() + kSetSteps.size();
  const auto curl = seenBy("curl", requests);
  const auto ours = seenBy("fetch", requests);
  ASSERT_EQ(curl.size(), kEchoSteps.size() + kSetSteps.size());
  ASSERT_EQ(ours.size(), curl.size());
  size_t cookiesCompared = 0;
  for (const EchoStep& step : kEchoSteps) {
    const std::string where = std::string(step.scheme) + " " + step.host + " " + step.path;
    SCOPED_TRACE(where);
    std::set<std::string> expected = cookieSet(curl.at(where));
    const std::set<std::string> got = cookieSet(ours.at(where));
    // RFC 6265: "plain" had the default path "/set" and was deleted with that same path.
    expected.erase("plain=1");
    EXPECT_EQ(got, expected);
    cookiesCompared += expected.size();
  }
  // The judge agreed on something, not only on nothing.
  EXPECT_GE(cookiesCompared, 20u);
  EXPECT_EQ(cookieSet(ours.at("https a.example.test /echo")),
            (std::set<std::string>{"dom=2", "dotdom=1", "sec2=1", "ho=1", "ss=1", "exp=1"}));
}

TEST_F(CookieFetchTest, CookiesWithAnExpiryOutliveTheProcess) {
  const QString dataHome = QString::fromStdString((data_ / "persist").string());
  QStringList first = resolveArguments();
  for (const char* path : {"/set/root", "/set/expires", "/set/maxage", "/set/domain"}) {
    first << QString::fromStdString(url("http", "a.example.test", path, "first"));
  }
  run(fetchBinary(), first, dataHome);

  struct stat info {};
  const std::string file = (data_ / "persist" / "fetch" / "cookies.json").string();
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  struct Case {
    const char* client;
    QStringList options;
    const char* path;
    std::set<std::string> sent;
  };
  const std::vector<Case> cases = {
      {"second", {}, "/echo", {"exp=1"}},
      {"third", {}, "/docs/page", {"exp=1", "ma=1"}},
      {"nocookies", {"--no-cookies"}, "/docs/page", {}},
      {"own", {"--no-cookies", "--cookie", "app=1", "--cookie", "b=2"}, "/echo", {"app=1", "b=2"}},
      {"both", {"--cookie", "app=1"}, "/echo", {"app=1", "exp=1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.client);
    QStringList args = resolveArguments() + c.options;
    args << QString::fromStdString(url("http", "a.example.test", c.path, c.client));
    run(fetchBinary(), args, dataHome);
    const auto seen = seenBy(c.client, 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(cookieSet(seen.begin()->second), c.sent);
  }
}

}  // namespace
