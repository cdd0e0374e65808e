#include "memory/QELMemory.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/QELEndian.h"
#include "platform/QELException.h"
#include "platform/QELSystemInfo.h"

namespace qel {

namespace {

constexpr std::size_t kSizeOffset = 0;
constexpr std::size_t kMethodOffset = 8;
constexpr std::size_t kGuardOffset = 12;

std::uint32_t ReadWord(const std::uint8_t* at) { return QELReadLE<std::uint32_t>(at); }

}  // namespace

TQELMemoryManager& QELMemoryManager() {
  static TQELMemoryManager manager;
  return manager;
}

std::uint8_t* TQELMemoryManager::BlockStart(const void* pointer) {
  return const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(pointer)) - kHeaderSize;
}

bool TQELMemoryManager::HasHeaderGuard(const void* pointer) {
  return ReadWord(BlockStart(pointer) + kGuardOffset) == kHeaderGuard;
}

void* TQELMemoryManager::GetMem(std::int64_t size) {
  if (size <= 0) throw EQELException(30286, "Cannot allocate 0 bytes");
  const std::int64_t limit = FMemoryLimit;
  if (limit != 0 && FAllocatedBytes + size > limit) {
    throw EQELException(30004, "Memory limit exceeded (Limit = %d bytes)", {limit});
  }
  return Obtain(size);
}

void* TQELMemoryManager::Obtain(std::int64_t size) {
  const std::uint8_t method = mmGlobalHeap;
  void* raw = nullptr;
  ++FAllocations;
  const bool injected = FFailCountdown > 0 && --FFailCountdown == 0;
  if (!injected && static_cast<std::uint64_t>(size) < SIZE_MAX - kOverhead - 16) {
    raw = std::aligned_alloc(16, (static_cast<std::size_t>(size) + kOverhead + 15) & ~std::size_t{15});
  }
  if (raw == nullptr) throw EQELException(30015, "GetMem error: %s", {"Out of memory"});
  auto* block = static_cast<std::uint8_t*>(raw);
  QELWriteLE<std::int64_t>(block + kSizeOffset, size);
  block[kMethodOffset] = method;
  std::memset(block + kMethodOffset + 1, 0, kGuardOffset - kMethodOffset - 1);
  QELWriteLE<std::uint32_t>(block + kGuardOffset, kHeaderGuard);
  QELWriteLE<std::uint32_t>(block + kHeaderSize + size, kTrailerGuard);
  FAllocatedBytes += size;
  return block + kHeaderSize;
}

void* TQELMemoryManager::AllocMem(std::int64_t size) {
  void* pointer = GetMem(size);
  std::memset(pointer, 0, static_cast<std::size_t>(size));
  return pointer;
}

void TQELMemoryManager::Release(std::uint8_t* block, std::uint8_t method, std::int64_t size) {
  if (method == mmVirtualPages) {
    ::munmap(block, static_cast<std::size_t>(size) + kOverhead);
  } else {
    std::free(block);
  }
}

void TQELMemoryManager::FreeAndNillMem(void*& pointer) {
  if (pointer == nullptr) return;
  if (!HasHeaderGuard(pointer)) throw EQELException(30001, "Invalid pointer");
  std::uint8_t* block = BlockStart(pointer);
  const std::int64_t size = QELReadLE<std::int64_t>(block + kSizeOffset);
  const bool overrun = ReadWord(block + kHeaderSize + size) != kTrailerGuard;
  FAllocatedBytes -= size;
  // Spoil the guard, so that freeing the block twice is caught as well.
  QELWriteLE<std::uint32_t>(block + kGuardOffset, 0);
  Release(block, block[kMethodOffset], size);
  pointer = nullptr;
  if (overrun) throw EQELException(30137, "Memory overrun detected");
}

void TQELMemoryManager::ReallocMem(void*& pointer, bool zeroFill, std::int64_t newSize) {
  try {
    if (pointer != nullptr && !HasHeaderGuard(pointer)) throw EQELException(30002, "Invalid pointer");
    const std::int64_t oldSize = BlockSize(pointer);
    void* moved = GetMem(newSize);
    if (oldSize > 0) std::memcpy(moved, pointer, static_cast<std::size_t>(std::min(oldSize, newSize)));
    if (zeroFill && newSize > oldSize) {
      std::memset(static_cast<std::uint8_t*>(moved) + oldSize, 0, static_cast<std::size_t>(newSize - oldSize));
    }
    try {
      FreeAndNillMem(pointer);
    } catch (...) {
      pointer = moved;  // the old block is gone either way; keep the new one
      throw;
    }
    pointer = moved;
  } catch (const std::exception& e) {
    throw EQELException(30014, "ReallocMem error: %s", {e.what()});
  }
}

std::int64_t TQELMemoryManager::BlockSize(const void* pointer) const {
  if (pointer == nullptr) return 0;
  if (!HasHeaderGuard(pointer)) throw EQELException(30005, "Invalid pointer");
  return QELReadLE<std::int64_t>(BlockStart(pointer) + kSizeOffset);
}

std::int64_t TQELMemoryManager::AvailableMemory() {
  const auto available = static_cast<std::int64_t>(QELAvailablePhysicalMemory());
  FAvailablePhysical = available;
  const std::int64_t limit = FMemoryLimit;
  return limit != 0 ? std::min(limit, available) : available;
}

}  // namespace qel
