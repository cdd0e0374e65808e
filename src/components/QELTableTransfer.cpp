// TQELTable: importing another dataset's structure and records, and copying
// the table into another database file.

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "components/QELDatabase.h"
#include "components/QELSession.h"
#include "components/QELSessionList.h"
#include "components/QELTable.h"
#include "components/QELTableCopy.h"
#include "components/QELTableProgress.h"
#include "components/db/QELSameText.h"
#include "platform/QELException.h"
#include "platform/QELFile.h"
#include "platform/QELFormat.h"

namespace qel {

namespace {

constexpr const char* kMemoryDatabase = "MEMORY";

// Takes each index of `given` that names its fields; the others are logged.
void ImportIndexDefs(const TIndexDefs& given, TIndexDefs& into, std::string& log) {
  for (std::int32_t i = 0; i < given.Count(); ++i) {
    const TIndexDef& def = given[i];
    if (def.Fields.empty()) {
      log += QELFormat("Cannot import index '%s'. Index type is not supported, index skipped", {def.Name});
      continue;
    }
    into.Add(def.Name, def.Fields, def.Options) = def;
  }
  for (std::int32_t i = 0; i < into.Count(); ++i) {
    if (into[i].Name.empty()) {
      into[i].Name = "idxPrimaryKey";
      break;
    }
  }
}

// The index definitions of `source` but its temporary ones and those that
// name a field `fields` lacks: a result that shows some of a table's
// columns carries the table's indexes, which the copy could not create.
void ImportableIndexDefs(const TQELAdvIndexDefs& source, const TQELAdvFieldDefs& fields, TQELAdvIndexDefs& into) {
  TQELAdvIndexDefs candidates;
  candidates.Assign(source, true);
  into.Clear();
  for (std::int32_t i = 0; i < candidates.Count(); ++i) {
    bool complete = true;
    for (const std::string& name : SplitFieldNames(candidates[i].Fields)) {
      if (fields.Find(name) == nullptr) complete = false;
    }
    if (complete) into.Add() = candidates[i];
  }
}

// Whether two database file names name the same file, however written.
bool IsSameFile(const std::string& a, const std::string& b) {
  TQELFileIdentity first;
  TQELFileIdentity second;
  if (QELGetFileIdentity(a, first) && QELGetFileIdentity(b, second)) return first == second;
  return a == b;
}

// Raises `code` with `text`, or with `ignoreErrors` logs it; answers false
// for the caller to give up with.
bool Refuse(std::int32_t code, const std::string& text, bool ignoreErrors, std::string& log) {
  if (!ignoreErrors) throw EQELException(code, text);
  log += text;
  return false;
}

// Opens the table for a copy and, at every exit, puts it back: on the
// record it was on when it was open, else closed.
class TOpenForCopy {
 public:
  explicit TOpenForCopy(TQELTable& table) : FTable(table), FWasOpen(table.Active()) {
    if (FWasOpen) {
      FBookmark = table.GetBookmark();
      table.Close();
    }
    table.Open();
  }
  ~TOpenForCopy() {
    try {
      if (!FWasOpen) {
        FTable.Close();
      } else if (!FBookmark.empty() && FTable.BookmarkValid(FBookmark)) {
        FTable.GotoBookmark(FBookmark);
      }
    } catch (...) {
    }
  }
  TOpenForCopy(const TOpenForCopy&) = delete;
  TOpenForCopy& operator=(const TOpenForCopy&) = delete;

 private:
  TQELTable& FTable;
  bool FWasOpen;
  TBookmark FBookmark;
};

}  // namespace

// ---- import

bool TQELTable::ImportTable(TDataSet& source, std::string& log, const TIndexDefs* indexDefs) {
  SetFilteredValue(false);
  const std::string logBefore = log;
  CheckInactive();
  // The argument may be this table's own list, which is cleared next.
  std::optional<TIndexDefs> given;
  if (indexDefs != nullptr) given = *indexDefs;
  IndexDefs().Clear();
  AdvIndexDefs.Clear();
  FieldDefs().Clear();
  AdvFieldDefs.Clear();
  if (auto* engine = dynamic_cast<TQELDataSet*>(&source)) {
    AdvFieldDefs = engine->AdvFieldDefs;
    ImportableIndexDefs(engine->AdvIndexDefs, AdvFieldDefs, AdvIndexDefs);
  } else {
    const TFieldDefs& defs = source.FieldDefs();
    for (std::int32_t i = 0; i < defs.Count(); ++i) {
      FieldDefs().Add(defs[i].Name, defs[i].DataType, defs[i].Size, defs[i].Required);
    }
    if (given) ImportIndexDefs(*given, IndexDefs(), log);
  }
  try {
    CreateTable();
  } catch (const std::exception& error) {
    log += QELFormat("Error importing table. Cannot create table due to error: %s\r\n", {error.what()});
    return false;
  }
  Open();
  if (Cursor() == nullptr) throw EQELException(10259, "Nil pointer occured");
  Cursor()->LockDatabase();
  std::string errors;
  {
    TOperationProgress progress(*this, TOperationProgress::okImport);
    try {
      progress.Before();
      bool continueCopy = true;
      TQELBulkTransaction transaction(Temporary() || InMemory() ? nullptr : Database());
      CopyRecords(this, source, *this, errors, continueCopy, true, false, progress.Handler(), 0, 100);
      transaction.Commit();
      progress.After();
    } catch (...) {
      Cursor()->UnlockDatabase();
      Close();
      throw;
    }
  }
  Cursor()->UnlockDatabase();
  Close();
  if (!errors.empty()) {
    log += QELFormat("Error importing table. Cannot copy data due to error: %s\r\n", {errors});
  }
  return log == logBefore;
}

// ---- copy

bool TQELTable::CheckCopyTarget(const std::string& newTableName, const std::string& databaseFileName,
                                bool ignoreErrors, std::string& log) {
  const bool toMemory = databaseFileName == kMemoryDatabase;
  bool sameDatabase = databaseFileName.empty() || (toMemory && InMemory());
  if (!sameDatabase && !toMemory && !InMemory() && !Temporary()) {
    sameDatabase = IsSameFile(databaseFileName, Database()->DatabaseFileName());
  }
  if (sameDatabase && QELSameText(newTableName, TableName())) {
    const std::string file = databaseFileName.empty() ? Database()->DatabaseFileName() : databaseFileName;
    if (!Refuse(30447, QELFormat("Cannot copy table '%s.%s' into it self", {file, TableName()}), ignoreErrors,
                log)) {
      return false;
    }
  }
  for (std::int32_t i = 0; i < FieldDefs().Count(); ++i) {
    if (FindField(FieldDefs()[i].Name) == nullptr) {
      throw EQELException(20297, QELFormat("Cannot copy table \"%s\". Field object for field \"%s\" is not created.",
                                           {TableName(), FieldDefs()[i].Name}));
    }
  }
  return true;
}

bool TQELTable::CopyTable(const std::string& newTableName, std::string& log, bool& continueCopy,
                          const std::string& databaseFileName, const std::string& password, bool ignoreErrors,
                          bool overwriteExisting, bool copyIndexes, int progressMin, int progressMax) {
  TOperationProgress progress(*this, TOperationProgress::okCopy);
  TOpenForCopy open(*this);
  const bool ownDatabase = databaseFileName.empty();
  const bool toMemory = databaseFileName == kMemoryDatabase;
  std::unique_ptr<TQELDatabase> created;
  TQELDatabase* target = ownDatabase ? Database() : nullptr;
  if (!ownDatabase && !toMemory) {
    created = std::make_unique<TQELDatabase>();
    TQELSession& session = TQELSessionList::Instance().DefaultSession();
    created->SetDatabaseName(session.UniqueDatabaseName("TempDb"));
    created->SetDatabaseFileName(databaseFileName);
    created->SetPassword(password);
    // The password was given: a wrong one is an error, not a question.
    created->SetSilentMode(true);
    created->Open();
    target = created.get();
  }
  if (!CheckCopyTarget(newTableName, databaseFileName, ignoreErrors, log)) return false;
  progress.Before();

  TQELTable copy;
  copy.SetTableName(newTableName);
  if (ownDatabase) {
    copy.SetInMemory(InMemory());
    copy.SetTemporary(Temporary());
  }
  if (target != nullptr) {
    copy.SetSessionName(target->SessionName());
    copy.SetDatabaseName(target->DatabaseName());
  } else {
    copy.SetDatabaseName(kMemoryDatabase);
  }
  copy.AdvFieldDefs = RestructureFieldDefs;
  if (copyIndexes) copy.AdvIndexDefs.Assign(RestructureIndexDefs, true);

  const std::string where = target != nullptr ? target->DatabaseFileName() : std::string(kMemoryDatabase);
  if (copy.Exists()) {
    if (overwriteExisting) {
      copy.DeleteTable();
    } else {
      // The table that is in the way is the one to name.
      return Refuse(toMemory ? 10515 : 30448, QELFormat("Table '%s.%s' already exists", {where, newTableName}),
                    ignoreErrors, log);
    }
  }
  try {
    copy.CreateTable();
  } catch (const std::exception& error) {
    return Refuse(30450, QELFormat("Create table '%s.%s' error: '%s'", {where, TableName(), error.what()}),
                  ignoreErrors, log);
  }
  copy.Open();
  bool result = false;
  try {
    TQELBulkTransaction transaction(copy.InMemory() || copy.Temporary() ? nullptr : target);
    result = CopyRecords(this, *this, copy, log, continueCopy, ignoreErrors, false, progress.Handler(), progressMin,
                         progressMax);
    transaction.Commit();
  } catch (...) {
    copy.Close();
    throw;
  }
  copy.Close();
  progress.After();
  return result;
}

}  // namespace qel
