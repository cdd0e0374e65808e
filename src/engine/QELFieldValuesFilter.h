#pragma once
// TQELFieldValuesFilter: the condition of a Locate (fields equal to values)
// or of a one-field LocateCondition, as a record filter, and the index
// conditions it implies, which let a search go along an index instead of
// reading every record.

#include <cstdint>
#include <vector>

#include "storage/QELFieldDefs.h"
#include "storage/QELIndexDefs.h"
#include "storage/QELScanSearchCondition.h"
#include "storage/QELTableCursor.h"
#include "values/QELVariant.h"

namespace qel {

class TQELFieldValuesFilter final : public TQELRecordFilter {
 public:
  // `fieldDefs` (the table's, laid out) must outlive the filter.
  TQELFieldValuesFilter(const TQELFieldDefs& fieldDefs, bool partialKey, bool caseInsensitive);

  // Adds "field `tableFieldNo` compares with `value` as `kind`". The value
  // is converted to the field's type once, here; one that does not convert
  // raises the conversion's error. With `nullMatchesNull` (Locate's
  // equality) a NULL value finds NULL fields; otherwise a NULL on either
  // side matches nothing.
  void Add(std::int32_t tableFieldNo, TQELSearchConditionType kind, const TQELVariant& value,
           bool nullMatchesNull);

  bool Matches(const std::uint8_t* record) override;

  // The index condition (IndexOnly: the filter still decides) on the first
  // index of `indexDefs` that serves the most conditions as a leading run
  // of its columns; nothing when none serves. Temporary indexes of other
  // sessions than `sessionID` are not the session's to use. `recordSize` is
  // the memory record size the key is laid out in.
  void DeriveIndexConditions(const TQELIndexDefs& indexDefs, std::int32_t sessionID,
                             std::int32_t recordSize,
                             TQELScanSearchConditionArray& derived) const;

 private:
  struct TTerm {
    std::int32_t FieldNo;
    TQELSearchConditionType Kind;
    TQELVariant Value;
    bool NullMatchesNull;
  };

  bool TermMatches(const TTerm& term, const std::uint8_t* record);
  // How many leading columns of `index` the terms serve (each column by a
  // term on its field; only the last may be a range).
  std::int32_t ServedColumns(const TQELIndexDef& index, TQELSearchConditionType& kind) const;
  const TTerm* TermFor(const TQELIndexColumn& column) const;

  const TQELFieldDefs& FFieldDefs;
  const bool FPartialKey;
  const bool FCaseInsensitive;
  std::vector<TTerm> FTerms;
  TQELVariant FScratch;
};

}  // namespace qel
