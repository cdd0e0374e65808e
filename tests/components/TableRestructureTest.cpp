// Restructuring a table: fields follow their identity across renames, and a
// failure leaves the table as it was, under its own name, closed.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ComponentsSupport.h"
#include "TableTransferSupport.h"
#include "components/QELTable.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

// Records the wait dialogs it is asked to show.
class TProgressPrompt : public TScriptedPrompt {
 public:
  struct TDialog : TQELProgress {
    explicit TDialog(TProgressPrompt& owner) : Owner(owner) {}
    void SetPosition(int percent) override { Owner.Positions.push_back(percent); }
    void Finish() override { ++Owner.Finished; }
    TProgressPrompt& Owner;
  };
  std::unique_ptr<TQELProgress> StartProgress(const std::string& text) override {
    Started.push_back(text);
    return std::make_unique<TDialog>(*this);
  }
  std::vector<std::string> Started;
  std::vector<int> Positions;
  int Finished = 0;
};

class TableRestructureTest : public TConnectedDatabaseTest {
 protected:
  void SetUp() override {
    TConnectedDatabaseTest::SetUp();
    Table.SetDatabaseName("KUVO");
    Table.SetTableName("SRC");
    DefineSource(Table);
    Table.CreateTable();
    FillSource(Table, 30);
    Before = RowTextsOf(Table);
    Table.UpdateFieldDefs();
  }

  std::vector<std::string> TableNames() {
    std::vector<std::string> names;
    Database->GetTableNames(names);
    std::sort(names.begin(), names.end());
    return names;
  }

  TProgressPrompt Prompt;
  TQELTable Table;
  std::vector<std::string> Before;
};

TEST_F(TableRestructureTest, FieldsFollowTheirIdentityThroughRenamesAndMoves) {
  TQELAdvFieldDefs& target = Table.RestructureFieldDefs;
  ASSERT_EQ(target.Count(), 5);
  target.Find("TERM")->Name = "ISTILAH";
  target.Delete("PIC");
  TQELAdvFieldDef& added = target.Add();
  added.Name = "BARU";
  added.DataType = aftInteger;
  // NOTE moves to the front, under a name that another field used to have.
  TQELAdvFieldDefs reordered;
  reordered.Add() = *target.Find("NOTE");
  reordered[0].Name = "N";
  for (std::int32_t i = 0; i < target.Count(); ++i) {
    if (target[i].Name == "N") {
      reordered.Add() = target[i];
      reordered[reordered.Count() - 1].Name = "ANGKA";
    } else if (target[i].Name != "NOTE") {
      reordered.Add() = target[i];
    }
  }
  Table.RestructureFieldDefs = reordered;
  Table.RestructureIndexDefs.Add() = {"IX_ANGKA", "ANGKA", "", "", "", 0, false};
  for (std::int32_t i = 0; i < Table.RestructureIndexDefs.Count(); ++i) {
    if (Table.RestructureIndexDefs[i].Name == "IX_TERM") Table.RestructureIndexDefs[i].Fields = "ISTILAH";
  }

  std::string log;
  ASSERT_TRUE(Table.RestructureTable(log)) << log;
  EXPECT_EQ(log, "");
  EXPECT_FALSE(Table.Active());
  EXPECT_EQ(Table.TableName(), "SRC");
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"SRC", "T"}));

  Table.Open();
  ASSERT_EQ(Table.FieldCount(), 5);
  EXPECT_EQ(Table.Fields(0).FieldName(), "N");
  EXPECT_EQ(Table.Fields(0).DataType(), ftMemo);
  std::vector<std::string> after;
  for (Table.First(); !Table.Eof(); Table.Next()) {
    after.push_back(FieldText(Table.FieldByName("ID")) + "|" + FieldText(Table.FieldByName("ISTILAH")) + "|" +
                    FieldText(Table.FieldByName("ANGKA")) + "|" + FieldText(Table.FieldByName("N")) + "|");
    EXPECT_TRUE(Table.FieldByName("BARU").IsNull());
  }
  Table.Close();
  std::vector<std::string> expected;
  for (const std::string& row : Before) {
    // ID|TERM|N|NOTE|PIC| -> ID|TERM|N|NOTE|
    expected.push_back(row.substr(0, row.find_last_of('|', row.size() - 2) + 1));
  }
  EXPECT_EQ(after, expected);
  Table.SetIndexName("IX_ANGKA");
  EXPECT_EQ(RowTextsOf(Table).size(), 30U);
}

TEST_F(TableRestructureTest, AFailureMidCopyLeavesTheOldTableWhole) {
  // IDs above 15 break the new structure's range: the copy fails halfway.
  Table.RestructureFieldDefs.Find("ID")->MaxValue.SetAsInteger(15);
  std::string log;
  EXPECT_ANY_THROW(Table.RestructureTable(log));
  EXPECT_NE(log.find("Record #16 was not imported"), std::string::npos) << log;
  EXPECT_FALSE(Table.Active());
  EXPECT_EQ(Table.TableName(), "SRC");
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"SRC", "T"}));
  EXPECT_EQ(RowTextsOf(Table), Before);
  ASSERT_EQ(Prompt.Started, (std::vector<std::string>{"Restructure Table..."}));
  EXPECT_EQ(Prompt.Finished, 1);

  // A structure that cannot be created is logged; nothing changes either.
  Table.RestructureFieldDefs = Table.AdvFieldDefs;
  Table.RestructureIndexDefs = Table.AdvIndexDefs;
  Table.RestructureFieldDefs.Find("TERM")->Name = "ISTILAH";  // IX_TERM still names TERM
  log.clear();
  EXPECT_FALSE(Table.RestructureTable(log));
  EXPECT_EQ(log.rfind("Error restructuring table. Cannot create table due to error: ", 0), 0U) << log;
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"SRC", "T"}));
  EXPECT_EQ(RowTextsOf(Table), Before);
}

TEST_F(TableRestructureTest, InATransactionNothingChanges) {
  Table.RestructureFieldDefs.Find("TERM")->Name = "ISTILAH";
  Database->StartTransaction();
  std::string log;
  const auto [code, message] = CodeAndMessage([&] { Table.RestructureTable(log); });
  EXPECT_EQ(code, 20181);
  EXPECT_NE(message.find("RenameTable"), std::string::npos);
  Database->Rollback();
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"SRC", "T"}));
  EXPECT_EQ(RowTextsOf(Table), Before);
  EXPECT_TRUE(Prompt.Started.empty());
}

TEST_F(TableRestructureTest, ACancelKeepsTheOldStructureAndAnEventReplacesTheDialog) {
  Table.RestructureFieldDefs.Find("N")->Name = "ANGKA";
  int befores = 0;
  int afters = 0;
  Table.BeforeRestructure = [&](TQELComponent&) { ++befores; };
  Table.AfterRestructure = [&](TQELComponent&) { ++afters; };
  Table.OnRestructureProgress = [](TQELComponent&, int, bool& go) { go = false; };
  std::string log;
  EXPECT_FALSE(Table.RestructureTable(log));
  EXPECT_EQ(log, "Terminated by User.\r\n");
  EXPECT_EQ(befores, 1);
  EXPECT_EQ(afters, 1);
  EXPECT_TRUE(Prompt.Started.empty());
  EXPECT_EQ(TableNames(), (std::vector<std::string>{"SRC", "T"}));
  Table.UpdateFieldDefs();
  EXPECT_NE(Table.FieldDefs().Find("N"), nullptr);
  EXPECT_EQ(RowTextsOf(Table), Before);
}

}  // namespace
}  // namespace qel::test
