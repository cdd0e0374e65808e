// TQELBitsArray: bit access, counting and searching, and the stream form.

#include "storage/QELBitsArray.h"

#include <array>
#include <bit>
#include <cstring>

#include "memory/QELMemory.h"
#include "platform/QELEndian.h"
#include "platform/QELException.h"
#include "streams/QELStream.h"

namespace qel {

namespace {

constexpr const char* kInvalidBitMsg = "Invalid bit no = %d, number of bits = %d";
constexpr const char* kReadMsg =
    "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d";

// The number of 1 bits of each byte value; counting and NthSetBit skip
// whole bytes with it.
constexpr std::array<std::uint8_t, 256> kBitCounts = [] {
  std::array<std::uint8_t, 256> counts{};
  for (int value = 0; value < 256; ++value) {
    counts[static_cast<std::size_t>(value)] = static_cast<std::uint8_t>(std::popcount(
        static_cast<unsigned>(value)));
  }
  return counts;
}();

// Owns a block of the engine memory manager until it is handed on.
struct TBlockGuard {
  void* Block = nullptr;
  ~TBlockGuard() {
    if (Block != nullptr) QELMemoryManager().FreeAndNillMem(Block);
  }
};



}  // namespace

TQELBitsArray::~TQELBitsArray() { FreeBits(); }

void TQELBitsArray::FreeBits() {
  if (FBits == nullptr) return;
  void* block = FBits;
  FBits = nullptr;
  QELMemoryManager().FreeAndNillMem(block);
}

void TQELBitsArray::CheckIndex(std::int32_t index, std::int32_t nativeError) const {
  if (index < 0 || index >= FSize) throw EQELException(nativeError, kInvalidBitMsg, {index, FSize});
}

void TQELBitsArray::ClearTail() {
  const std::int32_t used = FSize % 8;
  if (FBits != nullptr && used != 0) {
    FBits[ByteCount(FSize) - 1] &= static_cast<std::uint8_t>((1u << used) - 1);
  }
}

void TQELBitsArray::SetSize(std::int32_t size) {
  if (size < 0) throw EQELException(10394, kInvalidBitMsg, {size, FSize});
  if (size == 0) {
    FreeBits();
    FSize = FSetCount = 0;
    return;
  }
  const std::int64_t newBytes = ByteCount(size);
  if (FBits == nullptr) {
    FBits = static_cast<std::uint8_t*>(QELMemoryManager().AllocMem(newBytes));
  } else if (newBytes != ByteCount(FSize)) {
    void* block = FBits;
    QELMemoryManager().ReallocMemZero(block, newBytes);
    FBits = static_cast<std::uint8_t*>(block);
  }
  const bool shrinking = size < FSize;
  FSize = size;
  if (shrinking) {
    ClearTail();
    Recount();
  }
}

bool TQELBitsArray::GetBit(std::int32_t index) const {
  CheckIndex(index, 10394);
  return (FBits[index / 8] >> (index % 8)) & 1u;
}

void TQELBitsArray::SetBit(std::int32_t index, bool value) {
  CheckIndex(index, 10395);
  std::uint8_t& byte = FBits[index / 8];
  const auto mask = static_cast<std::uint8_t>(1u << (index % 8));
  if (((byte & mask) != 0) == value) return;
  if (value) {
    byte |= mask;
    ++FSetCount;
  } else {
    byte &= static_cast<std::uint8_t>(~mask);
    --FSetCount;
  }
}

void TQELBitsArray::SetAll() {
  if (FBits == nullptr) return;
  std::memset(FBits, 0xFF, static_cast<std::size_t>(ByteCount(FSize)));
  ClearTail();
  FSetCount = FSize;
}

void TQELBitsArray::ClearAll() {
  if (FBits != nullptr) std::memset(FBits, 0, static_cast<std::size_t>(ByteCount(FSize)));
  FSetCount = 0;
}

void TQELBitsArray::Recount() {
  FSetCount = 0;
  const std::int64_t bytes = ByteCount(FSize);
  for (std::int64_t i = 0; i < bytes; ++i) FSetCount += kBitCounts[FBits[i]];
}

std::int32_t TQELBitsArray::CountBelow(std::int64_t count) const {
  if (count <= 0) return 0;
  if (count >= FSize) return FSetCount;
  std::int32_t result = 0;
  const std::int64_t wholeBytes = count / 8;
  std::int64_t i = 0;
  for (; i + 8 <= wholeBytes; i += 8) result += std::popcount(WordAt(i));
  for (; i < wholeBytes; ++i) result += kBitCounts[FBits[i]];
  const auto rest = static_cast<std::uint32_t>(count % 8);
  if (rest != 0) result += kBitCounts[FBits[wholeBytes] & ((1u << rest) - 1)];
  return result;
}

// Both scans look at one byte until they reach a whole 8-byte word, then at
// words: a bitmap of a large table holds few bits in many bytes.
std::int32_t TQELBitsArray::ScanForward(std::int64_t start) const {
  if (start < 0) start = 0;
  if (start >= FSize) return -1;
  const std::int64_t byteCount = ByteCount(FSize);
  std::int64_t byteIndex = start / 8;
  auto byte = static_cast<std::uint8_t>(FBits[byteIndex] & (0xFFu << (start % 8)));
  for (;;) {
    // Bits past Size are 0, so a hit is always inside the array.
    if (byte != 0) return static_cast<std::int32_t>(byteIndex * 8 + std::countr_zero(byte));
    if (++byteIndex >= byteCount) return -1;
    if (byteIndex % 8 == 0) break;
    byte = FBits[byteIndex];
  }
  for (; byteIndex + 8 <= byteCount; byteIndex += 8) {
    const std::uint64_t word = WordAt(byteIndex);
    if (word != 0) return static_cast<std::int32_t>(byteIndex * 8 + std::countr_zero(word));
  }
  for (; byteIndex < byteCount; ++byteIndex) {
    if (FBits[byteIndex] != 0) {
      return static_cast<std::int32_t>(byteIndex * 8 + std::countr_zero(FBits[byteIndex]));
    }
  }
  return -1;
}

std::int32_t TQELBitsArray::ScanBackward(std::int64_t start) const {
  if (start >= FSize) start = FSize - 1;
  if (start < 0) return -1;
  std::int64_t byteIndex = start / 8;
  auto byte = static_cast<std::uint8_t>(FBits[byteIndex] & (0xFFu >> (7 - start % 8)));
  for (;;) {
    if (byte != 0) return static_cast<std::int32_t>(byteIndex * 8 + 7 - std::countl_zero(byte));
    if (byteIndex == 0) return -1;
    if (byteIndex % 8 == 0) break;
    byte = FBits[--byteIndex];
  }
  // byteIndex starts a word whose bytes have all been looked at.
  for (byteIndex -= 8; byteIndex >= 0; byteIndex -= 8) {
    const std::uint64_t word = WordAt(byteIndex);
    if (word != 0) return static_cast<std::int32_t>(byteIndex * 8 + 63 - std::countl_zero(word));
  }
  return -1;
}

bool TQELBitsArray::FindFirst(bool value, std::int32_t& index) const {
  if (value) {
    index = ScanForward(0);
    return index >= 0;
  }
  const std::int64_t byteCount = ByteCount(FSize);
  for (std::int64_t i = 0; i < byteCount; ++i) {
    const auto clear = static_cast<std::uint8_t>(~FBits[i]);
    if (clear == 0) continue;
    const std::int64_t position = i * 8 + std::countr_zero(clear);
    // The 0 bits past Size in the last byte are not bits of the array.
    if (position >= FSize) return false;
    index = static_cast<std::int32_t>(position);
    return true;
  }
  return false;
}

bool TQELBitsArray::FindNextSet(bool fromStart, bool forward, std::int32_t& index,
                                std::int32_t from) const {
  std::int64_t start;
  if (fromStart) {
    start = forward ? 0 : static_cast<std::int64_t>(FSize) - 1;
  } else {
    start = forward ? static_cast<std::int64_t>(from) + 1 : static_cast<std::int64_t>(from) - 1;
  }
  const std::int32_t found = forward ? ScanForward(start) : ScanBackward(start);
  if (found < 0) return false;
  index = found;
  return true;
}

std::int32_t TQELBitsArray::NthSetBit(std::int32_t n) const {
  if (n < 0 || n >= FSetCount) throw EQELException(10428, kInvalidBitMsg, {n, FSetCount});
  if (FSetCount == FSize) return n;
  std::int32_t remaining = n;
  std::int64_t byteIndex = 0;
  while (remaining >= kBitCounts[FBits[byteIndex]]) remaining -= kBitCounts[FBits[byteIndex++]];
  std::uint8_t byte = FBits[byteIndex];
  for (; remaining > 0; --remaining) byte &= static_cast<std::uint8_t>(byte - 1);  // drop lowest 1
  return static_cast<std::int32_t>(byteIndex * 8 + std::countr_zero(byte));
}

std::int32_t TQELBitsArray::RankOf(std::int32_t index) const {
  CheckIndex(index, 10429);
  if (FSetCount == FSize) return index;
  return CountBelow(static_cast<std::int64_t>(index) + 1) - 1;
}

void TQELBitsArray::SaveToStream(TQELStream& stream) const {
  if (FSize > 0 && FBits == nullptr) throw EQELException(10399, "Nil pointer occured");
  std::uint8_t word[4];
  QELWriteLE<std::int32_t>(word, FSize);
  stream.WriteChecked(word, 4, 10398);
  QELWriteLE<std::int32_t>(word, FSetCount);
  stream.WriteChecked(word, 4, 10427);
  if (FSize > 0) stream.WriteChecked(FBits, ByteCount(FSize), 10400);
}

void TQELBitsArray::LoadFromStream(TQELStream& stream) {
  std::uint8_t word[4];
  stream.ReadChecked(word, 4, 10401);
  const auto size = QELReadLE<std::int32_t>(word);
  stream.ReadChecked(word, 4, 10426);
  const std::int64_t bytes = ByteCount(size);
  // A damaged size must not become a huge allocation: the bytes have to be
  // in the stream already.
  const std::int64_t position = stream.Position();
  const std::int64_t available = stream.GetSize() - position;
  if (size < 0 || bytes > available) {
    throw EQELException(10402, kReadMsg, {position, stream.GetSize(), bytes, available});
  }
  TBlockGuard loaded;
  if (size > 0) {
    loaded.Block = QELMemoryManager().GetMem(bytes);
    stream.ReadChecked(loaded.Block, bytes, 10402);
  }
  FreeBits();
  FBits = static_cast<std::uint8_t*>(loaded.Block);
  loaded.Block = nullptr;
  FSize = size;
  ClearTail();
  Recount();
}

}  // namespace qel
