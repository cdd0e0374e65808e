// Lexing and parsing statements, beside SQLite preparing the same texts in
// the same run. 10 000 statements of ten kinds (glossary searches, joins,
// grouping with a set operation, INSERT, UPDATE and DELETE with
// parameters, CREATE TABLE), each handed over as a text of its own:
//   ours:   TQELSQLProcessor::ParseSQL, which lexes the text, parses the
//           statement with every expression and frees it again;
//   SQLite: sqlite3_prepare_v2 and sqlite3_finalize against an in-memory
//           schema with the tables the statements name (its prepare also
//           resolves names and generates code, which our parse leaves to
//           planning: the comparison is the cost of getting from text to a
//           statement ready for the next step).
// Every text must be accepted by both. Best of five rounds.

#include <sqlite3.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "SqliteBench.h"
#include "sql/QELSQLProcessor.h"

namespace qel {
namespace {

constexpr int kStatements = 10000;
constexpr int kRounds = 5;

using bench::Clock;
using bench::Fail;
using bench::Seconds;

std::vector<std::string> MixedStatements() {
  static const char* const kWords[] = {"algoritma", "basis data", "kompilator", "jaringan", "enkripsi",
                                       "antarmuka", "memori",     "berkas",     "indeks",   "tabel"};
  std::mt19937 random(20251210);
  auto word = [&] { return std::string(kWords[random() % std::size(kWords)]); };
  auto number = [&] { return std::to_string(random() % 100000); };
  std::vector<std::string> statements;
  statements.reserve(kStatements);
  for (int i = 0; i < kStatements; ++i) {
    switch (i % 10) {
      case 0:
        statements.push_back("select ISTILAH, DESKRIPSI, CATATAN from tblKuvo where ISTILAH = '" + word() + "'");
        break;
      case 1:
        statements.push_back("SELECT * FROM tblKuvo WHERE UPPER(ISTILAH) LIKE '" + word() +
                             "%' ORDER BY ISTILAH");
        break;
      case 2:
        statements.push_back("select k.ISTILAH, l.NILAI from tblKuvo k left outer join tblLog l on k.ID = l.ID "
                             "where l.NILAI > " + number() + " order by 2 desc");
        break;
      case 3:
        statements.push_back("insert into tblLog (ID, NILAI, HARGA, CATATAN) values (" + number() + ", " +
                             number() + ", 1.5e+3, '" + word() + "')");
        break;
      case 4:
        statements.push_back("update tblKuvo set CATATAN = :catatan where ID >= ? and ID <= " + number());
        break;
      case 5:
        statements.push_back("delete from tblKuvo where ID <> :id and (ID * 2 + 1) > " + number());
        break;
      case 6:
        statements.push_back("select count(*), max(NILAI), min(HARGA) from tblLog group by CATATAN having "
                             "count(*) > 1 union select 0, 0, 0 from tblKuvo");
        break;
      case 7:
        statements.push_back("select ISTILAH from tblKuvo where ISTILAH in ('" + word() + "', '" + word() +
                             "', '" + word() + "') intersect select CATATAN from tblLog");
        break;
      case 8:
        statements.push_back("create table T" + std::to_string(i) +
                             " (ID integer, ISTILAH varchar(64) not null, primary key (ID))");
        break;
      default:
        statements.push_back("select distinct t.ISTILAH from tblKuvo t, tblLog l where t.ID = l.ID and "
                             "l.HARGA between 1 and " + number());
        break;
    }
  }
  return statements;
}

double OursSeconds(const std::vector<std::string>& statements) {
  TQELSQLProcessor processor;
  processor.Params().AddParam().SetAsInteger(5);
  processor.Params().AddParam().SetName("catatan");
  processor.Params().Items(1).SetAsString("diubah");
  processor.Params().AddParam().SetName("id");
  processor.Params().Items(2).SetAsInteger(7);
  double best = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = Clock::now();
    for (const std::string& text : statements) {
      processor.SetSQLText(text);
      if (processor.ParseSQL() != 1) Fail("not one statement: " + text);
    }
    best = std::min(best, Seconds(start));
  }
  return best;
}

double SqliteSeconds(const std::vector<std::string>& statements) {
  sqlite3* db = nullptr;
  if (sqlite3_open(":memory:", &db) != SQLITE_OK) Fail("sqlite open");
  bench::SqliteExec(db, "create table tblKuvo (ID integer primary key, ISTILAH varchar(64), DESKRIPSI text, "
                        "CATATAN text)");
  bench::SqliteExec(db, "create table tblLog (ID integer, NILAI integer, HARGA real, CATATAN text)");
  double best = 1e300;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = Clock::now();
    for (const std::string& text : statements) {
      sqlite3_finalize(bench::SqlitePrepare(db, text.c_str()));
    }
    best = std::min(best, Seconds(start));
  }
  sqlite3_close(db);
  return best;
}

}  // namespace
}  // namespace qel

int main() {
  using namespace qel;
  bench::PrintMachineFacts("Statement parsing beside sqlite3_prepare_v2");
  const std::vector<std::string> statements = MixedStatements();
  std::size_t bytes = 0;
  for (const std::string& text : statements) bytes += text.size();
  std::printf("statements: %d of 10 kinds, %zu bytes in all; best of %d rounds\n\n", kStatements, bytes,
              kRounds);

  const double ours = OursSeconds(statements);
  const double sqlite = SqliteSeconds(statements);
  std::printf("%-36s %10s %14s\n", "", "ms", "us/statement");
  std::printf("%-36s %10.2f %14.2f\n", "TQELSQLProcessor::ParseSQL", ours * 1e3, ours * 1e6 / kStatements);
  std::printf("%-36s %10.2f %14.2f\n", "sqlite3_prepare_v2 + finalize", sqlite * 1e3,
              sqlite * 1e6 / kStatements);
  std::printf("ratio ours / sqlite: %.2fx (goal: at most 1.0x)\n", ours / sqlite);
  return 0;
}
