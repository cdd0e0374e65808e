// The SQL lexer over a 1 MB script of mixed statements, beside two peers on
// the same text in the same run:
//  - sqlite3_complete(), which runs SQLite's statement-end tokenizer over
//    the whole text (quotes, brackets, comments, words, semicolons) without
//    keeping any token: the least work that still splits statements;
//  - a plain byte scan that counts semicolons, the floor for touching every
//    byte once.
// The lexer's figure includes building every token (text, kind, reserved
// word, position, parameter value) and freeing them again.

#include <sqlite3.h>

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <random>
#include <string>

#include "BenchUtil.h"
#include "sql/QELLexer.h"

namespace qel {
namespace {

constexpr std::size_t kScriptSize = 1 << 20;

// A deterministic script of the statements the engine sees: glossary
// searches, inserts with quoted text, updates and deletes with parameters,
// DDL, comments and CR LF line ends.
std::string MixedScript() {
  static const char* const kWords[] = {"algoritma", "basis data", "it''s", "kompilator", "jaringan",
                                       "enkripsi", "antarmuka", "memori",  "berkas",     "indeks"};
  std::mt19937 random(20240612);
  auto word = [&] { return std::string(kWords[random() % std::size(kWords)]); };
  auto number = [&] { return std::to_string(random() % 100000); };
  std::string script;
  script.reserve(kScriptSize + 512);
  for (int i = 0; script.size() < kScriptSize; ++i) {
    switch (i % 8) {
      case 0:
        script += "select ISTILAH, DESKRIPSI, CATATAN from tblKuvo where ISTILAH = '" + word() +
                  "';\r\n";
        break;
      case 1:
        script += "SELECT * FROM tblKuvo WHERE UPPER(ISTILAH) LIKE '" + word() +
                  "%' ORDER BY ISTILAH;\n";
        break;
      case 2:
        script += "select t.ISTILAH from tblKuvo t where t.ISTILAH In('" + word() + "','" + word() +
                  "','" + word() + "') -- comma list\n;\n";
        break;
      case 3:
        script += "insert into [tbl Log] (ID, NILAI, HARGA, CATATAN) values (" + number() + ", " +
                  number() + ".25, 1.5e+3, \"" + word() + "\");\n";
        break;
      case 4:
        script += "update tblKuvo set CATATAN = :catatan, DIUBAH = now where ID >= ? and ID <= " +
                  number() + ";\n";
        break;
      case 5:
        script += "/* hapus entri lama */ delete from tblKuvo where ID <> :id and (NILAI * 2 + 1) > " +
                  number() + ";\n";
        break;
      case 6:
        script += "create table if not exists `T" + number() +
                  "` (ID autoinc, ISTILAH varchar(64), primary key (ID));\n";
        break;
      default:
        script += "select count(*), max(NILAI), min(HARGA) from [tbl Log] group by CATATAN having "
                  "count(*) > 1 union select 0, 0, 0 from tblKuvo;\n\n";
        break;
    }
  }
  return script;
}

// Every "?" of the script takes the next value, so one value per marker.
void FillParams(const std::string& script, TQELSQLParams& params) {
  const auto markers = std::count(script.begin(), script.end(), '?');
  for (std::int64_t i = 0; i < markers; ++i) params.AddParam().SetAsInteger(static_cast<std::int32_t>(i));
  params.AddParam().SetName("catatan");
  params.Items(params.Count() - 1).SetAsString("diubah");
  params.AddParam().SetName("id");
  params.Items(params.Count() - 1).SetAsInteger(7);
}

}  // namespace
}  // namespace qel

int main() {
  using namespace qel;
  bench::PrintMachineFacts("SQL lexer beside sqlite3_complete() and a byte scan");
  const std::string script = MixedScript();
  TQELSQLParams params;
  FillParams(script, params);

  std::size_t tokens = 0;
  std::int32_t commands = 0;
  {
    const TQELLexer lexer(script, &params);
    commands = lexer.NumCommands();
    for (const TSQLCommand& command : lexer.Commands()) tokens += command.Tokens.size();
  }
  std::printf("script: %zu bytes, %d statements, %zu tokens, %d parameter values; MB/s = 10^6 bytes/s, best of 5\n\n",
              script.size(), commands, tokens, params.Count());

  const double bytes = static_cast<double>(script.size());
  volatile std::size_t sink = 0;
  const double lexer = bench::BestThroughput(
      [&] {
        const TQELLexer lexed(script, &params);
        sink = sink + static_cast<std::size_t>(lexed.NumCommands());
      },
      bytes);
  const double complete = bench::BestThroughput(
      [&] { sink = sink + static_cast<std::size_t>(sqlite3_complete(script.c_str())); }, bytes);
  const double scan = bench::BestThroughput(
      [&] { sink = sink + static_cast<std::size_t>(std::count(script.begin(), script.end(), ';')); }, bytes);

  std::printf("%-26s %10s %14s\n", "", "MB/s", "lexer / peer");
  std::printf("%-26s %10.1f %14s\n", "TQELLexer (tokens built)", lexer, "");
  std::printf("%-26s %10.1f %14.2f\n", "sqlite3_complete()", complete, lexer / complete);
  std::printf("%-26s %10.1f %14.2f\n", "byte scan for ';'", scan, lexer / scan);
  return 0;
}
