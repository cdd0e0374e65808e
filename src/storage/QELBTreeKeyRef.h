#pragma once
// Key references: how the entries of one B-tree are laid out and ordered.
//
// TQELRecordKeyRef serves record indexes: the key is one slot per index
// column, a null-flag byte followed by the field's value as it sits in the
// memory record, or, for a string or byte column whose maximum indexed
// length is shorter than the field, the first bytes of the value and two
// zero bytes. The reference is the 6-byte record id. TQELPageKeyRef serves
// page indexes: a signed int32 page number and a 16-bit fill count.

#include <cstdint>
#include <vector>

#include "storage/QELFieldDefs.h"
#include "storage/QELIndexDefs.h"
#include "storage/QELRecordRequest.h"

namespace qel {

class TQELBTreeKeyRef {
 public:
  TQELBTreeKeyRef(std::int32_t keySize, std::int32_t refSize)
      : FKeySize(keySize), FRefSize(refSize) {}
  virtual ~TQELBTreeKeyRef() = default;

  std::int32_t KeySize() const { return FKeySize; }
  // Bytes of a leaf entry's reference.
  std::int32_t RefSize() const { return FRefSize; }

  // Compares two keys over their first `fieldCount` columns (<= 0: all);
  // `length` limits string columns to that many characters (-1: whole
  // values). When a truncated column's stored bytes are equal the order is
  // not known from the keys: the answer is then 0 and `tieColumn` that
  // column, else -1.
  virtual int CompareKeys(const std::uint8_t* a, const std::uint8_t* b, std::int32_t fieldCount,
                          std::int32_t length, std::int32_t& tieColumn) const = 0;
  // Settles a tie at `tieColumn` with full values: `probeFullKey` is the
  // full key of one side, the other is read from the record `entryRef`.
  virtual int CompareWithRecord(std::int32_t sessionID, const std::uint8_t* probeFullKey,
                                const std::uint8_t* entryRef, std::int32_t tieColumn,
                                std::int32_t fieldCount, std::int32_t length);
  // The same for two entries, both read from their records.
  virtual int CompareRecords(std::int32_t sessionID, const std::uint8_t* refA,
                             const std::uint8_t* refB, std::int32_t tieColumn,
                             std::int32_t fieldCount, std::int32_t length);
  // Equal keys are ordered by reference.
  virtual int CompareRefs(const std::uint8_t* a, const std::uint8_t* b) const;

 protected:
  std::int32_t FKeySize;
  std::int32_t FRefSize;
};

// One key column of a record index.
struct TQELRecordKeyColumn {
  std::int32_t KeyOffset = 0;      // of the null flag in the key
  std::int32_t FullKeyOffset = 0;  // the same in the full key (nothing truncated)
  std::int32_t MemoryOffset = 0;   // of the field in the memory record
  std::int32_t FieldNo = 0;
  std::int32_t KeySize = 0;      // value bytes in the key
  std::int32_t FullKeySize = 0;  // value bytes in the full key
  std::int32_t Truncation = 0;   // 2 when the key holds only a prefix, else 0
  TQELBaseFieldType FieldType = bftUnknown;
  bool Descending = false;
  bool CaseInsensitive = false;
  std::int32_t CompareLength = -1;
};

class TQELRecordKeyRef final : public TQELBTreeKeyRef {
 public:
  // Raises "Cannot find index field '%s'" (20043) for a column without a
  // field and "Cannot index BLOB field ..." (20295) for a BLOB column.
  // `reader` (may be null when no column is truncated) reads the records
  // whose truncated keys tie.
  TQELRecordKeyRef(const TQELIndexDef& indexDef, const TQELFieldDefs& fieldDefs,
                   TQELRecordReader* reader);

  std::int32_t ColumnCount() const { return static_cast<std::int32_t>(FColumns.size()); }
  const TQELRecordKeyColumn& Column(std::int32_t index) const {
    return FColumns[static_cast<std::size_t>(index)];
  }
  std::int32_t FullKeySize() const { return FFullKeySize; }
  bool HasTruncatedColumns() const { return FHasTruncation; }
  void SetRecordReader(TQELRecordReader* reader) { FReader = reader; }

  // The key and the full key of a memory record.
  void BuildKey(const std::uint8_t* record, std::uint8_t* key) const;
  void BuildFullKey(const std::uint8_t* record, std::uint8_t* fullKey) const;

  int CompareKeys(const std::uint8_t* a, const std::uint8_t* b, std::int32_t fieldCount,
                  std::int32_t length, std::int32_t& tieColumn) const override;
  int CompareWithRecord(std::int32_t sessionID, const std::uint8_t* probeFullKey,
                        const std::uint8_t* entryRef, std::int32_t tieColumn,
                        std::int32_t fieldCount, std::int32_t length) override;
  int CompareRecords(std::int32_t sessionID, const std::uint8_t* refA, const std::uint8_t* refB,
                     std::int32_t tieColumn, std::int32_t fieldCount, std::int32_t length) override;
  int CompareRefs(const std::uint8_t* a, const std::uint8_t* b) const override {
    return CompareRecordIDs(a, b);
  }
  // Compares two full keys from column `firstColumn` on.
  int CompareFullKeys(const std::uint8_t* a, const std::uint8_t* b, std::int32_t firstColumn,
                      std::int32_t fieldCount, std::int32_t length) const;

 private:
  // Reads a record into `buffer` and builds its full key into `fullKey`;
  // raises "Cannot retreive record for index" (20170) when it cannot.
  void ReadFullKey(std::int32_t sessionID, const std::uint8_t* recordID, std::uint8_t* buffer,
                   std::uint8_t* fullKey);

  std::vector<TQELRecordKeyColumn> FColumns;
  std::int32_t FFullKeySize = 0;
  bool FHasTruncation = false;
  TQELRecordReader* FReader;
  // Scratch space for ties: two records and their full keys, allocated once.
  std::vector<std::uint8_t> FRecordA, FRecordB, FFullKeyA, FFullKeyB;
};

class TQELPageKeyRef final : public TQELBTreeKeyRef {
 public:
  TQELPageKeyRef() : TQELBTreeKeyRef(4, 2) {}
  int CompareKeys(const std::uint8_t* a, const std::uint8_t* b, std::int32_t fieldCount,
                  std::int32_t length, std::int32_t& tieColumn) const override;
};

}  // namespace qel
