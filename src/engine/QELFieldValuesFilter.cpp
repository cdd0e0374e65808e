// TQELFieldValuesFilter: comparing record fields with fixed values, and the
// index condition that narrows the search to the records that can match.

#include "engine/QELFieldValuesFilter.h"

#include <algorithm>
#include <vector>

#include "platform/QELCollation.h"
#include "storage/QELRecordData.h"

namespace qel {

TQELFieldValuesFilter::TQELFieldValuesFilter(const TQELFieldDefs& fieldDefs, bool partialKey,
                                             bool caseInsensitive)
    : FFieldDefs(fieldDefs), FPartialKey(partialKey), FCaseInsensitive(caseInsensitive) {}

void TQELFieldValuesFilter::Add(std::int32_t tableFieldNo, TQELSearchConditionType kind,
                                const TQELVariant& value, bool nullMatchesNull) {
  const TQELBaseFieldType fieldType = FFieldDefs[tableFieldNo].BaseFieldType();
  TTerm term{tableFieldNo, kind, TQELVariant(fieldType), nullMatchesNull};
  if (!value.IsNull()) {
    if (value.DataType() == fieldType) {
      term.Value.Assign(value);
    } else {
      ConvertValueInto(value.Data(), value.DataSize(), value.DataType(), fieldType, term.Value);
    }
  }
  FTerms.push_back(std::move(term));
}

bool TQELFieldValuesFilter::Matches(const std::uint8_t* record) {
  return std::all_of(FTerms.begin(), FTerms.end(),
                     [&](const TTerm& term) { return TermMatches(term, record); });
}

bool TQELFieldValuesFilter::TermMatches(const TTerm& term, const std::uint8_t* record) {
  const bool fieldNull = IsNull(term.FieldNo, record);
  const bool valueNull = term.Value.IsNull();
  if (fieldNull || valueNull) {
    return term.NullMatchesNull && term.Kind == sctEqual && fieldNull && valueNull;
  }
  const TQELFieldDef& field = FFieldDefs[term.FieldNo];
  const TQELBaseFieldType type = field.BaseFieldType();
  std::int32_t length = -1;
  if (FPartialKey && IsStringBaseType(type)) {
    // A prefix: the field must have at least the value's characters.
    const std::int32_t valueLength = term.Value.StringLength();
    qel::GetFieldValue(term.FieldNo, FFieldDefs, record, FScratch, cmBorrow);
    if (FScratch.StringLength() < valueLength) return false;
    length = valueLength;
  }
  const std::int32_t rc =
      CompareValues(record + field.MemoryOffset(), field.MemoryDataSize(), type, false,
                    term.Value.Data(), term.Value.DataSize(), type, false,
                    FCaseInsensitive && IsStringBaseType(type), length);
  switch (term.Kind) {
    case sctEqual: return rc == ccEqual;
    case sctLess: return rc == ccLess;
    case sctGreater: return rc == ccGreater;
    case sctLessOrEqual: return rc == ccLess || rc == ccEqual;
    case sctGreaterOrEqual: return rc == ccGreater || rc == ccEqual;
    case sctNone: break;
  }
  return false;
}

const TQELFieldValuesFilter::TTerm* TQELFieldValuesFilter::TermFor(
    const TQELIndexColumn& column) const {
  for (const TTerm& term : FTerms) {
    if (QELUpperCase(FFieldDefs[term.FieldNo].Name()) == QELUpperCase(column.FieldName)) {
      return &term;
    }
  }
  return nullptr;
}

std::int32_t TQELFieldValuesFilter::ServedColumns(const TQELIndexDef& index,
                                                  TQELSearchConditionType& kind) const {
  std::int32_t served = 0;
  kind = sctEqual;
  for (std::int32_t i = 0; i < index.ColumnCount(); ++i) {
    const TQELIndexColumn& column = index.Columns(i);
    const TTerm* term = TermFor(column);
    if (term == nullptr) break;
    if (term->Value.IsNull() && !term->NullMatchesNull) break;
    const bool isString = IsStringBaseType(FFieldDefs[term->FieldNo].BaseFieldType());
    if (term->Kind == sctEqual) {
      // A case-insensitive column still holds every case-sensitive match
      // together; the other way round it does not.
      if (isString && FCaseInsensitive && !column.CaseInsensitive) break;
      ++served;
      continue;
    }
    // A range follows the column's order only when that is the filter's.
    if (column.Descending || (isString && column.CaseInsensitive != FCaseInsensitive)) break;
    kind = term->Kind;
    ++served;
    break;
  }
  return served;
}

void TQELFieldValuesFilter::DeriveIndexConditions(const TQELIndexDefs& indexDefs,
                                                  std::int32_t sessionID,
                                                  std::int32_t recordSize,
                                                  TQELScanSearchConditionArray& derived) const {
  const TQELIndexDef* best = nullptr;
  std::int32_t bestServed = 0;
  TQELSearchConditionType bestKind = sctEqual;
  for (std::int32_t i = 0; i < indexDefs.Count(); ++i) {
    if (indexDefs[i].Temporary && indexDefs[i].SessionID != sessionID) continue;
    TQELSearchConditionType kind = sctEqual;
    const std::int32_t served = ServedColumns(indexDefs[i], kind);
    if (served > bestServed) {
      best = &indexDefs[i];
      bestServed = served;
      bestKind = kind;
    }
  }
  if (best == nullptr || best->ObjectID() < 0) return;
  std::vector<std::uint8_t> key(static_cast<std::size_t>(recordSize), 0);
  std::fill_n(key.begin(), std::min<std::size_t>(key.size(), FFieldDefs.NullFlagsSize()), 0xFF);
  for (std::int32_t i = 0; i < bestServed; ++i) {
    const TTerm* term = TermFor(best->Columns(i));
    qel::SetFieldValue(term->FieldNo, FFieldDefs, term->Value, key.data());
  }
  TQELScanSearchCondition condition = TQELScanSearchCondition::ForIndex(
      best->ObjectID(), bestKind, key.data(), recordSize, bestServed);
  condition.IndexOnly = true;
  condition.PartialKey = FPartialKey;
  derived.Add(std::move(condition));
}

}  // namespace qel
