// qel repair: the repair a database component offers at connect time, run
// from the command line. Every table is copied into a fresh file in the
// current format, which then replaces the original; a table that cannot be
// copied whole is named, and the original is kept beside the file.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>

#include "QelCommands.h"
#include "components/QELDatabase.h"

namespace qel::tool {

namespace {

constexpr int kBarWidth = 40;

// A bar on the terminal, redrawn in place; nothing when the output is not
// a terminal.
class TProgressBar {
 public:
  explicit TProgressBar(bool shown) : FShown(shown) {}
  ~TProgressBar() { Done(); }
  TProgressBar(const TProgressBar&) = delete;
  TProgressBar& operator=(const TProgressBar&) = delete;

  void Show(int percent) {
    if (!FShown) return;
    percent = std::clamp(percent, 0, 100);
    if (percent == FLast) return;
    FLast = percent;
    const int filled = percent * kBarWidth / 100;
    std::fprintf(stderr, "\r[%s%s] %3d%%", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(kBarWidth - filled), '.').c_str(), percent);
    std::fflush(stderr);
  }
  void Done() {
    if (FShown && FLast >= 0) std::fputc('\n', stderr);
    FLast = -1;
  }

 private:
  bool FShown;
  int FLast = -1;
};

// A reason of several log lines, each on a line of its own under the table.
std::string Indented(std::string reason) {
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  std::string text;
  for (const char c : reason) {
    if (c == '\r') continue;
    text += c;
    if (c == '\n') text += "    ";
  }
  return text;
}

std::string Plural(std::size_t count, const char* word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

void PrintReport(const TQELRepairReport& report, const std::string& file, std::ostream& out) {
  out << "saved " << Plural(report.CopiedTables.size(), "table");
  for (std::size_t i = 0; i < report.CopiedTables.size(); ++i) out << (i == 0 ? ": " : ", ") << report.CopiedTables[i];
  out << '\n';
  if (!report.FailedTables.empty()) {
    out << "could not save " << Plural(report.FailedTables.size(), "table") << " whole:\n";
    for (const auto& [table, reason] : report.FailedTables) out << "  " << table << ": " << Indented(reason) << '\n';
  }
  if (report.BackupFileName.empty()) {
    out << file << " was replaced by the repaired file\n";
  } else {
    out << "the original file is kept as " << report.BackupFileName << '\n';
  }
}

}  // namespace

int RepairCommand(const TOptions& options, std::ostream& out) {
  TQELDatabase database;
  database.SetDatabaseName("QEL_REPAIR");
  database.SetDatabaseFileName(options.File);
  database.SetPassword(options.Password);
  database.SetSilentMode(true);
  TProgressBar bar(::isatty(STDERR_FILENO) == 1);
  database.OnRepairProgress = [&](TQELComponent&, int percent, bool&) { bar.Show(percent); };
  std::string errorText;
  database.RepairDatabase(errorText);
  bar.Done();
  const TQELRepairReport& report = database.LastRepairReport();
  if (report.Cancelled) {
    out << "the repair was stopped; " << options.File << " is as it was\n";
    return 1;
  }
  if (report.CopiedTables.empty() && report.FailedTables.empty() && !errorText.empty()) {
    out << "the repair failed: " << errorText << '\n' << options.File << " is as it was\n";
    return 1;
  }
  PrintReport(report, options.File, out);
  return report.FailedTables.empty() ? 0 : 1;
}

}  // namespace qel::tool
