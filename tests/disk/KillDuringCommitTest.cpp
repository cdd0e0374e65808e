// A writer process killed at random moments while it runs an endless stream
// of transactions on table T: after every kill the file opens, and the
// table holds exactly the state of the last commit the writer reported, or
// of the one it was making when it died; never a mixture, never less; and
// the file, catalog and table checks are clean. In multi-user mode that
// takes the reader giving back the pages the killed writer had taken (see
// the test).
//
// Transaction k is a function of k and the state before it, so the parent
// knows the state after any commit without sharing memory with the writer;
// the table's counter record tells which commit the file holds, and the
// next writer continues the stream from there.
//
// Half the kills come from the parent a random time after one of the
// writer's first commits starts: from ten microseconds to a few
// milliseconds, spread evenly over the logarithm, so that some fall inside
// the commit and the rest in the transactions after it. Where such a kill
// lands depends on the scheduler, so on a busy machine none may hit the
// short moment while a commit is going to the file; the other half make
// sure some do: the writer sends itself SIGKILL just before its Nth write
// to the file or its journal. The kill moments come from a seed printed at
// the start of each test; QEL_KILL_SEED=<n> replays them.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionSupport.h"
#include "TableFileSupport.h"
#include "disk/QELDiskCatalogCheck.h"
#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskFileCheck.h"
#include "disk/QELDiskTableCheck.h"
#include "disk/QELDiskTableData.h"
#include "disk/QELRollbackJournal.h"
#include "disk/QELTakenPagesFile.h"
#include "platform/QELFaultInjection.h"
#include "platform/QELFile.h"
#include "storage/QELRecordData.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

using test::kBlobField;
using test::kIdField;
using test::kMemoField;
using test::kNameField;
using test::TChildProcess;

#if defined(__SANITIZE_ADDRESS__)
// The sanitizers check memory safety; more kills add only time.
constexpr int kSingleUserKills = 100;
#else
constexpr int kSingleUserKills = 200;
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr int kMultiUserKills = 50;
#else
constexpr int kMultiUserKills = 100;
#endif
constexpr double kMinDelayUs = 10;
constexpr double kMaxDelayUs = 4000;
// A kill at a write comes before one of the writer's first this many
// writes: a commit of the stream makes thirty to forty, so the kills fall
// over its first three commits.
constexpr int kMaxKillWrite = 100;

// ---- The transaction stream --------------------------------------------------

// The table as the stream leaves it: record id -> version. Every value of a
// record follows from its id and version.
using TModel = std::map<std::int32_t, std::int32_t>;

// Transaction k sets the counter record's version to k; other records get
// the version k * kOpsPerTransaction + the operation's place.
constexpr std::int32_t kCounterId = -1;
constexpr std::int32_t kOpsPerTransaction = 16;

enum class TOpKind { Insert, Update, Delete };
struct TOp {
  TOpKind Kind;
  std::int32_t Id;
  std::int32_t Version;
};

// The operations of transaction k (k >= 1) on the state `model` holds,
// applied to `model`: the counter, three inserts of new ids, three updates
// and one to four deletes of records chosen among the present ones (those
// inserted earlier in the same transaction too), in an order of their own.
std::vector<TOp> Advance(TModel& model, std::int32_t k) {
  std::mt19937 random(static_cast<std::uint32_t>(k) * 2654435761u + 17u);
  std::vector<TOpKind> kinds = {TOpKind::Insert, TOpKind::Insert, TOpKind::Insert,
                                TOpKind::Update, TOpKind::Update, TOpKind::Update};
  // About fifty records: the table's pages are freed as often as taken.
  for (int d = model.size() > 48 ? 4 : 1; d > 0; --d) kinds.push_back(TOpKind::Delete);
  std::shuffle(kinds.begin(), kinds.end(), random);

  std::vector<TOp> ops;
  ops.push_back({k == 1 ? TOpKind::Insert : TOpKind::Update, kCounterId, k});
  model[kCounterId] = k;
  std::int32_t nextId = k * 4;
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    const std::int32_t version = k * kOpsPerTransaction + static_cast<std::int32_t>(i) + 1;
    if (kinds[i] == TOpKind::Insert) {
      ops.push_back({TOpKind::Insert, nextId, version});
      model[nextId++] = version;
      continue;
    }
    if (model.size() < 2) continue;  // only the counter
    auto record = std::next(model.begin(), 1 + static_cast<std::ptrdiff_t>(random() % (model.size() - 1)));
    ops.push_back({kinds[i], record->first, version});
    if (kinds[i] == TOpKind::Update) {
      record->second = version;
    } else {
      model.erase(record);
    }
  }
  return ops;
}

// One record's values.
struct TRow {
  std::string Name;
  std::string Blob;  // empty: NULL
  std::string Memo;  // empty: NULL
  bool operator==(const TRow&) const = default;
};

std::uint32_t Mix(std::int32_t id, std::int32_t version, std::uint32_t salt) {
  std::uint32_t h = static_cast<std::uint32_t>(id) * 0x9E3779B1u ^
                    static_cast<std::uint32_t>(version) * 0x85EBCA77u ^ salt;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

// Pages are 1024 bytes: a BLOB value above about 950 stored bytes takes
// pages of its own, a smaller one shares a page. Memos of random letters
// stay large after compression; memos of words shrink to a shared entry.
TRow RowOf(std::int32_t id, std::int32_t version) {
  TRow row;
  row.Name = "r" + std::to_string(id) + " v" + std::to_string(version);
  const std::uint32_t b = Mix(id, version, 1);
  if (b % 5 == 1) {
    row.Blob.resize(1200 + b / 5 % 2500);
  } else if (b % 5 != 0) {
    row.Blob.resize(1 + b / 5 % 400);
  }
  for (std::size_t i = 0; i < row.Blob.size(); ++i) row.Blob[i] = static_cast<char>((b >> 8) + i * 7);
  const std::uint32_t m = Mix(id, version, 2);
  if (m % 6 == 1) {
    std::mt19937 letters(m);
    row.Memo.resize(2000 + m / 6 % 2500);
    for (char& c : row.Memo) c = static_cast<char>('a' + letters() % 26);
  } else if (m % 6 != 0) {
    static const char* const kWords[] = {"basis ", "data ", "indeks ", "tabel ", "kunci ", "berkas "};
    const std::size_t length = 20 + m / 6 % 1500;
    for (std::size_t i = 0; row.Memo.size() < length; ++i) row.Memo += kWords[(i * 5 + m) % 6];
    row.Memo.resize(length);
  }
  return row;
}

// ---- A connection to the file ------------------------------------------------


// A session on the file with table T open, as the application opens it.
class TConnection : public test::TTableConnection {
 public:
  TConnection(const std::string& fileName, bool multiUser) : TTableConnection(fileName, multiUser) {
    ById = Table->IndexManager()->IndexDefs().FindIndexByName("BY_ID")->ObjectID();
  }


  // Makes the changes of a transaction; Commit commits them.
  void Change(const std::vector<TOp>& ops) {
    if (Database.MultiUser() && !Table->LockTable(ID(), 3, 100000, 1, 20)) {
      throw EQELException(1, "no transaction lock");
    }
    Cursor.SetSession(ID(), true);
    for (const TOp& op : ops) {
      bool done = false;
      if (op.Kind == TOpKind::Insert) {
        Fill(op.Id, op.Version);
        done = Table->InsertRecord(Cursor);
      } else if (op.Kind == TOpKind::Update) {
        Seek(op.Id);
        Table->ReleaseRecordBuffer(Buffer.data());
        Fill(op.Id, op.Version);
        done = Table->UpdateRecord(Cursor);
      } else {
        Seek(op.Id);
        done = Table->DeleteRecord(Cursor);
      }
      if (!done) throw EQELException(1, "operation %d on record %d failed", {static_cast<int>(op.Kind), op.Id});
    }
  }
  // Every record, read in natural order.
  std::map<std::int32_t, TRow> Rows() {
    std::map<std::int32_t, TRow> rows;
    Cursor.IndexID = -1;
    Cursor.BeforeFirst = true;
    Cursor.AfterLast = false;
    while (Table->GetRecord(Cursor, grmNext) == grOK) {
      std::int32_t id = 0;
      GetFieldData(kIdField, Defs(), &id, Buffer.data());
      std::vector<char> name(static_cast<std::size_t>(Defs()[kNameField].MemoryDataSize()) + 1, 0);
      GetFieldData(kNameField, Defs(), name.data(), Buffer.data());
      TRow row{name.data(), ReadBlob(kBlobField), ReadBlob(kMemoField)};
      Table->ReleaseRecordBuffer(Buffer.data());
      if (!rows.emplace(id, std::move(row)).second) rows[id].Name += " (twice)";
    }
    return rows;
  }

  std::int32_t ById = -1;

 private:
  void Seek(std::int32_t id) {
    std::vector<std::uint8_t> key(Buffer.size(), 0);
    SetFieldData(kIdField, Defs(), &id, key.data());
    Cursor.IndexID = ById;
    Cursor.SearchKeyBuffer = key.data();
    Cursor.SearchKeyFieldCount = 1;
    const bool found = Table->SearchKey(Cursor, sctEqual);
    Cursor.IndexID = -1;
    if (!found) throw EQELException(1, "record %d not found", {id});
  }
  void Fill(std::int32_t id, std::int32_t version) {
    const TRow row = RowOf(id, version);
    std::fill(Buffer.begin(), Buffer.end(), 0);
    for (std::int32_t i = 0; i < Defs().Count(); ++i) SetNull(true, i, Buffer.data());
    SetFieldData(kIdField, Defs(), &id, Buffer.data());
    std::vector<char> name(static_cast<std::size_t>(Defs()[kNameField].MemoryDataSize()) + 1, 0);
    std::memcpy(name.data(), row.Name.data(), row.Name.size());
    SetFieldData(kNameField, Defs(), name.data(), Buffer.data());
    WriteBlob(kBlobField, row.Blob);
    WriteBlob(kMemoField, row.Memo);
  }
  void WriteBlob(std::int32_t fieldNo, const std::string& value) {
    std::unique_ptr<TQELBlobValueStream> stream = Table->OpenBlob(Cursor, true, false, fieldNo);
    if (!value.empty()) stream->Write(value.data(), static_cast<std::int64_t>(value.size()));
    stream->SetSize(static_cast<std::int64_t>(value.size()));
    Table->PostBlob(Cursor, fieldNo, *stream);
  }
  std::string ReadBlob(std::int32_t fieldNo) {
    std::unique_ptr<TQELBlobValueStream> stream = Table->OpenBlob(Cursor, false, true, fieldNo);
    std::string value(static_cast<std::size_t>(stream->GetSize()), '\0');
    stream->SetPosition(0);
    if (!value.empty() && stream->Read(value.data(), static_cast<std::int64_t>(value.size())) !=
                              static_cast<std::int64_t>(value.size())) {
      value = "(short read)";
    }
    // A NULL field must read as no value, and an empty value as NULL.
    if (IsNull(fieldNo, Buffer.data()) != value.empty()) value += " (NULL flag wrong)";
    return value;
  }
};

// A fault the checks report, as qel check prints it, and the page it names
// (-1 for none).
struct TFault {
  std::string Text;
  std::int32_t PageNo = -1;
};

// What qel check reports for the open file: its pages, its system files
// and every table.
std::vector<TFault> CheckFaults(TConnection& connection) {
  std::vector<TFault> faults;
  TQELDiskPageManager& pages = connection.Database.DiskPageManager();
  std::vector<TQELFileFault> fileFaults = CheckDiskFile(pages).Faults;
  for (TQELFileFault& fault : CheckDiskCatalog(pages)) fileFaults.push_back(std::move(fault));
  for (const TQELFileFault& fault : fileFaults) {
    faults.push_back({(fault.PageNo >= 0 ? "page " + std::to_string(fault.PageNo) : std::string("file")) + ": " +
                          fault.Message,
                      fault.PageNo});
  }
  for (const TQELDiskTableSummary& table : CheckDiskTables(connection.Database)) {
    for (const TQELTableFault& fault : table.Faults) faults.push_back({FormatTableFault(fault), fault.PageNo});
  }
  return faults;
}

// The first few differences between the table and the model's state.
std::string Differences(const std::map<std::int32_t, TRow>& rows, const TModel& model) {
  std::ostringstream out;
  int shown = 0;
  for (const auto& [id, version] : model) {
    if (shown >= 5) break;
    const auto row = rows.find(id);
    if (row == rows.end()) {
      out << "record " << id << " (version " << version << ") is missing; ";
      ++shown;
    } else if (!(row->second == RowOf(id, version))) {
      const TRow expected = RowOf(id, version);
      out << "record " << id << ": name '" << row->second.Name << "', expected '" << expected.Name
          << "'; BLOB " << row->second.Blob.size() << " bytes"
          << (row->second.Blob == expected.Blob ? "" : " (wrong)") << ", memo " << row->second.Memo.size()
          << " bytes" << (row->second.Memo == expected.Memo ? "" : " (wrong)")
          << "; ";
      ++shown;
    }
  }
  for (const auto& [id, row] : rows) {
    if (shown < 5 && model.count(id) == 0) {
      out << "record " << id << " ('" << row.Name << "') should not be there; ";
      ++shown;
    }
  }
  return out.str();
}

// Which commit the table holds: the counter record's version, 0 before the
// first commit of the stream.
std::int32_t FoundCommit(const std::map<std::int32_t, TRow>& rows) {
  const auto counter = rows.find(kCounterId);
  if (counter == rows.end()) return 0;
  const std::string& name = counter->second.Name;
  return std::atoi(name.c_str() + name.find(" v") + 2);
}

std::uint32_t Seed(std::uint32_t fallback) {
  const char* text = std::getenv("QEL_KILL_SEED");
  return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

// ---- The kills -----------------------------------------------------------------

// How a writer dies: SIGKILL from the parent `DelayUs` after its commit
// number `Commit` starts, or from itself just before its write number
// `AtWrite` (counted over the database file and its journal) when that is
// above 0.
struct TKill {
  int Commit = 1;
  int DelayUs = 0;
  int AtWrite = 0;
  std::string Describe(std::int32_t found) const {
    if (AtWrite > 0) return "at write " + std::to_string(AtWrite);
    return std::to_string(DelayUs) + " us after commit " + std::to_string(found + Commit) + " started";
  }
};

// A file hook in the writer that kills the process just before its Nth
// write to the database file, its journal or its list of taken pages: the
// write and everything after it never happen, as when a process dies at
// that moment.
class TDieAtWrite final : public TQELFileHook {
 public:
  TDieAtWrite(const std::string& fileName, int nth)
      : FFileName(fileName),
        FJournalName(TQELRollbackJournal::PathFor(fileName)),
        FTakenName(TQELTakenPagesFile::PathFor(fileName)),
        FLeft(nth) {
    QELSetFileHook(this);
  }
  ~TDieAtWrite() override { QELSetFileHook(nullptr); }
  TDieAtWrite(const TDieAtWrite&) = delete;
  TDieAtWrite& operator=(const TDieAtWrite&) = delete;

  TQELFileVerdict Before(TQELFile& file, const TQELFileRequest& request) override {
    if (request.Operation == fopWrite &&
        (file.FileName() == FFileName || file.FileName() == FJournalName || file.FileName() == FTakenName) &&
        --FLeft == 0) {
      ::raise(SIGKILL);
    }
    return {};
  }
  void After(TQELFile&, const TQELFileRequest&, bool) override {}

 private:
  std::string FFileName;
  std::string FJournalName;
  std::string FTakenName;
  int FLeft;
};

class KillDuringCommitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::TOpenTable create(FileName, "", 0);
  }

  // The writer: continues the stream after commit `start` (whose state is
  // `model`) until it is killed. On `report` it writes -k as commit k
  // starts and k once Commit has returned.
  int Writer(TChildProcess& self, bool multiUser, std::int32_t start, TModel model, int report, int dieAtWrite) {
    try {
      TConnection connection(FileName, multiUser);
      if (connection.Session.ReadOnly || connection.Database.MultiUser() != multiUser) return test::kChildRefused;
      std::unique_ptr<TDieAtWrite> die;
      if (dieAtWrite > 0) die = std::make_unique<TDieAtWrite>(FileName, dieAtWrite);
      self.SignalReady();
      for (std::int32_t k = start + 1;; ++k) {
        connection.Change(Advance(model, k));
        const std::int32_t starting = -k;
        if (::write(report, &starting, sizeof starting) != sizeof starting) return test::kChildFailed;
        connection.Commit();
        if (::write(report, &k, sizeof k) != sizeof k) return test::kChildFailed;
      }
    } catch (const std::exception& e) {
      std::ofstream(Dir.File("writer-error")) << e.what();
    }
    return test::kChildFailed;
  }

  // One writer killed as `kill` says; then the file is opened (in
  // multi-user mode when `multiUserReader`) and checked against the
  // stream, and `found` and `model` move on to the commit it holds.
  void KillOnce(bool multiUser, bool multiUserReader, const TKill& kill, std::int32_t& found, TModel& model,
                std::vector<TFault>& faults) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    std::vector<std::int32_t> reported;
    {
      const std::int32_t start = found;
      TChildProcess writer([&](TChildProcess& self) {
        ::close(report[0]);
        return Writer(self, multiUser, start, model, report[1], kill.AtWrite);
      });
      ::close(report[1]);
      bool ready = writer.AwaitReady(std::chrono::seconds(30));
      // A writer that kills itself is only waited for.
      for (int started = 0; ready && kill.AtWrite == 0 && started < kill.Commit;) {
        pollfd readable{report[0], POLLIN, 0};
        std::int32_t k = 0;
        ready = ::poll(&readable, 1, 30000) == 1 && ::read(report[0], &k, sizeof k) == sizeof k;
        if (k < 0) {
          ++started;
        } else if (k > 0) {
          reported.push_back(k);
        }
      }
      if (ready && kill.AtWrite == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(kill.DelayUs));
        writer.Kill();
      }
      const int status = writer.Wait(std::chrono::seconds(30));
      for (std::int32_t k = 0; ::read(report[0], &k, sizeof k) == sizeof k;) {
        if (k > 0) reported.push_back(k);
      }
      ::close(report[0]);
      std::ifstream error(Dir.File("writer-error"));
      const std::string why((std::istreambuf_iterator<char>(error)), std::istreambuf_iterator<char>());
      ASSERT_TRUE(ready && status == -1) << "the writer ended by itself with status " << status << ": " << why;
    }
    for (std::size_t i = 0; i < reported.size(); ++i) {
      ASSERT_EQ(reported[i], found + 1 + static_cast<std::int32_t>(i)) << "reports out of order";
    }
    const std::int32_t last = reported.empty() ? found : reported.back();
    {
      TQELRollbackJournal journal;
      journal.Attach(FileName, false);
      if (journal.IsValid()) ++HotJournals;
      journal.Detach();
    }

    std::unique_ptr<TConnection> reader;
    try {
      reader = std::make_unique<TConnection>(FileName, multiUserReader);
    } catch (const std::exception& e) {
      FAIL() << "the file does not open after the kill: " << e.what();
    }
    EXPECT_FALSE(reader->Session.NeedRepair) << "a rolled-back commit leaves the file as the last one did";
    // The reader took the writer's session id, or opened the file alone:
    // it gave back every page the writer had taken and not committed.
    ReclaimedPages += reader->Database.ReclaimedPages();
    EXPECT_EQ(reader->Database.DiskPageManager().ListedTakenPages(), std::vector<std::int32_t>{});
    std::map<std::int32_t, TRow> rows;
    try {
      faults = CheckFaults(*reader);
      rows = reader->Rows();
    } catch (const std::exception& e) {
      FAIL() << "the table cannot be read after the kill: " << e.what();
    }
    const std::int32_t k = FoundCommit(rows);
    ASSERT_TRUE(k == last || k == last + 1)
        << "the file holds commit " << k << ", but the writer reported " << last << " as its last";
    for (std::int32_t next = found + 1; next <= k; ++next) Advance(model, next);
    ASSERT_EQ(Differences(rows, model), "") << "the table is not the state of commit " << k;
    found = k;
    if (k == last + 1) ++UnreportedCommits;
    Reported += static_cast<int>(reported.size());
  }

  // `kills` writers in turn, each killed after a random delay; every fault
  // the checks report goes through `onFaults`, which fails the test for
  // faults it does not expect.
  template <class TOnFaults>
  void RunKills(bool multiUser, int kills, std::uint32_t defaultSeed, TOnFaults onFaults) {
    const std::uint32_t seed = Seed(defaultSeed);
    std::cout << "[ seed     ] QEL_KILL_SEED=" << seed << '\n';
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> logDelays(std::log(kMinDelayUs), std::log(kMaxDelayUs));
    std::uniform_int_distribution<int> commits(1, 3);
    std::uniform_int_distribution<int> writes(1, kMaxKillWrite);
    std::int32_t found = 0;
    TModel model;
    for (int kill = 0; kill < kills; ++kill) {
      TKill how;
      how.Commit = commits(random);
      how.DelayUs = static_cast<int>(std::exp(logDelays(random)));
      if (kill % 2 == 1) how.AtWrite = writes(random);
      SCOPED_TRACE("QEL_KILL_SEED=" + std::to_string(seed) + ", kill " + std::to_string(kill) + ", " +
                   how.Describe(found) + ", file at commit " + std::to_string(found));
      std::vector<TFault> faults;
      KillOnce(multiUser, multiUser && kill / 2 % 2 == 1, how, found, model, faults);
      if (HasFatalFailure()) return;
      onFaults(kill, faults);
      if (HasFatalFailure()) return;
    }
    std::cout << "[ kills    ] " << kills << " kills, " << found << " commits (" << Reported << " reported, "
              << UnreportedCommits << " found in the file unreported), " << HotJournals
              << " journals left hot, " << ReclaimedPages << " taken pages given back\n";
    // Some kills must have come while a commit was going to the file.
    if (kills >= 60) {
      EXPECT_GT(HotJournals, 0) << "no kill came while a commit was being written";
    }
  }

  test::TScratchDir Dir;
  std::string FileName = Dir.File("killed.qel");
  int HotJournals = 0;
  int UnreportedCommits = 0;
  int Reported = 0;
  int ReclaimedPages = 0;
};

TEST_F(KillDuringCommitTest, SingleUserWriterKilledLeavesTheLastCommitWhole) {
  RunKills(false, kSingleUserKills, 20240611u, [](int, const std::vector<TFault>& faults) {
    ASSERT_TRUE(faults.empty()) << faults.size() << " faults, the first: " << faults.front().Text;
  });
}

// In multi-user mode a writer's page allocations go to the file at once,
// each as a change of its own, before the commit that writes the pages. A
// writer killed in between leaves them marked used, listed under its
// session id; the reader, which takes that id (a multi-user reader) or
// opens the file alone (a single-user one), gives them back before it
// checks. Without that the checks would report them, as "the page has no
// page signature" (nothing was written to it), or as a record page of T in
// use but not in its record pages index (the commit the kill cut short had
// written it).
TEST_F(KillDuringCommitTest, MultiUserWriterKilledLeavesTheLastCommitWholeAndItsTakenPagesGivenBack) {
  RunKills(true, kMultiUserKills, 20240612u, [](int, const std::vector<TFault>& faults) {
    ASSERT_TRUE(faults.empty()) << faults.size() << " faults, the first: " << faults.front().Text;
  });
  EXPECT_GT(ReclaimedPages, 0) << "no kill left taken pages to give back";
}

}  // namespace
}  // namespace qel
