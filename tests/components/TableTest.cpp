// The table component: its definitions with and without an open cursor,
// the table operations and their errors, index selection, key ranges and
// master-detail links.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ComponentsSupport.h"
#include "support/ErrorSupport.h"
#include "components/QELTable.h"
#include "components/db/QELDatabaseError.h"

namespace qel::test {
namespace {

class TableTest : public TConnectedDatabaseTest {
 protected:
  void SetUp() override {
    TConnectedDatabaseTest::SetUp();
    Terms = NewTable("TERMS");
  }
  void TearDown() override {
    Terms.reset();
    TConnectedDatabaseTest::TearDown();
  }

  std::unique_ptr<TQELTable> NewTable(const std::string& name) {
    auto table = std::make_unique<TQELTable>();
    table->SetDatabaseName("KUVO");
    table->SetTableName(name);
    return table;
  }

  // TERMS (ID, TERM, GROUPID) with an index on TERM and one on GROUPID.
  void CreateTerms() {
    Terms->FieldDefs().Add("ID", ftInteger);
    Terms->FieldDefs().Add("TERM", ftString, 40);
    Terms->FieldDefs().Add("GROUPID", ftInteger);
    Terms->IndexDefs().Add("IX_TERM", "TERM");
    Terms->IndexDefs().Add("IX_GROUP", "GROUPID");
    Terms->CreateTable();
  }

  // `rows` rows; row i has TERM "t" + (rows - i) padded, GROUPID i % 5.
  void FillTerms(int rows) {
    Terms->Open();
    for (int i = 0; i < rows; ++i) {
      TQELVariant id, term, group;
      id.SetAsInteger(i);
      term.SetAsString("t" + std::string(i < rows - 9 ? "" : "0") + std::to_string(rows - i));
      group.SetAsInteger(i % 5);
      Terms->AppendRecord({id, term, group});
    }
  }

  std::vector<std::int32_t> Column(TQELTable& table, const char* field) {
    std::vector<std::int32_t> values;
    for (table.First(); !table.Eof(); table.Next()) values.push_back(table.FieldByName(field).AsInteger());
    return values;
  }

  std::unique_ptr<TQELTable> Terms;
};

TEST_F(TableTest, DefinitionsReadWithoutAnOpenCursor) {
  CreateTerms();
  auto reader = NewTable("terms");
  reader->UpdateFieldDefs();
  ASSERT_EQ(reader->FieldDefs().Count(), 3);
  EXPECT_EQ(reader->FieldDefs()[1].Name, "TERM");
  EXPECT_EQ(reader->FieldDefs()[1].DataType, ftString);
  EXPECT_EQ(reader->FieldDefs()[1].Size, 40);
  EXPECT_EQ(reader->AdvFieldDefs.Count(), 3);
  reader->UpdateIndexDefs();
  ASSERT_NE(reader->IndexDefs().Find("IX_GROUP"), nullptr);
  EXPECT_EQ(reader->IndexDefs().Find("IX_GROUP")->Fields, "GROUPID");
  EXPECT_EQ(reader->RestructureIndexDefs.Count(), reader->AdvIndexDefs.Count());
  EXPECT_FALSE(reader->Active());

  EXPECT_TRUE(reader->Exists());
  EXPECT_FALSE(NewTable("NOSUCH")->Exists());
  TQELTable unbound;
  unbound.SetTableName("TERMS");
  EXPECT_FALSE(unbound.Exists());
  auto missingFile = NewTable("TERMS");
  missingFile->SetDatabaseName(Dir.File("absent.qel"));
  EXPECT_FALSE(missingFile->Exists());
}

TEST_F(TableTest, IndexSelectionByNameOrFields) {
  CreateTerms();
  FillTerms(12);
  Terms->SetIndexFieldNames("TERM");
  EXPECT_EQ(Terms->IndexName(), "");
  EXPECT_EQ(Terms->IndexFieldNames(), "TERM");
  std::vector<std::int32_t> ids = Column(*Terms, "ID");
  EXPECT_EQ(ids, (std::vector<std::int32_t>{11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0}));

  Terms->SetIndexName("IX_GROUP");
  EXPECT_EQ(Terms->IndexFieldNames(), "");
  std::vector<std::int32_t> groups = Column(*Terms, "GROUPID");
  EXPECT_TRUE(std::is_sorted(groups.begin(), groups.end()));

  Terms->SetIndexFieldNames("");
  EXPECT_EQ(Column(*Terms, "ID"), (std::vector<std::int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  EXPECT_THROW(Terms->SetIndexFieldNames("ID"), EDatabaseError);
  Terms->Close();

  // Chosen before opening, kept over open.
  Terms->SetIndexFieldNames("TERM");
  Terms->Open();
  Terms->First();
  EXPECT_EQ(Terms->FieldByName("ID").AsInteger(), 11);
}

// Every kind of index walks the records in the order of a sorted model.
TEST_F(TableTest, IndexOrdersEqualASortedModel) {
  Terms->FieldDefs().Add("ID", ftInteger);
  Terms->FieldDefs().Add("TERM", ftString, 20);
  Terms->CreateTable();
  Terms->AddIndex("IX_ASC", "TERM", 0);
  Terms->AddIndex("IX_DESC", "TERM", ixDescending);
  Terms->AddIndex("IX_NOCASE", "TERM", ixCaseInsensitive);
  const std::vector<std::string> words = {"beta", "Alpha", "gamma", "alpha", "Beta", "delta", "Gamma", "epsilon"};
  Terms->Open();
  for (std::size_t i = 0; i < words.size(); ++i) {
    TQELVariant id, term;
    id.SetAsInteger(static_cast<std::int32_t>(i));
    term.SetAsString(words[i]);
    Terms->AppendRecord({id, term});
  }
  auto walk = [&](const std::string& index) {
    Terms->SetIndexName(index);
    std::vector<std::string> seen;
    for (Terms->First(); !Terms->Eof(); Terms->Next()) seen.push_back(Terms->FieldByName("TERM").AsString());
    return seen;
  };
  EXPECT_EQ(walk(""), words);
  // Upper-case first where words differ only in case: the engine's
  // collation orders letters before case.
  std::vector<std::string> ascending = walk("IX_ASC");
  std::vector<std::string> model = words;
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  std::stable_sort(model.begin(), model.end(), [&](const std::string& a, const std::string& b) { return lower(a) < lower(b); });
  ASSERT_EQ(ascending.size(), model.size());
  for (std::size_t i = 0; i < model.size(); ++i) EXPECT_EQ(lower(ascending[i]), lower(model[i])) << i;
  std::vector<std::string> descending = walk("IX_DESC");
  EXPECT_EQ(std::vector<std::string>(descending.rbegin(), descending.rend()), ascending);
  std::vector<std::string> noCase = walk("IX_NOCASE");
  for (std::size_t i = 0; i < model.size(); ++i) EXPECT_EQ(lower(noCase[i]), lower(model[i])) << i;
}

TEST_F(TableTest, TemporaryMovesToTheTemporaryDatabaseOnlyWhileClosed) {
  CreateTerms();
  TQELTable table;
  table.SetTemporary(true);
  EXPECT_EQ(table.DatabaseName(), "TEMP");
  Terms->Open();
  EXPECT_THROW(Terms->SetTemporary(true), EDatabaseError);
  EXPECT_EQ(Terms->DatabaseName(), "KUVO");
}

TEST_F(TableTest, CreateTableValidatesTheFields) {
  struct TCase {
    const char* Name;
    TQELAdvancedFieldType Type;
    std::int32_t Size;
    std::uint8_t Algorithm, Mode;
    std::int32_t Code;
    const char* Message;
  };
  const TCase cases[] = {
      {"A", aftChar, 0, 0, 0, 30453, "Cannot create table 'BAD' with field: A CHAR(0)"},
      {"", aftInteger, 0, 0, 0, 30499, "Missing field name. FieldNo=1, table 'BAD'"},
      {"M", aftMemo, 0, 1, 10, 20257,
       "Invalid BlobCompressionMode (must be in 1..9 range) for blob field 'M'. Cannot create table 'BAD'"},
      {"M", aftMemo, 0, 1, 0, 20257,
       "Invalid BlobCompressionMode (must be in 1..9 range) for blob field 'M'. Cannot create table 'BAD'"},
      {"M", aftMemo, 0, 1, 9, 0, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Message);
    auto table = NewTable("BAD");
    TQELAdvFieldDef& id = table->AdvFieldDefs.Add();
    id.Name = "ID";
    id.DataType = aftInteger;
    TQELAdvFieldDef& field = table->AdvFieldDefs.Add();
    field.Name = c.Name;
    field.DataType = c.Type;
    field.Size = c.Size;
    field.BlobCompressionAlgorithm = c.Algorithm;
    field.BlobCompressionMode = c.Mode;
    if (c.Code == 0) {
      EXPECT_NO_THROW(table->CreateTable());
      EXPECT_TRUE(table->Exists());
      continue;
    }
    EXPECT_EQ(CodeAndMessage([&] { table->CreateTable(); }), std::make_pair(c.Code, std::string(c.Message)));
    EXPECT_FALSE(table->Exists());
    EXPECT_FALSE(table->Active());
  }
}

TEST_F(TableTest, CreateTableNormalisesDefaultsAndKeySizes) {
  TQELAdvFieldDef& number = Terms->AdvFieldDefs.Add();
  number.Name = "N";
  number.DataType = aftInteger;
  number.Size = 99;
  number.DefaultValue.SetAsString("-7");
  TQELAdvFieldDef& text = Terms->AdvFieldDefs.Add();
  text.Name = "S";
  text.DataType = aftString;
  text.Size = 30;
  text.DefaultValue.SetAsString("");
  TQELAdvIndexDef& index = Terms->AdvIndexDefs.Add();
  index.Name = "IX_NS";
  index.Fields = "N;S";
  index.MaxIndexedSizes = "5;5";
  Terms->CreateTable();
  EXPECT_EQ(Terms->AdvFieldDefs[0].Size, 0);
  EXPECT_EQ(Terms->AdvFieldDefs[0].DefaultValue.AsInteger(), -7);
  EXPECT_TRUE(Terms->AdvFieldDefs[1].DefaultValue.IsNull());

  auto reader = NewTable("TERMS");
  reader->UpdateIndexDefs();
  ASSERT_EQ(reader->AdvIndexDefs.Count(), 1);
  EXPECT_EQ(reader->AdvIndexDefs[0].MaxIndexedSizes, "20;5");
  reader->Open();
  reader->Append();
  EXPECT_EQ(reader->FieldByName("N").AsInteger(), -7);
  EXPECT_TRUE(reader->FieldByName("S").IsNull());
  reader->Cancel();
}

TEST_F(TableTest, RenameEmptyAndDeleteTheTable) {
  CreateTerms();
  FillTerms(5);
  Terms->Close();
  EXPECT_THROW(Terms->RenameTable("  "), EDatabaseError);
  EXPECT_TRUE(Terms->Exists());

  Terms->RenameTable("WORDS");
  EXPECT_EQ(Terms->TableName(), "WORDS");
  EXPECT_FALSE(NewTable("TERMS")->Exists());
  Terms->Open();
  EXPECT_EQ(Terms->RecordCount(), 5);
  EXPECT_THROW(Terms->EmptyTable(), EDatabaseError);
  Terms->Close();

  Terms->RenameField("TERM", "WORD");
  Terms->Open();
  EXPECT_NE(Terms->FindField("WORD"), nullptr);
  EXPECT_EQ(Terms->FindField("TERM"), nullptr);
  Terms->Close();
  EXPECT_FALSE(Terms->Exclusive());

  Terms->EmptyTable();
  Terms->Open();
  EXPECT_EQ(Terms->RecordCount(), 0);
  Terms->DeleteTable();
  EXPECT_FALSE(Terms->Active());
  EXPECT_FALSE(Terms->Exists());

  auto blank = NewTable(" ");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { blank->Open(); }), "Missing TableName property");
}

TEST_F(TableTest, DefinitionChangesRefuseAnOpenTransaction) {
  CreateTerms();
  Database->StartTransaction();
  auto text = [](const char* operation) {
    return std::string("Cannot perform '") + operation + "' operation on a database in transaction";
  };
  auto other = NewTable("OTHER");
  other->FieldDefs().Add("ID", ftInteger);
  EXPECT_EQ(CodeAndMessage([&] { other->CreateTable(); }), std::make_pair(20182, text("CreateTable")));
  EXPECT_EQ(CodeAndMessage([&] { Terms->AddIndex("IX_ID", "ID", 0); }), std::make_pair(20175, text("AddIndex")));
  EXPECT_EQ(CodeAndMessage([&] { Terms->DeleteIndex("IX_TERM"); }), std::make_pair(20177, text("DeleteIndex")));
  EXPECT_EQ(CodeAndMessage([&] { Terms->RenameTable("X"); }), std::make_pair(20181, text("RenameTable")));
  EXPECT_EQ(CodeAndMessage([&] { Terms->RenameField("ID", "X"); }), std::make_pair(20179, text("RenameField")));
  EXPECT_EQ(CodeAndMessage([&] { Terms->DeleteTable(); }), std::make_pair(20183, text("DeleteTable")));
  Database->Rollback();
  EXPECT_FALSE(Terms->Active());
  EXPECT_TRUE(Terms->Exists());
  EXPECT_FALSE(other->Exists());
}

TEST_F(TableTest, AddAndDeleteIndexes) {
  CreateTerms();
  FillTerms(8);
  Terms->AddIndex("IX_ID_DESC", "ID", ixDescending);
  Terms->UpdateIndexDefs();
  ASSERT_NE(Terms->IndexDefs().Find("IX_ID_DESC"), nullptr);
  EXPECT_EQ(Terms->IndexDefs().Find("IX_ID_DESC")->DescFields, "ID");
  Terms->SetIndexName("IX_ID_DESC");
  EXPECT_EQ(Column(*Terms, "ID"), (std::vector<std::int32_t>{7, 6, 5, 4, 3, 2, 1, 0}));
  Terms->SetIndexName("");
  Terms->DeleteIndex("IX_ID_DESC");
  Terms->Close();
  Terms->UpdateIndexDefs();
  EXPECT_EQ(Terms->IndexDefs().Find("IX_ID_DESC"), nullptr);

  EXPECT_EQ(CodeAndMessage([&] { Terms->AddIndex("", "ID", 0); }), std::make_pair(20046, std::string("Invalid index name ''")));
  EXPECT_EQ(CodeAndMessage([&] { Terms->AddIndex("IX", "", 0); }),
            std::make_pair(20047, std::string("Cannot find index field ''")));
  EXPECT_EQ(CodeAndMessage([&] { Terms->AddIndex("IX", "NOPE", 0); }).first, 20050);
}

// Another session with the table open keeps both index changes out: a
// dropped index's pages must not be reused under a reader.
TEST_F(TableTest, IndexChangesWaitForTheExclusiveLock) {
  CreateTerms();
  // Table locks exist in multi-user mode only.
  Database->SetConnected(false);
  Database->SetMultiUser(true);
  Database->SetConnected(true);
  TQELLocalSession session;
  session.SetDatabaseName("OTHER");
  session.SetDatabaseFileName(FileName);
  session.SetMultiUser(true);
  session.SetConnected(true);
  TQELLocalCursor holder;
  holder.Session = &session;
  holder.SetTableName("TERMS");
  holder.Open({}, {}, {});
  Terms->TableLockWaits.IndexChangeAttempts = 2;
  Terms->TableLockWaits.IndexChangeDelayMs = 1;
  const std::string message = "Cannot access table 'TERMS' in exclusive mode. Probably the table is open by another user";
  EXPECT_EQ(CodeAndMessage([&] { Terms->AddIndex("IX_ID", "ID", 0); }), std::make_pair(20228, message));
  EXPECT_EQ(CodeAndMessage([&] { Terms->DeleteIndex("IX_TERM"); }), std::make_pair(20228, message));
  EXPECT_EQ(NativeErrorOf([&] { Terms->DeleteTable(); }), 20017);
  holder.Close();
  session.SetConnected(false);
  Terms->DeleteIndex("IX_TERM");
  Terms->UpdateIndexDefs();
  EXPECT_EQ(Terms->IndexDefs().Find("IX_TERM"), nullptr);
}

TEST_F(TableTest, RangesOverTheActiveIndex) {
  CreateTerms();
  FillTerms(50);
  Terms->SetIndexName("IX_GROUP");
  Terms->SetRangeStart();
  EXPECT_EQ(Terms->State(), dsSetKey);
  Terms->FieldByName("GROUPID").SetAsInteger(2);
  EXPECT_EQ(CodeAndMessage([&] { Terms->FieldByName("TERM").SetAsString("x"); }),
            std::make_pair(20019, std::string("Field TERM is not in the current index")));
  Terms->SetRangeEnd();
  Terms->FieldByName("GROUPID").SetAsInteger(3);
  Terms->ApplyRange();
  EXPECT_EQ(Terms->State(), dsBrowse);
  std::vector<std::int32_t> groups = Column(*Terms, "GROUPID");
  ASSERT_EQ(groups.size(), 20U);
  EXPECT_EQ(groups.front(), 2);
  EXPECT_EQ(groups.back(), 3);
  EXPECT_EQ(Terms->RecordCount(), 20);

  // Cancel in set-key state gives back the key as it was.
  Terms->SetRangeEnd();
  Terms->FieldByName("GROUPID").SetAsInteger(4);
  Terms->Cancel();
  Terms->ApplyRange();
  EXPECT_EQ(Terms->RecordCount(), 20);

  Terms->CancelRange();
  EXPECT_EQ(Column(*Terms, "GROUPID").size(), 50U);
  EXPECT_EQ(&Terms->GetIndexField(0), &Terms->FieldByName("GROUPID"));
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { Terms->GetIndexField(1); }), "Field index out of range");
}

// A one-field key over a two-field index covers every second value.
TEST_F(TableTest, RangeWithAShorterKey) {
  CreateTerms();
  Terms->AddIndex("IX_GROUP_ID", "GROUPID;ID", 0);
  FillTerms(30);
  Terms->SetIndexName("IX_GROUP_ID");
  Terms->SetRangeStart();
  Terms->FieldByName("GROUPID").SetAsInteger(1);
  Terms->SetKeyFieldCount(1);
  EXPECT_EQ(Terms->KeyFieldCount(), 1);
  Terms->SetRangeEnd();
  Terms->FieldByName("GROUPID").SetAsInteger(1);
  Terms->SetKeyFieldCount(1);
  Terms->ApplyRange();
  EXPECT_EQ(Column(*Terms, "ID"), (std::vector<std::int32_t>{1, 6, 11, 16, 21, 26}));
  Terms->CancelRange();
  EXPECT_EQ(Terms->RecordCount(), 30);
  EXPECT_THROW(Terms->SetKeyFieldCount(1), EDatabaseError);
}

TEST_F(TableTest, DetailFollowsItsMaster) {
  CreateTerms();
  FillTerms(15);
  Terms->Close();
  auto groups = NewTable("GROUPS");
  groups->FieldDefs().Add("GID", ftInteger);
  groups->CreateTable();
  groups->Open();
  for (int g : {1, 2, 7}) {
    TQELVariant id;
    id.SetAsInteger(g);
    groups->AppendRecord({id});
  }
  TDataSource master;
  master.SetDataSet(groups.get());
  EXPECT_EQ(MessageOf<EDatabaseError>([&] {
              TDataSource own;
              own.SetDataSet(Terms.get());
              Terms->SetMasterSource(&own);
            }),
            "Circular datalinks are not allowed");
  Terms->SetIndexFieldNames("GROUPID");
  Terms->SetMasterFields("GID");
  Terms->SetMasterSource(&master);
  groups->First();
  Terms->Open();
  EXPECT_EQ(Column(*Terms, "ID"), (std::vector<std::int32_t>{1, 6, 11}));
  groups->Next();
  EXPECT_EQ(Column(*Terms, "ID"), (std::vector<std::int32_t>{2, 7, 12}));
  Terms->Append();
  EXPECT_EQ(Terms->FieldByName("GROUPID").AsInteger(), 2);
  Terms->FieldByName("ID").SetAsInteger(99);
  Terms->Post();
  EXPECT_EQ(Column(*Terms, "ID"), (std::vector<std::int32_t>{2, 7, 12, 99}));
  groups->Next();
  EXPECT_EQ(Terms->RecordCount(), 0);
  Terms->SetMasterSource(nullptr);
  Terms->Close();
}

// A control that reads a memo while the table opens (before any record is
// current) must not make the table refresh and land on another record.
TEST_F(TableTest, ReadingAMemoWhileOpeningKeepsTheFirstRecord) {
  Terms->FieldDefs().Add("ID", ftInteger);
  Terms->FieldDefs().Add("NOTE", ftMemo);
  Terms->CreateTable();
  Terms->Open();
  for (int i = 1; i <= 3; ++i) {
    TQELVariant id, note;
    id.SetAsInteger(i);
    note.SetAsString("note " + std::to_string(i));
    Terms->AppendRecord({id, note});
  }
  Terms->Close();
  struct TMemoReader : TDataLink {
    std::vector<std::string> Seen;
    void ActiveChanged() override {
      if (Active()) Seen.push_back(DataSet()->FieldByName("NOTE").AsString());
    }
  } reader;
  TDataSource source;
  source.SetDataSet(Terms.get());
  reader.SetDataSource(&source);
  Terms->Open();
  EXPECT_EQ(Terms->FieldByName("ID").AsInteger(), 1);
  EXPECT_EQ(Terms->FieldByName("NOTE").AsString(), "note 1");
  ASSERT_EQ(reader.Seen.size(), 1U);
  Terms->Close();
  reader.SetDataSource(nullptr);
}

// A failed post reaches OnPostError, whose action decides: retry after
// mending the record, abort silently, or fail with the error; a failed
// insert can then be cancelled (the failure's status does not linger).
TEST_F(TableTest, PostErrorEventDecides) {
  Terms->FieldDefs().Add("ID", ftInteger, 0, true);
  Terms->IndexDefs().Add("PK", "ID", ixPrimary | ixUnique);
  Terms->CreateTable();
  Terms->Open();
  TQELVariant one;
  one.SetAsInteger(1);
  EXPECT_NO_THROW(Terms->AppendRecord({one}));
  EXPECT_EQ(Terms->RecordCount(), 1);
  std::vector<std::int32_t> codes;
  TDataAction answer = daFail;
  Terms->OnPostError = [&](TDataSet& dataSet, const std::exception& error, TDataAction& action) {
    const auto* engine = dynamic_cast<const EQELEngineError*>(&error);
    codes.push_back(engine != nullptr ? engine->ErrorCode() : 0);
    if (answer == daRetry) dataSet.FieldByName("ID").SetAsInteger(2);
    // A retry that keeps failing would go on for ever: stop it.
    action = codes.size() > 5 ? daFail : answer;
  };
  for (const TDataAction action : {daFail, daAbort, daRetry}) {
    SCOPED_TRACE(static_cast<int>(action));
    answer = action;
    EXPECT_NO_THROW(Terms->Append());
    EXPECT_NO_THROW(Terms->FieldByName("ID").SetAsInteger(1));
    if (action == daFail) {
      EXPECT_THROW(Terms->Post(), EQELEngineError);
    } else if (action == daAbort) {
      EXPECT_THROW(Terms->Post(), EAbort);
    } else {
      EXPECT_NO_THROW(Terms->Post());
    }
    EXPECT_EQ(Terms->State(), action == daRetry ? dsBrowse : dsInsert);
    if (Terms->State() == dsInsert) {
      EXPECT_NO_THROW(Terms->Cancel());
    }
  }
  EXPECT_EQ(codes, (std::vector<std::int32_t>{-8, -8, -8}));
  EXPECT_EQ(Terms->RecordCount(), 2);
}

TEST_F(TableTest, OperationsThatNeedACursor) {
  CreateTerms();
  const std::vector<std::string> none;
  EXPECT_EQ(NativeErrorOf([&] { Terms->GetIndexForFields(none, none, none); }), 10311);
  EXPECT_EQ(NativeErrorOf([&] { Terms->IndexExistsForFields(none, none, none); }), 10514);
  EXPECT_EQ(NativeErrorOf([&] { Terms->SetDistinctFields(none, none, none); }), 10319);
  EXPECT_EQ(NativeErrorOf([&] { Terms->SetRangeStart(); }), 10286);

  Terms->Open();
  EXPECT_TRUE(Terms->IndexExistsForFields({"TERM"}, {"ASC"}, {"CASE"}));
  EXPECT_EQ(Terms->GetIndexForFields({"GROUPID"}, {"ASC"}, {"CASE"}), "IX_GROUP");
  Terms->Close();
  Terms->RepairTable();
  Terms->Open();
  EXPECT_EQ(Terms->RecordCount(), 0);
}

TEST_F(TableTest, LastAutoincValue) {
  TQELAdvFieldDef& id = Terms->AdvFieldDefs.Add();
  id.Name = "ID";
  id.DataType = aftAutoinc;
  TQELAdvFieldDef& term = Terms->AdvFieldDefs.Add();
  term.Name = "TERM";
  term.DataType = aftString;
  term.Size = 10;
  Terms->CreateTable();
  Terms->Open();
  for (const char* word : {"a", "b", "c"}) {
    TQELVariant null, text;
    text.SetAsString(word);
    Terms->AppendRecord({null, text});
  }
  EXPECT_EQ(Terms->GetLastAutoincValue(0), 3);
  EXPECT_EQ(Terms->GetLastAutoincValue("ID"), 3);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { Terms->GetLastAutoincValue(2); }), "Field index out of range");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { Terms->GetLastAutoincValue(-1); }), "Field index out of range");
}

// A calculated field has no engine number: asking for its autoincrement
// value is an error, not another field's value.
TEST_F(TableTest, LastAutoincValueOfACalculatedField) {
  CreateTerms();
  Terms->AddField("ID", ftInteger);
  Terms->AddField("DOUBLE", ftInteger, 0, fkCalculated);
  Terms->AddField("TERM", ftString, 40);
  Terms->Open();
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { Terms->GetLastAutoincValue(1); }), "Field 'DOUBLE' is not a data field");
}

}  // namespace
}  // namespace qel::test
