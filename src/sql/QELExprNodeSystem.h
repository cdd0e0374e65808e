#pragma once
// TQELExprNodeSystem: ROWNUM, a counter that each evaluation advances (1 for
// the first row), and LASTAUTOINC(table, field), the last value a table
// generated for an auto-increment field. LASTAUTOINC is parsed here; the
// query layer reads the value from the table it opens.

#include <cstdint>
#include <memory>
#include <string>

#include "sql/QELExprNode.h"

namespace qel {

// Where LASTAUTOINC reads its value: the table the query layer opens for the
// node. The layer installs the factory that opens it.
class TQELAutoincSource {
 public:
  virtual ~TQELAutoincSource() = default;
  virtual std::int64_t LastValue() = 0;
  virtual TQELAdvancedFieldType FieldType() const = 0;
};
using TQELAutoincSourceFactory = std::unique_ptr<TQELAutoincSource> (*)(
    const std::string& databaseName, bool inMemory, const std::string& tableName, const std::string& fieldName);
void QELSetAutoincSourceFactory(TQELAutoincSourceFactory factory);

class TQELExprNodeSystem final : public TQELExprNode {
 public:
  explicit TQELExprNodeSystem(TQELExprOperator op) : TQELExprNode(op) {}
  std::unique_ptr<TQELExprNode> Clone() const override {
    return std::make_unique<TQELExprNodeSystem>(*this);
  }

  void SetAutoincTarget(std::string tableName, std::string fieldName, bool inMemory,
                        std::string databaseName);
  const std::string& TableName() const { return FTableName; }
  const std::string& FieldName() const { return FFieldName; }
  bool InMemory() const { return FInMemory; }
  std::int32_t RowCount() const { return FRowCount; }

  TQELVariant& Evaluate() override;
  TQELAdvancedFieldType GetDataType() override;
  std::int32_t GetDataSize() override { return 0; }
  bool CanEvaluateOn(TQELExprRowSource*, TQELExprRowSource*, bool, TQELExprRecordSource*) override {
    return true;
  }

 private:
  // The table of LASTAUTOINC, opened at the first use (30513 when no query
  // layer is installed).
  TQELAutoincSource& AutoincSource();

  std::string FTableName;
  std::string FFieldName;
  std::string FDatabaseName;
  bool FInMemory = false;
  std::int32_t FRowCount = 0;
  // Shared by the node's copies.
  std::shared_ptr<TQELAutoincSource> FAutoincSource;
};

}  // namespace qel
