// Putting a download at its destination never writes through a symbolic link planted there, in
// any of the ways a file is put in place (rename, copy across file systems, inflated gzip body),
// while a link to a whole folder on the way to the destination keeps working.
#include "http/file_replacement.h"

#include "compression/data_compressor.h"
#include "http/http_request.h"
#include "support/temp_dir.h"
#include "support/test_http_server.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace {

namespace fs = std::filesystem;
using testsupport::HttpResponse;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

// Ways of putting `content` at `destination`; each returns an empty text or the failure.
using Put = std::function<QString(const TempDir& scratch, const QByteArray& content, const QString& destination)>;

QString putByReplace(const TempDir& scratch, const QByteArray& content, const QString& destination,
                     bool copy) {
  writeFile(scratch / "source", content.toStdString());
  QString problem;
  const bool ok = copy ? http::copyAndReplaceFile(q(scratch / "source"), destination, &problem)
                       : http::replaceFile(q(scratch / "source"), destination, &problem);
  if (ok && fs::exists(scratch / "source")) return QStringLiteral("the source is still there");
  return ok ? QString() : (problem.isEmpty() ? QStringLiteral("failed") : problem);
}

QString putByGzipDownload(const TempDir&, const QByteArray& content, const QString& destination) {
  testsupport::TestHttpServer server;
  server.route("/f", HttpResponse::ok(compression::DataCompressor::compressData(content))
                         .withHeader("Content-Encoding", "gzip"));
  auto request = http::HTTPRequest::requestWithURL(server.url("/f"));
  request->setDownloadDestinationPath(destination);
  request->startSynchronous();
  return request->error() ? request->error()->toString() : QString();
}

struct Way {
  const char* name;
  Put put;
};

const Way kWays[] = {
    {"rename", [](const TempDir& s, const QByteArray& c, const QString& d) { return putByReplace(s, c, d, false); }},
    {"copy across file systems",
     [](const TempDir& s, const QByteArray& c, const QString& d) { return putByReplace(s, c, d, true); }},
    {"gzip download", putByGzipDownload},
};

TEST(FileReplacementTest, ALinkAtTheDestinationIsReplacedAndItsTargetLeftAlone) {
  for (const Way& way : kWays) {
    SCOPED_TRACE(way.name);
    TempDir scratch;
    TempDir outside;
    TempDir addOns;
    writeFile(outside / "precious.txt", "do not touch");
    fs::create_directories(addOns / "Ok2");
    fs::create_symlink(outside / "precious.txt", addOns / "Ok2/arch_link.lua.7z");
    EXPECT_EQ(way.put(scratch, "archive bytes", q(addOns / "Ok2/arch_link.lua.7z")), QString());
    EXPECT_EQ(readFile(outside / "precious.txt"), "do not touch");
    EXPECT_FALSE(fs::is_symlink(addOns / "Ok2/arch_link.lua.7z"));
    EXPECT_EQ(readFile(addOns / "Ok2/arch_link.lua.7z"), "archive bytes");
    EXPECT_EQ(QDir(q(addOns / "Ok2")).entryList(QDir::Files | QDir::Hidden).size(), 1) << "no stray file";
  }
}

TEST(FileReplacementTest, ALinkedAddOnFolderStillReceivesItsFiles) {
  for (const Way& way : kWays) {
    SCOPED_TRACE(way.name);
    TempDir scratch;
    TempDir checkout;
    TempDir addOns;
    writeFile(checkout / "MyAddon/old.lua", "old");
    fs::create_directory_symlink(checkout / "MyAddon", addOns / "MyAddon");
    EXPECT_EQ(way.put(scratch, "new", q(addOns / "MyAddon/old.lua")), QString());
    EXPECT_EQ(readFile(checkout / "MyAddon/old.lua"), "new");
    EXPECT_TRUE(fs::is_symlink(addOns / "MyAddon"));
  }
}

TEST(FileReplacementTest, AFailedReplacementKeepsTheSourceAndTheDestination) {
  for (const bool copy : {false, true}) {
    SCOPED_TRACE(copy ? "copy" : "rename");
    TempDir scratch;
    writeFile(scratch / "source", "new");
    QString problem;
    const QString missingFolder = q(scratch / "no such folder/file");
    EXPECT_FALSE(copy ? http::copyAndReplaceFile(q(scratch / "source"), missingFolder, &problem)
                      : http::replaceFile(q(scratch / "source"), missingFolder, &problem));
    EXPECT_FALSE(problem.isEmpty());
    EXPECT_EQ(readFile(scratch / "source"), "new");
  }
}

}  // namespace
