#include "components/query/QELKeptTables.h"

#include "components/QELDatabase.h"
#include "engine/QELLocalSession.h"

namespace qel {

namespace {

// The engine session of `table`'s database while it is in a transaction.
TQELLocalSession* TransactionSession(const TQELTable& table) {
  TQELDatabase* database = table.Database();
  if (database == nullptr || !database->InTransaction()) return nullptr;
  return database->EngineSession();
}

// Tables are kept only by the one session of a file no other process
// shares: another session's rollback re-reads a table's counters for
// every cursor on it, and an open table held through a long transaction
// would keep other processes from using it for themselves alone.
bool AloneOnTheFile(const TQELLocalSession& session) {
  const TQELDatabaseData* data = session.DatabaseData();
  return !session.MultiUser() && data != nullptr && data->Sessions().size() == 1;
}

}  // namespace

bool TQELKeptTables::StillOpen() const {
  if (FTables.empty()) return false;
  for (const std::unique_ptr<TQELTable>& table : FTables) {
    if (!table->Active()) return false;
  }
  const TQELLocalSession* session = TransactionSession(*FTables.front());
  return session != nullptr && session->TransactionNumber() == FTransactionNumber;
}

TQELKeptTables* TQELKeptTables::Of(TQELSQLCommand& statement) {
  auto* kept = dynamic_cast<TQELKeptTables*>(statement.RunState());
  if (kept == nullptr) return nullptr;
  if (kept->StillOpen()) return kept;
  statement.SetRunState(nullptr);
  return nullptr;
}

void TQELKeptTables::Keep(TQELSQLCommand& statement, std::vector<std::unique_ptr<TQELTable>> tables) {
  if (tables.empty()) return;
  TQELLocalSession* session = TransactionSession(*tables.front());
  if (session == nullptr || !AloneOnTheFile(*session)) return;
  auto kept = std::make_shared<TQELKeptTables>(std::move(tables), session->TransactionNumber());
  session->AddTransactionEndListener(kept);
  statement.SetRunState(std::move(kept));
}

}  // namespace qel
