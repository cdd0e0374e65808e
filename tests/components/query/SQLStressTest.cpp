// Four processes share one multi-user file for a bounded time and run a
// random mix of INSERT, UPDATE, DELETE and SELECT statements, each alone
// in its implicit transaction or a few between START TRANSACTION and
// COMMIT or ROLLBACK. Every process inserts, changes and deletes only the
// rows of its own key range of table milik, so it knows their state
// exactly; all of them add to the shared counters of table hitung, where
// additions commute. A process logs a change only once the statement (or
// the COMMIT of its transaction) has returned. At the end both tables must
// equal what the logs add up to, and the file, its catalog, its tables and
// every index must check clean.
//
// Along the way each process checks what it reads: its own rows' count
// and sum as it left them, the sum of the counters never below one it saw
// before, and every row count a change reports.
//
// A statement that fails on another session's lock is not done (inside a
// transaction the transaction is rolled back). So is a statement inside a
// transaction that finds a counter changed by another session between its
// read and its change: it locks nothing before it reads, and the engine
// refuses to write over a row it did not see. Any other failure fails the
// test. Statements outside a transaction wait only briefly for a lock, so
// that some do fail on one. Within a transaction the statements on milik come before those on
// hitung, so two transactions never wait for each other in a circle.
//
// QEL_STRESS_SECONDS=<n> lengthens the run (3 seconds unless told);
// QEL_STRESS_SEED=<n> repeats a run's choices (the timing differs anyway).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "ComponentsSupport.h"
#include "FileCheckSupport.h"
#include "SQLProcessSupport.h"
#include "components/QELDatabase.h"
#include "components/query/QELStatementLocks.h"

namespace qel::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWorkers = 4;
constexpr std::int32_t kCounters = 8;
// Process w owns the ids from (w + 1) * kIdsPerWorker on.
constexpr std::int32_t kIdsPerWorker = 1000000;
// Above this many own rows a process deletes more than it inserts.
constexpr std::size_t kOwnRowsAim = 80;

int EnvNumber(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr ? std::atoi(text) : fallback;
}

// A memo that names its row and version; one in five is longer than a
// page.
std::string MemoOf(std::int32_t id, std::int32_t s) {
  std::mt19937 random(static_cast<std::uint32_t>(id) * 2654435761u ^ static_cast<std::uint32_t>(s));
  std::string memo = "catatan " + std::to_string(id) + " versi " + std::to_string(s) + ":";
  const std::size_t length = random() % 5 == 0 ? 1500 + random() % 3000 : 10 + random() % 300;
  while (memo.size() < length) memo += static_cast<char>('a' + random() % 26);
  return memo;
}

// One own row: v, and the version s that gives t ("t<s>") and the memo.
struct TOwnRow {
  std::int32_t V = 0;
  std::int32_t S = 0;
  bool operator==(const TOwnRow&) const = default;
};
using TOwnRows = std::map<std::int32_t, TOwnRow>;

// What a process has committed, or a transaction would commit: its own
// rows, and the log lines of the changes since the last commit.
struct TState {
  TOwnRows Own;
  std::vector<std::string> Log;
};

enum class TKind { Insert, AddToV, Rewrite, Delete, AddToCounters, SelectOwn, SelectCounters };

// Whether statements of the kind change or read hitung, which a
// transaction reaches only after milik.
bool OnCounters(TKind kind) { return kind == TKind::AddToCounters || kind == TKind::SelectCounters; }

// Thrown in a worker for a wrong answer, which fails the test.
struct TWrongAnswer : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One process's part of the run.
class TWorker {
 public:
  TWorker(int no, std::uint32_t seed, const std::string& fileName, const std::string& logName)
      : FNo(no), FName("PEKERJA" + std::to_string(no)), FRandom(seed), FLog(logName) {
    FDatabase.SetDatabaseName(FName);
    FDatabase.SetDatabaseFileName(fileName);
    FDatabase.SetMultiUser(true);
    FDatabase.Open();
    // Short waits for another session's write lock, so that statements
    // outside a transaction do meet "Table is locked" now and then.
    QELStatementLockWaits() = {2, 5};
  }

  // Runs units until `deadline`; answers the exit status. Every line of the
  // log is a committed change, a "!" line a failure, the "#" line the
  // process's figures.
  int Run(Clock::time_point deadline) {
    try {
      while (Clock::now() < deadline) Unit();
    } catch (const std::exception& error) {
      FLog << "! " << error.what() << " (" << (FDatabase.InTransaction() ? "in a transaction" : "alone") << ": "
           << FLastSql.substr(0, 120) << ")\n";
      return kChildFailed;
    }
    FLog << "# " << FName << ": " << FStatements << " statements (" << FTransactions << " transactions, "
         << FRollbacks << " rolled back), " << FLocked << " stopped by a lock, " << FConflicts
         << " by a row changed meanwhile\n";
    return kChildGranted;
  }

 private:
  std::int32_t Exec(const std::string& sql) {
    FLastSql = sql;
    return RunSql(FName, sql);
  }
  std::vector<std::vector<std::string>> Rows(const std::string& sql) {
    FLastSql = sql;
    return SelectRows(FName, sql);
  }

  std::int32_t FirstId() const { return (FNo + 1) * kIdsPerWorker; }
  int Pick(int below) { return static_cast<int>(FRandom() % static_cast<std::uint32_t>(below)); }

  TKind PickKind(const TOwnRows& own) {
    const int roll = Pick(100);
    if (roll < 20) return TKind::Insert;
    if (roll < 35) return TKind::AddToV;
    if (roll < 45) return TKind::Rewrite;
    if (roll < 60) return own.size() > kOwnRowsAim ? TKind::Delete : TKind::Insert;
    if (roll < 70) return TKind::Delete;
    if (roll < 85) return TKind::AddToCounters;
    return roll < 93 ? TKind::SelectOwn : TKind::SelectCounters;
  }

  // One statement in its implicit transaction, or a transaction of two to
  // five that commits or, one time in six, rolls back.
  void Unit() {
    TState pending{FCommitted.Own, {}};
    if (Pick(5) < 3) {
      if (Attempt(false, [&] { Statement(PickKind(pending.Own), pending, false); })) Adopt(pending);
      return;
    }
    std::vector<TKind> kinds;
    for (int n = 2 + Pick(4); n > 0; --n) kinds.push_back(PickKind(pending.Own));
    std::stable_partition(kinds.begin(), kinds.end(), [](TKind kind) { return !OnCounters(kind); });
    const bool rollBack = Pick(6) == 0;
    ++FTransactions;
    Exec("start transaction");
    const bool done = Attempt(true, [&] {
      for (TKind kind : kinds) Statement(kind, pending, true);
      Exec(rollBack ? "rollback" : "commit");
    });
    if (!done || rollBack) {
      ++FRollbacks;
      if (FDatabase.InTransaction()) Exec("rollback");
      return;
    }
    Adopt(pending);
  }

  // Runs `action`; answers false when another session's lock, or inside a
  // transaction its change of a row read, stopped it.
  template <class TAction>
  bool Attempt(bool inTransaction, TAction&& action) {
    try {
      action();
      return true;
    } catch (const TWrongAnswer&) {
      throw;
    } catch (const std::exception& error) {
      if (IsLockFailure(error)) {
        ++FLocked;
      } else if (inTransaction && IsChangedByAnotherSession(error)) {
        ++FConflicts;
      } else {
        throw;
      }
      return false;
    }
  }

  void Adopt(TState& pending) {
    for (const std::string& line : pending.Log) FLog << line << '\n';
    FCommitted.Own = std::move(pending.Own);
  }

  // A random existing own id, or -1 when there is none.
  std::int32_t SomeOwnId(const TOwnRows& own) {
    if (own.empty()) return -1;
    return std::next(own.begin(), Pick(static_cast<int>(own.size())))->first;
  }

  void Statement(TKind kind, TState& state, bool inTransaction) {
    ++FStatements;
    const std::int32_t id = SomeOwnId(state.Own);
    if (id < 0 && kind != TKind::AddToCounters && kind != TKind::SelectCounters) kind = TKind::Insert;
    switch (kind) {
      case TKind::Insert: return Insert(state);
      case TKind::AddToV: return AddToV(state, id, id + Pick(6), 1 + Pick(9));
      case TKind::Rewrite: return Rewrite(state, id, FNextVersion++);
      case TKind::Delete: return Delete(state, id, id + Pick(4));
      case TKind::AddToCounters: return AddToCounters(state, 1 + Pick(kCounters), 1 + Pick(9));
      case TKind::SelectOwn: return SelectOwn(state);
      case TKind::SelectCounters: return SelectCounters(inTransaction);
    }
  }

  void Insert(TState& state) {
    std::string sql = "insert into milik values ";
    const int rows = 1 + Pick(3);
    for (int i = 0; i < rows; ++i) {
      const std::int32_t id = FirstId() + FNextSeq++;
      const TOwnRow row{Pick(1000), FNextVersion++};
      sql += (i > 0 ? ", (" : "(") + std::to_string(id) + ", " + std::to_string(FNo) + ", " +
             std::to_string(row.V) + ", 't" + std::to_string(row.S) + "', '" + MemoOf(id, row.S) + "')";
      state.Own[id] = row;
      state.Log.push_back("I " + std::to_string(id) + " " + std::to_string(row.V) + " " + std::to_string(row.S));
    }
    Expect("insert", Exec(sql), rows);
  }

  void AddToV(TState& state, std::int32_t from, std::int32_t to, std::int32_t d) {
    const std::int32_t rows =
        Exec("update milik set v = v + " + std::to_string(d) + " where id between " + std::to_string(from) +
                          " and " + std::to_string(to));
    std::int32_t expected = 0;
    for (auto row = state.Own.lower_bound(from); row != state.Own.end() && row->first <= to; ++row, ++expected) {
      row->second.V += d;
      state.Log.push_back("V " + std::to_string(row->first) + " " + std::to_string(d));
    }
    Expect("update of v", rows, expected);
  }

  void Rewrite(TState& state, std::int32_t id, std::int32_t s) {
    Expect("update of t and m",
           Exec("update milik set t = 't" + std::to_string(s) + "', m = '" + MemoOf(id, s) +
                             "' where id = " + std::to_string(id)),
           1);
    state.Own[id].S = s;
    state.Log.push_back("S " + std::to_string(id) + " " + std::to_string(s));
  }

  void Delete(TState& state, std::int32_t from, std::int32_t to) {
    const std::int32_t rows = Exec("delete from milik where id between " + std::to_string(from) + " and " +
                                                std::to_string(to));
    std::int32_t expected = 0;
    for (auto row = state.Own.lower_bound(from); row != state.Own.end() && row->first <= to; ++expected) {
      state.Log.push_back("D " + std::to_string(row->first));
      row = state.Own.erase(row);
    }
    Expect("delete", rows, expected);
  }

  void AddToCounters(TState& state, std::int32_t first, std::int32_t d) {
    const std::int32_t last = std::min(kCounters, first + Pick(3));
    Expect("update of hitung",
           Exec("update hitung set n = n + " + std::to_string(d) + " where id between " +
                             std::to_string(first) + " and " + std::to_string(last)),
           last - first + 1);
    for (std::int32_t id = first; id <= last; ++id) {
      state.Log.push_back("H " + std::to_string(id) + " " + std::to_string(d));
    }
  }

  // The process's own rows read as it left them (inside a transaction, with
  // the transaction's changes).
  void SelectOwn(const TState& state) {
    const auto rows = Rows("select count(*), sum(v) from milik where id between " +
                                            std::to_string(FirstId()) + " and " +
                                            std::to_string(FirstId() + kIdsPerWorker - 1));
    std::int64_t sum = 0;
    for (const auto& [id, row] : state.Own) sum += row.V;
    const std::string expected = std::to_string(state.Own.size()) + "|" + (state.Own.empty() ? "" : std::to_string(sum));
    const std::string found = rows.size() == 1 ? rows[0][0] + "|" + rows[0][1] : "no row";
    if (found != expected) throw TWrongAnswer("own rows read as " + found + ", expected " + expected);
  }

  // The counters only grow: a sum below one read before would be a change
  // lost, or one seen before its transaction committed (and then rolled
  // back). Inside a transaction the sum holds its own additions too, so it
  // is not kept as the floor.
  void SelectCounters(bool inTransaction) {
    const auto rows = Rows("select sum(n), count(*) from hitung");
    if (rows.size() != 1 || rows[0][1] != std::to_string(kCounters)) throw TWrongAnswer("hitung lost rows");
    const std::int64_t sum = std::atoll(rows[0][0].c_str());
    if (sum < FCountersFloor) {
      throw TWrongAnswer("hitung sums to " + std::to_string(sum) + " after " + std::to_string(FCountersFloor));
    }
    if (!inTransaction) FCountersFloor = sum;
  }

  static void Expect(const char* what, std::int32_t rows, std::int32_t expected) {
    if (rows != expected) {
      throw TWrongAnswer(std::string(what) + " changed " + std::to_string(rows) + " rows, expected " +
                         std::to_string(expected));
    }
  }

  int FNo;
  std::string FName;
  std::string FLastSql;
  std::mt19937 FRandom;
  std::ofstream FLog;
  TQELDatabase FDatabase;
  TState FCommitted;
  std::int32_t FNextSeq = 0;
  std::int32_t FNextVersion = 1;
  std::int64_t FCountersFloor = 0;
  int FStatements = 0;
  int FTransactions = 0;
  int FRollbacks = 0;
  int FLocked = 0;
  int FConflicts = 0;
};

// What the logs add up to.
struct TExpected {
  TOwnRows Own;
  std::map<std::int32_t, std::int64_t> Counters;
};

class SQLStressTest : public TComponentTest {
 protected:
  void SetUp() override {
    TComponentTest::SetUp();
    auto database = NewDatabase();
    database->CreateDatabase();
    database->Open();
    RunSql("KUVO", "create table milik (id integer, p integer, v integer, t varchar(20), m memo, primary key (id))");
    RunSql("KUVO", "create index i_milik_v on milik (v)");
    RunSql("KUVO", "create table hitung (id integer, n integer, primary key (id))");
    RunSql("KUVO", "create index i_hitung_n on hitung (n)");
    for (std::int32_t id = 1; id <= kCounters; ++id) {
      RunSql("KUVO", "insert into hitung values (" + std::to_string(id) + ", 0)");
    }
  }

  std::string LogName(int worker) const { return Dir.File("log" + std::to_string(worker)); }

  // Replays the logs; a line that does not fit the state so far fails.
  TExpected Replay() {
    TExpected expected;
    for (std::int32_t id = 1; id <= kCounters; ++id) expected.Counters[id] = 0;
    for (int worker = 0; worker < kWorkers; ++worker) {
      std::ifstream log(LogName(worker));
      for (std::string line; std::getline(log, line);) {
        std::istringstream in(line);
        char kind = 0;
        std::int32_t id = 0, a = 0, b = 0;
        in >> kind;
        if (kind == '#' || kind == '!') {
          std::cout << "[ worker   ] " << line << '\n';
          EXPECT_NE(kind, '!') << "worker " << worker;
          continue;
        }
        in >> id >> a >> b;
        const bool present = expected.Own.count(id) > 0;
        if (kind == 'H') {
          expected.Counters[id] += a;
        } else if (kind == 'I' && !present) {
          expected.Own[id] = {a, b};
        } else if (kind == 'V' && present) {
          expected.Own[id].V += a;
        } else if (kind == 'S' && present) {
          expected.Own[id].S = a;
        } else if (kind == 'D' && present) {
          expected.Own.erase(id);
        } else {
          ADD_FAILURE() << "worker " << worker << " logged '" << line << "', which does not fit its rows";
        }
      }
    }
    return expected;
  }

  // The first few differences between table milik and the logs.
  static std::string Differences(const TOwnRows& expected, const std::vector<std::vector<std::string>>& rows) {
    std::ostringstream out;
    int shown = 0;
    std::map<std::int32_t, const std::vector<std::string>*> found;
    for (const auto& row : rows) {
      if (!found.emplace(std::atoi(row[0].c_str()), &row).second && shown++ < 5) out << "id " << row[0] << " twice; ";
    }
    for (const auto& [id, row] : expected) {
      const auto it = found.find(id);
      const std::vector<std::string> want = {std::to_string(id), std::to_string(id / kIdsPerWorker - 1),
                                             std::to_string(row.V), "t" + std::to_string(row.S), MemoOf(id, row.S)};
      if (it == found.end()) {
        if (shown++ < 5) out << "id " << id << " missing; ";
      } else if (*it->second != want && shown++ < 5) {
        out << "id " << id << " holds v " << (*it->second)[2] << ", t " << (*it->second)[3] << ", expected v "
            << row.V << ", t" << row.S << "; ";
      }
    }
    for (const auto& [id, row] : found) {
      if (expected.count(id) == 0 && shown++ < 5) out << "id " << id << " should not be there; ";
    }
    return out.str();
  }
};

TEST_F(SQLStressTest, FourProcessesLeaveExactlyWhatTheirLogsCommitted) {
  const int seconds = EnvNumber("QEL_STRESS_SECONDS", 3);
  const auto seed = static_cast<std::uint32_t>(EnvNumber("QEL_STRESS_SEED", static_cast<int>(::time(nullptr) % 100000)));
  std::cout << "[ seed     ] QEL_STRESS_SEED=" << seed << ", " << seconds << " s\n";
  std::vector<std::unique_ptr<TChildProcess>> workers;
  for (int no = 0; no < kWorkers; ++no) {
    workers.push_back(std::make_unique<TChildProcess>([&, no](TChildProcess& self) {
      TWorker worker(no, seed + static_cast<std::uint32_t>(no) * 7919u, FileName, LogName(no));
      self.SignalReady();
      self.AwaitRelease();
      return worker.Run(Clock::now() + std::chrono::seconds(seconds));
    }));
  }
  for (auto& worker : workers) ASSERT_TRUE(worker->AwaitReady(std::chrono::seconds(30)));
  for (auto& worker : workers) worker->Release();
  for (int no = 0; no < kWorkers; ++no) {
    EXPECT_EQ(workers[no]->Wait(std::chrono::seconds(seconds + 120)), kChildGranted) << "worker " << no;
  }
  const TExpected expected = Replay();

  auto database = NewDatabase(FileName, "PEMERIKSA");
  database->SetMultiUser(true);
  database->Open();
  const auto own = SelectRows("PEMERIKSA", "select id, p, v, t, m from milik order by id");
  std::cout << "[ tables   ] milik " << own.size() << " rows\n";
  EXPECT_EQ(Differences(expected.Own, own), "") << "milik is not what the logs committed";
  std::vector<std::vector<std::string>> counters;
  for (const auto& [id, n] : expected.Counters) counters.push_back({std::to_string(id), std::to_string(n)});
  EXPECT_EQ(SelectRows("PEMERIKSA", "select id, n from hitung order by id"), counters);
  // The index on v finds what the logs say, read through its range.
  std::vector<std::vector<std::string>> middle;
  for (const auto& [id, row] : expected.Own) {
    if (row.V >= 300 && row.V <= 600) middle.push_back({std::to_string(id)});
  }
  EXPECT_EQ(SelectRows("PEMERIKSA", "select id from milik where v between 300 and 600 order by id"), middle);
  database.reset();
  EXPECT_EQ(FaultsOf(FileName, ""), std::vector<std::string>{});
}

}  // namespace
}  // namespace qel::test
