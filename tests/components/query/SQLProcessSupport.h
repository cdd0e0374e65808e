#pragma once
// Helpers for tests whose statements run in several processes on one
// file: a statement run on a named database, whole rows read back, and
// which failures are another session's locks (after which the statement is
// simply not done).

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "components/QELDataSet.h"
#include "components/QELQuery.h"
#include "engine/QELCursor.h"
#include "platform/QELException.h"

namespace qel::test {

// Runs a statement without a result on `database` (connected); answers its
// row count.
inline std::int32_t RunSql(const std::string& database, const std::string& sql) {
  TQELQuery query;
  query.SetDatabaseName(database);
  query.SetSQLText(sql);
  query.ExecSQL();
  return query.RowsAffected();
}

// Every row of `sql`'s result on `database`, each as its values' texts
// ("" for NULL).
inline std::vector<std::vector<std::string>> SelectRows(const std::string& database, const std::string& sql) {
  TQELQuery query;
  query.SetDatabaseName(database);
  query.SetSQLText(sql);
  query.Open();
  std::vector<std::vector<std::string>> rows;
  for (query.First(); !query.Eof(); query.Next()) {
    std::vector<std::string>& row = rows.emplace_back();
    for (std::int32_t i = 0; i < query.FieldCount(); ++i) {
      row.push_back(query.Fields(i).IsNull() ? std::string() : query.Fields(i).AsString());
    }
  }
  return rows;
}

// Whether the failure is a lock another session holds: a statement's own
// "Table is locked" (SELECT, INSERT, UPDATE and DELETE outside a
// transaction), the file's tables locked for a commit, its header locked
// while the page count is read ("Database is locked", after its retries), or
// a table or record lock the engine's cursor could not get.
inline bool IsLockFailure(const std::exception& error) {
  if (const auto* qelError = dynamic_cast<const EQELException*>(&error)) {
    const std::int32_t code = qelError->NativeError();
    return code == 20210 || code == 20223 || code == 20224 || code == 20225 || code == 20236;
  }
  if (const auto* engineError = dynamic_cast<const EQELEngineError*>(&error)) {
    return engineError->ErrorCode() == csRecordLocked || engineError->ErrorCode() == csTableLocked;
  }
  return false;
}

// Whether the failure is a row that another session changed or deleted
// after the statement had read it and before it could change it: the
// engine's check of the record it edits. A statement in a transaction
// takes no table lock before it reads, so it can meet one.
inline bool IsChangedByAnotherSession(const std::exception& error) {
  const auto* engineError = dynamic_cast<const EQELEngineError*>(&error);
  if (engineError == nullptr) return false;
  const std::int32_t status = engineError->ErrorCode();
  return status == csChangedBeforeUpdate || status == csChangedBeforeDelete || status == csDeletedBeforeUpdate ||
         status == csDeletedBeforeDelete;
}

}  // namespace qel::test
