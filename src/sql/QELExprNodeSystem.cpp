#include "sql/QELExprNodeSystem.h"

#include <limits>

#include "platform/QELException.h"
#include "sql/QELExpressionErrors.h"
#include "storage/QELFieldTypes.h"

namespace qel {

namespace {
TQELAutoincSourceFactory gAutoincSourceFactory = nullptr;
}  // namespace

void QELSetAutoincSourceFactory(TQELAutoincSourceFactory factory) { gAutoincSourceFactory = factory; }

TQELAutoincSource& TQELExprNodeSystem::AutoincSource() {
  if (!FAutoincSource) {
    if (gAutoincSourceFactory == nullptr) {
      throw EQELException(kQELErrLastAutoincNotAvailable, "LASTAUTOINC of table '%s' is not available here",
                          {FTableName});
    }
    FAutoincSource = gAutoincSourceFactory(FDatabaseName, FInMemory, FTableName, FFieldName);
  }
  return *FAutoincSource;
}

void TQELExprNodeSystem::SetAutoincTarget(std::string tableName, std::string fieldName,
                                          bool inMemory, std::string databaseName) {
  FTableName = std::move(tableName);
  FFieldName = std::move(fieldName);
  FInMemory = inMemory;
  FDatabaseName = std::move(databaseName);
}

TQELVariant& TQELExprNodeSystem::Evaluate() {
  switch (FOperator) {
    case eoRowNum:
      if (FRowCount == std::numeric_limits<std::int32_t>::max()) {
        throw EQELException(kQELErrResultOutOfRange, kQELResultOutOfRangeMsg, {"ROWNUM"});
      }
      SetIntegerValue(FValue, ++FRowCount);
      return FValue;
    case eoLastAutoinc:
      FValue.SetAsLargeint(AutoincSource().LastValue());
      FValue.ConvertTo(AdvancedToBaseFieldType(AutoincSource().FieldType()));
      return FValue;
    default:
      throw EQELException(kQELErrUnknownSystemOperator, kQELUnknownOperatorMsg,
                          {ExprOperatorText(FOperator)});
  }
}

TQELAdvancedFieldType TQELExprNodeSystem::GetDataType() {
  if (FOperator == eoRowNum) return aftInteger;
  return AutoincSource().FieldType();
}

}  // namespace qel
