#pragma once
// TQELMemoryManager: the engine's allocator for variable-size buffers.
//
// Every block carries a header with its size and a guard word in front of
// the user data and a second guard word after it, so that a block knows its
// size, a foreign pointer is refused, and a write past the end of a block is
// reported when the block is freed. The manager keeps the total of the bytes
// in use and can cap it.
//
// Block layout (user size n): int64 size, a byte naming how the block was
// obtained, three spare bytes, the header guard 0xACCACCAC, the n user bytes
// (16-byte aligned), and the trailer guard 0xACCEACCE.

#include <atomic>
#include <cstdint>

namespace qel {

class TQELMemoryManager {
 public:
  // How a block's memory was obtained, recorded in its header so that it is
  // released the same way.
  enum TMethod : std::uint8_t { mmRuntimeHeap = 0, mmVirtualPages = 1, mmGlobalHeap = 2 };

  static constexpr std::uint32_t kHeaderGuard = 0xACCACCAC;
  static constexpr std::uint32_t kTrailerGuard = 0xACCEACCE;
  static constexpr std::size_t kHeaderSize = 16;
  static constexpr std::size_t kOverhead = kHeaderSize + 4;

  // A new block of `size` bytes with undefined contents.
  void* GetMem(std::int64_t size);
  // A new block of `size` zero bytes.
  void* AllocMem(std::int64_t size);
  // Frees the block and sets the pointer to null. A block whose trailer was
  // overwritten is still freed, then "Memory overrun detected" is raised.
  void FreeAndNillMem(void*& pointer);
  // Replaces the block by a new one of `newSize` bytes holding the old bytes
  // (the block always moves); with zeroFill the new bytes are zero.
  void ReallocMem(void*& pointer, bool zeroFill, std::int64_t newSize);
  void ReallocMemZero(void*& pointer, std::int64_t newSize) { ReallocMem(pointer, true, newSize); }
  // The user size of a block; 0 for null.
  std::int64_t BlockSize(const void* pointer) const;
  // Memory other parts may plan with: the available physical memory, or
  // the limit when that is lower.
  std::int64_t AvailableMemory();

  std::int64_t MemoryLimit() const { return FMemoryLimit; }
  void SetMemoryLimit(std::int64_t limit) { FMemoryLimit = limit; }
  std::int64_t AllocatedBytes() const { return FAllocatedBytes; }
  std::int64_t AvailablePhysical() const { return FAvailablePhysical; }

  // Fault injection for tests: the `count`-th block asked for from now on
  // is refused as if memory were exhausted (30015), once; 0 turns it off.
  void FailAllocationAfter(std::int64_t count) { FFailCountdown = count; }
  // Whether the refusal asked for is still to come.
  bool AllocationFailurePending() const { return FFailCountdown > 0; }
  // Blocks asked for since the process started.
  std::int64_t Allocations() const { return FAllocations; }

 private:
  void* Obtain(std::int64_t size);
  static void Release(std::uint8_t* block, std::uint8_t method, std::int64_t size);
  static std::uint8_t* BlockStart(const void* pointer);
  static bool HasHeaderGuard(const void* pointer);

  std::atomic<std::int64_t> FMemoryLimit{0};
  std::atomic<std::int64_t> FAllocatedBytes{0};
  std::atomic<std::int64_t> FAvailablePhysical{0};
  std::atomic<std::int64_t> FFailCountdown{0};
  std::atomic<std::int64_t> FAllocations{0};
};

// The process-wide memory manager.
TQELMemoryManager& QELMemoryManager();

}  // namespace qel
