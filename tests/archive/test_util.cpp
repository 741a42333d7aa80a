// Helpers of the 7z decoder tests: sample data, the xz producer and decoding loops.
// The loops mirror how the folder decoder drives the decoders, with configurable piece sizes.
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include "support/temp_dir.h"

namespace archivetest {

using namespace sevenzip;

Bytes toBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes textData(size_t size, uint32_t seed) {
  static const char* kWords[] = {"local ", "function ", "end\n", "self:", "return ", "frame", "Update",
                                 "if ", "then ", "nil", " = ", "(", ")", ", ", "UnitHealth", "\"player\"",
                                 "for i = 1, 10 do\n", "  ", "--[[ comment ]]\n", "<Frame name=\"", "\"/>\n"};
  std::mt19937 rng(seed);
  Bytes out;
  out.reserve(size);
  while (out.size() < size) {
    if (out.size() > 64 && rng() % 8 == 0) {
      // Repeat an earlier piece: a match at some distance.
      size_t len = 3 + rng() % 60;
      size_t from = rng() % (out.size() - 1);
      for (size_t i = 0; i < len && out.size() < size; i++) out.push_back(out[from + i % (out.size() - from)]);
    } else {
      const char* w = kWords[rng() % (sizeof(kWords) / sizeof(kWords[0]))];
      while (*w && out.size() < size) out.push_back(static_cast<uint8_t>(*w++));
      if (rng() % 5 == 0 && out.size() < size) out.push_back(static_cast<uint8_t>('a' + rng() % 26));
    }
  }
  return out;
}

Bytes randomData(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

Bytes mixedData(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    size_t n = std::min<size_t>(size - out.size(), 1000 + rng() % 70000);
    Bytes part;
    switch (rng() % 3) {
      case 0: part = textData(n, rng()); break;
      case 1: part = randomData(n, rng()); break;
      default: part.assign(n, static_cast<uint8_t>(rng())); break;
    }
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

int run(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void writeBytes(const std::filesystem::path& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

Bytes readBytes(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Bytes xzCompress(const Bytes& data, const std::string& args) {
  testsupport::TempDir dir;
  writeBytes(dir / "in", data);
  std::string cmd = "xz -c " + args + " '" + (dir / "in").string() + "' > '" + (dir / "out").string() + "'";
  EXPECT_EQ(run(cmd), 0) << cmd;
  return readBytes(dir / "out");
}

namespace {

template <typename Step>
Decoded decodeLoop(LzmaDecoder* lz, const Bytes& stream, size_t capacity, const Feed& feed, Step step) {
  Decoded d;
  size_t pos = 0;
  size_t piece = 0;
  for (int guard = 0; guard < 100000000; guard++) {
    size_t len = stream.size() - pos;
    if (!feed.pieces.empty()) {
      len = std::min(len, feed.pieces[piece % feed.pieces.size()]);
      piece++;
    }
    size_t limit = feed.outStep == 0 ? capacity : std::min(capacity, lz->dictPos + feed.outStep);
    LzmaFinishMode finish = limit == capacity ? feed.finish : LzmaFinishAny;
    size_t before = lz->dictPos;
    size_t given = len;
    d.res = step(limit, stream.data() + pos, &len, finish, &d.status);
    d.calls++;
    EXPECT_LE(len, given);
    pos += len;
    if (d.res != ResOk || d.status == LzmaStatusFinishedWithMark) break;
    if (len == 0 && lz->dictPos == before) break;  // no progress: nothing more will happen
  }
  d.consumed = pos;
  d.output.assign(lz->dict, lz->dict + lz->dictPos);
  return d;
}

}  // namespace

Decoded decodeLzma(const Bytes& props, const Bytes& stream, size_t capacity, const Feed& feed) {
  LzmaDecoder dec;
  Bytes dict(capacity);  // exact: a one-byte overrun shows under AddressSanitizer
  Decoded d;
  d.res = LzmaDecoder_AllocateProbs(&dec, props.data(), props.size(), &kMainAllocator);
  if (d.res != ResOk) return d;
  dec.dict = dict.data();
  dec.dictCapacity = capacity;
  LzmaDecoder_Init(&dec);
  d = decodeLoop(&dec, stream, capacity, feed,
                 [&](size_t limit, const uint8_t* src, size_t* len, LzmaFinishMode f, LzmaStatus* st) {
                   return LzmaDecoder_DecodeToDict(&dec, limit, src, len, f, st);
                 });
  LzmaDecoder_FreeProbs(&dec, &kMainAllocator);
  return d;
}

Decoded decodeLzma2(uint8_t prop, const Bytes& stream, size_t capacity, const Feed& feed) {
  Lzma2Decoder dec;
  Bytes dict(capacity);  // exact: a one-byte overrun shows under AddressSanitizer
  Decoded d;
  d.res = Lzma2Decoder_AllocateProbs(&dec, prop, &kMainAllocator);
  if (d.res != ResOk) return d;
  dec.decoder.dict = dict.data();
  dec.decoder.dictCapacity = capacity;
  Lzma2Decoder_Init(&dec);
  d = decodeLoop(&dec.decoder, stream, capacity, feed,
                 [&](size_t limit, const uint8_t* src, size_t* len, LzmaFinishMode f, LzmaStatus* st) {
                   return Lzma2Decoder_DecodeToDict(&dec, limit, src, len, f, st);
                 });
  LzmaDecoder_FreeProbs(&dec.decoder, &kMainAllocator);
  return d;
}

}  // namespace archivetest
