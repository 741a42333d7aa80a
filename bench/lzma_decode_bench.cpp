// In-process decode benchmarks of the LZMA and LZMA2 decoders (Google Benchmark). The streams are
// made once by xz from a file given in LZMA_BENCH_INPUT (default: a generated add-on-like text).
// Reported throughput is uncompressed bytes per second; nothing is allocated per decode call.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "archive/lzma2_decoder.h"
#include "archive/lzma_decoder.h"

using namespace sevenzip;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readFile(const std::string& path) {
  Bytes out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

Bytes generatedText(size_t size) {
  static const char* kWords[] = {"local ", "function ", "end\n", "self:", "return ", "frame", "Update", "if ",
                                 "then ", "nil", " = ", "(", ")", ", ", "UnitHealth", "\"player\"", "\n  "};
  std::mt19937 rng(1);
  Bytes out;
  while (out.size() < size) {
    const char* w = kWords[rng() % (sizeof(kWords) / sizeof(kWords[0]))];
    while (*w) out.push_back(static_cast<uint8_t>(*w++));
    if (rng() % 3 == 0) out.push_back(static_cast<uint8_t>('a' + rng() % 26));
  }
  return out;
}

struct Streams {
  Bytes plain, lzma1, lzma2;
};

const Streams& streams() {
  static Streams s = [] {
    Streams r;
    const char* input = std::getenv("LZMA_BENCH_INPUT");
    r.plain = input ? readFile(input) : generatedText(16 << 20);
    char tmpl[] = "/tmp/lzma_bench_XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) close(fd);
    std::string in = tmpl;
    std::FILE* f = std::fopen(in.c_str(), "wb");
    std::fwrite(r.plain.data(), 1, r.plain.size(), f);
    std::fclose(f);
    std::system(("xz -c --format=raw --lzma1=preset=6 " + in + " > " + in + ".1").c_str());
    std::system(("xz -c --format=raw --lzma2=preset=6 " + in + " > " + in + ".2").c_str());
    r.lzma1 = readFile(in + ".1");
    r.lzma2 = readFile(in + ".2");
    std::remove(in.c_str());
    std::remove((in + ".1").c_str());
    std::remove((in + ".2").c_str());
    return r;
  }();
  return s;
}

void BM_Lzma(benchmark::State& state) {
  const Streams& s = streams();
  Bytes dict(s.plain.size());
  const uint8_t props[5] = {0x5D, 0, 0, 0x80, 0};  // lc3 lp0 pb2, 8 MiB (xz preset 6)
  LzmaDecoder dec;
  LzmaDecoder_AllocateProbs(&dec, props, 5, &kMainAllocator);
  dec.dict = dict.data();
  dec.dictCapacity = dict.size();
  for (auto _ : state) {
    LzmaDecoder_Init(&dec);
    size_t len = s.lzma1.size();
    LzmaStatus status;
    if (LzmaDecoder_DecodeToDict(&dec, dict.size(), s.lzma1.data(), &len, LzmaFinishEnd, &status) != ResOk ||
        dec.dictPos != dict.size())
      state.SkipWithError("decode failed");
  }
  LzmaDecoder_FreeProbs(&dec, &kMainAllocator);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.plain.size()));
}

void BM_Lzma2(benchmark::State& state) {
  const Streams& s = streams();
  Bytes dict(s.plain.size());
  Lzma2Decoder dec;
  Lzma2Decoder_AllocateProbs(&dec, 22, &kMainAllocator);  // 8 MiB
  dec.decoder.dict = dict.data();
  dec.decoder.dictCapacity = dict.size();
  for (auto _ : state) {
    Lzma2Decoder_Init(&dec);
    size_t len = s.lzma2.size();
    LzmaStatus status;
    if (Lzma2Decoder_DecodeToDict(&dec, dict.size(), s.lzma2.data(), &len, LzmaFinishEnd, &status) != ResOk ||
        dec.decoder.dictPos != dict.size())
      state.SkipWithError("decode failed");
  }
  LzmaDecoder_FreeProbs(&dec.decoder, &kMainAllocator);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.plain.size()));
}

}  // namespace

BENCHMARK(BM_Lzma)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lzma2)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
