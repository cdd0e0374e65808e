#pragma once
// TQELExprNodeComparison: "=", "<>", ">", "<", ">=", "<=" between two
// operands, or between a value and the rows of a subquery with ALL or ANY.
//
// The answer is a Boolean and never NULL: with FNullsUnordered a NULL
// operand satisfies no operator; without it NULL is lower than every value
// and equal to NULL. Two kinds of partial comparison exist:
//   - a filter constant that ended in an asterisk compares only as many
//     characters as it has, so a value matches when it starts with it;
//   - the comparison a LIKE with one trailing '%' becomes answers exactly
//     what that LIKE would, NULL and type errors included, so that serving
//     it through an index never changes the result.

#include <cstdint>
#include <memory>

#include "sql/QELExprNode.h"
#include "sql/QELLikeMatcher.h"

namespace qel {

enum TQELQuantifier : std::uint8_t { qtNone = 0, qtAll = 1, qtAny = 2 };

class TQELExprNodeComparison final : public TQELExprNode {
 public:
  TQELExprNodeComparison(TQELExprOperator op, std::unique_ptr<TQELExprNode> left,
                         std::unique_ptr<TQELExprNode> right, bool nullsUnordered);
  std::unique_ptr<TQELExprNode> Clone() const override {
    return std::make_unique<TQELExprNodeComparison>(*this);
  }

  void Prepare() override;
  TQELVariant& Evaluate() override;
  TQELAdvancedFieldType GetDataType() override { return aftBoolean; }
  std::int32_t GetDataSize() override { return 0; }

  bool NullsUnordered() const { return FNullsUnordered; }
  void SetNullsUnordered(bool value) { FNullsUnordered = value; }
  TQELQuantifier Quantifier() const { return FQuantifier; }
  // Child 0 becomes the subquery, child 1 the value.
  void SetQuantifier(TQELQuantifier quantifier) { FQuantifier = quantifier; }
  // Partial comparison against the constant child `constantChild`.
  void SetPrefixConstant(std::int32_t constantChild) {
    FPartial = true;
    FPrefixChild = constantChild;
  }
  // The LIKE 'prefix%' form (child 1 the prefix, no wildcards left in it).
  void SetLikePrefix() {
    SetPrefixConstant(1);
    FLikePrefix = true;
  }
  bool IsLikePrefix() const { return FLikePrefix; }
  std::int32_t PrefixChild() const { return FPrefixChild; }

 private:
  bool Holds(std::int32_t code) const;
  std::int32_t ComparePrefix(const TQELVariant& left, const TQELVariant& right) const;
  TQELVariant& EvaluateLikePrefix();
  TQELVariant& EvaluateQuantified();

  bool FNullsUnordered;
  TQELQuantifier FQuantifier = qtNone;
  std::int32_t FPrefixChild = -1;
  bool FLikePrefix = false;
  TQELLikeMatcher FMatcher;
  TQELVariant FScratch;
  TQELVariant FPatternScratch;
};

// LIKE on two values (neither NULL): their common type must be a string
// type, else 30120 is raised. `scratch` holds conversions. Shared by the
// LIKE node and the LIKE prefix comparison.
bool QELLikeValues(const TQELVariant& value, const TQELVariant& pattern, std::int32_t escape,
                   bool caseInsensitive, bool prefixOnly, TQELLikeMatcher& matcher,
                   TQELVariant& valueScratch, TQELVariant& patternScratch);

}  // namespace qel
