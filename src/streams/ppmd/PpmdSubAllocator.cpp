// The PPMd suballocator's slow paths: resetting the block, splitting,
// growing and shrinking blocks, and gluing free blocks when memory is short.

#include "streams/ppmd/PpmdSubAllocator.h"

namespace qel::ppmd {

TPpmdSubAllocator::TPpmdSubAllocator(std::uint8_t* block, std::uint32_t size) : FBase(block), FSize(size) {}

void TPpmdSubAllocator::Reset() {
  for (std::uint32_t& head : FFreeHead) head = 0;
  FText = FBase;
  FHiUnit = FBase + FSize;
  // Seven eighths of the block, in whole units, for the units area.
  const std::uint32_t unitsBytes = kUnitSize * (FSize / 8 / kUnitSize * 7);
  FLoUnit = FUnitsStart = FHiUnit - unitsBytes;
  FGlueCountdown = 0;
  // The guard unit after the block never looks free.
  BlockAt(FSize)->Stamp = 0;
}

void* TPpmdSubAllocator::AllocUnitsRare(int sizeClass) {
  if (FGlueCountdown == 0) {
    FGlueCountdown = 255;
    GlueFreeBlocks();
    if (FFreeHead[sizeClass] != 0) return PopFree(sizeClass);
  }
  for (int larger = sizeClass + 1; larger < kSizeClassCount; ++larger) {
    if (FFreeHead[larger] != 0) {
      void* block = PopFree(larger);
      SplitBlock(block, larger, sizeClass);
      return block;
    }
  }
  --FGlueCountdown;
  // Last resort: the top of the text area, as long as some text room stays.
  const std::uint32_t bytes = kSizeClasses.Units[sizeClass] * kUnitSize;
  if (static_cast<std::uint32_t>(FUnitsStart - FText) > bytes) return FUnitsStart -= bytes;
  return nullptr;
}

// Keeps the first units of `block` for class newClass and frees the rest:
// as one block when its size is a class, else as two.
void TPpmdSubAllocator::SplitBlock(void* block, int oldClass, int newClass) {
  unsigned rest = kSizeClasses.Units[oldClass] - kSizeClasses.Units[newClass];
  std::uint8_t* p = static_cast<std::uint8_t*>(block) + kSizeClasses.Units[newClass] * kUnitSize;
  int restClass = kSizeClasses.ClassFor[rest - 1];
  if (kSizeClasses.Units[restClass] != rest) {
    --restClass;
    PushFree(p, restClass);
    p += kSizeClasses.Units[restClass] * kUnitSize;
    rest -= kSizeClasses.Units[restClass];
  }
  PushFree(p, kSizeClasses.ClassFor[rest - 1]);
}

void* TPpmdSubAllocator::ExpandUnits(void* block, unsigned oldUnits) {
  const int oldClass = kSizeClasses.ClassFor[oldUnits - 1];
  if (oldClass == kSizeClasses.ClassFor[oldUnits]) return block;
  void* grown = AllocUnits(oldUnits + 1);
  if (grown != nullptr) {
    std::memcpy(grown, block, oldUnits * kUnitSize);
    PushFree(block, oldClass);
  }
  return grown;
}

void* TPpmdSubAllocator::ShrinkUnits(void* block, unsigned oldUnits, unsigned newUnits) {
  const int oldClass = kSizeClasses.ClassFor[oldUnits - 1];
  const int newClass = kSizeClasses.ClassFor[newUnits - 1];
  if (oldClass == newClass) return block;
  if (FFreeHead[newClass] != 0) {
    // A free block of the smaller class exists: move there and free the old
    // one whole, which keeps large blocks together.
    void* smaller = PopFree(newClass);
    std::memcpy(smaller, block, newUnits * kUnitSize);
    PushFree(block, oldClass);
    return smaller;
  }
  SplitBlock(block, oldClass, newClass);
  return block;
}

// Frees `units` units at p as blocks of the largest class, then the rest as
// a class block plus, when the rest is no class size, a 1..3-unit block.
void TPpmdSubAllocator::PushFreeUnits(std::uint8_t* p, unsigned units) {
  for (; units > kMaxClassUnits; units -= kMaxClassUnits, p += kMaxClassUnits * kUnitSize)
    PushFree(p, kSizeClassCount - 1);
  int sizeClass = kSizeClasses.ClassFor[units - 1];
  if (kSizeClasses.Units[sizeClass] != units) {
    --sizeClass;
    const unsigned tail = units - kSizeClasses.Units[sizeClass];
    PushFree(p + (units - tail) * kUnitSize, static_cast<int>(tail) - 1);
  }
  PushFree(p, sizeClass);
}

// Merges every free block with the free blocks that follow it in memory and
// files the merged runs again by size. Blocks are taken from the lists into
// one chain (the last taken first), each block in chain order absorbs the
// free blocks right above it, and absorbed blocks lose their stamp.
void TPpmdSubAllocator::GlueFreeBlocks() {
  // The unallocated gap between the two ends holds stale bytes: make sure
  // nothing merges into it.
  if (FLoUnit != FHiUnit) BlockAt(Offset(FLoUnit))->Stamp = 0;

  std::uint32_t chain = 0;
  for (int sizeClass = 0; sizeClass < kSizeClassCount; ++sizeClass) {
    while (FFreeHead[sizeClass] != 0) {
      TFreeBlock* block = static_cast<TFreeBlock*>(PopFree(sizeClass));
      block->Next = chain;
      chain = Offset(block);
    }
  }

  for (std::uint32_t at = chain; at != 0; at = BlockAt(at)->Next) {
    TFreeBlock* block = BlockAt(at);
    if (block->Stamp != kFreeStamp) continue;
    for (;;) {
      TFreeBlock* next = BlockAt(at + block->Units * kUnitSize);
      if (next->Stamp != kFreeStamp || block->Units + next->Units >= 0x10000u) break;
      block->Units = static_cast<std::uint16_t>(block->Units + next->Units);
      next->Stamp = 0;
    }
  }

  // Filing a merged block writes headers over the blocks it absorbed, whose
  // chain links would then be lost: link the survivors through their own
  // GlueNext word first, then file them.
  std::uint32_t survivors = 0;
  std::uint32_t* tail = &survivors;
  for (std::uint32_t at = chain; at != 0; at = BlockAt(at)->Next) {
    TFreeBlock* block = BlockAt(at);
    if (block->Stamp != kFreeStamp) continue;
    *tail = at;
    tail = &block->GlueNext;
  }
  *tail = 0;
  for (std::uint32_t at = survivors; at != 0;) {
    TFreeBlock* block = BlockAt(at);
    at = block->GlueNext;
    PushFreeUnits(reinterpret_cast<std::uint8_t*>(block), block->Units);
  }
}

}  // namespace qel::ppmd
