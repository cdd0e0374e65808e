#pragma once
// TQELDatabase: one named connection to one database file. Connecting makes
// an engine session for the file, hands it the file name, password and open
// options, and connects it; a refused password is asked for again, and a
// file that was not closed cleanly (or is of an old format) may be repaired
// first. Datasets name the database (DatabaseName) and reach the file
// through its engine session.
//
// A database that shares its connection (HandleShared) may hand it to
// another database of the same name in its session; the connection then has
// several users and is disconnected by the last of them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "components/QELSession.h"
#include "components/db/QELComponent.h"

namespace qel {

class TQELDatabaseDataSet;
class TQELLocalSession;
class TQELProgress;

class TQELDatabase;
// Asked for a password: `Continue` comes in false; true retries the connect
// with the (changed) Password.
using TQELPasswordEvent = std::function<void(TQELDatabase& sender, bool& Continue)>;
// Asked whether to repair a file: `DoRepair` comes in false.
using TQELOnNeedRepairEvent = std::function<void(TQELDatabase& sender, bool& DoRepair)>;

// The settings of a database copy.
struct TQELCopyDatabaseOptions {
  std::int32_t MaxConnections = 500;
  std::int32_t PageCountInExtent = 8;
  std::int32_t PageSize = 4096;
  std::uint8_t CryptoAlgorithm = 0;
  std::string Password;
  // Copy what can be read of a damaged file, recording what cannot.
  bool RepairMode = false;
};

// What the last copy or repair of a database did, table by table.
struct TQELRepairReport {
  std::vector<std::string> CopiedTables;
  // Each table that could not be copied whole, with the reason.
  std::vector<std::pair<std::string, std::string>> FailedTables;
  bool Cancelled = false;
  // Where the original file was kept when a repair could not save all of
  // it; empty when the repair replaced it.
  std::string BackupFileName;
};

class TQELDatabase : public TQELComponent, public TQELSessionUser {
 public:
  // Belongs to the default session until it is inserted into a session.
  TQELDatabase();
  // Closes (errors are dropped), lets its datasets forget it and leaves its
  // session.
  ~TQELDatabase() override;

  // The engine's version text, "5.06 ", whatever the locale.
  static std::string CurrentVersion();

  bool Connected() const { return FConnection != nullptr; }
  // While loading the value is only stored; it is applied by Loaded.
  void SetConnected(bool connected);
  void Open();
  void Close();

  const std::string& DatabaseFileName() const { return FDatabaseFileName; }
  // Disconnects first.
  void SetDatabaseFileName(const std::string& fileName);
  const std::string& DatabaseName() const { return FDatabaseName; }
  // Only while disconnected; unique within the session (ignoring case).
  void SetDatabaseName(const std::string& name);
  const std::string& SessionName() const override { return FSessionName; }
  // Only while disconnected; the session is looked up when it is needed.
  void SetSessionName(const std::string& name) override;
  bool Exclusive() const { return FExclusive; }
  void SetExclusive(bool exclusive) { FExclusive = exclusive; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& password) { FPassword = password; }
  // Read-only asked for; after a connect, what the engine granted.
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool readOnly) { FReadOnly = readOnly; }
  bool HandleShared() const { return FHandleShared; }
  void SetHandleShared(bool handleShared);
  bool KeepConnection() const { return FKeepConnection; }
  // Off with no dataset using the connection closes it at once.
  void SetKeepConnection(bool keepConnection);
  std::int32_t MaxConnections() const { return FMaxConnections; }
  void SetMaxConnections(std::int32_t maxConnections) { FMaxConnections = maxConnections; }
  bool MultiUser() const { return FMultiUser; }
  void SetMultiUser(bool multiUser) { FMultiUser = multiUser; }
  // Never asks the user anything: no password, repair or progress prompt,
  // and none of the events that stand in for them.
  bool SilentMode() const { return FSilentMode; }
  void SetSilentMode(bool silentMode) { FSilentMode = silentMode; }
  bool DisableTempFiles() const { return FDisableTempFiles; }
  void SetDisableTempFiles(bool disableTempFiles) { FDisableTempFiles = disableTempFiles; }
  // For a file created here; after a connect, the file's values.
  std::int32_t PageSize() const { return FPageSize; }
  void SetPageSize(std::int32_t pageSize) { FPageSize = pageSize; }
  std::int32_t PageCountInExtent() const { return FPageCountInExtent; }
  void SetPageCountInExtent(std::int32_t count) { FPageCountInExtent = count; }
  std::uint8_t CryptoAlgorithm() const { return FCryptoAlgorithm; }
  void SetCryptoAlgorithm(std::uint8_t cryptoAlgorithm) { FCryptoAlgorithm = cryptoAlgorithm; }

  TQELPasswordEvent OnPassword;
  TQELOnNeedRepairEvent OnNeedRepair;
  TQELNotifyEvent BeforeRepair;
  TQELNotifyEvent AfterRepair;
  TQELProgressEvent OnRepairProgress;
  // Kept with the component; no operation here raises them.
  TQELNotifyEvent BeforeCompact;
  TQELProgressEvent OnCompactProgress;
  TQELNotifyEvent AfterCompact;
  TQELNotifyEvent BeforeChangePassword;
  TQELProgressEvent OnChangePasswordProgress;
  TQELNotifyEvent AfterChangePassword;
  TQELNotifyEvent BeforeChangeDatabaseSettings;
  TQELProgressEvent OnChangeDatabaseSettingsProgress;
  TQELNotifyEvent AfterChangeDatabaseSettings;

  // The session the database is listed in (null once that session is gone).
  TQELSession* Session() const { return FSession; }
  // The engine session while connected (shared with borrowers), else null.
  TQELLocalSession* EngineSession() const { return FConnection.get(); }
  // Created by a session for a dataset that named no existing database.
  bool Temporary() const { return FTemporary; }
  // The connection was taken over from another database.
  bool Borrowed() const { return FBorrowed; }
  // How many datasets use the connection through the session.
  int RefCount() const { return FRefCount; }
  // Set while a repair runs: nothing asks the user meanwhile.
  bool PromptsSuppressed() const { return FPromptsSuppressed; }

  // A new, empty database file at DatabaseFileName; stays disconnected.
  void CreateDatabase();
  // Deletes the file at DatabaseFileName with its journal; a missing file
  // is no error. Refused while the file is open in this process.
  void DeleteDatabase();
  // Rebuilds the file through a copy beside it (DatabaseFileName + ".tmp")
  // that then replaces it in one rename. `errorText` receives what went
  // wrong. When a table could not be copied whole, the original is kept
  // beside it (DatabaseFileName + ".bak", never overwritten); a cancelled or
  // failed repair leaves the original as it was.
  void RepairDatabase(std::string& errorText);
  // Copies every table into a new file; true when it succeeded (in repair
  // mode: unless cancelled), with what went wrong in `errorText`.
  virtual bool CopyDatabase(const std::string& newFileName, std::string& errorText,
                            const TQELCopyDatabaseOptions& options);
  const TQELRepairReport& LastRepairReport() const { return FRepairReport; }

  // The file's table names; connects for the call when needed (and
  // disconnects again). Any failure leaves `list` as it was.
  void GetTableNames(std::vector<std::string>& list);
  // Connects when needed, and stays connected.
  bool TableExists(std::string_view name);

  void StartTransaction();
  void Commit(bool forceFlush = false);
  void Rollback();
  // Closes the tables statements keep open for the length of the running
  // transaction (before something needs a table for itself alone).
  void LetGoOfKeptTables();
  bool InTransaction() const;

  // The datasets bound to this database.
  void AddDataSet(TQELDatabaseDataSet* dataSet);
  void RemoveDataSet(TQELDatabaseDataSet* dataSet);
  std::size_t DataSetCount() const { return FDataSets.size(); }
  TQELDatabaseDataSet* DataSets(std::size_t index) const { return FDataSets.at(index); }

 protected:
  void Loaded() override;
  void ValidateContainer(TQELComponent* owner) override;
  void OwnerChanged(TQELComponent* oldOwner) override;

 private:
  friend class TQELSession;

  void CheckDatabaseName() const;
  void CheckInactive() const;
  void CheckActive() const;
  // The session named by SessionName, now listing this database, started.
  TQELSession& BindSession();
  void MoveToSession(TQELSession* session);
  // Raises when another database of `session` has `name`; an unused
  // temporary one of that name is freed instead.
  void CheckDuplicateName(TQELSession& session, const std::string& name);
  std::unique_ptr<TQELLocalSession> NewEngineSession(std::string_view failureText) const;
  // Copies back what the engine granted and what the file holds.
  void TakeEngineSettings(const TQELLocalSession& engine);
  // A connected engine session, retrying a refused password.
  std::unique_ptr<TQELLocalSession> ConnectEngineSession();
  bool AskPassword();
  // Whether a file the engine reported as needing repair is repaired now.
  bool RepairWanted(TQELLocalSession& engine);
  std::unique_ptr<TQELLocalSession> RepairAndReconnect(std::unique_ptr<TQELLocalSession> engine);
  void CloseDataSets();
  // Tells the listeners of the transaction that just ended.
  void TellTransactionEnded();
  // Copies one table of the connected file into `newFileName`; the failure
  // is recorded and, outside repair mode, raised.
  bool CopyOneTable(const std::string& tableName, const std::string& newFileName,
                    const TQELCopyDatabaseOptions& options, int progressMin, int progressMax, std::string& errorText,
                    TQELProgress* dialog);
  // The session is going: close and forget it.
  void SessionGone(bool keepName);

  TQELSession* FSession = nullptr;
  std::shared_ptr<TQELLocalSession> FConnection;
  std::string FDatabaseFileName;
  std::string FDatabaseName;
  std::string FSessionName;
  std::string FPassword;
  bool FExclusive = false;
  bool FReadOnly = false;
  bool FHandleShared = false;
  bool FKeepConnection = true;
  bool FMultiUser = false;
  bool FSilentMode = false;
  bool FDisableTempFiles = false;
  std::int32_t FMaxConnections = 500;
  std::int32_t FPageSize = 4096;
  std::int32_t FPageCountInExtent = 8;
  std::uint8_t FCryptoAlgorithm = 0;
  std::vector<TQELDatabaseDataSet*> FDataSets;
  int FRefCount = 0;
  bool FTemporary = false;
  bool FBorrowed = false;
  bool FPromptsSuppressed = false;
  bool FStreamedConnected = false;
  TQELRepairReport FRepairReport;
};

}  // namespace qel
