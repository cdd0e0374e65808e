#include "sql/QELExprNode.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/QELException.h"
#include "sql/QELExprNodeCast.h"
#include "sql/QELExpressionErrors.h"
#include "values/QELValueCodec.h"

namespace qel {

std::string_view ExprOperatorText(TQELExprOperator op) {
  switch (op) {
    case eoEqual: return "=";
    case eoNotEqual: return "<>";
    case eoGreater: return ">";
    case eoLess: return "<";
    case eoGreaterOrEqual: return ">=";
    case eoLessOrEqual: return "<=";
    case eoNot: return "NOT";
    case eoAnd: return "AND";
    case eoOr: return "OR";
    case eoLike: return "LIKE";
    case eoNotLike: return "NOT LIKE";
    case eoIsNull: return "IS NULL";
    case eoIsNotNull: return "IS NOT NULL";
    case eoAdd: return "+";
    case eoNegate: return "-";
    case eoMultiply: return "*";
    case eoDivide: return "/";
    case eoConcat: return "||";
    case eoUpper: return "UPPER";
    case eoLower: return "LOWER";
    case eoTrim: return "TRIM";
    case eoLTrim: return "LTRIM";
    case eoRTrim: return "RTRIM";
    case eoSum: return "SUM";
    case eoAvg: return "AVG";
    case eoMin: return "MIN";
    case eoMax: return "MAX";
    case eoCount: return "COUNT";
    case eoCountAll: return "COUNT(*)";
    default: return "unknown";
  }
}

TQELExprNode::TQELExprNode(const TQELExprNode& other)
    : FOperator(other.FOperator),
      FValue(other.FValue),
      FCaseInsensitive(other.FCaseInsensitive),
      FPartial(other.FPartial) {
  FChildren.reserve(other.FChildren.size());
  for (const auto& child : other.FChildren) FChildren.push_back(child->Clone());
}

TQELExprNode::~TQELExprNode() = default;

void TQELExprNode::Prepare() {
  for (auto& child : FChildren) child->Prepare();
}

const TQELVariant* TQELExprNode::GetRowValue(std::int32_t) { return nullptr; }

bool TQELExprNode::HasAggregate() const {
  for (const auto& child : FChildren) {
    if (child->HasAggregate()) return true;
  }
  return false;
}

void TQELExprNode::ResetAggregate() {
  for (auto& child : FChildren) child->ResetAggregate();
}

void TQELExprNode::Accumulate() {
  for (auto& child : FChildren) child->Accumulate();
}

void TQELExprNode::BindToSources(TQELExprRowSource* source1, TQELExprRowSource* source2,
                                 TQELExprRecordSource* outerCursor) {
  for (auto& child : FChildren) child->BindToSources(source1, source2, outerCursor);
}

void TQELExprNode::BindToCursor(TQELExprRecordSource* cursor, TQELExprRowSource* source,
                                TQELExprRecordSource* outerCursor) {
  for (auto& child : FChildren) child->BindToCursor(cursor, source, outerCursor);
}

void TQELExprNode::SetRecordBuffer(const std::uint8_t* buffer, bool isOuter) {
  for (auto& child : FChildren) child->SetRecordBuffer(buffer, isOuter);
}

TQELAdvancedFieldType TQELExprNode::ChildrenDataType() {
  TQELAdvancedFieldType type = aftUnknown;
  for (std::size_t i = 0; i < FChildren.size(); ++i) {
    const TQELAdvancedFieldType childType = FChildren[i]->GetDataType();
    type = i == 0 ? childType : CommonAdvancedFieldType(type, childType, false);
    if (type == aftUnknown) break;
  }
  if (type == aftUnknown) throw EQELException(kQELErrNoExpressionType, kQELNoExpressionTypeMsg);
  return type;
}

TQELAdvancedFieldType TQELExprNode::GetDataType() { return ChildrenDataType(); }

std::int32_t TQELExprNode::GetDataSize() {
  if (FOperator != eoAdd && FOperator != eoConcat && FOperator != eoCast) return 0;
  if (!IsStringAdvancedType(GetDataType())) return 0;
  std::int64_t size = 0;
  for (auto& child : FChildren) size += child->GetDataSize();
  return static_cast<std::int32_t>(std::min<std::int64_t>(size, TQELFieldDef::kMaxSize));
}

void TQELExprNode::CastChildTo(std::int32_t index, TQELAdvancedFieldType type) {
  auto& slot = FChildren[static_cast<std::size_t>(index)];
  if (slot->GetDataType() == type) return;
  auto cast = std::make_unique<TQELExprNodeCast>(type);
  cast->AddChild(std::move(slot));
  slot = std::move(cast);
}

bool TQELExprNode::CanEvaluateOn(TQELExprRowSource* source1, TQELExprRowSource* source2,
                                 bool isOuter, TQELExprRecordSource* cursor) {
  for (auto& child : FChildren) {
    if (!child->CanEvaluateOn(source1, source2, isOuter, cursor)) return false;
  }
  return true;
}

void TQELExprNode::ReplaceAliases(TQELSelectList& selectList) {
  for (auto& child : FChildren) child->ReplaceAliases(selectList);
}

bool TQELExprNode::UsesOnlyFields(std::string_view fieldNames) {
  for (auto& child : FChildren) {
    if (!child->UsesOnlyFields(fieldNames)) return false;
  }
  return true;
}

void TQELExprNode::AddChild(std::unique_ptr<TQELExprNode> child) {
  FChildren.push_back(std::move(child));
}

std::unique_ptr<TQELExprNode> TQELExprNode::ReleaseChild(std::int32_t index) {
  auto child = std::move(FChildren[static_cast<std::size_t>(index)]);
  FChildren.erase(FChildren.begin() + index);
  return child;
}

std::unique_ptr<TQELExprNode> TQELExprNode::ReplaceChild(std::int32_t index,
                                                         std::unique_ptr<TQELExprNode> child) {
  std::swap(FChildren[static_cast<std::size_t>(index)], child);
  return child;
}

void SetBooleanValue(TQELVariant& value, bool truth) {
  std::uint8_t bytes[2];
  QELStoreLE<std::int16_t>(bytes, truth ? -1 : 0);
  value.SetData(bytes, 2, cmCopy, bftBoolean);
}

void SetBooleanNull(TQELVariant& value) { value.Clear(bftBoolean); }

void SetIntegerValue(TQELVariant& value, std::int32_t number) {
  std::uint8_t bytes[4];
  QELStoreLE<std::int32_t>(bytes, number);
  value.SetData(bytes, 4, cmCopy, bftInteger);
}

void SetLargeintValue(TQELVariant& value, std::int64_t number) {
  std::uint8_t bytes[8];
  QELStoreLE<std::int64_t>(bytes, number);
  value.SetData(bytes, 8, cmCopy, bftLargeint);
}

void SetDoubleValue(TQELVariant& value, double number) {
  std::uint8_t bytes[8];
  QELStoreLE<double>(bytes, number);
  value.SetData(bytes, 8, cmCopy, bftDouble);
}

bool IsTrueValueSlow(const TQELVariant& value) {
  if (value.IsNull()) return false;
  if (value.DataType() == bftBoolean) return QELLoadLE<std::int16_t>(value.Data()) != 0;
  return value.AsBoolean();
}

void SetTextValue(TQELVariant& value, std::string_view text) {
  if (text.empty()) {
    value.Clear(bftString);
    return;
  }
  std::uint8_t* bytes = value.AllocateData(static_cast<std::int32_t>(text.size() + 1), bftString);
  std::memcpy(bytes, text.data(), text.size());
  bytes[text.size()] = 0;
}

void SetWideTextValue(TQELVariant& value, std::u16string_view text) {
  if (text.empty()) {
    value.Clear(bftWideString);
    return;
  }
  std::uint8_t* bytes =
      value.AllocateData(static_cast<std::int32_t>((text.size() + 1) * 2), bftWideString);
  for (std::size_t i = 0; i < text.size(); ++i) QELStoreLE<char16_t>(bytes + 2 * i, text[i]);
  QELStoreLE<char16_t>(bytes + 2 * text.size(), 0);
}

std::string_view QELNarrowText(const TQELVariant& value) {
  if (value.IsNull() || value.Data() == nullptr || value.DataSize() <= 0) return {};
  const auto* chars = reinterpret_cast<const char*>(value.Data());
  const auto size = static_cast<std::size_t>(value.DataSize());
  const void* zero = std::memchr(chars, 0, size);
  return std::string_view(chars, zero ? static_cast<const char*>(zero) - chars : size);
}

std::u16string_view QELWideText(const TQELVariant& value, std::u16string& scratch) {
  if (value.IsNull() || value.Data() == nullptr || value.DataSize() < 2) return {};
  const std::size_t units = static_cast<std::size_t>(value.DataSize()) / 2;
  const std::uint8_t* data = value.Data();
  if (reinterpret_cast<std::uintptr_t>(data) % alignof(char16_t) == 0 &&
      std::endian::native == std::endian::little) {
    const auto* text = reinterpret_cast<const char16_t*>(data);
    return std::u16string_view(text, std::find(text, text + units, u'\0') - text);
  }
  scratch.clear();
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t unit = QELLoadLE<char16_t>(data + 2 * i);
    if (unit == 0) break;
    scratch.push_back(unit);
  }
  return scratch;
}

std::string_view QELTextOf(const TQELVariant& value, TQELVariant& scratch) {
  const TQELBaseFieldType type = value.DataType();
  if (type == bftString || type == bftFixedChar || type == bftMemo) return QELNarrowText(value);
  scratch.Assign(value);
  scratch.ConvertTo(bftString);
  return QELNarrowText(scratch);
}

std::u16string_view QELWideTextOf(const TQELVariant& value, TQELVariant& scratch,
                                  std::u16string& copy) {
  const TQELBaseFieldType type = value.DataType();
  if (type == bftWideString || type == bftFixedWideChar || type == bftWideMemo) {
    return QELWideText(value, copy);
  }
  scratch.Assign(value);
  scratch.ConvertTo(bftWideString);
  return QELWideText(scratch, copy);
}

TQELAdvancedFieldType TQELExprNodeConst::GetDataType() {
  const TQELAdvancedFieldType type = BaseToAdvancedFieldType(FValue.DataType());
  if (type == aftUnknown) throw EQELException(kQELErrNoExpressionType, kQELNoExpressionTypeMsg);
  return type;
}

std::int32_t TQELExprNodeConst::GetDataSize() {
  if (!FValue.IsString() || FValue.IsNull()) return 0;
  // A wide string's size in bytes, without its terminator.
  return FValue.IsWideString() ? FValue.StringLength() * 2 : FValue.StringLength();
}

}  // namespace qel
