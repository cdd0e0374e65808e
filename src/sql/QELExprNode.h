#pragma once
// TQELExprNode: the base of the expression tree's nodes. A node holds its
// operands as owned children, an operator code, and the value of its last
// evaluation, which Evaluate returns by reference and overwrites each time.
// The virtual operations keep a fixed order (slots 0..21); their base
// behaviour forwards to the children.
//
// Nodes read field values through two seams, so that the tree needs no
// particular cursor or plan: a record source (a cursor's fields, its record
// layout and BLOB values) and a row source (a relational-algebra input's
// columns).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/QELFieldDefs.h"
#include "storage/QELFieldTypes.h"
#include "values/QELVariant.h"

namespace qel {

class TQELIndexDef;
class TQELScanSearchCondition;
class TQELScanSearchConditionArray;
class TQELSelectList;

enum TQELExprOperator : std::uint8_t {
  eoNone = 0,
  eoEqual = 1,
  eoNotEqual = 2,
  eoGreater = 3,
  eoLess = 4,
  eoGreaterOrEqual = 5,
  eoLessOrEqual = 6,
  eoNot = 7,
  eoAnd = 8,
  eoOr = 9,
  eoIn = 10,
  eoNotIn = 11,
  eoExists = 12,
  eoBetween = 13,
  eoNotBetween = 14,
  eoLike = 15,
  eoNotLike = 16,
  eoIsNull = 17,
  eoIsNotNull = 18,
  eoAdd = 21,
  eoNegate = 22,
  eoMultiply = 23,
  eoDivide = 24,
  eoConcat = 25,
  eoUpper = 26,
  eoLower = 27,
  eoTrim = 28,
  eoLTrim = 29,
  eoRTrim = 30,
  eoLength = 31,
  eoPosition = 32,
  eoSubstring = 33,
  eoSum = 34,
  eoAvg = 35,
  eoMin = 36,
  eoMax = 37,
  eoCount = 38,
  eoCountAll = 39,
  eoCurrentTimestamp = 40,
  eoCurrentDate = 41,
  eoCurrentTime = 42,
  eoToDate = 43,
  eoToString = 44,
  eoExtract = 45,
  eoCast = 46,
  eoLastAutoinc = 47,
  eoMimeToBin = 48,
  eoRowNum = 49,
  eoAbs = 50,
  eoAcos = 51,
  eoAsin = 52,
  eoAtan = 53,
  eoCeil = 54,
  eoCos = 55,
  eoExp = 56,
  eoFloor = 57,
  eoLog = 58,
  eoPower = 59,
  eoRand = 60,
  eoRound = 61,
  eoSign = 62,
  eoSin = 63,
  eoSqr = 64,
  eoSqrt = 65,
};

// The operator's text in messages ("=", "AND", "SUM", ...), "unknown" for a
// code without one.
std::string_view ExprOperatorText(TQELExprOperator op);

// The fields an expression reads and the records they lie in. A cursor
// provides one; so does anything else that holds laid-out records.
class TQELExprRecordSource {
 public:
  virtual ~TQELExprRecordSource() = default;
  // The table's fields (laid out): field numbers below count them.
  virtual const TQELFieldDefs& FieldDefs() const = 0;
  // The field a name in an expression stands for, or -1.
  virtual std::int32_t FindField(std::string_view fieldName) const = 0;
  // The record fields read when no record buffer was given to the nodes.
  virtual const std::uint8_t* CurrentRecord() const = 0;
  // The whole value of BLOB field `fieldNo` of `record` (a NULL of the
  // field's type for a NULL field).
  virtual void ReadBlobValue(std::int32_t fieldNo, const std::uint8_t* record,
                             TQELVariant& value) = 0;
  // Whether a column reference qualified by `tableName` (a table name or
  // alias) may mean one of these fields. A source that knows no names
  // answers true to every name.
  virtual bool AnswersTo(std::string_view /*tableName*/) const { return true; }
};

// A relational-algebra input as expressions see it: columns found by name
// (with a table name or alias, or "" for any) and the current row's values.
class TQELExprRowSource {
 public:
  virtual ~TQELExprRowSource() = default;
  // Appends the numbers of the matching columns to `numbers` and answers
  // how many matched.
  virtual std::int32_t FindColumns(std::string_view fieldName, std::string_view tableName,
                                   std::vector<std::int32_t>& numbers) const = 0;
  virtual TQELAdvancedFieldType ColumnDataType(std::int32_t column) const = 0;
  virtual std::int32_t ColumnDataSize(std::int32_t column) const = 0;
  virtual void GetColumnValue(std::int32_t column, TQELVariant& value) = 0;
  // A grouping input: aggregates can be evaluated on its rows.
  virtual bool IsGrouping() const { return false; }
};

class TQELExprNode {
 public:
  explicit TQELExprNode(TQELExprOperator op) : FOperator(op) {}
  // Copies the node with copies of its children; evaluation state (the
  // last value, aggregate sums, caches) is copied as it is.
  TQELExprNode(const TQELExprNode& other);
  TQELExprNode& operator=(const TQELExprNode&) = delete;
  virtual ~TQELExprNode();

  virtual std::unique_ptr<TQELExprNode> Clone() const = 0;

  // Slot 0: once after the tree is bound.
  virtual void Prepare();
  // Slot 1.
  virtual TQELVariant& Evaluate() = 0;
  // Slots 2, 3: the first row of a subquery; null for other nodes.
  virtual void FetchRow() {}
  virtual const TQELVariant* GetRowValue(std::int32_t index);
  // Slots 4..8: aggregation.
  virtual bool HasAggregate() const;
  virtual bool IsCountAll() const { return false; }
  virtual void ResetAggregate();
  virtual void Accumulate();
  virtual void SetAggregateCount(std::int32_t) {}
  // Slots 9..11: binding field references, and the record they read.
  virtual void BindToSources(TQELExprRowSource* source1, TQELExprRowSource* source2,
                             TQELExprRecordSource* outerCursor);
  virtual void BindToCursor(TQELExprRecordSource* cursor, TQELExprRowSource* source,
                            TQELExprRecordSource* outerCursor);
  virtual void SetRecordBuffer(const std::uint8_t* buffer, bool isOuter);
  // Slots 12..14: the result's declared type and size.
  virtual TQELAdvancedFieldType GetDataType();
  virtual std::int32_t GetDataSize();
  virtual std::int32_t GetPrecision() { return 0; }
  // Slots 15..20: query planning.
  virtual bool CanEvaluateOn(TQELExprRowSource* source1, TQELExprRowSource* source2,
                             bool isOuter, TQELExprRecordSource* cursor);
  virtual bool CanUseIndex(std::int32_t /*columnNo*/, const TQELIndexDef& /*indexDef*/) {
    return false;
  }
  virtual void AddIndexCondition(TQELScanSearchConditionArray& /*conditions*/,
                                 const TQELIndexDef& /*indexDef*/) {}
  virtual void FillIndexCondition(TQELScanSearchCondition& /*condition*/) {}
  virtual bool IsEquiJoin(TQELExprRowSource* /*source1*/, TQELExprRowSource* /*source2*/) {
    return false;
  }
  virtual void ReplaceAliases(TQELSelectList& selectList);
  // Slot 21: true when every field read is named in `fieldNames`
  // (separated by semicolons, case ignored).
  virtual bool UsesOnlyFields(std::string_view fieldNames);

  TQELExprOperator Operator() const { return FOperator; }
  const TQELVariant& Value() const { return FValue; }

  std::int32_t ChildCount() const { return static_cast<std::int32_t>(FChildren.size()); }
  TQELExprNode& Child(std::int32_t index) const { return *FChildren[static_cast<std::size_t>(index)]; }
  void AddChild(std::unique_ptr<TQELExprNode> child);
  // Takes child `index` out of the node.
  std::unique_ptr<TQELExprNode> ReleaseChild(std::int32_t index);
  // Puts `child` in place of child `index` and answers the one it replaced.
  std::unique_ptr<TQELExprNode> ReplaceChild(std::int32_t index, std::unique_ptr<TQELExprNode> child);

  bool CaseInsensitive() const { return FCaseInsensitive; }
  void SetCaseInsensitive(bool value) { FCaseInsensitive = value; }
  bool Partial() const { return FPartial; }
  void SetPartial(bool value) { FPartial = value; }

 protected:
  // The common type of the children, folded left to right; raises 30283
  // when they have none.
  TQELAdvancedFieldType ChildrenDataType();
  // Wraps child `index` in a cast to `type` unless it has that type, so
  // that operands meet in one type (concatenation, CASE, COALESCE).
  void CastChildTo(std::int32_t index, TQELAdvancedFieldType type);

  std::vector<std::unique_ptr<TQELExprNode>> FChildren;
  TQELExprOperator FOperator;
  TQELVariant FValue;
  bool FCaseInsensitive = false;
  bool FPartial = false;
};

using TQELExprNodeArray = std::vector<TQELExprNode*>;

// Results of a fixed type, set without a conversion.
void SetBooleanValue(TQELVariant& value, bool truth);
void SetBooleanNull(TQELVariant& value);
void SetIntegerValue(TQELVariant& value, std::int32_t number);
void SetLargeintValue(TQELVariant& value, std::int64_t number);
void SetDoubleValue(TQELVariant& value, double number);
// Text results, with the string's terminator; an empty text is a NULL
// string, as everywhere in the engine.
void SetTextValue(TQELVariant& value, std::string_view text);
void SetWideTextValue(TQELVariant& value, std::u16string_view text);
// True for a non-NULL value that converts to the Boolean true.
bool IsTrueValueSlow(const TQELVariant& value);
inline bool IsTrueValue(const TQELVariant& value) {
  if (value.DataType() == bftBoolean && !value.IsNull()) {
    return value.DataSize() >= 2 && (value.Data()[0] | value.Data()[1]) != 0;
  }
  return IsTrueValueSlow(value);
}

// The text of an 8-bit string or memo value, up to its first zero byte
// (a view of the value's bytes).
std::string_view QELNarrowText(const TQELVariant& value);
// The text of a wide string or wide memo value: a view of the value's
// bytes when they are aligned, else of a copy kept in `scratch`.
std::u16string_view QELWideText(const TQELVariant& value, std::u16string& scratch);
// The value as text of the width asked for: its own bytes when it already
// is such a string (or memo), else converted into `scratch`.
std::string_view QELTextOf(const TQELVariant& value, TQELVariant& scratch);
std::u16string_view QELWideTextOf(const TQELVariant& value, TQELVariant& scratch,
                                  std::u16string& copy);

// A constant: the value it was made with.
class TQELExprNodeConst final : public TQELExprNode {
 public:
  explicit TQELExprNodeConst(const TQELVariant& value) : TQELExprNode(eoNone) { FValue = value; }
  std::unique_ptr<TQELExprNode> Clone() const override {
    return std::make_unique<TQELExprNodeConst>(*this);
  }

  TQELVariant& Evaluate() override { return FValue; }
  TQELAdvancedFieldType GetDataType() override;
  std::int32_t GetDataSize() override;
  bool CanEvaluateOn(TQELExprRowSource*, TQELExprRowSource*, bool, TQELExprRecordSource*) override {
    return true;
  }

  // The value, to change it in place (a prefix constant loses its
  // asterisk, a wide constant becomes narrow for a narrow field).
  TQELVariant& MutableValue() { return FValue; }

  // The number of the parameter marker the value came from, or -1: a
  // statement run again with new parameter values takes them here.
  std::int32_t ParamNo() const { return FParamNo; }
  void SetParamNo(std::int32_t paramNo) { FParamNo = paramNo; }

 private:
  std::int32_t FParamNo = -1;
};

}  // namespace qel
