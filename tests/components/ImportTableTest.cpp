// Importing a dataset that is not an engine dataset: the table takes the
// source's field definitions and the index definitions it is given, and
// every record.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "ComponentsSupport.h"
#include "TableTransferSupport.h"
#include "VectorDataSet.h"
#include "components/QELTable.h"

namespace qel::test {
namespace {

// An index as given to the import, and as the created table reports it.
struct TGivenIndex {
  std::string Name;
  std::string Fields;
  std::uint8_t Options = 0;
};

using TIndexEntry = std::tuple<std::string, std::string, std::uint8_t>;

TIndexDefs IndexDefsOf(const std::vector<TGivenIndex>& given) {
  TIndexDefs defs;
  for (const TGivenIndex& index : given) defs.Add(index.Name, index.Fields, index.Options);
  return defs;
}

std::vector<TIndexEntry> IndexEntries(TQELTable& table) {
  table.UpdateIndexDefs();
  std::vector<TIndexEntry> entries;
  for (std::int32_t i = 0; i < table.IndexDefs().Count(); ++i) {
    const TIndexDef& def = table.IndexDefs()[i];
    entries.emplace_back(def.Name, def.Fields, def.Options);
  }
  return entries;
}

std::vector<std::tuple<std::string, TFieldType, std::int32_t, bool>> FieldEntries(const TFieldDefs& defs) {
  std::vector<std::tuple<std::string, TFieldType, std::int32_t, bool>> entries;
  for (std::int32_t i = 0; i < defs.Count(); ++i) {
    entries.emplace_back(defs[i].Name, defs[i].DataType, defs[i].Size, defs[i].Required);
  }
  return entries;
}

class ImportTableTest : public TConnectedDatabaseTest {
 protected:
  // A key, a term, a 64-bit number, a float, a memo and a BLOB.
  static TFieldDefs SourceFields() {
    TFieldDefs defs;
    defs.Add("ID", ftInteger, 0, true);
    defs.Add("TERM", ftString, 30);
    defs.Add("N", ftLargeint);
    defs.Add("F", ftFloat);
    defs.Add("NOTE", ftMemo);
    defs.Add("PIC", ftBlob);
    return defs;
  }

  std::unique_ptr<TQELTable> NewTable(const std::string& name) {
    auto table = std::make_unique<TQELTable>();
    table->SetDatabaseName("KUVO");
    table->SetTableName(name);
    return table;
  }

  // Rows with values past 32 bits, BLOB bytes with zeros in them and a NULL
  // in every field but the key.
  const std::vector<TVectorRow> Rows = {
      {std::int64_t{1}, "akar", std::int64_t{10'000'000'000}, 2.5, "catatan pertama",
       std::string("\x01\x00\xFF", 3)},
      {std::int64_t{2}, kNullValue, kNullValue, kNullValue, kNullValue, kNullValue},
      {std::int64_t{3}, "batang", std::int64_t{-7}, -0.25, std::string(400, 'm'), std::string("\x00\x00", 2)},
  };
  const std::vector<std::string> ExpectedRows = {
      "1|akar|10000000000|2.5|catatan pertama|0100ff|",
      "2|<null>|<null>|<null>|<null>|<null>|",
      "3|batang|-7|-0.25|" + std::string(400, 'm') + "|0000|",
  };
};

TEST_F(ImportTableTest, TakesFieldsRecordsAndTheSupportedIndexes) {
  constexpr std::uint8_t kPrimaryKey = ixPrimary | ixUnique;
  struct TCase {
    const char* Label;
    bool PassIndexDefs;
    std::vector<TGivenIndex> Given;
    std::string LogBefore;
    std::string Logged;  // what the import appends
    std::vector<TIndexEntry> Created;
  };
  const std::vector<TCase> cases = {
      {"no index definitions", false, {}, "", "", {}},
      // The answer compares the log with what it held before, not with "".
      {"an unnamed primary index",
       true,
       {{"", "ID", kPrimaryKey}, {"IX_TERM", "TERM"}},
       "sebelumnya\r\n",
       "",
       {{"idxPrimaryKey", "ID", kPrimaryKey}, {"IX_TERM", "TERM", 0}}},
      // The first unnamed index of the table's list takes the name, wherever
      // it stands and whatever it is.
      {"an index without fields",
       true,
       {{"PK", "ID", kPrimaryKey}, {"IX_EXPR", ""}, {"", "TERM"}},
       "",
       "Cannot import index 'IX_EXPR'. Index type is not supported, index skipped",
       {{"PK", "ID", kPrimaryKey}, {"idxPrimaryKey", "TERM", 0}}},
      // A skipped unnamed index does not take the name from the next one.
      {"an unnamed index without fields",
       true,
       {{"", ""}, {"", "ID", kPrimaryKey}},
       "",
       "Cannot import index ''. Index type is not supported, index skipped",
       {{"idxPrimaryKey", "ID", kPrimaryKey}}},
  };
  TVectorDataSet source(SourceFields(), Rows);
  source.Open();
  int tableNo = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Label);
    auto table = NewTable("IMPOR" + std::to_string(++tableNo));
    const TIndexDefs given = IndexDefsOf(c.Given);
    std::string log = c.LogBefore;
    EXPECT_EQ(table->ImportTable(source, log, c.PassIndexDefs ? &given : nullptr), c.Logged.empty());
    EXPECT_EQ(log, c.LogBefore + c.Logged);
    EXPECT_FALSE(table->Active());
    EXPECT_EQ(IndexEntries(*table), c.Created);
    table->Open();
    EXPECT_EQ(FieldEntries(table->FieldDefs()), FieldEntries(SourceFields()));
    EXPECT_EQ(RowTexts(*table), ExpectedRows);
    table->Close();
  }
}

TEST_F(ImportTableTest, TheTablesOwnIndexDefsMayBeGiven) {
  TVectorDataSet source(SourceFields(), Rows);
  source.Open();
  auto table = NewTable("SENDIRI");
  table->IndexDefs().Add("", "ID", ixPrimary | ixUnique);
  table->IndexDefs().Add("IX_TERM", "TERM");
  std::string log;
  EXPECT_TRUE(table->ImportTable(source, log, &table->IndexDefs()));
  EXPECT_EQ(log, "");
  const std::vector<TIndexEntry> created = {{"idxPrimaryKey", "ID", ixPrimary | ixUnique}, {"IX_TERM", "TERM", 0}};
  EXPECT_EQ(IndexEntries(*table), created);
  table->SetIndexName("IX_TERM");
  EXPECT_EQ(RowTextsOf(*table, {"ID"}), (std::vector<std::string>{"2|", "1|", "3|"}));
}

TEST_F(ImportTableTest, ASourceThatCannotCountIsImportedWholeAndKeepsItsRecord) {
  std::vector<TVectorRow> rows;
  std::vector<std::string> expected;
  for (std::int64_t i = 1; i <= 150; ++i) {
    rows.push_back({i, "istilah " + std::to_string(i), i * 10'000'000'000, kNullValue, kNullValue, kNullValue});
    expected.push_back(std::to_string(i) + "|istilah " + std::to_string(i) + "|" +
                       std::to_string(i * 10'000'000'000) + "|<null>|<null>|<null>|");
  }
  TVectorDataSet source(SourceFields(), rows);
  source.CountsRecords = false;
  source.Open();
  ASSERT_EQ(source.RecordCount(), -1);
  source.MoveBy(41);
  auto table = NewTable("TANPA_HITUNG");
  std::vector<int> percents;
  table->OnImportProgress = [&](TQELComponent&, int percent, bool&) { percents.push_back(percent); };
  std::string log;
  EXPECT_TRUE(table->ImportTable(source, log));
  EXPECT_EQ(log, "");
  EXPECT_EQ(RowTextsOf(*table), expected);
  // Without a count every record is reported, at the start of the range.
  EXPECT_EQ(percents, std::vector<int>(150, 0));
  EXPECT_EQ(source.FieldByName("ID").AsInteger(), 42);
}

}  // namespace
}  // namespace qel::test
