#pragma once
// TQELDBGridModel: a table model over a dataset, seen through a data link.
// Its rows are the dataset's records (RecordCount), its columns the fields
// asked for (every field by default), and a cell is the field's value as
// text; a BLOB column shows a short placeholder, never the value.
//
// Reading a cell never moves the dataset and fires none of its events. The
// current record is read through its fields. Any other row of an engine
// dataset is read on the dataset's own engine cursor: its position and
// record buffer are saved, a block of rows is read into a buffer of the
// model's own from that row number on, and position and buffer are put
// back, exactly as the dataset itself looks at a bookmark. The dataset's
// ring, active record and cursor bookkeeping stay as they were. Blocks are
// cached until the dataset's data changes. A dataset without an engine
// cursor shows its current record only.
//
// The current row follows the dataset (CurrentRowChanged), and MoveToRow
// moves the dataset; a move the model makes itself is not reported back,
// so a view that follows the signal and moves through MoveToRow never
// loops.

#include <QAbstractTableModel>
#include <QString>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qel {

class TDataSet;
class TDataSource;
class TField;
class TQELDBGridLink;

class TQELDBGridModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // Rows read together from the engine, and how many such blocks are kept.
  static constexpr int kBlockRows = 64;
  static constexpr std::size_t kCachedBlocks = 32;

  explicit TQELDBGridModel(QObject* parent = nullptr);
  ~TQELDBGridModel() override;

  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* source);
  // The columns by field name, in order; empty shows every field. A name
  // the dataset lacks gives an empty column.
  void SetColumns(const std::vector<std::string>& fieldNames);
  // The header of the column showing `fieldName` (the field name unless
  // set).
  void SetDisplayLabel(const std::string& fieldName, const QString& label);
  // The field a column shows; null when the dataset is closed or lacks it.
  TField* ColumnField(int column) const;

  // The row of the dataset's current record; -1 when there is none.
  int CurrentRow() const { return FCurrentRow; }
  // Moves the dataset to `row` (outside the rows: nothing). What the
  // dataset raises passes on; the current row is then where it stopped.
  void MoveToRow(int row);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 signals:
  // The dataset's current record moved to `row` (-1: none) by other means
  // than MoveToRow, or the model was reset.
  void CurrentRowChanged(int row);

 private:
  friend class TQELDBGridLink;

  struct TColumn {
    std::string FieldName;
    TField* Field = nullptr;
  };
  using TRowTexts = std::vector<QString>;
  using TBlock = std::vector<TRowTexts>;

  // Link events.
  void LinkActiveChanged();
  void LinkDataSetChanged();
  void LinkScrolled();
  void LinkRecordChanged();

  TDataSet* LinkedDataSet() const;
  void Rebuild();
  std::vector<TColumn> ResolveColumns() const;
  std::int64_t DataSetRowCount() const;
  int DataSetCurrentRow() const;
  // Sets the current row and reports a change unless the model moved.
  void FollowDataSet();
  bool ShowsFieldsForRow(int row) const;
  QString FieldText(const TField& field) const;
  const TRowTexts* CachedRow(int row) const;
  bool ReadBlock(std::int64_t first, TBlock& block) const;
  void ClearCache() const;

  std::unique_ptr<TQELDBGridLink> FLink;
  std::vector<std::string> FFieldNames;
  std::map<std::string, QString> FLabels;
  std::vector<TColumn> FColumns;
  int FRowCount = 0;
  int FCurrentRow = -1;
  bool FMoving = false;
  mutable std::map<std::int64_t, TBlock> FBlocks;
  mutable std::deque<std::int64_t> FBlockOrder;
};

}  // namespace qel
