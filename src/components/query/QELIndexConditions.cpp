#include "components/query/QELIndexConditions.h"

#include <algorithm>
#include <vector>

#include "components/db/QELSameText.h"
#include "sql/QELExprNodeComparison.h"
#include "sql/QELExprNodeField.h"
#include "storage/QELRecordData.h"

namespace qel {

namespace {

// One comparison of a field with a constant, read with the field on the
// left.
struct TFieldComparison {
  const TQELExprNodeField* Field = nullptr;
  TQELVariant Value;
  TQELSearchConditionType Kind = sctNone;
  bool Prefix = false;
  bool CaseInsensitive = false;
};

TQELSearchConditionType KindOf(TQELExprOperator op) {
  switch (op) {
    case eoEqual: return sctEqual;
    case eoLess: return sctLess;
    case eoGreater: return sctGreater;
    case eoLessOrEqual: return sctLessOrEqual;
    case eoGreaterOrEqual: return sctGreaterOrEqual;
    default: return sctNone;
  }
}

TQELSearchConditionType Mirrored(TQELSearchConditionType kind) {
  switch (kind) {
    case sctLess: return sctGreater;
    case sctGreater: return sctLess;
    case sctLessOrEqual: return sctGreaterOrEqual;
    case sctGreaterOrEqual: return sctLessOrEqual;
    default: return kind;
  }
}

bool ReadComparison(TQELExprNode& node, TFieldComparison& read) {
  auto* comparison = dynamic_cast<TQELExprNodeComparison*>(&node);
  if (comparison == nullptr || comparison->Quantifier() != qtNone || comparison->ChildCount() != 2) return false;
  TQELSearchConditionType kind = KindOf(comparison->Operator());
  // Only equalities for now: a cursor that walks its records in natural
  // order gathers an index range again at every step, which costs more
  // than the scan it saves unless the range is small.
  if (kind != sctEqual || comparison->PrefixChild() >= 0) return false;
  for (const std::int32_t fieldSide : {0, 1}) {
    const auto* field = dynamic_cast<const TQELExprNodeField*>(&comparison->Child(fieldSide));
    const auto* constant = dynamic_cast<const TQELExprNodeConst*>(&comparison->Child(1 - fieldSide));
    if (field == nullptr || constant == nullptr || !field->IsBound() || field->IsOuter()) continue;
    if (constant->Value().IsNull()) return false;
    // A prefix comparison needs its prefix as the constant.
    const bool prefix = comparison->PrefixChild() >= 0;
    if (prefix && (comparison->PrefixChild() != 1 - fieldSide || kind != sctEqual)) return false;
    read.Field = field;
    read.Value = constant->Value();
    read.Kind = fieldSide == 0 ? kind : Mirrored(kind);
    read.Prefix = prefix;
    read.CaseInsensitive = comparison->CaseInsensitive();
    return true;
  }
  return false;
}

// The constant in the field's type, when it converts without loss.
bool ExactValue(const TQELFieldDef& field, const TQELVariant& value, TQELVariant& exact) {
  exact = value;
  try {
    exact.ConvertTo(field.BaseFieldType());
  } catch (const std::exception&) {
    return false;
  }
  if (exact.Compare(value, false, false, false) != ccEqual) return false;
  if (IsStringBaseType(field.BaseFieldType()) && exact.StringLength() > field.Size()) return false;
  return true;
}

void AddCondition(const TQELCursor& cursor, const TFieldComparison& read, TQELScanSearchConditionArray& derived) {
  const TQELFieldDefs& fields = cursor.FieldDefs();
  const std::int32_t fieldNo = read.Field->FieldNo();
  if (fieldNo < 0 || fieldNo >= fields.Count()) return;
  const TQELFieldDef& field = fields[fieldNo];
  if (IsBlobBaseType(field.BaseFieldType())) return;
  TQELVariant value;
  if (!ExactValue(field, read.Value, value)) return;
  const bool isString = IsStringBaseType(field.BaseFieldType());
  const TQELIndexDefs& indexes = cursor.IndexDefs();
  for (std::int32_t i = 0; i < indexes.Count(); ++i) {
    const TQELIndexDef& index = indexes[i];
    if (index.ColumnCount() == 0 || index.ObjectID() < 0) continue;
    if (index.Temporary && index.SessionID != cursor.SessionID()) continue;
    const TQELIndexColumn& column = index.Columns(0);
    if (!QELSameText(column.FieldName, field.Name())) continue;
    TQELSearchConditionType kind = read.Kind;
    if (isString) {
      // A case-insensitive column still holds the case-sensitive matches
      // of an equality together; a range needs the column's own order.
      if (read.CaseInsensitive && !column.CaseInsensitive) continue;
      if (kind != sctEqual && read.CaseInsensitive != column.CaseInsensitive) continue;
      // Keys keep only the first characters: a strict bound over them
      // could drop a longer value that passes.
      if (field.Size() > column.MaxIndexedSize || value.StringLength() > column.MaxIndexedSize) {
        if (kind == sctLess) kind = sctLessOrEqual;
        if (kind == sctGreater) kind = sctGreaterOrEqual;
      }
    }
    bool partial = read.Prefix;
    if (partial && isString && !column.CaseInsensitive) {
      // A case-sensitive column orders "abc" < "ABC" < "abd": the values
      // with one prefix do not lie together, so the prefix only bounds
      // them from below.
      partial = false;
      kind = sctGreaterOrEqual;
    }
    if (column.Descending) kind = Mirrored(kind);
    std::vector<std::uint8_t> key(static_cast<std::size_t>(cursor.RecordSize), 0);
    std::fill_n(key.begin(), std::min<std::size_t>(key.size(), fields.NullFlagsSize()), 0xFF);
    SetFieldValue(fieldNo, fields, value, key.data());
    TQELScanSearchCondition condition =
        TQELScanSearchCondition::ForIndex(index.ObjectID(), kind, key.data(), cursor.RecordSize, 1);
    condition.IndexOnly = true;
    condition.PartialKey = partial;
    derived.Add(std::move(condition));
  }
}

}  // namespace

TQELScanSearchConditionArray QELDeriveIndexConditions(const TQELCursor& cursor, TQELExpression& condition) {
  TQELScanSearchConditionArray derived;
  TQELExprNode* root = condition.Root();
  if (root == nullptr) return derived;
  std::vector<TQELExprNode*> conjuncts;
  if (root->Operator() == eoAnd) {
    for (std::int32_t i = 0; i < root->ChildCount(); ++i) conjuncts.push_back(&root->Child(i));
  } else {
    conjuncts.push_back(root);
  }
  for (TQELExprNode* conjunct : conjuncts) {
    TFieldComparison read;
    if (ReadComparison(*conjunct, read)) AddCondition(cursor, read, derived);
  }
  return derived;
}

}  // namespace qel
