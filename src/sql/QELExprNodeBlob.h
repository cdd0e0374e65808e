#pragma once
// TQELExprNodeBlob: MIMETOBIN(text), the bytes that a Base64 text (the
// alphabet of RFC 2045) stands for, as a string value. Characters outside
// the alphabet are skipped, as line breaks in MIME text are; decoding stops
// at the first '='.

#include <memory>
#include <string>
#include <string_view>

#include "sql/QELExprNode.h"

namespace qel {

// The bytes of a Base64 text.
std::string QELDecodeBase64(std::string_view text);

class TQELExprNodeBlob final : public TQELExprNode {
 public:
  TQELExprNodeBlob() : TQELExprNode(eoMimeToBin) {}
  std::unique_ptr<TQELExprNode> Clone() const override {
    return std::make_unique<TQELExprNodeBlob>(*this);
  }

  TQELVariant& Evaluate() override;
  TQELAdvancedFieldType GetDataType() override { return aftString; }
  std::int32_t GetDataSize() override { return 0; }

 private:
  TQELVariant FScratch;
};

}  // namespace qel
