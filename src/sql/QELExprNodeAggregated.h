#pragma once
// TQELExprNodeAggregated: SUM, AVG, MIN, MAX, COUNT and COUNT(*) over the
// rows of a group. ResetAggregate starts a group, Accumulate takes the
// current row, Evaluate answers for the rows taken.
//
// SUM adds integers in 64 bits (raising 30511 past them) and reals in
// double precision, whatever the first value's type; AVG keeps a double
// sum. With DISTINCT each group keeps the values it has taken, so that a
// repeated value counts once. Over no rows COUNT is 0 and the others are
// NULL.

#include <cstdint>
#include <memory>
#include <set>

#include "sql/QELExprNode.h"

namespace qel {

class TQELExprNodeAggregated final : public TQELExprNode {
 public:
  TQELExprNodeAggregated(TQELExprOperator op, bool distinct)
      : TQELExprNode(op), FDistinct(distinct) {}
  std::unique_ptr<TQELExprNode> Clone() const override {
    return std::make_unique<TQELExprNodeAggregated>(*this);
  }

  TQELVariant& Evaluate() override;
  bool HasAggregate() const override { return true; }
  bool IsCountAll() const override { return FOperator == eoCountAll; }
  void ResetAggregate() override;
  void Accumulate() override;
  void SetAggregateCount(std::int32_t count) override { FCount = count; }
  TQELAdvancedFieldType GetDataType() override;
  std::int32_t GetDataSize() override;
  // Only a grouping input has the rows of a group.
  bool CanEvaluateOn(TQELExprRowSource* source1, TQELExprRowSource* source2, bool isOuter,
                     TQELExprRecordSource* cursor) override;
  bool UsesOnlyFields(std::string_view) override { return true; }

  bool Distinct() const { return FDistinct; }
  std::int64_t Count() const { return FCount; }

 private:
  struct TValueLess {
    bool operator()(const TQELVariant& a, const TQELVariant& b) const {
      return a.Compare(b, false, false, false) == ccLess;
    }
  };

  // False when DISTINCT has seen the value in this group already.
  bool FirstInGroup(const TQELVariant& value);

  std::int64_t FCount = 0;
  bool FDistinct;
  TQELVariant FSum;  // AVG's running sum
  // SUM's running total: integers exactly, reals as doubles.
  std::int64_t FIntegerSum = 0;
  long double FRealSum = 0;
  bool FSumIsReal = false;
  TQELBaseFieldType FSumType = bftUnknown;  // the first value's type
  std::set<TQELVariant, TValueLess> FSeen;
};

}  // namespace qel
