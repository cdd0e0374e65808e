// .import of a 1 000 000-row CSV file into a new table, by the shell's
// import beside the sqlite3 shell's .import of the same file, in one run.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include <unistd.h>

#include "BenchUtil.h"
#include "QelShell.h"
#include "QelShellDump.h"
#include "components/QELDatabase.h"
#include "components/QELTable.h"

namespace {

using namespace qel;
using namespace qel::bench;
namespace fs = std::filesystem;

constexpr int kRows = 1000000;

// id, a name, an amount and a note; every 10th note quoted with a comma in
// it, so that the quoted path is measured too.
void WriteCsv(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  out << "id,name,amount,note\n";
  char line[160];
  for (int i = 1; i <= kRows; ++i) {
    const int n = i % 10 == 0 ? std::snprintf(line, sizeof line, "%d,name %d,%d.%02d,\"note, number %d\"\n", i, i * 7,
                                              i % 9973, i % 100, i)
                              : std::snprintf(line, sizeof line, "%d,name %d,%d.%02d,note %d\n", i, i * 7, i % 9973,
                                              i % 100, i);
    out.write(line, n);
  }
}

double ImportIntoQel(const std::string& csv, const std::string& file) {
  tool::TShell shell(file, "", std::cout, std::cerr);
  const auto start = Clock::now();
  tool::TImportResult result;
  tool::ImportCsv(shell.Database(), csv, "t", {}, result);
  const double seconds = Seconds(start);
  if (result.Rows != kRows) Fail("qel imported " + std::to_string(result.Rows) + " rows");
  TQELTable table;
  table.SetDatabaseName(tool::kShellDatabaseName);
  table.SetTableName("t");
  table.Open();
  if (table.RecordCount() != kRows) Fail("qel table holds " + std::to_string(table.RecordCount()) + " rows");
  return seconds;
}

double ImportIntoSqlite(const std::string& csv, const std::string& file) {
  const std::string command = "sqlite3 " + file + " \".mode csv\" \".import " + csv + " t\"";
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) Fail("sqlite3 shell: " + command);
  const double seconds = Seconds(start);
  const std::string count = "sqlite3 " + file + " \"select count(*) from t\"";
  FILE* pipe = popen(count.c_str(), "r");
  char text[32] = {};
  if (pipe == nullptr || std::fgets(text, sizeof text, pipe) == nullptr) Fail("sqlite3 count");
  pclose(pipe);
  if (std::atoi(text) != kRows) Fail(std::string("sqlite3 table holds ") + text + " rows");
  return seconds;
}

}  // namespace

int main() {
  PrintMachineFacts("qel_shell_import_bench: .import of a CSV file into a new table");
  if (std::system("sqlite3 -version >/dev/null 2>&1") != 0) Fail("the sqlite3 shell is not installed");
  const fs::path dir = fs::temp_directory_path() / ("qel-import-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string csv = (dir / "rows.csv").string();
  WriteCsv(csv);
  std::printf("data: %d rows, 4 columns, %.1f MB of CSV\n", kRows, static_cast<double>(fs::file_size(csv)) / 1e6);
  const double qel = ImportIntoQel(csv, (dir / "t.qel").string());
  const double sqlite = ImportIntoSqlite(csv, (dir / "t.sqlite").string());
  std::printf("qel    .import: %8.2f s  %9.0f rows/s\n", qel, kRows / qel);
  std::printf("sqlite3 .import: %7.2f s  %9.0f rows/s\n", sqlite, kRows / sqlite);
  std::printf("ratio qel/sqlite3: %.2f\n", qel / sqlite);
  fs::remove_all(dir);
  return 0;
}
