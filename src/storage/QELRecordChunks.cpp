// TQELRecordChunks: growing by a chunk at a time, and giving chunks back.

#include "storage/QELRecordChunks.h"

#include <algorithm>

#include "memory/QELMemory.h"

namespace qel {

namespace {

void FreeChunk(std::uint8_t* chunk) {
  void* block = chunk;
  try {
    QELMemoryManager().FreeAndNillMem(block);
  } catch (...) {
    // Records are written only within their chunk; a report of damage
    // could not be given from a destructor anyway.
  }
}

}  // namespace

TQELRecordChunks::TQELRecordChunks(std::int32_t recordSize, std::int64_t firstCount,
                                   std::int64_t unit)
    : FRecordSize(recordSize),
      FFirstCount(std::max<std::int64_t>(firstCount, 1)),
      FUnit(static_cast<std::uint64_t>(std::max<std::int64_t>(unit, 1))),
      FUnitShift(std::has_single_bit(FUnit) ? std::countr_zero(FUnit) : -1) {}

TQELRecordChunks::~TQELRecordChunks() { Release(); }

std::int64_t TQELRecordChunks::FullCapacity(std::size_t chunks) const {
  if (chunks == 0) return 0;
  return FFirstCount + static_cast<std::int64_t>((FUnit << (chunks - 1)) - FUnit);
}

std::uint8_t* TQELRecordChunks::AtDividing(std::uint64_t past) const {
  const int chunk = std::bit_width(past / FUnit + 1);
  // Chunks 1 .. chunk - 1 hold Unit x (2^(chunk-1) - 1) records together.
  const std::uint64_t before = (FUnit << (chunk - 1)) - FUnit;
  return FChunks[static_cast<std::size_t>(chunk)] +
         static_cast<std::int64_t>(past - before) * FRecordSize;
}

bool TQELRecordChunks::Grow(std::int64_t limit) {
  if (FCutShort || FCapacity >= limit) return false;
  const std::int64_t fullSize = FullCapacity(FChunks.size() + 1) - FCapacity;
  const std::int64_t count = std::min(fullSize, limit - FCapacity);
  // Room in the list first, so that a chunk once allocated is never lost.
  FChunks.reserve(FChunks.size() + 1);
  FChunks.push_back(static_cast<std::uint8_t*>(QELMemoryManager().GetMem(count * FRecordSize)));
  FCapacity += count;
  FCutShort = count < fullSize;
  return true;
}

void TQELRecordChunks::DropLastChunk() {
  if (FChunks.empty()) return;
  FreeChunk(FChunks.back());
  FChunks.pop_back();
  // Only the last chunk can have been cut short.
  FCapacity = FullCapacity(FChunks.size());
  FCutShort = false;
}

void TQELRecordChunks::Release() {
  std::vector<std::uint8_t*> chunks;
  chunks.swap(FChunks);
  FCapacity = 0;
  FCutShort = false;
  for (std::uint8_t* chunk : chunks) FreeChunk(chunk);
}

}  // namespace qel
