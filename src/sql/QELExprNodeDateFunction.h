#pragma once
// TQELExprNodeDateFunction: the present moment (CURRENT_TIMESTAMP,
// CURRENT_DATE, CURRENT_TIME), TODATE(text, format), TOSTRING(value,
// format) and EXTRACT(part FROM value). TODATE and TOSTRING hold the
// formatter of their format text, made once when the call is parsed.

#include <cstdint>
#include <memory>
#include <string_view>

#include "sql/QELDateFormat.h"
#include "sql/QELExprNode.h"

namespace qel {

enum TQELDatePart : std::uint8_t {
  dpYear = 0,
  dpMonth = 1,
  dpDay = 2,
  dpHour = 3,
  dpMinute = 4,
  dpSecond = 5,
};

class TQELExprNodeDateFunction final : public TQELExprNode {
 public:
  explicit TQELExprNodeDateFunction(TQELExprOperator op) : TQELExprNode(op) {}
  std::unique_ptr<TQELExprNode> Clone() const override {
    return std::make_unique<TQELExprNodeDateFunction>(*this);
  }

  void SetFormat(std::string_view format) { FFormater = std::make_shared<const TDateFormater>(format); }
  const TDateFormater* Formater() const { return FFormater.get(); }
  void SetDatePart(TQELDatePart part) { FDatePart = part; }
  TQELDatePart DatePart() const { return FDatePart; }

  TQELVariant& Evaluate() override;
  TQELAdvancedFieldType GetDataType() override;
  std::int32_t GetDataSize() override;

 private:
  // Copies share the formatter, which never changes after it is made.
  std::shared_ptr<const TDateFormater> FFormater;
  TQELDatePart FDatePart = dpYear;
  TQELVariant FScratch;
};

}  // namespace qel
