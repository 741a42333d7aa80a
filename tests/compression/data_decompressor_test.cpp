// The streaming inflater against gzip-tool and zlib output: header detection, every way of
// splitting the input, data after the end, several members, and cut-short or corrupt input.
#include "compression/data_decompressor.h"

#include "gzip_samples.h"

#include <gtest/gtest.h>

namespace {

using compression::DataDecompressor;
using compressiontest::runGzip;
using compressiontest::sampleData;

void expectInflateError(const platform::ErrorPtr& error, int zlibStatus) {
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), QStringLiteral("HTTPRequestErrorDomain"));
  EXPECT_EQ(error->code(), 11);
  EXPECT_EQ(error->localizedDescription(),
            QStringLiteral("Decompression of data failed with code %1").arg(zlibStatus));
}

// Feeds `input` in pieces of the given sizes (cycled), checking that no piece fails.
QByteArray inflateInPieces(DataDecompressor& decompressor, const QByteArray& input,
                           std::initializer_list<qsizetype> sizes) {
  QByteArray out;
  qsizetype at = 0;
  for (auto size = sizes.begin(); at < input.size();) {
    const qsizetype length = std::min(*size, input.size() - at);
    platform::ErrorPtr error;
    const QByteArray piece = decompressor.uncompressBytes(input.constData() + at, length, &error);
    EXPECT_EQ(error, nullptr) << "at " << at;
    EXPECT_FALSE(piece.isNull()) << "at " << at;
    out += piece;
    at += length;
    if (++size == sizes.end()) size = sizes.begin();
  }
  return out;
}

TEST(DataDecompressorTest, InflatesGzipAndZlibDataWithTheSameSettingsButNotRawDeflate) {
  const QByteArray data = sampleData(200000);
  EXPECT_EQ(DataDecompressor::uncompressData(runGzip(data, "-c")), data);
  EXPECT_EQ(DataDecompressor::uncompressData(compressiontest::zlibWrapped(data)), data);

  platform::ErrorPtr error;
  EXPECT_TRUE(
      DataDecompressor::uncompressData(compressiontest::rawDeflated(data), &error).isNull());
  expectInflateError(error, -3);
}

TEST(DataDecompressorTest, EverySplitOfTheInputGivesTheWholeBufferResult) {
  const QByteArray small = sampleData(3000, 2);
  const QByteArray smallGzip = runGzip(small, "-c");
  for (qsizetype split = 0; split <= smallGzip.size(); ++split) {
    SCOPED_TRACE(split);
    auto decompressor = DataDecompressor::decompressor();
    QByteArray out = decompressor->uncompressBytes(smallGzip.constData(), split);
    out += decompressor->uncompressBytes(smallGzip.constData() + split, smallGzip.size() - split);
    EXPECT_EQ(out, small);
    EXPECT_TRUE(decompressor->streamEnded());
  }

  const QByteArray text = sampleData(100000, 3);
  auto byBytes = DataDecompressor::decompressor();
  EXPECT_EQ(inflateInPieces(*byBytes, runGzip(text, "-c"), {1}), text);

  // The inflation ratio jumps (text, then 8 MiB of zeros, then random bytes), so output outgrows
  // the size guessed from earlier chunks many times over.
  const QByteArray mixed =
      sampleData(1 << 20, 4) + QByteArray(8 << 20, '\0') + sampleData(1 << 20, 5).toBase64();
  const QByteArray mixedGzip = runGzip(mixed, "-c");
  auto byChunks = DataDecompressor::decompressor();
  EXPECT_EQ(inflateInPieces(*byChunks, mixedGzip, {1, 7, 4096, 16384, 65536}), mixed);
  EXPECT_EQ(DataDecompressor::uncompressData(mixedGzip), mixed);
}

TEST(DataDecompressorTest, BytesAfterTheEndAreIgnoredNowAndLater) {
  const QByteArray data = sampleData(5000, 6);
  EXPECT_EQ(DataDecompressor::uncompressData(compressiontest::zlibWrapped(data) + "\x1f\x8bjunk"),
            data);
  EXPECT_EQ(DataDecompressor::uncompressData(runGzip(data, "-c") + QByteArray(100, '\0')), data);

  auto decompressor = DataDecompressor::decompressor();
  const QByteArray gzip = runGzip(data, "-c") + "tail";
  EXPECT_EQ(decompressor->uncompressBytes(gzip.constData(), gzip.size()), data);
  platform::ErrorPtr error;
  const QByteArray later = decompressor->uncompressBytes("more", 4, &error);
  EXPECT_EQ(error, nullptr);
  EXPECT_TRUE(later.isEmpty());
  EXPECT_FALSE(later.isNull());
}

TEST(DataDecompressorTest, ConcatenatedGzipMembersAllInflateAsWithTheGzipTool) {
  const QByteArray first = sampleData(70000, 7);
  const QByteArray second = sampleData(30000, 8);
  const QByteArray members = runGzip(first, "-c") + runGzip(second, "-c") + runGzip("x", "-c");
  ASSERT_EQ(runGzip(members, "-dc"), first + second + "x");

  EXPECT_EQ(DataDecompressor::uncompressData(members + "trailing"), first + second + "x");
  // One byte at a time, the next member's magic number arrives split over two chunks.
  auto decompressor = DataDecompressor::decompressor();
  EXPECT_EQ(inflateInPieces(*decompressor, members, {1}), first + second + "x");
  EXPECT_TRUE(decompressor->streamEnded());
}

TEST(DataDecompressorTest, CutShortInputFailsWhenWholeButWaitsForMoreWhenStreaming) {
  const QByteArray data = sampleData(50000, 9);
  const QByteArray gzip = runGzip(data, "-c");
  const QByteArray twoMembers = gzip + gzip;
  for (qsizetype cut : {gzip.size() - 1, gzip.size() / 2, qsizetype(3), gzip.size() + 2}) {
    SCOPED_TRACE(cut);
    const QByteArray partial = twoMembers.left(cut);
    platform::ErrorPtr error;
    EXPECT_TRUE(DataDecompressor::uncompressData(partial, &error).isNull());
    expectInflateError(error, -5);

    auto decompressor = DataDecompressor::decompressor();
    error.reset();
    const QByteArray out =
        decompressor->uncompressBytes(partial.constData(), partial.size(), &error);
    EXPECT_EQ(error, nullptr);
    EXPECT_TRUE((data + data).startsWith(out));
    EXPECT_FALSE(decompressor->streamEnded());
  }
}

TEST(DataDecompressorTest, CorruptInputFailsWithZlibsStatusAndTheStreamStaysFailed) {
  const QByteArray gzip = runGzip(sampleData(20000, 10), "-c");
  QByteArray badHeader = gzip;
  badHeader[1] = char(0x8c);
  QByteArray badCheck = gzip;
  badCheck[badCheck.size() - 6] = char(badCheck[badCheck.size() - 6] ^ 0x01);  // CRC-32 byte
  for (const QByteArray& corrupt : {badHeader, badCheck}) {
    platform::ErrorPtr error;
    EXPECT_TRUE(DataDecompressor::uncompressData(corrupt, &error).isNull());
    expectInflateError(error, -3);

    auto decompressor = DataDecompressor::decompressor();
    EXPECT_TRUE(decompressor->uncompressBytes(corrupt.constData(), corrupt.size()).isNull());
    error.reset();
    EXPECT_TRUE(decompressor->uncompressBytes(gzip.constData(), gzip.size(), &error).isNull());
    expectInflateError(error, -3);
  }
}

TEST(DataDecompressorTest, EmptyInputGivesNothingAndAClosedStreamRefusesChunksUntilSetUp) {
  platform::ErrorPtr error;
  EXPECT_TRUE(DataDecompressor::uncompressData(QByteArray(), &error).isNull());
  EXPECT_EQ(error, nullptr);

  auto decompressor = DataDecompressor::decompressor();
  ASSERT_TRUE(decompressor->streamReady());
  EXPECT_TRUE(decompressor->uncompressBytes("", 0, &error).isNull());
  EXPECT_EQ(error, nullptr);
  EXPECT_TRUE(decompressor->uncompressBytes("x", -1, &error).isNull());
  expectInflateError(error, -2);
  error.reset();

  const QByteArray gzip = runGzip("again", "-c");
  EXPECT_EQ(decompressor->uncompressBytes(gzip.constData(), 4), QByteArray(""));
  EXPECT_EQ(decompressor->closeStream(), nullptr);
  EXPECT_EQ(decompressor->closeStream(), nullptr);
  EXPECT_FALSE(decompressor->streamReady());
  EXPECT_TRUE(decompressor->uncompressBytes(gzip.constData(), gzip.size(), &error).isNull());
  expectInflateError(error, -2);

  // Set up again, the stream starts afresh: the four bytes fed before are forgotten.
  EXPECT_EQ(decompressor->setupStream(), nullptr);
  EXPECT_EQ(decompressor->uncompressBytes(gzip.constData(), gzip.size()), QByteArray("again"));
}

}  // namespace

namespace {

TEST(DataDecompressorTest, ASinkReceivesBoundedPiecesThatMakeTheWholeResult) {
  // A high ratio: 20 MiB of zeros behind two gzip members and a little sample data.
  const QByteArray zeros(10 << 20, '\0');
  const QByteArray plain = zeros + compressiontest::sampleData(70000) + zeros;
  const QByteArray gzip = compressiontest::runGzip(zeros, "-c") +
                          compressiontest::runGzip(compressiontest::sampleData(70000) + zeros, "-c");
  for (const qsizetype split : {qsizetype(1000), qsizetype(1) << 20}) {
    SCOPED_TRACE(split);
    auto decompressor = compression::DataDecompressor::decompressor();
    QByteArray out;
    qsizetype largest = 0;
    for (qsizetype at = 0; at < gzip.size(); at += split) {
      platform::ErrorPtr error;
      ASSERT_TRUE(decompressor->uncompressBytes(
          gzip.constData() + at, std::min(split, gzip.size() - at),
          [&](const char* piece, qsizetype size) {
            largest = std::max(largest, size);
            out.append(piece, size);
            return true;
          },
          &error));
      EXPECT_EQ(error, nullptr);
    }
    EXPECT_TRUE(decompressor->streamEnded());
    EXPECT_EQ(out, plain);
    EXPECT_LE(largest, compression::DataDecompressor::kOutputPieceBytes);
  }
}

TEST(DataDecompressorTest, ASinkThatStopsEndsTheChunkWithoutAnError) {
  const QByteArray gzip = compressiontest::runGzip(QByteArray(4 << 20, 'z'), "-c");
  auto decompressor = compression::DataDecompressor::decompressor();
  int pieces = 0;
  platform::ErrorPtr error;
  EXPECT_FALSE(decompressor->uncompressBytes(
      gzip.constData(), gzip.size(), [&](const char*, qsizetype) { return ++pieces < 2; }, &error));
  EXPECT_EQ(pieces, 2);
  EXPECT_EQ(error, nullptr);
}

}  // namespace
