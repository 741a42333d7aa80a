// The streaming deflater: its gzip must satisfy the gzip tool and our inflater for every size,
// one-byte chunks included, and a finished stream must refuse further input.
#include "compression/data_compressor.h"
#include "compression/data_decompressor.h"

#include "gzip_samples.h"

#include <gtest/gtest.h>

namespace {

using compression::DataCompressor;
using compression::DataDecompressor;
using compressiontest::runGzip;
using compressiontest::sampleData;

// A gzip member header as zlib writes it: ID1 ID2, CM 8 (deflate) (RFC 1952, 2.3.1).
const QByteArray kGzipStart("\x1f\x8b\x08", 3);

void expectRestoredByGzipAndUs(const QByteArray& gzip, const QByteArray& data) {
  EXPECT_TRUE(gzip.startsWith(kGzipStart));
  int exitCode = -1;
  EXPECT_EQ(runGzip(gzip, "-dc", &exitCode), data);
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(DataDecompressor::uncompressData(gzip), data);
}

TEST(DataCompressorTest, OutputIsGzipThatTheGzipToolAndOurInflaterRestore) {
  for (qsizetype size : {1, 2, 1000, 262144, 3 << 20}) {
    SCOPED_TRACE(size);
    const QByteArray data = sampleData(size, unsigned(size));
    platform::ErrorPtr error;
    const QByteArray gzip = DataCompressor::compressData(data, &error);
    EXPECT_EQ(error, nullptr);
    expectRestoredByGzipAndUs(gzip, data);
  }
  // Highly compressible input: the output is far smaller than the room first offered.
  expectRestoredByGzipAndUs(DataCompressor::compressData(QByteArray(1 << 20, 'a')),
                            QByteArray(1 << 20, 'a'));
}

TEST(DataCompressorTest, OneByteChunksCompress) {
  platform::ErrorPtr error;
  auto single = DataCompressor::compressor();
  const QByteArray gzip = single->compressBytes("x", 1, &error, true);
  EXPECT_EQ(error, nullptr);
  expectRestoredByGzipAndUs(gzip, "x");

  const QByteArray data = sampleData(5000, 11);
  auto streaming = DataCompressor::compressor();
  QByteArray out;
  for (qsizetype at = 0; at < data.size(); ++at) {
    const QByteArray piece =
        streaming->compressBytes(data.constData() + at, 1, &error, at + 1 == data.size());
    ASSERT_FALSE(piece.isNull()) << "at " << at;
    out += piece;
  }
  EXPECT_EQ(streaming->closeStream(), nullptr);
  expectRestoredByGzipAndUs(out, data);
}

TEST(DataCompressorTest, AnEmptyChunkNeverFinishesAndAFinishedStreamRefusesMore) {
  platform::ErrorPtr error;
  EXPECT_TRUE(DataCompressor::compressData(QByteArray(), &error).isNull());
  EXPECT_EQ(error, nullptr);

  auto compressor = DataCompressor::compressor();
  QByteArray out = compressor->compressBytes("first ", 6, &error, false);
  EXPECT_TRUE(compressor->compressBytes("", 0, &error, true).isNull());
  EXPECT_EQ(error, nullptr);
  out += compressor->compressBytes("second", 6, &error, true);
  expectRestoredByGzipAndUs(out, "first second");

  EXPECT_TRUE(compressor->compressBytes("lost?", 5, &error, true).isNull());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), 11);
  EXPECT_EQ(error->localizedDescription(),
            QStringLiteral("Compression of data failed with code -2"));
}

}  // namespace
