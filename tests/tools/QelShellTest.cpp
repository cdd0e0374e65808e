// The SQL shell of `qel sql`: statement splitting, the output modes (CSV
// and JSON read back by Python), .dump read back into a new file, .import,
// the dot commands, and error reports with their caret and exit status.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "QelOptions.h"
#include "QelShell.h"
#include "QelShellDump.h"
#include "QelShellOutput.h"
#include "QelShellSplit.h"
#include "components/FileCheckSupport.h"
#include "sql/QELLexer.h"
#include "support/TestSupport.h"

namespace qel::tool {
namespace {

std::vector<std::string> Texts(const TSplitScript& split) {
  std::vector<std::string> texts;
  for (const TShellStatement& statement : split.Statements) texts.push_back(statement.Text);
  return texts;
}

TEST(ShellSplitTest, CutsAtSemicolonsOutsideQuotesAndCommentsAsTheLexerDoes) {
  struct TCase {
    const char* Script;
    std::vector<std::string> Statements;
    const char* Rest;
    bool Open;
  };
  const std::vector<TCase> cases = {
      {"select 1; select 2;", {"select 1", "select 2"}, "", false},
      {"select 'a;b', \"c;d\", [e;f], `g;h` from t;", {"select 'a;b', \"c;d\", [e;f], `g;h` from t"}, "", false},
      {"select 'it''s;' from t; x", {"select 'it''s;' from t"}, "x", false},
      {"-- a; comment\nselect 1 /* ; */ from t;;  ;", {"select 1 /* ; */ from t"}, "", false},
      // In backticks a backslash keeps the next character, but a backtick
      // after it still closes the name.
      {"select `a\\;b` from t;", {"select `a\\;b` from t"}, "", false},
      {"select `a\\`;b` from t;", {"select `a\\`", "b` from t"}, "", false},
      // A quote inside a word opens nothing, as the lexer reads it.
      {"select abc'd; select 2;", {"select abc'd", "select 2"}, "", false},
      {"select :'p;q' from t;", {"select :'p;q' from t"}, "", false},
      {"insert into t values ('a\n;b');\nselect 1", {"insert into t values ('a\n;b')"}, "select 1", false},
      {"select 'open; still", {}, "select 'open; still", true},
      {"select 1 /* open; ", {}, "select 1 /* open; ", true},
      {"  \n-- only a comment\n", {}, "", false},
  };
  for (const TCase& c : cases) {
    const TSplitScript split = SplitStatements(c.Script);
    EXPECT_EQ(Texts(split), c.Statements) << c.Script;
    EXPECT_EQ(split.Rest.Text, c.Rest) << c.Script;
    EXPECT_EQ(split.RestOpen, c.Open) << c.Script;
    // The engine's lexer finds the same statements in the same text (it
    // wants values for parameter markers).
    if (c.Open || std::string_view(c.Script).find(':') != std::string_view::npos) continue;
    TQELLexer lexer(c.Script, nullptr);
    EXPECT_EQ(static_cast<std::size_t>(lexer.NumCommands()), c.Statements.size() + (split.RestIsBlank ? 0 : 1))
        << c.Script;
  }
  const TSplitScript lines = SplitStatements("\n\nselect 1\nfrom t;\n select 2;");
  ASSERT_EQ(lines.Statements.size(), 2U);
  EXPECT_EQ(lines.Statements[0].FirstLine, 3);
  EXPECT_EQ(lines.Statements[1].FirstLine, 5);
}

// A value table with every kind of awkward value.
TResultSet AwkwardValues() {
  TResultSet result;
  result.Columns = {{"id", TValueKind::Number}, {"text", TValueKind::Text}, {"ok", TValueKind::Boolean}};
  result.Rows = {{"1", "plain", "True"},
                 {"-2.5", "say \"hi\", then\nleave", "False"},
                 {std::nullopt, std::nullopt, std::nullopt},
                 {"3", "tab\there \xC3\xBC \x01", "True"}};
  return result;
}

std::string Written(TOutputMode mode, bool headers, const std::string& nullValue = "") {
  TShellSettings settings;
  settings.Mode = mode;
  settings.Headers = headers;
  settings.NullValue = nullValue;
  std::ostringstream out;
  WriteResult(AwkwardValues(), settings, out);
  return out.str();
}

TEST(ShellOutputTest, ListTableAndLineModes) {
  EXPECT_EQ(Written(TOutputMode::List, true, "NULL"),
            "id|text|ok\n1|plain|True\n-2.5|say \"hi\", then\nleave|False\nNULL|NULL|NULL\n"
            "3|tab\there \xC3\xBC \x01|True\n");
  EXPECT_EQ(Written(TOutputMode::Table, false),
            "+------+-----------------------+-------+\n"
            "| id   | text                  | ok    |\n"
            "+------+-----------------------+-------+\n"
            "|    1 | plain                 | True  |\n"
            "| -2.5 | say \"hi\", then\\nleave | False |\n"
            "|      |                       |       |\n"
            "|    3 | tab\\there \xC3\xBC \x01         | True  |\n"
            "+------+-----------------------+-------+\n");
  EXPECT_EQ(Written(TOutputMode::Line, false).substr(0, 47), "  id = 1\ntext = plain\n  ok = True\n\n  id = -2.5\n");
  for (const std::string bad : {"", "-", "01", "1.", ".5", "1e", "NAN", "1,5"}) EXPECT_FALSE(IsJsonNumber(bad)) << bad;
  for (const std::string good : {"0", "-0.5", "12", "1e+20", "2.5E-3"}) EXPECT_TRUE(IsJsonNumber(good)) << good;
}

// Runs python3 on `program` with the file `input`; nullopt when there is no
// python3.
std::optional<std::string> RunPython(const test::TScratchDir& dir, const std::string& program,
                                     const std::string& input) {
  if (std::system("python3 -c pass >/dev/null 2>&1") != 0) return std::nullopt;
  const std::string script = dir.File("read.py");
  std::ofstream(script) << program;
  const std::string command = "python3 " + script + " " + input;
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0) << output;
  return output;
}

TEST(ShellOutputTest, CsvAndJsonAreReadBackByPython) {
  test::TScratchDir dir;
  const std::string csv = dir.File("out.csv");
  const std::string json = dir.File("out.json");
  std::ofstream(csv, std::ios::binary) << Written(TOutputMode::Csv, true);
  // Bytes that are not UTF-8 still make valid JSON.
  TResultSet result = AwkwardValues();
  result.Rows.push_back({"4", "bad \xFF\xC3", "True"});
  TShellSettings settings;
  settings.Mode = TOutputMode::Json;
  std::ostringstream out;
  WriteResult(result, settings, out);
  std::ofstream(json, std::ios::binary) << out.str();

  const std::optional<std::string> rows =
      RunPython(dir, "import csv, json, sys\nprint(json.dumps(list(csv.reader(open(sys.argv[1], newline='')))))\n",
                csv);
  if (!rows) GTEST_SKIP() << "python3 is not installed";
  EXPECT_EQ(*rows,
            "[[\"id\", \"text\", \"ok\"], [\"1\", \"plain\", \"True\"], "
            "[\"-2.5\", \"say \\\"hi\\\", then\\nleave\", \"False\"], [\"\", \"\", \"\"], "
            "[\"3\", \"tab\\there \\u00fc \\u0001\", \"True\"]]\n");
  const std::optional<std::string> objects =
      RunPython(dir, "import json, sys\nprint(json.dumps(json.load(open(sys.argv[1], encoding='utf-8'))))\n", json);
  EXPECT_EQ(*objects,
            "[{\"id\": 1, \"text\": \"plain\", \"ok\": true}, "
            "{\"id\": -2.5, \"text\": \"say \\\"hi\\\", then\\nleave\", \"ok\": false}, "
            "{\"id\": null, \"text\": null, \"ok\": null}, "
            "{\"id\": 3, \"text\": \"tab\\there \\u00fc \\u0001\", \"ok\": true}, "
            "{\"id\": 4, \"text\": \"bad \\u00ff\\u00c3\", \"ok\": true}]\n");
}

// A shell on a file of the scratch directory, its output and errors kept.
class ShellTest : public ::testing::Test {
 protected:
  void Open(const std::string& name = "t.qel") {
    Shell.reset();
    Shell = std::make_unique<TShell>(Dir.File(name), "pw", Out, Err);
  }
  void SetUp() override { Open(); }
  void TearDown() override { Shell.reset(); }

  // Output of `script`, which must run without error.
  std::string Run(const std::string& script) {
    Out.str("");
    Err.str("");
    EXPECT_TRUE(Shell->RunScript(script, true)) << Err.str();
    return Out.str();
  }

  test::TScratchDir Dir;
  std::ostringstream Out;
  std::ostringstream Err;
  std::unique_ptr<TShell> Shell;
};

constexpr const char* kEveryType = R"(create table every (
  id autoinc(integer, increment 2, initialvalue 10),
  c char(5), s varchar(30) not null default 'n', wc widechar(4), ws widestring(10),
  si smallint, sh shortint, i integer default 7, li largeint, b byte, w word, ca cardinal,
  f float, sg single, e extended, l boolean, cu currency,
  d date, t time, dt datetime, ts timestamp,
  bl blob blobcompressionalgorithm zlib blobcompressionmode 6, g graphic,
  m memo blobcompressionalgorithm bzip blobcompressionmode 9, fm formattedmemo, wm widememo, gu guid,
  primary key (id));
create unique index ux on every (s desc, c nocase);
create index ix on every (li);
insert into every (c, s, wc, ws, si, sh, i, li, b, w, ca, f, sg, e, l, cu, d, t, dt, ts, bl, g, m, fm, wm, gu)
values ('ab', 'it''s, "q"; ok', 'wx', 'wide ü', -5, -3, 100000, 9000000000, 200, 60000, 4000000000,
 3.141592653589793, 1.5, 2.718281828, true, 12.3456, '2024-02-29', cast('13:45:10.250' as time),
 '2024-02-29 13:45:10', '2024-02-29 23:59:59.125', 'blob;'' data', 'gr', 'memo
with -- a line; break', 'fm', 'wm ü', '{12345678-1234-1234-1234-123456789012}');
insert into every (s) values ('only');
insert into every (s, f, l, li, m) values ('x', -1e-300, false, -9000000000, 'second memo');
create table [two words] ([a b] integer, [select] varchar(3));
insert into [two words] values (1, 'x'), (NULL, NULL);
)";

constexpr const char* kEveryRow = ".headers on\nselect * from every;\nselect * from [two words];\n";

TEST_F(ShellTest, DumpReadBackGivesEqualTablesAndACleanFile) {
  Run(kEveryType);
  const std::string rows = Run(kEveryRow);
  const std::string schema = Run(".schema");
  EXPECT_NE(schema.find("  s STRING(30) NOT NULL DEFAULT 'n',\n"), std::string::npos) << schema;
  EXPECT_NE(schema.find("  m MEMO BLOBCOMPRESSIONALGORITHM BZIP BLOBCOMPRESSIONMODE 9,\n"), std::string::npos);
  EXPECT_NE(schema.find("  id AUTOINCINTEGER(INCREMENT 2, INITIALVALUE 10),\n"), std::string::npos);
  EXPECT_NE(schema.find("  PRIMARY KEY C_PK$id (id)\n);\nCREATE UNIQUE INDEX ux ON every (s DESC, c NOCASE);\n"
                        "CREATE INDEX ix ON every (li);\n"),
            std::string::npos);
  EXPECT_NE(schema.find("CREATE TABLE [two words] (\n  [a b] INTEGER,\n  [select] STRING(3)\n);\n"),
            std::string::npos);
  EXPECT_EQ(Run(".indexes every"), "C_PK$id\nux\nix\n");
  const std::string dump = Run(".dump");

  Open("copy.qel");
  Run(dump);
  EXPECT_EQ(Run(kEveryRow), rows);
  EXPECT_EQ(Run(".schema"), schema);
  EXPECT_EQ(Run(".dump"), dump);
  Shell.reset();
  EXPECT_EQ(test::FaultsOf(Dir.File("copy.qel"), "pw"), std::vector<std::string>{});
}

TEST_F(ShellTest, DotCommandsChangeTheOutput) {
  Run("create table t (id integer, name varchar(10)); insert into t values (1, 'a'), (2, NULL);");
  struct TCase {
    const char* Script;
    const char* Output;
  };
  const std::vector<TCase> cases = {
      {"select * from t;", "1|a\n2|\n"},
      {".headers on\n.separator \\t\n.nullvalue (null)\nselect * from t;", "id\tname\n1\ta\n2\t(null)\n"},
      {".mode csv\nselect name from t;", "name\r\na\r\n(null)\r\n"},
      {".mode json\nselect * from t where id = 2;", "[{\"id\":2,\"name\":null}]\n"},
      {".headers off\n.mode list\n.tables", "t\n"},
      {"create table u (x integer);\n.tables\n.indexes", "t\nu\n"},
  };
  for (const TCase& c : cases) EXPECT_EQ(Run(c.Script), c.Output) << c.Script;

  const std::string file = Dir.File("out.txt");
  const std::string script = Dir.File("script.sql");
  std::ofstream(script) << "insert into t values (3, 'c');\n.mode list\nselect count(*) from t;\n";
  EXPECT_EQ(Run(".output " + file + "\n.read " + script + "\n.output\nselect max(id) from t;"), "3\n");
  std::ifstream written(file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), "3\n");

  EXPECT_FALSE(Shell->RunScript(".mode fancy", true));
  EXPECT_EQ(Err.str(), "Error: usage: .mode table|list|csv|json|line\n");
  EXPECT_TRUE(Run(".timer on\nselect 1 from t where id = 1;").starts_with("1\nRun Time: real "));
}

TEST_F(ShellTest, ImportCreatesATableOrFillsOneAndLeavesNothingOfAFailure) {
  const std::string csv = Dir.File("in.csv");
  std::ofstream(csv, std::ios::binary) << "id,name,note\r\n1,\"Smith, J\",\"says \"\"hi\"\"\nthen\"\r\n"
                                          "2,,\"\"\n3,plain,x\n";
  Run(".import " + csv + " people");
  EXPECT_EQ(Run(".schema people"),
            "CREATE TABLE people (\n  id STRING(1),\n  name STRING(8),\n  note STRING(14)\n);\n");
  EXPECT_EQ(Run(".mode csv\nselect * from people;"),
            "1,\"Smith, J\",\"says \"\"hi\"\"\nthen\"\r\n2,,\r\n3,plain,x\r\n");

  // Into an existing table every record is a row, converted to the columns.
  Run("create table n (a integer, b float);");
  std::ofstream(csv, std::ios::binary) << "1,2.5\n2,\n";
  Run(".import " + csv + " n");
  EXPECT_EQ(Run(".mode list\nselect a, b from n;"), "1|2.5\n2|\n");

  // A bad record anywhere leaves the table as it was; a table the import
  // made is gone again.
  std::ofstream(csv, std::ios::binary) << "3,1\n4,x\n";
  EXPECT_FALSE(Shell->RunScript(".import " + csv + " n", true));
  EXPECT_NE(Err.str().find(", record 2: "), std::string::npos) << Err.str();
  std::ofstream(csv, std::ios::binary) << "a,b\n1,2\n3\n";
  EXPECT_FALSE(Shell->RunScript(".import " + csv + " fresh", true));
  EXPECT_EQ(Run("select count(*) from n;\n.tables"), "2\nn\npeople\n");
}

TEST_F(ShellTest, ErrorsShowTheLineAndACaretAndScriptsStopAtTheFirst) {
  const std::string file = Dir.File("t.qel");
  Shell.reset();
  TOptions options;
  options.File = file;
  options.Password = "pw";
  std::istringstream script(
      "create table t (id integer);\ninsert into t values (1);\nselect id\n  from t\n  where id = 12abc;\n"
      "insert into t values (2);\n");
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(SqlCommand(options, script, out, err), 1);
  EXPECT_EQ(err.str(),
            "Error 30062: Invalid numeric symbol 'a' at line 3, column 16\n  where id = 12abc\n               ^\n");
  options.Sql = {"select count(*) from t", ".mode json", "select 'x' v from t"};
  out.str("");
  err.str("");
  std::istringstream none;
  EXPECT_EQ(SqlCommand(options, none, out, err), 0) << err.str();
  EXPECT_EQ(out.str(), "1\n[{\"v\":\"x\"}]\n");
  options.Sql = {"select nosuch from t", "select 1 from t"};
  out.str("");
  EXPECT_EQ(SqlCommand(options, none, out, err), 1);
  EXPECT_EQ(out.str(), "");
  EXPECT_NE(err.str().find("Error "), std::string::npos);
}

}  // namespace
}  // namespace qel::tool
