#pragma once
// TQELExprNodeField: a column reference. Unbound it holds only its names;
// bound to a record source (a cursor) it reads its field's bytes from the
// record buffer it was given, or from the source's current record; bound to
// a row source (a relational-algebra input) it asks the source for the
// column's current value.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "sql/QELExprNode.h"

namespace qel {

class TQELExprNodeField final : public TQELExprNode {
 public:
  TQELExprNodeField(std::string tableName, std::string fieldName)
      : TQELExprNode(eoNone), FTableName(std::move(tableName)), FFieldName(std::move(fieldName)) {}
  std::unique_ptr<TQELExprNode> Clone() const override {
    return std::make_unique<TQELExprNodeField>(*this);
  }

  TQELVariant& Evaluate() override;
  // Looks the name up in `cursor`, then in `outerCursor` (the field then
  // reads the outer record); neither knowing it raises 30115. Without a
  // cursor, a row source binds the name as BindToSources does.
  void BindToCursor(TQELExprRecordSource* cursor, TQELExprRowSource* source,
                    TQELExprRecordSource* outerCursor) override;
  // The one column of `source1`, else of `source2`, that the (qualified)
  // name matches; an outer field binds to `outerCursor`; anything else
  // raises 30197.
  void BindToSources(TQELExprRowSource* source1, TQELExprRowSource* source2,
                     TQELExprRecordSource* outerCursor) override;
  void SetRecordBuffer(const std::uint8_t* buffer, bool isOuter) override;
  TQELAdvancedFieldType GetDataType() override;
  std::int32_t GetDataSize() override;
  bool CanEvaluateOn(TQELExprRowSource* source1, TQELExprRowSource* source2, bool isOuter,
                     TQELExprRecordSource* cursor) override;
  bool UsesOnlyFields(std::string_view fieldNames) override;

  const std::string& TableName() const { return FTableName; }
  const std::string& FieldName() const { return FFieldName; }
  // The bound field's name as the cursor knows it.
  const std::string& ResolvedFieldName() const { return FResolvedFieldName; }
  std::int32_t FieldNo() const { return FFieldNo; }
  bool IsBound() const { return FCursor != nullptr || FSource != nullptr; }
  bool IsOuter() const { return FIsOuter; }
  TQELBaseFieldType BaseDataType() const { return FBaseDataType; }

 private:
  void BindField(TQELExprRecordSource& cursor, std::int32_t fieldNo);
  std::string QualifiedName() const;

  TQELExprRecordSource* FCursor = nullptr;
  TQELExprRowSource* FSource = nullptr;
  const std::uint8_t* FRecordBuffer = nullptr;
  std::string FTableName;
  std::string FFieldName;
  std::string FResolvedFieldName;
  std::int32_t FFieldNo = -1;       // in the cursor's fields, or the source's column
  std::int32_t FOffset = 0;
  std::int32_t FSlotSize = 0;  // the field's bytes in a memory record
  // The record size the slot was checked against; reads check the record
  // layout has not changed under them.
  std::int32_t FRecordSize = 0;
  TQELAdvancedFieldType FFieldDataType = aftUnknown;
  TQELBaseFieldType FBaseDataType = bftUnknown;
  std::int32_t FSize = 0;
  bool FIsOuter = false;
};

}  // namespace qel
