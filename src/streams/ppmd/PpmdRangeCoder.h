#pragma once
// The range coder of the PPMd codec: a 32-bit carry-less coder. The encoder
// never has to propagate a carry into bytes already written: whenever the
// top byte of the interval is not settled and the range has shrunk below
// 2^15, the range is cut down to the next 2^15 boundary, which settles it.
// The decoder follows the encoder's low and range step for step, so it
// reads exactly the bytes the encoder wrote.
//
// Both sides guard against a zero-width interval (a model fault or, in the
// decoder, damaged input): the coder is marked failed instead of looping
// forever, and the caller gives up.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qel::ppmd {

constexpr std::uint32_t kRangeTop = 1u << 24;
constexpr std::uint32_t kRangeBottom = 1u << 15;

class TPpmdRangeEncoder {
 public:
  explicit TPpmdRangeEncoder(std::vector<std::uint8_t>& out) : FOut(out) {}

  // Codes the interval [low, high) of `scale`.
  void Encode(std::uint32_t low, std::uint32_t high, std::uint32_t scale) {
    FRange /= scale;
    Narrow(low, high);
  }
  // Codes the interval [low, high) of 2^bits.
  void EncodeBits(std::uint32_t low, std::uint32_t high, int bits) {
    FRange >>= bits;
    Narrow(low, high);
  }

  void Normalize() {
    for (;;) {
      if ((FLow ^ (FLow + FRange)) >= kRangeTop) {
        if (FRange >= kRangeBottom) break;
        FRange = (0u - FLow) & (kRangeBottom - 1);
      }
      FOut.push_back(static_cast<std::uint8_t>(FLow >> 24));
      FRange <<= 8;
      FLow <<= 8;
    }
  }

  // Writes the four bytes of low that pin the final interval down.
  void Flush() {
    for (int i = 0; i < 4; ++i, FLow <<= 8) FOut.push_back(static_cast<std::uint8_t>(FLow >> 24));
  }

  bool Failed() const { return FFailed; }

 private:
  void Narrow(std::uint32_t low, std::uint32_t high) {
    FLow += low * FRange;
    FRange *= high - low;
    if (FRange == 0) {
      FFailed = true;
      FRange = 1;
    }
  }

  std::vector<std::uint8_t>& FOut;
  std::uint32_t FLow = 0;
  std::uint32_t FRange = 0xFFFFFFFFu;
  bool FFailed = false;
};

class TPpmdRangeDecoder {
 public:
  // Reads from [in, in + size). Reading past the end yields zero bytes and
  // marks the decoder as overrun: the input was cut short or damaged.
  TPpmdRangeDecoder(const std::uint8_t* in, std::size_t size) : FNext(in), FEnd(in + size) {
    for (int i = 0; i < 4; ++i) FCode = (FCode << 8) | NextByte();
  }

  // The position of the coded value inside `scale` parts of the range;
  // Decode must follow with the interval it falls in. A damaged stream can
  // answer a value of `scale` or more: the caller treats that as an escape.
  std::uint32_t Threshold(std::uint32_t scale) {
    FRange /= scale;
    return Position();
  }
  std::uint32_t ThresholdBits(int bits) {
    FRange >>= bits;
    return Position();
  }

  void Decode(std::uint32_t low, std::uint32_t high) {
    FLow += low * FRange;
    FRange *= high - low;
    if (FRange == 0) {
      FFailed = true;
      FRange = 1;
    }
  }

  void Normalize() {
    for (;;) {
      if ((FLow ^ (FLow + FRange)) >= kRangeTop) {
        if (FRange >= kRangeBottom) break;
        FRange = (0u - FLow) & (kRangeBottom - 1);
      }
      FCode = (FCode << 8) | NextByte();
      FRange <<= 8;
      FLow <<= 8;
    }
  }

  bool Failed() const { return FFailed || FOverrun; }
  // True when every input byte has been read: after the last symbol, the
  // decoder has read exactly the bytes the encoder wrote.
  bool AtEnd() const { return FNext == FEnd; }

 private:
  std::uint32_t Position() {
    if (FRange == 0) {
      FFailed = true;
      FRange = 1;
    }
    return (FCode - FLow) / FRange;
  }

  std::uint32_t NextByte() {
    if (FNext != FEnd) return *FNext++;
    FOverrun = true;
    return 0;
  }

  const std::uint8_t* FNext;
  const std::uint8_t* FEnd;
  std::uint32_t FLow = 0;
  std::uint32_t FCode = 0;
  std::uint32_t FRange = 0xFFFFFFFFu;
  bool FFailed = false;
  bool FOverrun = false;
};

}  // namespace qel::ppmd
