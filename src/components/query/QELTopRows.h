#pragma once
// TQELTopRows: the first rows of a walk in the order of an index over some
// columns, chosen without building that index. TOP n ... ORDER BY needs
// only n rows; an index over every row of the table would cost a key
// insertion per row and then random reads in key order, where a bounded
// heap costs a key comparison per row.
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

class TQELTopRows {
 public:
  // Keeps the first `count` rows (count >= 0) in the order of an index
  // over the table fields `fieldNames`, with their directions ("ASC",
  // "DESC") and case rules ("CASE", "NO_CASE").
  TQELTopRows(const TQELFieldDefs& fieldDefs, const std::vector<std::string>& fieldNames,
              const std::vector<std::string>& directions, const std::vector<std::string>& cases,
              std::int64_t count);

  // Offers the memory record `record` with its record id.
  void Offer(const std::uint8_t* record, const TQELRecordID& recordID);
  // The record ids kept, in order; the rows are forgotten.
  std::vector<TQELRecordID> TakeInOrder();

 private:
  const std::uint8_t* Slot(std::uint32_t slot) const { return FEntries.data() + slot * FStride; }
  std::uint8_t* Slot(std::uint32_t slot) { return FEntries.data() + slot * FStride; }
  // Negative, 0 or positive as entry `a` comes before, with or after `b`.
  int Compare(const std::uint8_t* a, const std::uint8_t* b) const;
  bool Before(std::uint32_t a, std::uint32_t b) const { return Compare(Slot(a), Slot(b)) < 0; }

  TQELIndexDef FIndexDef;
  std::unique_ptr<TQELRecordKeyRef> FKeyRef;
  std::size_t FKeySize = 0;
  std::size_t FFullKeySize = 0;
  std::size_t FStride = 0;
  std::int64_t FCount = 0;
  // Entries of (key, full key, record id), FStride bytes each; FHeap holds
  // their slots as a heap with the last in order on top.
  std::vector<std::uint8_t> FEntries;
  std::vector<std::uint32_t> FHeap;
  std::vector<std::uint8_t> FCandidate;
};

}  // namespace qel
