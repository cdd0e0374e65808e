#pragma once
// Rows put in the order of an index over some columns without building
// that index. TOP n ... ORDER BY needs only n rows, and grouping needs the
// rows once each in group order: an index over every row of the table
// costs a key insertion per row and then a random read per row in key
// order, where rows kept in memory cost a key comparison or two per row
// and no second read.
//
// The order is exactly the index's: its keys, the full values where cut
// keys tie, then record ids, compared as the index compares its entries.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/QELBTreeKeyRef.h"
#include "storage/QELIndexDefs.h"
#include "storage/QELRecordRequest.h"

namespace qel {

// The order of an index over the table fields `fieldNames`, with their
// directions ("ASC", "DESC") and case rules ("CASE", "NO_CASE"), on
// entries of EntrySize bytes built from memory records.
class TQELIndexOrder {
 public:
  TQELIndexOrder(const TQELFieldDefs& fieldDefs, const std::vector<std::string>& fieldNames,
                 const std::vector<std::string>& directions, const std::vector<std::string>& cases);

  std::size_t EntrySize() const { return FRefOffset + kQELRecordIDSize; }
  // The entry of a record: key, full key, record id.
  void BuildEntry(const std::uint8_t* record, const TQELRecordID& recordID, std::uint8_t* entry) const;
  // Negative, 0 or positive as entry `a` comes before, with or after `b`.
  int Compare(const std::uint8_t* a, const std::uint8_t* b) const;
  TQELRecordID RecordIDOf(const std::uint8_t* entry) const;
  // A number that never decreases along the order, taken from the first
  // column when it holds integers (else always 0): entries of different
  // ranks compare as their ranks do, so that a sort compares them as two
  // numbers and only entries of equal rank in full.
  std::uint64_t Rank(const std::uint8_t* entry) const;

 private:
  TQELIndexDef FIndexDef;
  std::unique_ptr<TQELRecordKeyRef> FKeyRef;
  std::size_t FKeySize = 0;
  std::size_t FRefOffset = 0;
  bool FRanked = false;
};

// The first `count` rows offered, in the order; the others are dropped as
// they come (a heap with the last row kept on top).
class TQELTopRows {
 public:
  TQELTopRows(std::unique_ptr<TQELIndexOrder> order, std::int64_t count);

  void Offer(const std::uint8_t* record, const TQELRecordID& recordID);
  // The record ids kept, in order; the rows are forgotten.
  std::vector<TQELRecordID> TakeInOrder();

 private:
  const std::uint8_t* Entry(std::uint32_t slot) const { return FEntries.data() + slot * FStride; }
  std::uint8_t* Entry(std::uint32_t slot) { return FEntries.data() + slot * FStride; }
  bool Before(std::uint32_t a, std::uint32_t b) const { return FOrder->Compare(Entry(a), Entry(b)) < 0; }

  std::unique_ptr<TQELIndexOrder> FOrder;
  std::size_t FStride = 0;
  std::int64_t FCount = 0;
  std::vector<std::uint8_t> FEntries;
  std::vector<std::uint32_t> FHeap;
  std::vector<std::uint8_t> FCandidate;
};

// Copies of whole memory records, sorted into the order, up to a number of
// bytes kept in memory.
class TQELSortedRecords {
 public:
  TQELSortedRecords(std::unique_ptr<TQELIndexOrder> order, std::size_t recordSize, std::size_t byteLimit);

  // Keeps a copy of the record; false, keeping nothing, once the copies
  // would pass the byte limit.
  bool Add(const std::uint8_t* record, const TQELRecordID& recordID);
  void Sort();
  std::size_t Count() const { return FSorted.size(); }
  // The i-th record in order, after Sort.
  const std::uint8_t* Record(std::size_t i) const {
    return FRows.data() + FSorted[i].second * FStride + FEntrySize;
  }

 private:
  std::unique_ptr<TQELIndexOrder> FOrder;
  std::size_t FEntrySize = 0;
  std::size_t FRecordSize = 0;
  std::size_t FStride = 0;
  std::size_t FByteLimit = 0;
  // Rows of (entry, record copy), FStride bytes each, and their numbers
  // with their ranks, sorted by Sort.
  std::vector<std::uint8_t> FRows;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> FSorted;
};

}  // namespace qel
