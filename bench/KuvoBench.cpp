// The glossary window's searches against SQLite. Each search mode runs the
// window's own path without the window: the statement from
// kuvo::SearchStatement, a TQELQuery closed, given the text, opened and
// counted, then the grid's first screenful read (the first 24 terms and the
// current row's two memos). SQLite runs the same SELECT text over the same
// rows (prepare, step over every row, the first 24 terms and the first
// row's memos). Two data sets: the real glossary, built by the glossary
// builder, and 100 000 generated terms of the same shape. The answers are
// compared; the goals are '=' and 'In' under 1 ms and 'Like' under 20 ms
// per search on 100 000 terms, and no mode slower than SQLite.
//
//   qel_kuvo_bench [--glossary FILE]
//
// Without --glossary the real glossary is built into a temporary folder by
// the builder this benchmark was built with.

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "SqliteBench.h"
#include "app/QELKuvoSearch.h"
#include "components/QELDatabase.h"
#include "components/QELQuery.h"

namespace fs = std::filesystem;
using namespace qel;
using namespace qel::bench;

namespace {

// The password the glossary window opens its file with.
constexpr const char* kPassword = "kelpTideOverSand1984";
// The name the window's queries reach the database by.
constexpr const char* kDatabaseName = "kuvo";
// Rows the grid shows at once.
constexpr int kScreenRows = 24;
constexpr int kGeneratedTerms = 100000;
// Each step is repeated for about this long; its best run counts.
constexpr double kStepSeconds = 0.5;

// What a search shows: the number of terms, the grid's first screenful and
// the current entry's description and notes.
struct TScreen {
  std::int64_t Rows = 0;
  std::vector<std::string> Terms;
  std::string Description;
  std::string Notes;
  bool operator==(const TScreen&) const = default;
};

// One search as the user gives it: the mode box's, search box's and letter
// box's text.
struct TSearch {
  const char* Mode;
  std::string Text;
  std::string Letter;
};

// ---- the generated glossary

// Words that make up the generated terms. The first word of a term gives
// its letter; the last two are shared by many terms, one pair by about one
// term in 320, so a "Like" on a pair finds a few hundred of 100 000.
const std::vector<std::string> kHeads = {"istilah", "kata", "nama", "unsur", "bagian", "data", "fungsi", "gugus",
                                         "himpunan", "jenis", "lapisan", "modul", "objek", "pola", "ragam", "sistem",
                                         "tabel", "variabel", "wadah", "elemen"};
const std::vector<std::string> kNouns = {"jaringan", "berkas", "memori", "layar", "basis", "kunci", "kode", "simpul",
                                         "paket", "antrean", "tumpukan", "larik", "pohon", "graf", "indeks", "cakram"};
const std::vector<std::string> kQualities = {"utama", "cadangan", "sementara", "terbuka", "tertutup", "luar", "dalam",
                                             "acak", "berurutan", "ganda", "tunggal", "statis", "dinamis", "bersama",
                                             "pribadi", "virtual", "fisik", "logis", "lokal", "global"};

struct TGeneratedTerm {
  std::string Head;
  std::string Noun;
  std::string Quality;
  std::string Term;
};

// The n-th generated term, "<head> <nnnnn> <noun> <quality>"; the number
// keeps every term unique, a multiplicative hash spreads the words.
TGeneratedTerm GeneratedTerm(int n) {
  const std::uint32_t hash = static_cast<std::uint32_t>(n) * 2654435761u;
  TGeneratedTerm term;
  term.Head = kHeads[hash % kHeads.size()];
  term.Noun = kNouns[(hash / kHeads.size()) % kNouns.size()];
  term.Quality = kQualities[(hash / kHeads.size() / kNouns.size()) % kQualities.size()];
  char number[16];
  std::snprintf(number, sizeof number, "%05d", n);
  term.Term = term.Head + " " + number + " " + term.Noun + " " + term.Quality;
  return term;
}

// A one-paragraph rich text of the size and form of the glossary's memos:
// the builder's header, 9-point text, bold phrases.
std::string RichText(const std::string& body) {
  return "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil Tahoma;}}\\pard\\f0\\fs18 " + body + "\\par}";
}

std::string GeneratedDescription(const TGeneratedTerm& term) {
  return RichText("Sebuah " + term.Head + " pada \\b " + term.Noun + "\\b0  yang bersifat " + term.Quality +
                  ", dipakai oleh \\b sistem\\b0  untuk menyimpan dan mencari \\b data\\b0 .");
}

// Two terms in three have notes, as in the real glossary a good share do.
std::string GeneratedNotes(int n, const TGeneratedTerm& term) {
  if (n % 3 == 2) return {};
  return RichText("Catatan: bandingkan dengan " + term.Noun + " yang tidak " + term.Quality +
                  "; keduanya sering muncul bersama dalam contoh.");
}

void RunSQL(const char* databaseName, const std::string& sql) {
  TQELQuery query;
  query.SetDatabaseName(databaseName);
  query.SetSQLText(sql);
  query.ExecSQL();
}

// The generated file, built through SQL as the glossary builder builds the
// real one: the same table, encrypted with the same password, every insert
// in one transaction.
void BuildGenerated(const fs::path& file) {
  constexpr const char* kBuilder = "KUVOGEN";
  TQELDatabase database;
  database.SetDatabaseName(kBuilder);
  database.SetDatabaseFileName(file.string());
  database.SetPassword(kPassword);
  database.CreateDatabase();
  database.SetConnected(true);
  RunSQL(kBuilder,
         "create table tblKuvo (ISTILAH varchar(80) not null, "
         "DESKRIPSI memo blobcompressionalgorithm zlib blobcompressionmode 6, "
         "CATATAN memo blobcompressionalgorithm zlib blobcompressionmode 6, "
         "primary key (ISTILAH))");
  database.StartTransaction();
  TQELQuery insert;
  insert.SetDatabaseName(kBuilder);
  insert.SetSQLText("insert into tblKuvo (ISTILAH, DESKRIPSI, CATATAN) values (:istilah, :deskripsi, :catatan)");
  for (std::int32_t i = 0; i < 3; ++i) insert.Params()[i].DataType = ftString;
  insert.Prepare();
  for (int n = 0; n < kGeneratedTerms; ++n) {
    const TGeneratedTerm term = GeneratedTerm(n);
    const std::string notes = GeneratedNotes(n, term);
    insert.Params()[0].Value.SetAsString(term.Term);
    insert.Params()[1].Value.SetAsString(GeneratedDescription(term));
    if (notes.empty()) {
      insert.Params()[2].Value.SetNull();
    } else {
      insert.Params()[2].Value.SetAsString(notes);
    }
    insert.ExecSQL();
  }
  insert.UnPrepare();
  database.Commit(true);
  database.SetConnected(false);
}

// ---- the real glossary

void BuildRealGlossary(const fs::path& file) {
  const std::string command = std::string("\"") + QEL_GLOSSARY_BUILD + "\" --data \"" + QEL_GLOSSARY_DATA + "\" \"" +
                              file.string() + "\" > /dev/null";
  if (std::system(command.c_str()) != 0) Fail("the glossary builder failed: " + command);
}

// ---- the two sides

// The database opened as the glossary window opens kuvo.qel.
void ConnectLikeWindow(TQELDatabase& database, const fs::path& file) {
  database.SetDatabaseName(kDatabaseName);
  database.SetDatabaseFileName(file.string());
  database.SetPassword(kPassword);
  database.SetReadOnly(true);
  database.SetExclusive(false);
  database.SetMultiUser(false);
  database.SetMaxConnections(1);
  database.SetConnected(true);
}

// The window's search: the query closed, given the statement, opened and
// counted, then the grid's first screenful and the current entry read.
// The query is unprepared first so each search parses its statement, as a
// new search text does in the window.
TScreen EngineSearch(TQELQuery& query, const std::string& sql) {
  query.Close();
  query.UnPrepare();
  query.SetSQLText(sql);
  query.Open();
  TScreen screen;
  screen.Rows = query.RecordCount();
  if (screen.Rows == 0) return screen;
  screen.Description = query.FieldByName("DESKRIPSI").AsString();
  screen.Notes = query.FieldByName("CATATAN").AsString();
  TField& term = query.FieldByName("ISTILAH");
  for (int i = 0; i < kScreenRows && !query.Eof(); ++i) {
    screen.Terms.push_back(term.AsString());
    query.Next();
  }
  return screen;
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  if (text == nullptr) return {};
  return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
}

// The same statement in SQLite: every row stepped over (its count), the
// first 24 terms and the first row's memos read.
TScreen SqliteSearch(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = SqlitePrepare(db, sql.c_str());
  TScreen screen;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    if (screen.Rows == 0) {
      screen.Description = ColumnText(statement, 1);
      screen.Notes = ColumnText(statement, 2);
    }
    if (screen.Rows < kScreenRows) screen.Terms.push_back(ColumnText(statement, 0));
    ++screen.Rows;
  }
  sqlite3_finalize(statement);
  return screen;
}

// The size of a data set, for the report.
struct TDataFacts {
  std::int64_t Rows = 0;
  std::int64_t DescriptionBytes = 0;
  std::int64_t NotesRows = 0;
  std::int64_t NotesBytes = 0;
};

// SQLite holding the engine file's rows: the same table with a primary key
// on ISTILAH, the rows copied in the order the engine lists them.
sqlite3* CopyToSqlite(const fs::path& file, TDataFacts& facts) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.string().c_str(), &db) != SQLITE_OK) Fail("sqlite open " + file.string());
  SqliteExec(db, "CREATE TABLE tblKuvo (ISTILAH varchar(80) NOT NULL, DESKRIPSI text, CATATAN text, "
                 "PRIMARY KEY (ISTILAH))");
  SqliteExec(db, "BEGIN");
  sqlite3_stmt* insert = SqlitePrepare(db, "INSERT INTO tblKuvo VALUES (?, ?, ?)");
  TQELQuery query;
  query.SetDatabaseName(kDatabaseName);
  query.SetReadOnly(true);
  query.SetSQLText("select * from tblKuvo");
  query.Open();
  TField& term = query.FieldByName("ISTILAH");
  TField& description = query.FieldByName("DESKRIPSI");
  TField& notes = query.FieldByName("CATATAN");
  for (query.First(); !query.Eof(); query.Next()) {
    const std::string values[] = {term.AsString(), description.AsString(), notes.AsString()};
    const bool nulls[] = {term.IsNull(), description.IsNull(), notes.IsNull()};
    for (int i = 0; i < 3; ++i) {
      if (nulls[i]) {
        sqlite3_bind_null(insert, i + 1);
      } else {
        sqlite3_bind_text(insert, i + 1, values[i].c_str(), static_cast<int>(values[i].size()), SQLITE_TRANSIENT);
      }
    }
    if (sqlite3_step(insert) != SQLITE_DONE) Fail(std::string("sqlite insert: ") + sqlite3_errmsg(db));
    sqlite3_reset(insert);
    ++facts.Rows;
    facts.DescriptionBytes += static_cast<std::int64_t>(values[1].size());
    if (!nulls[2]) {
      ++facts.NotesRows;
      facts.NotesBytes += static_cast<std::int64_t>(values[2].size());
    }
  }
  query.Close();
  sqlite3_finalize(insert);
  SqliteExec(db, "COMMIT");
  return db;
}

// ---- timing

struct TTiming {
  double BestSeconds = 0;
  int Runs = 0;
};

// The best of as many runs as fill about kStepSeconds (at least 3), after
// one run that warms the caches and sets the count.
template <class Body>
TTiming TimeSearch(Body&& body, TScreen& screen) {
  auto start = Clock::now();
  screen = body();
  const double first = Seconds(start);
  TTiming timing;
  timing.Runs = static_cast<int>(std::clamp(std::ceil(kStepSeconds / std::max(first, 1e-7)), 3.0, 200000.0));
  timing.BestSeconds = first;
  for (int i = 0; i < timing.Runs; ++i) {
    start = Clock::now();
    body();
    timing.BestSeconds = std::min(timing.BestSeconds, Seconds(start));
  }
  return timing;
}

// ---- one data set

// How our answer compares with SQLite's. Without ORDER BY neither side
// promises an order, so the same rows listed differently are told apart
// from a wrong answer.
enum class TAgreement { Same, OtherOrder, Differ };

const char* AgreementText(TAgreement agreement) {
  switch (agreement) {
    case TAgreement::Same: return "yes";
    case TAgreement::OtherOrder: return "order";
    case TAgreement::Differ: return "NO";
  }
  return "?";
}

// The memos SQLite holds for `term`, to check our first row's against when
// the rows come in another order.
std::pair<std::string, std::string> SqliteMemos(sqlite3* db, const std::string& term) {
  sqlite3_stmt* statement = SqlitePrepare(db, "SELECT DESKRIPSI, CATATAN FROM tblKuvo WHERE ISTILAH = ?");
  sqlite3_bind_text(statement, 1, term.c_str(), static_cast<int>(term.size()), SQLITE_TRANSIENT);
  std::pair<std::string, std::string> memos;
  if (sqlite3_step(statement) == SQLITE_ROW) memos = {ColumnText(statement, 0), ColumnText(statement, 1)};
  sqlite3_finalize(statement);
  return memos;
}

// The same screen, or the same rows (all of them on the screen) in
// another order with our current entry's memos as SQLite holds them.
TAgreement Compare(sqlite3* db, const TScreen& ours, const TScreen& theirs) {
  if (ours == theirs) return TAgreement::Same;
  if (ours.Rows != theirs.Rows || ours.Rows > kScreenRows) return TAgreement::Differ;
  std::vector<std::string> oursSorted = ours.Terms;
  std::vector<std::string> theirsSorted = theirs.Terms;
  std::sort(oursSorted.begin(), oursSorted.end());
  std::sort(theirsSorted.begin(), theirsSorted.end());
  if (oursSorted != theirsSorted) return TAgreement::Differ;
  const auto memos = SqliteMemos(db, ours.Terms.front());
  if (memos.first != ours.Description || memos.second != ours.Notes) return TAgreement::Differ;
  return TAgreement::OtherOrder;
}

struct TResult {
  std::string Mode;
  double OursMs = 0;
  double SqliteMs = 0;
  std::int64_t OursRows = 0;
  std::int64_t SqliteRows = 0;
  TAgreement Agreement = TAgreement::Differ;
};

std::string Shortened(const std::string& text, std::size_t width) {
  return text.size() <= width ? text : text.substr(0, width - 3) + "...";
}

// Where two screens differ, for the report.
void PrintDifference(const TScreen& ours, const TScreen& theirs) {
  if (ours.Rows != theirs.Rows) {
    std::printf("    rows: ours %lld, sqlite %lld\n", static_cast<long long>(ours.Rows),
                static_cast<long long>(theirs.Rows));
  }
  const std::size_t shown = std::min(ours.Terms.size(), theirs.Terms.size());
  for (std::size_t i = 0; i < shown; ++i) {
    if (ours.Terms[i] != theirs.Terms[i]) {
      std::printf("    row %zu: ours '%s', sqlite '%s'\n", i + 1, ours.Terms[i].c_str(), theirs.Terms[i].c_str());
      break;
    }
  }
  if (ours.Terms.size() != theirs.Terms.size()) std::printf("    screenful sizes differ\n");
  if (ours.Description != theirs.Description) std::printf("    first row's DESKRIPSI differs\n");
  if (ours.Notes != theirs.Notes) std::printf("    first row's CATATAN differs\n");
}

std::vector<TResult> RunDataSet(const char* title, const fs::path& engineFile, const fs::path& sqliteFile,
                                const std::vector<TSearch>& searches) {
  TQELDatabase database;
  ConnectLikeWindow(database, engineFile);
  TDataFacts facts;
  sqlite3* db = CopyToSqlite(sqliteFile, facts);
  TQELQuery query;
  query.SetDatabaseName(kDatabaseName);
  query.SetReadOnly(true);

  std::printf("\n%s\n", title);
  std::printf("%lld terms, file %.1f MB; DESKRIPSI %.0f bytes of RTF on average, CATATAN on %lld terms, %.0f bytes\n",
              static_cast<long long>(facts.Rows), static_cast<double>(fs::file_size(engineFile)) / 1e6,
              static_cast<double>(facts.DescriptionBytes) / static_cast<double>(std::max<std::int64_t>(facts.Rows, 1)),
              static_cast<long long>(facts.NotesRows),
              static_cast<double>(facts.NotesBytes) / static_cast<double>(std::max<std::int64_t>(facts.NotesRows, 1)));
  std::printf("%-6s %-34s %10s %10s %7s %8s %8s %7s %5s\n", "mode", "search", "ours ms", "sqlite ms", "ratio",
              "rows", "sqlite", "runs", "same");
  std::vector<TResult> results;
  std::vector<std::pair<TScreen, TScreen>> differing;
  for (const TSearch& search : searches) {
    const std::string sql = kuvo::SearchStatement(search.Mode, search.Text, search.Letter);
    TScreen ours, theirs;
    const TTiming oursTime = TimeSearch([&] { return EngineSearch(query, sql); }, ours);
    const TTiming sqliteTime = TimeSearch([&] { return SqliteSearch(db, sql); }, theirs);
    TResult result{search.Mode,  oursTime.BestSeconds * 1e3, sqliteTime.BestSeconds * 1e3, ours.Rows,
                   theirs.Rows, Compare(db, ours, theirs)};
    const std::string shown = std::string(search.Mode) == "Sort" ? "letter '" + search.Letter + "'" : search.Text;
    std::printf("%-6s %-34s %10.3f %10.3f %7.2f %8lld %8lld %7d %5s\n", search.Mode, Shortened(shown, 34).c_str(),
                result.OursMs, result.SqliteMs, result.OursMs / result.SqliteMs, static_cast<long long>(ours.Rows),
                static_cast<long long>(theirs.Rows), oursTime.Runs, AgreementText(result.Agreement));
    if (result.Agreement == TAgreement::Differ) PrintDifference(ours, theirs);
    if (result.Agreement == TAgreement::OtherOrder) {
      std::printf("    first row: ours '%s', sqlite '%s'\n", ours.Terms.front().c_str(), theirs.Terms.front().c_str());
    }
    results.push_back(result);
  }
  if (std::any_of(results.begin(), results.end(),
                  [](const TResult& result) { return result.Agreement == TAgreement::OtherOrder; })) {
    std::printf("order: the same rows and memos, listed in another order (no ORDER BY; SQLite lists an\n"
                "       IN through its primary key index in key order)\n");
  }
  query.Close();
  query.UnPrepare();
  sqlite3_close(db);
  database.SetConnected(false);
  return results;
}

const TResult& ResultOf(const std::vector<TResult>& results, const std::string& mode) {
  for (const TResult& result : results) {
    if (result.Mode == mode) return result;
  }
  Fail("no result for " + mode);
}

const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

// Prints each goal; answers whether every answer agreed (the order aside).
bool PrintGoals(const char* title, const std::vector<TResult>& results, bool timeGoals) {
  std::printf("goals, %s:\n", title);
  if (timeGoals) {
    const double equal = ResultOf(results, "Equal").OursMs;
    const double in = ResultOf(results, "In").OursMs;
    const double like = ResultOf(results, "Like").OursMs;
    std::printf("  '=' under 1 ms:     %8.3f ms  %s\n", equal, Verdict(equal < 1));
    std::printf("  'In' under 1 ms:    %8.3f ms  %s\n", in, Verdict(in < 1));
    std::printf("  'Like' under 20 ms: %8.3f ms  %s\n", like, Verdict(like < 20));
  }
  bool same = true;
  for (const TResult& result : results) {
    std::printf("  %-6s not slower than SQLite: %s\n", result.Mode.c_str(), Verdict(result.OursMs <= result.SqliteMs));
    same = same && result.Agreement != TAgreement::Differ;
  }
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path glossary;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--glossary" && i + 1 < argc) {
      glossary = argv[++i];
    } else {
      std::fprintf(stderr, "usage: qel_kuvo_bench [--glossary FILE]\n");
      return 2;
    }
  }
  PrintMachineFacts("qel_kuvo_bench");
  const fs::path dir = fs::temp_directory_path() / "qel_kuvo_bench";
  fs::remove_all(dir);
  fs::create_directories(dir);
  if (glossary.empty()) {
    glossary = dir / "kuvo.qel";
    BuildRealGlossary(glossary);
  }
  const fs::path generated = dir / "generated.qel";
  const auto start = Clock::now();
  BuildGenerated(generated);
  std::printf("generated %d terms through SQL in one transaction in %.1f s\n", kGeneratedTerms, Seconds(start));

  // The real glossary's searches: a term, a substring in a few of them, five
  // terms typed as the "In" box takes them (in no order), and a letter.
  const std::vector<TSearch> realSearches = {
      {"All", "", ""},
      {"Equal", "basis data", ""},
      {"Like", "data", ""},
      {"In", "jaringan, akses, kunci primer, alamat ip, basis data", ""},
      {"Sort", "", "p"},
  };
  const std::vector<TSearch> generatedSearches = {
      {"All", "", ""},
      {"Equal", GeneratedTerm(54321).Term, ""},
      {"Like", "jaringan bersama", ""},
      {"In",
       GeneratedTerm(45678).Term + ", " + GeneratedTerm(7).Term + ", " + GeneratedTerm(99999).Term + ", " +
           GeneratedTerm(20000).Term + ", " + GeneratedTerm(77777).Term,
       ""},
      {"Sort", "", "k"},
  };
  const std::vector<TResult> real = RunDataSet(("real glossary: " + glossary.string()).c_str(), glossary,
                                               dir / "kuvo.sqlite", realSearches);
  const std::vector<TResult> large = RunDataSet("generated glossary: 100 000 terms", generated,
                                                dir / "generated.sqlite", generatedSearches);
  std::printf("\n");
  const bool realSame = PrintGoals("real glossary", real, false);
  const bool largeSame = PrintGoals("100 000 terms", large, true);
  fs::remove_all(dir);
  if (!realSame || !largeSame) Fail("some answers differ from SQLite's (see above)");
  return 0;
}
