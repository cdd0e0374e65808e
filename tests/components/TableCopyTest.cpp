// The record copy (its progress schedule, its log and its field value copy)
// and the table component's import and copy into another database.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ComponentsSupport.h"
#include "TableTransferSupport.h"
#include "components/QELTable.h"
#include "components/QELTableCopy.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

// ---- the progress schedule

struct TScheduleCase {
  std::int64_t RecordCount;
  int Min;
  int Max;
  std::int64_t Copied;  // records copied in the run
  std::int64_t Step;
  // (records copied, value) of the first reports and of the last one.
  std::vector<std::pair<std::int64_t, int>> FirstReports;
  std::pair<std::int64_t, int> LastReport;
};

std::vector<std::pair<std::int64_t, int>> Reports(const TQELCopyProgressSchedule& schedule, std::int64_t copied) {
  std::vector<std::pair<std::int64_t, int>> reports;
  for (std::int64_t n = 1; n <= copied; ++n) {
    if (schedule.ReportsAfter(n)) reports.emplace_back(n, schedule.PercentAfter(n));
  }
  return reports;
}

TEST(CopyProgressScheduleTest, ReportPointsAndValues) {
  const std::vector<TScheduleCase> cases = {
      // Every third record from the first: 0.4 rounds to 0, 1.6 to 2.
      {250, 0, 100, 250, 3, {{1, 0}, {4, 2}, {7, 3}, {10, 4}}, {250, 100}},
      // Halves round to even: 2.5 -> 2, 7.5 -> 8.
      {4, 0, 10, 4, 1, {{1, 2}, {2, 5}, {3, 8}}, {4, 10}},
      // A range of no width reports after every record, always its value.
      {5, 7, 7, 5, 1, {{1, 7}, {2, 7}}, {5, 7}},
      {1, 0, 100, 1, 1, {}, {1, 100}},
      // A range given backwards counts down and never steps by 0.
      {250, 100, 0, 250, 3, {{1, 100}, {4, 98}}, {250, 0}},
      // An unknown count reports after every record at the range's start.
      {-1, 10, 90, 3, 1, {{1, 10}, {2, 10}}, {3, 10}},
      {0, 10, 90, 2, 1, {{1, 10}}, {2, 10}},
      // More records than counted stop at the range's end.
      {2, 0, 100, 3, 1, {{1, 50}, {2, 100}}, {3, 100}},
  };
  for (const TScheduleCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.RecordCount << " records over " << c.Min << ".." << c.Max);
    const TQELCopyProgressSchedule schedule(c.RecordCount, c.Min, c.Max);
    EXPECT_EQ(schedule.Step(), c.Step);
    const auto reports = Reports(schedule, c.Copied);
    ASSERT_FALSE(reports.empty());
    for (std::size_t i = 0; i < c.FirstReports.size(); ++i) EXPECT_EQ(reports.at(i), c.FirstReports[i]);
    EXPECT_EQ(reports.back(), c.LastReport);
  }
  EXPECT_EQ(Reports(TQELCopyProgressSchedule(250, 0, 100), 250).size(), 84U);
}

// ---- copying records

class TableCopyTest : public TConnectedDatabaseTest {
 protected:
  void SetUp() override {
    TConnectedDatabaseTest::SetUp();
    Source = NewTable("SRC");
    DefineSource(*Source);
    Source->CreateTable();
  }
  void TearDown() override {
    Source.reset();
    TConnectedDatabaseTest::TearDown();
  }

  std::unique_ptr<TQELTable> NewTable(const std::string& name, const std::string& database = "KUVO") {
    auto table = std::make_unique<TQELTable>();
    table->SetDatabaseName(database);
    table->SetTableName(name);
    return table;
  }

  // A table named `name` with the source's structure, changed by `edit`.
  template <class TEdit>
  std::unique_ptr<TQELTable> NewTarget(const std::string& name, TEdit&& edit) {
    auto table = NewTable(name);
    DefineSource(*table);
    edit(*table);
    table->CreateTable();
    return table;
  }

  static void AddKey(TQELTable& table, std::int32_t id) {
    table.Append();
    table.FieldByName("ID").SetAsInteger(id);
    table.Post();
  }

  std::unique_ptr<TQELTable> Source;
};

TEST_F(TableCopyTest, CopyRecordsReportsOnScheduleAndKeepsTheSourceWhereItWas) {
  FillSource(*Source, 250);
  auto target = NewTarget("DST", [](TQELTable&) {});
  Source->Open();
  Source->SetRecNo(100);
  target->Open();
  std::vector<std::pair<std::int64_t, int>> seen;
  std::string log;
  bool go = true;
  std::int64_t copied = 0;
  const bool answer = CopyRecords(Source.get(), *Source, *target, log, go, false, false,
                                  [&](TQELComponent& sender, int percent, bool&) {
                                    EXPECT_EQ(&sender, Source.get());
                                    copied = target->RecordCount();
                                    seen.emplace_back(copied, percent);
                                  },
                                  0, 100);
  EXPECT_TRUE(answer);
  EXPECT_EQ(log, "");
  EXPECT_EQ(seen, Reports(TQELCopyProgressSchedule(250, 0, 100), 250));
  EXPECT_EQ(Source->RecNo(), 100);
  EXPECT_EQ(RowTexts(*target), RowTexts(*Source));
}

TEST_F(TableCopyTest, TheLogSaysWhichRecordAndFieldFailedAndWhenTheUserStopped) {
  FillSource(*Source, 6);
  // TERM is a number here, so the source's text does not fit it.
  auto target = NewTarget("DST", [](TQELTable& t) {
    t.AdvFieldDefs.Find("TERM")->DataType = aftInteger;
    t.AdvFieldDefs.Find("TERM")->Size = 0;
  });
  Source->Open();
  target->Open();
  std::string log;
  bool go = true;
  EXPECT_FALSE(CopyRecords(Source.get(), *Source, *target, log, go, true, false, nullptr, 0, 100));
  const std::string fieldError = "Error copying table \"SRC\". Record #1, field 'TERM' was copied with Null value "
                                 "due to error: ";
  EXPECT_EQ(log.rfind(fieldError, 0), 0U) << log;
  EXPECT_EQ(target->RecordCount(), 6);  // every record kept, TERM NULL
  target->First();
  EXPECT_TRUE(target->FieldByName("TERM").IsNull());

  // A post error: the second record with the same key.
  auto keyed = NewTarget("KEYED", [](TQELTable&) {});
  keyed->Open();
  AddKey(*keyed, 2);
  log.clear();
  EXPECT_FALSE(CopyRecords(Source.get(), *Source, *keyed, log, go, true, false, nullptr, 0, 100));
  const std::string postError = "Error copying table \"SRC\". Record #2 was not imported due to error: ";
  ASSERT_EQ(log.rfind(postError, 0), 0U) << log;
  EXPECT_EQ(log.find("\r\n"), log.size() - 4) << "one line, then an empty one";
  EXPECT_EQ(log.substr(log.size() - 4), "\r\n\r\n");
  EXPECT_EQ(keyed->RecordCount(), 6);
  EXPECT_EQ(keyed->State(), dsBrowse);

  // Without IgnoreErrors the error is logged, then raised.
  keyed->Close();
  keyed->EmptyTable();
  keyed->Open();
  AddKey(*keyed, 2);
  log.clear();
  EXPECT_ANY_THROW(CopyRecords(Source.get(), *Source, *keyed, log, go, false, false, nullptr, 0, 100));
  EXPECT_EQ(log.rfind(postError, 0), 0U);
  keyed->Close();

  // Stopped by the user at the first report: one record copied.
  auto stopped = NewTarget("STOPPED", [](TQELTable&) {});
  stopped->Open();
  log.clear();
  EXPECT_FALSE(CopyRecords(nullptr, *Source, *stopped, log, go, true, false,
                           [](TQELComponent&, int, bool& more) { more = false; }, 0, 100));
  EXPECT_EQ(log, "Terminated by User.\r\n");
  EXPECT_FALSE(go);
  EXPECT_EQ(stopped->RecordCount(), 1);
}

TEST_F(TableCopyTest, AFieldWithoutItsFieldObjectIsReportedAsUnsupported) {
  FillSource(*Source, 2);
  // Persistent fields for two columns only: the others have no field object.
  auto partial = NewTable("SRC");
  partial->AddField("ID", ftInteger);
  partial->AddField("TERM", ftString, 40);
  partial->Open();
  auto target = NewTarget("DST", [](TQELTable&) {});
  target->Open();
  std::string log;
  bool go = true;
  const auto [code, message] = CodeAndMessage([&] {
    CopyRecords(partial.get(), *partial, *target, log, go, false, false, nullptr, 0, 100);
  });
  EXPECT_EQ(code, 10499);
  EXPECT_NE(message.find("'N'"), std::string::npos) << message;
  EXPECT_NE(message.find("'SRC'"), std::string::npos) << message;
  target->Cancel();
  log.clear();
  EXPECT_FALSE(CopyRecords(partial.get(), *partial, *target, log, go, true, false, nullptr, 0, 100));
  EXPECT_EQ(target->RecordCount(), 2);
  EXPECT_EQ(log.find("\r\n"), std::string::npos) << "logged without line breaks";
}

// A source that cannot count its records.
class TUncountedTable : public TQELTable {
 protected:
  std::int64_t GetRecordCount() override { return -1; }
};

TEST_F(TableCopyTest, ASourceThatCannotCountIsCopiedWhole) {
  FillSource(*Source, 5);
  TUncountedTable source;
  source.SetDatabaseName("KUVO");
  source.SetTableName("SRC");
  source.Open();
  auto target = NewTarget("DST", [](TQELTable&) {});
  target->Open();
  std::vector<int> percents;
  std::string log;
  bool go = true;
  EXPECT_TRUE(CopyRecords(&source, source, *target, log, go, false, false,
                          [&](TQELComponent&, int percent, bool&) { percents.push_back(percent); }, 20, 80));
  EXPECT_EQ(target->RecordCount(), 5);
  EXPECT_EQ(percents, (std::vector<int>{20, 20, 20, 20, 20}));
}

TEST_F(TableCopyTest, BlobValuesLoseOnlyAMatchingGraphicHeaderAndNullStaysNull) {
  Source->Open();
  auto target = NewTarget("DST", [](TQELTable&) {});
  target->Open();
  const std::vector<std::uint8_t> data = {9, 8, 7};
  struct TCase {
    std::vector<std::uint8_t> Stored;
    std::vector<std::uint8_t> Copied;
  };
  const std::vector<TCase> cases = {
      {{1, 0, 0, 1, 3, 0, 0, 0, 9, 8, 7}, data},                         // header, length 3: dropped
      {{1, 0, 0, 1, 4, 0, 0, 0, 9, 8, 7}, {1, 0, 0, 1, 4, 0, 0, 0, 9, 8, 7}},  // wrong length
      {{2, 0, 0, 1, 3, 0, 0, 0, 9, 8, 7}, {2, 0, 0, 1, 3, 0, 0, 0, 9, 8, 7}},  // not the header
      {{1, 0, 0, 1, 0, 0, 0}, {1, 0, 0, 1, 0, 0, 0}},                    // shorter than a header
      {{1, 0, 0, 1, 0, 0, 0, 0}, {}},                                    // header of nothing
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    Source->Append();
    Source->FieldByName("ID").SetAsInteger(static_cast<std::int32_t>(i));
    Source->FieldByName("PIC").SetAsBytes(cases[i].Stored);
    Source->Post();
    target->Append();
    AssignFieldValue(Source->FieldByName("PIC"), target->FieldByName("PIC"));
    AssignFieldValue(Source->FieldByName("N"), target->FieldByName("N"));
    target->FieldByName("ID").SetAsInteger(static_cast<std::int32_t>(i));
    target->Post();
    EXPECT_EQ(target->FieldByName("PIC").AsBytes(), cases[i].Copied);
    // A NULL 64-bit value stays NULL rather than becoming 0.
    EXPECT_TRUE(target->FieldByName("N").IsNull());
  }
}

// ---- import

TEST_F(TableCopyTest, ImportTakesTheStructureAndRecordsOfAnEngineDataSet) {
  FillSource(*Source, 40);
  Source->Open();
  auto imported = NewTable("IMPORTED");
  std::string log;
  EXPECT_TRUE(imported->ImportTable(*Source, log));
  EXPECT_EQ(log, "");
  EXPECT_FALSE(imported->Active());
  imported->UpdateIndexDefs();
  ASSERT_NE(imported->IndexDefs().Find("IX_TERM"), nullptr);
  EXPECT_EQ(RowTextsOf(*imported), RowTexts(*Source));
  imported->SetIndexName("IX_TERM");
  EXPECT_EQ(RowTextsOf(*imported, {"TERM"}).front(), "<null>|");

  // A table that cannot be created is reported in the log, with nothing
  // copied.
  auto unnamed = NewTable(" ");
  log = "before\r\n";
  EXPECT_FALSE(unnamed->ImportTable(*Source, log));
  EXPECT_EQ(log, "before\r\nError importing table. Cannot create table due to error: Missing TableName property\r\n");
  EXPECT_EQ(RowTextsOf(*imported).size(), 40U);
}

// ---- copying a table

class TableCopyToFileTest : public TableCopyTest {
 protected:
  std::string OtherFile = Dir.File("lain.qel");
};

TEST_F(TableCopyToFileTest, CopiesRecordsAndIndexesIntoAnotherEncryptedFile) {
  FillSource(*Source, 60);
  auto other = NewDatabase(OtherFile, "LAIN");
  other->SetPassword("rahasia");
  other->SetCryptoAlgorithm(3);
  other->CreateDatabase();
  std::string log;
  bool go = true;
  EXPECT_TRUE(Source->CopyTable("SALINAN", log, go, OtherFile, "rahasia", false, false, true));
  EXPECT_EQ(log, "");
  EXPECT_FALSE(Source->Active());
  auto copy = NewTable("SALINAN", "LAIN");
  other->SetPassword("rahasia");
  EXPECT_EQ(RowTextsOf(*copy), RowTextsOf(*Source));
  copy->SetIndexName("IX_TERM");
  Source->SetIndexName("IX_TERM");
  EXPECT_EQ(RowTextsOf(*copy, {"TERM"}), RowTextsOf(*Source, {"TERM"}));
  Source->SetIndexName("");
  copy.reset();
  other.reset();

  // An open source is back on its record afterwards.
  Source->Open();
  Source->SetRecNo(7);
  EXPECT_TRUE(Source->CopyTable("LAGI", log, go, OtherFile, "rahasia", false, false, false));
  EXPECT_TRUE(Source->Active());
  EXPECT_EQ(Source->FieldByName("ID").AsInteger(), 7);
  Source->Close();
}

TEST_F(TableCopyToFileTest, RefusesItselfAnExistingTargetAndAMissingOrLockedFile) {
  // The in-memory database a table opens must not outlive the test.
  DefaultSession().SetKeepConnections(false);
  FillSource(*Source, 3);
  std::string log;
  bool go = true;
  // The same file under another spelling of its path.
  const std::string samePath = Dir.File("sub/../kuvo.qel");
  std::filesystem::create_directory(Dir.File("sub"));
  const auto self = CodeAndMessage([&] { Source->CopyTable("src", log, go, samePath, "", false, false, true); });
  EXPECT_EQ(self.first, 30447);
  EXPECT_NE(self.second.find("Cannot copy table '" + samePath + ".SRC' into it self"), std::string::npos)
      << self.second;
  EXPECT_EQ(NativeErrorOf([&] { Source->CopyTable("SRC", log, go, "", "", false, false, true); }), 30447);
  EXPECT_FALSE(Source->CopyTable("SRC", log, go, "", "", true, false, true));
  EXPECT_EQ(log, "Cannot copy table '" + FileName + ".SRC' into it self");

  // Into this database under another name; then once more.
  log.clear();
  EXPECT_TRUE(Source->CopyTable("DUA", log, go, "", "", false, false, true));
  const auto exists = CodeAndMessage([&] { Source->CopyTable("DUA", log, go, "", "", false, false, true); });
  EXPECT_EQ(exists.first, 30448);
  EXPECT_NE(exists.second.find("Table '" + FileName + ".DUA' already exists"), std::string::npos);
  EXPECT_FALSE(Source->CopyTable("DUA", log, go, "", "", true, false, true));
  EXPECT_EQ(log, "Table '" + FileName + ".DUA' already exists");
  // Overwriting replaces it rather than appending.
  EXPECT_TRUE(Source->CopyTable("DUA", log, go, "", "", false, true, true));
  auto dua = NewTable("DUA");
  EXPECT_EQ(RowTextsOf(*dua).size(), 3U);

  // Into the in-memory database, twice.
  EXPECT_TRUE(Source->CopyTable("MEM", log, go, "MEMORY", "", false, false, true));
  auto memory = NewTable("MEM", "MEMORY");
  EXPECT_EQ(RowTextsOf(*memory), RowTextsOf(*Source));
  EXPECT_EQ(NativeErrorOf([&] { Source->CopyTable("MEM", log, go, "MEMORY", "", false, false, true); }), 10515);
  memory->DeleteTable();

  // A missing file, and one with another password: nothing is written.
  EXPECT_ANY_THROW(Source->CopyTable("X", log, go, Dir.File("tidak-ada.qel"), "", false, false, true));
  EXPECT_FALSE(std::filesystem::exists(Dir.File("tidak-ada.qel")));
  auto locked = NewDatabase(OtherFile, "LAIN");
  locked->SetPassword("benar");
  locked->CreateDatabase();
  const auto before = ReadFileBytes(OtherFile);
  EXPECT_EQ(NativeErrorOf([&] { Source->CopyTable("X", log, go, OtherFile, "salah", false, false, true); }), 30445);
  EXPECT_EQ(ReadFileBytes(OtherFile), before);
  EXPECT_FALSE(Source->Active());
  DefaultSession().SetKeepConnections(true);
}

TEST_F(TableCopyToFileTest, RecordErrorsAndACancelAnswerFalse) {
  FillSource(*Source, 5);
  std::string log;
  bool go = true;
  Source->OnCopyProgress = [](TQELComponent&, int, bool& more) { more = false; };
  EXPECT_FALSE(Source->CopyTable("BERHENTI", log, go, "", "", true, false, true));
  EXPECT_FALSE(go);
  EXPECT_EQ(log, "Terminated by User.\r\n");
  auto stopped = NewTable("BERHENTI");
  EXPECT_EQ(RowTextsOf(*stopped).size(), 1U);
}

}  // namespace
}  // namespace qel::test
