// Arithmetic on variants. Each operation first settles NULLs, then brings
// both operands to their common type (preferring numbers to dates) and
// computes in that type:
//   Add: another NULL makes the result NULL, except that a string stays as
//        it is; a NULL string becomes a copy of the other value, any other
//        NULL stays NULL. Strings concatenate.
//   Multiply, Divide: either NULL gives NULL.
//   Integer results wrap to the type's width; dates, times and the two
//   parts of a date-time are computed separately, a date-time carrying whole
//   days out of its milliseconds; Booleans combine with OR.
//   Divide reports a division by zero, or any failure that is not the
//   engine's own, as "Division error: %s".
//   Negate: integers and dates through the signed type of their width;
//   Booleans invert.

#include <cmath>
#include <limits>
#include <new>

#include "values/QELValueErrors.h"
#include "values/QELVariant.h"
#include "values/QELVariantInternal.h"

namespace qel {

using namespace variant_internal;

namespace {

std::int64_t WrapAdd(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

std::int64_t WrapMultiply(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

std::int64_t CheckedDivide(std::int64_t a, std::int64_t b) {
  if (b == 0) throw EZeroDivide("Division by zero");
  if (a == std::numeric_limits<std::int64_t>::min() && b == -1) return a;  // wraps
  return a / b;
}

std::int64_t Apply(char op, std::int64_t a, std::int64_t b) {
  switch (op) {
    case '+':
      return WrapAdd(a, b);
    case '*':
      return WrapMultiply(a, b);
    default:
      return CheckedDivide(a, b);
  }
}

template <class T>
T ApplyReal(char op, T a, T b) {
  switch (op) {
    case '+':
      return a + b;
    case '*':
      return a * b;
    default:
      if (b == 0) throw EZeroDivide("Floating point division by zero");
      return a / b;
  }
}

std::int32_t NotNumericCode(char op) {
  return op == '+' ? kErrNotNumericAdd : op == '*' ? kErrNotNumericMultiply : kErrNotNumericDivide;
}

[[noreturn]] void ThrowNotNumeric(char op) {
  const char symbol[2] = {op, 0};
  throw EQELException(NotNumericCode(op), kNotNumericMsg, {symbol});
}

// Floor division that leaves milliseconds in 0 .. 86399999.
void Carry(std::int64_t& days, std::int64_t& ms) {
  std::int64_t carried = ms / kQELMSecsPerDay;
  ms %= kQELMSecsPerDay;
  if (ms < 0) {
    ms += kQELMSecsPerDay;
    --carried;
  }
  days = WrapAdd(days, carried);
}

}  // namespace

void TQELVariant::Operate(char op, const TQELVariant& other) {
  const TQELBaseFieldType type = CommonType(FDataType, other.FDataType, false);
  if (type == bftUnknown) ThrowNotNumeric(op);
  TQELVariant leftScratch;
  TQELVariant rightScratch;
  const TQELVariant& left = ViewAs(type, leftScratch);
  const TQELVariant& right = other.ViewAs(type, rightScratch);
  const std::uint8_t* a = left.FData;
  const std::uint8_t* b = right.FData;
  const std::int32_t aSize = left.FDataSize;
  const std::int32_t bSize = right.FDataSize;

  TQELVariant result;
  if (IsIntegerBaseType(type)) {
    const std::int64_t value = Apply(op, LoadInteger(a, aSize, type), LoadInteger(b, bSize, type));
    std::uint8_t bytes[8];
    QELStoreLE<std::int64_t>(bytes, value);  // the low bytes are the wrapped value
    result.SetData(bytes, GetDataSize(type, 0), cmCopy, type);
  } else if (type == bftSingle) {
    QELStoreLE<float>(result.AllocateData(4, type),
                      ApplyReal(op, LoadFixed<float>(a, aSize), LoadFixed<float>(b, bSize)));
  } else if (type == bftDouble || type == bftCurrency) {
    QELStoreLE<double>(result.AllocateData(8, type),
                       ApplyReal(op, LoadFixed<double>(a, aSize), LoadFixed<double>(b, bSize)));
  } else if (type == bftExtended) {
    QELEncodeExtended(ApplyReal(op, LoadExtended(a, aSize), LoadExtended(b, bSize)),
                      result.AllocateData(kQELExtendedSize, type));
  } else if (type == bftDate || type == bftTime) {
    const std::int64_t value =
        Apply(op, LoadFixed<std::int32_t>(a, aSize), LoadFixed<std::int32_t>(b, bSize));
    QELStoreLE<std::int32_t>(result.AllocateData(4, type), static_cast<std::int32_t>(value));
  } else if (type == bftDateTime) {
    std::int64_t days =
        Apply(op, LoadFixed<std::int32_t>(a, aSize), LoadFixed<std::int32_t>(b, bSize));
    std::int64_t ms = Apply(op, aSize >= 8 ? LoadFixed<std::int32_t>(a + 4, 4) : 0,
                            bSize >= 8 ? LoadFixed<std::int32_t>(b + 4, 4) : 0);
    Carry(days, ms);
    std::uint8_t* bytes = result.AllocateData(8, type);
    QELStoreLE<std::int32_t>(bytes, static_cast<std::int32_t>(days));
    QELStoreLE<std::int32_t>(bytes + 4, static_cast<std::int32_t>(ms));
  } else if (type == bftBoolean) {
    const bool value =
        LoadFixed<std::int16_t>(a, aSize) != 0 || LoadFixed<std::int16_t>(b, bSize) != 0;
    QELStoreLE<std::int16_t>(result.AllocateData(2, type), value ? -1 : 0);
  } else if (op == '+' && IsStringBaseType(type)) {
    if (IsWideStringBaseType(type)) {
      const TWideText first(a, aSize);
      const TWideText second(b, bSize);
      std::u16string text;
      text.reserve(first.View().size() + second.View().size());
      text.append(first.View()).append(second.View());
      StoreWideText(result, type, text);
    } else {
      const std::string_view first = NarrowText(a, aSize);
      const std::string_view second = NarrowText(b, bSize);
      const auto size = static_cast<std::int32_t>(first.size() + second.size());
      std::uint8_t* bytes = result.AllocateData(size + 1, type);
      std::memcpy(bytes, first.data(), first.size());
      std::memcpy(bytes + first.size(), second.data(), second.size());
      bytes[size] = 0;
    }
  } else {
    ThrowNotNumeric(op);
  }
  TakeData(result);
  FDataType = type;
  FNullFlag = 0;
}

void TQELVariant::Add(const TQELVariant& other) {
  if (other.IsNull()) {
    if (!IsString()) SetNull();
    return;
  }
  if (IsNull()) {
    if (IsString()) Assign(other, cmCopy);
    return;
  }
  Operate('+', other);
}

void TQELVariant::Multiply(const TQELVariant& other) {
  if (IsNull()) return;
  if (other.IsNull()) {
    SetNull();
    return;
  }
  Operate('*', other);
}

void TQELVariant::Divide(const TQELVariant& other) {
  if (IsNull()) return;
  if (other.IsNull()) {
    SetNull();
    return;
  }
  try {
    Operate('/', other);
  } catch (const EQELException&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    throw EQELException(kErrDivision, kDivisionErrorMsg, {error.what()});
  }
}

void TQELVariant::Negate() {
  if (IsNull()) return;
  std::uint8_t bytes[kQELExtendedSize];
  std::int32_t size = 0;
  switch (FDataType) {
    case bftShortint:
    case bftByte:
      bytes[0] = static_cast<std::uint8_t>(-static_cast<std::int8_t>(LoadFixed<std::uint8_t>(FData, FDataSize)));
      size = 1;
      break;
    case bftSmallint:
    case bftWord:
      QELStoreLE<std::int16_t>(
          bytes, static_cast<std::int16_t>(-static_cast<std::int16_t>(LoadFixed<std::uint16_t>(FData, FDataSize))));
      size = 2;
      break;
    case bftInteger:
    case bftDate: {
      const std::int32_t value = LoadFixed<std::int32_t>(FData, FDataSize);
      if (value == std::numeric_limits<std::int32_t>::min()) throw EIntOverflow();
      QELStoreLE<std::int32_t>(bytes, -value);
      size = 4;
      break;
    }
    case bftCardinal:
      if (LoadFixed<std::uint32_t>(FData, FDataSize) != 0) throw EIntOverflow();
      QELStoreLE<std::uint32_t>(bytes, 0);
      size = 4;
      break;
    case bftLargeint: {
      const std::int64_t value = LoadFixed<std::int64_t>(FData, FDataSize);
      if (value == std::numeric_limits<std::int64_t>::min()) throw EIntOverflow();
      QELStoreLE<std::int64_t>(bytes, -value);
      size = 8;
      break;
    }
    case bftSingle:
      QELStoreLE<float>(bytes, -LoadFixed<float>(FData, FDataSize));
      size = 4;
      break;
    case bftDouble:
    case bftCurrency:
      QELStoreLE<double>(bytes, -LoadFixed<double>(FData, FDataSize));
      size = 8;
      break;
    case bftExtended:
      QELEncodeExtended(-LoadExtended(FData, FDataSize), bytes);
      size = kQELExtendedSize;
      break;
    case bftBoolean:
      QELStoreLE<std::int16_t>(bytes, LoadFixed<std::int16_t>(FData, FDataSize) != 0 ? 0 : -1);
      size = 2;
      break;
    default:
      throw EQELException(kErrCannotInvert, kCannotInvertMsg, {BaseFieldTypeName(FDataType)});
  }
  StoreOwned(bytes, size);
  FNullFlag = 0;
}

}  // namespace qel
