#pragma once
// SQLite, the peer of the table benchmarks: statements prepared and run
// with any failure ending the benchmark.

#include <sqlite3.h>

#include <string>

#include "BenchUtil.h"

namespace qel::bench {

inline sqlite3_stmt* SqlitePrepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    Fail(std::string("sqlite prepare: ") + sqlite3_errmsg(db));
  }
  return statement;
}

inline void SqliteExec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    Fail(std::string(sql) + ": " + sqlite3_errmsg(db));
  }
}

}  // namespace qel::bench
