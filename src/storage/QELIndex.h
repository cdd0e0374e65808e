#pragma once
// TQELIndex: what table data and the search machinery ask of an index of a
// table, whatever its storage. The B-tree record index implements it all;
// the base class only keeps the index definition.
//
// Where an operation works on a cursor's record it takes the session, the
// memory record and its record id instead, so that the index does not
// depend on the cursor.

#include <cstdint>
#include <memory>
#include <vector>

#include "storage/QELIndexDefs.h"
#include "storage/QELKeyPath.h"
#include "storage/QELRecordRequest.h"

namespace qel {

// The state of one range scan: where it stands, where it ends, and whether
// it has begun and in which direction.
struct TQELRangeScanState {
  TQELKeyPath Path;
  TQELKeyPath EndPath;
  bool Started = false;
  bool Forward = true;
  // Until EndPath is located, an index may tell the range's end by the keys
  // of its entries: then EndKey and EndFullKey hold the key of the end
  // condition (of type EndType), in the index's layout, compared over
  // EndFieldCount leading columns and strings up to EndLength, and
  // EntriesChecked counts the entries told so.
  bool EndLocated = true;
  TQELSearchConditionType EndType = sctEqual;
  std::int32_t EntriesChecked = 0;
  std::vector<std::uint8_t> EndKey, EndFullKey;
  std::int32_t EndFieldCount = 0;
  std::int32_t EndLength = -1;
};

// Bits over index positions (the position numbers of entries), as a
// cursor's record bitmap keeps them when it follows an index.
class TQELIndexPositionBits {
 public:
  virtual ~TQELIndexPositionBits() = default;
  virtual bool GetBit(std::int64_t position) const = 0;
  virtual void SetBit(std::int64_t position, bool value) = 0;
};

class TQELIndex {
 public:
  virtual ~TQELIndex() = default;
  TQELIndex(const TQELIndex&) = delete;
  TQELIndex& operator=(const TQELIndex&) = delete;

  const TQELIndexDef& IndexDef() const { return FIndexDef; }

  // Slot order of the operations.
  // Takes a copy of the definition; the storage kind then builds the index
  // and, with `fillFromRecords`, enters every record in natural order.
  virtual void CreateIndex(std::int32_t sessionID, const TQELIndexDef& indexDef,
                           bool fillFromRecords);
  virtual void DropIndex(std::int32_t sessionID) = 0;
  virtual void EmptyIndex(std::int32_t sessionID) = 0;
  // Replaces the definition by a copy of `indexDef` for an index that exists.
  virtual void OpenIndex(const TQELIndexDef& indexDef);
  virtual void RebuildIndex(std::int32_t sessionID) = 0;
  virtual void GetRecordByIndex(std::int32_t sessionID, TQELRecordRequest& request,
                                std::int64_t stamp, TQELIndexPositionCache* cache) = 0;
  virtual void GetRecordByKey(std::int32_t sessionID, TQELRecordRequest& request,
                              std::int64_t stamp, TQELIndexPositionCache* cache) = 0;
  virtual std::unique_ptr<TQELKeyPath> CreateKeyPath();
  virtual void FreeKeyPath(std::unique_ptr<TQELKeyPath>& path);
  virtual bool FindRecordEntry(std::int32_t sessionID, const TQELRecordID& recordID,
                               TQELKeyPath& path, const std::uint8_t* record) = 0;
  virtual int CompareKeyPaths(const TQELKeyPath* a, const TQELKeyPath* b);
  virtual std::int64_t GetRecNo(std::int32_t sessionID, const TQELRecordID& recordID,
                                const std::uint8_t* record) = 0;
  virtual void SetRecNo(std::int32_t sessionID, TQELRecordID& recordID, std::int64_t recNo) = 0;
  virtual void RemoveDuplicates(std::int32_t sessionID, TQELIndexPositionBits& bits,
                                std::int32_t keyFieldCount) = 0;
  virtual std::unique_ptr<TQELRangeScanState> CreateRangeScan();
  virtual void FreeRangeScan(std::unique_ptr<TQELRangeScanState>& state);
  virtual bool RangeScanNext(std::int32_t sessionID, bool first, TQELRangeScanState* state,
                             TQELRecordID& recordID, const std::uint8_t* record,
                             const TQELIndexCondition* endCondition,
                             const TQELIndexCondition* startCondition, bool forward) = 0;
  virtual int CompareRecordKeys(const std::uint8_t* recordA, const std::uint8_t* recordB,
                                std::int32_t keyFieldCount) = 0;
  // -1 for a lower bound ('>' and '>='), +1 for an upper bound ('<' and
  // '<='), 0 otherwise.
  virtual int ConditionOrder(const TQELIndexCondition& condition);
  virtual std::int64_t EstimateRangeCount(std::int32_t sessionID, const TQELIndexCondition* a,
                                          const TQELIndexCondition* b,
                                          std::int64_t recordCount) = 0;
  virtual bool IsUnique(std::int32_t sessionID, const std::uint8_t* record) = 0;
  virtual bool IsUniqueOnUpdate(std::int32_t sessionID, const std::uint8_t* oldRecord,
                                const std::uint8_t* newRecord) = 0;
  virtual void InsertKey(std::int32_t sessionID, const std::uint8_t* record,
                         const TQELRecordID& recordID) = 0;
  virtual void DeleteKey(std::int32_t sessionID, const std::uint8_t* record,
                         const TQELRecordID& recordID) = 0;
  virtual void UpdateKey(std::int32_t sessionID, const std::uint8_t* oldRecord,
                         const std::uint8_t* newRecord, const TQELRecordID& recordID,
                         bool removeOld) = 0;
  virtual std::int32_t MaxEntriesPerPage() = 0;
  virtual void GetRecordIDAtPath(std::int32_t sessionID, const TQELKeyPath& path,
                                 TQELRecordID& recordID) = 0;
  // Bytes of an entry's key (the cost of a search counts entries of this
  // size plus the record id); 0 before the index is created or opened.
  virtual std::int32_t KeySize() const = 0;
  // The position number of an entry (monotone in key order), by which
  // record bitmaps in index-position space are indexed, and the record id
  // at a position number; false when no entry has that number.
  virtual std::int64_t PositionNumber(const TQELKeyPath& path) = 0;
  virtual bool RecordIDAtPositionNumber(std::int32_t sessionID, std::int64_t number,
                                        TQELRecordID& recordID) = 0;

 protected:
  TQELIndex() = default;

  TQELIndexDef FIndexDef;
};

}  // namespace qel
