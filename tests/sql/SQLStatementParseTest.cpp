// Parsing of the data modification, definition and transaction
// statements: their shapes, the SELECTs UPDATE and DELETE build with the
// user's token positions, and the checks made while parsing (every VALUES
// row against the column list, signed and converted defaults, column sizes).

#include <gtest/gtest.h>

#include "SQLTestSupport.h"

namespace qel::test {
namespace {

TEST(SQLStatementParseTest, InsertValuesAndSelect) {
  TQELSQLProcessor processor;
  processor.Params().AddParam().SetName("p");
  processor.SetSQLText("insert into memory db.t (a, [b c], date) values (1, 'x' || 'y', null), (2, :p, 3)");
  processor.ParseSQL();
  auto& insert = dynamic_cast<TQELSQLInsert&>(*processor.Statement());
  EXPECT_TRUE(insert.Table().InMemory);
  EXPECT_EQ(insert.Table().DatabaseName, "db");
  EXPECT_EQ(insert.Table().TableName, "t");
  EXPECT_EQ(insert.Columns(), (std::vector<std::string>{"a", "b c", "date"}));
  ASSERT_EQ(insert.Rows().size(), 2u);
  EXPECT_EQ(Shape(*insert.Rows()[0][1]->Root()), "||(STRING:'x', STRING:'y')");
  EXPECT_EQ(insert.Select(), nullptr);

  for (const char* text : {"insert into t select * from t", "insert into t (select a from u)",
                           "insert into t (a) select a from u union select b from v"}) {
    TParsed select(text);
    EXPECT_NE(select.As<TQELSQLInsert>().Select(), nullptr) << text;
    EXPECT_TRUE(select.As<TQELSQLInsert>().Rows().empty()) << text;
  }
}

TEST(SQLStatementParseTest, EveryValuesRowMustFillTheColumnList) {
  // Only a first row that is too short used to be noticed; a later one
  // would have put its values into the wrong columns.
  struct TCase {
    const char* Text;
    const char* Message;
  } const cases[] = {
      {"insert into t (a, b) values (1)",
       "Number of field names doesn't equal to the number of field values: 2 <> 1. Found at line 1, "
       "column 29 - Native error: 20259"},
      {"insert into t (a) values (1), (2, 3)",
       "Number of field names doesn't equal to the number of field values: 1 <> 2. Found at line 1, "
       "column 31 - Native error: 20259"},
      {"insert into t (a, b)\nvalues (1, 2),\n  (3)",
       "Number of field names doesn't equal to the number of field values: 2 <> 1. Found at line 3, "
       "column 3 - Native error: 20259"},
  };
  for (const TCase& c : cases) {
    const TRaised raised = ParseRaised(c.Text);
    EXPECT_EQ(raised.Code, 20259) << c.Text;
    EXPECT_EQ(raised.Message, c.Message) << c.Text;
  }
  // Without a column list the rows go to the fields by position.
  EXPECT_EQ(ParseRaised("insert into t values (1), (2, 3)").Code, 0);
}

TEST(SQLStatementParseTest, UpdateBuildsItsSelectFromTheUsersTokens) {
  TParsed parsed("update memory db.t x password 'pw' set a = a + 1, x.b = 'q'\n  where b = 2");
  auto& update = parsed.As<TQELSQLUpdate>();
  ASSERT_EQ(update.Assignments().size(), 2u);
  EXPECT_EQ(update.Assignments()[0].FieldName, "a");
  EXPECT_EQ(Shape(*update.Assignments()[0].Value->Root()), "+(a, INTEGER:1)");
  EXPECT_EQ(update.Assignments()[1].TableName, "x");
  TQELSQLSelect& select = *update.Select();
  EXPECT_TRUE(select.SelectAll());
  EXPECT_EQ(DescribeReference(*select.TableRefs()[0]), "db.t x");
  EXPECT_TRUE(select.TableRefs()[0]->InMemory);
  EXPECT_EQ(select.TableRefs()[0]->Password, "pw");
  EXPECT_EQ(Shape(*select.Where()->Root()), "=(b, INTEGER:2)");

  // The generated command keeps the WHERE tokens where the user wrote
  // them, so errors there name the user's line and column.
  const TQELLexer& lexer = select.Lexer();
  const TSQLCommand& generated = lexer.Commands()[static_cast<std::size_t>(select.CommandNo())];
  const TToken& where = generated.Tokens[generated.Tokens.size() - 4];
  EXPECT_EQ(where.Text, "where");
  EXPECT_EQ(where.Line, 2);
  EXPECT_EQ(where.Column, 3);
  EXPECT_EQ(ParseRaised("update t set a = 1\n where").Message,
            "Unexpected end of SQL command found at line 2, column 2 - Native error: 30161");
  EXPECT_EQ(ParseRaised("update t set a = 1\n where b = 2 c").Message,
            "End of SQL command expected, but 'c' found at line 2, column 14 - Native error: 20260");

  TParsed row("update t set (a, b) = (select x, y from u) where c = 1");
  EXPECT_EQ(row.As<TQELSQLUpdate>().SubqueryColumns(), (std::vector<std::string>{"a", "b"}));
  EXPECT_NE(row.As<TQELSQLUpdate>().Subquery(), nullptr);
  EXPECT_NE(row.As<TQELSQLUpdate>().Select()->Where(), nullptr);
}

TEST(SQLStatementParseTest, DeleteReadsAsSelect) {
  TParsed parsed("delete from t k where k.a > 0");
  TQELSQLSelect& select = *parsed.As<TQELSQLDelete>().Select();
  EXPECT_TRUE(select.SelectAll());
  EXPECT_EQ(DescribeReference(*select.TableRefs()[0]), "t k");
  EXPECT_EQ(Shape(*select.Where()->Root()), ">(k.a, INTEGER:0)");
  EXPECT_EQ(ParseRaised("delete t").Message,
            "Token 'FROM' expected, but 't' found at line 1, column 8 - Native error: 30184");
}

TEST(SQLStatementParseTest, StatementsAfterAnUpdateStillRun) {
  // UPDATE adds a command of its own to the lexer; it is no statement.
  TQELSQLProcessor processor;
  processor.SetSQLText("update t set a = 1 where b = 2; delete from t; select * from u");
  EXPECT_EQ(processor.ParseSQL(), 3);
  EXPECT_NE(dynamic_cast<TQELSQLUnion*>(processor.Statement()), nullptr);
}

TEST(SQLStatementParseTest, CreateTableColumnsAndIndexes) {
  TParsed parsed(
      "create table if not exists x (id autoinc(integer, increment 2, initialvalue 10) primary key, "
      "name varchar(20) not null default 'n', w widestring(5) null, n integer default -1 "
      "minvalue -5 maxvalue 100, f float default +2.5, m memo blobblocksize 4096 "
      "blobcompressionalgorithm zlib blobcompressionmode 9, d date default 'NOW', "
      "unique index byName (name desc nocase, n), index (f))");
  auto& create = parsed.As<TQELDDLCreateTable>();
  EXPECT_TRUE(create.IfNotExists());
  const TSQLFieldDefs& fields = create.FieldDefs();
  ASSERT_EQ(fields.size(), 7u);
  EXPECT_EQ(fields[0].FieldType, aftAutoincInteger);
  EXPECT_EQ(fields[0].Increment, 2);
  EXPECT_EQ(fields[0].InitialValue, 10);
  EXPECT_EQ(fields[1].FieldType, aftString);
  EXPECT_EQ(fields[1].Size, 20);
  EXPECT_TRUE(fields[1].Required);
  EXPECT_EQ(fields[1].DefaultValue.AsString(), "n");
  EXPECT_EQ(fields[2].FieldType, aftWideString);
  EXPECT_TRUE(fields[2].RequiredGiven);
  EXPECT_FALSE(fields[2].Required);
  // A signed default, converted to the column's type when it is read.
  EXPECT_EQ(fields[3].DefaultValue.DataType(), bftInteger);
  EXPECT_EQ(fields[3].DefaultValue.AsInteger(), -1);
  EXPECT_EQ(fields[3].MinValueConstraint.AsInteger(), -5);
  EXPECT_EQ(fields[3].MaxValueConstraint.AsInteger(), 100);
  EXPECT_EQ(fields[4].DefaultValue.AsDouble(), 2.5);
  EXPECT_EQ(fields[5].BlobBlockSize, 4096);
  EXPECT_EQ(fields[5].BlobCompressionAlgorithm, 1);
  EXPECT_EQ(fields[5].BlobCompressionMode, 9);
  // A default computed on each insert stays a text.
  EXPECT_EQ(fields[6].DefaultValue.AsString(), "NOW");

  std::string indexes;
  for (const TQELSQLIndex& index : create.Indexes()) {
    indexes += index.Name + (index.IsPrimary ? " primary" : "") + (index.IsUnique ? " unique" : "") + ":";
    for (const TQELSQLIndexField& field : index.Fields) {
      indexes += " " + field.Name + (field.Descending ? " desc" : "") + (field.CaseInsensitive ? " nocase" : "");
    }
    indexes += ";";
  }
  EXPECT_EQ(indexes, "C_PK$id primary unique: id;byName unique: name desc nocase n;i$f: f;");

  TParsed keys("create table x (id autoinc(integer), name varchar(20), primary key (id))");
  EXPECT_EQ(keys.As<TQELDDLCreateTable>().Indexes()[0].Name, "C_PK$id");
  EXPECT_EQ(keys.As<TQELDDLCreateTable>().FieldDefs()[0].FieldType, aftAutoincInteger);
}

TEST(SQLStatementParseTest, DefaultsAreCheckedAgainstTheirColumn) {
  struct TCase {
    const char* Column;
    std::int32_t Code;  // 0: accepted
  } const cases[] = {
      {"a integer default -1", 0},
      {"a integer default '12'", 0},
      {"a integer default 'abc'", 30517},
      {"a integer default '1 + 2'", 0},     // computed on each insert
      {"a date default 'abc'", 30517},
      {"a float default 'x1'", 30517},
      {"a date default 'CURRENT_DATE'", 0},
      {"a varchar(5) default 12", 0},
      {"a smallint default 100000", 30517},  // would wrap around
      {"a byte default -1", 30517},
      {"a smallint default '40000'", 30517},
      {"a smallint default 2.75", 0},        // truncated, as numbers are
      {"a integer minvalue 1e20", 30517},
      {"a integer default null", 0},
      {"a integer default - 'x'", 30517},  // a sign only belongs to a number
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(ParseRaised(std::string("create table t (") + c.Column + ")").Code, c.Code) << c.Column;
  }
  EXPECT_EQ(ParseRaised("create table t (a integer default 'abc')").Message,
            "Value 'abc' cannot be converted to the type of column 'a' at line 1, column 35 - "
            "Native error: 30517");
}

TEST(SQLStatementParseTest, ColumnSizesAreRangeChecked) {
  for (const char* size : {"1", "65535"}) {
    EXPECT_EQ(ParseRaised(std::string("create table t (a varchar(") + size + "))").Code, 0) << size;
  }
  for (const char* size : {"0", "65536", "2000000000", "99999999999999999999"}) {
    EXPECT_EQ(ParseRaised(std::string("create table t (a varchar(") + size + "))").Code, 30515) << size;
  }
  EXPECT_EQ(ParseRaised("alter table t add b bytes(0)").Message,
            "Size '0' of column 'b' is outside 1..65535 at line 1, column 27 - Native error: 30515");
}

TEST(SQLStatementParseTest, OtherDefinitionStatements) {
  TParsed drop("drop table if exists memory t");
  EXPECT_TRUE(drop.As<TQELDDLDropTable>().IfExists());
  EXPECT_TRUE(drop.As<TQELDDLDropTable>().Table().InMemory);
  EXPECT_EQ(TParsed("truncate t").As<TQELDDLTruncateTable>().Table().TableName, "t");
  EXPECT_EQ(TParsed("truncate table t").As<TQELDDLTruncateTable>().Table().TableName, "t");

  TParsed alter("alter table t add c integer not null, d char(2), drop e, modify f float, rename g to h, "
                "add unique index u (c)");
  std::string actions;
  for (const TQELAlterAction& action : alter.As<TQELDDLAlterTable>().Actions()) {
    static const char* const kKinds[] = {"add", "drop", "modify", "rename-table", "rename"};
    actions += std::string(kKinds[action.Kind]) + " " +
               (action.IsIndex ? action.Index.Name : action.Field.Name + action.OldName) +
               (action.NewName.empty() ? "" : ">" + action.NewName) + ";";
  }
  EXPECT_EQ(actions, "add c;add d;drop e;modify f;rename g>h;add u;");
  EXPECT_EQ(TParsed("alter table t rename to u").As<TQELDDLAlterTable>().Actions()[0].Kind, akRenameTable);

  TParsed rename("rename table t to u");
  EXPECT_EQ(rename.As<TQELDDLRenameTable>().NewName(), "u");
  EXPECT_EQ(TParsed("rename t to u").As<TQELDDLRenameTable>().Table().TableName, "t");

  TParsed index("create unique index byName on t (name desc nocase, n asc case, password 'pw')");
  const auto& create = index.As<TQELDDLCreateIndex>();
  EXPECT_TRUE(create.Index().IsUnique);
  EXPECT_EQ(create.Index().Name, "byName");
  ASSERT_EQ(create.Index().Fields.size(), 2u);
  EXPECT_TRUE(create.Index().Fields[0].Descending);
  EXPECT_TRUE(create.Index().Fields[0].CaseInsensitive);
  EXPECT_FALSE(create.Index().Fields[1].Descending);
  EXPECT_EQ(create.TablePassword(), "pw");

  TParsed dropIndex("drop index db.t.i password 'pw'");
  EXPECT_EQ(dropIndex.As<TQELDDLDropIndex>().Table().DatabaseName, "db");
  EXPECT_EQ(dropIndex.As<TQELDDLDropIndex>().Table().TableName, "t");
  EXPECT_EQ(dropIndex.As<TQELDDLDropIndex>().IndexName(), "i");
  EXPECT_EQ(dropIndex.As<TQELDDLDropIndex>().Table().Password, "pw");
}

TEST(SQLStatementParseTest, Transactions) {
  EXPECT_NO_THROW(TParsed("start transaction").As<TQELSQLStartTransaction>());
  EXPECT_FALSE(TParsed("commit").As<TQELSQLCommit>().Flush());
  EXPECT_TRUE(TParsed("commit work flush").As<TQELSQLCommit>().Flush());
  EXPECT_NO_THROW(TParsed("rollback").As<TQELSQLRollback>());
}

}  // namespace
}  // namespace qel::test
