#include "components/QELQuery.h"

#include <algorithm>

#include "components/QELDatabase.h"
#include "components/db/QELDatabaseError.h"
#include "platform/QELException.h"
#include "storage/QELFieldTypes.h"

namespace qel {

namespace {

// The usage flag held while statements without a result run.
constexpr std::int32_t kFlagPrepared = 1;
constexpr std::int32_t kFlagExecSQL = 2;

}  // namespace

TQELQuery::TQELQuery() : FMasterLink(std::make_unique<TMasterDataLink>()) {
  FMasterLink->OnMasterChange = [this] { MasterChanged(); };
}

TQELQuery::~TQELQuery() {
  try {
    Disconnect();
  } catch (...) {
  }
  FMasterLink->SetDataSource(nullptr);
}

// ---- the text

void TQELQuery::SetSQL(const std::vector<std::string>& lines) {
  if (lines == FSQL) return;
  Disconnect();
  FSQL = lines;
  TextChanged();
}

void TQELQuery::SetSQLText(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  if (!text.empty() && text.back() == '\n') lines.pop_back();
  if (text.empty()) lines.clear();
  SetSQL(lines);
}

std::string TQELQuery::SQLText() const {
  std::string text;
  for (std::size_t i = 0; i < FSQL.size(); ++i) {
    if (i != 0) text += '\n';
    text += FSQL[i];
  }
  return text;
}

void TQELQuery::TextChanged() {
  FMasterFilled.clear();
  // The markers are found by the lexer's own scan, which leaves quoted
  // text (a ":" in quotes among it) alone.
  if (ParamCheck) FParams.ParseSQL(SQLText());
  DataEvent(deLayoutChange);
}

void TQELQuery::SetRequestLive(bool value) {
  CheckInactive();
  FRequestLive = value;
}

void TQELQuery::SetDataSource(TDataSource* source) {
  if (source != nullptr && source->DataSet() == this) {
    DatabaseError("Circular datalinks are not allowed", this);
  }
  FMasterLink->SetDataSource(source);
}

// ---- preparing

void TQELQuery::SetPrepared(bool value) {
  if (value && Cursor() != nullptr) {
    throw EQELException(30141, "Cannot perform this operation on an open dataset");
  }
  if (value == Prepared()) return;
  if (value) {
    FRowsAffected = -1;
    FNoResult = true;
    const std::string text = SQLText();
    if (text.size() < 2) throw EQELException(30142, "No SQL statement available");
    auto processor = std::make_unique<TQELLocalSQLProcessor>();
    processor->SetQuery(&FQueryView);
    processor->SetRequestLive(FRequestLive);
    processor->SetInMemory(InMemory());
    if (FExecutor != nullptr) processor->SetExecutor(FExecutor);
    processor->SetSQLText(text);
    FProcessor = std::move(processor);
    return;
  }
  if (Cursor() != nullptr) SetExternalCursor(nullptr);
  if (FNoResult) FRowsAffected = static_cast<std::int32_t>(FProcessor->RowsAffected());
  FProcessor.reset();
  SetDBFlag(kFlagPrepared, false);
}

void TQELQuery::Prepare() {
  SetPrepared(true);
  if (DatabaseName().empty()) return;
  try {
    SetDBFlag(kFlagPrepared, true);
  } catch (...) {
    SetPrepared(false);
    throw;
  }
}

void TQELQuery::Disconnect() {
  Close();
  SetPrepared(false);
}

void TQELQuery::CloseForDatabase() { Disconnect(); }

void TQELQuery::SetDBFlag(std::int32_t flag, bool value) {
  TQELDataSet::SetDBFlag(flag, value);
  // The processor's statements belong to the database just released.
  if (!value && Database() == nullptr && Prepared()) SetPrepared(false);
}

std::int32_t TQELQuery::RowsAffected() const {
  return Prepared() ? static_cast<std::int32_t>(FProcessor->RowsAffected()) : FRowsAffected;
}

// ---- running

void TQELQuery::TakeMasterValues() {
  TDataSet* master = FMasterLink->DataSet();
  if (master == nullptr) return;
  master->UpdateFieldDefs();
  for (std::int32_t i = 0; i < FParams.Count(); ++i) {
    TParam& param = FParams[i];
    // A value the program gave stays; one taken from the master before is
    // taken again.
    const bool fromMaster = std::find(FMasterFilled.begin(), FMasterFilled.end(), param.Name) != FMasterFilled.end();
    if (!param.Value.IsNull() && !fromMaster) continue;
    if (!fromMaster) FMasterFilled.push_back(param.Name);
    const TField& field = master->FieldByName(param.Name);
    param.DataType = field.DataType();
    param.Value = field.AsVariant();
    if (param.Value.IsNull()) param.DataType = ftInteger;
  }
}

void TQELQuery::FillProcessorParams() {
  if (FParams.Count() == 0) return;
  TQELSQLParams& target = FProcessor->Params();
  target.Clear();
  for (std::int32_t i = 0; i < FParams.Count(); ++i) {
    const TParam& param = FParams[i];
    TQELSQLParam& value = target.AddParam();
    value.SetName(param.Name);
    if (param.DataType == ftUnknown) {
      // A value given without a type keeps its own type rather than being
      // dropped.
      value.Assign(param.Value);
      continue;
    }
    TQELBaseFieldType base = AdvancedToBaseFieldType(FieldTypeToAdvancedFieldType(param.DataType));
    // A memo parameter is text: it goes into a memo column as the column
    // takes a text, which a value of the memo storage type would refuse.
    if (base == bftMemo) base = bftString;
    if (base == bftWideMemo) base = bftWideString;
    value.Assign(param.Value);
    // BLOB values are raw bytes: converted as they are, zero bytes and all.
    value.ConvertTo(param.DataType == ftBlob || param.DataType == ftGraphic ? bftBlob : base);
  }
}

void TQELQuery::Execute(bool open) {
  if (FSQL.empty()) throw EQELException(20034, "No SQL statement available");
  SetPrepared(true);
  TakeMasterValues();
  FillProcessorParams();
  if (open) {
    TQELCursor* cursor = FProcessor->ExecuteSQL();
    FNoResult = cursor == nullptr;
    if (cursor == nullptr) return;
    cursor->IsProjection = true;
    SetExternalCursor(cursor);
    TakeReadOnly(FProcessor->ResultReadOnly() || (Database() != nullptr && Database()->ReadOnly()));
    return;
  }
  FProcessor->ExecSQL();
  FNoResult = true;
}

std::unique_ptr<TQELCursor> TQELQuery::CreateCursor() {
  TQELDatabase* database = Database();
  const bool silent = database != nullptr && database->SilentMode();
  if (database != nullptr) database->SetSilentMode(true);
  try {
    Execute(true);
  } catch (...) {
    if (database != nullptr) database->SetSilentMode(silent);
    throw;
  }
  if (database != nullptr) database->SetSilentMode(silent);
  return nullptr;
}

void TQELQuery::ExecSQL() {
  CheckInactive();
  SetDBFlag(kFlagExecSQL, true);
  try {
    Execute(false);
  } catch (...) {
    SetDBFlag(kFlagExecSQL, false);
    throw;
  }
  SetDBFlag(kFlagExecSQL, false);
}

void TQELQuery::Refresh() {
  if (Active() && ReadOnly()) {
    Close();
    Open();
    return;
  }
  TQELDataSet::Refresh();
}

void TQELQuery::MasterChanged() {
  TDataSet* master = FMasterLink->DataSet();
  if (!Active() || master == nullptr || master->State() == dsSetKey) return;
  DisableControls();
  try {
    Close();
    Open();
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

}  // namespace qel
