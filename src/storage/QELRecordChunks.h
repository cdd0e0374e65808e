#pragma once
// TQELRecordChunks: fixed-size records kept in memory, for the record
// managers of memory and temporary tables.
//
// The records lie in chunks of the engine memory manager that never move:
// growing adds a chunk and copies nothing, and a record stays where it was
// written. Chunk 0 holds FirstCount records and chunk k > 0 holds
// Unit x 2^(k-1), so that each growth about doubles the capacity and a
// record's chunk follows from its index by a bit count (after a shift when
// Unit is a power of two, else after one division). The chunk that reaches
// the caller's limit is cut short; the store grows no further after it.
// Sizes and offsets are 64-bit.

#include <bit>
#include <cstdint>
#include <vector>

namespace qel {

class TQELRecordChunks {
 public:
  // Makes no chunk yet. `firstCount` and `unit` are at least 1.
  TQELRecordChunks(std::int32_t recordSize, std::int64_t firstCount, std::int64_t unit);
  // Frees every chunk.
  ~TQELRecordChunks();
  TQELRecordChunks(const TQELRecordChunks&) = delete;
  TQELRecordChunks& operator=(const TQELRecordChunks&) = delete;

  // Records the chunks have room for.
  std::int64_t Capacity() const { return FCapacity; }
  // Adds the next chunk, cut short at `limit` records. False, with nothing
  // added, when the capacity already reaches the limit or the last chunk
  // was cut short; raises when memory runs out, with the chunks as they
  // were.
  bool Grow(std::int64_t limit);
  // Frees the chunk added last, for a caller whose own growth beside it
  // failed.
  void DropLastChunk();
  // Frees every chunk; the capacity is 0 again.
  void Release();

  // Record `index`, below the capacity.
  std::uint8_t* At(std::int64_t index) const {
    if (index < FFirstCount) return FChunks[0] + index * FRecordSize;
    const auto past = static_cast<std::uint64_t>(index - FFirstCount);
    if (FUnitShift >= 0) {
      // Counted from Unit, a power of two, the index past the first chunk
      // has its chunk in its bit width and its offset below its top bit.
      const std::uint64_t counted = past + FUnit;
      const int top = std::bit_width(counted) - 1;
      return FChunks[static_cast<std::size_t>(top - FUnitShift + 1)] +
             static_cast<std::int64_t>(counted - (std::uint64_t{1} << top)) * FRecordSize;
    }
    return AtDividing(past);
  }

 private:
  // At for a Unit that is not a power of two: `past` counts from the
  // second chunk. Out of line, so that the shifting path stays short.
  std::uint8_t* AtDividing(std::uint64_t past) const;
  // The records the first `chunks` chunks hold when none is cut short.
  std::int64_t FullCapacity(std::size_t chunks) const;

  std::vector<std::uint8_t*> FChunks;
  std::int64_t FRecordSize;
  std::int64_t FFirstCount;
  std::uint64_t FUnit;
  // log2 of Unit when it is a power of two, else -1.
  int FUnitShift;
  std::int64_t FCapacity = 0;
  bool FCutShort = false;
};

}  // namespace qel
