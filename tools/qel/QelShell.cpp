#include "QelShell.h"

#include <cctype>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "components/QELDataSet.h"
#include "components/QELDatabase.h"
#include "components/QELQuery.h"
#include "QelOptions.h"
#include "QelShellDump.h"
#include "platform/QELException.h"
#include "sql/QELLexer.h"

namespace qel::tool {

namespace {

TValueKind KindOf(TFieldType type) {
  switch (type) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftAutoInc:
    case ftLargeint:
    case ftFMTBcd:
      return TValueKind::Number;
    case ftBoolean:
      return TValueKind::Boolean;
    default:
      return TValueKind::Text;
  }
}

// The statement's first word, upper-cased, past any opening parentheses.
std::string FirstWord(std::string_view sql) {
  std::size_t i = 0;
  while (i < sql.size() && (sql[i] == '(' || sql[i] == ' ' || sql[i] == '\t' || sql[i] == '\r' || sql[i] == '\n')) {
    ++i;
  }
  std::string word;
  while (i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i]))) {
    word += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i++])));
  }
  return word;
}

// Whether the statement delivers rows to print: a SELECT, unless its
// result goes INTO a table (an INTO outside parentheses, which a subquery
// cannot have). Text that does not lex is left to the statement to report.
bool DeliversRows(const std::string& sql) {
  if (FirstWord(sql) != "SELECT") return false;
  try {
    TQELLexer lexer(sql, nullptr);
    if (!lexer.SetCurrentCommand(0)) return true;
    int depth = 0;
    for (TToken token; lexer.GetNextToken(token);) {
      if (token.TokenType == tktLeftParenthesis) ++depth;
      if (token.TokenType == tktRightParenthesis) --depth;
      if (depth == 0 && IsReservedWord(token, rwINTO)) return false;
    }
  } catch (const std::exception&) {
  }
  return true;
}

TResultSet ReadResult(TQELQuery& query) {
  TResultSet result;
  for (std::int32_t i = 0; i < query.FieldCount(); ++i) {
    const TField& field = query.Fields(i);
    result.Columns.push_back({field.FieldName(), KindOf(field.DataType())});
  }
  for (query.First(); !query.Eof(); query.Next()) {
    TResultRow& row = result.Rows.emplace_back();
    row.reserve(result.Columns.size());
    for (std::int32_t i = 0; i < query.FieldCount(); ++i) {
      const TField& field = query.Fields(i);
      if (field.IsNull()) {
        row.emplace_back();
      } else {
        row.emplace_back(field.AsString());
      }
    }
  }
  return result;
}

// The text a dot command gives for a separator: "\t", "\n", "\r" and "\\"
// stand for their characters.
std::string Unescape(std::string_view text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      result += text[i];
      continue;
    }
    const char next = text[++i];
    result += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return result;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  text = buffer.str();
  return true;
}

// Line `lineNo` (from 1) of `text`, without its line end.
std::string LineOf(std::string_view text, int lineNo) {
  std::size_t start = 0;
  for (int line = 1; line < lineNo; ++line) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) return {};
    start = end + 1;
  }
  std::string line(text.substr(start, text.find('\n', start) - start));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// Blanks that bring a caret under column `column` of `line`, counted as the
// lexer counts: UTF-8 continuation bytes and CRs take no column, and tabs
// are copied so that the caret lines up whatever the tab stops.
std::string CaretIndent(std::string_view line, int column) {
  std::string indent;
  int at = 1;
  for (std::size_t i = 0; i < line.size() && at < column; ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    if ((c & 0xC0) == 0x80 || c == '\r') continue;
    indent += c == '\t' ? '\t' : ' ';
    ++at;
  }
  return indent + std::string(static_cast<std::size_t>(std::max(0, column - at)), ' ');
}

constexpr const char* kHelpText =
    R"(.dump [TABLE]          Statements that re-create the database (or TABLE)
.headers on|off        Column names above the rows
.help                  This text
.import FILE TABLE     Reads a CSV file into TABLE; an existing table takes
                       every record as a row, a new one is created with the
                       first record as its column names
.indexes [TABLE]       Index names of TABLE, or of every table
.mode MODE             Output mode: table, list, csv, json or line
.nullvalue TEXT        The text shown for NULL
.output [FILE]         Results go to FILE, or back to standard output
.quit                  Leaves the shell (also .exit)
.read FILE             Runs the statements and dot commands of FILE
.schema [TABLE]        CREATE statements of every table, or of TABLE
.separator TEXT        Column separator of list mode
.tables                The table names
.timer on|off          The time each statement takes
)";

}  // namespace

std::string ErrorMessage(const std::exception& error, int& code) {
  std::string message = error.what();
  code = 0;
  if (const auto* engine = dynamic_cast<const EQELException*>(&error)) {
    code = engine->NativeError();
    const std::size_t suffix = message.rfind(" - Native error: ");
    if (suffix != std::string::npos) message.erase(suffix);
  } else if (const auto* record = dynamic_cast<const EQELEngineError*>(&error)) {
    // A record's failure carries the engine's status; its text ends with
    // the native code, which is the number users look up.
    code = record->ErrorCode();
    message = record->ErrorText();
    const std::size_t suffix = message.rfind(" - Native error: ");
    if (suffix != std::string::npos) {
      const std::string number = message.substr(suffix + 17);
      if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos) {
        code = std::stoi(number);
        message.erase(suffix);
      }
    }
  }
  return message;
}

std::vector<std::string> SplitDotCommand(std::string_view line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i == line.size()) break;
    std::string word;
    if (line[i] == '\'' || line[i] == '"') {
      const char quote = line[i++];
      while (i < line.size()) {
        if (line[i] == quote) {
          if (i + 1 < line.size() && line[i + 1] == quote) {
            word += quote;
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        word += line[i++];
      }
    } else {
      while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) word += line[i++];
    }
    words.push_back(std::move(word));
  }
  return words;
}

TShell::TShell(const std::string& file, const std::string& password, std::ostream& out, std::ostream& err)
    : FDatabase(std::make_unique<TQELDatabase>()), FOut(out), FErr(err) {
  FDatabase->SetDatabaseName(kShellDatabaseName);
  FDatabase->SetDatabaseFileName(file);
  FDatabase->SetPassword(password);
  FDatabase->SetSilentMode(true);
  if (!std::filesystem::exists(file)) FDatabase->CreateDatabase();
  FDatabase->SetConnected(true);
}

TShell::~TShell() {
  try {
    if (FDatabase->InTransaction()) FDatabase->Rollback();
    FDatabase->SetConnected(false);
  } catch (const std::exception& e) {
    FErr << "Error: closing the database: " << e.what() << '\n';
  }
}

std::ostream& TShell::Out() { return FOutputFile ? *FOutputFile : FOut; }

void TShell::ReportError(std::string_view message) { FErr << "Error: " << message << '\n'; }

void TShell::ReportError(const std::exception& error, std::string_view sql) {
  int code = 0;
  const std::string message = ErrorMessage(error, code);
  FErr << "Error";
  if (code != 0) FErr << ' ' << code;
  FErr << ": " << message << '\n';
  static const std::regex kPosition("at line (\\d+), column (\\d+)");
  std::smatch match;
  if (sql.empty() || !std::regex_search(message, match, kPosition)) return;
  const int line = std::stoi(match[1].str());
  const int column = std::stoi(match[2].str());
  const std::string text = LineOf(sql, line);
  if (text.empty() && line > 1) return;
  FErr << text << '\n' << CaretIndent(text, column) << "^\n";
}

bool TShell::RunStatement(const TShellStatement& statement) {
  const auto started = std::chrono::steady_clock::now();
  try {
    TQELQuery query;
    query.ParamCheck = false;
    query.SetDatabaseName(kShellDatabaseName);
    query.SetSQLText(statement.Text);
    if (DeliversRows(statement.Text)) {
      query.Open();
      const TResultSet result = ReadResult(query);
      query.Close();
      WriteResult(result, FSettings, Out());
    } else {
      query.ExecSQL();
    }
  } catch (const std::exception& e) {
    ReportError(e, statement.Text);
    return false;
  }
  if (FSettings.Timer) {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    char text[64];
    std::snprintf(text, sizeof text, "Run Time: real %.3f s\n", elapsed.count());
    Out() << text;
  }
  Out().flush();
  return true;
}

bool TShell::RunScript(std::string_view script, bool stopOnError) {
  bool ok = true;
  std::string pending;
  auto runPending = [&](bool all) {
    const TSplitScript split = SplitStatements(pending);
    for (const TShellStatement& statement : split.Statements) {
      if (RunStatement(statement)) continue;
      ok = false;
      if (stopOnError) return false;
    }
    pending = split.Rest.Text;
    if (all && !pending.empty()) {
      const TShellStatement rest = split.Rest;
      pending.clear();
      if (!split.RestIsBlank && !RunStatement(rest)) ok = false;
    }
    return ok || !stopOnError;
  };
  std::size_t pos = 0;
  while (pos < script.size() && !FQuit) {
    std::size_t end = script.find('\n', pos);
    if (end == std::string_view::npos) end = script.size();
    const std::string_view line = script.substr(pos, end - pos);
    pos = end + 1;
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (pending.empty() && first != std::string_view::npos && line[first] == '.') {
      if (!RunDotCommand(line.substr(first))) {
        ok = false;
        if (stopOnError) return false;
      }
      continue;
    }
    pending.append(line);
    pending += '\n';
    if (!runPending(false)) return false;
  }
  if (!FQuit) runPending(true);
  return ok;
}

bool TShell::RunDotCommand(std::string_view line) {
  std::string text(line);
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
  const std::vector<std::string> args = SplitDotCommand(text);
  if (args.empty()) return true;
  try {
    return RunDotCommandArgs(args);
  } catch (const std::exception& e) {
    ReportError(e, "");
    return false;
  }
}

bool TShell::RunDotCommandArgs(const std::vector<std::string>& args) {
  const std::string& command = args[0];
  const std::size_t count = args.size();
  auto onOff = [&](bool& flag) {
    if (count != 2 || (args[1] != "on" && args[1] != "off")) {
      ReportError("usage: " + command + " on|off");
      return false;
    }
    flag = args[1] == "on";
    return true;
  };
  if (command == ".quit" || command == ".exit") {
    FQuit = true;
    return true;
  }
  if (command == ".help") {
    Out() << kHelpText;
    return true;
  }
  if (command == ".headers") return onOff(FSettings.Headers);
  if (command == ".timer") return onOff(FSettings.Timer);
  if (command == ".mode") {
    const std::optional<TOutputMode> mode = count == 2 ? OutputModeFromName(args[1]) : std::nullopt;
    if (!mode) {
      ReportError("usage: .mode table|list|csv|json|line");
      return false;
    }
    FSettings.Mode = *mode;
    return true;
  }
  if (command == ".nullvalue" || command == ".separator") {
    if (count != 2) {
      ReportError("usage: " + command + " TEXT");
      return false;
    }
    (command == ".nullvalue" ? FSettings.NullValue : FSettings.Separator) = Unescape(args[1]);
    return true;
  }
  if (command == ".tables") {
    for (const std::string& table : ShellTableNames(*FDatabase)) Out() << table << '\n';
    return true;
  }
  if (command == ".schema" || command == ".dump" || command == ".indexes") {
    std::vector<std::string> tables = count > 1 ? std::vector<std::string>(args.begin() + 1, args.end())
                                                : ShellTableNames(*FDatabase);
    if (command == ".dump") {
      DumpTables(tables, Out());
    } else {
      for (const std::string& table : tables) {
        if (command == ".schema") {
          Out() << SchemaText(table);
        } else {
          for (const std::string& index : IndexNames(table)) {
            Out() << (count > 1 ? "" : table + ".") << index << '\n';
          }
        }
      }
    }
    return true;
  }
  if (command == ".output") return Output(args);
  if (command == ".read") {
    std::string script;
    if (count != 2) {
      ReportError("usage: .read FILE");
      return false;
    }
    if (!ReadWholeFile(args[1], script)) {
      ReportError("cannot read " + args[1]);
      return false;
    }
    if (FReadDepth >= 16) {
      ReportError(".read nested too deeply in " + args[1]);
      return false;
    }
    ++FReadDepth;
    const bool ok = RunScript(script, true);
    --FReadDepth;
    return ok;
  }
  if (command == ".import") {
    if (count != 3) {
      ReportError("usage: .import FILE TABLE");
      return false;
    }
    return Import(args[1], args[2]);
  }
  ReportError("unknown command " + command + " (see .help)");
  return false;
}

bool TShell::Output(const std::vector<std::string>& args) {
  if (args.size() > 2) {
    ReportError("usage: .output [FILE]");
    return false;
  }
  FOutputFile.reset();
  if (args.size() == 1) return true;
  auto file = std::make_unique<std::ofstream>(args[1], std::ios::binary | std::ios::trunc);
  if (!*file) {
    ReportError("cannot write " + args[1]);
    return false;
  }
  FOutputFile = std::move(file);
  return true;
}

}  // namespace qel::tool

namespace qel::tool {

namespace {

// Files below this size import too fast to need a progress bar.
constexpr std::uintmax_t kProgressFileSize = 4 << 20;

void DrawProgress(std::ostream& err, double done) {
  constexpr int kWidth = 40;
  const int filled = static_cast<int>(done * kWidth);
  err << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
      << std::string(static_cast<std::size_t>(kWidth - filled), ' ') << "] " << static_cast<int>(done * 100)
      << "%" << std::flush;
}

}  // namespace

bool TShell::Import(const std::string& file, const std::string& table) {
  std::error_code ignored;
  const bool bar = ShowProgress && std::filesystem::file_size(file, ignored) >= kProgressFileSize;
  TImportProgress progress;
  if (bar) progress = [this](double done) { DrawProgress(FErr, done); };
  TImportResult result;
  try {
    ImportCsv(*FDatabase, file, table, progress, result);
  } catch (const std::exception& e) {
    if (bar) FErr << '\n';
    int code = 0;
    const std::string message = ErrorMessage(e, code);
    FErr << "Error";
    if (code != 0) FErr << ' ' << code;
    FErr << ": " << file;
    if (result.Record > 0) FErr << ", record " << result.Record;
    FErr << ": " << message << '\n';
    return false;
  }
  if (bar) FErr << '\n';
  return true;
}

}  // namespace qel::tool

namespace qel::tool {

int SqlCommand(const TOptions& options, std::istream& in, std::ostream& out, std::ostream& err,
               bool showProgress) {
  TShell shell(options.File, options.Password, out, err);
  shell.ShowProgress = showProgress;
  if (options.Sql.empty()) {
    std::ostringstream script;
    script << in.rdbuf();
    return shell.RunScript(script.str(), true) ? 0 : 1;
  }
  for (const std::string& text : options.Sql) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    const bool ok = first != std::string::npos && text[first] == '.' ? shell.RunDotCommand(text.substr(first))
                                                                      : shell.RunScript(text, true);
    if (!ok) return 1;
    if (shell.QuitRequested()) break;
  }
  return 0;
}

}  // namespace qel::tool
