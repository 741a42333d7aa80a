// Shared driver of the LZMA and LZMA2 fuzz targets: decodes the same stream in one call and in
// fuzzer-chosen pieces with small output allowances, and demands identical results.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/lzma_decoder.h"

namespace fuzzdecode {

struct Outcome {
  sevenzip::ArchiveResult res = 0;
  sevenzip::LzmaStatus status = sevenzip::LzmaStatusNotSpecified;
  std::vector<uint8_t> out;
  size_t consumed = 0;
};

// step(limit, src, &len, finish, &status) runs one decode call; dictPos() reports the position.
template <typename Step, typename Pos>
Outcome drive(const uint8_t* data, size_t size, size_t capacity, const uint8_t* dict, const uint8_t* plan,
              size_t planSize, sevenzip::LzmaFinishMode finish, Step step, Pos dictPos) {
  using namespace sevenzip;
  Outcome o;
  size_t pos = 0;
  size_t k = 0;
  for (int guard = 0; guard < 1000000; guard++) {
    size_t len = size - pos;
    size_t limit = capacity;
    if (planSize != 0) {
      uint8_t p = plan[k++ % planSize];
      len = len < static_cast<size_t>(p & 0x1F) + 1 ? len : static_cast<size_t>(p & 0x1F) + 1;
      size_t outStep = static_cast<size_t>(p >> 5) * 3 + 1;
      if (dictPos() + outStep < capacity) limit = dictPos() + outStep;
    }
    size_t before = dictPos();
    size_t given = len;
    o.res = step(limit, data + pos, &len, limit == capacity ? finish : LzmaFinishAny, &o.status);
    if (len > given || dictPos() > limit) std::abort();
    pos += len;
    if (o.res != ResOk || o.status == LzmaStatusFinishedWithMark) break;
    if (len == 0 && dictPos() == before) break;
  }
  o.consumed = pos;
  o.out.assign(dict, dict + dictPos());
  return o;
}

// The whole-input run and the piecewise run agree on success, output and consumption.
inline void compare(const Outcome& whole, const Outcome& pieces) {
  if ((whole.res == 0) != (pieces.res == 0)) std::abort();
  if (whole.res != 0) {
    // A failing stream fails at the same place: the piecewise output is a prefix-equal run.
    size_t n = whole.out.size() < pieces.out.size() ? whole.out.size() : pieces.out.size();
    if (n != 0 && std::memcmp(whole.out.data(), pieces.out.data(), n) != 0) std::abort();
    return;
  }
  if (whole.status == sevenzip::LzmaStatusFinishedWithMark) {
    if (pieces.status != whole.status || whole.out != pieces.out || whole.consumed != pieces.consumed) std::abort();
  }
}

}  // namespace fuzzdecode
