// libFuzzer target of the LZMA decoder. Input: 5 property bytes, a capacity byte, 8 plan bytes
// (input piece sizes and output allowances), then the stream. Whole and piecewise runs must agree.
#include <cstdint>
#include <vector>

#include "archive/lzma_decoder.h"
#include "fuzz_decode.h"

using namespace sevenzip;

namespace {

fuzzdecode::Outcome decode(const uint8_t* props, const uint8_t* data, size_t size, size_t capacity,
                           const uint8_t* plan, size_t planSize) {
  fuzzdecode::Outcome o;
  LzmaDecoder dec;
  o.res = LzmaDecoder_AllocateProbs(&dec, props, 5, &kMainAllocator);
  if (o.res != ResOk) return o;
  std::vector<uint8_t> dict(capacity);
  dec.dict = dict.data();
  dec.dictCapacity = capacity;
  LzmaDecoder_Init(&dec);
  o = fuzzdecode::drive(
      data, size, capacity, dict.data(), plan, planSize, LzmaFinishEnd,
      [&](size_t limit, const uint8_t* src, size_t* len, LzmaFinishMode f, LzmaStatus* st) {
        return LzmaDecoder_DecodeToDict(&dec, limit, src, len, f, st);
      },
      [&] { return dec.dictPos; });
  LzmaDecoder_FreeProbs(&dec, &kMainAllocator);
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 14) return 0;
  uint8_t props[5];
  std::memcpy(props, data, 5);
  props[0] = static_cast<uint8_t>(props[0] % 225);
  if (props[0] % 9 + (props[0] / 9) % 5 > 6) return 0;  // keep the model small for speed
  size_t capacity = static_cast<size_t>(data[5]) * 97;
  const uint8_t* plan = data + 6;
  fuzzdecode::Outcome whole = decode(props, data + 14, size - 14, capacity, nullptr, 0);
  fuzzdecode::Outcome pieces = decode(props, data + 14, size - 14, capacity, plan, 8);
  fuzzdecode::compare(whole, pieces);
  return 0;
}
