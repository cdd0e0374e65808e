#pragma once
// TQELBaseSession: the engine side of one database connection, as the
// database component sees it: its connection parameters, its session id and
// transaction flag, and a small list of named per-session values (the last
// value each autoincrement sequence handed out in this session).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "disk/QELDiskDatabaseCatalog.h"
#include "storage/QELBaseFieldManager.h"
#include "storage/QELDatabaseData.h"

namespace qel {

// One named value of a session, keyed by name or by ObjectID.
class TQELSessionNamedObject {
 public:
  TQELSessionNamedObject() = default;
  TQELSessionNamedObject(std::int32_t objectID, std::string name)
      : ObjectID(objectID), Name(std::move(name)) {}
  virtual ~TQELSessionNamedObject() = default;

  // -1: the entry is known by its name only.
  std::int32_t ObjectID = -1;
  std::string Name;
};

// The last value an autoincrement sequence (keyed by the field's ObjectID)
// handed out in this session.
class TQELSessionNamedObjectSequenceValue : public TQELSessionNamedObject {
 public:
  using TQELSessionNamedObject::TQELSessionNamedObject;
  std::int64_t SequenceLastValue = 0;
};

// What wants to hear that the session's transaction ended: something kept
// open for the length of one transaction only.
class TQELTransactionEndListener {
 public:
  virtual ~TQELTransactionEndListener() = default;
  virtual void TransactionEnded() = 0;
};

class TQELBaseSession : public TQELStorageSession, public TQELSessionSequenceValues {
 public:
  TQELBaseSession() = default;
  ~TQELBaseSession() override = default;
  TQELBaseSession(const TQELBaseSession&) = delete;
  TQELBaseSession& operator=(const TQELBaseSession&) = delete;

  // Operations in their fixed order.
  virtual bool GetConnected() const = 0;
  virtual void SetConnected(bool value) = 0;
  virtual bool GetRepairMode() const = 0;
  virtual void SetRepairMode(bool value) = 0;
  virtual void CreateDatabase() = 0;
  virtual void SessionHook1() {}
  virtual void SessionHook2(const std::string&) {}
  virtual void GetTableNames(std::vector<std::string>& list) = 0;
  virtual bool TableExists(std::string_view name) = 0;
  // Replaces the entry of the same ObjectID (or, for ObjectID -1, of the
  // same name) by `object`, or appends it. An object that is listed already
  // stays where it is and is not freed. A null object changes nothing.
  virtual void SetNamedObject(std::unique_ptr<TQELSessionNamedObject> object);
  // The first entry whose name equals `name` without regard to case.
  virtual TQELSessionNamedObject* FindNamedObject(std::string_view name) const;
  virtual TQELSessionNamedObject* FindNamedObjectByID(std::int32_t objectID) const;
  // The sequence values are named objects keyed by the field's ObjectID.
  void SetSequenceLastValue(std::int32_t objectID, std::string_view name,
                            std::int64_t value) override;
  bool FindSequenceLastValue(std::int32_t objectID, std::int64_t& value) const override;
  virtual void StartTransaction() = 0;
  // Outside a transaction "Database is not in transaction. Cannot perform
  // operation" (20229).
  virtual void Commit(bool forceFlush) = 0;
  virtual void Rollback() = 0;
  virtual void FlushBuffers() = 0;

  // The connection parameters, set before connecting.
  const std::string& DatabaseName() const { return FDatabaseName; }
  void SetDatabaseName(std::string name) { FDatabaseName = std::move(name); }
  const std::string& DatabaseFileName() const { return FDatabaseFileName; }
  void SetDatabaseFileName(std::string fileName) { FDatabaseFileName = std::move(fileName); }
  bool ReadOnly() const { return FReadOnly; }
  void SetExclusive(bool exclusive) { FExclusive = exclusive; }
  std::int32_t MaxConnections() const { return FMaxConnections; }
  void SetMaxConnections(std::int32_t maxConnections) { FMaxConnections = maxConnections; }
  bool NeedRepair() const { return FNeedRepair; }
  const std::vector<std::unique_ptr<TQELSessionNamedObject>>& NamedObjects() const {
    return FNamedObjects;
  }

  // What the database data sees of the session.
  std::int32_t SessionID() const override { return FSessionID; }
  void SetSessionID(std::int32_t sessionID) override { FSessionID = sessionID; }
  bool MultiUser() const override { return FMultiUser; }
  void SetMultiUser(bool multiUser) override { FMultiUser = multiUser; }
  bool Exclusive() const override { return FExclusive; }
  void SetReadOnly(bool readOnly) override { FReadOnly = readOnly; }
  void SetNeedRepair(bool needRepair) override { FNeedRepair = needRepair; }
  bool InTransaction() const override { return FInTransaction; }
  // Counts the transactions started: tells one transaction from the next.
  std::uint64_t TransactionNumber() const { return FTransactionNumber; }
  // Listeners of the transaction now running; whoever ends the transaction
  // takes the list and tells those still alive. A listener that is gone
  // is skipped.
  void AddTransactionEndListener(std::weak_ptr<TQELTransactionEndListener> listener) {
    FTransactionEndListeners.push_back(std::move(listener));
  }
  std::vector<std::weak_ptr<TQELTransactionEndListener>> TakeTransactionEndListeners() {
    return std::exchange(FTransactionEndListeners, {});
  }

 protected:
  void SetInTransaction(bool inTransaction) {
    if (inTransaction && !FInTransaction) ++FTransactionNumber;
    FInTransaction = inTransaction;
  }

 private:
  std::string FDatabaseName;
  std::string FDatabaseFileName;
  std::int32_t FSessionID = -1;
  bool FInTransaction = false;
  std::uint64_t FTransactionNumber = 0;
  bool FReadOnly = false;
  bool FExclusive = false;
  std::vector<std::unique_ptr<TQELSessionNamedObject>> FNamedObjects;
  std::vector<std::weak_ptr<TQELTransactionEndListener>> FTransactionEndListeners;
  std::int32_t FMaxConnections = TQELDiskDatabaseCatalog::kDefaultMaxConnections;
  bool FNeedRepair = false;
  bool FMultiUser = false;
};

}  // namespace qel
