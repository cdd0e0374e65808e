// A child process runs an endless stream of SQL units on table catat (a
// statement alone in its implicit transaction, or a few statements between
// START TRANSACTION and COMMIT or ROLLBACK) and is killed with SIGKILL at
// random moments, in single-user and in multi-user mode. It reports each
// unit through a pipe as it starts and again once it has returned. After
// every kill the file opens without repair and holds exactly the units
// reported done, plus at most the one that was running (whose COMMIT may
// have reached the file before the kill); nothing of a rolled-back or
// cut-short unit; and it checks clean. The next child goes on from there.
//
// Unit k is a function of k and the table before it, so the parent knows
// the table after any unit without sharing memory with the child.
//
// Half the kills come from the parent a random time (ten microseconds to a
// few milliseconds, even over the logarithm) after one of the child's
// first units returned; the other half from the child itself, just before
// its Nth write to a file of the database, so that some surely fall inside
// a commit. QEL_KILL_SEED=<n> replays the moments; QEL_SQL_KILLS=<n> sets
// the number of kills of each mode.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ComponentsSupport.h"
#include "FileCheckSupport.h"
#include "SQLProcessSupport.h"
#include "components/QELDatabase.h"
#include "disk/QELRollbackJournal.h"
#include "platform/QELFaultInjection.h"
#include "platform/QELFile.h"

namespace qel::test {
namespace {

#if defined(__SANITIZE_ADDRESS__)
// The sanitizers check memory safety; more kills add only time.
constexpr int kDefaultKills = 30;
#else
constexpr int kDefaultKills = 200;
#endif
constexpr double kMinDelayUs = 10;
constexpr double kMaxDelayUs = 4000;
// A unit's statements and commit make some tens of writes: a kill at one
// of the first this many falls within the child's first few units.
constexpr int kMaxKillWrite = 120;
// About this many rows: pages are freed as often as taken.
constexpr std::size_t kRowsAim = 50;

// ---- The stream of units -----------------------------------------------------

// A row: v, and the version s that gives t ("t<s>") and the memo.
struct TRow {
  std::int32_t V = 0;
  std::int32_t S = 0;
};
using TModel = std::map<std::int32_t, TRow>;

// A memo naming its row and version; one in four is longer than a page.
std::string MemoOf(std::int32_t id, std::int32_t s) {
  std::mt19937 random(static_cast<std::uint32_t>(id) * 2246822519u ^ static_cast<std::uint32_t>(s));
  std::string memo = "isi " + std::to_string(id) + "/" + std::to_string(s) + " ";
  const std::size_t length = random() % 4 == 0 ? 1200 + random() % 3000 : 5 + random() % 200;
  while (memo.size() < length) memo += static_cast<char>('a' + random() % 26);
  return memo;
}

// The table's rows as the query reads them back, in id order.
std::vector<std::vector<std::string>> RowsOf(const TModel& model) {
  std::vector<std::vector<std::string>> rows;
  for (const auto& [id, row] : model) {
    rows.push_back({std::to_string(id), std::to_string(row.V), "t" + std::to_string(row.S), MemoOf(id, row.S)});
  }
  return rows;
}

struct TUnit {
  bool Explicit = false;
  bool RollsBack = false;
  std::vector<std::string> Statements;
};

// One statement on `model`, applied to it: an insert of one or two new
// rows (ids from k * 8), an addition to v over a range of ids, a new t and
// memo for one row, or the deletion of a range.
std::string NextStatement(TModel& model, std::int32_t k, std::int32_t& nextId, std::mt19937& random) {
  const int roll = static_cast<int>(random() % 10);
  const auto some = [&] { return std::next(model.begin(), static_cast<std::ptrdiff_t>(random() % model.size())); };
  if (model.empty() || roll < (model.size() > kRowsAim ? 1 : 4)) {
    std::string sql = "insert into catat values ";
    for (int i = 0, rows = 1 + static_cast<int>(random() % 2); i < rows; ++i) {
      const std::int32_t id = nextId++;
      const TRow row{static_cast<std::int32_t>(random() % 1000), k * 8 + i};
      model[id] = row;
      sql += (i > 0 ? ", (" : "(") + std::to_string(id) + ", " + std::to_string(row.V) + ", 't" +
             std::to_string(row.S) + "', '" + MemoOf(id, row.S) + "')";
    }
    return sql;
  }
  const std::int32_t from = some()->first;
  if (roll < 6) {
    const std::int32_t to = from + static_cast<std::int32_t>(random() % 24);
    const std::int32_t d = 1 + static_cast<std::int32_t>(random() % 9);
    for (auto row = model.lower_bound(from); row != model.end() && row->first <= to; ++row) row->second.V += d;
    return "update catat set v = v + " + std::to_string(d) + " where id between " + std::to_string(from) + " and " +
           std::to_string(to);
  }
  if (roll < 8) {
    const std::int32_t s = k * 8 + 4;
    model[from].S = s;
    return "update catat set t = 't" + std::to_string(s) + "', m = '" + MemoOf(from, s) +
           "' where id = " + std::to_string(from);
  }
  const std::int32_t to = from + static_cast<std::int32_t>(random() % 8);
  model.erase(model.lower_bound(from), model.upper_bound(to));
  return "delete from catat where id between " + std::to_string(from) + " and " + std::to_string(to);
}

// Unit k (k >= 1) on the table `model` holds, applied to `model` unless it
// rolls back: half of them one statement, the rest a transaction of two to
// four, one in five of which rolls back.
TUnit Advance(TModel& model, std::int32_t k) {
  std::mt19937 random(static_cast<std::uint32_t>(k) * 2654435761u + 11u);
  TUnit unit;
  unit.Explicit = random() % 2 == 0;
  unit.RollsBack = unit.Explicit && random() % 5 == 0;
  TModel changed = model;
  std::int32_t nextId = k * 8;
  for (int n = unit.Explicit ? 2 + static_cast<int>(random() % 3) : 1; n > 0; --n) {
    unit.Statements.push_back(NextStatement(changed, k, nextId, random));
  }
  if (!unit.RollsBack) model = std::move(changed);
  return unit;
}

// ---- The kills -----------------------------------------------------------------

// How a child dies: SIGKILL from the parent `DelayUs` after its unit
// number `AfterUnits` returned, or from itself just before its write
// number `AtWrite` to a file of the database, when that is above 0.
struct TKill {
  int AfterUnits = 1;
  int DelayUs = 0;
  int AtWrite = 0;
  std::string Describe() const {
    if (AtWrite > 0) return "at write " + std::to_string(AtWrite);
    return std::to_string(DelayUs) + " us after unit " + std::to_string(AfterUnits) + " of the child";
  }
};

// Kills the process just before its Nth write to a file in `folder` (the
// database, its journal and its lock and session files): that write and
// everything after it never happen, as when the process dies there.
class TDieAtWrite final : public TQELFileHook {
 public:
  TDieAtWrite(const std::string& folder, int nth) : FFolder(folder + "/"), FLeft(nth) { QELSetFileHook(this); }
  ~TDieAtWrite() override { QELSetFileHook(nullptr); }
  TDieAtWrite(const TDieAtWrite&) = delete;
  TDieAtWrite& operator=(const TDieAtWrite&) = delete;

  TQELFileVerdict Before(TQELFile& file, const TQELFileRequest& request) override {
    if (request.Operation == fopWrite && file.FileName().starts_with(FFolder) && --FLeft == 0) ::raise(SIGKILL);
    return {};
  }
  void After(TQELFile&, const TQELFileRequest&, bool) override {}

 private:
  std::string FFolder;
  int FLeft;
};

int KillCount() {
  const char* text = std::getenv("QEL_SQL_KILLS");
  return text != nullptr ? std::atoi(text) : kDefaultKills;
}

std::uint32_t Seed(std::uint32_t fallback) {
  const char* text = std::getenv("QEL_KILL_SEED");
  return text != nullptr ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : fallback;
}

class SQLKillTest : public TComponentTest {
 protected:
  // The session keeps the temporary database a count's result is copied
  // into unless told not to; the fixture checks that none is left.
  void SetUp() override {
    DefaultSession().SetKeepConnections(false);
    TComponentTest::SetUp();
    auto database = NewDatabase();
    database->CreateDatabase();
    database->Open();
    RunSql("KUVO", "create table catat (id integer, v integer, t varchar(20), m memo, primary key (id))");
    RunSql("KUVO", "create index i_catat_v on catat (v)");
  }
  void TearDown() override {
    DefaultSession().SetKeepConnections(true);
    TComponentTest::TearDown();
  }

  std::unique_ptr<TQELDatabase> Connect(const std::string& name, bool multiUser) {
    auto database = NewDatabase(FileName, name);
    database->SetMultiUser(multiUser);
    database->OnNeedRepair = [this](TQELDatabase&, bool& doRepair) {
      ++RepairsAsked;
      doRepair = false;
    };
    database->Open();
    return database;
  }

  // The child: goes on with the stream after unit `start` (which left
  // `model`) until it is killed, writing -k to `report` as unit k starts
  // and k once it has returned.
  int Writer(bool multiUser, std::int32_t start, TModel model, int report, int dieAtWrite, TChildProcess& self) {
    try {
      auto database = Connect("PENULIS", multiUser);
      if (database->ReadOnly() || database->EngineSession()->ReadOnly()) return kChildRefused;
      std::unique_ptr<TDieAtWrite> die;
      if (dieAtWrite > 0) die = std::make_unique<TDieAtWrite>(Dir.Path(), dieAtWrite);
      self.SignalReady();
      for (std::int32_t k = start + 1;; ++k) {
        const TUnit unit = Advance(model, k);
        const std::int32_t starting = -k;
        if (::write(report, &starting, sizeof starting) != sizeof starting) return kChildFailed;
        if (unit.Explicit) RunSql("PENULIS", "start transaction");
        for (const std::string& sql : unit.Statements) RunSql("PENULIS", sql);
        if (unit.Explicit) RunSql("PENULIS", unit.RollsBack ? "rollback" : "commit");
        if (::write(report, &k, sizeof k) != sizeof k) return kChildFailed;
      }
    } catch (const std::exception& e) {
      std::ofstream(Dir.File("writer-error")) << e.what();
    }
    return kChildFailed;
  }

  // One child killed as `kill` says; then the file is opened (in multi-user
  // mode when `multiUserReader`), read and checked, and `found` and
  // `model` move on to the unit it holds.
  void KillOnce(bool multiUser, bool multiUserReader, const TKill& kill, std::int32_t& found, TModel& model,
                std::vector<std::string>& faults) {
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    std::vector<std::int32_t> done;
    std::int32_t started = found;
    auto take = [&](std::int32_t k) {
      if (k > 0) done.push_back(k);
      if (k < 0) started = -k;
    };
    {
      const std::int32_t start = found;
      TChildProcess writer([&](TChildProcess& self) {
        ::close(report[0]);
        return Writer(multiUser, start, model, report[1], kill.AtWrite, self);
      });
      ::close(report[1]);
      bool ready = writer.AwaitReady(std::chrono::seconds(30));
      while (ready && kill.AtWrite == 0 && static_cast<int>(done.size()) < kill.AfterUnits) {
        pollfd readable{report[0], POLLIN, 0};
        std::int32_t k = 0;
        ready = ::poll(&readable, 1, 30000) == 1 && ::read(report[0], &k, sizeof k) == sizeof k;
        take(k);
      }
      if (ready && kill.AtWrite == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(kill.DelayUs));
        writer.Kill();
      }
      const int status = writer.Wait(std::chrono::seconds(30));
      for (std::int32_t k = 0; ::read(report[0], &k, sizeof k) == sizeof k;) take(k);
      ::close(report[0]);
      std::ifstream error(Dir.File("writer-error"));
      const std::string why((std::istreambuf_iterator<char>(error)), std::istreambuf_iterator<char>());
      ASSERT_TRUE(ready && status == -1) << "the child ended by itself with status " << status << ": " << why;
    }
    for (std::size_t i = 0; i < done.size(); ++i) {
      ASSERT_EQ(done[i], found + 1 + static_cast<std::int32_t>(i)) << "reports out of order";
    }
    const std::int32_t last = done.empty() ? found : done.back();
    for (std::int32_t k = found + 1; k <= last; ++k) Advance(model, k);
    {
      TQELRollbackJournal journal;
      journal.Attach(FileName, false);
      if (journal.IsValid()) ++HotJournals;
      journal.Detach();
    }
    // The unit that was running when the child died, as if it had returned.
    TModel running = model;
    if (started > last) Advance(running, last + 1);

    std::vector<std::vector<std::string>> rows;
    const int repairsBefore = RepairsAsked;
    try {
      auto reader = Connect("PEMERIKSA", multiUserReader);
      EXPECT_FALSE(reader->EngineSession()->ReadOnly());
      rows = SelectRows("PEMERIKSA", "select id, v, t, m from catat order by id");
      // The index on v holds every row.
      EXPECT_EQ(SelectRows("PEMERIKSA", "select count(*) from catat where v >= 0"),
                (std::vector<std::vector<std::string>>{{std::to_string(rows.size())}}));
    } catch (const std::exception& e) {
      FAIL() << "the file cannot be read after the kill: " << e.what();
    }
    EXPECT_EQ(RepairsAsked, repairsBefore) << "the file needs repair after the kill";
    faults = FaultsOf(FileName, "");
    if (rows == RowsOf(model)) {
      found = last;
    } else {
      ASSERT_TRUE(started > last && rows == RowsOf(running))
          << "the file holds neither unit " << last << " (the last reported done, " << model.size()
          << " rows) nor the one after it; it has " << rows.size() << " rows";
      model = std::move(running);
      found = last + 1;
      ++UnreportedUnits;
    }
    if (started > last) ++KillsInUnits;
    Reported += static_cast<int>(done.size());
  }

  // `kills` children in turn; every fault the checks report goes through
  // `onFaults`, which fails the test for faults it does not expect.
  template <class TOnFaults>
  void RunKills(bool multiUser, std::uint32_t defaultSeed, TOnFaults onFaults) {
    const int kills = KillCount();
    const std::uint32_t seed = Seed(defaultSeed);
    std::cout << "[ seed     ] QEL_KILL_SEED=" << seed << '\n';
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> logDelays(std::log(kMinDelayUs), std::log(kMaxDelayUs));
    std::uniform_int_distribution<int> units(1, 3);
    std::uniform_int_distribution<int> writes(1, kMaxKillWrite);
    std::int32_t found = 0;
    TModel model;
    const auto start = std::chrono::steady_clock::now();
    for (int kill = 0; kill < kills; ++kill) {
      TKill how;
      how.AfterUnits = units(random);
      how.DelayUs = static_cast<int>(std::exp(logDelays(random)));
      if (kill % 2 == 1) how.AtWrite = writes(random);
      SCOPED_TRACE("QEL_KILL_SEED=" + std::to_string(seed) + ", kill " + std::to_string(kill) + ", " +
                   how.Describe() + ", file at unit " + std::to_string(found));
      std::vector<std::string> faults;
      KillOnce(multiUser, multiUser && kill / 2 % 2 == 1, how, found, model, faults);
      if (HasFatalFailure()) return;
      onFaults(faults);
      if (HasFatalFailure()) return;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "[ kills    ] " << kills << " kills in " << seconds << " s: " << found << " units (" << Reported
              << " reported done), " << KillsInUnits << " kills inside a unit, of which " << UnreportedUnits
              << " found committed unreported; " << HotJournals << " journals left hot; " << model.size()
              << " rows at the end\n";
    // Some kills must have come while a commit was going to the file.
    if (kills >= 20) {
      EXPECT_GT(HotJournals, 0) << "no kill came while a commit was being written";
    }
  }

  int RepairsAsked = 0;
  int HotJournals = 0;
  int KillsInUnits = 0;
  int UnreportedUnits = 0;
  int Reported = 0;
};

TEST_F(SQLKillTest, SingleUserChildKilledLeavesExactlyTheUnitsItFinished) {
  RunKills(false, 20261211u, [](const std::vector<std::string>& faults) {
    ASSERT_EQ(faults, std::vector<std::string>{});
  });
}

// Multi-user readers take the dead child's session id (or, every other
// pair of kills, open the file alone) and so give back the pages it had
// taken for a change it never committed.
TEST_F(SQLKillTest, MultiUserChildKilledLeavesExactlyTheUnitsItFinished) {
  RunKills(true, 20261212u, [](const std::vector<std::string>& faults) {
    ASSERT_EQ(faults, std::vector<std::string>{});
  });
}

}  // namespace
}  // namespace qel::test
