// How both directions size the buffers they hand to zlib: slices that fit zlib's 32-bit counts,
// output grown by doubling, and results trimmed to what was produced.
#pragma once

#include <QByteArray>

#include <algorithm>

namespace compression::detail {

// zlib counts bytes in 32-bit unsigned fields: larger chunks are handed over in slices.
inline constexpr qsizetype kMaxZlibSlice = qsizetype(1) << 30;
// The smallest output buffer offered, and the least step by which a full one grows, so even a
// one-byte chunk has room for its output.
inline constexpr qsizetype kMinOutputSize = 256;

// Grows a full output buffer geometrically: a chunk whose output far exceeds the first guess
// costs a logarithmic number of reallocations, not one per step.
inline void growOutput(QByteArray& out) {
  out.resize(std::max(out.size() * 2, out.size() + kMinOutputSize));
}

// The first `produced` bytes of `out` as the result: empty but not null when there are none, and
// a large unused tail given back, since callers often keep the result (a body in memory).
inline QByteArray takeOutput(QByteArray& out, qsizetype produced) {
  if (produced == 0) return QByteArray("", 0);
  out.resize(produced);
  if (out.capacity() - produced > produced / 2 + 4096) out.squeeze();
  return std::move(out);
}

}  // namespace compression::detail
