// libFuzzer target of the LZMA2 decoder. Input: the dictionary property byte, a capacity byte,
// 8 plan bytes, then the chunk stream. Whole and piecewise runs must agree.
#include <cstdint>
#include <vector>

#include "archive/lzma2_decoder.h"
#include "fuzz_decode.h"

using namespace sevenzip;

namespace {

fuzzdecode::Outcome decode(uint8_t prop, const uint8_t* data, size_t size, size_t capacity, const uint8_t* plan,
                           size_t planSize) {
  fuzzdecode::Outcome o;
  Lzma2Decoder dec;
  o.res = Lzma2Decoder_AllocateProbs(&dec, prop, &kMainAllocator);
  if (o.res != ResOk) return o;
  std::vector<uint8_t> dict(capacity);
  dec.decoder.dict = dict.data();
  dec.decoder.dictCapacity = capacity;
  Lzma2Decoder_Init(&dec);
  o = fuzzdecode::drive(
      data, size, capacity, dict.data(), plan, planSize, LzmaFinishEnd,
      [&](size_t limit, const uint8_t* src, size_t* len, LzmaFinishMode f, LzmaStatus* st) {
        return Lzma2Decoder_DecodeToDict(&dec, limit, src, len, f, st);
      },
      [&] { return dec.decoder.dictPos; });
  LzmaDecoder_FreeProbs(&dec.decoder, &kMainAllocator);
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 11) return 0;
  uint8_t prop = static_cast<uint8_t>(data[0] % 41);
  size_t capacity = static_cast<size_t>(data[1]) * 131;
  const uint8_t* plan = data + 2;
  fuzzdecode::Outcome whole = decode(prop, data + 10, size - 10, capacity, nullptr, 0);
  fuzzdecode::Outcome pieces = decode(prop, data + 10, size - 10, capacity, plan, 8);
  fuzzdecode::compare(whole, pieces);
  return 0;
}
