// ALTER TABLE: the changes are applied to the table component's
// restructure lists, which a restructure then gives the table while
// carrying every record over by field identity; RENAME TO renames it.

#include <string>
#include <vector>

#include "components/db/QELFields.h"
#include "components/db/QELSameText.h"
#include "components/query/QELQueryDefinitions.h"
#include "components/query/QELQueryExecutor.h"
#include "platform/QELException.h"

namespace qel {

namespace {

TQELAdvFieldDef& ExistingField(TQELAdvFieldDefs& defs, const std::string& name) {
  TQELAdvFieldDef* field = defs.Find(name);
  if (field == nullptr) throw EQELException(30259, "Field '%s' not found", {name});
  return *field;
}

// A ";"-separated field list with `from` renamed to `to`.
std::string RenamedInList(const std::string& list, const std::string& from, const std::string& to) {
  std::string renamed;
  for (const std::string& name : SplitFieldNames(list)) {
    if (!renamed.empty()) renamed += ';';
    renamed += QELSameText(name, from) ? to : name;
  }
  return renamed;
}

// The indexes follow a renamed column, or the new structure would name a
// field that is not there.
void RenameInIndexes(TQELAdvIndexDefs& indexes, const std::string& from, const std::string& to) {
  for (std::int32_t i = 0; i < indexes.Count(); ++i) {
    TQELAdvIndexDef& index = indexes[i];
    index.Fields = RenamedInList(index.Fields, from, to);
    index.DescFields = RenamedInList(index.DescFields, from, to);
    index.CaseInsFields = RenamedInList(index.CaseInsFields, from, to);
  }
}

// Applies one change to the restructure lists; false for a change that
// needs no restructure (an ADD IF NOT EXISTS of a column that is there).
bool ApplyChange(const TQELAlterAction& action, TQELTable& table) {
  TQELAdvFieldDefs& fields = table.RestructureFieldDefs;
  switch (action.Kind) {
    case akAdd:
      if (action.IsIndex) {
        QELAddAdvIndexDef(table.RestructureIndexDefs, action.Index);
        return true;
      }
      if (fields.Find(action.Field.Name) != nullptr) {
        if (action.Field.IfNotExists) return false;
        throw EQELException(30351, "Field by name '%s' already exists", {action.Field.Name});
      }
      fields.Add() = QELAdvFieldDefOf(action.Field);
      return true;
    case akDrop:
      ExistingField(fields, action.OldName);
      fields.Delete(action.OldName);
      return true;
    case akModify: {
      TQELAdvFieldDef& field = ExistingField(fields, action.Field.Name);
      const std::int32_t id = field.FieldID;
      field = QELAdvFieldDefOf(action.Field);
      // The stored field keeps its identity, so its values carry over.
      field.FieldID = id;
      return true;
    }
    case akRenameColumn:
      ExistingField(fields, action.OldName).Name = action.NewName;
      RenameInIndexes(table.RestructureIndexDefs, action.OldName, action.NewName);
      return true;
    case akRenameTable:
      return false;
  }
  return false;
}

}  // namespace

void QELExecuteAlterTable(TQELDDLAlterTable& statement, const TQELPlanContext& context) {
  const TQELTableTarget& target = statement.Table();
  std::unique_ptr<TQELTable> table =
      QELStatementTable(target.DatabaseName, target.TableName, target.InMemory, context);
  table->UpdateFieldDefs();
  table->UpdateIndexDefs();
  bool restructure = false;
  std::string newName;
  for (const TQELAlterAction& action : statement.Actions()) {
    if (action.Kind == akRenameTable) newName = action.NewName;
    if (ApplyChange(action, *table)) restructure = true;
  }
  if (restructure) {
    std::string log;
    bool done = false;
    QELWrapErrors(30265, "Error altering table: '%s'", [&] { done = table->RestructureTable(log); });
    if (!done) throw EQELException(30347, "Restructure table error: '%s'", {log});
  }
  if (!newName.empty()) table->RenameTable(newName);
}

}  // namespace qel
