#include "sql/QELExprNodeDateFunction.h"

#include <cmath>

#include "platform/QELClock.h"
#include "platform/QELException.h"
#include "sql/QELExpressionErrors.h"
#include "values/QELValueCodec.h"

namespace qel {

namespace {

void SetDateTimeOfKind(TQELVariant& value, TQELBaseFieldType type, double dateTime) {
  value.Clear(type);
  switch (type) {
    case bftDate: value.SetAsDate(dateTime); break;
    case bftTime: value.SetAsTime(dateTime); break;
    default: value.SetAsDateTime(dateTime); break;
  }
}

}  // namespace

TQELVariant& TQELExprNodeDateFunction::Evaluate() {
  switch (FOperator) {
    case eoCurrentTimestamp:
      SetDateTimeOfKind(FValue, bftDateTime, QELNow());
      return FValue;
    case eoCurrentDate:
      SetDateTimeOfKind(FValue, bftDate, std::floor(QELNow()));
      return FValue;
    case eoCurrentTime: {
      const double now = QELNow();
      SetDateTimeOfKind(FValue, bftTime, now - std::floor(now));
      return FValue;
    }
    case eoToDate: {
      const TQELVariant& text = Child(0).Evaluate();
      if (text.IsNull()) {
        FValue.Clear(bftDateTime);
        return FValue;
      }
      const double value = FFormater->StringToDateTime(QELTextOf(text, FScratch));
      // A value on day 0 is a time of day, a value at midnight a date.
      const double whole = std::trunc(value);
      const TQELBaseFieldType type = whole == 0 ? bftTime : value == whole ? bftDate : bftDateTime;
      SetDateTimeOfKind(FValue, type, value);
      return FValue;
    }
    case eoToString: {
      const TQELVariant& value = Child(0).Evaluate();
      if (value.IsNull()) {
        FValue.Clear(bftString);
      } else {
        SetTextValue(FValue, FFormater->DateTimeToString(value.AsDateTime()));
      }
      return FValue;
    }
    case eoExtract: {
      const TQELVariant& value = Child(0).Evaluate();
      if (value.IsNull()) {
        FValue.Clear(bftWord);
        return FValue;
      }
      const TQELDateTimeStamp stamp = value.AsDateTimeStamp();
      int part = 0;
      if (FDatePart <= dpDay) {
        int year = 0, month = 0, day = 0;
        if (!QELTryDecodeDate(stamp.Date, year, month, day)) {
          throw EQELException(kQELErrInvalidArgument, kQELInvalidArgumentMsg, {"EXTRACT"});
        }
        part = FDatePart == dpYear ? year : FDatePart == dpMonth ? month : day;
      } else {
        const int seconds = stamp.Time / 1000;
        part = FDatePart == dpHour ? seconds / 3600 : FDatePart == dpMinute ? seconds / 60 % 60
                                                                            : seconds % 60;
      }
      FValue.Clear(bftWord);
      FValue.SetAsWord(static_cast<std::uint16_t>(part));
      return FValue;
    }
    default:
      throw EQELException(kQELErrUnknownDateOperator, kQELUnknownOperatorMsg,
                          {ExprOperatorText(FOperator)});
  }
}

TQELAdvancedFieldType TQELExprNodeDateFunction::GetDataType() {
  switch (FOperator) {
    case eoCurrentTimestamp: return aftDateTime;
    case eoCurrentDate: return aftDate;
    case eoCurrentTime: return aftTime;
    case eoToDate: return FFormater->GetResultType();
    case eoToString: return aftString;
    case eoExtract: return aftWord;
    default:
      throw EQELException(30287, kQELUnknownOperatorMsg, {ExprOperatorText(FOperator)});
  }
}

std::int32_t TQELExprNodeDateFunction::GetDataSize() {
  return FOperator == eoToString ? FFormater->GetResultLength() : 0;
}

}  // namespace qel
