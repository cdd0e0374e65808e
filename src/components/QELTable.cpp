#include "components/QELTable.h"

#include <algorithm>

#include "components/QELDatabase.h"
#include "components/QELSession.h"
#include "components/QELSessionList.h"
#include "components/db/QELDatabaseError.h"
#include "components/db/QELSameText.h"
#include "engine/QELDefConversions.h"
#include "platform/QELFormat.h"
#include "sql/QELExpression.h"
#include "storage/QELFieldTypes.h"

namespace qel {

namespace {

// Usage flags of the table's own work.
constexpr std::int32_t kFlagDefinitionChange = 3;
constexpr std::int32_t kFlagFieldDefs = 4;
constexpr std::int32_t kFlagIndexDefs = 5;
constexpr std::int32_t kFlagRepair = 11;

// The exclusive table lock an index change takes.
constexpr std::uint8_t kIndexChangeLock = 6;

// The first SQL type name of a storage type, as messages name it.
std::string_view StorageTypeName(TQELBaseFieldType base) {
  for (const TQELFieldTypeMapping& row : QELFieldTypeMappings()) {
    if (row.BaseType == base) return row.Name;
  }
  return "Unknown";
}

bool HasSizeOfItsOwn(TQELAdvancedFieldType type) {
  return IsStringLikeAdvancedType(type) || IsBytesAdvancedType(type);
}

// A default whose text is an expression to evaluate at insert time rather
// than a value: it reads no column, and its value reads differently from
// its text.
bool IsExpressionDefault(const TQELVariant& value) {
  const std::string text = value.AsString();
  TQELVariant computed;
  return TQELExpression::EvaluateConstantText(text, computed) && computed.AsString() != text;
}

// NULL for an empty text, else the value in the field's storage type.
void NormaliseValue(TQELVariant& value, TQELBaseFieldType base) {
  if (!value.IsNull() && value.AsString().empty()) {
    value.SetNull();
    return;
  }
  value.ConvertTo(base);
}

}  // namespace

// Holds one usage flag of the dataset for its lifetime.
class TQELTable::TUsage {
 public:
  TUsage(TQELTable& table, std::int32_t flag) : FTable(table), FFlag(flag) { table.SetDBFlag(flag, true); }
  ~TUsage() {
    try {
      FTable.SetDBFlag(FFlag, false);
    } catch (...) {
    }
  }
  TUsage(const TUsage&) = delete;
  TUsage& operator=(const TUsage&) = delete;

 private:
  TQELTable& FTable;
  std::int32_t FFlag;
};

TQELTable::TQELTable() : FMasterLink(std::make_unique<TMasterDataLink>()) {
  FMasterLink->OnMasterChange = [this] { MasterChanged(); };
  FMasterLink->OnMasterDisable = [this] { MasterDisabled(); };
}

TQELTable::~TQELTable() {
  try {
    Close();
  } catch (...) {
  }
  FMasterLink->SetDataSource(nullptr);
}

// ---- properties

void TQELTable::SetTableName(const std::string& name) {
  if (name == FTableName) return;
  CheckInactive();
  FTableName = name;
  IndexDefs().Updated = false;
  DataEvent(deLayoutChange);
}

void TQELTable::SetExclusive(bool value) {
  CheckInactive();
  FExclusive = value;
}

void TQELTable::SetTemporary(bool value) {
  CheckInactive();
  FTemporary = value;
  if (value) SetDatabaseName("TEMP");
}

void TQELTable::SetMasterSource(TDataSource* source) {
  if (source != nullptr && source->DataSet() == this) {
    DatabaseError("Circular datalinks are not allowed", this);
  }
  FMasterLink->SetDataSource(source);
}

void TQELTable::SetMasterFields(const std::string& names) {
  FMasterLink->FieldNames = names;
  if (FMasterLink->Active()) {
    FMasterLink->Fields = FMasterLink->DataSet()->GetFieldList(names);
    if (Active()) MasterChanged();
  }
}

bool TQELTable::Exists() {
  if (DatabaseName().empty()) return false;
  try {
    TUsage usage(*this, kFlagFieldDefs);
    return Database()->TableExists(FTableName);
  } catch (...) {
    return false;
  }
}

// ---- cursors

void TQELTable::CheckTableName() const {
  const auto first = FTableName.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) DatabaseError("Missing TableName property", this);
}

bool TQELTable::EngineDisableTempFiles() const {
  if (InMemory()) return true;
  if (Database()->Temporary()) return DisableTempFiles;
  return Database()->DisableTempFiles();
}

void TQELTable::AddPersistentFieldDefs() {
  for (std::int32_t i = 0; i < FieldCount(); ++i) {
    const TField& field = Fields(i);
    if (field.IsDefault() || field.FieldKind() != fkData) continue;
    if (FieldDefs().Find(field.FieldName()) != nullptr) continue;
    FieldDefs().Add(field.FieldName(), field.DataType(), field.Size(), field.Required);
  }
}

std::unique_ptr<TQELLocalCursor> TQELTable::NewEngineCursor() {
  auto cursor = std::make_unique<TQELLocalCursor>();
  cursor->Session = Database()->EngineSession();
  cursor->SetTableName(FTableName);
  cursor->Exclusive = FExclusive;
  cursor->ReadOnly = ReadOnly() || Database()->ReadOnly();
  cursor->InMemory = InMemory();
  cursor->Temporary = FTemporary;
  cursor->DisableTempFiles = EngineDisableTempFiles();
  cursor->CreateIfMissing = false;
  cursor->RepairMode = FRepairing;
  // Tables statements keep open for their transaction would refuse an
  // exclusive open.
  if (FExclusive) Database()->LetGoOfKeptTables();
  AddPersistentFieldDefs();
  cursor->Open({}, {}, {});
  TakeReadOnly(cursor->ReadOnly);
  return cursor;
}

std::unique_ptr<TQELLocalCursor> TQELTable::DefinitionCursor(bool forCreate) {
  auto cursor = std::make_unique<TQELLocalCursor>();
  cursor->Session = Database()->EngineSession();
  cursor->SetTableName(FTableName);
  cursor->InMemory = InMemory();
  cursor->Temporary = FTemporary;
  cursor->ReadOnly = false;
  cursor->Exclusive = true;
  Database()->LetGoOfKeptTables();
  if (forCreate) cursor->DisableTempFiles = EngineDisableTempFiles();
  return cursor;
}

void TQELTable::CheckNoTransaction(const TQELCursor& cursor, std::int32_t code, const char* operation) {
  if (cursor.InTransaction()) {
    throw EQELException(code, QELFormat("Cannot perform '%s' operation on a database in transaction", {operation}));
  }
}

template <class TChange>
void TQELTable::UnderIndexChangeLock(TQELCursor& cursor, TChange&& change) {
  if (!cursor.LockTable(kIndexChangeLock, TableLockWaits.IndexChangeAttempts, TableLockWaits.IndexChangeDelayMs, 1)) {
    throw EQELException(20228, QELFormat("Cannot access table '%s' in exclusive mode. Probably the table is "
                                         "open by another user",
                                         {FTableName}));
  }
  try {
    change();
  } catch (...) {
    cursor.UnlockTable(kIndexChangeLock, false);
    throw;
  }
  cursor.UnlockTable(kIndexChangeLock, false);
}

std::unique_ptr<TQELCursor> TQELTable::CreateCursor() {
  CheckTableName();
  IndexDefs().Updated = false;
  std::unique_ptr<TQELLocalCursor> cursor = NewEngineCursor();
  FillIndexDefs(cursor->IndexDefs());
  FIndexDefsJustFilled = true;
  const std::string index = ResolveIndex(FIndexText, FIndexIsFieldNames);
  if (!index.empty()) cursor->SetIndexName(index);
  return cursor;
}

void TQELTable::AfterInternalOpen() { CheckMasterRange(); }

// ---- definitions

void TQELTable::InternalInitFieldDefs() {
  if (Cursor() != nullptr) {
    TQELDataSet::InternalInitFieldDefs();
    return;
  }
  TUsage usage(*this, kFlagFieldDefs);
  CheckTableName();
  // Opening builds the cursor's field definitions.
  std::unique_ptr<TQELLocalCursor> cursor = NewEngineCursor();
  FillDefinitions(*cursor);
}

void TQELTable::UpdateIndexDefs() {
  if (IndexDefs().Updated) return;
  TUsage usage(*this, kFlagIndexDefs);
  if (Cursor() != nullptr) {
    FillIndexDefs(Cursor()->GetIndexDefs());
    return;
  }
  UpdateFieldDefs();
  CheckTableName();
  std::unique_ptr<TQELLocalCursor> cursor = NewEngineCursor();
  FillIndexDefs(cursor->GetIndexDefs());
}

std::string TQELTable::ResolveIndex(const std::string& text, bool isFieldNames) {
  if (text.empty()) return {};
  IndexDefs().Updated = false;
  UpdateIndexDefs();
  if (!isFieldNames) return text;
  const TIndexDef* def = IndexDefs().FindIndexForFields(text);
  if (def == nullptr) DatabaseErrorFmt("No index for fields '%s'", {text}, this);
  return def->Name;
}

void TQELTable::SetIndex(const std::string& text, bool isFieldNames) {
  if (Active()) CheckBrowseMode();
  if (text == FIndexText && isFieldNames == FIndexIsFieldNames) return;
  if (Active()) {
    SwitchToIndex(ResolveIndex(text, isFieldNames));
    CheckMasterRange();
  }
  FIndexText = text;
  FIndexIsFieldNames = isFieldNames;
  if (Active()) Resync(false, false);
}

// ---- creating and changing the table

void TQELTable::PrepareCreateDefinitions() {
  if (AdvFieldDefs.Count() == 0) {
    for (std::int32_t i = 0; i < FieldDefs().Count(); ++i) {
      TFieldDef& def = FieldDefs()[i];
      if (def.DataType == ftGuid) def.Size = 38;
      TQELAdvFieldDef& adv = AdvFieldDefs.Add();
      adv = PlatformFieldDefToAdvFieldDef({def.Name, def.DataType, def.Size, def.Required});
    }
  } else {
    for (std::int32_t i = 0; i < AdvFieldDefs.Count(); ++i) {
      TQELAdvFieldDef& adv = AdvFieldDefs[i];
      const TQELBaseFieldType base = AdvancedToBaseFieldType(adv.DataType);
      const bool expression =
          IsStringBaseType(base) && !adv.DefaultValue.IsNull() && IsExpressionDefault(adv.DefaultValue);
      if (!expression) NormaliseValue(adv.DefaultValue, base);
      NormaliseValue(adv.MinValue, base);
      NormaliseValue(adv.MaxValue, base);
      const bool sized = IsStringBaseType(base) || base == bftBytes || base == bftVarBytes;
      if (!sized) adv.Size = 0;
      if (adv.DataType == aftGuid) adv.Size = 38;
    }
  }
  for (std::int32_t i = 0; i < AdvFieldDefs.Count(); ++i) {
    const TQELAdvFieldDef& adv = AdvFieldDefs[i];
    if (adv.Name.empty()) {
      throw EQELException(30499, QELFormat("Missing field name. FieldNo=%d, table '%s'", {i, FTableName}));
    }
    if (HasSizeOfItsOwn(adv.DataType) && adv.Size <= 0) {
      throw EQELException(30453, QELFormat("Cannot create table '%s' with field: %s %s(%d)",
                                           {FTableName, adv.Name,
                                            std::string(StorageTypeName(AdvancedToBaseFieldType(adv.DataType))),
                                            adv.Size}));
    }
    if (IsBlobAdvancedType(adv.DataType) && adv.BlobCompressionAlgorithm != 0 &&
        (adv.BlobCompressionMode == 0 || adv.BlobCompressionMode > 9)) {
      throw EQELException(20257, QELFormat("Invalid BlobCompressionMode (must be in 1..9 range) for blob "
                                           "field '%s'. Cannot create table '%s'",
                                           {adv.Name, FTableName}));
    }
  }
  if (AdvFieldDefs.Count() > 0 && FieldDefs().Count() != AdvFieldDefs.Count()) {
    FieldDefs().Clear();
    for (std::int32_t i = 0; i < AdvFieldDefs.Count(); ++i) {
      const TQELPlatformFieldDef def = AdvFieldDefToPlatformFieldDef(AdvFieldDefs[i]);
      FieldDefs().Add(def.Name, def.DataType, def.Size, def.Required);
    }
  }
  if (AdvIndexDefs.Count() == 0) {
    for (std::int32_t i = 0; i < IndexDefs().Count(); ++i) {
      const TIndexDef& def = IndexDefs()[i];
      TQELAdvIndexDef& adv = AdvIndexDefs.Add();
      adv.Name = def.Name;
      adv.Fields = def.Fields;
      adv.DescFields = def.DescFields;
      adv.CaseInsFields = def.CaseInsFields;
      adv.Options = def.Options;
    }
  }
  // Only string and byte-string columns keep a key size of their own.
  for (std::int32_t i = 0; i < AdvIndexDefs.Count(); ++i) {
    TQELIndexDef engine;
    AdvIndexDefToIndexDef(AdvIndexDefs[i], AdvFieldDefs, engine);
    for (std::int32_t c = 0; c < engine.ColumnCount(); ++c) {
      TQELIndexColumn& column = engine.Columns(c);
      const TQELAdvFieldDef* field = AdvFieldDefs.Find(column.FieldName);
      const bool keeps = field == nullptr || IsStringAdvancedType(field->DataType) || IsBytesAdvancedType(field->DataType);
      if (!(keeps && column.MaxIndexedSize > 0)) column.MaxIndexedSize = TQELIndexColumn::kDefaultMaxIndexedSize;
    }
    const bool temporary = AdvIndexDefs[i].Temporary;
    IndexDefToAdvIndexDef(engine, AdvIndexDefs[i]);
    AdvIndexDefs[i].Temporary = temporary;
  }
}

void TQELTable::CreateTable() {
  CheckInactive();
  CheckTableName();
  TUsage usage(*this, kFlagDefinitionChange);
  std::unique_ptr<TQELLocalCursor> cursor = DefinitionCursor(true);
  AddPersistentFieldDefs();
  PrepareCreateDefinitions();
  TQELFieldDefs fieldDefs;
  TQELIndexDefs indexDefs;
  TQELConstraintDefs constraintDefs;
  // The fields first, without constraints, so that the indexes can name
  // them; then again with the indexes' key constraints.
  AdvFieldDefsToFieldDefs(AdvFieldDefs, indexDefs, fieldDefs, constraintDefs, true);
  AdvIndexDefsToIndexDefs(AdvIndexDefs, fieldDefs, indexDefs);
  AdvFieldDefsToFieldDefs(AdvFieldDefs, indexDefs, fieldDefs, constraintDefs, FTemporary);
  CheckNoTransaction(*cursor, 20182, "CreateTable");
  cursor->CreateTable(fieldDefs, indexDefs, constraintDefs);
  IndexDefs().Updated = false;
}

void TQELTable::DeleteTable() {
  if (Active()) Close();
  CheckTableName();
  TUsage usage(*this, kFlagDefinitionChange);
  std::unique_ptr<TQELLocalCursor> cursor = DefinitionCursor(false);
  CheckNoTransaction(*cursor, 20183, "DeleteTable");
  cursor->DeleteTable();
  IndexDefs().Updated = false;
}

void TQELTable::EmptyTable() {
  CheckInactive();
  TUsage usage(*this, kFlagDefinitionChange);
  std::unique_ptr<TQELLocalCursor> cursor = DefinitionCursor(false);
  cursor->EmptyTable();
}

void TQELTable::RenameTable(const std::string& newName) {
  CheckInactive();
  CheckTableName();
  // A blank name would make a table nobody can open again.
  if (newName.find_first_not_of(" \t\r\n") == std::string::npos) {
    DatabaseError("Missing new table name", this);
  }
  TUsage usage(*this, kFlagDefinitionChange);
  std::unique_ptr<TQELLocalCursor> cursor = DefinitionCursor(false);
  CheckNoTransaction(*cursor, 20181, "RenameTable");
  cursor->RenameTable(newName);
  FTableName = newName;
}

void TQELTable::RenameField(const std::string& oldName, const std::string& newName) {
  CheckInactive();
  const bool wasExclusive = FExclusive;
  FExclusive = true;
  try {
    Open();
    CheckNoTransaction(*Cursor(), 20179, "RenameField");
    Cursor()->RenameField(oldName, newName);
    Close();
  } catch (...) {
    FExclusive = wasExclusive;
    try {
      Close();
    } catch (...) {
    }
    throw;
  }
  FExclusive = wasExclusive;
}

TQELCursor& TQELTable::IndexChangeCursor(std::unique_ptr<TQELLocalCursor>& own) {
  if (Cursor() != nullptr) {
    CheckBrowseMode();
    CursorPosChanged();
    return *Cursor();
  }
  own = NewEngineCursor();
  return *own;
}

void TQELTable::AddIndex(const std::string& name, const std::string& fields, std::uint8_t options,
                         const std::string& descFields, const std::string& caseInsFields) {
  UpdateFieldDefs();
  TUsage usage(*this, kFlagIndexDefs);
  std::unique_ptr<TQELLocalCursor> own;
  TQELCursor* cursor = &IndexChangeCursor(own);
  if (name.empty()) throw EQELException(20046, QELFormat("Invalid index name '%s'", {name}));
  if (fields.empty()) throw EQELException(20047, QELFormat("Cannot find index field '%s'", {fields}));
  CheckNoTransaction(*cursor, 20175, "AddIndex");
  TQELAdvIndexDef adv;
  adv.Name = name;
  adv.Fields = fields;
  adv.DescFields = descFields;
  adv.CaseInsFields = caseInsFields;
  adv.Options = options;
  TQELIndexDef def;
  AdvIndexDefToIndexDef(adv, cursor->FieldDefs(), def);
  cursor->InitFieldDefs();
  UnderIndexChangeLock(*cursor, [&] { cursor->CreateIndex(def); });
  IndexDefs().Updated = false;
}

void TQELTable::DeleteIndex(const std::string& name) {
  TUsage usage(*this, kFlagIndexDefs);
  std::unique_ptr<TQELLocalCursor> own;
  TQELCursor* cursor = &IndexChangeCursor(own);
  CheckNoTransaction(*cursor, 20177, "DeleteIndex");
  cursor->InitFieldDefs();
  // The same exclusive lock as adding one: another process must not walk
  // the dropped index's pages once they are free for reuse.
  UnderIndexChangeLock(*cursor, [&] { cursor->DropIndex(name); });
  IndexDefs().Updated = false;
}

void TQELTable::RepairTable() {
  TUsage usage(*this, kFlagRepair);
  FRepairing = true;
  try {
    NewEngineCursor();
  } catch (...) {
    FRepairing = false;
    throw;
  }
  FRepairing = false;
}

std::int64_t TQELTable::GetLastAutoincValue(std::int32_t fieldIndex) {
  CheckActive();
  if (fieldIndex < 0 || fieldIndex >= FieldCount()) DatabaseError("Field index out of range", this);
  return LastAutoincValueOf(Fields(fieldIndex));
}

std::int64_t TQELTable::GetLastAutoincValue(const std::string& fieldName) {
  CheckActive();
  return LastAutoincValueOf(FieldByName(fieldName));
}

std::int64_t TQELTable::LastAutoincValueOf(const TField& field) {
  // The engine numbers the stored fields; a calculated field has none.
  if (field.IsCalculated() || field.FieldNo() < 1) {
    DatabaseErrorFmt("Field '%s' is not a data field", {field.FieldName()}, this);
  }
  return Cursor()->GetLastAutoincValue(Cursor()->SourceFieldNo(field.FieldNo() - 1));
}

// ---- for the SQL layer

std::string TQELTable::GetIndexForFields(const std::vector<std::string>& fieldNames,
                                         const std::vector<std::string>& directions,
                                         const std::vector<std::string>& cases) {
  if (Cursor() == nullptr) throw EQELException(10311, "Nil pointer occured");
  return Cursor()->GetIndexForFields(fieldNames, directions, cases);
}

bool TQELTable::IndexExistsForFields(const std::vector<std::string>& fieldNames,
                                     const std::vector<std::string>& directions,
                                     const std::vector<std::string>& cases) {
  if (Cursor() == nullptr) throw EQELException(10514, "Nil pointer occured");
  return Cursor()->IndexExistsForFields(fieldNames, directions, cases);
}

void TQELTable::SetDistinctFields(const std::vector<std::string>& fieldNames,
                                  const std::vector<std::string>& directions,
                                  const std::vector<std::string>& cases) {
  if (Cursor() == nullptr) throw EQELException(10319, "Nil pointer occured");
  Cursor()->SetDistinctFields(fieldNames, directions, cases);
  FIndexText = Cursor()->IndexName();
  FIndexIsFieldNames = false;
}

void TQELTable::CopyIndexFrom(TQELTable& other) {
  if (Cursor() == nullptr || other.Cursor() == nullptr) throw EQELException(10319, "Nil pointer occured");
  SetIndexName(other.Cursor()->IndexName());
  Cursor()->DistinctFieldCount = other.Cursor()->DistinctFieldCount;
  Cursor()->InvalidateBitmap();
}

}  // namespace qel
