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
  // The length of the decoded text (the argument is a literal), so that a
  // column made for the value holds all of it.
  std::int32_t GetDataSize() override;

 private:
  TQELVariant FScratch;
};

}  // namespace qel
