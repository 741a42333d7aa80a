// Tests of the LZMA2 chunk decoder: hand-made chunk sequences for every control byte and reset
// rule, and xz-made streams (LZMA and stored chunks) fed in pieces of every kind.
#include <gtest/gtest.h>

#include <random>

#include "archive/lzma2_decoder.h"
#include "test_util.h"

using namespace sevenzip;
using namespace archivetest;

TEST(Lzma2Decoder, DictionarySizeFromProperty) {
  EXPECT_EQ(Lzma2Decoder_DictSize(0), 4096u);
  EXPECT_EQ(Lzma2Decoder_DictSize(1), 6144u);
  EXPECT_EQ(Lzma2Decoder_DictSize(18), 2u << 20);
  EXPECT_EQ(Lzma2Decoder_DictSize(40), 0xFFFFFFFFu);
  Lzma2Decoder dec;
  EXPECT_EQ(Lzma2Decoder_AllocateProbs(&dec, 41, &kMainAllocator), ResUnsupported);
  ASSERT_EQ(Lzma2Decoder_AllocateProbs(&dec, 40, &kMainAllocator), ResOk);
  EXPECT_EQ(dec.decoder.props.dicSize, 0xFFFFFFFFu);
  EXPECT_EQ(dec.decoder.numProbs, 14134u);
  LzmaDecoder_FreeProbs(&dec.decoder, &kMainAllocator);
}

struct ChunkCase {
  const char* name;
  Bytes stream;
  ArchiveResult res;
  LzmaStatus status;
  std::string output;
};

TEST(Lzma2Decoder, HandMadeChunks) {
  const ChunkCase cases[] = {
      {"end only", {0x00}, ResOk, LzmaStatusFinishedWithMark, ""},
      {"stored with reset", {0x01, 0x00, 0x02, 'a', 'b', 'c', 0x00}, ResOk, LzmaStatusFinishedWithMark, "abc"},
      {"two stored chunks", {0x01, 0x00, 0x01, 'a', 'b', 0x02, 0x00, 0x00, 'c', 0x00}, ResOk,
       LzmaStatusFinishedWithMark, "abc"},
      {"stored without dictionary reset first", {0x02, 0x00, 0x00, 'a', 0x00}, ResDataError, LzmaStatusNotSpecified, ""},
      {"control 03", {0x03, 0x00}, ResDataError, LzmaStatusNotSpecified, ""},
      {"control 7F", {0x7F, 0x00}, ResDataError, LzmaStatusNotSpecified, ""},
      // LZMA chunks of mode 0 and 1 first: no dictionary reset, no properties.
      {"LZMA mode 0 first", {0x80, 0x00, 0x00, 0x00, 0x04, 0, 0, 0, 0, 0}, ResDataError, LzmaStatusNotSpecified, ""},
      {"LZMA mode 1 first", {0xA0, 0x00, 0x00, 0x00, 0x04, 0, 0, 0, 0, 0}, ResDataError, LzmaStatusNotSpecified, ""},
      // Mode 3 with properties lc=4, lp=1 (byte 13): lc + lp above 4.
      {"lc 4 lp 1", {0xE0, 0x00, 0x00, 0x00, 0x04, 13, 0, 0, 0, 0, 0}, ResDataError, LzmaStatusNotSpecified, ""},
      {"props 225", {0xE0, 0x00, 0x00, 0x00, 0x04, 225, 0, 0, 0, 0, 0}, ResDataError, LzmaStatusNotSpecified, ""},
      // After a stored chunk with dictionary reset an LZMA chunk must bring properties (mode 2+).
      {"mode 1 after stored reset", {0x01, 0x00, 0x00, 'a', 0xA0, 0x00, 0x00, 0x00, 0x04, 0, 0, 0, 0, 0}, ResDataError,
       LzmaStatusNotSpecified, "a"},
      {"truncated header", {0x01, 0x00}, ResOk, LzmaStatusNeedsMoreInput, ""},
  };
  for (const ChunkCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t piece : {size_t{0}, size_t{1}}) {
      Feed f;
      if (piece) f.pieces = {piece};
      Decoded d = decodeLzma2(18, c.stream, 100, f);
      EXPECT_EQ(d.res, c.res);
      if (c.res == ResOk) {
        EXPECT_EQ(d.status, c.status);
      }
      EXPECT_EQ(std::string(d.output.begin(), d.output.end()), c.output);
    }
  }
}

TEST(Lzma2Decoder, ErrorStateIsSticky) {
  Lzma2Decoder dec;
  ASSERT_EQ(Lzma2Decoder_AllocateProbs(&dec, 18, &kMainAllocator), ResOk);
  Bytes dict(16);
  dec.decoder.dict = dict.data();
  dec.decoder.dictCapacity = dict.size();
  Lzma2Decoder_Init(&dec);
  const uint8_t bad[] = {0x03};
  const uint8_t good[] = {0x01, 0x00, 0x00, 'a', 0x00};
  LzmaStatus status;
  size_t len = 1;
  EXPECT_EQ(Lzma2Decoder_DecodeToDict(&dec, 16, bad, &len, LzmaFinishAny, &status), ResDataError);
  len = sizeof(good);
  EXPECT_EQ(Lzma2Decoder_DecodeToDict(&dec, 16, good, &len, LzmaFinishAny, &status), ResDataError);
  LzmaDecoder_FreeProbs(&dec.decoder, &kMainAllocator);
}

TEST(Lzma2Decoder, XzStreamsDecodeInPieces) {
  struct Case {
    const char* name;
    Bytes data;
    std::string options;
    uint8_t prop;
  };
  const Case cases[] = {
      {"text", textData(400000), "dict=1MiB", 20},
      // Random blocks become stored chunks between LZMA chunks (state resets without properties).
      {"mixed", mixedData(3000000), "dict=1MiB", 20},
      {"random", randomData(150000), "dict=64KiB", 10},
      {"lc0 lp4", mixedData(200000, 7), "lc=0,lp=4,pb=4,dict=64KiB", 10},
      {"empty", {}, "dict=64KiB", 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes stream = xzCompress(c.data, "--format=raw --lzma2=" + c.options);
    std::mt19937 rng(3);
    std::vector<size_t> pieces;
    for (int i = 0; i < 64; i++) pieces.push_back(1 + rng() % 300);
    const Feed feeds[] = {{}, {{1}, 0, LzmaFinishEnd}, {pieces, 0, LzmaFinishEnd}, {{}, 1, LzmaFinishEnd},
                          {{7}, 13, LzmaFinishEnd}, {{}, 0, LzmaFinishAny}};
    for (const Feed& f : feeds) {
      if (c.data.size() > 500000 && (f.outStep == 1 || (f.pieces.size() == 1 && f.pieces[0] == 1))) continue;
      Decoded d = decodeLzma2(c.prop, stream, c.data.size(), f);
      EXPECT_EQ(d.res, ResOk);
      EXPECT_TRUE(d.output == c.data);
      if (f.finish == LzmaFinishAny) {
        // Stops at the full output before the end control byte.
        EXPECT_EQ(d.status, LzmaStatusNotFinished);
        EXPECT_EQ(d.consumed, stream.size() - 1);
      } else {
        EXPECT_EQ(d.status, LzmaStatusFinishedWithMark);
        EXPECT_EQ(d.consumed, stream.size());
      }
    }
  }
}

TEST(Lzma2Decoder, StatusNeedsMoreInputBetweenSingleBytes) {
  Bytes data = mixedData(100000, 5);
  Bytes stream = xzCompress(data, "--format=raw --lzma2=dict=64KiB");
  Lzma2Decoder dec;
  ASSERT_EQ(Lzma2Decoder_AllocateProbs(&dec, 10, &kMainAllocator), ResOk);
  Bytes dict(data.size());
  dec.decoder.dict = dict.data();
  dec.decoder.dictCapacity = dict.size();
  Lzma2Decoder_Init(&dec);
  LzmaStatus status = LzmaStatusNotSpecified;
  for (size_t i = 0; i < stream.size(); i++) {
    size_t len = 1;
    ASSERT_EQ(Lzma2Decoder_DecodeToDict(&dec, dict.size(), &stream[i], &len, LzmaFinishEnd, &status), ResOk);
    ASSERT_EQ(len, 1u);
    if (i + 1 < stream.size()) {
      ASSERT_EQ(status, LzmaStatusNeedsMoreInput) << "at byte " << i;
    }
  }
  EXPECT_EQ(status, LzmaStatusFinishedWithMark);
  EXPECT_TRUE(dict == data);
  LzmaDecoder_FreeProbs(&dec.decoder, &kMainAllocator);
}

TEST(Lzma2Decoder, ChunkSizesThatDisagreeWithTheirDataFail) {
  Bytes data = textData(3000);
  Bytes good = xzCompress(data, "--format=raw --lzma2=dict=64KiB");
  ASSERT_EQ(good[0] & 0xE0, 0xE0);
  // Pack size one too small, one too large; unpack size one too small, one too large.
  for (int which = 0; which < 4; which++) {
    SCOPED_TRACE(which);
    Bytes bad = good;
    int idx = which < 2 ? 4 : 2;
    bad[static_cast<size_t>(idx)] = static_cast<uint8_t>(bad[static_cast<size_t>(idx)] + (which % 2 ? 1 : -1));
    Decoded d = decodeLzma2(10, bad, data.size() + 10);
    EXPECT_FALSE(d.res == ResOk && d.status == LzmaStatusFinishedWithMark && d.output == data);
  }
}

TEST(Lzma2Decoder, TruncatedAndFlippedStreamsNeverOverrun) {
  Bytes data = mixedData(60000, 8);
  Bytes stream = xzCompress(data, "--format=raw --lzma2=dict=64KiB");
  for (size_t cut = 0; cut < stream.size(); cut += 1 + cut / 6) {
    Bytes part(stream.begin(), stream.begin() + static_cast<long>(cut));
    Decoded d = decodeLzma2(10, part, data.size());
    EXPECT_TRUE(d.res != ResOk || d.status == LzmaStatusNeedsMoreInput) << cut;
  }
  std::mt19937 rng(4);
  for (int i = 0; i < 200; i++) {
    Bytes bad = stream;
    bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
    Decoded d = decodeLzma2(10, bad, data.size(), {{1 + rng() % 64}, 0, LzmaFinishEnd});
    EXPECT_LE(d.output.size(), data.size());
  }
}
