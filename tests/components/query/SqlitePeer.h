#pragma once
// SQLite as the peer of the query tests: an in-memory database that runs
// the same statements, and its rows in the form of TSQLTest::RowTexts
// (values joined by "|", "-" for NULL).

#include <sqlite3.h>

#include <string>
#include <vector>

namespace qel::test {

class TSqlitePeer {
 public:
  TSqlitePeer() { sqlite3_open(":memory:", &FDatabase); }
  ~TSqlitePeer() { sqlite3_close(FDatabase); }
  TSqlitePeer(const TSqlitePeer&) = delete;
  TSqlitePeer& operator=(const TSqlitePeer&) = delete;

  // Runs statements without a result; false when SQLite refuses them.
  bool Exec(const std::string& sql) {
    return FDatabase != nullptr && sqlite3_exec(FDatabase, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }

  // The rows of a query; a query SQLite refuses is a row of its own, so
  // that it cannot pass as an empty result.
  std::vector<std::string> Rows(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(FDatabase, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      return {std::string("SQLite refused: ") + sqlite3_errmsg(FDatabase)};
    }
    std::vector<std::string> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(statement); ++i) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
        row += (text == nullptr ? std::string("-") : std::string(text)) + "|";
      }
      rows.push_back(row);
    }
    sqlite3_finalize(statement);
    return rows;
  }

 private:
  sqlite3* FDatabase = nullptr;
};

}  // namespace qel::test
