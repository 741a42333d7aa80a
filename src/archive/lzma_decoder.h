// The resumable LZMA decoder: decodes an LZMA stream into a caller-supplied window (the whole
// output buffer, which never wraps), stopping wherever its input or output allowance ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "archive/allocator.h"
#include "archive/archive_result.h"

namespace sevenzip {

// Decoded LZMA properties.
struct LzmaProperties {
  unsigned lc = 0;        // literal context bits (0..8)
  unsigned lp = 0;        // literal position bits (0..4)
  unsigned pb = 0;        // position bits (0..4)
  uint32_t dicSize = 0;   // dictionary size, at least 4096
};

// Why a decode call stopped.
enum LzmaStatus : int {
  LzmaStatusNotSpecified = 0,
  LzmaStatusFinishedWithMark = 1,      // the end marker was decoded
  LzmaStatusNotFinished = 2,           // the output limit was reached
  LzmaStatusNeedsMoreInput = 3,        // all input was consumed
  LzmaStatusMaybeFinishedWithoutMark = 4,  // output limit reached with the range coder at rest
};

// How a decode call may end at the output limit.
enum LzmaFinishMode : int {
  LzmaFinishAny = 0,  // stopping at the limit is fine
  LzmaFinishEnd = 1,  // the stream must end exactly at the limit
};

inline constexpr size_t kLzmaPropsSize = 5;         // properties byte + dictionary size
inline constexpr size_t kLzmaRequiredInputMax = 20;  // largest encoded symbol, in bytes
inline constexpr uint32_t kLzmaMatchEndMarker = 274;  // pendingLen once the end marker is seen

// Decoder state. One per coder run; the dictionary belongs to the caller.
struct LzmaDecoder {
  LzmaProperties props;        // current properties
  uint16_t* probs = nullptr;   // adaptive probabilities (allocator-owned)
  size_t numProbs = 0;         // entries in probs
  uint8_t* dict = nullptr;     // output window (not owned)
  size_t dictCapacity = 0;     // bytes in dict
  size_t dictPos = 0;          // next write position in dict
  const uint8_t* inCursor = nullptr;  // input position during a call
  uint32_t range = 0;          // range coder: current range
  uint32_t code = 0;           // range coder: code value
  uint32_t totalPos = 0;       // bytes produced since the last dictionary reset (mod 2^32)
  uint32_t dictFull = 0;       // 0 until totalPos reached dicSize, then dicSize
  uint32_t lzState = 0;        // coder state 0..11
  uint32_t reps[4] = {1, 1, 1, 1};  // repeat distances, each stored as distance + 1
  uint32_t pendingLen = 0;     // match bytes still to copy; kLzmaMatchEndMarker after the end
  bool needRcInit = true;      // the next five input bytes start the range coder
  bool needStateInit = true;   // probabilities and state reset before the next symbol
  uint8_t tail[kLzmaRequiredInputMax];  // input bytes kept between calls
  uint32_t tailLen = 0;        // bytes in tail
};

// Decodes the 5 property bytes. Returns 0, or 4 when size < 5 or byte 0 >= 225.
ArchiveResult LzmaProperties_Decode(LzmaProperties* props, const uint8_t* data, size_t size);

// Decodes properties and makes sure `dec` has a probability array of the right length: an array of
// equal length is kept, otherwise it is replaced (failure 2). Returns 0, 4 or 2.
ArchiveResult LzmaDecoder_AllocateProbs(LzmaDecoder* dec, const uint8_t* props, size_t size,
                                        const Allocator* alloc);
// Frees the probabilities (probs becomes null).
void LzmaDecoder_FreeProbs(LzmaDecoder* dec, const Allocator* alloc);
// Starts a new stream: dictPos 0, dictionary and state reset.
void LzmaDecoder_Init(LzmaDecoder* dec);
// Prepares for new range-coded data; optionally forgets the dictionary and/or resets the state.
void LzmaDecoder_InitDictAndState(LzmaDecoder* dec, bool initDict, bool initState);

// Decodes into dict up to dictLimit (<= dictCapacity) from `src`. *srcLen holds the input size and
// receives the bytes consumed (including bytes kept in the tail). Returns 0 with *status telling
// why it stopped, or 1 on corrupt data, after which the decoder needs re-initialisation.
// The decoder may write scratch bytes beyond dictLimit (never past dictCapacity); they are
// overwritten before dictPos passes them.
ArchiveResult LzmaDecoder_DecodeToDict(LzmaDecoder* dec, size_t dictLimit, const uint8_t* src,
                                       size_t* srcLen, LzmaFinishMode finishMode,
                                       LzmaStatus* status);

// Appends stored (uncompressed) bytes at dictPos, counting them as output. The caller guarantees
// room for them.
void LzmaDecoder_AppendStored(LzmaDecoder* dec, const uint8_t* data, size_t size);

}  // namespace sevenzip
