// The dataset over an engine cursor: the ring of record buffers, navigation,
// bookmarks, editing and its events, and the errors the engine reports.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "ComponentsSupport.h"
#include "components/QELDataSet.h"
#include "components/db/QELDatabaseError.h"
#include "components/db/QELParams.h"

namespace qel::test {
namespace {

// Counts what reaches a link.
class TCountingLink : public TDataLink {
 public:
  int Changes = 0;
  int Scrolls = 0;

 protected:
  void DataSetChanged() override { ++Changes; }
  void DataSetScrolled(std::int32_t) override { ++Scrolls; }
};

class DataSetTest : public TConnectedDatabaseTest {
 protected:
  void SetUp() override {
    TConnectedDatabaseTest::SetUp();
    Data.SetDatabaseName("KUVO");
  }
  void TearDown() override {
    Data.Close();
    TConnectedDatabaseTest::TearDown();
  }
  void Fill(int rows) {
    Data.Open();
    for (int i = 1; i <= rows; ++i) {
      TQELVariant id;
      id.SetAsInteger(i);
      Data.AppendRecord({id});
    }
  }

  TTableDataSet Data;
};

TEST_F(DataSetTest, ScansEveryRecordOnceWithRingsOfOneAndTwenty) {
  Fill(10000);
  for (int ring : {1, 20}) {
    TDataSource source;
    TCountingLink link;
    source.SetDataSet(&Data);
    link.SetDataSource(&source);
    link.SetBufferCount(ring);
    EXPECT_EQ(Data.BufferCount(), ring);
    Data.First();
    int expected = 1;
    while (!Data.Eof()) {
      ASSERT_EQ(Data.FieldByName("ID").AsInteger(), expected);
      ++expected;
      Data.Next();
    }
    EXPECT_EQ(expected, 10001);
    int back = 10000;
    while (!Data.Bof()) {
      ASSERT_EQ(Data.FieldByName("ID").AsInteger(), back);
      --back;
      Data.Prior();
    }
    EXPECT_EQ(back, 0);
    Data.First();
    EXPECT_EQ(Data.MoveBy(57), 57);
    EXPECT_EQ(Data.FieldByName("ID").AsInteger(), 58);
    EXPECT_EQ(Data.MoveBy(-33), -33);
    EXPECT_EQ(Data.FieldByName("ID").AsInteger(), 25);
    link.SetDataSource(nullptr);
  }
  EXPECT_EQ(Data.RecordCount(), 10000);
  Data.Close();
  EXPECT_EQ(Data.RecordCount(), 0);
}

TEST_F(DataSetTest, BookmarksSurviveOtherRowsAndDieWithTheirOwn) {
  Fill(50);
  Data.First();
  Data.MoveBy(10);
  const TBookmark mark = Data.GetBookmark();
  ASSERT_EQ(mark.size(), 7U);
  Data.First();
  Data.Delete();
  TQELVariant id;
  id.SetAsInteger(500);
  Data.AppendRecord({id});
  Data.GotoBookmark(mark);
  EXPECT_EQ(Data.FieldByName("ID").AsInteger(), 11);
  EXPECT_TRUE(Data.BookmarkValid(mark));
  Data.Delete();
  EXPECT_FALSE(Data.BookmarkValid(mark));
  EXPECT_FALSE(Data.BookmarkValid({1, 2, 3}));
  EXPECT_FALSE(Data.BookmarkValid({0xFF, 0xFF, 0xFF, 0x7F, 0x11, 0x22, 0}));
  EXPECT_ANY_THROW(Data.GotoBookmark({0xFF, 0xFF, 0xFF, 0x7F, 0x11, 0x22, 0}));
  Data.Insert();
  EXPECT_EQ(Data.RecNo(), -1);
  Data.Cancel();
}

TEST_F(DataSetTest, RecordNumbersAndBookmarkOrder) {
  Fill(40);
  Data.First();
  EXPECT_EQ(Data.RecNo(), 1);
  Data.MoveBy(9);
  EXPECT_EQ(Data.RecNo(), 10);
  const TBookmark tenth = Data.GetBookmark();
  Data.SetRecNo(30);
  EXPECT_EQ(Data.FieldByName("ID").AsInteger(), 30);
  const TBookmark thirtieth = Data.GetBookmark();
  EXPECT_EQ(Data.CompareBookmarks(tenth, thirtieth), -1);
  EXPECT_EQ(Data.CompareBookmarks(thirtieth, tenth), 1);
  EXPECT_EQ(Data.CompareBookmarks(tenth, tenth), 0);
  EXPECT_EQ(Data.CompareBookmarks(tenth, {}), -1);
  EXPECT_EQ(Data.CompareBookmarks({}, tenth), 1);
  EXPECT_EQ(Data.CompareBookmarks({}, {}), 0);
  EXPECT_EQ(Data.FieldByName("ID").AsInteger(), 30);  // comparing does not move
}

TEST(DataSetNamesTest, InMemoryAndDatabaseNameFollowEachOther) {
  TTableDataSet data;
  data.SetInMemory(true);
  EXPECT_EQ(data.DatabaseName(), "MEMORY");
  data.SetDatabaseName("KUVO");
  EXPECT_FALSE(data.InMemory());
  data.SetDatabaseName("memory");
  EXPECT_TRUE(data.InMemory());
  TTableDataSet blank;
  EXPECT_THROW(blank.Open(), EDatabaseError);
  EXPECT_FALSE(blank.Active());
}

TEST_F(DataSetTest, EditingEventsRunInOrderAndABeforeEventStopsTheAction) {
  Fill(3);
  std::vector<std::string> calls;
  Data.BeforeEdit = [&](TDataSet&) { calls.push_back("BeforeEdit"); };
  Data.AfterEdit = [&](TDataSet&) { calls.push_back("AfterEdit"); };
  Data.BeforePost = [&](TDataSet&) { calls.push_back("BeforePost"); };
  Data.AfterPost = [&](TDataSet&) { calls.push_back("AfterPost"); };
  Data.BeforeDelete = [&](TDataSet&) { calls.push_back("BeforeDelete"); };
  Data.AfterDelete = [&](TDataSet&) { calls.push_back("AfterDelete"); };
  Data.BeforeInsert = [&](TDataSet&) { calls.push_back("BeforeInsert"); };
  Data.AfterInsert = [&](TDataSet&) { calls.push_back("AfterInsert"); };
  Data.BeforeCancel = [&](TDataSet&) { calls.push_back("BeforeCancel"); };
  Data.AfterCancel = [&](TDataSet&) { calls.push_back("AfterCancel"); };
  Data.First();
  Data.Edit();
  EXPECT_EQ(Data.State(), dsEdit);
  Data.FieldByName("ID").SetAsInteger(100);
  Data.Post();
  EXPECT_EQ(Data.FieldByName("ID").AsInteger(), 100);
  Data.Insert();
  Data.Cancel();
  Data.Delete();
  EXPECT_EQ(calls, (std::vector<std::string>{"BeforeEdit", "AfterEdit", "BeforePost", "AfterPost",
                                             "BeforeInsert", "AfterInsert", "BeforeCancel", "AfterCancel",
                                             "BeforeDelete", "AfterDelete"}));
  Data.BeforeEdit = [](TDataSet&) { throw std::runtime_error("no"); };
  EXPECT_THROW(Data.Edit(), std::runtime_error);
  EXPECT_EQ(Data.State(), dsBrowse);
  EXPECT_EQ(Data.RecordCount(), 2);
}

TEST_F(DataSetTest, DisabledControlsHearOneChange) {
  Fill(30);
  TDataSource source;
  TCountingLink link;
  source.SetDataSet(&Data);
  link.SetDataSource(&source);
  Data.First();
  link.Changes = link.Scrolls = 0;
  Data.DisableControls();
  for (int i = 0; i < 10; ++i) Data.Next();
  Data.EnableControls();
  EXPECT_EQ(link.Changes, 1);
  EXPECT_EQ(link.Scrolls, 0);
}

// Records the framework's calls into the dataset and its events.
class TTracingDataSet : public TTableDataSet {
 public:
  std::vector<std::string> Calls;

  TTracingDataSet() {
    auto log = [this](const char* name) { return [this, name](TDataSet&) { Calls.emplace_back(name); }; };
    BeforeOpen = log("BeforeOpen");
    AfterOpen = log("AfterOpen");
    BeforeClose = log("BeforeClose");
    AfterClose = log("AfterClose");
    BeforeEdit = log("BeforeEdit");
    AfterEdit = log("AfterEdit");
    BeforeInsert = log("BeforeInsert");
    AfterInsert = log("AfterInsert");
    BeforePost = log("BeforePost");
    AfterPost = log("AfterPost");
    BeforeCancel = log("BeforeCancel");
    AfterCancel = log("AfterCancel");
    BeforeDelete = log("BeforeDelete");
    AfterDelete = log("AfterDelete");
    BeforeScroll = log("BeforeScroll");
    AfterScroll = log("AfterScroll");
    OnNewRecord = log("OnNewRecord");
  }
  // Closes while the log still exists: closing fires events.
  ~TTracingDataSet() override { Close(); }
  std::vector<std::string> Take() { return std::exchange(Calls, {}); }

 protected:
  void OpenCursor(bool infoQuery) override {
    Calls.emplace_back("OpenCursor");
    TTableDataSet::OpenCursor(infoQuery);
  }
  void InternalOpen() override {
    Calls.emplace_back("InternalOpen");
    TTableDataSet::InternalOpen();
  }
  void InternalInitFieldDefs() override {
    Calls.emplace_back("InternalInitFieldDefs");
    TTableDataSet::InternalInitFieldDefs();
  }
  void CloseCursor() override {
    Calls.emplace_back("CloseCursor");
    TTableDataSet::CloseCursor();
  }
  void InternalClose() override {
    Calls.emplace_back("InternalClose");
    TTableDataSet::InternalClose();
  }
  void InternalEdit() override {
    Calls.emplace_back("InternalEdit");
    TTableDataSet::InternalEdit();
  }
  void InternalInsert() override {
    Calls.emplace_back("InternalInsert");
    TTableDataSet::InternalInsert();
  }
  void InternalInitRecord(std::uint8_t* buffer) override {
    Calls.emplace_back("InternalInitRecord");
    TTableDataSet::InternalInitRecord(buffer);
  }
  void InternalPost() override {
    Calls.emplace_back("InternalPost");
    TTableDataSet::InternalPost();
  }
  void InternalCancel() override {
    Calls.emplace_back("InternalCancel");
    TTableDataSet::InternalCancel();
  }
  void InternalDelete() override {
    Calls.emplace_back("InternalDelete");
    TTableDataSet::InternalDelete();
  }
};

using TCalls = std::vector<std::string>;

TEST_F(DataSetTest, CallOrdersOfEachAction) {
  Fill(3);
  Data.Close();
  TTracingDataSet data;
  data.SetDatabaseName("KUVO");
  struct TStep {
    const char* Action;
    std::function<void()> Run;
    TCalls Expected;
  };
  const std::vector<TStep> steps = {
      {"open", [&] { data.Open(); },
       {"BeforeOpen", "OpenCursor", "InternalOpen", "InternalInitFieldDefs", "AfterOpen", "AfterScroll"}},
      {"edit", [&] { data.Edit(); }, {"BeforeEdit", "InternalEdit", "AfterEdit"}},
      {"post", [&] {
         data.FieldByName("ID").SetAsInteger(10);
         data.Post();
       },
       {"BeforePost", "InternalPost", "AfterPost"}},
      {"insert", [&] { data.Insert(); },
       {"BeforeInsert", "BeforeScroll", "InternalInitRecord", "InternalInsert", "OnNewRecord", "AfterInsert",
        "AfterScroll"}},
      {"cancel", [&] { data.Cancel(); },
       {"BeforeCancel", "BeforeScroll", "InternalCancel", "AfterCancel", "AfterScroll"}},
      {"append and post", [&] {
         data.Append();
         data.FieldByName("ID").SetAsInteger(4);
         data.Post();
       },
       {"BeforeInsert", "BeforeScroll", "InternalInitRecord", "InternalInsert", "OnNewRecord", "AfterInsert",
        "AfterScroll", "BeforePost", "InternalPost", "AfterPost"}},
      {"delete", [&] { data.Delete(); },
       {"BeforeDelete", "BeforeScroll", "InternalDelete", "AfterDelete", "AfterScroll"}},
      {"next", [&] { data.First(); data.Next(); },
       {"BeforeScroll", "AfterScroll", "BeforeScroll", "AfterScroll"}},
      {"close in edit", [&] {
         data.Edit();
         data.Take();
         data.Close();
       },
       {"BeforeClose", "InternalCancel", "CloseCursor", "InternalClose", "AfterClose"}},
  };
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.Action);
    step.Run();
    EXPECT_EQ(data.Take(), step.Expected);
  }
  EXPECT_EQ(data.RecordCount(), 0);

  // A before-event that raises leaves the state as it was.
  data.Open();
  data.BeforePost = [](TDataSet&) { throw std::runtime_error("refused"); };
  data.BeforeDelete = data.BeforePost;
  data.BeforeInsert = data.BeforePost;
  data.Edit();
  EXPECT_THROW(data.Post(), std::runtime_error);
  EXPECT_EQ(data.State(), dsEdit);
  data.Cancel();
  EXPECT_THROW(data.Delete(), std::runtime_error);
  EXPECT_THROW(data.Insert(), std::runtime_error);
  EXPECT_EQ(data.State(), dsBrowse);
  EXPECT_EQ(data.RecordCount(), 3);
}

// Counts each notification a control would act on.
class TEventLink : public TDataLink {
 public:
  TCalls Events;

 protected:
  void ActiveChanged() override { Events.push_back(Active() ? "active" : "inactive"); }
  void DataSetChanged() override { Events.emplace_back("changed"); }
  void DataSetScrolled(std::int32_t) override { Events.emplace_back("scrolled"); }
  void RecordChanged(TField* field) override {
    Events.push_back(field ? "field " + field->FieldName() : std::string("record"));
  }
  void EditingChanged() override { Events.push_back(Editing() ? "editing" : "not editing"); }
  void UpdateData() override { Events.emplace_back("update"); }
};

TEST_F(DataSetTest, LinksHearEveryKindOfChange) {
  Fill(5);
  Data.Close();
  TDataSource source;
  TEventLink link;
  source.SetDataSet(&Data);
  link.SetDataSource(&source);
  TMasterDataLink master;
  master.FieldNames = "ID";
  int masterChanges = 0;
  int masterDisabled = 0;
  master.OnMasterChange = [&] { ++masterChanges; };
  master.OnMasterDisable = [&] { ++masterDisabled; };
  master.SetDataSource(&source);
  Data.Open();
  EXPECT_EQ(link.Events, (TCalls{"active", "changed"}));
  link.Events.clear();
  Data.Next();
  Data.Edit();
  Data.FieldByName("ID").SetAsInteger(20);
  Data.Post();
  Data.Close();
  EXPECT_EQ(link.Events, (TCalls{"scrolled", "editing", "record", "field ID", "update", "not editing",
                                 "changed", "inactive"}));
  EXPECT_GE(masterChanges, 3);
  EXPECT_EQ(masterDisabled, 1);
}

TEST(DataSetLocksTest, ClosingInEditReleasesTheRecordLock) {
  TScratchDir dir;
  const std::string file = dir.File("kuvo.qel");
  // The file is made in a child, so that this process has opened nothing
  // the worker child inherits.
  ASSERT_EQ(RunInChild([&] {
              CreateEngineFile(file);
              TQELLocalSession session;
              session.SetDatabaseName("KUVO");
              session.SetDatabaseFileName(file);
              session.SetConnected(true);
              TQELLocalCursor cursor;
              cursor.Session = &session;
              cursor.SetTableName("T");
              cursor.Open({}, {}, {});
              std::uint8_t* buffer = cursor.AllocRecordBuffer();
              cursor.RecordBuffer = buffer;
              cursor.InitRecord(buffer, true);
              const std::int32_t id = 1;
              cursor.SetFieldData(0, &id, buffer);
              cursor.Post(true);
              cursor.FreeRecordBuffer(buffer);
              cursor.Close();
              session.SetConnected(false);
              return 0;
            }),
            0);
  TChildProcess child([&](TChildProcess& self) {
    TQELLocalSession session;
    session.SetDatabaseName("KUVO");
    session.SetDatabaseFileName(file);
    session.SetMultiUser(true);
    session.SetConnected(true);
    TQELLocalCursor cursor;
    cursor.Session = &session;
    cursor.SetTableName("T");
    cursor.LockWaits.RecordAttempts = 2;
    cursor.LockWaits.RecordDelayMs = 5;
    cursor.Open({}, {}, {});
    std::uint8_t* buffer = cursor.AllocRecordBuffer();
    cursor.RecordBuffer = buffer;
    auto tryEdit = [&] {
      cursor.First();
      if (cursor.GetRecord(grmNext) != grOK) return -100;
      cursor.Edit();
      const std::int32_t status = cursor.Status;
      if (status == 0) cursor.Cancel(false);
      return static_cast<int>(status);
    };
    self.AwaitRelease();
    const int whileEditing = tryEdit();
    self.SignalReady();
    self.AwaitRelease();
    const int afterClose = tryEdit();
    cursor.FreeRecordBuffer(buffer);
    cursor.Close();
    session.SetConnected(false);
    return whileEditing == csRecordLocked && afterClose == 0 ? kChildGranted : 20 + (whileEditing & 7);
  });
  {
    TQELDatabase database;
    database.SetDatabaseName("KUVO");
    database.SetDatabaseFileName(file);
    database.SetMultiUser(true);
    database.SetConnected(true);
    TTableDataSet data;
    data.SetDatabaseName("KUVO");
    data.Open();
    data.Edit();
    child.Release();
    ASSERT_TRUE(child.AwaitReady());
    data.Close();
    child.Release();
    EXPECT_EQ(child.Wait(), kChildGranted);
  }
}

TEST(EngineErrorTest, MessageCarriesCodeAndText) {
  EXPECT_STREQ(EQELEngineError(-8, "Unique key violation").what(),
               "Qelmonte Engine Error # -8 Unique key violation");
}

TEST(ParamsTest, MarkersComeFromTheLexerInOrderOnce) {
  TParams params;
  params.Add("B").Value.SetAsInteger(7);
  params.ParseSQL("SELECT * FROM T WHERE A = :A AND B = :b AND C = ? AND ':X' = ':X' OR A = :a");
  ASSERT_EQ(params.Count(), 3);
  EXPECT_EQ(params[0].Name, "A");
  EXPECT_EQ(params[1].Name, "B");
  EXPECT_EQ(params[1].Value.AsInteger(), 7);
  EXPECT_EQ(params[2].Name, "Param1");
}

}  // namespace
}  // namespace qel::test
