#include "streams/QELMemoryStream.h"

#include <algorithm>
#include <cstring>

#include "memory/QELMemory.h"

namespace qel {

TQELMemoryStream::TQELMemoryStream(void* block, std::int64_t initialCapacity) {
  if (block != nullptr) {
    FBlock = block;
    FCapacity = FSize = QELMemoryManager().BlockSize(block);
  } else if (initialCapacity > 0) {
    FBlock = QELMemoryManager().GetMem(initialCapacity);
    FCapacity = initialCapacity;
  }
}

TQELMemoryStream::~TQELMemoryStream() {
  try {
    QELMemoryManager().FreeAndNillMem(FBlock);
  } catch (...) {
    // An overrun found at destruction cannot be reported from here.
  }
}

// Grows the block to twice the needed size, so that appending stays cheap.
void TQELMemoryStream::EnsureCapacity(std::int64_t size) {
  if (size <= FCapacity) return;
  const std::int64_t capacity = std::max<std::int64_t>(size * 2, 256);
  QELMemoryManager().ReallocMem(FBlock, false, capacity);
  FCapacity = capacity;
}

std::int64_t TQELMemoryStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0 || FPosition >= FSize) return 0;
  const std::int64_t n = std::min(count, FSize - FPosition);
  std::memcpy(buffer, Memory() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  return n;
}

std::int64_t TQELMemoryStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  const std::int64_t end = FPosition + count;
  EnsureCapacity(end);
  // A write past the end leaves zero bytes in the gap.
  if (FPosition > FSize) std::memset(Memory() + FSize, 0, static_cast<std::size_t>(FPosition - FSize));
  std::memcpy(Memory() + FPosition, buffer, static_cast<std::size_t>(count));
  FPosition = end;
  FSize = std::max(FSize, end);
  return count;
}

std::int64_t TQELMemoryStream::Seek(std::int64_t offset, TQELSeekOrigin origin) {
  const std::int64_t base = origin == soBeginning ? 0 : (origin == soCurrent ? FPosition : FSize);
  FPosition = std::max<std::int64_t>(base + offset, 0);
  return FPosition;
}

void TQELMemoryStream::SetSize(std::int64_t size) {
  size = std::max<std::int64_t>(size, 0);
  if (size == 0) {
    QELMemoryManager().FreeAndNillMem(FBlock);
    FCapacity = FSize = 0;
  } else {
    if (size > FCapacity) {
      QELMemoryManager().ReallocMem(FBlock, false, size);
      FCapacity = size;
    }
    if (size > FSize) std::memset(Memory() + FSize, 0, static_cast<std::size_t>(size - FSize));
    FSize = size;
  }
  FPosition = std::min(FPosition, FSize);
}

void TQELMemoryStream::Empty(std::int64_t keepCapacity) {
  if (FCapacity > keepCapacity) {
    QELMemoryManager().FreeAndNillMem(FBlock);
    FCapacity = 0;
  }
  FSize = 0;
  FPosition = 0;
}

}  // namespace qel
