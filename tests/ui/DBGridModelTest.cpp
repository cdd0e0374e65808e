// The grid model and the grid: the model's contract on a large table, rows
// read without moving the dataset, the current row following the dataset
// both ways without a loop, and the model following open, close, new
// records and edits.

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QSignalSpy>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "DBWidgetsSupport.h"
#include "components/QELQuery.h"
#include "engine/QELCursor.h"
#include "ui/QELDBGrid.h"
#include "ui/QELDBGridModel.h"

namespace qel::test {
namespace {

constexpr int kLargeRows = 10000;

// Collects what the model tester complains about.
class TModelTesterLog {
 public:
  TModelTesterLog() {
    Messages().clear();
    FPrevious = qInstallMessageHandler(&TModelTesterLog::Handle);
  }
  ~TModelTesterLog() { qInstallMessageHandler(FPrevious); }
  static std::vector<std::string>& Messages() {
    static std::vector<std::string> messages;
    return messages;
  }

 private:
  static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtDebugMsg && context.category != nullptr && std::string(context.category) == "qt.modeltest") {
      Messages().push_back(text.toStdString());
    }
  }
  QtMessageHandler FPrevious;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class DBGridModelTest : public TDBWidgetTest {
 protected:
  QString Cell(const TQELDBGridModel& model, int row, int column) {
    return model.data(model.index(row, column)).toString();
  }
};

TEST_F(DBGridModelTest, PassesTheModelTesterOnALargeTable) {
  CreateTerms(kLargeRows);
  TModelTesterLog log;
  TQELDBGridModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Warning);
  const auto start = std::chrono::steady_clock::now();
  model.SetDataSource(&Source);
  EXPECT_EQ(model.rowCount(), kLargeRows);
  EXPECT_EQ(model.columnCount(), 3);
  EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "TERM");
  // Moves, a reopen and a new record, all under the tester's eye.
  Terms.MoveBy(17);
  Terms.Last();
  Terms.Close();
  EXPECT_EQ(model.rowCount(), 0);
  Terms.Open();
  TQELVariant id, term, memo;
  id.SetAsInteger(kLargeRows);
  term.SetAsString(TermOfRow(kLargeRows));
  Terms.AppendRecord({id, term, memo});
  EXPECT_EQ(model.rowCount(), kLargeRows + 1);
  std::printf("[   INFO   ] model tester on %d rows: %.3f s\n", kLargeRows, SecondsSince(start));
  EXPECT_TRUE(log.Messages().empty()) << log.Messages().front();
}

// Every cell of every row is read while the dataset stands in the middle:
// the texts are right, and the dataset has not moved nor heard of it.
TEST_F(DBGridModelTest, ReadingEveryRowLeavesTheDataSetAlone) {
  CreateTerms(kLargeRows);
  TQELDBGridModel model;
  model.SetDataSource(&Source);
  Terms.SetRecNo(5000);
  ResetCounters();
  QSignalSpy moved(&model, &TQELDBGridModel::CurrentRowChanged);
  const TQELCursorPosition position = Terms.Cursor()->SavePosition();
  const std::uint8_t* recordBuffer = Terms.Cursor()->RecordBuffer;
  const auto start = std::chrono::steady_clock::now();
  int wrong = 0;
  for (int row = 0; row < kLargeRows; ++row) {
    if (Cell(model, row, 0) != QString::number(row) ||
        Cell(model, row, 1) != QString::fromStdString(TermOfRow(row)) || Cell(model, row, 2) != "(MEMO)") {
      ++wrong;
    }
  }
  std::printf("[   INFO   ] every cell of %d rows: %.3f s\n", kLargeRows, SecondsSince(start));
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(Terms.FieldByName("ID").AsInteger(), 4999);
  EXPECT_EQ(BeforeScrolls, 0);
  EXPECT_EQ(AfterScrolls, 0);
  EXPECT_EQ(moved.count(), 0);
  // The engine cursor stands where the dataset left it.
  EXPECT_EQ(Terms.Cursor()->BeforeFirst, position.BeforeFirst);
  EXPECT_EQ(Terms.Cursor()->AfterLast, position.AfterLast);
  EXPECT_EQ(Terms.Cursor()->Position, position.Position);
  EXPECT_EQ(Terms.Cursor()->RecordBuffer, recordBuffer);
  // The dataset goes on from where it was.
  Terms.Next();
  EXPECT_EQ(Terms.FieldByName("ID").AsInteger(), 5000);
  Terms.Prior();
  Terms.Prior();
  EXPECT_EQ(Terms.FieldByName("ID").AsInteger(), 4998);
  EXPECT_EQ(Terms.RecNo(), 4999);
}

// A row read from the engine shows what the field shows on that record.
TEST_F(DBGridModelTest, RowsReadAsideMatchTheFieldsTexts) {
  Terms.FieldDefs().Add("ID", ftInteger);
  Terms.FieldDefs().Add("NAME", ftString, 10);
  Terms.FieldDefs().Add("PRICE", ftFloat);
  Terms.FieldDefs().Add("SINCE", ftDate);
  Terms.FieldDefs().Add("OK", ftBoolean);
  Terms.FieldDefs().Add("BIG", ftLargeint);
  Terms.CreateTable();
  Terms.Open();
  struct TRow {
    const char* Name;
    double Price;
    int Days;
    bool Ok;
    std::int64_t Big;
  };
  const std::vector<TRow> rows = {
      {"satu", 1.5, 45000, true, 1LL << 40}, {"", -0.25, 1, false, -7}, {"tiga", 1e20, 73000, true, 0}};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    TQELVariant id, name, price, since, ok, big;
    id.SetAsInteger(static_cast<std::int32_t>(i));
    if (*rows[i].Name != 0) name.SetAsString(rows[i].Name);
    price.SetAsDouble(rows[i].Price);
    since.SetAsDateNumber(rows[i].Days + kDateDelta);
    ok.SetAsBoolean(rows[i].Ok);
    big.SetAsLargeint(rows[i].Big);
    Terms.AppendRecord({id, name, price, since, ok, big});
  }
  TQELDBGridModel model;
  model.SetDataSource(&Source);
  ASSERT_EQ(model.rowCount(), 3);
  for (int row = 0; row < 3; ++row) {
    Terms.SetRecNo(row + 1);
    std::vector<QString> expected;
    for (int column = 0; column < model.columnCount(); ++column) {
      expected.push_back(QString::fromStdString(Terms.Fields(column).AsString()));
      EXPECT_EQ(Cell(model, row, column), expected.back()) << "current row " << row << " column " << column;
    }
    Terms.SetRecNo(row == 0 ? 3 : 1);
    for (int column = 0; column < model.columnCount(); ++column) {
      EXPECT_EQ(Cell(model, row, column), expected[static_cast<std::size_t>(column)])
          << "row " << row << " column " << column;
    }
  }
}

// The glossary's grid shows a query: its rows are read aside on the result
// cursor just as a table's are, in the result's order.
TEST_F(DBGridModelTest, ReadsTheRowsOfAQueryAside) {
  CreateTerms(1000);
  struct TCase {
    const char* Sql;
    int FirstId;
    int Step;
    int Rows;
  };
  const TCase cases[] = {
      {"select * from TERMS where TERM Like 't001%'", 100, 1, 100},
      {"select ID, TERM from TERMS where ID < 300 order by ID desc", 299, -1, 300},
  };
  for (const TCase& c : cases) {
    TQELQuery query;
    query.SetDatabaseName("WIDGETS");
    query.SetSQLText(c.Sql);
    TDataSource source;
    source.SetDataSet(&query);
    TQELDBGridModel model;
    model.SetDataSource(&source);
    query.Open();
    ASSERT_EQ(model.rowCount(), c.Rows) << c.Sql;
    query.SetRecNo(c.Rows / 2);
    int wrong = 0;
    for (int row = 0; row < c.Rows; ++row) {
      const int id = c.FirstId + c.Step * row;
      if (Cell(model, row, 0) != QString::number(id) ||
          Cell(model, row, 1) != QString::fromStdString(TermOfRow(id))) {
        ++wrong;
      }
    }
    EXPECT_EQ(wrong, 0) << c.Sql;
    EXPECT_EQ(query.FieldByName("ID").AsInteger(), c.FirstId + c.Step * (c.Rows / 2 - 1)) << c.Sql;
    query.Next();
    EXPECT_EQ(query.FieldByName("ID").AsInteger(), c.FirstId + c.Step * (c.Rows / 2)) << c.Sql;
  }
}

TEST_F(DBGridModelTest, ColumnsAndLabelsAsAskedFor) {
  CreateTerms(3);
  TQELDBGridModel model;
  model.SetColumns({"TERM", "MISSING"});
  model.SetDisplayLabel("TERM", "Istilah");
  model.SetDataSource(&Source);
  ASSERT_EQ(model.columnCount(), 2);
  EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "Istilah");
  EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "MISSING");
  EXPECT_EQ(Cell(model, 2, 0), "t00002");
  EXPECT_EQ(Cell(model, 2, 1), "");
  EXPECT_EQ(model.flags(model.index(0, 0)) & Qt::ItemIsEditable, Qt::NoItemFlags);
}

TEST_F(DBGridModelTest, SelectingARowMovesTheDataSetOnceAndMovingItSelectsTheRow) {
  CreateTerms(kLargeRows);
  TQELDBGrid grid;
  grid.SetDataSource(&Source);
  grid.resize(300, 200);
  TQELDBGridModel& model = *grid.GridModel();
  EXPECT_EQ(grid.currentIndex().row(), 0);
  QSignalSpy followed(&model, &TQELDBGridModel::CurrentRowChanged);
  QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
  QSignalSpy selections(grid.selectionModel(), &QItemSelectionModel::currentRowChanged);

  // Painting rows far from the current record moves nothing.
  grid.scrollTo(model.index(7000, 0));
  EXPECT_FALSE(grid.grab().isNull());
  EXPECT_EQ(BeforeScrolls + AfterScrolls, 0);
  EXPECT_EQ(Terms.FieldByName("ID").AsInteger(), 0);

  grid.selectionModel()->setCurrentIndex(model.index(4321, 1),
                                         QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  EXPECT_EQ(Terms.RecNo(), 4322);
  EXPECT_EQ(Terms.FieldByName("TERM").AsString(), TermOfRow(4321));
  EXPECT_EQ(BeforeScrolls, 1);
  EXPECT_EQ(AfterScrolls, 1);
  EXPECT_EQ(followed.count(), 0);
  EXPECT_EQ(selections.count(), 1);

  Terms.MoveBy(10);
  EXPECT_EQ(grid.currentIndex().row(), 4331);
  EXPECT_TRUE(grid.selectionModel()->isRowSelected(4331, QModelIndex()));
  EXPECT_EQ(grid.selectionModel()->selectedRows().size(), 1);
  EXPECT_EQ(BeforeScrolls, 2);
  EXPECT_EQ(AfterScrolls, 2);
  EXPECT_EQ(followed.count(), 1);
  EXPECT_EQ(selections.count(), 2);

  Terms.Last();
  EXPECT_EQ(grid.currentIndex().row(), kLargeRows - 1);
  Terms.First();
  EXPECT_EQ(grid.currentIndex().row(), 0);
  EXPECT_EQ(BeforeScrolls, 4);
  EXPECT_EQ(resets.count(), 0);
}

TEST_F(DBGridModelTest, FollowsCloseReopenNewRecordsAndEdits) {
  CreateTerms(5);
  TQELDBGrid grid;
  grid.SetColumns({"TERM"});
  grid.SetDataSource(&Source);
  TQELDBGridModel& model = *grid.GridModel();
  Terms.SetRecNo(3);
  EXPECT_EQ(grid.currentIndex().row(), 2);

  Terms.Close();
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(model.CurrentRow(), -1);
  EXPECT_FALSE(grid.currentIndex().isValid());
  Terms.Open();
  EXPECT_EQ(model.rowCount(), 5);
  EXPECT_EQ(grid.currentIndex().row(), 0);

  // An edit shows in its row before it is posted, and stays after.
  Terms.SetRecNo(2);
  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  Terms.Edit();
  Terms.FieldByName("TERM").SetAsString("baru");
  EXPECT_GE(changed.count(), 1);
  EXPECT_EQ(Cell(model, 1, 0), "baru");
  Terms.Post();
  Terms.First();
  EXPECT_EQ(Cell(model, 1, 0), "baru");

  TQELVariant id, term, memo;
  id.SetAsInteger(99);
  term.SetAsString("zzz");
  Terms.AppendRecord({id, term, memo});
  EXPECT_EQ(model.rowCount(), 6);
  EXPECT_EQ(grid.currentIndex().row(), Terms.RecNo() - 1);
  EXPECT_EQ(Cell(model, 5, 0), "zzz");
  Terms.Delete();
  EXPECT_EQ(model.rowCount(), 5);
  EXPECT_EQ(grid.currentIndex().row(), Terms.RecNo() - 1);
}

// While controls are disabled the fields move on without the model hearing
// of it: the rows must still show their own records.
TEST_F(DBGridModelTest, RowsStayRightWhileControlsAreDisabled) {
  CreateTerms(200);
  TQELDBGridModel model;
  model.SetDataSource(&Source);
  Terms.DisableControls();
  Terms.MoveBy(150);
  EXPECT_EQ(Cell(model, 0, 1), "t00000");
  EXPECT_EQ(Cell(model, 150, 1), "t00150");
  Terms.EnableControls();
  EXPECT_EQ(model.CurrentRow(), 150);
  EXPECT_EQ(Cell(model, 150, 1), "t00150");
}

}  // namespace
}  // namespace qel::test
