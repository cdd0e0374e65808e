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
// The slot array grows geometrically (the block moves on every growth), so
// that n inserts cost O(n) copying; sizes are 64-bit and a slot count past
// the int32 ids is refused.

#include <cstdint>

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
  std::uint8_t* SlotData(std::int32_t slot) const;
  // The next (previous) slot holding a record after (before) `slot`, or -1.
  std::int32_t NextLive(std::int32_t slot) const;
  std::int32_t PriorLive(std::int32_t slot) const;
  void Release();

  std::uint8_t* FRecords = nullptr;
  // One bit per slot, least significant first; 1 = free. Bits of slots
  // beyond SlotCount in the last byte are 1 too.
  std::uint8_t* FFreeSlots = nullptr;
  std::int32_t FSlotCount = 0;
  std::int32_t FGrowStep;
  std::int32_t FFirstSlot = 0;
  std::int32_t FLastSlot = 0;
  bool FNoGaps = true;
};

}  // namespace qel
