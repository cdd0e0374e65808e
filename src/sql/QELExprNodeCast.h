#pragma once
// TQELExprNodeCast: CAST(value AS type [(size)]). Child 0 is the value,
// child 1 the optional size. The value is converted to the target type's
// storage type; a string target keeps at most `size` characters (4096
// without a size) in the target's width.

#include <cstdint>
#include <memory>

#include "sql/QELExprNode.h"

namespace qel {

// Characters a value of `sourceType` (declared size `sourceSize`) needs as
// text: the size of strings and BLOB-like types, the longest text of
// numbers, dates and GUIDs. Raises "Unsupported data type '%s'" (30466) for
// a type without a text form.
std::int32_t QELTextWidthOf(TQELAdvancedFieldType sourceType, std::int32_t sourceSize);

class TQELExprNodeCast final : public TQELExprNode {
 public:
  explicit TQELExprNodeCast(TQELAdvancedFieldType target) : TQELExprNode(eoCast), FTarget(target) {}
  std::unique_ptr<TQELExprNode> Clone() const override {
    return std::make_unique<TQELExprNodeCast>(*this);
  }

  // Adds the size as child 1; call after the value.
  void SetSizeNode(std::unique_ptr<TQELExprNode> size);
  bool HasSizeNode() const { return FHasSize; }
  TQELAdvancedFieldType TargetType() const { return FTarget; }

  TQELVariant& Evaluate() override;
  TQELAdvancedFieldType GetDataType() override { return FTarget; }
  // The size node's value; without one, for a string target, the width of
  // the value's type as text; 0 otherwise.
  std::int32_t GetDataSize() override;

 private:
  std::int32_t CharacterLimit();

  TQELAdvancedFieldType FTarget;
  bool FHasSize = false;
};

}  // namespace qel
