#include "sql/QELExprNodeField.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/QELException.h"
#include "sql/QELExpressionErrors.h"
#include "storage/QELRecordData.h"

namespace qel {

namespace {

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

TQELVariant& TQELExprNodeField::Evaluate() {
  if (FCursor != nullptr) {
    const std::uint8_t* record = FRecordBuffer != nullptr ? FRecordBuffer : FCursor->CurrentRecord();
    if (record == nullptr) throw EQELException(kQELErrNoDataSource, "Dataset and AO not assigned");
    if (IsNull(FFieldNo, record)) {
      FValue.Clear(FBaseDataType);
    } else if (IsBlobBaseType(FBaseDataType)) {
      FCursor->ReadBlobValue(FFieldNo, record, FValue);
    } else if (FCursor->FieldDefs().MemoryRecordSize() != FRecordSize) {
      // The fields were laid out anew since binding: read by the new layout.
      GetFieldValue(FFieldNo, FCursor->FieldDefs(), record, FValue, cmBorrow);
    } else {
      // Borrowed: the value lives in the record for this evaluation only.
      const std::uint8_t* slot = record + FOffset;
      std::int32_t size = FSlotSize;
      if (IsStringBaseType(FBaseDataType)) {
        // Up to and with the terminator, which the slot's last character
        // always holds.
        if (IsWideStringBaseType(FBaseDataType)) {
          std::int32_t units = 0;
          while (units * 2 + 1 < size && (slot[units * 2] | slot[units * 2 + 1]) != 0) ++units;
          size = std::min(size, (units + 1) * 2);
        } else {
          const void* zero = std::memchr(slot, 0, static_cast<std::size_t>(size));
          if (zero != nullptr) {
            size = static_cast<std::int32_t>(static_cast<const std::uint8_t*>(zero) - slot) + 1;
          }
        }
      }
      FValue.SetData(slot, size, cmBorrow, FBaseDataType);
    }
    return FValue;
  }
  if (FSource != nullptr) {
    FSource->GetColumnValue(FFieldNo, FValue);
    return FValue;
  }
  throw EQELException(kQELErrNoDataSource, "Dataset and AO not assigned");
}

void TQELExprNodeField::BindField(TQELExprRecordSource& cursor, std::int32_t fieldNo) {
  const TQELFieldDef& def = cursor.FieldDefs()[fieldNo];
  FCursor = &cursor;
  FSource = nullptr;
  FFieldNo = fieldNo;
  FResolvedFieldName = def.Name();
  FOffset = def.MemoryOffset();
  FSlotSize = def.MemoryDataSize();
  FRecordSize = cursor.FieldDefs().MemoryRecordSize();
  FFieldDataType = def.AdvancedFieldType();
  FBaseDataType = def.BaseFieldType();
  FSize = def.Size();
}

void TQELExprNodeField::BindToCursor(TQELExprRecordSource* cursor, TQELExprRowSource* source,
                                     TQELExprRecordSource* outerCursor) {
  if (cursor == nullptr) {
    if (source != nullptr) BindToSources(source, nullptr, outerCursor);
    return;
  }
  // A qualifier names the query level the field belongs to: t1.a inside a
  // subquery over t2 reads the outer t1 even when t2 has an a too. A
  // qualifier that names neither level keeps the lenient lookup by field
  // name alone.
  const bool innerNamed = FTableName.empty() || cursor->AnswersTo(FTableName);
  std::int32_t fieldNo = innerNamed ? cursor->FindField(FFieldName) : -1;
  if (fieldNo >= 0) {
    FIsOuter = false;
    BindField(*cursor, fieldNo);
    return;
  }
  if (outerCursor != nullptr && (FTableName.empty() || outerCursor->AnswersTo(FTableName)) &&
      (fieldNo = outerCursor->FindField(FFieldName)) >= 0) {
    FIsOuter = true;
    BindField(*outerCursor, fieldNo);
    return;
  }
  if (!innerNamed && (fieldNo = cursor->FindField(FFieldName)) >= 0) {
    FIsOuter = false;
    BindField(*cursor, fieldNo);
    return;
  }
  if (outerCursor != nullptr && (fieldNo = outerCursor->FindField(FFieldName)) >= 0) {
    FIsOuter = true;
    BindField(*outerCursor, fieldNo);
    return;
  }
  throw EQELException(kQELErrCursorFieldNotFound, kQELFieldNotFoundMsg, {FFieldName});
}

void TQELExprNodeField::BindToSources(TQELExprRowSource* source1, TQELExprRowSource* source2,
                                      TQELExprRecordSource* outerCursor) {
  std::vector<std::int32_t> columns;
  for (TQELExprRowSource* source : {source1, source2}) {
    columns.clear();
    if (source != nullptr && source->FindColumns(FFieldName, FTableName, columns) == 1) {
      FSource = source;
      FCursor = nullptr;
      FFieldNo = columns.front();
      FResolvedFieldName = FFieldName;
      FFieldDataType = source->ColumnDataType(FFieldNo);
      FBaseDataType = AdvancedToBaseFieldType(FFieldDataType);
      FSize = source->ColumnDataSize(FFieldNo);
      return;
    }
  }
  if (FIsOuter && outerCursor != nullptr) {
    const std::int32_t fieldNo = outerCursor->FindField(FFieldName);
    if (fieldNo >= 0) {
      BindField(*outerCursor, fieldNo);
      return;
    }
  }
  throw EQELException(kQELErrSourceFieldNotFound, kQELFieldNotFoundMsg, {QualifiedName()});
}

void TQELExprNodeField::SetRecordBuffer(const std::uint8_t* buffer, bool isOuter) {
  if (isOuter == FIsOuter) FRecordBuffer = buffer;
}

TQELAdvancedFieldType TQELExprNodeField::GetDataType() {
  if (!IsBound() || FFieldDataType == aftUnknown) {
    throw EQELException(kQELErrNoFieldType, kQELNoExpressionTypeMsg);
  }
  return FFieldDataType;
}

std::int32_t TQELExprNodeField::GetDataSize() { return FSize; }

bool TQELExprNodeField::CanEvaluateOn(TQELExprRowSource* source1, TQELExprRowSource* source2,
                                      bool /*isOuter*/, TQELExprRecordSource* cursor) {
  std::vector<std::int32_t> columns;
  if (source1 != nullptr && source1->FindColumns(FFieldName, FTableName, columns) == 1) return true;
  columns.clear();
  if (source2 != nullptr && source2->FindColumns(FFieldName, FTableName, columns) == 1) {
    FIsOuter = true;
    return true;
  }
  return cursor != nullptr && cursor->FindField(FFieldName) >= 0;
}

bool TQELExprNodeField::UsesOnlyFields(std::string_view fieldNames) {
  while (!fieldNames.empty()) {
    const std::size_t end = fieldNames.find(';');
    if (SameNameIgnoringCase(Trimmed(fieldNames.substr(0, end)), FFieldName)) return true;
    if (end == std::string_view::npos) break;
    fieldNames.remove_prefix(end + 1);
  }
  return false;
}

std::string TQELExprNodeField::QualifiedName() const {
  return FTableName.empty() ? FFieldName : FTableName + "." + FFieldName;
}

}  // namespace qel
