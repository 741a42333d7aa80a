// UTF-16 to UTF-8 conversion for entry names.
// Lead bytes follow the original UTF-8 definition (up to six bytes), as stored names need no more.
#include "archive/utf16.h"

namespace sevenzip {
namespace {
constexpr uint8_t kUtf8LeadBytes[5] = {0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
}

int Utf16ToUtf8(uint8_t* dest, size_t* outLen, const uint16_t* src, size_t count) {
  size_t out = 0;
  size_t i = 0;
  int ok = 1;
  while (i < count) {
    uint32_t cp = src[i++];
    if (cp < 0x80) {
      if (dest) dest[out] = static_cast<uint8_t>(cp);
      out++;
      continue;
    }
    if (cp >= 0xD800 && cp < 0xE000) {
      if (cp >= 0xDC00 || i == count || src[i] < 0xDC00 || src[i] >= 0xE000) {
        ok = 0;
        break;
      }
      cp = 0x10000 + (((cp - 0xD800) << 10) | (src[i++] - 0xDC00u));
    }
    unsigned k = 1;
    while (k < 5 && cp >= (1u << (5 * k + 6))) k++;
    if (dest) {
      dest[out] = static_cast<uint8_t>(kUtf8LeadBytes[k - 1] + (cp >> (6 * k)));
      for (unsigned j = 0; j < k; j++)
        dest[out + 1 + j] = static_cast<uint8_t>(0x80 | ((cp >> (6 * (k - 1 - j))) & 0x3F));
    }
    out += 1 + k;
  }
  *outLen = out;
  return ok;
}

ArchiveResult Utf16ToUtf8Buffer(ByteBuffer* buf, const uint16_t* src, size_t count) {
  size_t len = 0;
  Utf16ToUtf8(nullptr, &len, src, count);
  if (!ByteBuffer_EnsureSize(buf, len + 1)) return ResOutOfMemory;
  int ok = Utf16ToUtf8(buf->data, &len, src, count);
  buf->data[len] = 0;
  return ok ? ResOk : ResFail;
}

ArchiveResult Utf16ToUtf8Name(ByteBuffer* buf, const uint16_t* src) {
  size_t count = 0;
  while (src[count] != 0) count++;
  return Utf16ToUtf8Buffer(buf, src, count);
}

}  // namespace sevenzip
