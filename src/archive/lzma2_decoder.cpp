// The LZMA2 chunk parser: control byte, big-endian sizes minus one, optional properties, then
// the payload, stored or LZMA-coded, with the chunk's resets applied to the LZMA decoder.
#include "archive/lzma2_decoder.h"

namespace sevenzip {
namespace {

constexpr uint8_t kMaxDictProp = 40;
constexpr uint32_t kControlEnd = 0x00;
constexpr uint32_t kControlStoredReset = 0x01;
constexpr uint32_t kControlStored = 0x02;
constexpr uint32_t kControlLzma = 0x80;

bool isLzmaChunk(uint32_t control) { return (control & kControlLzma) != 0; }

// Consumes one header byte in the current state and returns the next state.
Lzma2State headerStep(Lzma2Decoder* d, uint32_t b) {
  switch (d->chunkState) {
    case Lzma2State::Control:
      d->control = b;
      if (b == kControlEnd) return Lzma2State::Finished;
      if (!isLzmaChunk(b)) {
        if (b > kControlStored) return Lzma2State::Error;
        d->unpackLeft = 0;
      } else {
        d->unpackLeft = (b & 0x1F) << 16;
      }
      return Lzma2State::UnpackHigh;
    case Lzma2State::UnpackHigh:
      d->unpackLeft |= b << 8;
      return Lzma2State::UnpackLow;
    case Lzma2State::UnpackLow:
      d->unpackLeft |= b;
      d->unpackLeft += 1;
      return isLzmaChunk(d->control) ? Lzma2State::PackHigh : Lzma2State::Data;
    case Lzma2State::PackHigh:
      d->packLeft = b << 8;
      return Lzma2State::PackLow;
    case Lzma2State::PackLow:
      d->packLeft |= b;
      d->packLeft += 1;
      if (d->control & 0x40) return Lzma2State::Props;
      return d->needProps ? Lzma2State::Error : Lzma2State::Data;
    case Lzma2State::Props: {
      if (b >= 9 * 5 * 5) return Lzma2State::Error;
      unsigned lc = b % 9;
      unsigned lp = (b / 9) % 5;
      if (lc + lp > 4) return Lzma2State::Error;  // the probability array holds lc + lp <= 4
      d->decoder.props.lc = lc;
      d->decoder.props.lp = lp;
      d->decoder.props.pb = b / 45;
      d->needProps = false;
      return Lzma2State::Data;
    }
    default:
      return Lzma2State::Error;
  }
}

}  // namespace

uint32_t Lzma2Decoder_DictSize(uint8_t p) {
  if (p >= kMaxDictProp) return 0xFFFFFFFF;
  return (2u | (p & 1u)) << (p / 2 + 11);
}

ArchiveResult Lzma2Decoder_LzmaProps(uint8_t out[5], uint8_t p) {
  if (p > kMaxDictProp) return ResUnsupported;
  uint32_t dicSize = Lzma2Decoder_DictSize(p);
  out[0] = 4;  // lc = 4, lp = 0, pb = 0
  out[1] = static_cast<uint8_t>(dicSize);
  out[2] = static_cast<uint8_t>(dicSize >> 8);
  out[3] = static_cast<uint8_t>(dicSize >> 16);
  out[4] = static_cast<uint8_t>(dicSize >> 24);
  return ResOk;
}

ArchiveResult Lzma2Decoder_AllocateProbs(Lzma2Decoder* dec, uint8_t prop, const Allocator* alloc) {
  uint8_t props[kLzmaPropsSize];
  ArchiveResult res = Lzma2Decoder_LzmaProps(props, prop);
  if (res != ResOk) return res;
  return LzmaDecoder_AllocateProbs(&dec->decoder, props, kLzmaPropsSize, alloc);
}

void Lzma2Decoder_Init(Lzma2Decoder* dec) {
  dec->chunkState = Lzma2State::Control;
  dec->needDictReset = true;
  dec->needStateReset = true;
  dec->needProps = true;
  dec->unpackLeft = 0;
  dec->packLeft = 0;
  LzmaDecoder_Init(&dec->decoder);
}

ArchiveResult Lzma2Decoder_DecodeToDict(Lzma2Decoder* dec, size_t dictLimit, const uint8_t* src,
                                        size_t* srcLen, LzmaFinishMode finishMode,
                                        LzmaStatus* status) {
  LzmaDecoder* lz = &dec->decoder;
  size_t inSize = *srcLen;
  *srcLen = 0;
  *status = LzmaStatusNotSpecified;

  while (dec->chunkState != Lzma2State::Finished) {
    if (dec->chunkState == Lzma2State::Error) return ResDataError;
    size_t dictPos = lz->dictPos;
    if (dictPos == dictLimit && finishMode == LzmaFinishAny) {
      *status = LzmaStatusNotFinished;
      return ResOk;
    }
    if (dec->chunkState != Lzma2State::Data && dec->chunkState != Lzma2State::DataContinued) {
      if (inSize == 0) {
        *status = LzmaStatusNeedsMoreInput;
        return ResOk;
      }
      (*srcLen)++;
      inSize--;
      dec->chunkState = headerStep(dec, *src++);
      continue;
    }

    size_t room = dictLimit - dictPos;
    size_t outCur = dec->unpackLeft;
    LzmaFinishMode curFinish = LzmaFinishAny;
    if (outCur <= room) curFinish = LzmaFinishEnd;
    else outCur = room;

    if (!isLzmaChunk(dec->control)) {
      if (inSize == 0) {
        *status = LzmaStatusNeedsMoreInput;
        return ResOk;
      }
      if (dec->chunkState == Lzma2State::Data) {
        bool initDict = dec->control == kControlStoredReset;
        if (initDict) {
          dec->needProps = true;
          dec->needStateReset = true;
        } else if (dec->needDictReset) {
          dec->chunkState = Lzma2State::Error;
          return ResDataError;
        }
        dec->needDictReset = false;
        LzmaDecoder_InitDictAndState(lz, initDict, false);
      }
      size_t n = inSize < outCur ? inSize : outCur;
      if (n == 0) {
        dec->chunkState = Lzma2State::Error;
        return ResDataError;
      }
      LzmaDecoder_AppendStored(lz, src, n);
      src += n;
      *srcLen += n;
      inSize -= n;
      dec->unpackLeft -= static_cast<uint32_t>(n);
      dec->chunkState = dec->unpackLeft == 0 ? Lzma2State::Control : Lzma2State::DataContinued;
      continue;
    }

    if (dec->chunkState == Lzma2State::Data) {
      unsigned mode = (dec->control >> 5) & 3;
      bool initDict = mode == 3;
      bool initState = mode != 0;
      if ((!initDict && dec->needDictReset) || (!initState && dec->needStateReset)) {
        dec->chunkState = Lzma2State::Error;
        return ResDataError;
      }
      LzmaDecoder_InitDictAndState(lz, initDict, initState);
      dec->needDictReset = false;
      dec->needStateReset = false;
      dec->chunkState = Lzma2State::DataContinued;
    }

    size_t inCur = inSize < dec->packLeft ? inSize : dec->packLeft;
    LzmaStatus lzStatus;
    ArchiveResult res = LzmaDecoder_DecodeToDict(lz, dictPos + outCur, src, &inCur, curFinish, &lzStatus);
    src += inCur;
    *srcLen += inCur;
    inSize -= inCur;
    dec->packLeft -= static_cast<uint32_t>(inCur);
    size_t produced = lz->dictPos - dictPos;
    dec->unpackLeft -= static_cast<uint32_t>(produced);
    if (res != ResOk) {
      dec->chunkState = Lzma2State::Error;
      return res;
    }
    if (lzStatus == LzmaStatusNeedsMoreInput) {
      if (dec->packLeft == 0) {  // the chunk's packed bytes ended mid-symbol
        dec->chunkState = Lzma2State::Error;
        return ResDataError;
      }
      *status = LzmaStatusNeedsMoreInput;
      return ResOk;
    }
    if (inCur == 0 && produced == 0) {
      if (lzStatus != LzmaStatusMaybeFinishedWithoutMark || dec->unpackLeft != 0 || dec->packLeft != 0) {
        dec->chunkState = Lzma2State::Error;
        return ResDataError;
      }
      dec->chunkState = Lzma2State::Control;
    }
    if (lzStatus == LzmaStatusMaybeFinishedWithoutMark) *status = LzmaStatusNotFinished;
  }

  *status = LzmaStatusFinishedWithMark;
  return ResOk;
}

}  // namespace sevenzip
