// The small services: log lines, errors and the program's folders.
#include "platform/error.h"
#include "platform/log.h"
#include "platform/paths.h"

#include <QDir>
#include <QFileInfo>
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
  EXPECT_TRUE(QFileInfo(platform::cachesFolder()).isDir());
  EXPECT_EQ(platform::homeFolder(), QDir::homePath());
}

}  // namespace
