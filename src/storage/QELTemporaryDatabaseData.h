#pragma once
// TQELTemporaryDatabaseData: the temporary database ("TEMP"), where query
// results are materialised and sorted. It has no page manager of its own
// (each temporary table keeps its pages), gives every session id 0 and
// hands out object ids from a counter. The engine creates one for the
// process and lists it with the other open databases.

#include <cstdint>

#include "storage/QELDatabaseData.h"
#include "storage/QELTemporaryTableData.h"

namespace qel {

class TQELTemporaryDatabaseData final : public TQELDatabaseData {
 public:
  static constexpr const char* kDatabaseName = "TEMP";

  TQELTemporaryDatabaseData();
  // Destroys every table, closing its spill files.
  ~TQELTemporaryDatabaseData() override;

  // A temporary table named after the cursor's table, listed with the
  // others, taking the memory limits set here.
  TQELTableDataBase* CreateTableData(TQELStorageCursor* cursor) override;
  std::int32_t GetNextObjectID() override;

  // How much of the tables created from now on stays in memory (tests fix
  // it to make small tables spill).
  const TQELTemporaryMemoryLimits& MemoryLimits() const { return FLimits; }
  void SetMemoryLimits(const TQELTemporaryMemoryLimits& limits);

 private:
  std::int32_t FLastObjectID = 0;
  TQELTemporaryMemoryLimits FLimits;
};

}  // namespace qel
