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
// The slots lie in record chunks that never move (TQELRecordChunks): the
// first chunk holds GrowStep slots, the second the power of two at or above
// that, and every further one twice the one before, so that a growth about
// doubles the slots without copying a record, and a slot's chunk follows
// from its number by a shift and a bit count. Sizes are 64-bit and a slot
// count past the int32 ids is refused.

#include <cstdint>

#include "storage/QELBaseRecordManager.h"
#include "storage/QELRecordChunks.h"

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
  std::int32_t SlotCount() const { return static_cast<std::int32_t>(FSlots.Capacity()); }
  std::int32_t FirstSlot() const { return FFirstSlot; }
  std::int32_t LastSlot() const { return FLastSlot; }
  bool NoGaps() const { return FNoGaps; }

  static std::int32_t SlotOf(const TQELRecordID& recordID);
  static TQELRecordID IDOfSlot(std::int32_t slot);

 private:
  // Makes room for slot `slot`; false when it cannot.
  bool Reserve(std::int32_t slot);
  void SetFree(std::int32_t slot, bool isFree);
  // The next (previous) slot holding a record after (before) `slot`, or -1.
  std::int32_t NextLive(std::int32_t slot) const;
  std::int32_t PriorLive(std::int32_t slot) const;
  void Release();

  // The last chunk may be cut short at the largest slot count.
  TQELRecordChunks FSlots;
  // One bit per slot, least significant first; 1 = free. Bits of slots
  // beyond SlotCount in the last byte are 1 too.
  std::uint8_t* FFreeSlots = nullptr;
  std::int32_t FFirstSlot = 0;
  std::int32_t FLastSlot = 0;
  bool FNoGaps = true;
};

}  // namespace qel
