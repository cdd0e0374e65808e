// Engine sessions on database files of this process: sharing one database
// data object per file, the file's lifetime, telling files apart, creating
// files, passwords, per-session ids and transactions, and the named values.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "disk/ConnectionSupport.h"
#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskTableData.h"
#include "engine/QELLocalEngine.h"
#include "platform/QELFaultInjection.h"
#include "storage/QELRecordData.h"
#include "storage/QELTableCursor.h"
#include "support/ErrorSupport.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

using test::kChildGranted;
using test::kChildRefused;
using test::NativeErrorOf;

constexpr const char* kSecret = "secret";

std::size_t ListedFiles() { return TQELDatabaseList::Instance().DiskCount(); }

std::unique_ptr<TQELLocalSession> NewSession(const std::string& fileName,
                                             const std::string& password = {}) {
  auto session = std::make_unique<TQELLocalSession>();
  session->SetDatabaseName("KUVO");
  session->SetDatabaseFileName(fileName);
  session->SetPassword({password, caRijndael_128});
  return session;
}

// A file with table T (ID integer), made through an engine session.
void CreateFile(const std::string& fileName, const std::string& password = {}) {
  auto session = NewSession(fileName, password);
  session->CreateDatabase();
  session->SetConnected(true);
  TQELFieldDefs fields;
  fields.Add("ID", aftInteger, 0);
  TQELTableCursor cursor("T");
  auto* table = static_cast<TQELDiskTableData*>(session->DatabaseData()->GetTableData(&cursor));
  table->CreateTable(cursor, fields, {}, {});
}

// A table (T unless named) open through a session, as the engine's cursor
// holds it.
class TTableOn {
 public:
  explicit TTableOn(TQELLocalSession& session, const std::string& tableName = "T")
      : FSession(session), FCursor(tableName) {
    FTable = static_cast<TQELTableData*>(session.DatabaseData()->GetTableData(&FCursor));
    FTable->AddCursor(&FCursor);
    FTable->InitCursor(FCursor);
    FBuffer.assign(static_cast<std::size_t>(FCursor.RecordSize), 0);
    FCursor.RecordBuffer = FBuffer.data();
  }
  ~TTableOn() {
    try {
      FTable->RemoveCursor(&FCursor);
    } catch (const EQELException&) {
    }
  }
  TTableOn(const TTableOn&) = delete;
  TTableOn& operator=(const TTableOn&) = delete;

  // Inserts a record; outside a transaction it is posted at once.
  bool Insert(std::int32_t id) {
    FCursor.SetSession(FSession.SessionID(), FSession.InTransaction());
    std::fill(FBuffer.begin(), FBuffer.end(), 0);
    SetFieldData(0, FTable->FieldDefs(), &id, FBuffer.data());
    if (!FTable->InsertRecord(FCursor)) return false;
    FTable->ApplyChanges(FSession.SessionID(), FSession.InTransaction());
    return true;
  }
  std::set<std::int32_t> Ids() {
    FCursor.SetSession(FSession.SessionID(), FSession.InTransaction());
    std::set<std::int32_t> ids;
    FCursor.BeforeFirst = true;
    FCursor.AfterLast = false;
    while (FTable->GetRecord(FCursor, grmNext) == grOK) {
      std::int32_t id = 0;
      GetFieldData(0, FTable->FieldDefs(), &id, FBuffer.data());
      ids.insert(id);
    }
    return ids;
  }

 private:
  TQELLocalSession& FSession;
  TQELTableCursor FCursor;
  TQELTableData* FTable = nullptr;
  std::vector<std::uint8_t> FBuffer;
};

// The ids in T as a session connected afresh reads them.
std::set<std::int32_t> StoredIds(const std::string& fileName) {
  auto reader = NewSession(fileName);
  reader->SetConnected(true);
  TTableOn table(*reader);
  return table.Ids();
}

// Whether another process opening the file single-user may write it.
int OpenedWritableInChild(const std::string& fileName) {
  return test::RunInChild([&] {
    // A fresh object: the copy of this process's list must not be used.
    test::TTestSession session(false);
    TQELDiskDatabaseData database(fileName);
    database.AddSession(&session);
    const bool writable = !session.ReadOnly;
    database.RemoveSession(&session);
    return writable ? kChildGranted : kChildRefused;
  });
}

class LocalSessionTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateFile(FileName); }
  void TearDown() override { EXPECT_EQ(ListedFiles(), 0U); }

  test::TScratchDir Dir;
  std::string FileName = Dir.File("kuvo.qel");
};

TEST_F(LocalSessionTest, SessionsOnOneFileShareItsObjectUntilTheLastLeaves) {
  auto first = NewSession(FileName);
  auto second = NewSession(FileName);
  first->SetConnected(true);
  second->SetConnected(true);
  EXPECT_EQ(first->DatabaseData(), second->DatabaseData());
  EXPECT_EQ(ListedFiles(), 1U);
  EXPECT_TRUE(first->TableExists("t"));

  first->SetConnected(false);
  EXPECT_FALSE(first->GetConnected());
  EXPECT_EQ(ListedFiles(), 1U);
  EXPECT_EQ(OpenedWritableInChild(FileName), kChildRefused);

  second->SetConnected(false);
  EXPECT_EQ(ListedFiles(), 0U);
  EXPECT_EQ(OpenedWritableInChild(FileName), kChildGranted);
}

// Paths that name the file connected first, and paths that name others.
TEST_F(LocalSessionTest, FilesAreMatchedByIdentityNotByName) {
  const std::filesystem::path dir(Dir.Path());
  std::filesystem::create_directory(dir / "sub");
  std::filesystem::create_hard_link(FileName, dir / "linked.qel");
  CreateFile(Dir.File("KUVO.qel"));
  CreateFile(Dir.File("MEMORY"));
  struct TCase {
    std::string Path;
    bool SameFile;
  };
  const TCase cases[] = {
      {FileName, true},
      {(dir / "sub" / ".." / "kuvo.qel").string(), true},
      {(dir / "." / "kuvo.qel").string(), true},
      {(dir / "linked.qel").string(), true},
      {Dir.File("KUVO.qel"), false},
      {Dir.File("MEMORY"), false},
  };
  auto first = NewSession(FileName);
  first->SetConnected(true);
  for (const TCase& each : cases) {
    SCOPED_TRACE(each.Path);
    auto other = NewSession(each.Path);
    // "memory" is an ordinary name: only the exact "MEMORY" is special.
    other->SetDatabaseName("memory");
    other->SetConnected(true);
    EXPECT_EQ(other->DatabaseData() == first->DatabaseData(), each.SameFile);
    EXPECT_EQ(ListedFiles(), each.SameFile ? 1U : 2U);
    EXPECT_EQ(NativeErrorOf([&] { NewSession(each.Path)->CreateDatabase(); }), 20092);
  }
  EXPECT_EQ(ListedFiles(), 1U);
}

TEST_F(LocalSessionTest, MemoryAndTempAreEachOneSharedDatabase) {
  auto first = NewSession(FileName);
  auto second = NewSession(FileName);
  for (TQELLocalSession* session : {first.get(), second.get()}) {
    session->SetDatabaseName("MEMORY");
    session->SetConnected(true);
    ASSERT_TRUE(session->GetConnected());
    EXPECT_EQ(NativeErrorOf([&] { session->CreateDatabase(); }), 20092);
  }
  EXPECT_EQ(first->DatabaseData(), second->DatabaseData());
  EXPECT_EQ(first->DatabaseData()->DatabaseName(), "MEMORY");
  std::vector<std::string> tables;
  first->GetTableNames(tables);
  EXPECT_TRUE(tables.empty());
  first->SetConnected(false);
  second->SetConnected(false);
  // The in-memory database stays for the next session; no file was opened.
  second->SetConnected(true);
  EXPECT_EQ(second->DatabaseData(), &TQELDatabaseList::Instance().Special(dkMemory));
  second->SetConnected(false);

  // The temporary database is there from the start too, one for the
  // process, and no file either.
  auto temp = NewSession(FileName);
  auto otherTemp = NewSession(FileName);
  for (TQELLocalSession* session : {temp.get(), otherTemp.get()}) {
    session->SetDatabaseName("TEMP");
    session->SetConnected(true);
    ASSERT_TRUE(session->GetConnected());
    EXPECT_EQ(NativeErrorOf([&] { session->CreateDatabase(); }), 20092);
  }
  EXPECT_EQ(temp->DatabaseData(), otherTemp->DatabaseData());
  EXPECT_EQ(temp->DatabaseData(), &TQELDatabaseList::Instance().Special(dkTemporary));
  EXPECT_EQ(temp->DatabaseData()->DatabaseName(), "TEMP");
  EXPECT_NE(temp->DatabaseData(), &TQELDatabaseList::Instance().Special(dkMemory));
  temp->SetConnected(false);
  otherTemp->SetConnected(false);
  EXPECT_EQ(ListedFiles(), 0U);
}

TEST_F(LocalSessionTest, AMemoryTableIsSharedByEverySessionOfTheProcess) {
  auto writer = NewSession(FileName);
  writer->SetDatabaseName("MEMORY");
  writer->SetConnected(true);
  TQELFieldDefs fields;
  fields.Add("ID", aftInteger, 0);
  TQELTableCursor creator("M");
  auto* table = static_cast<TQELTableData*>(writer->DatabaseData()->GetTableData(&creator));
  table->CreateTable(creator, fields, {}, {});
  {
    TTableOn written(*writer, "M");
    ASSERT_TRUE(written.Insert(7));
    auto reader = NewSession(FileName);
    reader->SetDatabaseName("MEMORY");
    reader->SetConnected(true);
    std::vector<std::string> names;
    reader->GetTableNames(names);
    EXPECT_EQ(names, std::vector<std::string>{"M"});
    TTableOn read(*reader, "M");
    EXPECT_EQ(read.Ids(), std::set<std::int32_t>{7});
  }
  // Memory tables outlive their sessions: this one is dropped by hand.
  table->DeleteTable(creator, false);
  std::vector<std::string> names;
  writer->GetTableNames(names);
  EXPECT_TRUE(names.empty());
  EXPECT_EQ(ListedFiles(), 0U);
}

TEST_F(LocalSessionTest, CreatingAFileOpenInThisProcessIsRefused) {
  auto open = NewSession(FileName);
  open->SetConnected(true);
  EXPECT_EQ(NativeErrorOf([&] { NewSession(FileName)->CreateDatabase(); }), 20092);
  // The open file is untouched: its table is still there.
  EXPECT_TRUE(open->TableExists("T"));
  open->SetConnected(false);
  EXPECT_EQ(NativeErrorOf([&] { NewSession(FileName)->CreateDatabase(); }), 0);
  EXPECT_EQ(ListedFiles(), 0U);
}

TEST_F(LocalSessionTest, AFailedFirstConnectLeavesNothingBehind) {
  const std::string locked = Dir.File("locked.qel");
  CreateFile(locked, kSecret);
  for (const char* wrong : {"", "wrong"}) {
    SCOPED_TRACE(wrong);
    auto session = NewSession(locked, wrong);
    EXPECT_EQ(NativeErrorOf([&] { session->SetConnected(true); }), 30445);
    EXPECT_FALSE(session->GetConnected());
    EXPECT_EQ(ListedFiles(), 0U);
  }
  auto missing = NewSession(Dir.File("missing.qel"));
  EXPECT_NE(NativeErrorOf([&] { missing->SetConnected(true); }), 0);
  EXPECT_EQ(ListedFiles(), 0U);

  // The right password now opens the file.
  auto right = NewSession(locked, kSecret);
  EXPECT_EQ(NativeErrorOf([&] { right->SetConnected(true); }), 0);
  EXPECT_TRUE(right->GetConnected());
}

TEST_F(LocalSessionTest, AWrongPasswordOnAnOpenFileIsRefusedWithoutReading) {
  const std::string locked = Dir.File("locked.qel");
  CreateFile(locked, kSecret);
  auto open = NewSession(locked, kSecret);
  open->SetConnected(true);

  TQELFaultInjector injector;
  auto wrong = NewSession(locked, "wrong");
  EXPECT_EQ(NativeErrorOf([&] { wrong->SetConnected(true); }), 20298);
  EXPECT_EQ(injector.Count(fopRead), 0);
  EXPECT_FALSE(wrong->GetConnected());
  EXPECT_EQ(open->DatabaseData()->Sessions().size(), 1U);
  injector.Uninstall();

  auto right = NewSession(locked, kSecret);
  right->SetConnected(true);
  EXPECT_EQ(right->DatabaseData(), open->DatabaseData());
}

// Both sessions hold the file single-user in this process; each keeps its
// own pending pages.
TEST_F(LocalSessionTest, OneSessionsPostDoesNotCommitAnothersTransaction) {
  auto first = NewSession(FileName);
  auto second = NewSession(FileName);
  first->SetConnected(true);
  second->SetConnected(true);
  EXPECT_NE(first->SessionID(), second->SessionID());
  {
    TTableOn inTransaction(*first);
    TTableOn posting(*second);
    first->StartTransaction();
    ASSERT_TRUE(inTransaction.Insert(1));
    ASSERT_TRUE(posting.Insert(2));
    first->Rollback();
    EXPECT_EQ(posting.Ids(), std::set<std::int32_t>({2}));
  }
  second->SetConnected(false);
  first->SetConnected(false);
  EXPECT_EQ(StoredIds(FileName), std::set<std::int32_t>({2}));
}

// A session that leaves in a transaction, by disconnecting or by being
// freed, while another stays: the next holder of its id must not post its
// pages.
TEST_F(LocalSessionTest, ASessionLeavingInATransactionIsRolledBack) {
  for (const bool freed : {false, true}) {
    SCOPED_TRACE(freed ? "freed" : "disconnected");
    auto staying = NewSession(FileName);
    staying->SetConnected(true);
    auto leaving = NewSession(FileName);
    leaving->SetConnected(true);
    const std::int32_t leftID = leaving->SessionID();
    {
      TTableOn table(*leaving);
      leaving->StartTransaction();
      ASSERT_TRUE(table.Insert(10));
    }
    if (freed) {
      leaving.reset();
    } else {
      leaving->SetConnected(false);
      EXPECT_FALSE(leaving->InTransaction());
    }
    auto next = NewSession(FileName);
    next->SetConnected(true);
    EXPECT_EQ(next->SessionID(), leftID);
    {
      TTableOn table(*next);
      ASSERT_TRUE(table.Insert(20));
    }
    next->SetConnected(false);
    staying->SetConnected(false);
    EXPECT_EQ(StoredIds(FileName).count(10), 0U);
  }
}

TEST_F(LocalSessionTest, CommitAndRollbackNeedATransaction) {
  auto session = NewSession(FileName);
  session->SetConnected(true);
  EXPECT_EQ(NativeErrorOf([&] { session->Commit(false); }), 20229);
  EXPECT_EQ(NativeErrorOf([&] { session->Rollback(); }), 20229);
  {
    TTableOn table(*session);
    session->StartTransaction();
    ASSERT_TRUE(table.Insert(7));
    session->Commit(true);
    EXPECT_FALSE(session->InTransaction());
  }
  session->SetConnected(false);
  EXPECT_EQ(StoredIds(FileName), std::set<std::int32_t>({7}));
}

TEST(SessionNamedObjectsTest, EntriesAreReplacedByNumberOrByName) {
  TQELLocalSession session;
  auto sequence = [](std::int32_t id, std::string name, std::int64_t last) {
    auto object = std::make_unique<TQELSessionNamedObjectSequenceValue>(id, std::move(name));
    object->SequenceLastValue = last;
    return object;
  };
  auto lastOf = [](TQELSessionNamedObject* object) {
    if (object == nullptr) return std::int64_t{-1};
    return static_cast<TQELSessionNamedObjectSequenceValue*>(object)->SequenceLastValue;
  };
  session.SetNamedObject(sequence(5, "A", 1));
  session.SetNamedObject(sequence(6, "B", 2));
  session.SetNamedObject(sequence(5, "other", 3));
  session.SetNamedObject(sequence(-1, "b", 4));
  session.SetNamedObject(nullptr);
  ASSERT_EQ(session.NamedObjects().size(), 2U);
  EXPECT_EQ(lastOf(session.FindNamedObjectByID(5)), 3);
  EXPECT_EQ(lastOf(session.FindNamedObject("OTHER")), 3);
  EXPECT_EQ(lastOf(session.FindNamedObject("B")), 4);
  EXPECT_EQ(session.FindNamedObjectByID(6), nullptr);
  EXPECT_EQ(session.FindNamedObject("A"), nullptr);

  // Setting an entry that is listed already keeps it, alive and once.
  TQELSessionNamedObject* listed = session.FindNamedObjectByID(5);
  static_cast<TQELSessionNamedObjectSequenceValue*>(listed)->SequenceLastValue = 9;
  session.SetNamedObject(std::unique_ptr<TQELSessionNamedObject>(listed));
  ASSERT_EQ(session.NamedObjects().size(), 2U);
  EXPECT_EQ(session.FindNamedObjectByID(5), listed);
  EXPECT_EQ(lastOf(session.FindNamedObjectByID(5)), 9);
}

}  // namespace
}  // namespace qel
