#include "components/query/QELIndexConditions.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "components/db/QELSameText.h"
#include "platform/QELCollation.h"
#include "sql/QELExprNodeBoolean.h"
#include "sql/QELExprNodeComparison.h"
#include "sql/QELExprNodeField.h"
#include "sql/QELExpressionCursor.h"
#include "storage/QELRecordData.h"

namespace qel {

namespace {

// The most values of an IN searched one by one; a longer list is read
// with the rest of the WHERE.
constexpr std::size_t kMaxInAlternatives = 256;

// The character with the highest primary weight of the root collation: a
// string made of a prefix and it sorts after every string the prefix
// begins, and after every string equal to the prefix ignoring case.
constexpr std::string_view kHighestCharacter = "\xEF\xBF\xBF";

// How a conjunct tests its field.
enum class TTest { Compare, Prefix, Between, IsNull, IsNotNull, In };

struct TFieldTest {
  const TQELExprNodeField* Field = nullptr;
  TTest Test = TTest::Compare;
  // For Compare: the operator read with the field on the left.
  TQELSearchConditionType Kind = sctNone;
  std::vector<TQELVariant> Values;
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

const TQELExprNodeConst* ConstantOf(const TQELExprNode& node) {
  return dynamic_cast<const TQELExprNodeConst*>(&node);
}

// The field of this table a side reads: the field itself, or UPPER or
// LOWER of it (`caseFunction` tells which; eoNone for the plain field).
const TQELExprNodeField* FieldOf(const TQELExprNode& node, TQELExprOperator& caseFunction) {
  caseFunction = eoNone;
  const TQELExprNode* inner = &node;
  if ((node.Operator() == eoUpper || node.Operator() == eoLower) && node.ChildCount() == 1) {
    caseFunction = node.Operator();
    inner = &node.Child(0);
  }
  const auto* field = dynamic_cast<const TQELExprNodeField*>(inner);
  if (field == nullptr || !field->IsBound() || field->IsOuter()) return nullptr;
  return field;
}

// UPPER(field) compared with a constant already in upper case holds for
// the values equal to it ignoring case (LOWER likewise); with a constant in
// another case nothing is known.
bool FoldsCase(TQELExprOperator caseFunction, const TQELVariant& constant) {
  if (caseFunction == eoNone) return true;
  if (!constant.IsString() || constant.IsWideString()) return false;
  const std::string text = constant.AsString();
  return text == (caseFunction == eoUpper ? QELUpperCase(text) : QELLowerCase(text));
}

// What the other side of a comparison holds while the conditions are
// derived: a constant, or a field of the enclosing query's row. That row
// stays the same as long as the conditions do: a subquery's filter has
// them derived anew for every outer row (QELRenewSQLFilter).
bool FixedValueOf(TQELExprNode& node, TQELVariant& value) {
  if (const TQELExprNodeConst* constant = ConstantOf(node)) {
    value = constant->Value();
    return true;
  }
  auto* field = dynamic_cast<TQELExprNodeField*>(&node);
  if (field == nullptr || !field->IsBound() || !field->IsOuter()) return false;
  value = field->Evaluate();
  return true;
}

bool ReadComparison(const TQELExprNodeComparison& comparison, TFieldTest& test) {
  if (comparison.Quantifier() != qtNone || comparison.ChildCount() != 2) return false;
  const TQELSearchConditionType kind = KindOf(comparison.Operator());
  if (kind == sctNone) return false;
  TQELVariant constant;
  for (const std::int32_t fieldSide : {0, 1}) {
    TQELExprOperator caseFunction = eoNone;
    const TQELExprNodeField* field = FieldOf(comparison.Child(fieldSide), caseFunction);
    if (field == nullptr || !FixedValueOf(comparison.Child(1 - fieldSide), constant)) continue;
    if (constant.IsNull() || !FoldsCase(caseFunction, constant)) return false;
    // A prefix comparison needs its prefix as the constant and '='.
    const bool prefix = comparison.PrefixChild() >= 0;
    if (prefix && (comparison.PrefixChild() != 1 - fieldSide || kind != sctEqual)) return false;
    // Through UPPER or LOWER only an equality keeps the order of an index.
    if (caseFunction != eoNone && kind != sctEqual) return false;
    test.Field = field;
    test.Test = prefix ? TTest::Prefix : TTest::Compare;
    test.Kind = fieldSide == 0 ? kind : Mirrored(kind);
    test.Values = {constant};
    test.CaseInsensitive = comparison.CaseInsensitive() || caseFunction != eoNone;
    return true;
  }
  return false;
}

// BETWEEN, IN and the NULL tests over a plain field. BETWEEN and IN compare
// strings ignoring case.
bool ReadBoolean(const TQELExprNodeBoolean& node, TFieldTest& test) {
  if (node.ChildCount() == 0) return false;
  TQELExprOperator caseFunction = eoNone;
  test.Field = FieldOf(node.Child(0), caseFunction);
  if (test.Field == nullptr || caseFunction != eoNone) return false;
  test.CaseInsensitive = true;
  switch (node.Operator()) {
    case eoIsNull:
    case eoIsNotNull:
      test.Test = node.Operator() == eoIsNull ? TTest::IsNull : TTest::IsNotNull;
      return node.ChildCount() == 1;
    case eoBetween:
      if (node.ChildCount() != 3) return false;
      test.Test = TTest::Between;
      for (const std::int32_t bound : {1, 2}) {
        const TQELExprNodeConst* constant = ConstantOf(node.Child(bound));
        if (constant == nullptr || constant->Value().IsNull()) return false;
        test.Values.push_back(constant->Value());
      }
      return true;
    case eoIn:
      if (node.InSubquery() || node.ChildCount() < 2 ||
          static_cast<std::size_t>(node.ChildCount() - 1) > kMaxInAlternatives) {
        return false;
      }
      test.Test = TTest::In;
      for (std::int32_t i = 1; i < node.ChildCount(); ++i) {
        const TQELExprNodeConst* constant = ConstantOf(node.Child(i));
        if (constant == nullptr) return false;
        // A NULL element matches nothing.
        if (!constant->Value().IsNull()) test.Values.push_back(constant->Value());
      }
      return true;
    default:
      return false;
  }
}

bool ReadConjunct(TQELExprNode& node, TFieldTest& test) {
  if (const auto* comparison = dynamic_cast<const TQELExprNodeComparison*>(&node)) {
    return ReadComparison(*comparison, test);
  }
  if (const auto* boolean = dynamic_cast<const TQELExprNodeBoolean*>(&node)) return ReadBoolean(*boolean, test);
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

// The bytes a string value takes in a key.
std::int64_t KeyBytes(const TQELVariant& value) {
  if (value.IsWideString()) return 2 * static_cast<std::int64_t>(std::max(value.StringLength(), 0));
  return static_cast<std::int64_t>(value.AsString().size());
}

// Printable ASCII only: in the root collation such a text has no
// contraction or reordering that could carry a value out of the bounds
// built from it below.
bool IsPlainText(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

// The conditions of the tests on one index whose first column is the
// tested field.
class TIndexConditionBuilder {
 public:
  TIndexConditionBuilder(const TQELCursor& cursor, std::int32_t fieldNo, const TQELIndexDef& index)
      : FCursor(cursor),
        FFieldNo(fieldNo),
        FField(cursor.FieldDefs()[fieldNo]),
        FIndex(index),
        FColumn(index.Columns(0)),
        FIsString(IsStringBaseType(FField.BaseFieldType())) {}

  void Add(const TFieldTest& test, TQELDerivedIndexConditions& derived) {
    TQELScanSearchConditionArray& conditions = derived.Conditions;
    switch (test.Test) {
      case TTest::IsNull:
        AddBound(sctEqual, nullptr, false, conditions);
        return;
      case TTest::IsNotNull:
        AddBound(sctGreater, nullptr, false, conditions);
        return;
      case TTest::Compare:
        AddComparison(test.Kind, test.Values[0], test.CaseInsensitive, conditions);
        return;
      case TTest::Between:
        AddComparison(sctGreaterOrEqual, test.Values[0], test.CaseInsensitive, conditions);
        AddComparison(sctLessOrEqual, test.Values[1], test.CaseInsensitive, conditions);
        return;
      case TTest::Prefix:
        AddPrefix(test.Values[0], test.CaseInsensitive, conditions);
        return;
      case TTest::In:
        AddAlternatives(test, derived.Alternatives);
        return;
    }
  }

  // Whether the index can give an alternative for every value of the IN:
  // one missing would lose that value's records.
  bool TakesEveryValue(const TFieldTest& test) const {
    for (const TQELVariant& value : test.Values) {
      TQELVariant exact;
      if (!ExactValue(FField, value, exact)) continue;  // that value matches no record
      if (FIsString && test.CaseInsensitive && !FColumn.CaseInsensitive && !CanBracket(exact)) return false;
    }
    return true;
  }

 private:
  void AddComparison(TQELSearchConditionType kind, const TQELVariant& constant, bool caseInsensitive,
                     TQELScanSearchConditionArray& conditions) {
    TQELVariant value;
    if (!ExactValue(FField, constant, value)) return;
    if (FIsString && caseInsensitive != FColumn.CaseInsensitive) {
      // A case-insensitive column holds the case-sensitive matches of an
      // equality together; a case-sensitive one holds those ignoring case
      // between two bounds. A range needs the column's own order.
      if (kind != sctEqual) return;
      if (caseInsensitive) {
        AddBracket(value, false, conditions);
        return;
      }
    }
    AddBound(kind, &value, false, conditions);
  }

  void AddPrefix(const TQELVariant& constant, bool caseInsensitive, TQELScanSearchConditionArray& conditions) {
    TQELVariant value;
    if (!ExactValue(FField, constant, value)) return;
    if (!FIsString) {
      AddBound(sctEqual, &value, true, conditions);
      return;
    }
    if (FColumn.CaseInsensitive) {
      // The values that begin with the prefix, in either case, lie between
      // the prefix and the prefix followed by the highest character. Keys
      // cut to the prefix's length do not keep them together: an accented
      // value's cut can sort apart from the value, so a search by the cut
      // would end early and lose rows. Without such bounds the column's
      // index is not used.
      AddBracket(value, true, conditions);
      return;
    }
    // A case-sensitive column orders "abc" < "ABC" < "abd": the values with
    // one prefix lie among those with the prefix in any case, which lie
    // together.
    if (AddBracket(value, !caseInsensitive, conditions)) return;
    if (!caseInsensitive) AddBound(sctGreaterOrEqual, &value, false, conditions);
  }

  void AddAlternatives(const TFieldTest& test, std::vector<TQELScanSearchConditionArray>& alternatives) {
    std::vector<TQELVariant> seen;
    for (const TQELVariant& constant : test.Values) {
      TQELVariant value;
      if (!ExactValue(FField, constant, value)) continue;
      const bool repeated = std::any_of(seen.begin(), seen.end(), [&](const TQELVariant& other) {
        return other.Compare(value, false, false, FColumn.CaseInsensitive) == ccEqual;
      });
      if (repeated) continue;
      seen.push_back(value);
      TQELScanSearchConditionArray alternative;
      AddComparison(sctEqual, value, test.CaseInsensitive, alternative);
      alternatives.push_back(std::move(alternative));
    }
  }

  // How much of `value` bounds built by AddBracket keep: the bounds must
  // fit the field and stay whole in the index's keys, which keep only
  // their first MaxIndexedSize bytes. 0: no bounds can be built.
  std::size_t BracketLength(const TQELVariant& value) const {
    if (!value.IsString() || value.IsWideString() || IsWideStringBaseType(FField.BaseFieldType())) return 0;
    const std::string text = value.AsString();
    if (!IsPlainText(text) || QELCollationLocale() != "root") return 0;
    std::int64_t room = FField.Size();
    // Shorter than the keys, as AddBound needs.
    if (FColumn.MaxIndexedSize > 0) room = std::min<std::int64_t>(room, FColumn.MaxIndexedSize - 1);
    room -= static_cast<std::int64_t>(kHighestCharacter.size());
    return room <= 0 ? 0 : std::min(text.size(), static_cast<std::size_t>(room));
  }
  bool CanBracket(const TQELVariant& value) const { return BracketLength(value) > 0; }

  // Bounds, in a case-sensitive column, around the values equal to `value`
  // ignoring case, or with `prefix` around those beginning with it: from
  // the text without its last character (for a prefix the text itself) to
  // the text followed by the highest character. A text too long for the
  // keys is cut first, which only widens the range. Answers false when no
  // such bounds can be built.
  bool AddBracket(const TQELVariant& value, bool prefix, TQELScanSearchConditionArray& conditions) {
    const std::size_t length = BracketLength(value);
    if (length == 0) return false;
    const std::string text = value.AsString().substr(0, length);
    TQELVariant low;
    TQELVariant high;
    low.SetAsString(prefix ? std::string_view(text) : std::string_view(text).substr(0, text.size() - 1));
    high.SetAsString(text + std::string(kHighestCharacter));
    if (!low.IsNull()) AddBound(sctGreaterOrEqual, &low, false, conditions);
    AddBound(sctLessOrEqual, &high, false, conditions);
    return true;
  }

  // A scan condition comparing the column with `value` (null: NULL) as
  // `kind` reads with the field on the left.
  void AddBound(TQELSearchConditionType kind, const TQELVariant* value, bool partial,
                TQELScanSearchConditionArray& conditions) {
    if (FIsString && value != nullptr && FColumn.MaxIndexedSize > 0 &&
        (FField.Size() > FColumn.MaxIndexedSize || value->StringLength() > FColumn.MaxIndexedSize)) {
      // Keys keep only their first bytes and order by them before the
      // whole values: a difference of case or accent there outweighs a
      // different letter further on, so a bound only keeps the order of the
      // values when it is shorter than the keys and any value reaching past
      // it differs within them by a letter.
      if (kind != sctEqual && !partial && KeyBytes(*value) >= FColumn.MaxIndexedSize) return;
      if (kind == sctLess) kind = sctLessOrEqual;
      if (kind == sctGreater) kind = sctGreaterOrEqual;
    }
    if (FColumn.Descending) kind = Mirrored(kind);
    const TQELFieldDefs& fields = FCursor.FieldDefs();
    std::vector<std::uint8_t> key(static_cast<std::size_t>(FCursor.RecordSize), 0);
    std::fill_n(key.begin(), std::min<std::size_t>(key.size(), fields.NullFlagsSize()), 0xFF);
    if (value != nullptr) SetFieldValue(FFieldNo, fields, *value, key.data());
    TQELScanSearchCondition condition =
        TQELScanSearchCondition::ForIndex(FIndex.ObjectID(), kind, key.data(), FCursor.RecordSize, 1);
    condition.IndexOnly = true;
    condition.PartialKey = partial;
    conditions.Add(std::move(condition));
  }

  const TQELCursor& FCursor;
  const std::int32_t FFieldNo;
  const TQELFieldDef& FField;
  const TQELIndexDef& FIndex;
  const TQELIndexColumn& FColumn;
  const bool FIsString;
};

// The indexes of the cursor's session whose first column is the field.
std::vector<const TQELIndexDef*> IndexesOn(const TQELCursor& cursor, const TQELFieldDef& field) {
  std::vector<const TQELIndexDef*> found;
  const TQELIndexDefs& indexes = cursor.IndexDefs();
  for (std::int32_t i = 0; i < indexes.Count(); ++i) {
    const TQELIndexDef& index = indexes[i];
    if (index.ColumnCount() == 0 || index.ObjectID() < 0) continue;
    if (index.Temporary && index.SessionID != cursor.SessionID()) continue;
    if (QELSameText(index.Columns(0).FieldName, field.Name())) found.push_back(&index);
  }
  return found;
}

void AddTest(const TQELCursor& cursor, const TFieldTest& test, TQELDerivedIndexConditions& derived,
             std::optional<std::size_t>& shortestIn) {
  const TQELFieldDefs& fields = cursor.FieldDefs();
  const std::int32_t fieldNo = test.Field->FieldNo();
  if (fieldNo < 0 || fieldNo >= fields.Count()) return;
  const TQELFieldDef& field = fields[fieldNo];
  if (IsBlobBaseType(field.BaseFieldType())) return;
  for (const TQELIndexDef* index : IndexesOn(cursor, field)) {
    TIndexConditionBuilder builder(cursor, fieldNo, *index);
    if (test.Test != TTest::In) {
      builder.Add(test, derived);
      continue;
    }
    // The alternatives come from one IN over one index: the shortest list
    // the first index can take every value of.
    if ((shortestIn && *shortestIn <= test.Values.size()) || !builder.TakesEveryValue(test)) continue;
    derived.Alternatives.clear();
    builder.Add(test, derived);
    shortestIn = test.Values.size();
    break;
  }
}

// Filters a cursor by a WHERE and offers its alternatives to the search.
class TQELIndexedFilter final : public TQELRecordFilter {
 public:
  TQELIndexedFilter(std::unique_ptr<TQELExpressionFilter> filter,
                    std::vector<TQELScanSearchConditionArray> alternatives)
      : FFilter(std::move(filter)), FAlternatives(std::move(alternatives)) {}
  bool Matches(const std::uint8_t* record) override { return FFilter->Matches(record); }
  // The filter, for an indexed filter of new conditions that takes it over.
  std::unique_ptr<TQELExpressionFilter> ReleaseFilter() { return std::move(FFilter); }
  const std::vector<TQELScanSearchConditionArray>* Alternatives() const override {
    return FAlternatives.empty() ? nullptr : &FAlternatives;
  }

 private:
  std::unique_ptr<TQELExpressionFilter> FFilter;
  std::vector<TQELScanSearchConditionArray> FAlternatives;
};

}  // namespace

TQELDerivedIndexConditions QELDeriveIndexConditions(const TQELCursor& cursor, TQELExpression& condition) {
  TQELDerivedIndexConditions derived;
  TQELExprNode* root = condition.Root();
  if (root == nullptr) return derived;
  std::vector<TQELExprNode*> conjuncts;
  if (root->Operator() == eoAnd) {
    for (std::int32_t i = 0; i < root->ChildCount(); ++i) conjuncts.push_back(&root->Child(i));
  } else {
    conjuncts.push_back(root);
  }
  std::optional<std::size_t> shortestIn;
  for (TQELExprNode* conjunct : conjuncts) {
    TFieldTest test;
    if (ReadConjunct(*conjunct, test)) AddTest(cursor, test, derived, shortestIn);
  }
  return derived;
}

namespace {

void SetIndexedFilter(TQELCursor& cursor, std::unique_ptr<TQELExpressionFilter> filter) {
  TQELDerivedIndexConditions derived = QELDeriveIndexConditions(cursor, filter->Expression());
  cursor.SetSQLFilter(std::make_unique<TQELIndexedFilter>(std::move(filter), std::move(derived.Alternatives)),
                      std::move(derived.Conditions));
}

}  // namespace

void QELSetSQLFilter(TQELCursor& cursor, const TQELExpression& where, TQELExprRecordSource* outerSource,
                     std::vector<std::string> tableNames) {
  SetIndexedFilter(cursor, std::make_unique<TQELExpressionFilter>(cursor, where, outerSource, std::move(tableNames)));
}

void QELRenewSQLFilter(TQELCursor& cursor) {
  auto* indexed = dynamic_cast<TQELIndexedFilter*>(cursor.SQLFilter);
  if (indexed == nullptr) {
    cursor.InvalidateBitmap();
    return;
  }
  // Setting the filter again forgets what the cursor found with the old
  // conditions.
  SetIndexedFilter(cursor, indexed->ReleaseFilter());
}

}  // namespace qel
