#pragma once
// The memory of a PPMd model: one block of `size` bytes that the model never
// leaves. The first eighth is the text area, where the most recent input
// bytes are kept (successors that are not contexts yet point into it); the
// rest is handed out in 12-byte units, the size of one context or of two
// symbol states, through 38 size classes of 1 to 128 units.
//
// Contexts (one unit) come from the top of the units area downwards, state
// arrays from the bottom upwards, freed blocks go to a free list per size
// class. When both ends meet, free blocks are glued together and split
// again, and as a last resort units are taken from the top of the text area.
// A null answer means the memory is exhausted and the model must restart.
//
// Every link inside the block is a 32-bit offset from its start, so the
// layout, and with it the coded stream, is the same on every machine.
// Offset 0 is the first text byte, which no unit can start at, so 0 serves
// as the null link.

#include <cstdint>
#include <cstring>

namespace qel::ppmd {

constexpr std::uint32_t kUnitSize = 12;
constexpr int kSizeClassCount = 38;
constexpr unsigned kMaxClassUnits = 128;

// The units of each size class (1..4 by one, 6..12 by two, 15..24 by three,
// 28..128 by four) and, for n = 1..128 units, the smallest class that holds n.
struct TSizeClasses {
  std::uint8_t Units[kSizeClassCount] = {};
  std::uint8_t ClassFor[kMaxClassUnits] = {};
};

constexpr TSizeClasses MakeSizeClasses() {
  TSizeClasses classes;
  const int runs[4][2] = {{4, 1}, {4, 2}, {4, 3}, {26, 4}};  // {classes, step}
  int index = 0;
  int units = 0;
  for (const auto& run : runs) {
    for (int i = 0; i < run[0]; ++i) {
      units += run[1];
      classes.Units[index++] = static_cast<std::uint8_t>(units);
    }
  }
  int sizeClass = 0;
  for (unsigned n = 1; n <= kMaxClassUnits; ++n) {
    if (classes.Units[sizeClass] < n) ++sizeClass;
    classes.ClassFor[n - 1] = static_cast<std::uint8_t>(sizeClass);
  }
  return classes;
}

inline constexpr TSizeClasses kSizeClasses = MakeSizeClasses();
static_assert(kSizeClasses.Units[kSizeClassCount - 1] == kMaxClassUnits);

class TPpmdSubAllocator {
 public:
  // Bytes the caller must provide after the model memory: one unit that is
  // never free, so that gluing stops at the end of the block.
  static constexpr std::uint32_t kGuardBytes = kUnitSize;

  // Works in `block`, which holds size + kGuardBytes bytes. Nothing in the
  // block needs to be initialised: Reset writes everything that is read.
  TPpmdSubAllocator(std::uint8_t* block, std::uint32_t size);

  // Forgets every allocation: all units free, the text area empty.
  void Reset();

  std::uint8_t* Base() const { return FBase; }
  std::uint32_t Offset(const void* p) const {
    return static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(p) - FBase);
  }

  // The text area: the next byte to write and the limit it must stay below.
  std::uint8_t* Text() const { return FText; }
  std::uint32_t TextOffset() const { return Offset(FText); }
  void SetText(std::uint8_t* text) { FText = text; }
  const std::uint8_t* UnitsStart() const { return FUnitsStart; }

  // One unit for a context, or null when the memory is exhausted.
  void* AllocContext() {
    if (FHiUnit != FLoUnit) return FHiUnit -= kUnitSize;
    if (FFreeHead[0] != 0) return PopFree(0);
    return AllocUnitsRare(0);
  }

  // A block of at least `units` units (1..128), or null.
  void* AllocUnits(unsigned units) {
    const int sizeClass = kSizeClasses.ClassFor[units - 1];
    if (FFreeHead[sizeClass] != 0) return PopFree(sizeClass);
    const std::uint32_t bytes = kSizeClasses.Units[sizeClass] * kUnitSize;
    if (static_cast<std::uint32_t>(FHiUnit - FLoUnit) >= bytes) {
      void* block = FLoUnit;
      FLoUnit += bytes;
      return block;
    }
    return AllocUnitsRare(sizeClass);
  }

  // Makes room for one more unit after `oldUnits` used ones: the same block
  // when its class has room, else a copy in a larger block (null when the
  // memory is exhausted; the old block is then kept).
  void* ExpandUnits(void* block, unsigned oldUnits);
  // Gives back the units beyond `newUnits`; the data may move.
  void* ShrinkUnits(void* block, unsigned oldUnits, unsigned newUnits);
  void FreeUnits(void* block, unsigned units) { PushFree(block, kSizeClasses.ClassFor[units - 1]); }

 private:
  // The first unit of a free block. Stamp 0xFFFF cannot begin a block in
  // use: a context begins with its symbol count (at most 256) and a state
  // array with a frequency byte that never reaches 0xFF.
  struct TFreeBlock {
    std::uint16_t Stamp;
    std::uint16_t Units;
    std::uint32_t Next;
    std::uint32_t GlueNext;  // links the merged blocks while gluing
  };
  static_assert(sizeof(TFreeBlock) == kUnitSize);
  static constexpr std::uint16_t kFreeStamp = 0xFFFF;

  TFreeBlock* BlockAt(std::uint32_t offset) const { return reinterpret_cast<TFreeBlock*>(FBase + offset); }

  void PushFree(void* p, int sizeClass) {
    auto* block = static_cast<TFreeBlock*>(p);
    block->Stamp = kFreeStamp;
    block->Units = kSizeClasses.Units[sizeClass];
    block->Next = FFreeHead[sizeClass];
    FFreeHead[sizeClass] = Offset(block);
  }
  void* PopFree(int sizeClass) {
    TFreeBlock* block = BlockAt(FFreeHead[sizeClass]);
    FFreeHead[sizeClass] = block->Next;
    return block;
  }

  void* AllocUnitsRare(int sizeClass);
  void SplitBlock(void* block, int oldClass, int newClass);
  void PushFreeUnits(std::uint8_t* p, unsigned units);
  void GlueFreeBlocks();

  std::uint8_t* FBase;
  std::uint32_t FSize;
  std::uint8_t* FText = nullptr;
  std::uint8_t* FUnitsStart = nullptr;
  std::uint8_t* FLoUnit = nullptr;
  std::uint8_t* FHiUnit = nullptr;
  // Failed rare allocations left before free blocks are glued again.
  unsigned FGlueCountdown = 0;
  std::uint32_t FFreeHead[kSizeClassCount] = {};
};

}  // namespace qel::ppmd
