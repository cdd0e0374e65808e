#include "ui/QELDBGrid.h"

#include <QHeaderView>
#include <QItemSelectionModel>
#include <QScopedValueRollback>

#include <algorithm>
#include <exception>

#include "components/QELPrompt.h"
#include "ui/QELDBGridModel.h"

namespace qel {

TQELDBGrid::TQELDBGrid(QWidget* parent) : QTableView(parent), FModel(new TQELDBGridModel(this)) {
  setModel(FModel);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  // Rows of one height: the view then needs no row's contents to lay out
  // thousands of them.
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->hide();
  connect(FModel, &TQELDBGridModel::CurrentRowChanged, this, &TQELDBGrid::SelectRow);
  connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          [this](const QModelIndex& current, const QModelIndex&) { CurrentChanged(current); });
}

TQELDBGrid::~TQELDBGrid() {
  // The model outlives the view's own teardown; nothing may answer it now.
  disconnect(FModel, nullptr, this, nullptr);
}

TDataSource* TQELDBGrid::DataSource() const { return FModel->DataSource(); }

void TQELDBGrid::SetDataSource(TDataSource* source) { FModel->SetDataSource(source); }

void TQELDBGrid::SetColumns(const std::vector<std::string>& fieldNames) { FModel->SetColumns(fieldNames); }

void TQELDBGrid::SelectRow(int row) {
  QScopedValueRollback<bool> selecting(FSelecting, true);
  if (row < 0) {
    selectionModel()->clear();
    return;
  }
  const int column = std::max(currentIndex().column(), 0);
  const QModelIndex target = FModel->index(row, column);
  selectionModel()->setCurrentIndex(target, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  scrollTo(target);
}

void TQELDBGrid::CurrentChanged(const QModelIndex& current) {
  if (FSelecting || !current.isValid() || current.row() == FModel->CurrentRow()) return;
  try {
    FModel->MoveToRow(current.row());
  } catch (const std::exception& error) {
    QELPrompt().ShowMessage(mkError, error.what());
  }
}

}  // namespace qel
