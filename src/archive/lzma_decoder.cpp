// The LZMA decoder: range decoder, literal/match model and the resumable driver around them.
// The symbol loop keeps its state in locals and runs only while a whole symbol of input is known
// to be present; near the end of the input a trial decode and a 20-byte tail take over.
#include "archive/lzma_decoder.h"

#include <cstring>

#define LZMA_ALWAYS_INLINE inline __attribute__((always_inline))

namespace sevenzip {
namespace {

// Range coder constants of the LZMA format: 11-bit probabilities, adaptation shift 5,
// renormalisation by one byte whenever the range drops below 2^24.
constexpr uint32_t kTopValue = 1u << 24;
constexpr unsigned kNumBitModelTotalBits = 11;
constexpr uint32_t kBitModelTotal = 1u << kNumBitModelTotalBits;
constexpr unsigned kNumMoveBits = 5;
constexpr uint16_t kProbInit = kBitModelTotal / 2;
// p + ((2048 - p) >> 5) == p - ((p - kBit0Target) >> 5) with an arithmetic shift, for 0 <= p <= 2048.
constexpr uint32_t kBit0Target = kBitModelTotal - ((1u << kNumMoveBits) - 1);

// Model layout: offsets into the probability array.
constexpr unsigned kNumStates = 12;
constexpr unsigned kNumPosBitsMax = 4;
constexpr unsigned kNumLitStates = 7;  // states below this follow a literal
constexpr unsigned kIsMatch = 0;
constexpr unsigned kIsRep = kIsMatch + (kNumStates << kNumPosBitsMax);
constexpr unsigned kIsRepG0 = kIsRep + kNumStates;
constexpr unsigned kIsRepG1 = kIsRepG0 + kNumStates;
constexpr unsigned kIsRepG2 = kIsRepG1 + kNumStates;
constexpr unsigned kIsRep0Long = kIsRepG2 + kNumStates;
constexpr unsigned kNumLenToPosStates = 4;
constexpr unsigned kNumPosSlotBits = 6;
constexpr unsigned kPosSlot = kIsRep0Long + (kNumStates << kNumPosBitsMax);
constexpr unsigned kStartPosModelIndex = 4;
constexpr unsigned kEndPosModelIndex = 14;
constexpr unsigned kNumFullDistances = 1u << (kEndPosModelIndex >> 1);
constexpr unsigned kPosDecoders = kPosSlot + (kNumLenToPosStates << kNumPosSlotBits);
constexpr unsigned kNumAlignBits = 4;
constexpr unsigned kAlign = kPosDecoders + kNumFullDistances - kEndPosModelIndex;
// Length coder: choice, choice2, low[16][8], mid[16][8], high[256].
constexpr unsigned kLenLowBits = 3;
constexpr unsigned kLenHighBits = 8;
constexpr unsigned kLenLowSymbols = 1u << kLenLowBits;
constexpr unsigned kLenChoice = 0;
constexpr unsigned kLenChoice2 = 1;
constexpr unsigned kLenLow = 2;
constexpr unsigned kLenMid = kLenLow + (16u << kLenLowBits);
constexpr unsigned kLenHigh = kLenMid + (16u << kLenLowBits);
constexpr unsigned kNumLenProbs = kLenHigh + (1u << kLenHighBits);
constexpr unsigned kLenCoder = kAlign + (1u << kNumAlignBits);
constexpr unsigned kRepLenCoder = kLenCoder + kNumLenProbs;
constexpr unsigned kLiteral = kRepLenCoder + kNumLenProbs;
constexpr unsigned kLiteralCoderSize = 0x300;
constexpr unsigned kMatchMinLen = 2;
static_assert(kLiteral == 1846, "the model has 1846 probabilities besides the literal coders");

constexpr uint8_t kLiteralNextState[kNumStates] = {0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 4, 5};

// The range decoder as a value kept in registers by the symbol loop.
struct RangeDecoder {
  uint32_t range;
  uint32_t code;
  const uint8_t* in;

  LZMA_ALWAYS_INLINE void normalize() {
    if (range < kTopValue) {
      range <<= 8;
      code = (code << 8) | *in++;
    }
  }

  // Decodes one bit with a branch; returns true for 0. Used for the rarely-random decisions.
  LZMA_ALWAYS_INLINE bool isZero(uint16_t* p) {
    uint32_t prob = *p;
    uint32_t bound = (range >> kNumBitModelTotalBits) * prob;
    bool zero;
    if (code < bound) {
      range = bound;
      *p = static_cast<uint16_t>(prob + ((kBitModelTotal - prob) >> kNumMoveBits));
      zero = true;
    } else {
      range -= bound;
      code -= bound;
      *p = static_cast<uint16_t>(prob - (prob >> kNumMoveBits));
      zero = false;
    }
    normalize();
    return zero;
  }

  // Decodes one bit without branching on it, given the loaded value `prob` of model `slot`, and
  // updates the model. `next` receives p0 for a 0 bit and p1 for a 1 bit: loading both candidate
  // models of the next bit before this one is known takes the load off the critical path.
  // Returns mask0: all ones for a 0 bit, 0 for a 1 bit.
  LZMA_ALWAYS_INLINE uint32_t bitSelect(uint16_t* slot, uint32_t prob, uint32_t p0, uint32_t p1,
                                        uint32_t& next) {
    uint32_t bound = (range >> kNumBitModelTotalBits) * prob;
    uint32_t mask0;
#if defined(__x86_64__) && defined(__GNUC__)
    // cmp sets the carry for a 0 bit; conditional moves pick range, code and the next model, and
    // sbb turns the carry into mask0. Left to itself the compiler branches here.
    uint32_t r1 = range - bound;
    uint32_t c1 = code - bound;
    range = bound;
    next = p1;
    __asm__("cmpl %[bound], %[code]\n\t"
            "cmovael %[r1], %[range]\n\t"
            "cmovael %[c1], %[code]\n\t"
            "cmovbl %[p0], %[next]\n\t"
            "sbbl %[mask0], %[mask0]"
            : [range] "+r"(range), [code] "+r"(code), [next] "+r"(next), [mask0] "=r"(mask0)
            : [bound] "r"(bound), [r1] "r"(r1), [c1] "r"(c1), [p0] "r"(p0)
            : "cc");
#else
    mask0 = code < bound ? ~0u : 0u;
    range = bound + ((range - bound - bound) & ~mask0);
    code -= bound & ~mask0;
    next = p1 ^ ((p0 ^ p1) & mask0);
#endif
    int32_t delta = static_cast<int32_t>(prob - (mask0 & kBit0Target));
    *slot = static_cast<uint16_t>(prob - static_cast<uint32_t>(delta >> kNumMoveBits));
    normalize();
    return mask0;
  }

  // Decodes one bit of a bit tree and appends it to `sym`; probs[sym] is the model.
  LZMA_ALWAYS_INLINE void treeBit(uint16_t* probs, uint32_t& sym) {
    uint32_t unused;
    uint32_t mask0 = bitSelect(probs + sym, probs[sym], 0, 0, unused);
    sym = sym + sym + 1 + mask0;
  }

  // A bit tree of kBits bits, most significant first; returns the value without the leading 1.
  template <unsigned kBits>
  LZMA_ALWAYS_INLINE uint32_t tree(uint16_t* probs) {
    uint32_t sym = 1;
    uint32_t prob = probs[1];
#pragma GCC unroll 8
    for (unsigned i = 0; i + 1 < kBits; i++) {
      uint32_t p0 = probs[2 * sym];
      uint32_t p1 = probs[2 * sym + 1];
      uint32_t mask0 = bitSelect(probs + sym, prob, p0, p1, prob);
      sym = sym + sym + 1 + mask0;
    }
    uint32_t unused;
    uint32_t mask0 = bitSelect(probs + sym, prob, 0, 0, unused);
    sym = sym + sym + 1 + mask0;
    return sym - (1u << kBits);
  }

  // Matched literal: while the decoded bits agree with matchByte, the bit of matchByte selects one
  // of two extra model sets (offs 0x100); after the first disagreement offs is 0 and the plain
  // models continue. Both candidate models of the next bit are loaded ahead.
  LZMA_ALWAYS_INLINE uint32_t matchedLiteral(uint16_t* lit, uint32_t matchByte) {
    uint32_t sym = 1;
    uint32_t offs = 0x100;
    matchByte <<= 1;
    uint32_t idx = offs + (matchByte & offs) + sym;
    uint32_t prob = lit[idx];
#pragma GCC unroll 8
    for (unsigned i = 0; i < 7; i++) {
      uint32_t offs0 = offs & ~matchByte;  // offs after a 0 bit
      uint32_t offs1 = offs & matchByte;   // offs after a 1 bit
      uint32_t nextMatch = matchByte << 1;
      uint32_t idx0 = offs0 + (nextMatch & offs0) + sym + sym;
      uint32_t idx1 = offs1 + (nextMatch & offs1) + sym + sym + 1;
      uint32_t mask0 = bitSelect(lit + idx, prob, lit[idx0], lit[idx1], prob);
      sym = sym + sym + 1 + mask0;
      offs = offs1 ^ ((offs0 ^ offs1) & mask0);
      idx = idx1 ^ ((idx0 ^ idx1) & mask0);
      matchByte = nextMatch;
    }
    uint32_t unused;
    uint32_t mask0 = bitSelect(lit + idx, prob, 0, 0, unused);
    sym = sym + sym + 1 + mask0;
    return sym & 0xFF;
  }

  // Reverse bit tree of `bits` bits (at least 1) added to `value` starting at bit 0.
  LZMA_ALWAYS_INLINE uint32_t reverse(uint16_t* probs, unsigned bits, uint32_t value) {
    uint32_t m = 1;
    uint32_t prob = probs[1];
    for (unsigned i = 0; i + 1 < bits; i++) {
      uint32_t mask0 = bitSelect(probs + m, prob, probs[2 * m], probs[2 * m + 1], prob);
      m = m + m + 1 + mask0;
      value += (m & 1) << i;
    }
    uint32_t unused;
    uint32_t mask0 = bitSelect(probs + m, prob, 0, 0, unused);
    m = m + m + 1 + mask0;
    return value + ((m & 1) << (bits - 1));
  }

  // Bits with fixed probability one half, most significant first.
  LZMA_ALWAYS_INLINE uint32_t direct(unsigned bits) {
    uint32_t value = 0;
    do {
      range >>= 1;
      code -= range;
      uint32_t t = 0u - (code >> 31);  // all ones when the bit is 0
      code += range & t;
      value = (value << 1) + (t + 1);
      normalize();
    } while (--bits != 0);
    return value;
  }

  // Length of a match or repeat match, 0-based (add kMatchMinLen).
  LZMA_ALWAYS_INLINE uint32_t length(uint16_t* lenProbs, uint32_t posState) {
    if (isZero(lenProbs + kLenChoice))
      return tree<kLenLowBits>(lenProbs + kLenLow + (posState << kLenLowBits));
    if (isZero(lenProbs + kLenChoice2))
      return kLenLowSymbols + tree<kLenLowBits>(lenProbs + kLenMid + (posState << kLenLowBits));
    return 2 * kLenLowSymbols + tree<kLenHighBits>(lenProbs + kLenHigh);
  }
};

// Copies `n` match bytes from `distance` back. Wide copies may write up to 15 bytes beyond the
// match, but never past `end`.
LZMA_ALWAYS_INLINE void copyMatch(uint8_t* dst, uint32_t distance, uint32_t n, const uint8_t* end) {
  const uint8_t* src = dst - distance;
  uint8_t* stop = dst + n;
  if (distance >= 16 && static_cast<size_t>(end - dst) >= static_cast<size_t>(n) + 15) {
    do {
      std::memcpy(dst, src, 16);
      dst += 16;
      src += 16;
    } while (dst < stop);
  } else if (distance >= 8 && static_cast<size_t>(end - dst) >= static_cast<size_t>(n) + 7) {
    do {
      std::memcpy(dst, src, 8);
      dst += 8;
      src += 8;
    } while (dst < stop);
  } else if (distance == 1) {
    std::memset(dst, src[0], n);
  } else {
    do {
      *dst++ = *src++;
    } while (dst < stop);
  }
}

// Decodes symbols from dec->inCursor into dict until dictPos reaches `limit` or the input cursor
// reaches `bufLimit` (at least one symbol is decoded). The caller guarantees that every symbol
// started has its bytes available. Returns 0 or 1 (data error).
ArchiveResult decodeSymbols(LzmaDecoder* dec, size_t limit, const uint8_t* bufLimit) {
  uint16_t* const probs = dec->probs;
  uint8_t* const dict = dec->dict;
  const uint8_t* const dictEnd = dec->dict + dec->dictCapacity;
  // Literal coder index: the low lp bits of the position and the high lc bits of the previous
  // byte, taken together from (position << 8 | previous byte).
  const unsigned litShift = 8 - dec->props.lc;
  const uint32_t litMask = (1u << (dec->props.lc + dec->props.lp)) - 1;
  const uint32_t pbMask = (1u << dec->props.pb) - 1;
  const uint32_t checkDicSize = dec->dictFull;
  size_t pos = dec->dictPos;
  uint32_t totalPos = dec->totalPos;
  uint32_t state = dec->lzState;
  uint32_t rep0 = dec->reps[0], rep1 = dec->reps[1], rep2 = dec->reps[2], rep3 = dec->reps[3];
  uint32_t pending = 0;
  ArchiveResult res = ResOk;
  RangeDecoder rc{dec->range, dec->code, dec->inCursor};

  do {
    const uint32_t posState = totalPos & pbMask;
    if (rc.isZero(probs + kIsMatch + (state << kNumPosBitsMax) + posState)) {
      uint32_t prev = (totalPos | checkDicSize) != 0 ? dict[pos - 1] : 0;
      uint16_t* lit = probs + kLiteral + kLiteralCoderSize * ((((totalPos << 8) | prev) >> litShift) & litMask);
      uint32_t sym = state < kNumLitStates ? rc.tree<8>(lit)
                                           : rc.matchedLiteral(lit, dict[pos - rep0]);
      dict[pos++] = static_cast<uint8_t>(sym);
      totalPos++;
      state = kLiteralNextState[state];
      continue;
    }

    uint32_t len;
    if (rc.isZero(probs + kIsRep + state)) {
      // Simple match: length, then distance.
      len = rc.length(probs + kLenCoder, posState);
      uint32_t lenState = len < kNumLenToPosStates - 1 ? len : kNumLenToPosStates - 1;
      uint32_t posSlot = rc.tree<kNumPosSlotBits>(probs + kPosSlot + (lenState << kNumPosSlotBits));
      uint32_t dist;
      if (posSlot < kStartPosModelIndex) {
        dist = posSlot;
      } else {
        unsigned numDirectBits = (posSlot >> 1) - 1;
        dist = (2 | (posSlot & 1)) << numDirectBits;
        if (posSlot < kEndPosModelIndex) {
          dist = rc.reverse(probs + kPosDecoders + dist - posSlot - 1, numDirectBits, dist);
        } else {
          dist += rc.direct(numDirectBits - kNumAlignBits) << kNumAlignBits;
          dist = rc.reverse(probs + kAlign, kNumAlignBits, dist);
          if (dist == 0xFFFFFFFF) {
            pending = kLzmaMatchEndMarker;
            break;
          }
        }
      }
      if (dist >= (checkDicSize == 0 ? totalPos : checkDicSize)) {
        res = ResDataError;
        break;
      }
      rep3 = rep2;
      rep2 = rep1;
      rep1 = rep0;
      rep0 = dist + 1;
      state = state < kNumLitStates ? 7 : 10;
    } else {
      if ((totalPos | checkDicSize) == 0) {
        res = ResDataError;
        break;
      }
      if (rc.isZero(probs + kIsRepG0 + state)) {
        if (rc.isZero(probs + kIsRep0Long + (state << kNumPosBitsMax) + posState)) {
          // Short repeat: one byte from rep0.
          dict[pos] = dict[pos - rep0];
          pos++;
          totalPos++;
          state = state < kNumLitStates ? 9 : 11;
          continue;
        }
      } else {
        uint32_t dist;
        if (rc.isZero(probs + kIsRepG1 + state)) {
          dist = rep1;
        } else {
          if (rc.isZero(probs + kIsRepG2 + state)) {
            dist = rep2;
          } else {
            dist = rep3;
            rep3 = rep2;
          }
          rep2 = rep1;
        }
        rep1 = rep0;
        rep0 = dist;
      }
      len = rc.length(probs + kRepLenCoder, posState);
      state = state < kNumLitStates ? 8 : 11;
    }

    if (pos >= limit) {  // a match with no room at all can only be corrupt data
      res = ResDataError;
      break;
    }
    uint32_t total = len + kMatchMinLen;
    size_t room = limit - pos;
    uint32_t n = room < total ? static_cast<uint32_t>(room) : total;
    pending = total - n;
    copyMatch(dict + pos, rep0, n, dictEnd);
    pos += n;
    totalPos += n;
  } while (pos < limit && rc.in < bufLimit);

  dec->range = rc.range;
  dec->code = rc.code;
  dec->inCursor = rc.in;
  dec->dictPos = pos;
  dec->totalPos = totalPos;
  dec->lzState = state;
  dec->reps[0] = rep0;
  dec->reps[1] = rep1;
  dec->reps[2] = rep2;
  dec->reps[3] = rep3;
  dec->pendingLen = pending;
  return res;
}

// Copies pending match bytes, up to `limit`.
void flushPending(LzmaDecoder* dec, size_t limit) {
  uint32_t len = dec->pendingLen;
  if (len == 0 || len >= kLzmaMatchEndMarker) return;
  size_t pos = dec->dictPos;
  size_t room = limit - pos;
  uint32_t n = room < len ? static_cast<uint32_t>(room) : len;
  if (n == 0) return;
  if (dec->dictFull == 0 && dec->props.dicSize - dec->totalPos <= n) dec->dictFull = dec->props.dicSize;
  dec->totalPos += n;
  dec->pendingLen = len - n;
  uint8_t* dict = dec->dict;
  const uint32_t rep0 = dec->reps[0];
  for (uint32_t i = 0; i < n; i++, pos++) dict[pos] = dict[pos - rep0];
  dec->dictPos = pos;
}

// Runs the symbol loop in pieces so that dictFull is set exactly when totalPos reaches dicSize.
ArchiveResult decodeBounded(LzmaDecoder* dec, size_t limit, const uint8_t* bufLimit) {
  do {
    size_t limit2 = limit;
    if (dec->dictFull == 0) {
      uint32_t rem = dec->props.dicSize - dec->totalPos;
      if (limit - dec->dictPos > rem) limit2 = dec->dictPos + rem;
    }
    ArchiveResult res = decodeSymbols(dec, limit2, bufLimit);
    if (res != ResOk) return res;
    if (dec->dictFull == 0 && dec->totalPos >= dec->props.dicSize) dec->dictFull = dec->props.dicSize;
    flushPending(dec, limit);
  } while (dec->dictPos < limit && dec->inCursor < bufLimit && dec->pendingLen < kLzmaMatchEndMarker);
  if (dec->pendingLen > kLzmaMatchEndMarker) dec->pendingLen = kLzmaMatchEndMarker;
  return ResOk;
}

enum class Trial { TooShort, Literal, Match, Rep };

// Follows the model over `buf` for one symbol on copies of range and code, changing nothing,
// to learn whether the symbol's bytes are all present and what kind of symbol it is.
class TrialDecoder {
 public:
  TrialDecoder(const LzmaDecoder* dec, const uint8_t* buf, size_t size)
      : dec_(dec), range_(dec->range), code_(dec->code), in_(buf), end_(buf + size) {}

  Trial run() {
    const uint16_t* probs = dec_->probs;
    const uint32_t state = dec_->lzState;
    const uint32_t totalPos = dec_->totalPos;
    const uint32_t posState = totalPos & ((1u << dec_->props.pb) - 1);
    int b = bit(probs[kIsMatch + (state << kNumPosBitsMax) + posState]);
    if (b < 0) return Trial::TooShort;
    if (b == 0) {
      const uint8_t* dict = dec_->dict;
      size_t pos = dec_->dictPos;
      bool havePrev = (totalPos | dec_->dictFull) != 0 && pos > 0;
      uint32_t prev = havePrev ? dict[pos - 1] : 0;
      const unsigned lc = dec_->props.lc;
      const uint32_t lpMask = (1u << dec_->props.lp) - 1;
      const uint16_t* lit = probs + kLiteral +
                            kLiteralCoderSize * ((((totalPos & lpMask) << lc) + (prev >> (8 - lc))));
      uint32_t sym = 1;
      if (state >= kNumLitStates && dec_->reps[0] <= pos) {
        uint32_t matchByte = dict[pos - dec_->reps[0]];
        uint32_t offs = 0x100;
        do {
          matchByte <<= 1;
          int r = bit(lit[offs + (matchByte & offs) + sym]);
          if (r < 0) return Trial::TooShort;
          uint32_t ub = static_cast<uint32_t>(r);
          sym = (sym << 1) + ub;
          offs &= matchByte ^ (ub - 1u);
        } while (sym < 0x100);
      } else {
        if (tree(lit, 8) < 0) return Trial::TooShort;
      }
      return Trial::Literal;
    }
    if ((b = bit(probs[kIsRep + state])) < 0) return Trial::TooShort;
    if (b == 0) {
      int len = length(probs + kLenCoder, posState);
      if (len < 0) return Trial::TooShort;
      uint32_t lenState = static_cast<uint32_t>(len) < kNumLenToPosStates - 1
                              ? static_cast<uint32_t>(len) : kNumLenToPosStates - 1;
      int posSlot = tree(probs + kPosSlot + (lenState << kNumPosSlotBits), kNumPosSlotBits);
      if (posSlot < 0) return Trial::TooShort;
      if (static_cast<unsigned>(posSlot) >= kStartPosModelIndex) {
        unsigned numDirectBits = (static_cast<unsigned>(posSlot) >> 1) - 1;
        if (static_cast<unsigned>(posSlot) < kEndPosModelIndex) {
          uint32_t base = (2 | (static_cast<uint32_t>(posSlot) & 1)) << numDirectBits;
          if (reverse(probs + kPosDecoders + base - posSlot - 1, numDirectBits) < 0) return Trial::TooShort;
        } else {
          for (unsigned i = 0; i < numDirectBits - kNumAlignBits; i++) {
            range_ >>= 1;
            if (code_ >= range_) code_ -= range_;
            if (!normalize()) return Trial::TooShort;
          }
          if (reverse(probs + kAlign, kNumAlignBits) < 0) return Trial::TooShort;
        }
      }
      return Trial::Match;
    }
    if ((b = bit(probs[kIsRepG0 + state])) < 0) return Trial::TooShort;
    if (b == 0) {
      if ((b = bit(probs[kIsRep0Long + (state << kNumPosBitsMax) + posState])) < 0) return Trial::TooShort;
      if (b == 0) return Trial::Rep;
    } else {
      if ((b = bit(probs[kIsRepG1 + state])) < 0) return Trial::TooShort;
      if (b == 1 && bit(probs[kIsRepG2 + state]) < 0) return Trial::TooShort;
    }
    if (length(probs + kRepLenCoder, posState) < 0) return Trial::TooShort;
    return Trial::Rep;
  }

 private:
  bool normalize() {
    if (range_ < kTopValue) {
      if (in_ >= end_) return false;
      range_ <<= 8;
      code_ = (code_ << 8) | *in_++;
    }
    return true;
  }
  int bit(uint32_t prob) {
    uint32_t bound = (range_ >> kNumBitModelTotalBits) * prob;
    int b;
    if (code_ < bound) {
      range_ = bound;
      b = 0;
    } else {
      range_ -= bound;
      code_ -= bound;
      b = 1;
    }
    return normalize() ? b : -1;
  }
  int tree(const uint16_t* probs, unsigned bits) {
    uint32_t sym = 1;
    for (unsigned i = 0; i < bits; i++) {
      int b = bit(probs[sym]);
      if (b < 0) return -1;
      sym = (sym << 1) + static_cast<uint32_t>(b);
    }
    return static_cast<int>(sym - (1u << bits));
  }
  int reverse(const uint16_t* probs, unsigned bits) {
    uint32_t m = 1;
    for (unsigned i = 0; i < bits; i++) {
      int b = bit(probs[m]);
      if (b < 0) return -1;
      m = (m << 1) + static_cast<uint32_t>(b);
    }
    return 0;
  }
  int length(const uint16_t* lenProbs, uint32_t posState) {
    int b = bit(lenProbs[kLenChoice]);
    if (b < 0) return -1;
    if (b == 0) return tree(lenProbs + kLenLow + (posState << kLenLowBits), kLenLowBits);
    if ((b = bit(lenProbs[kLenChoice2])) < 0) return -1;
    int t;
    if (b == 0) {
      t = tree(lenProbs + kLenMid + (posState << kLenLowBits), kLenLowBits);
      return t < 0 ? -1 : t + static_cast<int>(kLenLowSymbols);
    }
    t = tree(lenProbs + kLenHigh, kLenHighBits);
    return t < 0 ? -1 : t + 2 * static_cast<int>(kLenLowSymbols);
  }

  const LzmaDecoder* dec_;
  uint32_t range_;
  uint32_t code_;
  const uint8_t* in_;
  const uint8_t* end_;
};

void resetState(LzmaDecoder* dec) {
  uint16_t* p = dec->probs;
  for (size_t i = 0; i < dec->numProbs; i++) p[i] = kProbInit;
  dec->reps[0] = dec->reps[1] = dec->reps[2] = dec->reps[3] = 1;
  dec->lzState = 0;
  dec->needStateInit = false;
}

size_t numProbsFor(const LzmaProperties& p) {
  return kLiteral + (static_cast<size_t>(kLiteralCoderSize) << (p.lc + p.lp));
}

}  // namespace

ArchiveResult LzmaProperties_Decode(LzmaProperties* props, const uint8_t* data, size_t size) {
  if (size < kLzmaPropsSize) return ResUnsupported;
  unsigned d = data[0];
  if (d >= 9 * 5 * 5) return ResUnsupported;
  uint32_t dicSize = static_cast<uint32_t>(data[1]) | (static_cast<uint32_t>(data[2]) << 8) |
                     (static_cast<uint32_t>(data[3]) << 16) | (static_cast<uint32_t>(data[4]) << 24);
  if (dicSize < 4096) dicSize = 4096;  // the format's smallest dictionary
  props->lc = d % 9;
  d /= 9;
  props->lp = d % 5;
  props->pb = d / 5;
  props->dicSize = dicSize;
  return ResOk;
}

ArchiveResult LzmaDecoder_AllocateProbs(LzmaDecoder* dec, const uint8_t* props, size_t size,
                                        const Allocator* alloc) {
  LzmaProperties p;
  ArchiveResult res = LzmaProperties_Decode(&p, props, size);
  if (res != ResOk) return res;
  size_t numProbs = numProbsFor(p);
  if (dec->probs == nullptr || numProbs != dec->numProbs) {
    LzmaDecoder_FreeProbs(dec, alloc);
    dec->probs = AllocArray<uint16_t>(alloc, numProbs);
    if (dec->probs == nullptr) return ResOutOfMemory;
    dec->numProbs = numProbs;
  }
  dec->props = p;
  return ResOk;
}

void LzmaDecoder_FreeProbs(LzmaDecoder* dec, const Allocator* alloc) {
  alloc->Free(alloc, dec->probs);
  dec->probs = nullptr;
  dec->numProbs = 0;
}

void LzmaDecoder_InitDictAndState(LzmaDecoder* dec, bool initDict, bool initState) {
  dec->needRcInit = true;
  dec->pendingLen = 0;
  dec->tailLen = 0;
  if (initDict) {
    dec->totalPos = 0;
    dec->dictFull = 0;
    dec->needStateInit = true;
  }
  if (initState) dec->needStateInit = true;
}

void LzmaDecoder_Init(LzmaDecoder* dec) {
  dec->dictPos = 0;
  LzmaDecoder_InitDictAndState(dec, true, true);
}

void LzmaDecoder_AppendStored(LzmaDecoder* dec, const uint8_t* data, size_t size) {
  std::memcpy(dec->dict + dec->dictPos, data, size);
  dec->dictPos += size;
  if (dec->dictFull == 0 && dec->props.dicSize - dec->totalPos <= size) dec->dictFull = dec->props.dicSize;
  dec->totalPos += static_cast<uint32_t>(size);
}

ArchiveResult LzmaDecoder_DecodeToDict(LzmaDecoder* dec, size_t dictLimit, const uint8_t* src,
                                       size_t* srcLen, LzmaFinishMode finishMode,
                                       LzmaStatus* status) {
  size_t inSize = *srcLen;
  *srcLen = 0;
  flushPending(dec, dictLimit);
  *status = LzmaStatusNotSpecified;

  while (dec->pendingLen != kLzmaMatchEndMarker) {
    if (dec->needRcInit) {
      while (inSize > 0 && dec->tailLen < kLzmaPropsSize) {
        dec->tail[dec->tailLen++] = *src++;
        (*srcLen)++;
        inSize--;
      }
      if (dec->tailLen < kLzmaPropsSize) {
        *status = LzmaStatusNeedsMoreInput;
        return ResOk;
      }
      if (dec->tail[0] != 0) return ResDataError;
      dec->code = (static_cast<uint32_t>(dec->tail[1]) << 24) | (static_cast<uint32_t>(dec->tail[2]) << 16) |
                  (static_cast<uint32_t>(dec->tail[3]) << 8) | static_cast<uint32_t>(dec->tail[4]);
      dec->range = 0xFFFFFFFF;
      dec->needRcInit = false;
      dec->tailLen = 0;
    }

    bool checkEndMarkNow = false;
    if (dec->dictPos >= dictLimit) {
      if (dec->pendingLen == 0 && dec->code == 0) {
        *status = LzmaStatusMaybeFinishedWithoutMark;
        return ResOk;
      }
      if (finishMode == LzmaFinishAny) {
        *status = LzmaStatusNotFinished;
        return ResOk;
      }
      if (dec->pendingLen != 0) {
        *status = LzmaStatusNotFinished;
        return ResDataError;
      }
      checkEndMarkNow = true;
    }

    if (dec->needStateInit) resetState(dec);

    if (dec->tailLen == 0) {
      const uint8_t* bufLimit;
      if (inSize < kLzmaRequiredInputMax || checkEndMarkNow) {
        Trial t = TrialDecoder(dec, src, inSize).run();
        if (t == Trial::TooShort) {
          if (inSize > kLzmaRequiredInputMax) return ResDataError;  // no symbol is that long
          std::memcpy(dec->tail, src, inSize);
          dec->tailLen = static_cast<uint32_t>(inSize);
          *srcLen += inSize;
          *status = LzmaStatusNeedsMoreInput;
          return ResOk;
        }
        if (checkEndMarkNow && t != Trial::Match) {
          *status = LzmaStatusNotFinished;
          return ResDataError;
        }
        bufLimit = src;
      } else {
        bufLimit = src + inSize - kLzmaRequiredInputMax;
      }
      dec->inCursor = src;
      if (decodeBounded(dec, dictLimit, bufLimit) != ResOk) return ResDataError;
      size_t processed = static_cast<size_t>(dec->inCursor - src);
      *srcLen += processed;
      src += processed;
      inSize -= processed;
    } else {
      uint32_t rem = dec->tailLen;
      size_t lookAhead = 0;
      while (rem < kLzmaRequiredInputMax && lookAhead < inSize) dec->tail[rem++] = src[lookAhead++];
      dec->tailLen = rem;
      if (rem < kLzmaRequiredInputMax || checkEndMarkNow) {
        Trial t = TrialDecoder(dec, dec->tail, rem).run();
        if (t == Trial::TooShort) {
          *srcLen += lookAhead;
          *status = LzmaStatusNeedsMoreInput;
          return ResOk;
        }
        if (checkEndMarkNow && t != Trial::Match) {
          *status = LzmaStatusNotFinished;
          return ResDataError;
        }
      }
      uint32_t kept = rem - static_cast<uint32_t>(lookAhead);  // tail bytes from earlier calls
      dec->inCursor = dec->tail;
      if (decodeBounded(dec, dictLimit, dec->tail) != ResOk) return ResDataError;
      size_t used = static_cast<size_t>(dec->inCursor - dec->tail);
      if (used < kept) return ResDataError;  // cannot happen: the kept bytes were too short alone
      used -= kept;
      *srcLen += used;
      src += used;
      inSize -= used;
      dec->tailLen = 0;
    }
  }

  if (dec->code == 0) {
    *status = LzmaStatusFinishedWithMark;
    return ResOk;
  }
  return ResDataError;
}

}  // namespace sevenzip
