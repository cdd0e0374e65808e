#pragma once
// TQELTableDataBase: what the rest of the storage core needs of one open
// table before the full table data layer is in place: its name, the
// mapping between record ids and the record numbers that index record
// bitmaps, and the rebuilding of stale indexes after a rollback.
// TQELTableData derives from it; database data owns table data through it.

#include <cstdint>
#include <string>
#include <utility>

#include "storage/QELRecordRequest.h"

namespace qel {

class TQELTableDataBase {
 public:
  explicit TQELTableDataBase(std::string tableName) : FTableName(std::move(tableName)) {}
  virtual ~TQELTableDataBase() = default;
  TQELTableDataBase(const TQELTableDataBase&) = delete;
  TQELTableDataBase& operator=(const TQELTableDataBase&) = delete;

  const std::string& TableName() const { return FTableName; }
  void SetTableName(std::string tableName) { FTableName = std::move(tableName); }

  // One more than the highest record number in use; bitmaps are sized by it.
  virtual std::int64_t GetRecordNumberLimit(std::int32_t sessionID) = 0;
  virtual std::int64_t RecordIDToRecordNumber(const TQELRecordID& recordID) = 0;
  virtual void RecordNumberToRecordID(TQELRecordID& recordID, std::int64_t number) = 0;
  // Rebuilds the temporary indexes of the session's cursors that became
  // stale.
  virtual void RefreshIndexes(std::int32_t sessionID) = 0;

 protected:
  std::string FTableName;
};

}  // namespace qel
