// lzma_cat: decodes an LZMA stream (the 13-byte-header form, or raw LZMA / LZMA2 with properties
// on the command line) to standard output. Used by the benchmark scripts and by tests.
//
//   lzma_cat FILE.lzma             header: props byte, dictionary size (LE32), unpacked size (LE64,
//                                  all ones for unknown, then an end marker is required)
//   lzma_cat --raw1 PROPS FILE     raw LZMA; PROPS is the 5 property bytes as 10 hex digits
//   lzma_cat --raw2 PROPBYTE FILE  raw LZMA2; PROPBYTE is the dictionary property 0..40
//
// Exit status 0 on success; otherwise the decoder's result code, also printed on stderr. Output
// is written as it is decoded, in a window that slides by memmove so that it never wraps.
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/lzma2_decoder.h"
#include "archive/lzma_decoder.h"

using namespace sevenzip;

namespace {

constexpr size_t kInChunk = 1 << 20;
constexpr size_t kHugePage = 2 << 20;
constexpr size_t kOutStep = 4 << 20;  // new output between slides: few pages touched, cheap memmove

int fail(int code, const char* what) {
  std::fprintf(stderr, "lzma_cat: %s (result %d)\n", what, code);
  return code == 0 ? 1 : code;
}

bool parseHex(const char* s, uint8_t* out, size_t n) {
  if (std::strlen(s) != 2 * n) return false;
  for (size_t i = 0; i < n; i++) {
    char b[3] = {s[2 * i], s[2 * i + 1], 0};
    char* end;
    long v = std::strtol(b, &end, 16);
    if (*end != 0) return false;
    out[i] = static_cast<uint8_t>(v);
  }
  return true;
}

// The output window: malloc'd (not zero-filled), grown with realloc.
struct Output {
  uint8_t* window = nullptr;
  size_t size = 0;
  size_t written = 0;  // window bytes already on stdout
  ~Output() { std::free(window); }
  bool resize(size_t n) {
    void* p;
    if (window == nullptr) {
      // 2 MiB-aligned and marked for huge pages: a few page faults instead of thousands.
      if (posix_memalign(&p, kHugePage, n) != 0) return false;
      madvise(p, n, MADV_HUGEPAGE);
    } else if ((p = std::realloc(window, n)) == nullptr) {
      return false;
    }
    window = static_cast<uint8_t*>(p);
    size = n;
    return true;
  }
  bool flush(size_t upTo) {
    if (upTo > written && std::fwrite(window + written, 1, upTo - written, stdout) != upTo - written)
      return false;
    written = upTo;
    return true;
  }
};

}  // namespace

int main(int argc, char** argv) {
  enum { kAlone, kRaw1, kRaw2 } kind = kAlone;
  const char* path;
  uint8_t props[5];
  uint8_t prop2 = 0;
  if (argc == 2) {
    path = argv[1];
  } else if (argc == 4 && std::strcmp(argv[1], "--raw1") == 0 && parseHex(argv[2], props, 5)) {
    kind = kRaw1;
    path = argv[3];
  } else if (argc == 4 && std::strcmp(argv[1], "--raw2") == 0) {
    kind = kRaw2;
    prop2 = static_cast<uint8_t>(std::atoi(argv[2]));
    path = argv[3];
  } else {
    std::fprintf(stderr, "usage: lzma_cat FILE.lzma | --raw1 PROPSHEX FILE | --raw2 PROPBYTE FILE\n");
    return 2;
  }
  std::FILE* in = std::fopen(path, "rb");
  if (in == nullptr) return fail(8, "can not open input file");

  bool sizeKnown = false;
  uint64_t unpackSize = 0;
  if (kind == kAlone) {
    uint8_t header[13];
    if (std::fread(header, 1, 13, in) != 13) return fail(6, "header too short");
    std::memcpy(props, header, 5);
    for (int i = 7; i >= 0; i--) unpackSize = (unpackSize << 8) | header[5 + i];
    sizeKnown = unpackSize != UINT64_MAX;
  }

  Lzma2Decoder dec2;
  LzmaDecoder* lz = &dec2.decoder;
  ArchiveResult res = kind == kRaw2 ? Lzma2Decoder_AllocateProbs(&dec2, prop2, &kMainAllocator)
                                    : LzmaDecoder_AllocateProbs(lz, props, 5, &kMainAllocator);
  if (res != ResOk) return fail(res, "bad properties");

  // History the window must keep when it slides: matches reach back at most the dictionary size.
  uint64_t history = lz->props.dicSize;
  if (sizeKnown && unpackSize < history) history = unpackSize;
  Output out;
  size_t capacity = static_cast<size_t>(history) + kOutStep;
  if (sizeKnown && unpackSize < capacity) capacity = static_cast<size_t>(unpackSize);
  if (!out.resize(capacity == 0 ? 1 : capacity)) return fail(2, "can not allocate memory");
  lz->dict = out.window;
  lz->dictCapacity = out.size;
  if (kind == kRaw2) Lzma2Decoder_Init(&dec2);
  else LzmaDecoder_Init(lz);

  std::vector<uint8_t> inBuf(kInChunk);
  size_t inPos = 0, inLen = 0;
  bool inEof = false;
  uint64_t produced = 0;  // bytes decoded so far (flushed or in the window)
  for (;;) {
    if (lz->dictPos == lz->dictCapacity) {
      if (!out.flush(lz->dictPos)) return fail(11, "can not write output");
      if (history == 0 || history >= lz->dictPos) {
        // No room to slide: grow (only when the dictionary is as big as everything so far).
        if (!out.resize(out.size * 2)) return fail(2, "can not allocate memory");
        lz->dict = out.window;
        lz->dictCapacity = out.size;
      } else {
        size_t keep = static_cast<size_t>(history);
        std::memmove(out.window, out.window + lz->dictPos - keep, keep);
        lz->dictPos = keep;
        out.written = keep;
      }
    }
    if (inPos == inLen && !inEof) {
      inLen = std::fread(inBuf.data(), 1, inBuf.size(), in);
      inPos = 0;
      if (inLen == 0) {
        if (std::ferror(in)) return fail(8, "read error");
        inEof = true;
      }
    }
    size_t limit = lz->dictCapacity;
    LzmaFinishMode finish = LzmaFinishAny;
    if (sizeKnown && unpackSize - produced <= limit - lz->dictPos) {
      limit = lz->dictPos + static_cast<size_t>(unpackSize - produced);
      finish = LzmaFinishEnd;
    }
    size_t before = lz->dictPos;
    size_t len = inLen - inPos;
    LzmaStatus status;
    res = kind == kRaw2 ? Lzma2Decoder_DecodeToDict(&dec2, limit, inBuf.data() + inPos, &len, finish, &status)
                        : LzmaDecoder_DecodeToDict(lz, limit, inBuf.data() + inPos, &len, finish, &status);
    inPos += len;
    produced += lz->dictPos - before;
    if (res != ResOk) {
      out.flush(lz->dictPos);
      return fail(res, "data error");
    }
    if (status == LzmaStatusFinishedWithMark ||
        (sizeKnown && produced == unpackSize && status == LzmaStatusMaybeFinishedWithoutMark)) {
      if (sizeKnown && produced != unpackSize) return fail(1, "stream ended before its size");
      break;
    }
    if (status == LzmaStatusNeedsMoreInput && inEof && inPos == inLen) {
      out.flush(lz->dictPos);
      return fail(6, "input ended early");
    }
    if (len == 0 && lz->dictPos == before && status != LzmaStatusNeedsMoreInput &&
        lz->dictPos != lz->dictCapacity) {
      out.flush(lz->dictPos);
      return fail(1, "decoder made no progress");
    }
  }
  if (!out.flush(lz->dictPos) || std::fflush(stdout) != 0) return fail(11, "can not write output");
  LzmaDecoder_FreeProbs(lz, &kMainAllocator);
  std::fclose(in);
  return 0;
}
