// Crashes, I/O errors and power loss in the middle of a table's
// transactions. A workload of transactions on table T (inserts, updates
// that move BLOB and memo values between shared pages and pages of their
// own, deletes) meets a fault at each of its writes in turn; the file is
// then reopened with the plain file layer and must open, pass every check
// qel check runs, and hold exactly the table as the last commit that
// returned left it, or as the commit that was running would have left it,
// never a mixture.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "DiskTestSupport.h"
#include "TableFileSupport.h"
#include "disk/QELDiskCatalogCheck.h"
#include "disk/QELDiskFileCheck.h"
#include "disk/QELDiskTableCheck.h"
#include "platform/QELFaultInjection.h"
#include "platform/QELFile.h"
#include "storage/QELIndexManager.h"
#include "storage/QELRecordData.h"

namespace qel {
namespace {

using test::TOpenTable;

constexpr std::int32_t kBaseRecords = 24;

// ---- The table's content and the workload -----------------------------------

struct TRow {
  std::string Name;
  std::string Blob;  // B_NONE; empty for NULL
  std::string Memo;  // M_ZLIB; empty for NULL
  bool operator==(const TRow&) const = default;
};
using TContent = std::map<std::int32_t, TRow>;

// Pseudo-random letters: zlib shrinks them by little, so a long memo of
// them still takes pages of its own.
std::string Letters(std::uint32_t seed, std::size_t length) {
  std::mt19937 random(seed);
  std::string text(length, ' ');
  for (char& c : text) c = static_cast<char>('a' + random() % 26);
  return text;
}

TRow Row(const std::string& name, std::size_t blob, std::size_t memo, std::uint32_t seed) {
  return {name, Letters(seed, blob), Letters(seed + 1000, memo)};
}

enum TOpKind : std::uint8_t { okInsert, okUpdate, okDelete };

struct TOp {
  TOpKind Kind;
  std::int32_t Id;
  TRow Row;  // inserts and updates
};

TOp Insert(std::int32_t id, TRow row) { return {okInsert, id, std::move(row)}; }
TOp Update(std::int32_t id, TRow row) { return {okUpdate, id, std::move(row)}; }
TOp Delete(std::int32_t id) { return {okDelete, id, {}}; }

// The base table holds records 0..23 as TOpenTable inserts them: every
// fifth B_NONE value (3000 bytes) on pages of its own, memos up to a few
// thousand bytes of repeated words. Values of about 950 bytes and more take
// pages of their own.
TRow BaseRow(std::int32_t id) {
  return {"Name " + std::to_string(id * 37 % 101), test::BlobValue(id), test::MemoValue(id)};
}

const std::vector<std::vector<TOp>>& Transactions() {
  static const std::vector<std::vector<TOp>> transactions = {
      // Inserts with values of every size, a memo that grows onto pages of
      // its own and a BLOB that shrinks from its own pages onto a shared
      // one.
      {Insert(24, Row("new 24", 3000, 2500, 24)), Insert(25, Row("new 25", 40, 0, 25)),
       Insert(26, Row("new 26", 1200, 300, 26)), Insert(27, Row("new 27", 0, 4000, 27)),
       Update(1, Row("grown 1", 80, 2600, 1)), Update(5, Row("shrunk 5", 10, 50, 5))},
      // Updates to and from NULL and deletes of records with large values,
      // one of them inserted by the commit before.
      {Update(2, Row("big 2", 4000, 0, 2)), Update(3, Row("memo 3", 0, 1800, 3)),
       Update(4, {"renamed 4", test::BlobValue(4), test::MemoValue(4)}), Delete(10), Delete(11),
       Delete(24)},
      // A run of deletes, inserts and a BLOB that moves to larger pages of
      // its own.
      {Delete(0), Delete(6), Delete(7), Delete(8), Delete(9), Insert(28, Row("new 28", 3000, 3000, 28)),
       Insert(29, Row("new 29", 10, 10, 29)), Update(26, Row("new 26", 5000, 300, 126))},
      // BLOB values only, around the size where a value leaves its shared
      // page.
      {Update(12, Row("Name 40", 0, 0, 12)), Update(13, Row("Name 77", 1, 40, 13)),
       Update(14, Row("Name 13", 940, 100, 14)), Update(15, Row("Name 50", 960, 100, 15)),
       Update(16, Row("Name 87", 6000, 0, 16)), Update(17, Row("Name 23", 30, 5000, 17))},
      // Everything at once, and an id deleted before comes back.
      {Update(27, Row("new 27", 20, 20, 127)), Delete(25), Insert(30, Row("new 30", 2500, 2500, 30)),
       Update(1, Row("small 1", 5, 30, 101)), Delete(20), Update(16, Row("Name 87", 100, 0, 116)),
       Insert(10, Row("again 10", 700, 700, 110))},
  };
  return transactions;
}

// The table after 0, 1, ... commits.
const std::vector<TContent>& Models() {
  static const std::vector<TContent> models = [] {
    std::vector<TContent> all(1);
    for (std::int32_t id = 0; id < kBaseRecords; ++id) all[0][id] = BaseRow(id);
    for (const std::vector<TOp>& transaction : Transactions()) {
      TContent next = all.back();
      for (const TOp& op : transaction) {
        if (op.Kind == okDelete) {
          next.erase(op.Id);
        } else {
          next[op.Id] = op.Row;
        }
      }
      all.push_back(std::move(next));
    }
    return all;
  }();
  return models;
}

void WriteBlob(TOpenTable& t, std::int32_t fieldNo, const std::string& value) {
  std::unique_ptr<TQELBlobValueStream> stream = t.Table->OpenBlob(t.Cursor, true, false, fieldNo);
  if (!value.empty()) stream->Write(value.data(), static_cast<std::int64_t>(value.size()));
  stream->SetSize(static_cast<std::int64_t>(value.size()));
  t.Table->PostBlob(t.Cursor, fieldNo, *stream);
}

std::string ReadBlob(TOpenTable& t, std::int32_t fieldNo) {
  if (IsNull(fieldNo, t.Buffer.data())) return {};
  std::unique_ptr<TQELBlobValueStream> stream = t.Table->OpenBlob(t.Cursor, false, true, fieldNo);
  std::string value(static_cast<std::size_t>(stream->GetSize()), '\0');
  stream->SetPosition(0);
  if (!value.empty() && stream->Read(value.data(), static_cast<std::int64_t>(value.size())) !=
                            static_cast<std::int64_t>(value.size())) {
    throw std::runtime_error("short BLOB read");
  }
  return value;
}

void FillRecord(TOpenTable& t, std::int32_t id, const TRow& row) {
  std::fill(t.Buffer.begin(), t.Buffer.end(), 0);
  for (std::int32_t i = 0; i < t.Defs().Count(); ++i) SetNull(true, i, t.Buffer.data());
  SetFieldData(test::kIdField, t.Defs(), &id, t.Buffer.data());
  std::vector<char> name(static_cast<std::size_t>(t.Defs()[test::kNameField].MemoryDataSize()) + 1, 0);
  row.Name.copy(name.data(), name.size() - 1);
  SetFieldData(test::kNameField, t.Defs(), name.data(), t.Buffer.data());
  WriteBlob(t, test::kBlobField, row.Blob);
  WriteBlob(t, test::kMemoField, row.Memo);
}

// Moves the cursor to record `id` through the unique index.
void Seek(TOpenTable& t, std::int32_t id) {
  std::vector<std::uint8_t> key(t.Buffer.size(), 0);
  SetFieldData(test::kIdField, t.Defs(), &id, key.data());
  const std::int32_t active = t.Cursor.IndexID;
  t.Cursor.IndexID = t.Table->IndexManager()->IndexDefs().FindIndexByName("BY_ID")->ObjectID();
  t.Cursor.SearchKeyBuffer = key.data();
  t.Cursor.SearchKeyFieldCount = 1;
  const bool found = t.Table->SearchKey(t.Cursor, sctEqual);
  t.Cursor.IndexID = active;
  if (!found) throw std::logic_error("no record " + std::to_string(id));
}

void Apply(TOpenTable& t, const TOp& op) {
  if (op.Kind == okInsert) {
    FillRecord(t, op.Id, op.Row);
    if (!t.Table->InsertRecord(t.Cursor)) throw std::logic_error("insert refused");
    return;
  }
  Seek(t, op.Id);
  t.Table->ReleaseRecordBuffer(t.Buffer.data());
  if (op.Kind == okDelete) {
    if (!t.Table->DeleteRecord(t.Cursor)) throw std::logic_error("delete refused");
    return;
  }
  FillRecord(t, op.Id, op.Row);
  if (!t.Table->UpdateRecord(t.Cursor)) throw std::logic_error("update refused");
}

// Every record of table T, in natural order.
TContent ReadContent(TOpenTable& t) {
  TContent content;
  t.Cursor.BeforeFirst = true;
  t.Cursor.AfterLast = false;
  while (t.Table->GetRecord(t.Cursor, grmNext) == grOK) {
    std::int32_t id = -1;
    GetFieldData(test::kIdField, t.Defs(), &id, t.Buffer.data());
    std::vector<char> name(static_cast<std::size_t>(t.Defs()[test::kNameField].MemoryDataSize()) + 1, 0);
    GetFieldData(test::kNameField, t.Defs(), name.data(), t.Buffer.data());
    TRow row{name.data(), ReadBlob(t, test::kBlobField), ReadBlob(t, test::kMemoField)};
    t.Table->ReleaseRecordBuffer(t.Buffer.data());
    if (!content.emplace(id, std::move(row)).second) ADD_FAILURE() << "record " << id << " read twice";
  }
  return content;
}

// How `content` differs from `model`, briefly.
std::string Difference(const TContent& content, const TContent& model) {
  std::ostringstream out;
  int shown = 0;
  for (const auto& [id, row] : model) {
    auto found = content.find(id);
    if (found == content.end()) {
      out << " missing " << id << ";";
    } else if (!(found->second == row)) {
      out << " record " << id << " differs (name '" << found->second.Name << "', BLOB " << found->second.Blob.size()
          << " bytes, memo " << found->second.Memo.size() << " bytes);";
    } else {
      continue;
    }
    if (++shown == 6) return out.str() + " ...";
  }
  for (const auto& [id, row] : content) {
    if (model.count(id) == 0) out << " extra " << id << ";";
  }
  return out.str();
}

// ---- Running the workload under a fault -------------------------------------

// A step of the workload: a transaction begins, one record changes, or a
// transaction commits. `Commit` numbers the commit steps from 1.
struct TStep {
  std::function<void(TOpenTable&)> Run;
  int Commit = 0;
};

std::vector<TStep> Steps() {
  std::vector<TStep> steps;
  int commit = 0;
  for (const std::vector<TOp>& transaction : Transactions()) {
    steps.push_back({[](TOpenTable& t) { t.Cursor.SetSession(t.Session(), true); }});
    for (const TOp& op : transaction) steps.push_back({[op](TOpenTable& t) { Apply(t, op); }});
    steps.push_back({[](TOpenTable& t) {
                       t.Database.Commit(t.Session(), false);
                       t.Cursor.SetSession(t.Session(), false);
                     },
                     ++commit});
  }
  return steps;
}

// The base file (records 0..23), built once and copied per case.
const std::vector<std::uint8_t>& BaseFile() {
  static const std::vector<std::uint8_t> bytes = [] {
    test::TScratchDir dir;
    { TOpenTable create(dir.File("base.qel"), "", kBaseRecords); }
    return test::ReadFileBytes(dir.File("base.qel"));
  }();
  return bytes;
}

// One run of the workload on a fresh copy of the base file. The table is
// opened before a fault is armed (opening probes the file with a write and
// takes a failed one for a read-only file); the steps and the closing of
// the file are what the faults hit.
class TRun {
 public:
  TRun(std::string path, bool flushEveryCommit) : Path(std::move(path)) {
    std::filesystem::remove(TQELRollbackJournal::PathFor(Path));
    test::WriteFileBytes(Path, BaseFile());
    FTable = std::make_unique<TOpenTable>(Path, "");
    FTable->Database.SetFlushEveryCommit(flushEveryCommit);
    // Once the power is gone lock calls fail too; nobody else holds the
    // file, so waiting for its locks would only take time.
    FTable->Database.DiskPageManager().RetryPolicy = {1, 0};
  }

  std::size_t StepCount() const { return FSteps.size(); }
  int StepCommit(std::size_t step) const { return FSteps[step].Commit; }
  void RunStep(std::size_t step) {
    FSteps[step].Run(*FTable);
    if (FSteps[step].Commit != 0) Committed = FSteps[step].Commit;
  }
  // Runs the steps from `step` on, then closes the file; answers the step
  // that raised (the file then stays open) or the step count.
  std::size_t Run(std::size_t step, std::optional<EQELException>& error) {
    error.reset();
    try {
      for (; step < FSteps.size(); ++step) RunStep(step);
    } catch (const EQELException& e) {
      error = e;
      return step;
    }
    Close();
    return step;
  }
  // Closes the table and the file. Under a fault closing may fail; a
  // process that stops has nobody to tell, so the failure is dropped.
  void Close() {
    if (!FTable) return;
    try {
      FTable->Table->RemoveCursor(&FTable->Cursor);
    } catch (const EQELException&) {
    }
    try {
      FTable->Database.CloseDatabase();
    } catch (const EQELException&) {
    }
    FTable.reset();
  }

  const std::string Path;
  // The last commit that returned.
  int Committed = 0;

 private:
  std::vector<TStep> FSteps = Steps();
  std::unique_ptr<TOpenTable> FTable;
};

// The points of a sweep are the writes of a run, counted from the first
// step on, and with flushed commits its flushes too: a fault strikes at
// or just before one of them. Commit k (from 1) spans points
// Commits[k-1].first + 1 to .second of a clean run; Total includes the
// points of closing the file.
struct TPointMap {
  std::vector<std::pair<std::int64_t, std::int64_t>> Commits;
  std::int64_t Total = 0;

  // The commit the nth point belongs to; 0 for none.
  int CommitOf(std::int64_t nth) const {
    for (std::size_t k = 0; k < Commits.size(); ++k) {
      if (Commits[k].first < nth && nth <= Commits[k].second) return static_cast<int>(k) + 1;
    }
    return 0;
  }
  // The tables a file may hold when nothing from the nth point on reached
  // it: as the last commit whose points all came before left it, or as the
  // commit the nth point belongs to would.
  std::vector<int> Acceptable(std::int64_t nth) const {
    int done = 0;
    for (std::size_t k = 0; k < Commits.size(); ++k) {
      if (Commits[k].second < nth) done = static_cast<int>(k) + 1;
    }
    std::vector<int> models{done};
    if (CommitOf(nth) != 0) models.push_back(CommitOf(nth));
    return models;
  }
};

std::int64_t Points(const TQELFaultInjector& injector, bool flushes) {
  return injector.Count(fopWrite) + (flushes ? injector.Count(fopFlush) : 0);
}

TPointMap CountPoints(bool flushEveryCommit) {
  TPointMap map;
  test::TScratchDir dir;
  TRun run(dir.File("count.qel"), flushEveryCommit);
  TQELFaultInjector injector;
  test::ScopeToDatabase(injector, run.Path);
  for (std::size_t step = 0; step < run.StepCount(); ++step) {
    const std::int64_t before = Points(injector, flushEveryCommit);
    run.RunStep(step);
    if (run.StepCommit(step) != 0) map.Commits.emplace_back(before, Points(injector, flushEveryCommit));
  }
  run.Close();
  map.Total = Points(injector, flushEveryCommit);
  return map;
}

// Writes of plain commits; writes and flushes of flushed ones.
const TPointMap& CleanPoints(bool flushEveryCommit) {
  static const TPointMap plain = CountPoints(false);
  static const TPointMap flushed = CountPoints(true);
  return flushEveryCommit ? flushed : plain;
}

// ---- Reopening and checking ---------------------------------------------------

// What the file holds when reopened with the plain file layer, which rolls
// a journal left hot back, and what the checks of qel check find in it.
struct TReopened {
  bool Opened = false;
  std::string Error;
  TContent Content;
  bool NeedRepair = false;
  std::vector<std::string> Faults;
};

TReopened Reopen(const std::string& path) {
  TReopened file;
  if (QELActiveFileHook() != nullptr) throw std::logic_error("a file hook is still installed");
  try {
    TOpenTable t(path, "");
    file.Content = ReadContent(t);
  } catch (const EQELException& e) {
    file.Error = e.what();
    return file;
  }
  file.Opened = true;
  // The checks of qel check, on the file opened read-only.
  try {
    TQELDiskDatabaseData database(path);
    file.NeedRepair = database.Open({}, {.ReadOnly = true}).NeedRepair;
    for (const TQELFileFault& fault : CheckDiskFile(database.DiskPageManager()).Faults) {
      file.Faults.push_back("page " + std::to_string(fault.PageNo) + ": " + fault.Message);
    }
    for (const TQELFileFault& fault : CheckDiskCatalog(database.DiskPageManager())) {
      file.Faults.push_back("catalog, page " + std::to_string(fault.PageNo) + ": " + fault.Message);
    }
    for (const TQELDiskTableSummary& table : CheckDiskTables(database)) {
      for (const TQELTableFault& fault : table.Faults) file.Faults.push_back(FormatTableFault(fault));
    }
  } catch (const EQELException& e) {
    file.Faults.push_back(std::string("cannot be checked: ") + e.what());
  }
  return file;
}

// The file opens, passes every check and holds the table as one of the
// `acceptable` commits left it; answers which, or -1.
int ExpectWholeCommit(const std::string& path, const std::vector<int>& acceptable) {
  const TReopened file = Reopen(path);
  if (!file.Opened) {
    ADD_FAILURE() << "the file does not open: " << file.Error;
    return -1;
  }
  EXPECT_FALSE(file.NeedRepair) << "the header says the file needs repair";
  if (!file.Faults.empty()) {
    std::ostringstream faults;
    for (std::size_t i = 0; i < file.Faults.size() && i < 4; ++i) faults << "\n  " << file.Faults[i];
    ADD_FAILURE() << file.Faults.size() << " faults:" << faults.str();
  }
  for (const int k : acceptable) {
    if (file.Content == Models()[static_cast<std::size_t>(k)]) return k;
  }
  std::ostringstream message;
  message << "the table is as no commit left it";
  for (const int k : acceptable) {
    message << "\n  against commit " << k << ":" << Difference(file.Content, Models()[static_cast<std::size_t>(k)]);
  }
  ADD_FAILURE() << message.str();
  return -1;
}

#if defined(__SANITIZE_ADDRESS__)
// The sanitizers check memory safety on the paths the faults open; every
// other point (and every sixth one of the power-loss sweeps) covers those
// paths at a fraction of the time.
constexpr std::int64_t kStride = 2;
constexpr std::int64_t kPowerStride = 6;
#else
// Every point: a run takes milliseconds.
constexpr std::int64_t kStride = 1;
constexpr std::int64_t kPowerStride = 3;
#endif

TEST(CrashAtomicityTest, TheCleanWorkloadLeavesTheLastCommit) {
  const TPointMap& writes = CleanPoints(false);
  ASSERT_EQ(writes.Commits.size(), Transactions().size());
  for (const auto& [first, last] : writes.Commits) EXPECT_LT(first, last) << "a commit wrote nothing";
  test::TScratchDir dir;
  TRun run(dir.File("clean.qel"), false);
  std::optional<EQELException> error;
  ASSERT_EQ(run.Run(0, error), run.StepCount()) << error->what();
  EXPECT_EQ(ExpectWholeCommit(run.Path, {static_cast<int>(Transactions().size())}),
            static_cast<int>(Transactions().size()));
}

// ---- Crashes and I/O errors at each write ---------------------------------

enum TFault : std::uint8_t {
  // The process crashes at the nth write and runs on unaware: that write
  // and all later ones are lost.
  fCrash,
  // The nth write and every later one fail; the workload stops at the
  // error.
  fErrorsFrom,
  // The nth write fails once; the step that raised is run again and the
  // workload must complete.
  fErrorOnceThenRetry,
};

struct TSweep {
  const char* Name;
  TFault Fault;
};

class CrashAtomicityTest : public testing::TestWithParam<TSweep> {};

TEST_P(CrashAtomicityTest, EveryWriteFaultLeavesOneWholeCommit) {
  const TSweep& sweep = GetParam();
  const TPointMap& writes = CleanPoints(false);
  const int last = static_cast<int>(writes.Commits.size());
  test::TScratchDir dir;
  const std::string path = dir.File("crash.qel");
  for (std::int64_t nth = 1; nth <= writes.Total; nth += kStride) {
    SCOPED_TRACE(testing::Message() << sweep.Name << " at write " << nth << " of " << writes.Total
                                    << " (commit " << writes.CommitOf(nth) << ")");
    TRun run(path, false);
    std::vector<int> acceptable;
    {
      TQELFaultInjector injector;
      test::ScopeToDatabase(injector, run.Path);
      std::optional<EQELException> error;
      switch (sweep.Fault) {
        case fCrash:
          injector.CrashAtWrite(nth, cmDropWrites);
          run.Run(0, error);
          EXPECT_TRUE(injector.Crashed());
          acceptable = writes.Acceptable(nth);
          break;
        case fErrorsFrom:
          injector.FailFrom(fopWrite, nth);
          run.Run(0, error);
          // A commit that meets the error raises; one that raised is not
          // in the file.
          if (writes.CommitOf(nth) != 0) {
            EXPECT_TRUE(error.has_value()) << "the error passed unseen";
            EXPECT_EQ(run.Committed, writes.CommitOf(nth) - 1);
          }
          acceptable = {run.Committed};
          break;
        case fErrorOnceThenRetry: {
          injector.FailOnce(fopWrite, nth);
          const std::size_t failed = run.Run(0, error);
          if (error.has_value()) {
            const std::string first = error->what();
            injector.ClearFaults();
            ASSERT_EQ(run.Run(failed, error), run.StepCount())
                << error->what() << "\nafter step " << failed << " raised: " << first;
          }
          EXPECT_EQ(run.Committed, last);
          acceptable = {last};
          break;
        }
      }
      run.Close();
    }
    ExpectWholeCommit(path, acceptable);
  }
}

std::string SweepName(const testing::TestParamInfo<TSweep>& info) { return info.param.Name; }

INSTANTIATE_TEST_SUITE_P(CrashAtomicity, CrashAtomicityTest,
                         testing::Values(TSweep{"crash", fCrash}, TSweep{"errors_from", fErrorsFrom},
                                         TSweep{"error_once_then_retry", fErrorOnceThenRetry}),
                         SweepName);

// A process that meets I/O errors mid-transaction and drops its handles:
// closing the file fails to write what it held back, and the database's
// destructor must swallow that failure, as the page manager's does,
// rather than end the process.
TEST(CrashAtomicityTest, ADatabaseWhoseClosingFailsIsDestroyedQuietly) {
  test::TScratchDir dir;
  const std::string path = dir.File("close.qel");
  test::WriteFileBytes(path, BaseFile());
  EXPECT_EXIT(
      {
        {
          TQELFaultInjector injector;
          test::ScopeToDatabase(injector, path);
          TOpenTable t(path, "");
          t.Cursor.SetSession(t.Session(), true);
          Apply(t, Insert(100, Row("held", 3000, 0, 100)));
          injector.FailFrom(fopWrite, injector.Count(fopWrite) + 1);
        }
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

// A transaction neither committed nor rolled back when its file is closed
// (left open, or given up after its commit failed) leaves the file as it
// was: its pages were never written, so nothing may mark them used.
TEST(CrashAtomicityTest, AnUncommittedTransactionLeavesNoTraceWhenTheFileIsClosed) {
  for (const bool commitFailed : {false, true}) {
    SCOPED_TRACE(commitFailed ? "the commit failed" : "left open");
    test::TScratchDir dir;
    const std::string path = dir.File("open.qel");
    test::WriteFileBytes(path, BaseFile());
    {
      TQELFaultInjector injector;
      test::ScopeToDatabase(injector, path);
      TOpenTable t(path, "");
      t.Cursor.SetSession(t.Session(), true);
      Apply(t, Insert(100, Row("never committed", 3000, 0, 100)));
      if (commitFailed) {
        // Both tries of the journal's write fail.
        injector.Fail(fopWrite, injector.Count(fopWrite) + 1, 2);
        EXPECT_THROW(t.Database.Commit(t.Session()), EQELException);
      }
    }
    ExpectWholeCommit(path, {0});
  }
}

// ---- Power loss during flushed commits ------------------------------------

// Hands every file operation on to the injector, but first cuts the power
// just before the nth write or flush of the database file and its journal:
// that operation and all later ones fail. Cutting before a flush leaves the
// writes it would have made durable unsynced, such as the journal's own
// write and the clearing of its signature.
class TPowerCut final : public TQELFileHook {
 public:
  TPowerCut(TQELFaultInjector& injector, const std::string& path, std::int64_t nth)
      : FInjector(injector), FPath(path), FJournal(TQELRollbackJournal::PathFor(path)), FNth(nth) {
    QELSetFileHook(this);
  }
  ~TPowerCut() override { QELSetFileHook(nullptr); }
  TPowerCut(const TPowerCut&) = delete;
  TPowerCut& operator=(const TPowerCut&) = delete;

  TQELFileVerdict Before(TQELFile& file, const TQELFileRequest& request) override {
    const bool point = request.Operation == fopWrite || request.Operation == fopFlush;
    if (point && (file.FileName() == FPath || file.FileName() == FJournal) && ++FSeen == FNth) {
      FInjector.Crash(cmFailAll);
    }
    return FInjector.Before(file, request);
  }
  void After(TQELFile& file, const TQELFileRequest& request, bool succeeded) override {
    FInjector.After(file, request, succeeded);
  }

 private:
  TQELFaultInjector& FInjector;
  const std::string FPath;
  const std::string FJournal;
  const std::int64_t FNth;
  std::int64_t FSeen = 0;
};

struct TPowerLossCase {
  const char* Name;
  // Whether one unsynced write survives torn, and how.
  bool Torn;
  TQELTear Tear;
  // The first point of the sweep (see below).
  std::int64_t First;
};

class CrashAtomicityPowerLossTest : public testing::TestWithParam<TPowerLossCase> {};

// With every commit flushed, the power fails just before the nth write or
// flush: every write not yet flushed is lost, but for one that survives
// torn, the last of them or one in the middle. The commits that returned
// are all there, and the one that was running is all there or not at all.
//
// Every run flushes a dozen times for real, so each kind visits every
// third point only, the kinds starting one point apart: between them they
// tear the last unsynced write at every point. (A torn middle write leaves
// what the same tear of that write as the last one would leave, as long as
// no flush came between; it adds a second tear per point cheaply.)
TEST_P(CrashAtomicityPowerLossTest, FlushedCommitsSurviveAndTheRunningOneIsAllOrNothing) {
  const TPowerLossCase& loss = GetParam();
  const TPointMap& points = CleanPoints(true);
  test::TScratchDir dir;
  const std::string path = dir.File("power.qel");
  for (std::int64_t nth = loss.First; nth <= points.Total; nth += kPowerStride) {
    // 0: the last unsynced write survives torn; 1: the middle one.
    for (int which = 0; which < (loss.Torn ? 2 : 1); ++which) {
      SCOPED_TRACE(testing::Message() << loss.Name << (which == 0 ? ", last" : ", middle")
                                      << " write torn, power lost before point " << nth << " of "
                                      << points.Total << " (commit " << points.CommitOf(nth) << ")");
      TRun run(path, true);
      bool lost = false;
      {
        TQELFaultInjector injector(false);
        test::ScopeToDatabase(injector, path);
        const TPowerCut cut(injector, path, nth);
        std::optional<EQELException> error;
        run.Run(0, error);
        const std::int64_t unsynced = injector.UnsyncedWrites();
        TQELPowerLossOptions options;
        options.Tear = loss.Tear;
        options.Seed = static_cast<std::uint32_t>(nth);
        if (loss.Torn) options.TornWrite = which == 0 ? unsynced - 1 : (unsynced - 1) / 2;
        // Skipped: nothing to tear, or the middle write is the last one.
        if (!loss.Torn || (unsynced > 0 && (which == 0 || options.TornWrite < unsynced - 1))) {
          EXPECT_TRUE(injector.PowerLoss(options));
          lost = true;
        }
        run.Close();
      }
      if (lost) ExpectWholeCommit(path, points.Acceptable(nth));
    }
  }
}

std::string PowerLossName(const testing::TestParamInfo<TPowerLossCase>& info) { return info.param.Name; }

INSTANTIATE_TEST_SUITE_P(CrashAtomicity, CrashAtomicityPowerLossTest,
                         testing::Values(TPowerLossCase{"untorn", false, tearAlternateSectors, 1},
                                         TPowerLossCase{"alternate_sectors", true, tearAlternateSectors, 1},
                                         TPowerLossCase{"prefix", true, tearPrefix, 2},
                                         TPowerLossCase{"garbage", true, tearGarbage, 3}),
                         PowerLossName);

}  // namespace
}  // namespace qel
