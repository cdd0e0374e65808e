// Fuzz target for SQL run against a database: every input is a text of one
// or more statements, run through TQELQuery on a fresh copy of a small
// fixture database (three tables with a primary key, indexes and a memo),
// and the last statement's result, if any, is read to the end, every field
// as text. Any statement may fail with an exception; a crash, a hang, a
// leak or undefined behaviour is a finding (the sanitizers around this
// report the last ones).
//
// The fixture file is made once per process; each input starts from a copy
// of its bytes, and the in-memory database is replaced after each input, so
// that no input sees what an earlier one did.
//
// Some texts would legitimately run long: each table a statement names
// multiplies the rows a join or a subquery reads. Those are skipped, not
// run (see MayRunLong), so that a bounded run never reports a hang that is
// only the work the text asks for.

#include <unistd.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzScratch.h"
#include "components/QELDatabase.h"
#include "components/QELQuery.h"
#include "components/QELSession.h"
#include "components/QELSessionList.h"
#include "engine/QELDatabaseList.h"
#include "memory/QELMemory.h"
#include "storage/QELMemoryDatabaseData.h"

namespace {

using namespace qel;

// Engine memory per input; a statement that asks for more gets the
// engine's out-of-memory error.
constexpr std::int64_t kMemoryLimit = 256LL * 1024 * 1024;

// Every fixture table has at most eight rows.
const char* const kFixture[] = {
    "create table kata (id integer, lema varchar(20), jenis varchar(5), arti memo, primary key (id), "
    "index ix_lema (lema nocase))",
    "insert into kata values (1, 'rumah', 'n', 'tempat tinggal'), (2, 'makan', 'v', 'memasukkan makanan'), "
    "(3, 'besar', 'a', null), (4, 'Air', 'n', 'cairan jernih'), (5, 'lari', 'v', ''), (6, 'dan', 'p', null), "
    "(7, 'pohon', 'n', 'tumbuhan berbatang keras'), (8, null, null, null)",
    "create table contoh (id autoinc, id_kata integer, kalimat varchar(60), tanggal date, index ix_kata (id_kata))",
    "insert into contoh (id_kata, kalimat, tanggal) values (1, 'Rumah itu besar.', date '2024-01-15'), "
    "(1, 'Rumahnya dekat.', null), (2, 'Ayo makan.', date '1999-12-31'), (7, 'Pohon tumbang.', "
    "date '2000-02-29'), (9, null, date '2024-06-01')",
    "create table kelas (kode varchar(5), nama varchar(20), nilai float, unique index ix_kode (kode))",
    "insert into kelas values ('n', 'nomina', 1.5), ('v', 'verba', 2), ('a', 'adjektiva', null), "
    "('p', 'partikel', -0.25)",
};
const char* const kFixtureTables[] = {"kata", "contoh", "kelas"};

// With at most this many table names in a text and at most this many
// parentheses (so an INSERT ... VALUES adds at most that many rows), the
// largest join a text can ask for reads some 32^3 rows.
constexpr int kMaxTableNames = 4;
constexpr int kMaxParentheses = 32;

std::string gDirectory;
std::string gFileName;
std::string gFixtureBytes;

std::vector<std::string> LowerWords(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
      word += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!word.empty()) {
      words.push_back(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// Counts the words that may name a table: the fixture's tables and every
// word after TABLE, INTO or TO (tables a text creates, fills or renames).
// Each such word is at most one table read, so their number bounds how
// many tables a join or a nest of subqueries multiplies. Quotes and
// brackets count as separators, so a quoted name counts too.
bool MayRunLong(std::string_view text) {
  int parentheses = 0;
  for (const char c : text) parentheses += c == '(' ? 1 : 0;
  if (parentheses > kMaxParentheses) return true;
  const std::vector<std::string> words = LowerWords(text);
  std::set<std::string> names(std::begin(kFixtureTables), std::end(kFixtureTables));
  for (std::size_t i = 0; i + 1 < words.size(); ++i) {
    if (words[i] == "table" || words[i] == "into" || words[i] == "to") names.insert(words[i + 1]);
  }
  int tableNames = 0;
  for (const std::string& word : words) tableNames += names.count(word) != 0 ? 1 : 0;
  return tableNames > kMaxTableNames;
}

void WriteFile(const std::string& fileName, const std::string& bytes) {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) std::abort();
}

std::string ReadFile(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void MakeFixture() {
  TQELDatabase database;
  database.SetDatabaseName("FUZZ");
  database.SetDatabaseFileName(gFileName);
  database.SetPageSize(1024);
  database.SetPageCountInExtent(8);
  database.CreateDatabase();
  database.SetConnected(true);
  for (const char* sql : kFixture) {
    TQELQuery query;
    query.SetDatabaseName("FUZZ");
    query.SetSQLText(sql);
    query.ExecSQL();
  }
  database.SetConnected(false);
  gFixtureBytes = ReadFile(gFileName);
  if (gFixtureBytes.empty()) std::abort();
}

void Run(const std::string& text) {
  TQELDatabase database;
  database.SetDatabaseName("FUZZ");
  database.SetDatabaseFileName(gFileName);
  database.SetSilentMode(true);
  try {
    database.SetConnected(true);
    TQELQuery query;
    query.SetDatabaseName("FUZZ");
    query.SetSQLText(text);
    query.Open();
    if (query.Active()) {
      for (query.First(); !query.Eof(); query.Next()) {
        for (std::int32_t i = 0; i < query.FieldCount(); ++i) {
          if (!query.Fields(i).IsNull()) query.Fields(i).AsString();
        }
      }
    }
  } catch (const std::exception&) {
  }
  try {
    if (database.InTransaction()) database.Rollback();
  } catch (const std::exception&) {
  }
  try {
    database.SetConnected(false);
  } catch (const std::exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A statement may name another database file before a table name, but a
  // database opens only a file that exists and is one, so no statement
  // makes or changes a file outside the scratch directory.
  gDirectory = qel::fuzz::MakeScratchDirectory("qel-sql-run-fuzz");
  gFileName = gDirectory + "/fixture.qel";
  // Databases a statement opens by name are closed when it is done, not
  // kept for the next input.
  TQELSessionList::Instance().DefaultSession().SetKeepConnections(false);
  MakeFixture();
  QELMemoryManager().SetMemoryLimit(kMemoryLimit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (MayRunLong(text)) return -1;
  WriteFile(gFileName, gFixtureBytes);
  Run(text);
  TQELDatabaseList::Instance().SetSpecial(dkMemory, std::make_unique<TQELMemoryDatabaseData>());
  return 0;
}
