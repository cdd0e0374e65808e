#pragma once
// A storage session, and one connection to a database file with a table
// open through it, as the engine's database and session components hold
// them: for tests that run transactions in one process or in several.

#include <cstdint>
#include <string>
#include <vector>

#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskTableData.h"
#include "storage/QELTableCursor.h"

namespace qel::test {

class TTestSession final : public TQELStorageSession {
 public:
  explicit TTestSession(bool multiUser) : FMultiUser(multiUser) {}
  std::int32_t SessionID() const override { return FID; }
  void SetSessionID(std::int32_t sessionID) override { FID = sessionID; }
  bool MultiUser() const override { return FMultiUser; }
  void SetMultiUser(bool multiUser) override { FMultiUser = multiUser; }
  void SetReadOnly(bool readOnly) override { ReadOnly = readOnly; }
  void SetNeedRepair(bool needRepair) override { NeedRepair = needRepair; }

  bool ReadOnly = false;
  bool NeedRepair = false;

 private:
  std::int32_t FID = -1;
  bool FMultiUser;
};

// The session attached to the file (which opens it) and one cursor on the
// table, whose record buffer is Buffer.
class TTableConnection {
 public:
  TTableConnection(const std::string& fileName, bool multiUser, const std::string& table = "T")
      : Database(fileName), Session(multiUser), Cursor(table) {
    Database.AddSession(&Session);
    Cursor.SetSession(Session.SessionID(), false);
    Table = static_cast<TQELDiskTableData*>(Database.GetTableData(&Cursor));
    Table->AddCursor(&Cursor);
    Table->InitCursor(Cursor);
    Buffer.assign(static_cast<std::size_t>(Cursor.RecordSize), 0);
    Cursor.RecordBuffer = Buffer.data();
  }
  // A read that failed part way may leave the cursor's BLOB cache in use,
  // which closing reports; a destructor must not let that out.
  ~TTableConnection() {
    try {
      Table->RemoveCursor(&Cursor);
    } catch (const EQELException&) {
    }
    Database.RemoveSession(&Session);
  }
  TTableConnection(const TTableConnection&) = delete;
  TTableConnection& operator=(const TTableConnection&) = delete;

  std::int32_t ID() const { return Session.SessionID(); }
  const TQELFieldDefs& Defs() const { return Table->FieldDefs(); }
  // The transaction write lock, waited for as long as it takes.
  bool LockForTransaction() { return Table->LockTable(ID(), 3, 100000, 1, 20); }
  void BeginTransaction() { Cursor.SetSession(ID(), true); }
  void Commit() {
    Database.Commit(ID());
    Cursor.SetSession(ID(), false);
  }
  void Rollback() {
    Database.Rollback(ID());
    Cursor.SetSession(ID(), false);
  }

  TQELDiskDatabaseData Database;
  TTestSession Session;
  TQELTableCursor Cursor;
  TQELDiskTableData* Table = nullptr;
  std::vector<std::uint8_t> Buffer;
};

}  // namespace qel::test
