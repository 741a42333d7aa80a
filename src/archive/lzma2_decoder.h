// The LZMA2 decoder: a chunk stream of stored and LZMA-compressed chunks over the LZMA decoder,
// which it tells when to reset the dictionary, the coder state or the properties.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/lzma_decoder.h"

namespace sevenzip {

// Where the chunk parser stands.
enum class Lzma2State : int {
  Control = 0,
  UnpackHigh = 1,
  UnpackLow = 2,
  PackHigh = 3,
  PackLow = 4,
  Props = 5,
  Data = 6,
  DataContinued = 7,
  Finished = 8,
  Error = 9,
};

struct Lzma2Decoder {
  LzmaDecoder decoder;                        // the embedded LZMA decoder (owns the dictionary view)
  Lzma2State chunkState = Lzma2State::Control;  // parser position
  uint32_t control = 0;                       // the current chunk's control byte
  uint32_t unpackLeft = 0;                    // output still due from the chunk
  uint32_t packLeft = 0;                      // compressed bytes still due from an LZMA chunk
  bool needDictReset = true;                  // the next chunk must reset the dictionary
  bool needStateReset = true;                 // the next LZMA chunk must reset the state
  bool needProps = true;                      // the next LZMA chunk must bring properties
};

// Dictionary size for coder property `p` (p <= 40).
uint32_t Lzma2Decoder_DictSize(uint8_t p);
// Five LZMA property bytes for coder property `p` (lc = 4, lp = 0, pb = 0 and the dictionary
// size), so that the probability array fits every chunk. Returns 0 or 4 (p > 40).
ArchiveResult Lzma2Decoder_LzmaProps(uint8_t out[5], uint8_t p);
// Converts the property and allocates the embedded decoder's probabilities. Returns 0, 4 or 2.
ArchiveResult Lzma2Decoder_AllocateProbs(Lzma2Decoder* dec, uint8_t prop, const Allocator* alloc);
// Starts a new stream (requires the embedded decoder's dict and dictCapacity to be set).
void Lzma2Decoder_Init(Lzma2Decoder* dec);
// Same conventions as LzmaDecoder_DecodeToDict; status 1 means the end control byte was read.
// After a data error every later call returns 1.
ArchiveResult Lzma2Decoder_DecodeToDict(Lzma2Decoder* dec, size_t dictLimit, const uint8_t* src,
                                        size_t* srcLen, LzmaFinishMode finishMode,
                                        LzmaStatus* status);

}  // namespace sevenzip
