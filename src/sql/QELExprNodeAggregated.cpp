#include "sql/QELExprNodeAggregated.h"

#include <limits>

#include "platform/QELException.h"
#include "sql/QELExpressionErrors.h"
#include "values/QELValueCodec.h"

namespace qel {

void TQELExprNodeAggregated::ResetAggregate() {
  FCount = 0;
  FValue.Clear(FValue.DataType());
  FSum.Clear(bftDouble);
  FIntegerSum = 0;
  FRealSum = 0;
  FSumIsReal = false;
  FSumType = bftUnknown;
  FSeen.clear();
}

bool TQELExprNodeAggregated::FirstInGroup(const TQELVariant& value) {
  if (!FDistinct) return true;
  return FSeen.insert(value).second;
}

void TQELExprNodeAggregated::Accumulate() {
  if (FOperator == eoCountAll) {
    ++FCount;
    return;
  }
  const TQELVariant& value = Child(0).Evaluate();
  if (value.IsNull()) return;
  switch (FOperator) {
    case eoCount:
      if (FirstInGroup(value)) ++FCount;
      return;
    case eoSum: {
      if (!value.IsNumeric()) {
        throw EQELException(kQELErrSumNotNumeric, kQELNotNumericMsg, {"SUM"});
      }
      if (!FirstInGroup(value)) return;
      if (FCount == 0) FSumType = value.DataType();
      if (IsIntegerBaseType(value.DataType())) {
        std::int64_t total = 0;
        if (__builtin_add_overflow(FIntegerSum, value.AsLargeint(), &total)) {
          throw EQELException(kQELErrResultOutOfRange, kQELResultOutOfRangeMsg, {"SUM"});
        }
        FIntegerSum = total;
      } else {
        FSumIsReal = true;
        FRealSum += value.DataType() == bftExtended ? value.AsExtended() : value.AsDouble();
      }
      ++FCount;
      return;
    }
    case eoAvg: {
      if (!value.IsNumeric()) {
        throw EQELException(kQELErrAvgNotNumeric, kQELNotNumericMsg, {"AVG"});
      }
      if (!FirstInGroup(value)) return;
      const double sum = (FSum.IsNull() ? 0.0 : FSum.AsDouble()) + value.AsDouble();
      SetDoubleValue(FSum, sum);
      ++FCount;
      return;
    }
    case eoMin:
    case eoMax: {
      const std::int32_t wanted = FOperator == eoMin ? ccLess : ccGreater;
      if (FValue.IsNull() || value.Compare(FValue, true, false, true) == wanted) {
        FValue.Assign(value, cmCopy);
      }
      ++FCount;
      return;
    }
    default:
      throw EQELException(kQELErrUnknownAggregateOperator, kQELUnknownOperatorMsg,
                          {ExprOperatorText(FOperator)});
  }
}

TQELVariant& TQELExprNodeAggregated::Evaluate() {
  switch (FOperator) {
    case eoCount:
    case eoCountAll:
      if (FCount > std::numeric_limits<std::int32_t>::max()) {
        throw EQELException(kQELErrResultOutOfRange, kQELResultOutOfRangeMsg,
                            {ExprOperatorText(FOperator)});
      }
      SetIntegerValue(FValue, static_cast<std::int32_t>(FCount));
      return FValue;
    case eoAvg:
      if (FSum.IsNull() || FCount == 0) {
        FValue.Clear(bftDouble);
      } else {
        SetDoubleValue(FValue, FSum.AsDouble() / static_cast<double>(FCount));
      }
      return FValue;
    case eoSum: {
      if (FCount == 0) {
        FValue.Clear(FSumIsReal ? FSumType : bftLargeint);
        return FValue;
      }
      if (!FSumIsReal) {
        SetLargeintValue(FValue, FIntegerSum);
        return FValue;
      }
      const long double total = FRealSum + static_cast<long double>(FIntegerSum);
      switch (FSumType) {
        case bftSingle:
          FValue.Clear(bftSingle);
          FValue.SetAsSingle(static_cast<float>(total));
          break;
        case bftExtended:
          FValue.Clear(bftExtended);
          FValue.SetAsExtended(total);
          break;
        case bftCurrency:
          FValue.Clear(bftCurrency);
          FValue.SetAsCurrency(static_cast<double>(total));
          break;
        default:
          SetDoubleValue(FValue, static_cast<double>(total));
          break;
      }
      return FValue;
    }
    case eoMin:
    case eoMax:
      return FValue;
    default:
      throw EQELException(kQELErrUnknownAggregateOperator, kQELUnknownOperatorMsg,
                          {ExprOperatorText(FOperator)});
  }
}

TQELAdvancedFieldType TQELExprNodeAggregated::GetDataType() {
  switch (FOperator) {
    case eoSum: {
      const TQELAdvancedFieldType type = Child(0).GetDataType();
      const bool real = type == aftSingle || type == aftDouble || type == aftExtended ||
                        type == aftCurrency;
      return real ? type : aftLargeint;
    }
    case eoAvg: return aftDouble;
    case eoMin:
    case eoMax: return Child(0).GetDataType();
    default: return aftInteger;
  }
}

std::int32_t TQELExprNodeAggregated::GetDataSize() {
  return FOperator == eoMin || FOperator == eoMax ? Child(0).GetDataSize() : 0;
}

bool TQELExprNodeAggregated::CanEvaluateOn(TQELExprRowSource* source1, TQELExprRowSource*, bool,
                                           TQELExprRecordSource*) {
  return source1 != nullptr && source1->IsGrouping();
}

}  // namespace qel
