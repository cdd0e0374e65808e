#include "ui/QELDBGridModel.h"

#include <QScopedValueRollback>

#include <algorithm>
#include <limits>

#include "components/QELDataSet.h"
#include "components/db/QELDataSet.h"
#include "storage/QELFieldTypes.h"

namespace qel {

// The model's ear on the dataset: every hook goes to the model.
class TQELDBGridLink : public TDataLink {
 public:
  explicit TQELDBGridLink(TQELDBGridModel& model) : FModel(model) {}

 protected:
  void ActiveChanged() override { FModel.LinkActiveChanged(); }
  void DataSetChanged() override { FModel.LinkDataSetChanged(); }
  void DataSetScrolled(std::int32_t /*distance*/) override { FModel.LinkScrolled(); }
  void RecordChanged(TField* /*field*/) override { FModel.LinkRecordChanged(); }
  void EditingChanged() override { FModel.LinkRecordChanged(); }

 private:
  TQELDBGridModel& FModel;
};

namespace {

// What a BLOB column shows instead of its value.
QString BlobPlaceholder(TFieldType type) {
  switch (type) {
    case ftMemo:
    case ftFmtMemo:
      return QStringLiteral("(MEMO)");
    case ftGraphic:
      return QStringLiteral("(GRAPHIC)");
    default:
      return QStringLiteral("(BLOB)");
  }
}

// Puts an engine cursor's position, record buffer and status back as they
// were, whatever happens while the model reads on it.
class TCursorStateGuard {
 public:
  explicit TCursorStateGuard(TQELCursor& cursor)
      : FCursor(cursor),
        FPosition(cursor.SavePosition()),
        FRecordBuffer(cursor.RecordBuffer),
        FStatus(cursor.Status),
        FErrorText(cursor.ErrorText) {}
  ~TCursorStateGuard() {
    FCursor.RecordBuffer = FRecordBuffer;
    FCursor.RestorePosition(FPosition);
    FCursor.Status = FStatus;
    FCursor.ErrorText = std::move(FErrorText);
  }
  TCursorStateGuard(const TCursorStateGuard&) = delete;
  TCursorStateGuard& operator=(const TCursorStateGuard&) = delete;

 private:
  TQELCursor& FCursor;
  TQELCursorPosition FPosition;
  std::uint8_t* FRecordBuffer;
  std::int32_t FStatus;
  std::string FErrorText;
};

// A record buffer of the cursor's own format, freed on every way out.
class TCursorRecordBuffer {
 public:
  explicit TCursorRecordBuffer(TQELCursor& cursor) : FCursor(cursor), FBuffer(cursor.AllocRecordBuffer()) {}
  ~TCursorRecordBuffer() {
    if (FBuffer != nullptr) FCursor.FreeRecordBuffer(FBuffer);
  }
  TCursorRecordBuffer(const TCursorRecordBuffer&) = delete;
  TCursorRecordBuffer& operator=(const TCursorRecordBuffer&) = delete;
  std::uint8_t* Get() const { return FBuffer; }

 private:
  TQELCursor& FCursor;
  std::uint8_t* FBuffer;
};

}  // namespace

TQELDBGridModel::TQELDBGridModel(QObject* parent)
    : QAbstractTableModel(parent), FLink(std::make_unique<TQELDBGridLink>(*this)) {}

TQELDBGridModel::~TQELDBGridModel() {
  // Unlinking may report the dataset as closed; nobody listens any more.
  QSignalBlocker blocker(this);
  FLink->SetDataSource(nullptr);
}

TDataSource* TQELDBGridModel::DataSource() const { return FLink->DataSource(); }

void TQELDBGridModel::SetDataSource(TDataSource* source) {
  if (source == FLink->DataSource()) return;
  FLink->SetDataSource(source);
  Rebuild();
}

void TQELDBGridModel::SetColumns(const std::vector<std::string>& fieldNames) {
  FFieldNames = fieldNames;
  Rebuild();
}

void TQELDBGridModel::SetDisplayLabel(const std::string& fieldName, const QString& label) {
  FLabels[fieldName] = label;
  if (!FColumns.empty()) emit headerDataChanged(Qt::Horizontal, 0, static_cast<int>(FColumns.size()) - 1);
}

TField* TQELDBGridModel::ColumnField(int column) const {
  if (column < 0 || column >= static_cast<int>(FColumns.size())) return nullptr;
  return FColumns[static_cast<std::size_t>(column)].Field;
}

TDataSet* TQELDBGridModel::LinkedDataSet() const {
  return FLink->Active() ? FLink->DataSet() : nullptr;
}

// ---- following the dataset

void TQELDBGridModel::Rebuild() {
  beginResetModel();
  ClearCache();
  FColumns = ResolveColumns();
  const std::int64_t rows = DataSetRowCount();
  FRowCount = static_cast<int>(std::min<std::int64_t>(rows, std::numeric_limits<int>::max()));
  FCurrentRow = DataSetCurrentRow();
  endResetModel();
  emit CurrentRowChanged(FCurrentRow);
}

std::vector<TQELDBGridModel::TColumn> TQELDBGridModel::ResolveColumns() const {
  std::vector<TColumn> columns;
  TDataSet* dataSet = LinkedDataSet();
  if (dataSet == nullptr) return columns;
  if (FFieldNames.empty()) {
    for (std::int32_t i = 0; i < dataSet->FieldCount(); ++i) {
      TField& field = dataSet->Fields(i);
      columns.push_back({field.FieldName(), &field});
    }
  } else {
    for (const std::string& name : FFieldNames) columns.push_back({name, dataSet->FindField(name)});
  }
  return columns;
}

std::int64_t TQELDBGridModel::DataSetRowCount() const {
  TDataSet* dataSet = LinkedDataSet();
  if (dataSet == nullptr) return 0;
  const std::int64_t count = dataSet->RecordCount();
  if (count >= 0) return count;
  // A dataset that cannot count shows its current record alone.
  return dataSet->IsEmpty() ? 0 : 1;
}

int TQELDBGridModel::DataSetCurrentRow() const {
  TDataSet* dataSet = LinkedDataSet();
  if (dataSet == nullptr || FRowCount == 0) return -1;
  // An inserted record has no row yet; the row it was inserted at stays.
  if (dataSet->State() == dsInsert) return std::min(FCurrentRow, FRowCount - 1);
  const std::int64_t recNo = dataSet->RecNo();
  if (recNo < 1) return dataSet->IsEmpty() ? -1 : 0;
  return static_cast<int>(std::min<std::int64_t>(recNo - 1, FRowCount - 1));
}

void TQELDBGridModel::FollowDataSet() {
  const int row = DataSetCurrentRow();
  if (row == FCurrentRow) return;
  const int old = FCurrentRow;
  FCurrentRow = row;
  // The rows the current record leaves and enters switch between being read
  // from the fields and from the engine.
  if (old >= 0 && old < FRowCount) emit dataChanged(index(old, 0), index(old, columnCount() - 1));
  if (row >= 0) emit dataChanged(index(row, 0), index(row, columnCount() - 1));
  if (!FMoving) emit CurrentRowChanged(row);
}

void TQELDBGridModel::LinkActiveChanged() { Rebuild(); }

// A changed set of records or fields resets the model; the same records
// with new values, or a mere move, only repaint.
void TQELDBGridModel::LinkDataSetChanged() {
  if (DataSetRowCount() != FRowCount) {
    Rebuild();
    return;
  }
  const std::vector<TColumn> columns = ResolveColumns();
  const bool sameColumns =
      columns.size() == FColumns.size() &&
      std::equal(columns.begin(), columns.end(), FColumns.begin(),
                 [](const TColumn& a, const TColumn& b) { return a.Field == b.Field; });
  if (!sameColumns) {
    Rebuild();
    return;
  }
  ClearCache();
  if (FRowCount > 0 && !FColumns.empty()) {
    emit dataChanged(index(0, 0), index(FRowCount - 1, columnCount() - 1));
  }
  FollowDataSet();
}

void TQELDBGridModel::LinkScrolled() { FollowDataSet(); }

void TQELDBGridModel::LinkRecordChanged() {
  if (FCurrentRow < 0 || FCurrentRow >= FRowCount) return;
  // Posted values reach the engine; the cached copy of the row is stale.
  FBlocks.erase(FCurrentRow / kBlockRows);
  std::erase(FBlockOrder, FCurrentRow / kBlockRows);
  emit dataChanged(index(FCurrentRow, 0), index(FCurrentRow, columnCount() - 1));
}

void TQELDBGridModel::MoveToRow(int row) {
  TDataSet* dataSet = LinkedDataSet();
  if (dataSet == nullptr || row < 0 || row >= FRowCount || row == FCurrentRow) return;
  // Where the move ended is what the view must show, if not what it asked.
  auto showReached = [this, row] {
    const int reached = DataSetCurrentRow();
    FCurrentRow = reached;
    if (reached != row) emit CurrentRowChanged(reached);
  };
  try {
    QScopedValueRollback<bool> moving(FMoving, true);
    if (dataSet->RecNo() >= 1) {
      dataSet->SetRecNo(static_cast<std::int64_t>(row) + 1);
    } else if (FCurrentRow >= 0) {
      dataSet->MoveBy(row - FCurrentRow);
    }
  } catch (...) {
    showReached();
    throw;
  }
  showReached();
}

// ---- reading cells

int TQELDBGridModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : FRowCount;
}

int TQELDBGridModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(FColumns.size());
}

QVariant TQELDBGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Vertical) return section + 1;
  if (section < 0 || section >= static_cast<int>(FColumns.size())) return {};
  const std::string& name = FColumns[static_cast<std::size_t>(section)].FieldName;
  const auto label = FLabels.find(name);
  return label != FLabels.end() ? label->second : QString::fromStdString(name);
}

Qt::ItemFlags TQELDBGridModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

QVariant TQELDBGridModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= FRowCount || index.column() >= columnCount()) return {};
  if (role != Qt::DisplayRole && role != Qt::EditRole && role != Qt::ToolTipRole) return {};
  const TColumn& column = FColumns[static_cast<std::size_t>(index.column())];
  if (column.Field == nullptr) return QString();
  if (ShowsFieldsForRow(index.row())) return FieldText(*column.Field);
  const TRowTexts* texts = CachedRow(index.row());
  if (texts == nullptr) return QString();
  return (*texts)[static_cast<std::size_t>(index.column())];
}

// The current record is read through the fields, which show an edit in
// progress; while controls are disabled the fields may stand anywhere, so
// every row then comes from the engine.
bool TQELDBGridModel::ShowsFieldsForRow(int row) const {
  TDataSet* dataSet = LinkedDataSet();
  if (dataSet == nullptr || row != FCurrentRow || dataSet->ControlsDisabled()) return false;
  if (dataSet->State() == dsInsert) return false;
  return dataSet->ActiveBuffer() != nullptr;
}

QString TQELDBGridModel::FieldText(const TField& field) const {
  if (field.IsBlob()) return BlobPlaceholder(field.DataType());
  return QString::fromStdString(field.AsString());
}

const TQELDBGridModel::TRowTexts* TQELDBGridModel::CachedRow(int row) const {
  const std::int64_t blockNo = row / kBlockRows;
  auto found = FBlocks.find(blockNo);
  if (found == FBlocks.end()) {
    TBlock block;
    if (!ReadBlock(blockNo * kBlockRows, block)) return nullptr;
    if (FBlocks.size() >= kCachedBlocks) {
      FBlocks.erase(FBlockOrder.front());
      FBlockOrder.pop_front();
    }
    found = FBlocks.emplace(blockNo, std::move(block)).first;
    FBlockOrder.push_back(blockNo);
  }
  const std::size_t offset = static_cast<std::size_t>(row - blockNo * kBlockRows);
  return offset < found->second.size() ? &found->second[offset] : nullptr;
}

// Rows `first` on, as many as the block holds, read on the dataset's engine
// cursor with a record buffer of the model's own. The cursor is put back
// where it was before anything else can look at it. Only in browse state:
// while editing, the cursor holds the record being changed.
bool TQELDBGridModel::ReadBlock(std::int64_t first, TBlock& block) const {
  auto* engineDataSet = dynamic_cast<TQELDataSet*>(LinkedDataSet());
  if (engineDataSet == nullptr || engineDataSet->State() != dsBrowse) return false;
  TQELCursor* cursor = engineDataSet->Cursor();
  if (cursor == nullptr) return false;
  try {
    TCursorStateGuard restore(*cursor);
    TCursorRecordBuffer record(*cursor);
    cursor->RecordBuffer = record.Get();
    cursor->SetRecNo(first + 1);
    // The number clamps to the last record: a count gone stale reads nothing.
    if (cursor->BeforeFirst || cursor->AfterLast || cursor->GetRecNo() != first + 1) return false;
    const std::int64_t last = std::min<std::int64_t>(first + kBlockRows, FRowCount);
    for (std::int64_t row = first; row < last; ++row) {
      if (row > first && cursor->GetRecord(grmNext) != grOK) break;
      TRowTexts texts;
      texts.reserve(FColumns.size());
      for (const TColumn& column : FColumns) {
        if (column.Field == nullptr || column.Field->FieldNo() < 1) {
          texts.emplace_back();
          continue;
        }
        const std::int32_t fieldNo = column.Field->FieldNo() - 1;
        if (column.Field->IsBlob()) {
          texts.push_back(BlobPlaceholder(column.Field->DataType()));
        } else if (IsNull(cursor->SourceFieldNo(fieldNo), record.Get())) {
          texts.emplace_back();
        } else {
          TQELVariant value;
          cursor->GetFieldValue(value, fieldNo, true);
          texts.push_back(QString::fromStdString(value.AsString()));
        }
      }
      block.push_back(std::move(texts));
    }
  } catch (const std::exception&) {
    // A row that cannot be read shows empty; the dataset is untouched.
    block.clear();
    return false;
  }
  return true;
}

void TQELDBGridModel::ClearCache() const {
  FBlocks.clear();
  FBlockOrder.clear();
}

}  // namespace qel
