#pragma once
// TQELDiskDatabaseCatalog: the system files of one database file — the
// system directory at page 2, the active-sessions file and the table list —
// and the checked table-list operations tables are created, found, renamed
// and dropped through.
//
// Every change is made under session -2; the caller commits it (the page
// manager's ApplyChanges(-2)) and holds the file's tables lock around
// table-list changes when processes share the file.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "disk/QELDiskPageManager.h"
#include "disk/QELInternalDBDirectAccessFile.h"
#include "disk/QELSystemDirectory.h"
#include "disk/QELTableListFile.h"

namespace qel {

class TQELDiskDatabaseCatalog {
 public:
  static constexpr std::int32_t kDefaultMaxConnections = 500;
  // Bytes per session in a table's lock file.
  static constexpr std::int32_t kLockBytesPerSession = 12;

  explicit TQELDiskDatabaseCatalog(TQELDiskPageManager& pageManager);

  // Creates the system files of a new database (directory, sessions file of
  // `maxConnections` bytes, table list) and commits them.
  void Create(std::int32_t maxConnections = kDefaultMaxConnections);
  // Loads the system files of an opened database.
  void Open();

  TQELSystemDirectory& Directory() { return FDirectory; }
  TQELTableListFile& TableList() { return FTableList; }
  TQELInternalDBDirectAccessFile& SessionsFile() { return FSessions; }
  // Sessions the file allows: the sessions file's size, capped at what its
  // pages hold.
  std::int32_t MaxConnections() const { return std::min(FSessions.StoredSize(), FSessions.FileSize()); }

  // Adds a table; "Cannot create table. Table '%s' already exists" (30395)
  // when the name is taken in any letter case, and nothing changes.
  void AddTable(std::int32_t objectID, std::string_view name, std::int32_t metadataStart,
                std::int32_t headerStart, std::int32_t locksStart);
  // "Table '%s' not exists." (30396 lookup, 30405 delete, 30397 rename).
  TQELTableInfo GetTableInfo(std::string_view name);
  void DeleteTable(std::string_view name);
  void RenameTable(std::string_view name, std::string_view newName);
  bool TableExists(std::string_view name);
  std::vector<std::string> GetTableNames();

  // A new table's three internal files (empty metadata and header files,
  // and a lock file for every allowed session), registered under a new
  // object id; uncommitted, like every catalog change.
  TQELTableInfo CreateTableFiles(std::string_view name);

 private:
  void CheckTableList(std::int32_t nativeCode) const;

  TQELDiskPageManager& FPageManager;
  TQELSystemDirectory FDirectory;
  TQELInternalDBDirectAccessFile FSessions;
  TQELTableListFile FTableList;
};

}  // namespace qel
