// TQELDatabase: its properties, its place in a session, closing, its
// datasets, transactions and table names.

#include "components/QELDatabase.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>

#include "components/QELDatabaseDataSet.h"
#include "components/QELSessionList.h"
#include "components/db/QELDatabaseError.h"
#include "components/db/QELSameText.h"
#include "disk/QELDiskFormat.h"
#include "engine/QELLocalSession.h"

namespace qel {

namespace {

bool IsBlank(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c == ' ' || c == '\t'; });
}

// The lock all sessions share, when the session list still exists (at
// process end it may not).
std::unique_lock<TQELCriticalSection> LockAllSessions() {
  TQELSessionList* list = TQELSessionList::Existing();
  return list != nullptr ? std::unique_lock<TQELCriticalSection>(list->SessionLock())
                         : std::unique_lock<TQELCriticalSection>();
}

}  // namespace

TQELDatabase::TQELDatabase() {
  TQELSession& session = TQELSessionList::Instance().DefaultSession();
  FSessionName = session.SessionName();
  MoveToSession(&session);
}

TQELDatabase::~TQELDatabase() {
  Destroying();
  try {
    Close();
  } catch (...) {
    // Nobody is left to tell; the connection is gone all the same.
  }
  const std::vector<TQELDatabaseDataSet*> dataSets = std::move(FDataSets);
  FDataSets.clear();
  for (TQELDatabaseDataSet* dataSet : dataSets) dataSet->DatabaseFreed(*this);
  MoveToSession(nullptr);
}

std::string TQELDatabase::CurrentVersion() {
  // Built from digits, never through the locale's number formatting.
  const long hundredths = std::lround(kQELFormatVersion * 100);
  const long fraction = hundredths % 100;
  return std::to_string(hundredths / 100) + "." + (fraction < 10 ? "0" : "") + std::to_string(fraction) + " ";
}

void TQELDatabase::SetConnected(bool connected) {
  if (IsLoading()) {
    FStreamedConnected = connected;
  } else if (connected) {
    Open();
  } else {
    Close();
  }
}

void TQELDatabase::Loaded() {
  TQELComponent::Loaded();
  if (FStreamedConnected) {
    FStreamedConnected = false;
    Open();
  }
}

void TQELDatabase::SetDatabaseFileName(const std::string& fileName) {
  if (fileName == FDatabaseFileName) return;
  Close();
  FDatabaseFileName = fileName;
}

void TQELDatabase::SetDatabaseName(const std::string& name) {
  if (name == FDatabaseName) return;
  CheckInactive();
  if (FSession != nullptr) CheckDuplicateName(*FSession, name);
  FDatabaseName = name;
}

void TQELDatabase::SetSessionName(const std::string& name) {
  if (name == FSessionName) return;
  CheckInactive();
  FSessionName = name;
}

void TQELDatabase::SetHandleShared(bool handleShared) {
  if (handleShared == FHandleShared) return;
  FHandleShared = handleShared;
  // Only databases that share their connection may share a name.
  if (!handleShared && FSession != nullptr) {
    try {
      CheckDuplicateName(*FSession, FDatabaseName);
    } catch (...) {
      FHandleShared = true;
      throw;
    }
  }
}

void TQELDatabase::SetKeepConnection(bool keepConnection) {
  FKeepConnection = keepConnection;
  if (!keepConnection && FRefCount == 0 && !IsLoading()) Close();
}

void TQELDatabase::CheckDatabaseName() const {
  if (!FTemporary && IsBlank(FDatabaseName)) DatabaseError("Database name missing", this);
}

void TQELDatabase::CheckInactive() const {
  if (Connected()) DatabaseError("Cannot perform this operation on an open database", this);
}

void TQELDatabase::CheckActive() const {
  if (!Connected()) DatabaseError("Cannot perform this operation on a closed database", this);
}

void TQELDatabase::CheckDuplicateName(TQELSession& session, const std::string& name) {
  if (name.empty()) return;
  for (;;) {
    TQELDatabase* clash = nullptr;
    for (TQELDatabase* database : session.FDatabases) {
      if (database != this && QELSameText(database->FDatabaseName, name) &&
          !(database->FHandleShared && FHandleShared)) {
        clash = database;
        break;
      }
    }
    if (clash == nullptr) return;
    if (!clash->FTemporary || clash->FRefCount != 0 || clash->Owner() == nullptr) {
      DatabaseErrorFmt("Duplicate database name '%s'", {name}, this);
    }
    // A temporary database nobody uses gives way.
    clash->Owner()->FreeComponent(clash);
  }
}

TQELSession& TQELDatabase::BindSession() {
  TQELSession& session = TQELSessionList::Instance().GetSession(FSessionName);
  if (&session != FSession) {
    MoveToSession(&session);
    try {
      CheckDuplicateName(session, FDatabaseName);
    } catch (...) {
      FDatabaseName.clear();
      throw;
    }
  }
  session.Start();
  return session;
}

void TQELDatabase::MoveToSession(TQELSession* session) {
  if (session == FSession) return;
  if (FSession != nullptr) FSession->RemoveDatabase(this);
  FSession = session;
  if (FSession != nullptr) FSession->AddDatabase(this);
}

void TQELDatabase::ValidateContainer(TQELComponent* owner) {
  auto* session = dynamic_cast<TQELSession*>(owner);
  if (session == nullptr || session == FSession) return;
  CheckInactive();
  CheckDuplicateName(*session, FDatabaseName);
}

void TQELDatabase::OwnerChanged(TQELComponent* /*oldOwner*/) {
  auto* session = dynamic_cast<TQELSession*>(Owner());
  if (session == nullptr) return;
  MoveToSession(session);
  FSessionName = session->SessionName();
}

void TQELDatabase::SessionGone(bool keepName) {
  try {
    Close();
  } catch (...) {
    // The session is being freed and cannot pass the error on.
  }
  MoveToSession(nullptr);
  if (!keepName) FSessionName.clear();
}

void TQELDatabase::Close() {
  if (!Connected()) return;
  std::exception_ptr failure;
  try {
    if (FSession != nullptr) FSession->DatabaseEvent(deClose, *this);
    CloseDataSets();
  } catch (...) {
    failure = std::current_exception();
  }
  {
    auto lock = LockAllSessions();
    std::shared_ptr<TQELLocalSession> connection = std::move(FConnection);
    FConnection.reset();
    FBorrowed = false;
    FRefCount = 0;
    // A connection lent to (or borrowed from) another database stays
    // connected until its last user has closed.
    if (connection.use_count() == 1) {
      try {
        connection->SetConnected(false);
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
    }
  }
  if (failure) std::rethrow_exception(failure);
}

void TQELDatabase::AddDataSet(TQELDatabaseDataSet* dataSet) {
  if (dataSet != nullptr && std::find(FDataSets.begin(), FDataSets.end(), dataSet) == FDataSets.end()) {
    FDataSets.push_back(dataSet);
  }
}

void TQELDatabase::RemoveDataSet(TQELDatabaseDataSet* dataSet) {
  FDataSets.erase(std::remove(FDataSets.begin(), FDataSets.end(), dataSet), FDataSets.end());
}

void TQELDatabase::CloseDataSets() {
  // Closing a dataset may bind, unbind or free others: the list is searched
  // afresh for each one, and each dataset is closed once. Every dataset gets
  // its close; the first error is raised at the end.
  std::vector<const TQELDatabaseDataSet*> closed;
  std::exception_ptr failure;
  auto pending = [&closed](const TQELDatabaseDataSet* dataSet) {
    return std::find(closed.begin(), closed.end(), dataSet) == closed.end();
  };
  auto close = [&](TQELDatabaseDataSet* dataSet) {
    closed.push_back(dataSet);
    try {
      dataSet->CloseForDatabase();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  };
  // Queries first, in their order: they may use the other datasets.
  for (;;) {
    auto query = std::find_if(FDataSets.begin(), FDataSets.end(), [&](const TQELDatabaseDataSet* dataSet) {
      return dataSet->IsQuery() && pending(dataSet);
    });
    if (query == FDataSets.end()) break;
    close(*query);
  }
  // Then the others, last bound first.
  for (;;) {
    auto last = std::find_if(FDataSets.rbegin(), FDataSets.rend(), pending);
    if (last == FDataSets.rend()) break;
    close(*last);
  }
  if (failure) std::rethrow_exception(failure);
}

void TQELDatabase::StartTransaction() {
  CheckActive();
  if (FConnection->InTransaction()) DatabaseError("Database already in transaction", this);
  FConnection->StartTransaction();
}

void TQELDatabase::Commit(bool forceFlush) {
  CheckActive();
  FConnection->Commit(forceFlush);
  TellTransactionEnded();
}

void TQELDatabase::Rollback() {
  CheckActive();
  try {
    FConnection->Rollback();
  } catch (...) {
    TellTransactionEnded();
    throw;
  }
  TellTransactionEnded();
}

// Told once the engine call has returned, so that a listener may close
// what it kept open.
void TQELDatabase::TellTransactionEnded() {
  if (FConnection == nullptr || FConnection->InTransaction()) return;
  LetGoOfKeptTables();
}

void TQELDatabase::LetGoOfKeptTables() {
  if (FConnection == nullptr) return;
  // The connection may go while listeners close their tables.
  const std::shared_ptr<TQELLocalSession> connection = FConnection;
  for (const std::weak_ptr<TQELTransactionEndListener>& each : connection->TakeTransactionEndListeners()) {
    if (const std::shared_ptr<TQELTransactionEndListener> listener = each.lock()) {
      try {
        listener->TransactionEnded();
      } catch (...) {
        // The transaction is over whatever a listener could not finish.
      }
    }
  }
}

bool TQELDatabase::InTransaction() const { return Connected() && FConnection->InTransaction(); }

void TQELDatabase::GetTableNames(std::vector<std::string>& list) {
  const bool wasConnected = Connected();
  try {
    Open();
    std::vector<std::string> names;
    FConnection->GetTableNames(names);
    list = std::move(names);
  } catch (const std::exception&) {
    // The names are a convenience: a file that cannot be read has none.
  }
  if (!wasConnected) {
    try {
      Close();
    } catch (const std::exception&) {
    }
  }
}

bool TQELDatabase::TableExists(std::string_view name) {
  Open();
  return FConnection->TableExists(name);
}

}  // namespace qel
