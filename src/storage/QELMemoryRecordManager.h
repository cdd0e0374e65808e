#pragma once
// TQELMemoryRecordManager: the records of a memory table, held in one block
// of the engine memory manager as an array of slots of RecordBufferSize
// bytes, with a second block of one bit per slot telling which slots are
// free.
//
// A record's id is its slot as int32 in bytes 0..3 (bytes 4..5 are 0). A
// new record takes the slot after the highest one in use; slots freed below
// it are not reused, so natural order is slot order and ids never move.
// While no record was ever deleted from below the top, slot s holds the
// (s+1)-th record and record numbers convert without scanning.
//
// The slots lie in chunks of the engine memory manager that never move:
// the first chunk holds GrowStep slots, the second the power of two at or
// above that, and every further one twice the one before, so that a growth
// about doubles the slots without copying a record, and a slot's chunk
// follows from its number by a bit count. Sizes are 64-bit and a slot
// count past the int32 ids is refused.

#include <bit>
#include <cstdint>
#include <vector>

#include "storage/QELBaseRecordManager.h"

namespace qel {

class TQELMemoryRecordManager final : public TQELBaseRecordManager {
 public:
  // A record size of 0 raises "Invalid record size = 0" (10011); a grow
  // step below 1 is taken as 1.
  TQELMemoryRecordManager(std::int32_t recordSize, std::int32_t growStep);
  // Frees both blocks.
  ~TQELMemoryRecordManager() override;

  void EmptyRecords(std::int32_t sessionID) override;
  // False, with nothing stored, when the slots cannot grow (memory, or
  // more slots than an int32 id can name).
  bool InsertRecord(std::int32_t sessionID, const std::uint8_t* record,
                    TQELRecordID& recordID) override;
  // False for a slot that holds no record.
  bool UpdateRecord(std::int32_t sessionID, const std::uint8_t* record,
                    const TQELRecordID& recordID) override;
  bool DeleteRecord(std::int32_t sessionID, TQELRecordID& recordID) override;
  // Natural (slot) order; the request's index is not consulted. A found
  // record needs a buffer: without one "Error retreiving record" (10019).
  void GetRecord(std::int32_t sessionID, TQELRecordRequest& request) override;
  std::int32_t CompareRecordIDs(const TQELRecordID& a, const TQELRecordID& b) override;
  // The estimated 1-based position of the slot among the records, from
  // where the slot lies between the first and the last one; -1 for a slot
  // holding no record.
  std::int64_t GetRecordsBefore(std::int32_t sessionID, const TQELRecordID& recordID) override;

  // The 1-based record number of slot `slot` in natural order (counting the
  // records in slots 0..slot); -1 outside the slots.
  std::int64_t SlotToPosition(std::int32_t slot) const;
  // The slot of the record at 0-based position `position`; -1 when there
  // is no such record.
  std::int32_t PositionToSlot(std::int64_t position) const;

  // Whether `slot` holds a record.
  bool IsLive(std::int32_t slot) const;
  std::int32_t SlotCount() const { return FSlotCount; }
  std::int32_t FirstSlot() const { return FFirstSlot; }
  std::int32_t LastSlot() const { return FLastSlot; }
  bool NoGaps() const { return FNoGaps; }

  static std::int32_t SlotOf(const TQELRecordID& recordID);
  static TQELRecordID IDOfSlot(std::int32_t slot);

 private:
  // Makes room for slot `slot`; false when it cannot.
  bool Reserve(std::int32_t slot);
  void SetFree(std::int32_t slot, bool isFree);
  std::uint8_t* SlotData(std::int32_t slot) const {
    if (slot < FGrowStep) return FChunks[0] + std::int64_t{slot} * FRecordBufferSize;
    // Past the first chunk the slots count from the second chunk's size,
    // a power of two, so that the chunk is the bit width of that count.
    const std::uint32_t past = static_cast<std::uint32_t>(slot - FGrowStep) + (1u << FSecondShift);
    const int top = std::bit_width(past) - 1;
    const std::int64_t offset = past - (std::uint32_t{1} << top);
    return FChunks[static_cast<std::size_t>(top - FSecondShift + 1)] + offset * FRecordBufferSize;
  }
  // The next (previous) slot holding a record after (before) `slot`, or -1.
  std::int32_t NextLive(std::int32_t slot) const;
  std::int32_t PriorLive(std::int32_t slot) const;
  void Release();

  // Chunk 0 holds slots 0 .. GrowStep - 1, chunk k > 0 the next
  // 2^(SecondShift + k - 1) slots; the last one may be cut short at the
  // largest slot count.
  std::vector<std::uint8_t*> FChunks;
  // One bit per slot, least significant first; 1 = free. Bits of slots
  // beyond SlotCount in the last byte are 1 too.
  std::uint8_t* FFreeSlots = nullptr;
  std::int32_t FSlotCount = 0;
  std::int32_t FGrowStep;
  // The second chunk holds 2^SecondShift slots, at least GrowStep.
  int FSecondShift;
  std::int32_t FFirstSlot = 0;
  std::int32_t FLastSlot = 0;
  bool FNoGaps = true;
};

}  // namespace qel
