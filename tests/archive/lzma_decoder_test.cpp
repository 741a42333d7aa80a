// Tests of the LZMA decoder against streams made by xz, fed whole, byte by byte, at random split
// points and with tiny output allowances, and against broken input.
#include <gtest/gtest.h>

#include <random>

#include "archive/lzma_decoder.h"
#include "test_util.h"

using namespace sevenzip;
using namespace archivetest;

namespace {

// Raw LZMA1 streams as xz writes them (with an end marker): lc3 lp0 pb2, and others.
struct RawCase {
  const char* name;
  Bytes data;
  std::string xzOptions;  // for --lzma1=
  Bytes props;            // the same properties as 7z stores them
};

Bytes props(uint8_t lc, uint8_t lp, uint8_t pb, uint32_t dict) {
  return {static_cast<uint8_t>((pb * 5 + lp) * 9 + lc), static_cast<uint8_t>(dict), static_cast<uint8_t>(dict >> 8),
          static_cast<uint8_t>(dict >> 16), static_cast<uint8_t>(dict >> 24)};
}

std::vector<RawCase> rawCases() {
  return {
      {"text", textData(200000), "lc=3,lp=0,pb=2,dict=1MiB", props(3, 0, 2, 1 << 20)},
      {"mixed", mixedData(300000), "lc=3,lp=0,pb=2,dict=64KiB", props(3, 0, 2, 1 << 16)},
      {"random", randomData(20000), "lc=3,lp=0,pb=2,dict=1MiB", props(3, 0, 2, 1 << 20)},
      {"lc0lp4pb4", mixedData(100000, 9), "lc=0,lp=4,pb=4,dict=1MiB", props(0, 4, 4, 1 << 20)},
      {"lc4 pb0 4KiB", textData(50000, 4), "lc=4,lp=0,pb=0,dict=4KiB", props(4, 0, 0, 4096)},
      {"one byte", toBytes("x"), "lc=3,lp=0,pb=2,dict=1MiB", props(3, 0, 2, 1 << 20)},
      {"empty", {}, "lc=3,lp=0,pb=2,dict=1MiB", props(3, 0, 2, 1 << 20)},
      {"runs", Bytes(100000, 'z'), "lc=3,lp=0,pb=2,dict=1MiB", props(3, 0, 2, 1 << 20)},
  };
}

Bytes compressRaw(const RawCase& c) { return xzCompress(c.data, "--format=raw --lzma1=" + c.xzOptions); }

void expectDecodes(const RawCase& c, const Bytes& stream, const Feed& feed) {
  Decoded d = decodeLzma(c.props, stream, c.data.size(), feed);
  EXPECT_EQ(d.res, ResOk);
  EXPECT_EQ(d.status, LzmaStatusFinishedWithMark);
  EXPECT_EQ(d.consumed, stream.size());
  EXPECT_TRUE(d.output == c.data) << "output differs, " << d.output.size() << " of " << c.data.size();
}

}  // namespace

TEST(LzmaProperties, DecodeRules) {
  LzmaProperties p;
  const uint8_t bad[5] = {225, 0, 0, 1, 0};
  EXPECT_EQ(LzmaProperties_Decode(&p, bad, 5), ResUnsupported);
  const uint8_t good[5] = {0x5D, 0, 0, 0, 0};
  EXPECT_EQ(LzmaProperties_Decode(&p, good, 3), ResUnsupported);
  ASSERT_EQ(LzmaProperties_Decode(&p, good, 5), ResOk);
  EXPECT_EQ(p.lc, 3u);
  EXPECT_EQ(p.lp, 0u);
  EXPECT_EQ(p.pb, 2u);
  EXPECT_EQ(p.dicSize, 4096u);  // 0 is raised to the smallest dictionary
}

TEST(LzmaDecoder, ProbabilitiesReusedWhenLcPlusLpUnchanged) {
  LzmaDecoder dec;
  Bytes a = props(3, 0, 2, 1 << 16), b = props(1, 2, 0, 1 << 20), c = props(4, 0, 0, 1 << 16);
  ASSERT_EQ(LzmaDecoder_AllocateProbs(&dec, a.data(), 5, &kMainAllocator), ResOk);
  uint16_t* first = dec.probs;
  EXPECT_EQ(dec.numProbs, 1846u + (768u << 3));
  ASSERT_EQ(LzmaDecoder_AllocateProbs(&dec, b.data(), 5, &kMainAllocator), ResOk);
  EXPECT_EQ(dec.probs, first);
  EXPECT_EQ(dec.props.lp, 2u);
  ASSERT_EQ(LzmaDecoder_AllocateProbs(&dec, c.data(), 5, &kMainAllocator), ResOk);
  EXPECT_EQ(dec.numProbs, 1846u + (768u << 4));
  LzmaDecoder_FreeProbs(&dec, &kMainAllocator);
  EXPECT_EQ(dec.probs, nullptr);
}

TEST(LzmaDecoder, XzStreamsDecodeWholeBytewiseSplitAndWithTinyOutput) {
  for (const RawCase& c : rawCases()) {
    SCOPED_TRACE(c.name);
    Bytes stream = compressRaw(c);
    ASSERT_FALSE(stream.empty());
    expectDecodes(c, stream, {});
    expectDecodes(c, stream, {{1}, 0, LzmaFinishEnd});
    std::mt19937 rng(7);
    std::vector<size_t> pieces;
    for (int i = 0; i < 50; i++) pieces.push_back(1 + rng() % 40);
    expectDecodes(c, stream, {pieces, 0, LzmaFinishEnd});
    expectDecodes(c, stream, {{}, 1, LzmaFinishEnd});
    expectDecodes(c, stream, {{3, 17, 1}, 7, LzmaFinishEnd});
  }
}

TEST(LzmaDecoder, StatusNeedsMoreInputBetweenSingleBytes) {
  RawCase c = rawCases()[0];
  Bytes stream = compressRaw(c);
  LzmaDecoder dec;
  Bytes dict(c.data.size());
  ASSERT_EQ(LzmaDecoder_AllocateProbs(&dec, c.props.data(), 5, &kMainAllocator), ResOk);
  dec.dict = dict.data();
  dec.dictCapacity = dict.size();
  LzmaDecoder_Init(&dec);
  LzmaStatus status;
  for (size_t i = 0; i + 1 < stream.size(); i++) {
    size_t len = 1;
    ASSERT_EQ(LzmaDecoder_DecodeToDict(&dec, dict.size(), &stream[i], &len, LzmaFinishEnd, &status), ResOk);
    ASSERT_EQ(len, 1u);
    ASSERT_EQ(status, LzmaStatusNeedsMoreInput) << "at byte " << i;
  }
  size_t len = 1;
  ASSERT_EQ(LzmaDecoder_DecodeToDict(&dec, dict.size(), &stream.back(), &len, LzmaFinishEnd, &status), ResOk);
  EXPECT_EQ(status, LzmaStatusFinishedWithMark);
  EXPECT_TRUE(dict == c.data);
  LzmaDecoder_FreeProbs(&dec, &kMainAllocator);
}

TEST(LzmaDecoder, StreamWithoutEndMarkerEndsWithMaybeFinished) {
  // The LZMA payload of a one-chunk LZMA2 stream has no end marker.
  Bytes data = textData(5000);
  Bytes s = xzCompress(data, "--format=raw --lzma2=lc=3,lp=0,pb=2,dict=64KiB");
  ASSERT_GE(s.size(), 7u);
  ASSERT_EQ(s[0] & 0xE0, 0xE0);  // LZMA chunk with dictionary reset and properties
  size_t unpack = ((s[0] & 0x1Fu) << 16 | s[1] << 8 | s[2]) + 1;
  size_t pack = (s[3] << 8 | s[4]) + 1;
  ASSERT_EQ(unpack, data.size());
  Bytes payload(s.begin() + 6, s.begin() + 6 + static_cast<long>(pack));
  Bytes p = props(s[5] % 9, (s[5] / 9) % 5, s[5] / 45, 1 << 16);
  Decoded d = decodeLzma(p, payload, data.size(), {{}, 0, LzmaFinishEnd});
  EXPECT_EQ(d.res, ResOk);
  EXPECT_EQ(d.status, LzmaStatusMaybeFinishedWithoutMark);
  EXPECT_TRUE(d.output == data);
  // One byte of garbage after the payload is left unconsumed.
  payload.push_back(0x55);
  d = decodeLzma(p, payload, data.size(), {{}, 0, LzmaFinishEnd});
  EXPECT_EQ(d.status, LzmaStatusMaybeFinishedWithoutMark);
  EXPECT_EQ(d.consumed, payload.size() - 1);
}

TEST(LzmaDecoder, FinishEndBeforeTheStreamEndsIsAnError) {
  RawCase c = rawCases()[0];
  c.data.resize(3000);
  Bytes stream = compressRaw(c);
  for (size_t limit = 0; limit < c.data.size(); limit += 37) {
    SCOPED_TRACE(limit);
    Decoded d = decodeLzma(c.props, stream, limit, {{}, 0, LzmaFinishEnd});
    EXPECT_EQ(d.res, ResDataError);
    // With finish mode any the same limit stops cleanly.
    Decoded any = decodeLzma(c.props, stream, limit, {{}, 0, LzmaFinishAny});
    EXPECT_EQ(any.res, ResOk);
    EXPECT_EQ(any.status, LzmaStatusNotFinished);
    EXPECT_TRUE(std::equal(any.output.begin(), any.output.end(), c.data.begin()));
  }
}

struct BrokenCase {
  const char* name;
  Bytes stream;
  ArchiveResult res;
};

TEST(LzmaDecoder, BrokenHandMadeStreams) {
  auto with = [](std::initializer_list<uint8_t> head) {
    Bytes b(head);
    b.resize(b.size() + 24);  // zero bytes after the range coder start
    return b;
  };
  const BrokenCase cases[] = {
      // The first range-coder byte must be 0.
      {"first byte not 0", with({0x01, 0, 0, 0, 0}), ResDataError},
      // code 0x80000000: the first bit says match, the next says simple match: no output yet.
      {"match before any output", with({0x00, 0x80, 0, 0, 0}), ResDataError},
      // code 0xC0000000: match, then repeat match: no output yet.
      {"repeat match before any output", with({0x00, 0xC0, 0, 0, 0}), ResDataError},
  };
  for (const BrokenCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t piece : {size_t{0}, size_t{1}}) {
      Feed f;
      if (piece) f.pieces = {piece};
      Decoded d = decodeLzma(props(3, 0, 2, 1 << 16), c.stream, 1000, f);
      EXPECT_EQ(d.res, c.res);
    }
  }
}

TEST(LzmaDecoder, DistanceBeyondTheDictionaryIsAnError) {
  // Blocks repeating at distance 10000 with a 64 KiB dictionary, decoded with 4 KiB declared.
  Bytes block = randomData(10000, 5);
  Bytes data = block;
  data.insert(data.end(), block.begin(), block.end());
  Bytes stream = xzCompress(data, "--format=raw --lzma1=lc=3,lp=0,pb=2,dict=64KiB");
  EXPECT_EQ(decodeLzma(props(3, 0, 2, 65536), stream, data.size()).res, ResOk);
  Decoded d = decodeLzma(props(3, 0, 2, 4096), stream, data.size());
  EXPECT_EQ(d.res, ResDataError);
  EXPECT_LE(d.output.size(), 10000u);
}

TEST(LzmaDecoder, TruncatedStreamsNeverFinish) {
  RawCase c = rawCases()[1];
  c.data.resize(20000);
  Bytes stream = compressRaw(c);
  for (size_t cut = 0; cut < stream.size(); cut += 1 + cut / 8) {
    SCOPED_TRACE(cut);
    Bytes part(stream.begin(), stream.begin() + static_cast<long>(cut));
    Decoded d = decodeLzma(c.props, part, c.data.size());
    EXPECT_TRUE(d.res != ResOk || d.status == LzmaStatusNeedsMoreInput);
    EXPECT_TRUE(std::equal(d.output.begin(), d.output.end(), c.data.begin()));
  }
}

TEST(LzmaDecoder, FlippedBitsNeverOverrun) {
  RawCase c = rawCases()[0];
  c.data.resize(30000);
  Bytes stream = compressRaw(c);
  std::mt19937 rng(11);
  for (int i = 0; i < 200; i++) {
    Bytes bad = stream;
    size_t at = 1 + rng() % (bad.size() - 1);
    bad[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
    Decoded d = decodeLzma(c.props, bad, c.data.size(), {{1 + rng() % 100}, 0, LzmaFinishEnd});
    EXPECT_LE(d.output.size(), c.data.size());
    EXPECT_LE(d.consumed, bad.size());
  }
}
