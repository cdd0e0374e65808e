#pragma once
// TQELMemoryDatabaseData: the in-memory database ("MEMORY"). It has no page
// manager of its own (each memory table keeps its pages), gives every
// session id 0 and hands out object ids from a counter. The engine creates
// one for the process and lists it with the other open databases.

#include <cstdint>

#include "storage/QELDatabaseData.h"

namespace qel {

class TQELMemoryDatabaseData final : public TQELDatabaseData {
 public:
  static constexpr const char* kDatabaseName = "MEMORY";

  TQELMemoryDatabaseData();
  // Destroys every table (its contents are lost).
  ~TQELMemoryDatabaseData() override;

  // A memory table named after the cursor's table, listed with the others.
  TQELTableDataBase* CreateTableData(TQELStorageCursor* cursor) override;
  std::int32_t GetNextObjectID() override;

 private:
  std::int32_t FLastObjectID = 0;
};

}  // namespace qel
