// The cloudstore command-line tool against the object store: a round trip through each service,
// and failures that print the engine's code and text (never a secret) and exit non-zero.
#include "store_fixture.h"
#include "support/temp_dir.h"

#include <QProcess>
#include <QProcessEnvironment>

namespace {

class CloudstoreToolTest : public StoreTest {
 protected:
  struct Result {
    int exitCode = -1;
    QString out;
    QString err;
  };

  Result tool(const QStringList& args, const QMap<QString, QString>& override = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("S3_HOST"), peer_.s3Host());
    env.insert(QStringLiteral("S3_ACCESS_KEY"), QStringLiteral("test:tester"));
    env.insert(QStringLiteral("S3_SECRET_KEY"), QStringLiteral("testing"));
    env.insert(QStringLiteral("S3_PATH_STYLE"), QStringLiteral("1"));
    env.insert(QStringLiteral("CF_AUTH_URL"), peer_.authURL().toString());
    env.insert(QStringLiteral("CF_USER"), QStringLiteral("test:tester"));
    env.insert(QStringLiteral("CF_KEY"), QStringLiteral("testing"));
    for (auto it = override.cbegin(); it != override.cend(); ++it) env.insert(it.key(), it.value());
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(CLOUDSTORE_PATH), args);
    Result result;
    if (!process.waitForFinished(120000)) {
      process.kill();
      process.waitForFinished(5000);
      return result;
    }
    result.exitCode = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
  }

  testsupport::TempDir dir_;
};

TEST_F(CloudstoreToolTest, S3RoundTrip) {
  const QString bucket = uniqueName("tool");
  const QString in = QString::fromStdString((dir_ / "in.bin").string());
  const QString out = QString::fromStdString((dir_ / "out.bin").string());
  testsupport::writeFile(dir_ / "in.bin", std::string(300000, 'q') + "end");
  struct Step {
    QStringList args;
    const char* expectOut;
  };
  const std::vector<Step> steps = {
      {{"s3", "mb", bucket}, ""},
      {{"s3", "put", in, bucket + "/dir/in.bin", "--acl", "public-read"}, ""},
      {{"s3", "ls", bucket, "dir/"}, "300003\tdir/in.bin\n"},
      {{"s3", "cp", bucket + "/dir/in.bin", bucket + "/copy.bin"}, ""},
      {{"s3", "get", bucket + "/copy.bin", out}, ""},
      {{"s3", "rm", bucket + "/copy.bin"}, ""},
      {{"s3", "rm", bucket + "/dir/in.bin"}, ""},
      {{"s3", "rb", bucket}, ""},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.args.join(' ').toStdString());
    const Result r = tool(step.args);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QString::fromLatin1(step.expectOut));
  }
  EXPECT_EQ(testsupport::readFile(dir_ / "out.bin"), testsupport::readFile(dir_ / "in.bin"));

  // A refused download leaves what was at the destination alone.
  testsupport::writeFile(dir_ / "keep.bin", "earlier copy");
  const QString keep = QString::fromStdString((dir_ / "keep.bin").string());
  EXPECT_EQ(tool({"s3", "get", bucket + "/gone.bin", keep}).exitCode, 1);
  EXPECT_EQ(tool({"cf", "get", bucket + "/gone.bin", keep}).exitCode, 1);
  EXPECT_EQ(testsupport::readFile(dir_ / "keep.bin"), "earlier copy");
}

TEST_F(CloudstoreToolTest, CloudFilesRoundTripWithMetadata) {
  const QString container = uniqueName("toolcf");
  const QString in = QString::fromStdString((dir_ / "in.txt").string());
  testsupport::writeFile(dir_ / "in.txt", "hello");
  EXPECT_EQ(tool({"cf", "mk", container}).exitCode, 0);
  EXPECT_EQ(tool({"cf", "put", in, container + "/a/b", "--meta", "Color=red"}).exitCode, 0);
  const Result head = tool({"cf", "head", container + "/a/b"});
  EXPECT_EQ(head.exitCode, 0);
  EXPECT_TRUE(head.out.contains(QStringLiteral("name a/b\n"))) << head.out.toStdString();
  EXPECT_TRUE(head.out.contains(QStringLiteral("meta Color=red\n"))) << head.out.toStdString();
  EXPECT_EQ(tool({"cf", "meta", container + "/a/b", "Author=bob"}).exitCode, 0);
  EXPECT_EQ(testsupport::readWithSwiftClient(peer_, container, QStringLiteral("a/b")).metadata,
            (QMap<QString, QString>{{"author", "bob"}}));
  EXPECT_EQ(tool({"cf", "ls", container}).out, QStringLiteral("5\ta/b\n"));
  EXPECT_EQ(tool({"cf", "rm", container + "/a/b"}).exitCode, 0);
  EXPECT_EQ(tool({"cf", "rm", container}).exitCode, 0);
}

TEST_F(CloudstoreToolTest, FailuresPrintTheCodeAndNoSecret) {
  struct Case {
    QStringList args;
    QMap<QString, QString> env;
    const char* expectErr;
    const char* secret;
  };
  const std::vector<Case> cases = {
      {{"s3", "ls"}, {{"S3_SECRET_KEY", "sekrit-value"}}, "error: code 2: The request signature we calculated",
       "sekrit-value"},
      {{"s3", "head", "no-such-bucket-xyz/k"}, {}, "error: code 2: ", "testing"},
      {{"cf", "ls"}, {{"CF_KEY", "sekrit-key"}}, "error: code 3: Authentication needed", "sekrit-key"},
      {{"cf", "head", "no-such-container-xyz/o"}, {}, "error: HTTP status 404", "AUTH_tk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const Result r = tool(c.args, c.env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.startsWith(QString::fromLatin1(c.expectErr))) << r.err.toStdString();
    EXPECT_FALSE((r.out + r.err).contains(QString::fromLatin1(c.secret)));
  }
}

}  // namespace
