#pragma once
// TQELDBGrid: a read-only table view over a dataset through TQELDBGridModel.
// Whole rows are selected, one at a time; the selected row follows the
// dataset's current record and selecting a row moves the dataset there.
// What the dataset raises while moving is shown through the prompt
// interface and the selection goes back to where the dataset stands.

#include <QTableView>

#include <string>
#include <vector>

namespace qel {

class TDataSource;
class TQELDBGridModel;

class TQELDBGrid : public QTableView {
  Q_OBJECT

 public:
  explicit TQELDBGrid(QWidget* parent = nullptr);
  ~TQELDBGrid() override;

  TQELDBGridModel* GridModel() const { return FModel; }
  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* source);
  // The columns by field name (empty: every field).
  void SetColumns(const std::vector<std::string>& fieldNames);

 private:
  void SelectRow(int row);
  void CurrentChanged(const QModelIndex& current);

  TQELDBGridModel* FModel;
  bool FSelecting = false;
};

}  // namespace qel
