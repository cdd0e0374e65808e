// UPDATE, DELETE and RENAME TABLE.
//
// UPDATE and DELETE first collect the record ids of every row their WHERE
// selects, read through a table component of their own whose cursor judges
// each record, and only then change the rows through a second component
// positioned on each id. A row whose indexed key moves is therefore changed
// once, and no row is skipped because another one moved past it.
//
// Outside a transaction the target is locked for the statement and the
// changes run in an implicit transaction: all rows change or none do.

#include <chrono>
#include <thread>

#include "components/QELDatabase.h"
#include "components/query/QELIndexConditions.h"
#include "components/query/QELKeptTables.h"
#include "components/query/QELQueryExecutor.h"
#include "components/query/QELStatementLocks.h"
#include "platform/QELException.h"
#include "sql/QELExpressionCursor.h"
#include "sql/QELSQLUpdate.h"

namespace qel {

namespace {

// An UPDATE that met a lock held elsewhere runs again, whole, this many
// times at most, this far apart.
constexpr int kUpdateRuns = 15;
constexpr auto kUpdateRunPause = std::chrono::milliseconds(100);

// Where a statement's table is and what it is called.
struct TTargetName {
  std::string DatabaseName;
  std::string TableName;
  bool InMemory = false;
};

std::unique_ptr<TQELTable> NewTable(const TTargetName& target, const TQELPlanContext& context) {
  return QELStatementTable(target.DatabaseName, target.TableName, target.InMemory, context);
}

// The target of a data change: a scan whose cursor filters by the WHERE,
// which finds the rows, and the table the rows are changed through, which
// has no filter and no index, so that a changed row stays reachable.
// In a transaction, the statement keeps both open for its next run.
class TChangeTarget {
 public:
  // `where` may be null or empty.
  TChangeTarget(TQELSQLCommand& statement, const TTargetName& target, const TQELPlanContext& context,
                const TQELExpression* where)
      : FStatement(statement) {
    if (TQELKeptTables* kept = TQELKeptTables::Of(statement)) {
      FScan = &kept->Table(0);
      FTable = &kept->Table(1);
    } else {
      FOwned.push_back(NewTable(target, context));
      FOwned.push_back(NewTable(target, context));
      FScan = FOwned[0].get();
      FTable = FOwned[1].get();
      FScan->Open();
      FTable->Open();
    }
    // An index over a compared field may serve as the scan's path; a kept
    // scan takes the WHERE with this run's values.
    if (where != nullptr && !where->IsEmpty()) QELSetSQLFilter(*FScan->Cursor(), *where);
  }

  TQELTable& Table() { return *FTable; }

  // The ids of the rows the WHERE selects now.
  std::vector<TBookmark> MatchingRows() {
    std::vector<TBookmark> rows;
    for (FScan->First(); !FScan->Eof(); FScan->Next()) rows.push_back(FScan->GetBookmark());
    return rows;
  }

  // After a run that succeeded.
  void KeepForNextRun() { TQELKeptTables::Keep(FStatement, std::move(FOwned)); }

 private:
  TQELSQLCommand& FStatement;
  std::vector<std::unique_ptr<TQELTable>> FOwned;
  TQELTable* FScan = nullptr;
  TQELTable* FTable = nullptr;
};

// Whether the failure is a lock another session holds, after which the
// same statement may succeed; a constraint violation is not.
bool IsLockFailure(const std::exception& error) {
  if (const auto* qelError = dynamic_cast<const EQELException*>(&error)) {
    const std::int32_t code = qelError->NativeError();
    return code == 20223 || code == 20225;
  }
  if (const auto* engineError = dynamic_cast<const EQELEngineError*>(&error)) {
    const std::int32_t status = engineError->ErrorCode();
    return status == csRecordLocked || status == csTableLocked;
  }
  return false;
}

// Reads the one row of the subquery of SET (columns) = (subquery): all
// NULL when it has none, 20247 when it has more than one.
std::vector<TQELVariant> SubqueryRow(TQELSQLUpdate& statement, const TQELPlanContext& context) {
  TQELSQLUnion& subquery = *statement.Subquery();
  bool readOnly = true;
  QELExecuteSelect(subquery, context, readOnly, false);
  struct TResultRelease {
    TQELSQLUnion& Statement;
    ~TResultRelease() { Statement.SetResult(nullptr); }
  } release{subquery};
  TQELCursor& cursor = *subquery.GetResultCursor();
  const std::size_t columns = statement.SubqueryColumns().size();
  const std::int32_t fields = cursor.VisibleFieldDefs().Count();
  if (static_cast<std::size_t>(fields) != columns) {
    throw EQELException(20259, "Number of field names doesn't equal to the number of field values: %d <> %d. "
                               "Found at line %d, column %d",
                        {static_cast<std::int64_t>(columns), static_cast<std::int64_t>(fields), statement.Line(),
                         statement.Column()});
  }
  // The rows are read into a buffer of our own: the result's record buffer
  // belongs to whatever shows it.
  struct TBufferSwap {
    TQELCursor& Cursor;
    std::uint8_t* Saved;
    std::uint8_t* Buffer;
    ~TBufferSwap() {
      Cursor.RecordBuffer = Saved;
      Cursor.FreeRecordBuffer(Buffer);
    }
  } swap{cursor, cursor.RecordBuffer, cursor.AllocRecordBuffer()};
  cursor.RecordBuffer = swap.Buffer;
  std::vector<TQELVariant> row(columns);
  cursor.First();
  if (cursor.GetRecord(grmNext) != grOK) return row;
  for (std::int32_t i = 0; i < fields; ++i) cursor.GetFieldValue(row[static_cast<std::size_t>(i)], i, true);
  if (cursor.GetRecord(grmNext) == grOK) throw EQELException(20247, "Subquery must have only one row");
  return row;
}

// Edits every row in `rows`: the new values are all computed from the row
// as it was, then assigned, then the row is posted.
std::int32_t UpdateRows(TQELSQLUpdate& statement, TQELTable& table, const std::vector<TBookmark>& rows,
                        const std::vector<TQELVariant>& subqueryRow) {
  std::vector<TQELVariant> values;
  for (const TBookmark& row : rows) {
    table.GotoBookmark(row);
    table.Edit();
    try {
      if (statement.Subquery() != nullptr) {
        for (std::size_t i = 0; i < subqueryRow.size(); ++i) {
          table.FieldByName(statement.SubqueryColumns()[i]).SetAsVariant(subqueryRow[i]);
        }
      } else {
        values.clear();
        for (TQELSQLAssignment& assignment : statement.Assignments()) {
          values.push_back(assignment.Value->GetValue(true));
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
          table.FieldByName(statement.Assignments()[i].FieldName).SetAsVariant(values[i]);
        }
      }
      table.Post();
    } catch (...) {
      table.Cancel();
      throw;
    }
  }
  return static_cast<std::int32_t>(rows.size());
}

}  // namespace

void QELExecuteUpdate(TQELSQLUpdate& statement, const TQELPlanContext& context) {
  // The subquery's WHERE is handed to its plan when it runs, so it runs
  // once, before any row changes.
  std::vector<TQELVariant> subqueryRow;
  if (statement.Subquery() != nullptr) subqueryRow = SubqueryRow(statement, context);
  const TQELTableTarget& target = statement.Table();
  TChangeTarget change(statement, {target.DatabaseName, target.TableName, target.InMemory}, context,
                       statement.Select() != nullptr ? statement.Select()->Where() : nullptr);
  TQELTable& table = change.Table();
  // The assignments read the target's record: the one being edited.
  TQELCursorRecordSource source(*table.Cursor());
  for (TQELSQLAssignment& assignment : statement.Assignments()) {
    assignment.Value->BindToCursor(&source, nullptr, nullptr);
  }

  auto run = [&] {
    return QELUnderStatementLocks(table, 20223, [&] { return UpdateRows(statement, table, change.MatchingRows(), subqueryRow); });
  };
  // Inside a user transaction the rows changed before a failure stay, so
  // running again would change them twice.
  const bool mayRunAgain = !table.Database()->InTransaction();
  for (int attempt = 1;; ++attempt) {
    try {
      statement.SetRowsAffected(run());
      change.KeepForNextRun();
      return;
    } catch (const std::exception& error) {
      if (!mayRunAgain || attempt >= kUpdateRuns || !IsLockFailure(error)) throw;
    }
    std::this_thread::sleep_for(kUpdateRunPause);
  }
}

void QELExecuteDelete(TQELSQLDelete& statement, const TQELPlanContext& context) {
  TQELSQLSelect* select = statement.Select();
  if (select == nullptr || select->TableRefCount() != 1 || select->TableRefs()[0]->Kind != trkTable) {
    throw EQELException(30350, "Not implemented yet");
  }
  const TQELTableReference& reference = *select->TableRefs()[0];
  TChangeTarget change(statement, {reference.DatabaseName, reference.TableName, reference.InMemory}, context,
                       select->Where());
  TQELTable& table = change.Table();
  statement.SetRowsAffected(QELUnderStatementLocks(table, 20223, [&] {
    const std::vector<TBookmark> rows = change.MatchingRows();
    for (const TBookmark& row : rows) {
      table.GotoBookmark(row);
      table.Delete();
    }
    return static_cast<std::int32_t>(rows.size());
  }));
  change.KeepForNextRun();
}

void QELExecuteRenameTable(TQELDDLRenameTable& statement, const TQELPlanContext& context) {
  const TQELTableTarget& target = statement.Table();
  NewTable({target.DatabaseName, target.TableName, target.InMemory}, context)->RenameTable(statement.NewName());
}

}  // namespace qel
