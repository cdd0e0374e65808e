#pragma once
// TQELDatabaseData: one opened database (a file, the memory database or the
// temporary database). It keeps the sessions attached to it and the table
// data objects of its open tables, hands out object ids, and commits and
// rolls back per session. The storage kinds derive from it.
//
// Every operation holds Lock, a re-entrant critical section that the
// database's table data enter too, so all work on the tables of one
// database is serialised and an operation may call another one.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/QELSync.h"
#include "storage/QELTableDataBase.h"

namespace qel {

class TQELPageManager;

// What database data needs of an engine session: the id its page changes
// and locks are kept under, and, for a database file, the way it asks to
// open the file and learns how the file was opened.
class TQELStorageSession {
 public:
  virtual ~TQELStorageSession() = default;
  virtual std::int32_t SessionID() const = 0;
  virtual void SetSessionID(std::int32_t sessionID) = 0;
  // Requested before attaching, the file's mode after.
  virtual bool MultiUser() const { return false; }
  virtual void SetMultiUser(bool) {}
  virtual bool Exclusive() const { return false; }
  virtual void SetReadOnly(bool) {}
  virtual void SetNeedRepair(bool) {}
  virtual bool InTransaction() const { return false; }
};

// What database data needs of a cursor: the name of the table it opens.
class TQELStorageCursor {
 public:
  virtual ~TQELStorageCursor() = default;
  virtual std::string TableName() const = 0;
};

class TQELDatabaseData {
 public:
  // Called by FreeIfUnused, outside Lock, to have the owner destroy an
  // object no session uses any more.
  using TReleaseHandler = std::function<void(TQELDatabaseData&)>;

  explicit TQELDatabaseData(std::string databaseName);
  // Frees every open table data before the page manager their pages are in.
  virtual ~TQELDatabaseData();
  TQELDatabaseData(const TQELDatabaseData&) = delete;
  TQELDatabaseData& operator=(const TQELDatabaseData&) = delete;

  TQELCriticalSection& Lock() { return FLock; }
  // "TEMP", "MEMORY", or the file name of a disk database.
  const std::string& DatabaseName() const { return FDatabaseName; }
  TQELPageManager* PageManager() const { return FPageManager.get(); }
  // The lists; read them while holding Lock.
  const std::vector<TQELStorageSession*>& Sessions() const { return FSessions; }
  const std::vector<std::unique_ptr<TQELTableDataBase>>& TableDatas() const {
    return FTableDatas;
  }

  // Operations in their fixed order.
  // Attaches the session (once) and gives it id 0; the disk database
  // assigns real ids. A null session raises "Nil pointer occured" (20135).
  virtual void AddSession(TQELStorageSession* session);
  virtual void RemoveSession(TQELStorageSession* session);
  // When no session is attached, hands the object to the release handler,
  // which may destroy it; answers whether it was unused.
  virtual bool FreeIfUnused();
  // Appends the name of every open table.
  virtual void GetTableNames(std::vector<std::string>& list);
  virtual void CreateDatabase() {}
  // Creates the storage kind's table data for the cursor's table and
  // registers it with AddTableData.
  virtual TQELTableDataBase* CreateTableData(TQELStorageCursor* cursor) = 0;
  // The open table data of the cursor's table, names compared without
  // regard to case; null when there is none. A null cursor raises "Nil
  // pointer occured" (20136).
  virtual TQELTableDataBase* FindTableData(TQELStorageCursor* cursor);
  // FindTableData, else CreateTableData ("Nil pointer occured" (20137) when
  // that creates nothing).
  virtual TQELTableDataBase* GetTableData(TQELStorageCursor* cursor);
  // A new ObjectID for a field, index or constraint, unique in the database.
  virtual std::int32_t GetNextObjectID() = 0;
  // Writes the session's changed pages.
  virtual void Commit(std::int32_t sessionID);
  // Drops the session's changed pages, then rebuilds the indexes that went
  // stale on every open table.
  virtual void Rollback(std::int32_t sessionID);
  virtual void FlushBuffers() {}

  // Whether GetTableNames lists `name`, compared without regard to case.
  bool TableExists(std::string_view name);
  // Frees a table data of this database (its table was deleted).
  void RemoveTableData(TQELTableDataBase* tableData);
  void SetReleaseHandler(TReleaseHandler handler) { FReleaseHandler = std::move(handler); }

 protected:
  // Frees every table data (a storage kind whose tables need its files to
  // close does so before closing them).
  void ClearTableDatas();
  // Takes ownership of a new table data and answers it.
  TQELTableDataBase* AddTableData(std::unique_ptr<TQELTableDataBase> tableData);
  void SetPageManager(std::unique_ptr<TQELPageManager> pageManager);

 private:
  TQELCriticalSection FLock;
  std::string FDatabaseName;
  // Declared before the table data, so that it outlives them.
  std::unique_ptr<TQELPageManager> FPageManager;
  std::vector<TQELStorageSession*> FSessions;
  std::vector<std::unique_ptr<TQELTableDataBase>> FTableDatas;
  TReleaseHandler FReleaseHandler;
};

}  // namespace qel
