#pragma once
// TQELLocalSession: an engine session on a database of this process. While
// connected it is attached to the database's shared database data object,
// found in (or added to) the process-wide database list; every cursor and
// statement of the connection reaches the database through it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/PageCipher.h"
#include "engine/QELBaseSession.h"
#include "storage/QELDatabaseData.h"

namespace qel {

class TQELDiskDatabaseData;

class TQELLocalSession : public TQELBaseSession {
 public:
  TQELLocalSession() = default;
  // Disconnects; a transaction still open is rolled back, never committed.
  ~TQELLocalSession() override;

  bool GetConnected() const override { return FDatabaseData != nullptr; }
  // Connecting attaches the session to its database (the first session on a
  // file opens it). A file open in this process already takes only its own
  // password: another one raises "Database password is invalid." (20298).
  // A failed connect leaves the session disconnected and, when no other
  // session uses the file, nothing of it in the list. Disconnecting rolls
  // back an open transaction first; the last session on a file closes it.
  void SetConnected(bool value) override;
  // The repair flag of the file's free-space manager; false unless
  // connected to a database file.
  bool GetRepairMode() const override;
  void SetRepairMode(bool value) override;
  // Creates the database file; "Cannot create database. Database is
  // already open" (20092) when this process has it open.
  void CreateDatabase() override;
  // Both connect first when needed, and stay connected.
  void GetTableNames(std::vector<std::string>& list) override;
  bool TableExists(std::string_view name) override;
  void StartTransaction() override { SetInTransaction(true); }
  void Commit(bool forceFlush) override;
  void Rollback() override;
  void FlushBuffers() override;

  // Present exactly while connected.
  TQELDatabaseData* DatabaseData() const { return FDatabaseData; }
  const TQELPassword& Password() const { return FPassword; }
  void SetPassword(const TQELPassword& password) { FPassword = password; }
  // For a new file, and after connecting the file's values.
  std::int32_t PageSize() const { return FPageSize; }
  void SetPageSize(std::int32_t pageSize) { FPageSize = pageSize; }
  std::int32_t PageCountInExtent() const { return FPageCountInExtent; }
  void SetPageCountInExtent(std::int32_t count) { FPageCountInExtent = count; }

 private:
  void Connect();
  void Disconnect();
  void CheckInTransaction() const;

  TQELDatabaseData* FDatabaseData = nullptr;
  // FDatabaseData when it is a database file.
  TQELDiskDatabaseData* FDiskData = nullptr;
  TQELPassword FPassword;
  std::int32_t FPageSize = 4096;
  std::int32_t FPageCountInExtent = 8;
};

}  // namespace qel
