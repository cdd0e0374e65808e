#pragma once
// TQELExprNodeCase: the simple CASE (an input compared with each WHEN
// value), the searched CASE (the first WHEN condition that holds), and
// COALESCE (the first argument that is not NULL). Every part is a child;
// the node keeps which child plays which part.

#include <cstdint>
#include <memory>
#include <vector>

#include "sql/QELExprNode.h"

namespace qel {

class TQELExprNodeCase final : public TQELExprNode {
 public:
  explicit TQELExprNodeCase(bool isCoalesce = false)
      : TQELExprNode(eoNone), FIsCoalesce(isCoalesce) {}
  std::unique_ptr<TQELExprNode> Clone() const override {
    return std::make_unique<TQELExprNodeCase>(*this);
  }

  // Simple CASE: the value the WHEN values are compared with.
  void SetInput(std::unique_ptr<TQELExprNode> input);
  void AddWhen(std::unique_ptr<TQELExprNode> when, std::unique_ptr<TQELExprNode> then);
  void SetElse(std::unique_ptr<TQELExprNode> otherwise);
  // COALESCE.
  void AddArgument(std::unique_ptr<TQELExprNode> argument);

  bool IsCoalesce() const { return FIsCoalesce; }
  bool IsSimple() const { return FInput >= 0; }
  std::int32_t WhenCount() const { return static_cast<std::int32_t>(FWhens.size()); }
  bool HasElse() const { return FElse >= 0; }

  TQELVariant& Evaluate() override;
  // The common type of the THEN and ELSE values (the arguments of
  // COALESCE); those of another type are wrapped in casts to it.
  TQELAdvancedFieldType GetDataType() override;
  // The largest size among those values.
  std::int32_t GetDataSize() override;

 private:
  std::vector<std::int32_t> ResultChildren() const;

  bool FIsCoalesce;
  std::int32_t FInput = -1;
  std::vector<std::int32_t> FWhens;
  std::vector<std::int32_t> FThens;
  std::int32_t FElse = -1;
};

}  // namespace qel
