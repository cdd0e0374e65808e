// Peak memory of reading every row of a large table through a query:
// `select *`, which is served live from the table, and `select * ... order
// by` an unindexed column, whose result is first copied into a temporary
// table. The table (id primary key, n, term, memo) is built at a tenth of
// the rows and at all of them (1 000 000 unless given as the argument), so
// that any growth with the rows shows; SQLite reads the same rows from its
// own file in the same run.
//
// Each step runs in a child process of its own, so that one step's freed
// heap does not hide the next one's peak: the figure is the child's peak
// resident set (VmHWM) less what it held when the step began, printed
// beside the file's size and the bytes the rows' values take. A read that
// keeps memory bounded stays near the page cache's size however many rows
// there are; a sorted result may hold its own copy of the rows.

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "BenchUtil.h"
#include "SqliteBench.h"
#include "components/QELDatabase.h"
#include "components/QELQuery.h"

namespace fs = std::filesystem;
using namespace qel;
using namespace qel::bench;

namespace {

constexpr const char* kDatabaseName = "MEMBENCH";
constexpr int kRowsPerTransaction = 10000;

std::string TermOf(int id) {
  std::uint32_t hash = static_cast<std::uint32_t>(id) * 2654435761u;
  std::string term;
  for (int i = 0; i < 6; ++i) {
    term += static_cast<char>('a' + hash % 26);
    hash /= 26;
  }
  return term + "-" + std::to_string(id);
}
std::string MemoOf(int id) { return "catatan nomor " + std::to_string(id) + " tentang " + TermOf(id); }
// Unindexed and spread over the rows, so that ORDER BY n sorts them all.
int NOf(int id) { return static_cast<int>(static_cast<std::uint32_t>(id) * 2246822519u % 1000003u); }

// A figure of /proc/self/status in KiB ("VmRSS", "VmHWM").
long StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  const std::string prefix = std::string(field) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
  }
  return -1;
}

double MiB(long kib) { return static_cast<double>(kib) / 1024.0; }

// What a step read and how much memory it took.
struct TStepResult {
  TRowSum Read;
  long StartKiB = 0;
  long PeakKiB = 0;
  double Seconds = 0;
};

// Runs `step` in a child process and answers its figures.
TStepResult InChild(const std::function<TRowSum()>& step) {
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) Fail("pipe");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipeEnds[0]);
    TStepResult result;
    result.StartKiB = StatusKiB("VmRSS");
    const auto start = Clock::now();
    result.Read = step();
    result.Seconds = Seconds(start);
    result.PeakKiB = StatusKiB("VmHWM");
    const bool written = ::write(pipeEnds[1], &result, sizeof result) == sizeof result;
    ::_exit(written ? 0 : 1);
  }
  ::close(pipeEnds[1]);
  TStepResult result;
  const bool read = ::read(pipeEnds[0], &result, sizeof result) == sizeof result;
  ::close(pipeEnds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!read || !WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("a step's child process failed");
  return result;
}

void AddRow(TRowSum& sum, std::int64_t id, std::int64_t n, std::size_t textBytes) {
  ++sum.Rows;
  sum.Sum += id * 7 + n + static_cast<std::int64_t>(textBytes);
}

// ---- our side

void BuildOurs(const fs::path& file, int rows) {
  TQELDatabase database;
  database.SetDatabaseName(kDatabaseName);
  database.SetDatabaseFileName(file.string());
  database.CreateDatabase();
  database.SetConnected(true);
  {
    TQELQuery create;
    create.SetDatabaseName(kDatabaseName);
    create.SetSQLText("create table T (id integer not null, n integer, term varchar(20), memo memo, primary key (id))");
    create.ExecSQL();
  }
  TQELQuery insert;
  insert.SetDatabaseName(kDatabaseName);
  insert.SetSQLText("insert into T (id, n, term, memo) values (:id, :n, :term, :memo)");
  const TFieldType types[] = {ftInteger, ftInteger, ftString, ftString};
  for (std::int32_t i = 0; i < 4; ++i) insert.Params()[i].DataType = types[i];
  insert.Prepare();
  for (int id = 1; id <= rows; ++id) {
    if (id % kRowsPerTransaction == 1) database.StartTransaction();
    insert.Params()[0].Value.SetAsInteger(id);
    insert.Params()[1].Value.SetAsInteger(NOf(id));
    insert.Params()[2].Value.SetAsString(TermOf(id));
    insert.Params()[3].Value.SetAsString(MemoOf(id));
    insert.ExecSQL();
    if (id % kRowsPerTransaction == 0 || id == rows) database.Commit();
  }
  insert.UnPrepare();
  database.SetConnected(false);
}

TRowSum ReadOurs(const fs::path& file, const char* sql) {
  TQELDatabase database;
  database.SetDatabaseName(kDatabaseName);
  database.SetDatabaseFileName(file.string());
  database.SetConnected(true);
  TRowSum sum;
  {
    TQELQuery query;
    query.SetDatabaseName(kDatabaseName);
    query.SetReadOnly(true);
    query.SetSQLText(sql);
    query.Open();
    TField& id = query.FieldByName("id");
    TField& n = query.FieldByName("n");
    TField& term = query.FieldByName("term");
    TField& memo = query.FieldByName("memo");
    for (query.First(); !query.Eof(); query.Next()) {
      AddRow(sum, id.AsInteger(), n.AsInteger(), term.AsString().size() + memo.AsString().size());
    }
  }
  database.SetConnected(false);
  return sum;
}

// ---- SQLite

void BuildSqlite(const fs::path& file, int rows) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) Fail("sqlite open");
  SqliteExec(db, "create table T (id integer not null primary key, n integer, term varchar(20), memo text)");
  sqlite3_stmt* insert = SqlitePrepare(db, "insert into T values (?, ?, ?, ?)");
  for (int id = 1; id <= rows; ++id) {
    if (id % kRowsPerTransaction == 1) SqliteExec(db, "begin");
    const std::string term = TermOf(id);
    const std::string memo = MemoOf(id);
    sqlite3_bind_int(insert, 1, id);
    sqlite3_bind_int(insert, 2, NOf(id));
    sqlite3_bind_text(insert, 3, term.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 4, memo.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(insert) != SQLITE_DONE) Fail("sqlite insert");
    sqlite3_reset(insert);
    if (id % kRowsPerTransaction == 0 || id == rows) SqliteExec(db, "commit");
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
}

TRowSum ReadSqlite(const fs::path& file, const char* sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) Fail("sqlite open");
  sqlite3_stmt* select = SqlitePrepare(db, sql);
  TRowSum sum;
  while (sqlite3_step(select) == SQLITE_ROW) {
    AddRow(sum, sqlite3_column_int(select, 0), sqlite3_column_int(select, 1),
           static_cast<std::size_t>(sqlite3_column_bytes(select, 2) + sqlite3_column_bytes(select, 3)));
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
  return sum;
}

void PrintStep(const char* who, const char* what, const TStepResult& result, double valueMiB) {
  const double used = MiB(result.PeakKiB - result.StartKiB);
  std::printf("  %-7s %-26s peak %8.1f MiB above %6.1f MiB start (%5.2fx the values), %6.2f s\n", who, what, used,
              MiB(result.StartKiB), used / valueMiB, result.Seconds);
}

void Measure(const fs::path& folder, int rows) {
  const fs::path ours = folder / ("ours-" + std::to_string(rows) + ".qel");
  const fs::path peer = folder / ("sqlite-" + std::to_string(rows) + ".db");
  std::printf("\n%d rows\n", rows);
  const auto build = Clock::now();
  InChild([&] {
    BuildOurs(ours, rows);
    return TRowSum{};
  });
  const double ourBuild = Seconds(build);
  const auto peerStart = Clock::now();
  InChild([&] {
    BuildSqlite(peer, rows);
    return TRowSum{};
  });
  const double peerBuild = Seconds(peerStart);
  std::int64_t valueBytes = 0;
  for (int id = 1; id <= rows; ++id) valueBytes += 3 * 4 + static_cast<std::int64_t>(TermOf(id).size() + MemoOf(id).size());
  const double valueMiB = static_cast<double>(valueBytes) / 1048576.0;
  std::printf("  file: ours %.1f MiB (built in %.1f s), SQLite %.1f MiB (%.1f s); the values take %.1f MiB\n",
              static_cast<double>(fs::file_size(ours)) / 1048576.0, ourBuild,
              static_cast<double>(fs::file_size(peer)) / 1048576.0, peerBuild, valueMiB);

  struct TStep {
    const char* Name;
    const char* Sql;
  };
  for (const TStep& step : {TStep{"select *", "select * from T"}, TStep{"select * order by n", "select * from T order by n"}}) {
    const TStepResult mine = InChild([&] { return ReadOurs(ours, step.Sql); });
    const TStepResult theirs = InChild([&] { return ReadSqlite(peer, step.Sql); });
    if (mine.Read.Rows != rows || !(mine.Read == theirs.Read)) Fail(std::string(step.Name) + ": the answers differ");
    PrintStep("ours", step.Name, mine, valueMiB);
    PrintStep("SQLite", step.Name, theirs, valueMiB);
    std::printf("  %-7s %-26s ratio %.2fx memory, %.2fx time\n", "", "",
                MiB(mine.PeakKiB - mine.StartKiB) / MiB(theirs.PeakKiB - theirs.StartKiB),
                mine.Seconds / theirs.Seconds);
  }
  fs::remove(ours);
  fs::remove(peer);
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
  PrintMachineFacts("qel_select_memory_bench: peak memory of reading a whole table through a query");
  std::printf("SQLite %s; each step in a child process of its own, peak = VmHWM less VmRSS at its start\n",
              sqlite3_libversion());
  const fs::path folder = fs::temp_directory_path() / ("qel-select-memory-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  Measure(folder, rows / 10);
  Measure(folder, rows);
  fs::remove_all(folder);
  return 0;
}
