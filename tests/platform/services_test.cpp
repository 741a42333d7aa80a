// The small services: log lines, errors and the program's folders.
#include "platform/error.h"
#include "platform/log.h"
#include "platform/paths.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

TEST(ServicesTest, LogLinesReachTheSinkWhileItIsSet) {
  QStringList lines;
  platform::setLogSink([&](const QString& line) { lines << line; });
  platform::log(QStringLiteral("RequestURL--------http://127.0.0.1/a b.7z"));
  platform::setLogSink(nullptr);
  platform::log(QStringLiteral("not seen"));
  EXPECT_EQ(lines, QStringList{QStringLiteral("RequestURL--------http://127.0.0.1/a b.7z")});
}

TEST(ServicesTest, ErrorsCarryTheirPartsAndNameThemInText) {
  auto underlying = platform::Error::make("Inner", 7, "inner text");
  auto error = platform::Error::make("HTTPRequestErrorDomain", 2, "The request timed out", "slow",
                                     underlying);
  EXPECT_EQ(error->code(), 2);
  EXPECT_EQ(error->underlyingError(), underlying);
  EXPECT_EQ(error->toString(),
            QStringLiteral("Error Domain=HTTPRequestErrorDomain Code=2 \"The request timed out\" (slow) "
                           "UnderlyingError={Error Domain=Inner Code=7 \"inner text\"}"));
  platform::NamedException exception("AttemptToAddInvalidRequest", "not a request");
  EXPECT_STREQ(exception.what(), "AttemptToAddInvalidRequest: not a request");
}

TEST(ServicesTest, UniqueTemporaryPathsLieInTheTemporaryFolderAndDiffer) {
  const QString a = platform::uniqueTemporaryPath();
  const QString b = platform::uniqueTemporaryPath();
  EXPECT_NE(a, b);
  EXPECT_EQ(QFileInfo(a).absolutePath(), QFileInfo(platform::temporaryFolder()).absoluteFilePath());
  EXPECT_FALSE(QFileInfo::exists(a));
  // The name is a random (version 4) UUID in upper case.
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"))
                  .match(QFileInfo(a).fileName())
                  .hasMatch())
      << a.toStdString();
  // A changed TMPDIR is followed.
  const QByteArray saved = qgetenv("TMPDIR");
  qputenv("TMPDIR", "/");
  EXPECT_EQ(QFileInfo(platform::uniqueTemporaryPath()).absolutePath(), QStringLiteral("/"));
  if (saved.isNull()) qunsetenv("TMPDIR");
  else qputenv("TMPDIR", saved);
  EXPECT_EQ(QFileInfo(platform::uniqueTemporaryPath()).absolutePath(), QFileInfo(a).absolutePath());
  EXPECT_TRUE(QFileInfo(platform::cachesFolder()).isDir());
  EXPECT_EQ(platform::homeFolder(), QDir::homePath());
}

}  // namespace
