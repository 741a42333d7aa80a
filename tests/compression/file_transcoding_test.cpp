// File-to-file compression and inflation: sizes around the 256 KiB block and beyond memory
// buffers, and every failure leaving an existing destination untouched and no stray files.
#include "compression/data_compressor.h"
#include "compression/data_decompressor.h"

#include "gzip_samples.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>

namespace {

using compression::DataCompressor;
using compression::DataDecompressor;
using compressiontest::runGzip;
using compressiontest::sampleData;
using testsupport::readFile;
using testsupport::writeFile;

constexpr qsizetype kBlock = 262144;

QString qpath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }
QByteArray contents(const std::filesystem::path& path) {
  return QByteArray::fromStdString(readFile(path));
}

// Names of the entries in `dir`, so a test can tell no temporary file was left behind.
std::vector<std::string> entries(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

using FileForm = bool (*)(const QString&, const QString&, platform::ErrorPtr*);
struct Direction {
  const char* verb;
  FileForm run;
};
const Direction kDirections[] = {{"Compression", &DataCompressor::compressDataFromFile},
                                 {"Decompression", &DataDecompressor::uncompressDataFromFile}};

void expectCompressionError(const platform::ErrorPtr& error, const QString& text) {
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), QStringLiteral("HTTPRequestErrorDomain"));
  EXPECT_EQ(error->code(), 11);
  EXPECT_EQ(error->localizedDescription(), text);
}

TEST(FileTranscodingTest, RoundTripsAtBlockBoundariesAndBeyondMemoryBuffers) {
  testsupport::TempDir dir;
  for (qsizetype size :
       {qsizetype(0), qsizetype(1), kBlock - 1, kBlock, kBlock + 1, 2 * kBlock, 9 * kBlock + 5}) {
    SCOPED_TRACE(size);
    const QByteArray data = sampleData(size, unsigned(size));
    writeFile(dir / "plain", data.toStdString());
    platform::ErrorPtr error;
    ASSERT_TRUE(DataCompressor::compressDataFromFile(qpath(dir / "plain"), qpath(dir / "packed.gz"),
                                                     &error));
    EXPECT_EQ(error, nullptr);
    const QByteArray packed = contents(dir / "packed.gz");
    if (size == 0) {
      EXPECT_TRUE(packed.isEmpty());
    } else {
      int exitCode = -1;
      EXPECT_EQ(runGzip(packed, "-dc", &exitCode), data);
      EXPECT_EQ(exitCode, 0);  // a complete stream: the tool finds its trailer
    }

    // Inflate the gzip tool's own file, and ours.
    writeFile(dir / "tool.gz", runGzip(data, "-c").toStdString());
    ASSERT_TRUE(DataDecompressor::uncompressDataFromFile(qpath(dir / "tool.gz"), qpath(dir / "out"),
                                                         &error));
    EXPECT_EQ(contents(dir / "out"), data);
    ASSERT_TRUE(DataDecompressor::uncompressDataFromFile(qpath(dir / "packed.gz"),
                                                         qpath(dir / "out"), &error));
    EXPECT_EQ(contents(dir / "out"), data);
  }
}

TEST(FileTranscodingTest, MissingSourceOrUncreatableDestinationFailsWithItsText) {
  testsupport::TempDir dir;
  writeFile(dir / "dest", "keep me");
  for (const Direction& direction : kDirections) {
    SCOPED_TRACE(direction.verb);
    const QString missing = qpath(dir / "missing");
    platform::ErrorPtr error;
    EXPECT_FALSE(direction.run(missing, qpath(dir / "dest"), &error));
    expectCompressionError(
        error,
        QStringLiteral("%1 of %2 failed the file does not exist").arg(direction.verb, missing));
    EXPECT_EQ(readFile(dir / "dest"), "keep me");
    EXPECT_FALSE(direction.run(missing, qpath(dir / "new"), nullptr));

    const QString unreachable = qpath(dir / "no-folder" / "dest");
    EXPECT_FALSE(direction.run(qpath(dir / "dest"), unreachable, &error));
    expectCompressionError(error,
                           QStringLiteral("%1 of %2 failed because we were to create a file at %3")
                               .arg(direction.verb, qpath(dir / "dest"), unreachable));
  }
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"dest"});
}

TEST(FileTranscodingTest, UnreadableSourceFailsWithTheFilesOwnError) {
  testsupport::TempDir dir;
  std::filesystem::create_directory(dir / "folder");
  for (const Direction& direction : kDirections) {
    SCOPED_TRACE(direction.verb);
    platform::ErrorPtr error;
    EXPECT_FALSE(direction.run(qpath(dir / "folder"), qpath(dir / "dest"), &error));
    expectCompressionError(
        error,
        QStringLiteral("%1 of %2 failed because we were unable to read from the source data file")
            .arg(direction.verb, qpath(dir / "folder")));
    ASSERT_NE(error->underlyingError(), nullptr);
    EXPECT_FALSE(error->underlyingError()->localizedDescription().isEmpty());
  }
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"folder"});
}

TEST(FileTranscodingTest, CorruptOrCutShortSourceLeavesTheDestinationAsItWas) {
  testsupport::TempDir dir;
  const QByteArray gzip = runGzip(sampleData(3 * kBlock, 12), "-c");
  QByteArray corrupt = gzip;
  corrupt[corrupt.size() - 6] = char(corrupt[corrupt.size() - 6] ^ 0x01);  // CRC-32 byte
  writeFile(dir / "dest", "keep me");
  for (const auto& [source, status] :
       {std::pair{corrupt, -3}, std::pair{gzip.left(gzip.size() - 1), -5},
        std::pair{gzip.left(kBlock), -5}}) {
    SCOPED_TRACE(status);
    writeFile(dir / "source", source.toStdString());
    platform::ErrorPtr error;
    EXPECT_FALSE(DataDecompressor::uncompressDataFromFile(qpath(dir / "source"),
                                                          qpath(dir / "dest"), &error));
    expectCompressionError(error,
                           QStringLiteral("Decompression of data failed with code %1").arg(status));
    EXPECT_EQ(readFile(dir / "dest"), "keep me");
  }
  EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"dest", "source"}));
}

TEST(FileTranscodingTest, WriteFailureKeepsTheDestinationAndLeavesNoTemporaryFile) {
  testsupport::TempDir dir;
  const QByteArray gzip = runGzip(QByteArray(4 << 20, 'z'), "-c");
  writeFile(dir / "source", gzip.toStdString());
  writeFile(dir / "dest", "keep me");

  // Files may not grow past 64 KiB for a moment: writes beyond fail with EFBIG, not a signal.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = 64 << 10;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  platform::ErrorPtr error;
  const bool ok =
      DataDecompressor::uncompressDataFromFile(qpath(dir / "source"), qpath(dir / "dest"), &error);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, savedHandler);

  EXPECT_FALSE(ok);
  expectCompressionError(
      error, QStringLiteral("Decompression of %1 failed because we were unable to write to the "
                            "destination data file at %2")
                 .arg(qpath(dir / "source"), qpath(dir / "dest")));
  EXPECT_NE(error->underlyingError(), nullptr);
  EXPECT_EQ(readFile(dir / "dest"), "keep me");
  EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"dest", "source"}));
}

TEST(FileTranscodingTest, ASourceMayBeItsOwnDestination) {
  testsupport::TempDir dir;
  const QByteArray data = sampleData(kBlock + 10, 13);
  writeFile(dir / "file", data.toStdString());
  ASSERT_TRUE(DataCompressor::compressDataFromFile(qpath(dir / "file"), qpath(dir / "file")));
  EXPECT_EQ(runGzip(contents(dir / "file"), "-dc"), data);
  ASSERT_TRUE(DataDecompressor::uncompressDataFromFile(qpath(dir / "file"), qpath(dir / "file")));
  EXPECT_EQ(contents(dir / "file"), data);
}

}  // namespace
