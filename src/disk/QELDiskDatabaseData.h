#pragma once
// TQELDiskDatabaseData: one opened database file. It owns the file's page
// manager and its catalog (system directory, sessions file, table list),
// lists the file's tables, hands out object ids from the file, and commits
// a session's changes to the file. Table data objects of the file are
// TQELDiskTableData.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crypto/PageCipher.h"
#include "disk/QELDiskDatabaseCatalog.h"
#include "disk/QELDiskPageManager.h"
#include "storage/QELDatabaseData.h"

namespace qel {

struct TQELDiskOpenOptions {
  TQELPassword Password;
  bool MultiUser = false;
  bool Exclusive = false;
  bool ReadOnly = false;
};

class TQELDiskDatabaseData : public TQELDatabaseData {
 public:
  explicit TQELDiskDatabaseData(std::string fileName);
  ~TQELDiskDatabaseData() override;

  // Creates a new database file with its system files (replacing a file of
  // that name) and keeps it open.
  void CreateDatabaseFile(const TQELPassword& password, std::uint16_t pageSize,
                          std::uint16_t pageCountInExtent, std::int32_t maxConnections);
  // Opens the file; the options come back as the file grants them.
  void Open(TQELDiskOpenOptions& options, bool& needRepair);
  bool IsOpen() const { return DiskPageManager().IsOpen(); }

  TQELDiskPageManager& DiskPageManager() const;
  TQELDiskDatabaseCatalog& Catalog() { return *FCatalog; }

  // The tables of the file, and any open table data not yet in it.
  void GetTableNames(std::vector<std::string>& list) override;
  TQELTableDataBase* CreateTableData(TQELStorageCursor* cursor) override;
  std::int32_t GetNextObjectID() override;
  void FlushBuffers() override;

 private:
  std::unique_ptr<TQELDiskDatabaseCatalog> FCatalog;
};

}  // namespace qel
