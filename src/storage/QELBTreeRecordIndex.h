#pragma once
// TQELBTreeRecordIndex: a table index stored as a B+-tree whose entries map
// the key of a record's indexed fields to the record's id.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "pagecache/QELPageManager.h"
#include "storage/QELBTreeCore.h"
#include "storage/QELBTreeKeyRef.h"
#include "storage/QELFieldDefs.h"
#include "storage/QELIndex.h"

namespace qel {

class TQELBTreeRecordIndex final : public TQELIndex {
 public:
  // Pages come from `pageManager`; `fieldDefs` give the record layout;
  // `reader` reads records (for truncated keys, for handing whole records
  // to a walk, and for filling a new index). All must outlive the index.
  TQELBTreeRecordIndex(TQELPageManager& pageManager, const TQELFieldDefs& fieldDefs,
                       TQELRecordReader* reader);

  void CreateIndex(std::int32_t sessionID, const TQELIndexDef& indexDef,
                   bool fillFromRecords) override;
  void DropIndex(std::int32_t sessionID) override;
  void EmptyIndex(std::int32_t sessionID) override;
  void OpenIndex(const TQELIndexDef& indexDef) override;
  void RebuildIndex(std::int32_t sessionID) override;
  void GetRecordByIndex(std::int32_t sessionID, TQELRecordRequest& request, std::int64_t stamp,
                        TQELIndexPositionCache* cache) override;
  void GetRecordByKey(std::int32_t sessionID, TQELRecordRequest& request, std::int64_t stamp,
                      TQELIndexPositionCache* cache) override;
  bool FindRecordEntry(std::int32_t sessionID, const TQELRecordID& recordID, TQELKeyPath& path,
                       const std::uint8_t* record) override;
  std::int64_t GetRecNo(std::int32_t sessionID, const TQELRecordID& recordID,
                        const std::uint8_t* record) override;
  void SetRecNo(std::int32_t sessionID, TQELRecordID& recordID, std::int64_t recNo) override;
  void RemoveDuplicates(std::int32_t sessionID, TQELIndexPositionBits& bits,
                        std::int32_t keyFieldCount) override;
  bool RangeScanNext(std::int32_t sessionID, bool first, TQELRangeScanState* state,
                     TQELRecordID& recordID, const std::uint8_t* record,
                     const TQELIndexCondition* endCondition,
                     const TQELIndexCondition* startCondition, bool forward) override;
  int CompareRecordKeys(const std::uint8_t* recordA, const std::uint8_t* recordB,
                        std::int32_t keyFieldCount) override;
  std::int64_t EstimateRangeCount(std::int32_t sessionID, const TQELIndexCondition* a,
                                  const TQELIndexCondition* b, std::int64_t recordCount) override;
  bool IsUnique(std::int32_t sessionID, const std::uint8_t* record) override;
  bool IsUniqueOnUpdate(std::int32_t sessionID, const std::uint8_t* oldRecord,
                        const std::uint8_t* newRecord) override;
  void InsertKey(std::int32_t sessionID, const std::uint8_t* record,
                 const TQELRecordID& recordID) override;
  void DeleteKey(std::int32_t sessionID, const std::uint8_t* record,
                 const TQELRecordID& recordID) override;
  void UpdateKey(std::int32_t sessionID, const std::uint8_t* oldRecord,
                 const std::uint8_t* newRecord, const TQELRecordID& recordID,
                 bool removeOld) override;
  std::int32_t MaxEntriesPerPage() override;
  void GetRecordIDAtPath(std::int32_t sessionID, const TQELKeyPath& path,
                         TQELRecordID& recordID) override;
  std::int32_t KeySize() const override { return FKeyRef ? FKeyRef->KeySize() : 0; }
  std::int64_t PositionNumber(const TQELKeyPath& path) override;
  bool RecordIDAtPositionNumber(std::int32_t sessionID, std::int64_t number,
                                TQELRecordID& recordID) override;

  // Positions `path` on the first entry satisfying the condition going
  // forward, or on the last one going backward; false when none does.
  // The record id of the entry found goes to `recordID` when it is given.
  bool LocateCondition(std::int32_t sessionID, const TQELIndexCondition& condition, bool forward,
                       TQELKeyPath& path, TQELRecordID* recordID = nullptr);

  // For checks and tests: the tree and its key layout (null before the
  // index is created or opened).
  TQELBTreeCore* Tree() const { return FTree.get(); }
  TQELRecordKeyRef* KeyRef() const { return FKeyRef.get(); }

 private:
  // Builds the key reference and the tree for the current definition.
  void Prepare();
  TQELBTreeCore& Tree(std::int32_t nativeError);
  // Key and full key of a record into the probe buffers.
  TQELBTreeProbe RecordProbe(const std::uint8_t* record, const std::uint8_t* ref);
  TQELBTreeProbe ConditionProbe(const TQELIndexCondition& condition);
  // Moves to the next or prior entry and reads its record into the request.
  void FinishStep(std::int32_t sessionID, TQELRecordRequest& request, bool found, TQELKeyPath& path,
                  std::int64_t stamp, TQELIndexPositionCache* cache);
  bool StartAtEnd(std::int32_t sessionID, TQELRecordRequest& request, TQELKeyPath& path,
                  bool& handled);
  void FillFromRecords(std::int32_t sessionID);
  // The number of entries from `path` (the first to meet `lower`) on that
  // meet `upper`, when they are few; nothing when there are more or no
  // upper bound.
  std::optional<std::int64_t> CountShortRange(std::int32_t sessionID, TQELKeyPath path,
                                              const TQELIndexCondition* lower,
                                              const TQELIndexCondition* upper);
  // A range scan's end: where it lies, or the end condition its first
  // entries are told by; false when the range holds nothing.
  bool StartRangeEnd(std::int32_t sessionID, const TQELIndexCondition* end, bool endIsStart,
                     bool forward, TQELRangeScanState& state);
  // The last entry of the range in the scan's direction (the end condition
  // located backward), or the tree's end without a condition.
  bool LocateEnd(std::int32_t sessionID, const TQELIndexCondition* end, bool forward,
                 TQELKeyPath& path);
  // Reads the entry at `path` into the scratch key and ref; whether it
  // meets a condition of `type` on `probe`.
  bool EntryMeets(std::int32_t sessionID, const TQELKeyPath& path, const TQELBTreeProbe& probe,
                  TQELSearchConditionType type);
  // Reads the entry the scan stands on; true, with its record id, when its
  // key meets the range's end condition.
  bool EntryWithinRangeEnd(std::int32_t sessionID, const TQELRangeScanState& state,
                           TQELRecordID& recordID);

  TQELPageManager& FPageManager;
  const TQELFieldDefs& FFieldDefs;
  TQELRecordReader* FReader;
  std::unique_ptr<TQELRecordKeyRef> FKeyRef;
  std::unique_ptr<TQELBTreeCore> FTree;
  // Scratch space sized once per definition.
  std::vector<std::uint8_t> FKey, FFullKey, FOtherKey, FOtherFullKey, FRef;
};

}  // namespace qel
