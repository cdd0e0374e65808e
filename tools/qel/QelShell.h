#pragma once
// The SQL shell of `qel sql`: runs statements and dot commands on one
// database file and prints their results and errors. The interactive loop
// (QelShellInteractive.cpp) and scripts both feed it.

#include <exception>
#include <fstream>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "QelShellOutput.h"
#include "QelShellSplit.h"

namespace qel {
class TQELDatabase;
}

namespace qel::tool {

class TShell {
 public:
  // Connects to `file`, creating an empty database there when there is no
  // file yet. Results go to `out`, errors and progress to `err`.
  TShell(const std::string& file, const std::string& password, std::ostream& out, std::ostream& err);
  ~TShell();
  TShell(const TShell&) = delete;
  TShell& operator=(const TShell&) = delete;

  TShellSettings& Settings() { return FSettings; }
  TQELDatabase& Database() { return *FDatabase; }
  // Where results go now: standard output or the file of .output.
  std::ostream& Out();
  std::ostream& Err() { return FErr; }
  bool QuitRequested() const { return FQuit; }
  // Progress bars on standard error are drawn only when it is a terminal.
  bool ShowProgress = false;

  // Runs one statement and prints its result, or its error; false on error.
  bool RunStatement(const TShellStatement& statement);
  // Runs a line that starts with '.'; false on error.
  bool RunDotCommand(std::string_view line);
  // Runs a script of statements and dot-command lines (a dot command is a
  // line that starts with '.' while no statement is pending). Stops at the
  // first error when `stopOnError`; false when any statement failed. An
  // unfinished statement at the end runs as if a ';' ended it.
  bool RunScript(std::string_view script, bool stopOnError);

  // Prints an error of a statement: its native code and message and, when
  // the message names a line and column of `sql`, that line with a caret
  // under the column.
  void ReportError(const std::exception& error, std::string_view sql);
  void ReportError(std::string_view message);

 private:
  bool RunDotCommandArgs(const std::vector<std::string>& args);
  bool Output(const std::vector<std::string>& args);
  bool Import(const std::string& file, const std::string& table);

  TShellSettings FSettings;
  std::unique_ptr<TQELDatabase> FDatabase;
  std::ostream& FOut;
  std::ostream& FErr;
  std::unique_ptr<std::ofstream> FOutputFile;
  bool FQuit = false;
  // .read nests scripts; a loop of them ends here.
  int FReadDepth = 0;
};

// The name the shell's connection has in the session.
inline constexpr const char* kShellDatabaseName = "QELSHELL";

// The message of an exception without the native-code suffix the engine's
// exceptions carry; `code` gets the code, or 0 when there is none.
std::string ErrorMessage(const std::exception& error, int& code);

// Splits a dot-command line into words: blanks separate them, and single
// or double quotes keep blanks inside one (a doubled quote stands for
// itself).
std::vector<std::string> SplitDotCommand(std::string_view line);

struct TOptions;
// `qel sql` without a terminal: runs the SQL arguments of `options`, or else
// the script read from `in`, in list mode; 1 at the first error. With
// `showProgress` a long .import draws a progress bar on `err`.
int SqlCommand(const TOptions& options, std::istream& in, std::ostream& out, std::ostream& err,
               bool showProgress = false);

// The interactive loop on a terminal: readline with history in
// ~/.qel_history, Ctrl-C abandons the statement being typed, Ctrl-D ends.
int RunInteractiveShell(TShell& shell);

}  // namespace qel::tool
