#pragma once
// TQELBitsArray: a bit set of a given size with a running count of its 1
// bits, used by record bitmaps (one bit per record number or index
// position) and by the memory and temporary page managers (one bit per
// page in use).
//
// Bit i is bit (i mod 8) of byte (i div 8), least significant bit first;
// the bytes come from the engine memory manager and are saved to streams
// as they are. Bits past Size in the last byte are always 0, so that
// growing the array never brings back a bit that was cleared by shrinking.

#include <cstdint>

#include "platform/QELEndian.h"

namespace qel {

class TQELStream;

class TQELBitsArray {
 public:
  TQELBitsArray() = default;
  ~TQELBitsArray();
  TQELBitsArray(const TQELBitsArray&) = delete;
  TQELBitsArray& operator=(const TQELBitsArray&) = delete;

  std::int32_t Size() const { return FSize; }
  // Number of bits that are 1, kept up to date by every change.
  std::int32_t SetCount() const { return FSetCount; }
  // The ceil(Size / 8) bytes; null while Size is 0.
  const std::uint8_t* Bytes() const { return FBits; }

  // 0 frees the bytes. Otherwise bits below min(old, new) size keep their
  // value and new bits are 0. A negative size raises "Invalid bit no = %d,
  // number of bits = %d" (10394).
  void SetSize(std::int32_t size);
  // Raise "Invalid bit no = %d, number of bits = %d" for a bit outside
  // 0..Size-1 (10394 reading, 10395 writing).
  bool GetBit(std::int32_t index) const;
  void SetBit(std::int32_t index, bool value);
  void SetAll();
  void ClearAll();

  // The lowest bit equal to `value`.
  bool FindFirst(bool value, std::int32_t& index) const;
  // The next 1 bit: from bit 0 (forward) or Size - 1 (backward) when
  // fromStart, else from from + 1 or from - 1. A start outside the array
  // is clamped to it.
  bool FindNextSet(bool fromStart, bool forward, std::int32_t& index, std::int32_t from) const;
  // The position of the (n+1)-th 1 bit; n outside 0..SetCount-1 raises
  // "Invalid bit no = %d, number of bits = %d" (10428).
  std::int32_t NthSetBit(std::int32_t n) const;
  // The number of 1 bits in 0..index, minus 1; an index outside the array
  // raises "Invalid bit no = %d, number of bits = %d" (10429).
  std::int32_t RankOf(std::int32_t index) const;
  // The number of 1 bits in 0..count-1 (count is clamped to 0..Size).
  std::int32_t CountBelow(std::int64_t count) const;

  // Size (int32), SetCount (int32), then the bytes. A short write raises
  // "Cannot write to stream. ..." (10398, 10427, 10400).
  void SaveToStream(TQELStream& stream) const;
  // Reads what SaveToStream wrote. A short read, a negative size or more
  // bytes than the stream still holds raises "Cannot read from stream. ..."
  // (10401, 10426, 10402) and leaves the array as it was. The count of 1
  // bits is recounted from the bytes rather than trusted.
  void LoadFromStream(TQELStream& stream);

 private:
  static std::int64_t ByteCount(std::int64_t bits) { return (bits + 7) / 8; }
  void FreeBits();
  void CheckIndex(std::int32_t index, std::int32_t nativeError) const;
  // Zeroes the bits past Size in the last byte.
  void ClearTail();
  // Counts the 1 bits from the bytes, after they changed wholesale.
  void Recount();
  // The 64 bits from byte `byteIndex` on, bit i of byte k as bit 8k + i.
  std::uint64_t WordAt(std::int64_t byteIndex) const {
    return QELReadLE<std::uint64_t>(FBits + byteIndex);
  }
  std::int32_t ScanForward(std::int64_t start) const;
  std::int32_t ScanBackward(std::int64_t start) const;

  std::uint8_t* FBits = nullptr;
  std::int32_t FSize = 0;
  std::int32_t FSetCount = 0;
};

}  // namespace qel
