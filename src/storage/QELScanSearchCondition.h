#pragma once
// Scan search conditions: what a search asks of each record, either as an
// expression that must hold for the record or as an index condition, a
// comparison of the record's key in one index with a search key. Table data
// gathers a cursor's restrictions into an array of them, simplifies the
// array (merging index conditions on the same index, which may prove the
// search empty before any record is read), chooses an access path
// (QELAccessPath.h) and tests the candidate records against the rest.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "storage/QELIndex.h"
#include "storage/QELRecordRequest.h"
#include "storage/QELTableCursor.h"

namespace qel {

// The live index object of an index id; raises when there is none.
using TQELIndexLookup = std::function<TQELIndex&(std::int32_t indexID)>;

class TQELScanSearchCondition {
 public:
  TQELScanSearchCondition() = default;
  // A copy owns a copy of an owned key and borrows a borrowed one.
  TQELScanSearchCondition(const TQELScanSearchCondition& other);
  TQELScanSearchCondition& operator=(const TQELScanSearchCondition& other);
  TQELScanSearchCondition(TQELScanSearchCondition&& other) noexcept;
  TQELScanSearchCondition& operator=(TQELScanSearchCondition&& other) noexcept;
  ~TQELScanSearchCondition() = default;

  // An index condition: the record's key in index `indexID`, over its first
  // `keyFieldCount` columns (0 or less: all), compared with `key` by `type`.
  // The key is copied unless `borrowKey`, when the caller keeps it alive for
  // the life of the condition and its copies.
  static TQELScanSearchCondition ForIndex(std::int32_t indexID, TQELSearchConditionType type,
                                          const std::uint8_t* key, std::int32_t keySize,
                                          std::int32_t keyFieldCount, bool borrowKey = false);
  static TQELScanSearchCondition ForExpression(TQELRecordFilter* expression);

  bool IsExpression() const { return Expression != nullptr; }
  bool IsIndexCondition() const { return Expression == nullptr && IndexID >= 0; }
  // An expression condition, or an index condition with a known comparison
  // and, unless it compares nothing, a key.
  bool IsValid() const;

  // The search key in memory-record layout: the values at the fields'
  // MemoryOffset.
  const std::uint8_t* Key() const { return FKey; }
  std::int32_t KeySize() const { return FKeySize; }
  bool KeyBorrowed() const { return FKeyBorrowed; }
  // Replaces the key: a copy of `keySize` bytes of `key`, or `key` itself
  // when borrowed. A null key, or a copy of no bytes, leaves no key.
  void SetKey(const std::uint8_t* key, std::int32_t keySize, bool borrow);

  // The part an index positions and estimates by.
  TQELIndexCondition AsIndexCondition() const {
    return {ConditionType, FKey, KeyFieldCount, PartialKey};
  }

  // Not owned: the expression belongs to the SQL layer or the cursor.
  TQELRecordFilter* Expression = nullptr;
  TQELSearchConditionType ConditionType = sctNone;
  std::int32_t KeyFieldCount = 0;
  std::int32_t IndexID = -1;
  // Derived from an expression only to serve as an access path; dropped
  // when not chosen, since the expression still decides.
  bool IndexOnly = false;
  // String columns compare only as many characters as the search value has.
  bool PartialKey = false;
  // Kept for the SQL layer's analysis of the expression; opaque here.
  std::vector<void*> ExpressionNodes;
  std::vector<void*> NodeValues;

 private:
  const std::uint8_t* FKey = nullptr;
  std::int32_t FKeySize = 0;
  bool FKeyBorrowed = false;
  std::vector<std::uint8_t> FOwnedKey;
};

// An ordered array of owned conditions.
class TQELScanSearchConditionArray {
 public:
  TQELScanSearchConditionArray() = default;
  TQELScanSearchConditionArray(const TQELScanSearchConditionArray& other);
  TQELScanSearchConditionArray& operator=(const TQELScanSearchConditionArray& other);
  TQELScanSearchConditionArray(TQELScanSearchConditionArray&&) noexcept = default;
  TQELScanSearchConditionArray& operator=(TQELScanSearchConditionArray&&) noexcept = default;

  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  TQELScanSearchCondition& operator[](std::int32_t index) {
    return *FItems[static_cast<std::size_t>(index)];
  }
  const TQELScanSearchCondition& operator[](std::int32_t index) const {
    return *FItems[static_cast<std::size_t>(index)];
  }

  // Appends a copy of `condition` and answers its position. An invalid
  // condition raises "Invalid scan condition - indexID = %d, count = %d"
  // (10388) with its index id and the array's count.
  std::int32_t Add(const TQELScanSearchCondition& condition);
  std::int32_t Add(TQELScanSearchCondition&& condition);
  // Appends an expression condition.
  std::int32_t AddExpression(TQELRecordFilter* expression);
  // Removes the condition at `index`; a position outside the array raises
  // "Invalid item number - ItemNo = %d, ItemCount = %d" (10413), an empty
  // slot "Nil pointer occured" (10414).
  void Delete(std::int32_t index);
  void Clear() { FItems.clear(); }

  std::int32_t IndexConditionCount() const;
  // Deletes every IndexOnly index condition other than those at `first` and
  // `second` (-1: none) and moves both positions to where their conditions
  // are afterwards.
  void DropUnusedIndexConditions(std::int32_t& first, std::int32_t& second);

 private:
  std::int32_t Append(std::unique_ptr<TQELScanSearchCondition> condition);

  std::vector<std::unique_ptr<TQELScanSearchCondition>> FItems;
};

// Whether two index conditions on the same index are merged. Not when one
// is '=' and the other '<' or '>' and the '=' covers fewer key fields (the
// '=' then fixes a prefix inside the other's bound, which no single
// condition expresses), nor when either compares nothing or only a prefix
// of its string value (prefix bounds of different lengths do not order like
// whole values).
bool ShouldMerge(const TQELScanSearchCondition& a, const TQELScanSearchCondition& b);

enum class TQELMergeResult : std::uint8_t {
  Merged,  // `kept` now stands for both conditions
  Both,    // both are needed
  Empty,   // no record can satisfy both
};

// Merges index condition `added` into `kept`, both on `index`, comparing
// their keys over the smaller of their key field counts.
TQELMergeResult MergeScanConditions(TQELIndex& index, TQELScanSearchCondition& kept,
                                    const TQELScanSearchCondition& added);

// Simplifies `conditions` in place: index conditions are grouped by index
// in order of first appearance and merged within each group, duplicates are
// removed, and the expression conditions follow in their order. Answers
// false, leaving `conditions` as they were, when the index conditions
// contradict each other: the search has no result and reads no record.
bool SimplifyScanSearchConditions(TQELScanSearchConditionArray& conditions,
                                  const TQELIndexLookup& getIndex);

// Whether `record` (a memory record) satisfies the index condition, by the
// index's order of keys over the condition's key fields.
bool RecordMatchesIndexCondition(TQELIndex& index, const std::uint8_t* record,
                                 const TQELScanSearchCondition& condition);
// Whether `record` satisfies every condition of `conditions` except those at
// `skipFirst` and `skipSecond` (the ones the scan itself guarantees).
bool RecordMatchesConditions(const TQELScanSearchConditionArray& conditions,
                             const std::uint8_t* record, const TQELIndexLookup& getIndex,
                             std::int32_t skipFirst = -1, std::int32_t skipSecond = -1);

}  // namespace qel
