// Generated queries run here and in SQLite over the same small tables of
// integers without NULLs; each answers the same rows (compared after
// sorting), and a query with ORDER BY delivers them in its order.
//
// The generator starts from single-table blocks (WHERE, computed columns,
// GROUP BY with aggregates and HAVING, DISTINCT, ORDER BY by number) and
// combines them with UNION, UNION ALL, INTERSECT and EXCEPT; its options
// turn further kinds of FROM and condition on as they are added.
//
// What the generator leaves out because the dialect means it to differ:
// - row limits: the dialect has TOP n[, start] where SQLite has LIMIT;
// - division: the dialect's / of integers gives a fraction, SQLite's
//   integer division truncates;
// - AVG: a fraction whose text differs in its last digits;
// - NULLs: the tables hold none, so that an empty SUM and three-valued
//   logic do not enter (the dialect's NULL rules are its own);
// - INTERSECT ALL and EXCEPT ALL, which SQLite does not have;
// - ORDER BY inside an operand of a set operation, which SQLite refuses;
// - the precedence of set operators: SQLite has one for all of them, the
//   dialect lets INTERSECT bind tighter (the generator nests through
//   derived tables instead);
// - ALL, ANY and SOME before a subquery, which SQLite does not have;
// - scalar subqueries that may find no row: their NULL would enter the
//   comparisons (only COUNT(*), and MAX over a whole table, are used);
// - an inner table that is also the outer one: a correlated reference by
//   table name then names the inner table here when it has an alias.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "SQLTestSupport.h"
#include "SqlitePeer.h"

namespace qel::test {
namespace {

using TRows = std::vector<std::string>;

constexpr int kQueries = 2000;
constexpr int kRowsPerTable = 14;
// Column values lie in 0..kValues-1: small, so that equal values, groups
// and duplicate rows are common.
constexpr int kValues = 5;

struct TGeneratorOptions {
  // FROM lists of two tables joined by an equality in WHERE.
  bool Joins = false;
  // [NOT] IN (SELECT ...), [NOT] EXISTS and scalar subqueries, correlated
  // or not, in conditions and in the select list.
  bool Subqueries = false;
};

struct TTable {
  const char* Name;
  std::vector<const char*> Columns;
};

const TTable kTables[] = {
    {"t1", {"a", "b", "c"}},
    {"t2", {"a", "b", "c"}},
    {"t3", {"a", "d"}},
};

// A query and how its rows are ordered: the 1-based column ORDER BY
// names (0 for none) and whether it sorts descending.
struct TQuery {
  std::string Sql;
  int OrderColumn = 0;
  bool Descending = false;
};

class TQueryGenerator {
 public:
  TQueryGenerator(std::uint32_t seed, TGeneratorOptions options) : FRandom(seed), FOptions(options) {}

  TQuery Next() {
    TQuery query;
    const int columns = Pick(1, 3);
    if (Chance(45)) {
      query.Sql = SetOperation(columns, Pick(1, 2));
    } else {
      query.Sql = Block(columns);
    }
    if (Chance(40)) {
      query.OrderColumn = Pick(1, columns);
      query.Descending = Chance(50);
      query.Sql += " order by " + std::to_string(query.OrderColumn) + (query.Descending ? " desc" : "");
    }
    return query;
  }

 private:
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(FRandom); }
  bool Chance(int percent) { return Pick(1, 100) <= percent; }
  template <typename T>
  const T& OneOf(const std::vector<T>& items) {
    return items[static_cast<std::size_t>(Pick(0, static_cast<int>(items.size()) - 1))];
  }

  // `left op right` with `depth` set operators. SQLite gives them all one
  // precedence and takes no parenthesised operands, the dialect lets
  // INTERSECT bind tighter: nesting goes through derived tables, which
  // mean the same in both.
  std::string SetOperation(int columns, int depth) {
    static const std::vector<std::string> operators = {"union", "union all", "intersect", "except"};
    std::string text = Block(columns);
    for (int i = 0; i < depth; ++i) {
      std::string right = Block(columns);
      if (Chance(20)) right = "select * from (" + right + " " + OneOf(operators) + " " + Block(columns) + ")";
      if (i > 0) text = "select * from (" + text + ")";
      text += " " + OneOf(operators) + " " + right;
    }
    return text;
  }

  std::string Column(const TTable& table) { return OneOf(table.Columns); }

  std::string Value() { return std::to_string(Pick(0, kValues - 1)); }

  std::string Term(const TTable& table) {
    switch (Pick(0, 4)) {
      case 0:
        return Column(table) + " + " + Column(table);
      case 1:
        return Column(table) + " * " + std::to_string(Pick(2, 3));
      case 2:
        return Column(table) + " - " + Value();
      default:
        return Column(table);
    }
  }

  const TTable& OtherThan(const TTable& table) {
    const TTable* other = &table;
    while (other == &table) other = &kTables[Pick(0, 2)];
    return *other;
  }

  // A correlated COUNT(*) of the rows of another table matching a column
  // of `outer`'s row.
  std::string CorrelatedCount(const TTable& outer) {
    const TTable& inner = OtherThan(outer);
    return "(select count(*) from " + std::string(inner.Name) + " s where s." + Column(inner) + " = " + outer.Name +
           "." + Column(outer) + ")";
  }

  std::string Subquery(const TTable& outer) {
    static const std::vector<std::string> operators = {"=", "<>", "<", ">", "<=", ">="};
    const TTable& inner = OtherThan(outer);
    switch (Pick(0, 3)) {
      case 0: {
        std::string text = Column(outer) + (Chance(30) ? " not in" : " in") + " (select " + Column(inner) + " from " +
                           inner.Name;
        if (Chance(50)) text += " where " + Condition(inner);
        return text + ")";
      }
      case 1:
        return std::string(Chance(30) ? "not " : "") + "exists (select * from " + inner.Name + " s where s." +
               Column(inner) + " = " + outer.Name + "." + Column(outer) + ")";
      case 2:
        return CorrelatedCount(outer) + " " + OneOf(operators) + " " + std::to_string(Pick(0, 3));
      default:
        return Column(outer) + " " + OneOf(operators) + " (select max(" + Column(inner) + ") from " + inner.Name + ")";
    }
  }

  std::string Comparison(const TTable& table) {
    static const std::vector<std::string> operators = {"=", "<>", "<", ">", "<=", ">="};
    if (FOptions.Subqueries && Chance(30)) return Subquery(table);
    switch (Pick(0, 5)) {
      case 0:
        return Column(table) + " in (" + Value() + ", " + Value() + ")";
      case 1:
        return Column(table) + " between " + Value() + " and " + Value();
      case 2:
        return Column(table) + " " + OneOf(operators) + " " + Column(table);
      default:
        return Term(table) + " " + OneOf(operators) + " " + Value();
    }
  }

  std::string Condition(const TTable& table, int depth = 0) {
    if (depth < 2 && Chance(35)) {
      const std::string connective = Chance(50) ? " and " : " or ";
      return "(" + Condition(table, depth + 1) + connective + Condition(table, depth + 1) + ")";
    }
    if (Chance(10)) return "not (" + Comparison(table) + ")";
    return Comparison(table);
  }

  std::string Aggregate(const TTable& table) {
    switch (Pick(0, 3)) {
      case 0:
        return "count(*)";
      case 1:
        return "sum(" + Column(table) + ")";
      case 2:
        return "min(" + Column(table) + ")";
      default:
        return "max(" + Column(table) + ")";
    }
  }

  // One SELECT block of `columns` result columns.
  std::string Block(int columns) {
    const TTable& table = kTables[Pick(0, 2)];
    std::string from = table.Name;
    std::string where;
    if (FOptions.Joins && Chance(25)) {
      const TTable& other = kTables[Pick(0, 2)];
      if (&other != &table) {
        from += ", " + std::string(other.Name);
        where = std::string(table.Name) + ".a = " + other.Name + ".a";
      }
    }
    if (where.empty() && Chance(60)) where = Condition(table);
    std::vector<std::string> items;
    std::string tail;
    if (where.find('.') == std::string::npos && Chance(30)) {
      // Grouped: the group columns first, then aggregates.
      std::vector<std::string> groups;
      const int groupCount = Pick(1, std::min<int>(columns, static_cast<int>(table.Columns.size())));
      std::vector<const char*> names = table.Columns;
      std::shuffle(names.begin(), names.end(), FRandom);
      for (int i = 0; i < groupCount; ++i) groups.push_back(names[static_cast<std::size_t>(i)]);
      items = groups;
      while (static_cast<int>(items.size()) < columns) items.push_back(Aggregate(table));
      tail = " group by ";
      for (std::size_t i = 0; i < groups.size(); ++i) tail += (i > 0 ? ", " : "") + groups[i];
      if (Chance(25)) tail += " having count(*) > " + std::to_string(Pick(1, 2));
    } else {
      const bool qualified = from.find(',') != std::string::npos;
      for (int i = 0; i < columns; ++i) {
        if (!qualified && FOptions.Subqueries && Chance(15)) {
          items.push_back(CorrelatedCount(table));
          continue;
        }
        items.push_back(qualified ? std::string(table.Name) + "." + Column(table) : Term(table));
      }
    }
    std::string text = "select ";
    if (tail.empty() && Chance(20)) text += "distinct ";
    for (std::size_t i = 0; i < items.size(); ++i) text += (i > 0 ? ", " : "") + items[i];
    text += " from " + from;
    if (!where.empty()) text += " where " + where;
    return text + tail;
  }

  std::mt19937 FRandom;
  TGeneratorOptions FOptions;
};

class SQLDifferentialTest : public TSQLTest {
 protected:
  void SetUp() override {
    // The session's temporary database must not outlive the test.
    DefaultSession().SetKeepConnections(false);
    TSQLTest::SetUp();
    std::mt19937 random(29);
    for (const TTable& table : kTables) {
      std::string create = std::string("create table ") + table.Name + " (";
      for (std::size_t i = 0; i < table.Columns.size(); ++i) {
        create += (i > 0 ? ", " : "") + std::string(table.Columns[i]) + " integer";
      }
      Both(create + ")");
      std::string insert = std::string("insert into ") + table.Name + " values ";
      for (int row = 0; row < kRowsPerTable; ++row) {
        insert += row > 0 ? ", (" : "(";
        for (std::size_t i = 0; i < table.Columns.size(); ++i) {
          insert += (i > 0 ? ", " : "") + std::to_string(random() % kValues);
        }
        insert += ")";
      }
      Both(insert);
    }
  }
  void TearDown() override {
    Query.reset();
    DefaultSession().SetKeepConnections(true);
    TSQLTest::TearDown();
  }

  void Both(const std::string& sql) {
    Exec(sql);
    ASSERT_TRUE(FPeer.Exec(sql)) << sql;
  }

  TRows OurRows(const std::string& sql) {
    try {
      return RowTexts(sql);
    } catch (const std::exception& error) {
      return {std::string("refused: ") + error.what()};
    }
  }

  // The integer in column `column` (1-based) of a RowTexts row.
  static long ColumnValue(const std::string& row, int column) {
    std::size_t start = 0;
    for (int i = 1; i < column; ++i) start = row.find('|', start) + 1;
    return std::strtol(row.c_str() + start, nullptr, 10);
  }

  static bool InOrder(const TRows& rows, const TQuery& query) {
    for (std::size_t i = 1; i < rows.size(); ++i) {
      const long previous = ColumnValue(rows[i - 1], query.OrderColumn);
      const long current = ColumnValue(rows[i], query.OrderColumn);
      if (query.Descending ? current > previous : current < previous) return false;
    }
    return true;
  }

  // Runs `count` generated queries; answers how many differed, after
  // reporting the first few.
  int RunGenerated(std::uint32_t seed, TGeneratorOptions options, int count) {
    TQueryGenerator generator(seed, options);
    int failures = 0;
    for (int i = 0; i < count; ++i) {
      const TQuery query = generator.Next();
      TRows ours = OurRows(query.Sql);
      const bool ordered = query.OrderColumn == 0 || InOrder(ours, query);
      TRows peer = FPeer.Rows(query.Sql);
      std::sort(ours.begin(), ours.end());
      std::sort(peer.begin(), peer.end());
      if (ours == peer && ordered) continue;
      if (++failures <= 5) {
        ADD_FAILURE() << query.Sql << (ordered ? "" : "\n  rows out of order") << "\n  ours:   "
                      << ::testing::PrintToString(ours) << "\n  SQLite: " << ::testing::PrintToString(peer);
      }
    }
    return failures;
  }

  TSqlitePeer FPeer;
};

TEST_F(SQLDifferentialTest, SingleTablesAndSetOperations) {
  EXPECT_EQ(RunGenerated(4429, {}, kQueries), 0);
}

TEST_F(SQLDifferentialTest, WithSubqueries) {
  TGeneratorOptions options;
  options.Subqueries = true;
  EXPECT_EQ(RunGenerated(3517, options, kQueries / 2), 0);
}

TEST_F(SQLDifferentialTest, WithJoins) {
  TGeneratorOptions options;
  options.Joins = true;
  EXPECT_EQ(RunGenerated(7793, options, kQueries / 2), 0);
}

}  // namespace
}  // namespace qel::test
